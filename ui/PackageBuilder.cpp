// "-pak": building a self-updating package from a configuration file. The
// package is a copy of the program's own file with its descriptor patched
// and the payload (banner, command records, image data) appended.
#include <strings.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "commands/RomImage.h"
#include "ui/CFlashUI.h"
#include "ui/Package.h"

namespace {

constexpr int kKeywordSize = 32;    // first token of a line: 31 characters
constexpr int kFileNameSize = 64;   // outfile and infile names: 63 characters
constexpr int kBannerSize = kPackageBannerMax + 1;
constexpr int kWordSize = kPackageWordMax + 1;

void PutLe32(std::uint8_t* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(value >> (8 * i));
}

// While the configuration is read, '=' ends a token in place of '('.
class DelimiterSwap {
public:
    explicit DelimiterSwap(COsDepend& tokenizer) : tokenizer_(tokenizer) {
        std::snprintf(saved_, sizeof saved_, "%s", tokenizer.GetDelimiters());
        char swapped[sizeof saved_];
        std::memcpy(swapped, saved_, sizeof swapped);
        swapped[0] = '=';
        if (saved_[0] == '\0') swapped[1] = '\0';
        tokenizer.SetDelimiters(swapped);
    }
    ~DelimiterSwap() { tokenizer_.SetDelimiters(saved_); }
    DelimiterSwap(const DelimiterSwap&) = delete;
    DelimiterSwap& operator=(const DelimiterSwap&) = delete;

private:
    COsDepend& tokenizer_;
    char saved_[8] = {};
};

// What the configuration file adds to the executable.
struct PackageContent {
    char outfile[kFileNameSize] = {};
    char banner[kBannerSize] = {};
    std::uint32_t bannerLength = 0;
    std::vector<std::uint8_t> records;  // never more than kPackageRecordAreaSize
    std::vector<std::uint8_t> data = std::vector<std::uint8_t>(kRomBufferSize);
    std::uint32_t commandCount = 0;
    std::uint32_t dataStart = 0;   // where the latest infile begins
    std::uint32_t dataLength = 0;  // its length
    bool bound = false;            // a command used the latest infile

    std::uint32_t PayloadLength() const {
        return bannerLength + 1 + std::uint32_t(records.size()) + dataStart;
    }
};

class ConfigParser {
public:
    ConfigParser(CFlashUI& ui, FILE* file, PackageContent& content) : ui_(ui), file_(file), content_(content) {}

    // False after printing why the configuration is refused.
    bool Parse() {
        do {
            ++line_;
            char keyword[kKeywordSize];
            if (Token(keyword, kKeywordSize) == 0) continue;
            if (std::strncmp(keyword, "//", 2) == 0) continue;
            bool ok;
            if (strcasecmp(keyword, "outfile") == 0) {
                ok = Value(content_.outfile, kFileNameSize, "outfile") != 0;
            } else if (strcasecmp(keyword, "infile") == 0) {
                ok = Infile();
            } else if (strcasecmp(keyword, "banner") == 0) {
                content_.bannerLength = Value(content_.banner, kBannerSize, "banner");
                ok = content_.bannerLength != 0;
            } else if (strcasecmp(keyword, "command") == 0) {
                ok = Command(keyword);
            } else {
                ui_.Print(ui_.log, "Line %d: Invalid keyword \"%s\".\n", line_, keyword);
                ok = false;
            }
            if (!ok) return false;
        } while (ui_.tokenizer.SkipLine(file_));
        // The data area ends after the last infile a command used.
        if (content_.bound) content_.dataStart += content_.dataLength;
        return true;
    }

private:
    std::uint32_t Token(char* buffer, int size) {
        return std::uint32_t(ui_.tokenizer.ReadWord(file_, buffer, size));
    }

    // The value of an outfile, infile or banner line; 0 after the message.
    std::uint32_t Value(char* buffer, int size, const char* what) {
        char value[kBannerSize];
        const std::uint32_t length = Token(value, size);
        if (length == 0) {
            ui_.Print(ui_.log, "Line %d: Invalid %s entry\n", line_, what);
            return 0;
        }
        std::memcpy(buffer, value, length + 1);
        return length;
    }

