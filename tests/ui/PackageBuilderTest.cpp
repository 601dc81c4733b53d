// "-pak" on a synthetic executable (a few KiB holding the plain descriptor),
// and the loader's verdict on the packages it writes and on altered ones.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "sim/SimHardware.h"
#include "support/TestSupport.h"
#include "ui/CTevUI.h"
#include "ui/Package.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t Le32(const Bytes& b, std::size_t at) {
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = std::uint8_t(i * 7 + seed);
    return b;
}

constexpr std::size_t kDescriptorAt = 1000;

// A stand-in executable: the plain magic pair at kDescriptorAt, 36 zero
// bytes after it, patterned bytes around.
Bytes SyntheticExe(std::size_t size = 4096) {
    Bytes exe = Pattern(size, 3);
    const std::uint8_t magic[8] = {0xBF, 0x25, 0x37, 0xAE, 0x16, 0xC0, 0x48, 0xD9};
    std::memcpy(&exe[kDescriptorAt], magic, 8);
    std::memset(&exe[kDescriptorAt + 8], 0, 36);
    return exe;
}

struct Built {
    int result;
    std::string out;
};

class PackageBuilder : public ::testing::Test {
public:
    // The builder reads the program's own file through the platform; the
    // simulated one names the stand-in.
    PackageBuilder() : saved(packageDescriptor), scope(hw) {
        hw.SetOwnExecutable(exePath);
        SetExe(SyntheticExe());
    }
    ~PackageBuilder() override { packageDescriptor = saved; }

    void SetExe(const Bytes& bytes) {
        exe = bytes;
        vmtest::WriteBytes(exePath, exe);
        packageDescriptor.exePath = exePath.c_str();
    }
    std::string File(const std::string& name) const { return dir.File(name); }

    Built Build(const std::string& config, CTevUI* ui = nullptr) {
        vmtest::WriteFile(File("cfg.txt"), config);
        std::string name = File("cfg.txt");
        char* args[] = {name.data()};
        CTevUI local;
        CTevUI& u = ui ? *ui : local;
        CaptureStdout();
        int r = u.CmdPackage(1, args);
        return {r, GetCapturedStdout()};
    }

    vmtest::TempDir dir;
    std::string exePath = dir.File("tool");
    Bytes exe;
    PackageDescriptor saved;
    SimHardware hw;
    ScopedHardware scope;
};

TEST(PackageChecksumTest, KnownAnswers) {
    EXPECT_EQ(PackageChecksum(reinterpret_cast<const std::uint8_t*>("abc"), 3), 0x026AF3D2u);
    EXPECT_EQ(PackageChecksum(nullptr, 0), 0x13579BDFu);
}

