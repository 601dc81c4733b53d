#include "ui/CTevUI.h"

#include <cstring>
#include <ctime>

#include "commands/CFlashCmd.h"
#include "platform/Bytes.h"
#include "platform/HardwareBackend.h"
#include "ui/CommandTable.h"
#include "ui/HelpLines.h"
#include "ui/Package.h"

const char* CTevUI::GetProgramName() { return kProgramName; }
const char* CTevUI::GetVersion() { return kProgramVersion; }
const char* const* CTevUI::GetHelpLines() { return HelpLines; }

bool CTevUI::LoadPackageRecord(std::uint32_t* position, char** words, int* count) {
    std::uint64_t pos = *position;
    if (pos + kPackageRecordHeaderSize > packageImageSize) return false;
    const std::uint8_t* record = packageImage + pos;
    std::uint32_t argc = ReadLe32(record);
    std::uint32_t dataOffset = ReadLe32(record + 4);
    std::uint32_t dataLength = ReadLe32(record + 8);
    if (argc < 1 || argc > std::uint32_t(kMaxArguments - 1)) return false;
    pos += kPackageRecordHeaderSize;
    for (std::uint32_t i = 0; i < argc; ++i) {
        // Every word must end inside the package.
        const void* end = std::memchr(packageImage + pos, 0, packageImageSize - pos);
        if (!end) return false;
        words[1 + i] = reinterpret_cast<char*>(packageImage + pos);
        pos = std::uint64_t(static_cast<const std::uint8_t*>(end) - packageImage) + 1;
        if (pos > packageImageSize) return false;
    }
    std::uint64_t dataStart = std::uint64_t(packageDescriptor.dataOffset) + dataOffset;
    if (dataLength != 0 && dataStart + dataLength > packageImageSize) return false;
    cmdDataLength = dataLength;
    cmdData = dataStart <= packageImageSize ? packageImage + dataStart : nullptr;
    words[1 + argc] = nullptr;
    *count = int(argc) + 1;
    *position = std::uint32_t(pos);
    return true;
}

int CTevUI::Run(int argc, char** argv, CFlashCmd* command) {
    if (argc > kMaxArguments) argc = kMaxArguments;
    cmd = command;

    char* words[kMaxArguments + 1] = {};
    int wordCount = 0;
    int commandCount = 1;
    std::uint32_t recordPosition = 0;
    if (packageMode == 1) {
        if (packageValid == 0) {
            Print(log, "Invalid package.\n");
            return CMD_FAILED;  // not mapped to an exit code
        }
        Print(log, "%s\n", PackageBanner());
        commandCount = std::int32_t(packageDescriptor.commandCount);
        recordPosition = packageDescriptor.commandsOffset;
        if (commandCount < 1) return ToExitCode(CMD_FAILED);
    } else {
        for (int i = 0; i < argc; ++i) words[i] = argv[i];
        wordCount = argc;
    }

    int result = CMD_OK;
    for (int n = 0; n < commandCount; ++n) {
        if (packageMode == 1) {
            words[0] = argc > 0 ? argv[0] : nullptr;
            if (!LoadPackageRecord(&recordPosition, words, &wordCount)) {
                Print(log, "Package internal command parameter error.\n");
                return ToExitCode(CMD_FAILED);
            }
            Print(log, "\n\n");
        }
        wordCount = ParseOptions(wordCount, words);

        // The old-board warning looks at the first word as typed, before the
        // switches were removed, and at the process's words even in a package.
        if (cmd && cmd->force && argc >= 2 && argv[1] && std::strcmp(argv[1], "-p") == 0) {
            if (CheckOldBoardVbios(wordCount, words) == CMD_FAILED) {
                std::puts("Exiting the program rom command.");
                return CMD_FAILED;  // not mapped to an exit code
            }
        }

        WriteLogHeader(wordCount, words);

        if (wordCount <= 1) {
            result = CmdHelp(0, nullptr);
            continue;
        }
        const CommandRow* row = FindCommand(words[1]);
        if (!row) {
            Print(log, "Invalid Command.\n");
            return 1;
        }
        result = (this->*(row->handler))(wordCount - 2, &words[2]);
        if (result == CMD_USAGE) {
            Print(log, "Format: %s %s\n", GetProgramName(), row->usage);
            return ToExitCode(CMD_USAGE);
        }
        bool passed = result == CMD_OK || result == CMD_SAME_IMAGE;
        if (row->errorId) ReportResult(passed ? nullptr : row->errorId);
        if (!passed) return ToExitCode(result);
    }
    return ToExitCode(result);
}

void CTevUI::ReportResult(const char* errorId) {
    if (writeErrorIdFile == 1) {
        if (FILE* f = std::fopen("errorid.tmp", "wt")) {
            if (errorId) {
                std::fprintf(f, "%s\n", errorId);
            } else {
                std::fputs("PASS\n", f);
            }
            std::fclose(f);
        }
    }
    if (errorId) Print(log, "\n   ERROR: %s\n", errorId);
}

void CTevUI::WriteLogHeader(int argc, char** argv) {
    std::time_t now = std::time(nullptr);
    if (!log) return;
    static const char kRule[] =
        "-----------------------------------------------------------------------------\n";
    static_assert(sizeof kRule == 77 + 2);
    std::fputs(kRule, log);
    if (packageMode == 0) {
        std::fprintf(log, "        ------------------ %s v%s Log File ------------------\n", GetProgramName(),
                     GetVersion());
    } else if (packageValid) {
        std::fprintf(log, "%s\n", PackageBanner());
    } else {
        std::fputs("Package error!!!\n", log);
    }
    std::fputs(kRule, log);
    const std::tm* local = std::localtime(&now);
    if (local) std::fputs(std::asctime(local), log);
    std::fputs("Command Operation without options:", log);
    if (argc > 1) {
        for (int i = 1; i < argc; ++i) std::fprintf(log, " %s", argv[i]);
    } else if (argc == 1 && argv[0]) {
        std::fprintf(log, " %s", argv[0]);
    }
    std::fputs("\n\n", log);
    std::fflush(log);
}

void CTevUI::RebootIfRequested() {
    if (rebootAfter != 1) return;
    HardwareBackend& hw = Hw();
    hw.SyncFilesystems();
    std::uint64_t start = hw.CpuClockMicros();
    Print(log, "\nReboot System in 5 Seconds\n");
    while (hw.CpuClockMicros() - start < 6000000) {
    }
    hw.Reboot();
}