    bool Infile() {
        char name[kFileNameSize];
        if (Value(name, kFileNameSize, "infile") == 0) return false;
        FILE* in = COsDepend::OpenInputFile(name);
        if (!in) {
            ui_.Print(ui_.log, "Infile %s not found.\n", name);
            return false;
        }
        // An infile no command used yet is overwritten by this one.
        if (content_.bound) content_.dataStart += content_.dataLength;
        const std::uint32_t room = kRomBufferSize - content_.dataStart;
        const std::size_t length = std::fread(content_.data.data() + content_.dataStart, 1, room, in);
        unsigned char extra;
        const bool more = std::fread(&extra, 1, 1, in) == 1;
        std::fclose(in);
        content_.bound = false;
        content_.dataLength = 0;
        // Never store a cut image: the package would flash it.
        if (more) {
            ui_.Print(ui_.log, "\nError: Input file size greater than buffer size.\n");
            return false;
        }
        if (length == 0) {
            ui_.Print(ui_.log, "No data in Infile %s.\n", name);
            return false;
        }
        content_.dataLength = std::uint32_t(length);
        return true;
    }

    bool Append(const void* bytes, std::size_t length) {
        if (content_.records.size() + length > kPackageRecordAreaSize) {
            ui_.Print(ui_.log, "Line %d: Commands exceed the %u-byte command area.\n", line_,
                      unsigned(kPackageRecordAreaSize));
            return false;
        }
        const auto* p = static_cast<const std::uint8_t*>(bytes);
        content_.records.insert(content_.records.end(), p, p + length);
        return true;
    }

    bool Command(const char* keyword) {
        std::printf("%s", keyword);
        const std::size_t start = content_.records.size();
        const std::uint8_t header[kPackageRecordHeaderSize] = {};
        if (!Append(header, sizeof header)) return false;
        std::uint32_t words = 0;
        std::uint32_t dataOffset = 0;
        std::uint32_t dataLength = 0;
        char word[kWordSize];
        while (std::uint32_t length = Token(word, kWordSize)) {
            std::printf(" %s", word);
            if (++words > kPackageMaxWords) {
                ui_.Print(ui_.log, "Line %d: More than %u words in command line.\n", line_,
                          unsigned(kPackageMaxWords));
                return false;
            }
            // The record ends a word at its NUL: the package could not run it.
            if (std::memchr(word, '\0', length) != nullptr) {
                ui_.Print(ui_.log, "Line %d: Command word holds a NUL byte.\n", line_);
                return false;
            }
            if (!Append(word, length + 1)) return false;
            if (strcasecmp(word, "infile") != 0) continue;
            if (content_.dataLength == 0) {
                ui_.Print(ui_.log, "Line %d: no infile data\n", line_);
                if (words == 1) ui_.Print(ui_.log, "Line %d: command line empty\n", line_);
                return false;
            }
            dataOffset = content_.dataStart;
            dataLength = content_.dataLength;
            content_.bound = true;
        }
        if (words == 0) {
            ui_.Print(ui_.log, "Line %d: command line empty\n", line_);
            return false;
        }
        PutLe32(&content_.records[start + offsetof(PackageCommandRecord, argc)], words);
        PutLe32(&content_.records[start + offsetof(PackageCommandRecord, dataOffset)], dataOffset);
        PutLe32(&content_.records[start + offsetof(PackageCommandRecord, dataLength)], dataLength);
        ++content_.commandCount;
        return true;
    }