// One infile used by two commands is stored once; a second infile before
// any command replaces the first; an infile after the last command is left
// out; words split at '='; keywords in any case; "//" lines are comments.
TEST_F(PackageBuilder, LayoutOfThePackage) {
    const Bytes a = Pattern(300, 1), b = Pattern(200, 2), c = Pattern(150, 3), d = Pattern(99, 4);
    vmtest::WriteBytes(File("a.bin"), a);
    vmtest::WriteBytes(File("b.bin"), b);
    vmtest::WriteBytes(File("c.bin"), c);
    vmtest::WriteBytes(File("d.bin"), d);
    const std::string cfg =
        "// outfile = ignored.pak\n"
        "OUTFILE = " + File("first.pak") + "\n"
        "outfile=" + File("out.pak") + " trailing words\n"
        "\n"
        "Banner \"Field update 1.0\"\n"
        "infile = " + File("a.bin") + "\n"
        "command = -v 0 infile\n"
        "Command -cf INFILE -log\n"
        "infile " + File("b.bin") + "\n"
        "INFILE " + File("c.bin") + "\n"
        "command = -pa -padevid=715B infile\n"
        "infile " + File("d.bin") + "\n";
    Built r = Build(cfg);
    ASSERT_EQ(r.result, CMD_OK) << r.out;
    EXPECT_EQ(r.out,
              "command -v 0 infileCommand -cf INFILE -logcommand -pa -padevid 715B infile3 commands processed.\n"
              "Package " + File("out.pak") + " generated.\n");

    const Bytes pkg = vmtest::ReadBytes(File("out.pak"));
    const std::string banner = "Field update 1.0";
    const std::uint32_t e = std::uint32_t(exe.size());
    const std::vector<std::vector<std::string>> words = {
        {"-v", "0", "infile"}, {"-cf", "INFILE", "-log"}, {"-pa", "-padevid", "715B", "infile"}};
    const std::uint32_t data[3][2] = {{0, 300}, {0, 300}, {300, 150}};
    Bytes payload(banner.begin(), banner.end());
    payload.push_back(0);
    for (std::size_t i = 0; i < words.size(); ++i) {
        for (std::uint32_t v : {std::uint32_t(words[i].size()), data[i][0], data[i][1]})
            for (int k = 0; k < 4; ++k) payload.push_back(std::uint8_t(v >> (8 * k)));
        for (const std::string& w : words[i]) {
            payload.insert(payload.end(), w.begin(), w.end());
            payload.push_back(0);
        }
    }
    const std::uint32_t records = std::uint32_t(payload.size() - banner.size() - 1);
    payload.insert(payload.end(), a.begin(), a.end());
    payload.insert(payload.end(), c.begin(), c.end());

    ASSERT_EQ(pkg.size(), e + payload.size());
    EXPECT_EQ(Bytes(pkg.begin() + e, pkg.end()), payload);
    const std::uint32_t expect[9] = {0,
                                     0,
                                     e,
                                     std::uint32_t(payload.size()),
                                     PackageChecksum(payload.data(), std::uint32_t(payload.size())),
                                     3,
                                     e + std::uint32_t(banner.size()) + 1,
                                     e + std::uint32_t(banner.size()) + 1 + records,
                                     450};
    for (int f = 0; f < 9; ++f) EXPECT_EQ(Le32(pkg, kDescriptorAt + 4 * f), expect[f]) << "field " << f;
    // Everything else of the executable, the exePath bytes included, is kept.
    Bytes rest(pkg.begin(), pkg.begin() + e), original = exe;
    std::memset(&rest[kDescriptorAt], 0, 36);
    std::memset(&original[kDescriptorAt], 0, 36);
    EXPECT_EQ(rest, original);
    // Written at the default mode: not executable.
    struct stat st;
    ASSERT_EQ(stat(File("out.pak").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0111, 0u);
}

TEST_F(PackageBuilder, RefusedConfigurations) {
    vmtest::WriteBytes(File("img.bin"), Pattern(64, 5));
    vmtest::WriteBytes(File("empty.bin"), {});
    vmtest::WriteBytes(File("huge.bin"), Bytes(0x100001, 1));
    vmtest::WriteBytes(File("600k.bin"), Bytes(600 * 1024, 2));
    const std::string out = "outfile " + File("o.pak") + "\n";
    const std::string img = "infile " + File("img.bin") + "\n";
    const std::string ok = out + "banner B\n" + img + "command -h\n";
    std::string longWord(31, 'w');
    std::string fullLine = "command";
    for (int i = 0; i < 31; ++i) fullLine += " " + longWord;
    std::string tooManyWords = "command";
    for (int i = 0; i < 32; ++i) tooManyWords += " -h";
    struct Case {
        const char* what;
        std::string config;
        int result;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"unknown keyword", "banner B\nbanners x\n", CMD_FAILED, "Line 2: Invalid keyword \"banners\".\n"},
        {"outfile without name", "\noutfile =\n", CMD_FAILED, "Line 2: Invalid outfile entry\n"},
        {"infile without name", "infile\n", CMD_FAILED, "Line 1: Invalid infile entry\n"},
        {"banner without text", "banner \"\"\n", CMD_FAILED, "Line 1: Invalid banner entry\n"},
        {"missing infile", "infile nofile.bin\n", CMD_FAILED, "Infile nofile.bin not found.\n"},
        {"empty infile", "infile " + File("empty.bin") + "\n", CMD_FAILED,
         "No data in Infile " + File("empty.bin") + ".\n"},
        {"infile word without infile", "command infile\n", CMD_FAILED,
         "command infileLine 1: no infile data\nLine 1: command line empty\n"},
        {"infile word later", "\ncommand -v 0 infile\n", CMD_FAILED, "command -v 0 infileLine 2: no infile data\n"},
        {"command without words", "command\n", CMD_FAILED, "commandLine 1: command line empty\n"},
        {"empty quoted word ends the line", "command \"\" -h\n", CMD_FAILED, "commandLine 1: command line empty\n"},
        {"NUL byte in a word", std::string("command -h") + '\0' + "x\n", CMD_FAILED,
         "command -hLine 1: Command word holds a NUL byte.\n"},
        // The final checks, in their order.
        {"nothing", "// only a comment\n", CMD_FAILED, "No command found in config file.\n"},
        {"no outfile before no banner", "command -h\n", CMD_FAILED, "command -hNo outfile in config file.\n"},
        {"no banner", out + "command -h\n", CMD_FAILED, "command -hNo banner in config file.\n"},
        // Never a cut image, never an overflowing record area.
        {"infile over 1 MiB", "infile " + File("huge.bin") + "\n", CMD_FAILED,
         "\nError: Input file size greater than buffer size.\n"},
        {"used infiles over 1 MiB",
         "infile " + File("600k.bin") + "\ncommand -v 0 infile\ninfile " + File("600k.bin") + "\n", CMD_FAILED,
         "command -v 0 infile\nError: Input file size greater than buffer size.\n"},
        {"more than 31 words", tooManyWords, CMD_FAILED,
         tooManyWords + "Line 1: More than 31 words in command line.\n"},
        {"record area full", fullLine + "\n" + fullLine + "\n" + fullLine + "\n" + fullLine + "\n" + fullLine + "\n",
         CMD_FAILED, fullLine + fullLine + fullLine + fullLine + fullLine.substr(0, 7 + 32 * 3) +
                         "Line 5: Commands exceed the 4096-byte command area.\n"},
        {"unwritable outfile", "outfile " + File("no/dir.pak") + "\nbanner B\ncommand -h\n", CMD_FAILED,
         "command -h1 commands processed.\nPackage " + File("no/dir.pak") + " could not be written.\n"},
        {"good", ok, CMD_OK, "command -h1 commands processed.\nPackage " + File("o.pak") + " generated.\n"},
    };
    for (const Case& c : cases) {
        Built r = Build(c.config);
        EXPECT_EQ(r.result, c.result) << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(vmtest::FileExists(File("o.pak")), c.result == CMD_OK) << c.what;
    }
}

