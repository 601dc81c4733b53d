#include "ui/CFlashUI.h"

#include <cstdarg>
#include <cstring>
#include <vector>

#include "commands/CFlashCmd.h"
#include "commands/RomImage.h"
#include "ui/Package.h"

CFlashUI::CFlashUI() : tokenizer(nullptr, 0) {
    image = new std::uint8_t[kRomBufferSize];
    std::memset(image, 0xFF, kRomBufferSize);
    tokenizer.SetDelimiters("(),");
    DetectPackage();
}

CFlashUI::~CFlashUI() {
    if (log) std::fclose(log);
    delete[] packageImage;
    delete[] image;
}

const char* CFlashUI::PackageBanner() const {
    const std::uint32_t offset = CurrentPackageDescriptor().bannerOffset;
    if (!packageImage || offset >= packageImageSize) return "";
    const char* banner = reinterpret_cast<const char*>(packageImage) + offset;
    // The banner must end inside what was read from the file.
    if (!std::memchr(banner, 0, packageImageSize - offset)) return "";
    return banner;
}

void CFlashUI::PrintBanner() {
    if (packageMode == 0) {
        std::printf("--- %s v%s ---\n", GetProgramName(), GetVersion());
    } else if (packageValid) {
        std::puts(PackageBanner());
    }
    std::fflush(stdout);
}

int CFlashUI::ToExitCode(int code) {
    switch (code) {
    case CMD_OK: return 0;
    case CMD_SAME_IMAGE: return 2;
    case CMD_NO_ROM: return 3;
    default: return 1;
    }
}

int CFlashUI::ReportError(int code) {
    switch (code) {
    case CMD_NO_ADAPTER: Print(log, "Adapter not found\n"); break;
    case CMD_NO_ROM: Print(log, "Flash not detected\n"); break;
    case CMD_SAME_IMAGE: Print(log, "Flash already programmed\n"); break;
    case CMD_READ_FAILED: Print(log, "Failed to read ROM\n"); break;
    case CMD_OLDER_VERSION: Print(log, "Newer ROM version already programmed\n"); break;
    case CMD_BEYOND_REACH: ReportBeyondReach(); break;
    default: break;
    }
    return ToExitCode(code);
}

void CFlashUI::ReportBeyondReach() {
    if (!cmd) return;
    const CFlashCmd::RomReach& reach = cmd->romReach;
    const char* end = "the ROM holds";
    if (reach.limit == CFlashCmd::ReachLimit::Window) end = "the ROM window reaches";
    if (reach.limit == CFlashCmd::ReachLimit::Buffer) end = "more than";
    Print(log, "Can not read 0x%X bytes: %s 0x%X\n", unsigned(cmd->lengthAsked), end, unsigned(reach.length));
}

void CFlashUI::Print(FILE* logStream, const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    const char* text = buffer;
    std::vector<char> longText;
    if (length < 0) {
        buffer[0] = '\0';
    } else if (std::size_t(length) >= sizeof buffer) {
        // Long file names and image details: print the whole text, not a cut one.
        longText.resize(std::size_t(length) + 1);
        std::vsnprintf(longText.data(), longText.size(), format, again);
        text = longText.data();
    }
    va_end(again);
    if (logStream) {
        std::fputs(text, logStream);
        std::fflush(logStream);
    }
    std::fputs(text, stdout);
    std::fflush(stdout);
}

int CFlashUI::CmdHelp(int, char**) {
    const char* const* lines = GetHelpLines();
    PrintBanner();
    if (packageMode == 1) return CMD_OK;
    for (; *lines; ++lines) {
        if (std::strcmp(*lines, "programname") == 0) {
            std::printf("%s", GetProgramName());
        } else if (std::strcmp(*lines, "nextpage") != 0) {
            std::printf("%s", *lines);
        }
        std::fflush(stdout);
    }
    return CMD_OK;
}