    CFlashUI& ui_;
    FILE* file_;
    PackageContent& content_;
    int line_ = 0;
};

// Patches the descriptor copy at `at` and appends the payload after the
// exeSize bytes of the executable.
void AssemblePackage(std::uint8_t* file, std::uint32_t exeSize, std::uint8_t* at, const PackageContent& c) {
    const std::uint32_t recordsLength = std::uint32_t(c.records.size());
    const std::uint32_t commandsOffset = exeSize + c.bannerLength + 1;
    std::uint8_t* payload = file + exeSize;
    std::memcpy(payload, c.banner, c.bannerLength + 1);
    std::memcpy(file + commandsOffset, c.records.data(), recordsLength);
    std::memcpy(file + commandsOffset + recordsLength, c.data.data(), c.dataStart);
    PutLe32(at + offsetof(PackageDescriptor, magic1), 0);
    PutLe32(at + offsetof(PackageDescriptor, magic2), 0);
    PutLe32(at + offsetof(PackageDescriptor, bannerOffset), exeSize);
    PutLe32(at + offsetof(PackageDescriptor, checksummedLength), c.PayloadLength());
    PutLe32(at + offsetof(PackageDescriptor, checksum), PackageChecksum(payload, c.PayloadLength()));
    PutLe32(at + offsetof(PackageDescriptor, commandCount), c.commandCount);
    PutLe32(at + offsetof(PackageDescriptor, commandsOffset), commandsOffset);
    PutLe32(at + offsetof(PackageDescriptor, dataOffset), commandsOffset + recordsLength);
    PutLe32(at + offsetof(PackageDescriptor, dataLength), c.dataStart);
}

// Writes the whole file or nothing: a partial package is removed (only a
// regular file: an outfile naming a device must not delete the device).
bool WritePackageFile(const char* name, const std::uint8_t* bytes, std::size_t length) {
    FILE* out = COsDepend::OpenOutputFile(name, false);
    if (!out) return false;
    bool ok = std::fwrite(bytes, 1, length, out) == length;
    ok = std::fclose(out) == 0 && ok;
    struct stat st;
    if (!ok && stat(name, &st) == 0 && S_ISREG(st.st_mode)) std::remove(name);
    return ok;
}

// The program's own file into `file`, with the offset of its descriptor;
// 0, or the result of a refusal after its message. Messages name the
// program as it was started.
int ReadOwnProgram(CFlashUI& ui, std::vector<std::uint8_t>& file, std::uint32_t* size, long* descriptorAt) {
    const PackageDescriptor live = CurrentPackageDescriptor();
    const char* self = live.exePath ? live.exePath : "";
    FILE* exe = COsDepend::OpenOwnExecutable();
    if (!exe) {
        ui.Print(ui.log, "File %s not found.\n", self);
        return CMD_FILE_NOT_FOUND;
    }
    *size = std::uint32_t(std::fread(file.data(), 1, file.size(), exe));
    std::fclose(exe);
    if (*size < kPackageDescriptorSize) {
        ui.Print(ui.log, "File %s read failed.\n", self);
        return CMD_FILE_NOT_FOUND;
    }
    *descriptorAt = FindPackageDescriptor(file.data(), *size);
    if (*descriptorAt < 0) {
        ui.Print(ui.log, "File %s integrity check failed.\n", self);
        return CMD_FAILED;
    }
    return 0;
}

}  // namespace

int CFlashUI::CmdPackage(int count, char** args) {
    if (count != 1) return CMD_USAGE;
    if (packageMode == 1) {
        Print(log, "Package already exist.\n");
        return CMD_FAILED;
    }
    std::vector<std::uint8_t> file(kPackageFileMax);
    std::uint32_t exeSize = 0;
    long at = -1;
    if (const int refused = ReadOwnProgram(*this, file, &exeSize, &at)) return refused;

    FILE* config = COsDepend::OpenInputFile(args[0]);
    if (!config) {
        Print(log, "Config file %s not found.\n", args[0]);
        return CMD_FILE_NOT_FOUND;
    }
    PackageContent content;
    bool parsed;
    {
        DelimiterSwap swap(tokenizer);
        parsed = ConfigParser(*this, config, content).Parse();
    }
    std::fclose(config);
    if (!parsed) return CMD_FAILED;

    const char* refusal = nullptr;
    if (content.commandCount == 0) {
        refusal = "No command found in config file.\n";
    } else if (content.outfile[0] == '\0') {
        refusal = "No outfile in config file.\n";
    } else if (content.bannerLength == 0) {
        refusal = "No banner in config file.\n";
    } else if (std::uint64_t(exeSize) + content.PayloadLength() > kPackageFileMax) {
        refusal = "\nError: Input file size greater than buffer size.\n";
    }
    if (refusal) {
        Print(log, "%s", refusal);
        return CMD_FAILED;
    }

    Print(log, "%d commands processed.\n", int(content.commandCount));
    AssemblePackage(file.data(), exeSize, file.data() + at, content);
    if (!WritePackageFile(content.outfile, file.data(), std::size_t(exeSize) + content.PayloadLength())) {
        Print(log, "Package %s could not be written.\n", content.outfile);
        return CMD_FAILED;
    }
    Print(log, "Package %s generated.\n", content.outfile);
    return CMD_OK;
}