TEST_F(PackageBuilder, ExecutableAndEnvironmentFailures) {
    const std::string cfg = "outfile " + File("o.pak") + "\nbanner B\ncommand -h\n";
    const std::string self = exePath;
    struct Case {
        const char* what;
        std::function<void(PackageBuilder&, CTevUI&)> setup;
        int result;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"inside a package", [](PackageBuilder&, CTevUI& ui) { ui.packageMode = 1; }, CMD_FAILED,
         "Package already exist.\n"},
        {"own file missing", [](PackageBuilder& t, CTevUI&) { std::remove(t.exePath.c_str()); },
         CMD_FILE_NOT_FOUND, "File " + self + " not found.\n"},
        {"own file too short", [](PackageBuilder& t, CTevUI&) { t.SetExe(Bytes(43, 0)); }, CMD_FILE_NOT_FOUND,
         "File " + self + " read failed.\n"},
        {"no descriptor", [](PackageBuilder& t, CTevUI&) { t.SetExe(Pattern(4096, 9)); }, CMD_FAILED,
         "File " + self + " integrity check failed.\n"},
        // 1.9 MiB of program leaves no room for the payload.
        {"too large", [](PackageBuilder& t, CTevUI&) { t.SetExe(SyntheticExe(0x1FFFF0)); }, CMD_FAILED,
         "command -h\nError: Input file size greater than buffer size.\n"},
    };
    for (const Case& c : cases) {
        SetExe(SyntheticExe());
        CTevUI ui;
        c.setup(*this, ui);
        Built r = Build(cfg, &ui);
        EXPECT_EQ(r.result, c.result) << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_FALSE(vmtest::FileExists(File("o.pak"))) << c.what;
    }
    // A missing configuration file.
    SetExe(SyntheticExe());
    CTevUI ui;
    char name[] = "no-such-config.txt";
    char* args[] = {name};
    CaptureStdout();
    EXPECT_EQ(ui.CmdPackage(1, args), CMD_FILE_NOT_FOUND);
    EXPECT_EQ(GetCapturedStdout(), "Config file no-such-config.txt not found.\n");
    EXPECT_EQ(ui.CmdPackage(0, args), CMD_USAGE);
    EXPECT_EQ(ui.CmdPackage(2, args), CMD_USAGE);
}

