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
    PackageRecordView record;
    if (!ReadPackageRecord(CurrentPackageDescriptor(), packageImage, packageImageSize, position, &record)) return false;
    for (std::uint32_t i = 0; i < record.argc; ++i) words[1 + i] = const_cast<char*>(record.words[i]);
    words[1 + record.argc] = nullptr;
    *count = int(record.argc) + 1;
    cmdDataLength = record.dataLength;
    cmdData = const_cast<std::uint8_t*>(record.data);
    return true;
}

namespace {

// RunCommand's answer when the run goes on with the next command.
constexpr int kNextCommand = -1;

}  // namespace

int CTevUI::StartPackage(int* commandCount, std::uint32_t* recordPosition) {
    if (packageValid == 0) {
        Print(log, "Invalid package.\n");
        return CMD_FAILED;  // not mapped to an exit code
    }
    Print(log, "%s\n", PackageBanner());
    const PackageDescriptor descriptor = CurrentPackageDescriptor();
    *commandCount = std::int32_t(descriptor.commandCount);
    *recordPosition = descriptor.commandsOffset;
    if (*commandCount < 1) return ToExitCode(CMD_FAILED);
    return kNextCommand;
}

int CTevUI::RunCommand(int argc, char** argv, char** words, int wordCount, int* result) {
    wordCount = ParseOptions(wordCount, words);
    // A log asked for and not written is a failure, not a silent run.
    if (logOpenFailed) {
        std::fprintf(stderr, "Failed to open log file vorbanmill.log\n");
        return ToExitCode(CMD_FAILED);
    }
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
        *result = CmdHelp(0, nullptr);
        return kNextCommand;
    }
    return Dispatch(wordCount, words, result);
}

int CTevUI::Dispatch(int wordCount, char** words, int* result) {
    const CommandRow* row = FindCommand(words[1]);
    if (!row) {
        Print(log, "Invalid Command.\n");
        return 1;
    }
    *result = switchValueBad ? CMD_USAGE : (this->*(row->handler))(wordCount - 2, &words[2]);
    if (*result == CMD_USAGE) {
        Print(log, "Format: %s %s\n", GetProgramName(), row->usage);
        return ToExitCode(CMD_USAGE);
    }
    const bool passed = *result == CMD_OK || *result == CMD_SAME_IMAGE;
    // A script must not read an earlier run's result file as this one's.
    if (row->errorId && !ReportResult(passed ? nullptr : row->errorId)) return ToExitCode(CMD_FAILED);
    return passed ? kNextCommand : ToExitCode(*result);
}

bool CTevUI::LogWritten() {
    if (!log || (std::fflush(log) == 0 && !std::ferror(log))) return true;
    std::fprintf(stderr, "Failed to write log file vorbanmill.log\n");
    return false;
}

int CTevUI::Run(int argc, char** argv, CFlashCmd* command) {
    if (argc > kMaxArguments) argc = kMaxArguments;
    cmd = command;
    char* words[kMaxArguments + 1] = {};
    int wordCount = 0;
    int commandCount = 1;
    std::uint32_t recordPosition = 0;
    if (packageMode == 1) {
        const int stop = StartPackage(&commandCount, &recordPosition);
        if (stop != kNextCommand) return stop;
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
                LogWritten();
                return ToExitCode(CMD_FAILED);
            }
            Print(log, "\n\n");
        }
        const int stop = RunCommand(argc, argv, words, wordCount, &result);
        // What the log missed ends the run like a result file not written.
        if (!LogWritten()) return ToExitCode(CMD_FAILED);
        if (stop != kNextCommand) return stop;
    }
    return ToExitCode(result);
}

bool CTevUI::ReportResult(const char* errorId) {
    bool written = true;
    if (writeErrorIdFile == 1) {
        FILE* f = COsDepend::OpenOutputFile("errorid.tmp", false);
        written = f && std::fprintf(f, "%s\n", errorId ? errorId : "PASS") > 0;
        if (f && std::fclose(f) != 0) written = false;
        if (!written) std::fprintf(stderr, "Failed to write result file errorid.tmp\n");
    }
    if (errorId) Print(log, "\n   ERROR: %s\n", errorId);
    return written;
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