// A write that fails part-way (a full device) is a failure, and the device
// is not removed.
TEST_F(PackageBuilder, FailedWriteIsReported) {
    if (!vmtest::FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full on this machine";
    vmtest::WriteBytes(File("img.bin"), Pattern(0x20000, 5));
    Built r = Build("outfile /dev/full\nbanner B\ninfile " + File("img.bin") + "\ncommand -v 0 infile\n");
    EXPECT_EQ(r.result, CMD_FAILED);
    EXPECT_EQ(r.out, "command -v 0 infile1 commands processed.\nPackage /dev/full could not be written.\n");
    EXPECT_TRUE(vmtest::FileExists("/dev/full"));
}

// The loader on a package the builder wrote, and on altered copies.
TEST_F(PackageBuilder, LoaderValidity) {
    vmtest::WriteBytes(File("img.bin"), Pattern(500, 6));
    Built built = Build("outfile " + File("good.pak") + "\nbanner Update\ninfile " + File("img.bin") +
                        "\ncommand -v 0 infile\ncommand -h\n");
    ASSERT_EQ(built.result, CMD_OK) << built.out;
    const Bytes good = vmtest::ReadBytes(File("good.pak"));
    const std::uint32_t e = std::uint32_t(exe.size());
    const std::size_t field = kDescriptorAt;
    auto put = [](Bytes& b, std::size_t at, std::uint32_t v) {
        for (int k = 0; k < 4; ++k) b[at + k] = std::uint8_t(v >> (8 * k));
    };
    struct Case {
        const char* what;
        std::function<void(Bytes&)> edit;
        int mode;
        int valid;
    };
    const std::vector<Case> cases = {
        {"as built", [](Bytes&) {}, 1, 1},
        {"executable byte changed", [](Bytes& b) { b[10] ^= 1; }, 1, 1},
        {"exePath bytes changed", [&](Bytes& b) { b[field + 36] ^= 0xFF; }, 1, 1},
        {"payload byte flipped", [&](Bytes& b) { b[e + 40] ^= 1; }, 1, 0},
        {"last data byte flipped", [](Bytes& b) { b.back() ^= 0x80; }, 1, 0},
        {"truncated", [](Bytes& b) { b.pop_back(); }, 1, 0},
        {"bytes appended", [](Bytes& b) { b.push_back(0); }, 1, 1},
        {"command count 0", [&](Bytes& b) { put(b, field + 20, 0); }, 1, 0},
        {"commands before the payload", [&](Bytes& b) { put(b, field + 24, e); }, 1, 0},
        {"commands after the data", [&](Bytes& b) { put(b, field + 24, Le32(b, field + 28) + 1); }, 1, 0},
        {"data offset past the end", [&](Bytes& b) { put(b, field + 28, 0xFFFFFF00u); }, 1, 0},
        {"data length past the end", [&](Bytes& b) { put(b, field + 32, Le32(b, field + 32) + 1); }, 1, 0},
        {"length wraps around", [&](Bytes& b) { put(b, field + 12, 0xFFFFFFFFu); }, 1, 0},
        {"one magic word altered", [&](Bytes& b) { b[field] = 1; }, 1, 0},
        {"plain magic pair", [&](Bytes& b) { put(b, field, kPackageMagic1); put(b, field + 4, kPackageMagic2); }, 0,
         0},
    };
    for (const Case& c : cases) {
        Bytes pkg = good;
        c.edit(pkg);
        vmtest::WriteBytes(File("p.pak"), pkg);
        PackageDescriptor d{};
        std::memcpy(&d, &pkg[field], 36);
        PackageLoad load = DetectPackageFile(d, File("p.pak").c_str());
        EXPECT_EQ(load.mode, c.mode) << c.what;
        EXPECT_EQ(load.valid, c.valid) << c.what;
    }
    // A package whose file cannot be opened (started through a search path).
    PackageDescriptor d{};
    std::memcpy(&d, &good[field], 36);
    PackageLoad load = DetectPackageFile(d, "good.pak-not-here");
    EXPECT_EQ(load.mode, 1);
    EXPECT_EQ(load.valid, 0);
}

}  // namespace
