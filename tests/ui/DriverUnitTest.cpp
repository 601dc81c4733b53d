// Driver pieces that need no process: adapter numbers, exit
// codes and messages, printing, the command lookup, the help text, the run
// loop over package records, the old-board warning trigger and the restart.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "commands/CFlashCmd.h"
#include "sim/SimHardware.h"
#include "ui/Arguments.h"
#include "ui/CTevUI.h"
#include "ui/CommandTable.h"
#include "ui/HelpLines.h"
#include "ui/Package.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

TEST(ParseDecimalTest, AcceptsOnlyDigitsThatFit32Bits) {
    struct Case {
        const char* text;
        bool ok;
        std::uint32_t value;
    };
    const Case cases[] = {
        {"", true, 0},          {"0", true, 0},          {"007", true, 7},
        {"123", true, 123},     {"4294967295", true, 0xFFFFFFFFu},
        {"4294967296", false, 0}, {"99999999999999999999", false, 0},
        {"1x", false, 0},       {"x", false, 0},         {"-1", false, 0},
        {"+1", false, 0},       {" 1", false, 0},        {"1 ", false, 0},
        {"0x10", false, 0},
    };
    for (const Case& c : cases) {
        std::uint32_t v = 12345;
        EXPECT_EQ(ParseDecimal(c.text, &v), c.ok) << '"' << c.text << '"';
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(ExitCodeTest, MappingAndMessages) {
    CTevUI ui;
    struct Case {
        int code;
        int exit;
        const char* message;
    };
    const Case cases[] = {
        {CMD_OK, 0, ""},
        {CMD_USAGE, 1, ""},
        {CMD_NO_ADAPTER, 1, "Adapter not found\n"},
        {CMD_NO_ROM, 3, "Flash not detected\n"},
        {CMD_SAME_IMAGE, 2, "Flash already programmed\n"},
        {CMD_FILE_NOT_FOUND, 1, ""},
        {CMD_READ_FAILED, 1, "Failed to read ROM\n"},
        {CMD_FAILED, 1, ""},
        {CMD_OLDER_VERSION, 1, "Newer ROM version already programmed\n"},
        {CMD_SIG_FAIL, 1, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ui.ToExitCode(c.code), c.exit) << c.code;
        CaptureStdout();
        int exit = ui.ReportError(c.code);
        EXPECT_EQ(GetCapturedStdout(), c.message) << c.code;
        EXPECT_EQ(exit, c.exit) << c.code;
    }
}

TEST(PrintTest, WritesLogThenConsoleAndNeverCutsLongText) {
    CTevUI ui;
    for (std::size_t length : {std::size_t(0), std::size_t(255), std::size_t(256), std::size_t(1000)}) {
        std::string text(length, 'a');
        if (length) text.back() = 'Z';
        FILE* log = std::tmpfile();
        ASSERT_NE(log, nullptr);
        CaptureStdout();
        ui.Print(log, "%s", text.c_str());
        EXPECT_EQ(GetCapturedStdout(), text) << length;
        std::rewind(log);
        std::string logged;
        for (int ch; (ch = std::fgetc(log)) != EOF;) logged.push_back(char(ch));
        EXPECT_EQ(logged, text) << length;
        std::fclose(log);
    }
    CaptureStdout();
    ui.Print(nullptr, "%d-%s-%05X\n", 5, "x", 0xAB);
    EXPECT_EQ(GetCapturedStdout(), "5-x-000AB\n");
}

TEST(CommandTableTest, LookupIgnoresCaseAndNeedsTheLeadingMark) {
    for (const char* word : {"-i", "/i", "-I", "/I"}) {
        const CommandRow* row = FindCommand(word);
        ASSERT_NE(row, nullptr) << word;
        EXPECT_STREQ(row->name, "i");
    }
    for (const char* word : {"--i", "i", "-x", "-", "/", "", "-i ", "-checkprod"}) {
        EXPECT_EQ(FindCommand(word), nullptr) << word;
    }
    // Every row is reached by its own name (no earlier row shadows it).
    for (const CommandRow& row : CommandTable) {
        EXPECT_EQ(FindCommand((std::string("-") + row.name).c_str()), &row) << row.name;
    }
    EXPECT_STREQ(FindCommand("/CheckProdSn")->errorId, "0FL07");
}

TEST(HelpTest, HasAllEntriesAndMarkers) {
    int nextpage = 0, programname = 0, count = 0;
    for (const char* const* l = HelpLines; *l; ++l, ++count) {
        nextpage += std::strcmp(*l, "nextpage") == 0;
        programname += std::strcmp(*l, "programname") == 0;
    }
    EXPECT_EQ(count, 117);
    EXPECT_EQ(nextpage, 4);
    EXPECT_EQ(programname, 1);
}

// A front end whose "-t" handler and old-board warning are scripted.
class ScriptedUI : public CTevUI {
public:
    int CmdTest(int count, char** args) override {
        std::string call;
        for (int i = 0; i < count; ++i) call += std::string(i ? " " : "") + args[i];
        calls.push_back(call);
        int r = results.empty() ? CMD_OK : results.front();
        if (!results.empty()) results.erase(results.begin());
        return r;
    }
    int CheckOldBoardVbios(int, char**) override {
        ++warnings;
        return warningResult;
    }
    std::vector<int> results;
    std::vector<std::string> calls;
    int warnings = 0;
    int warningResult = CMD_FAILED;
};

struct RunResult {
    int exit;
    std::string out;
};

RunResult RunUi(CTevUI& ui, CFlashCmd& cmd, std::vector<std::string> words) {
    words.insert(words.begin(), "prog");
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    CaptureStdout();
    int exit = ui.Run(int(words.size()), argv.data(), &cmd);
    return {exit, GetCapturedStdout()};
}

TEST(RunTest, ResultsMapToExitCodesAndErrorLines) {
    CFlashCmd cmd(nullptr, 0);
    struct Case {
        int result;
        int exit;
        const char* out;
    };
    const Case cases[] = {
        {CMD_OK, 0, ""},
        {CMD_SAME_IMAGE, 2, ""},
        {CMD_NO_ROM, 3, "\n   ERROR: 0FL02\n"},
        {CMD_FAILED, 1, "\n   ERROR: 0FL02\n"},
        {CMD_USAGE, 1, "Format: vorbanmill -t <adapter num>\n"},
    };
    for (const Case& c : cases) {
        ScriptedUI ui;
        ui.results = {c.result};
        RunResult r = RunUi(ui, cmd, {"/T", "0", "-d", "extra"});
        EXPECT_EQ(r.exit, c.exit) << c.result;
        EXPECT_EQ(r.out, c.out) << c.result;
        EXPECT_EQ(ui.calls, std::vector<std::string>{"0 extra"});
    }
}

TEST(RunTest, OldBoardWarningOnlyForAForcedProgramTypedFirst) {
    CFlashCmd cmd(nullptr, 0);
    struct Case {
        std::vector<std::string> words;
        int warnings;
        int exit;
        const char* out;
    };
    const Case cases[] = {
        {{"-p", "0", "f", "-f"}, 1, 26, "Exiting the program rom command.\n"},
        {{"-f", "-p", "0", "f"}, 0, 1, "File f not found\n\n   ERROR: 0FL01\n"},
        {{"-P", "0", "f", "-f"}, 0, 1, "File f not found\n\n   ERROR: 0FL01\n"},
        {{"-p", "0", "f"}, 0, 1, "File f not found\n\n   ERROR: 0FL01\n"},
        {{}, 0, 0, nullptr},
    };
    for (const Case& c : cases) {
        ScriptedUI ui;
        RunResult r = RunUi(ui, cmd, c.words);
        EXPECT_EQ(ui.warnings, c.warnings) << testing::PrintToString(c.words);
        EXPECT_EQ(r.exit, c.exit) << testing::PrintToString(c.words);
        if (c.out) {
            EXPECT_EQ(r.out, c.out) << testing::PrintToString(c.words);
        }
    }
}

// Builds a package image in memory and runs it through Run.
class PackageRunTest : public ::testing::Test {
public:
    PackageRunTest() : saved(packageDescriptor) {}
    ~PackageRunTest() override { packageDescriptor = saved; }

    void AddRecord(const std::vector<std::string>& words, std::uint32_t dataOffset = 0,
                   std::uint32_t dataLength = 0, std::uint32_t argc = 0xFFFFFFFF) {
        auto put32 = [&](std::uint32_t v) {
            for (int i = 0; i < 4; ++i) records.push_back(std::uint8_t(v >> (8 * i)));
        };
        put32(argc == 0xFFFFFFFF ? std::uint32_t(words.size()) : argc);
        put32(dataOffset);
        put32(dataLength);
        for (auto& w : words) {
            records.insert(records.end(), w.begin(), w.end());
            records.push_back(0);
        }
        ++commandCount;
    }

    // Lays out banner, records and data and hands the image to ui.
    void Install(CTevUI& ui, bool valid = true) {
        std::vector<std::uint8_t> file(banner.begin(), banner.end());
        file.push_back(0);
        packageDescriptor.bannerOffset = 0;
        packageDescriptor.commandsOffset = std::uint32_t(file.size());
        file.insert(file.end(), records.begin(), records.end());
        packageDescriptor.dataOffset = std::uint32_t(file.size());
        packageDescriptor.dataLength = std::uint32_t(data.size());
        file.insert(file.end(), data.begin(), data.end());
        packageDescriptor.commandCount = commandCount;
        ui.packageMode = 1;
        ui.packageValid = valid ? 1 : 0;
        ui.packageImage = new std::uint8_t[kPackageFileMax];
        std::memcpy(ui.packageImage, file.data(), file.size());
        ui.packageImageSize = std::uint32_t(file.size());
    }

    PackageDescriptor saved;
    std::string banner = "Update v1.0";
    std::vector<std::uint8_t> records;
    std::vector<std::uint8_t> data;
    std::uint32_t commandCount = 0;
    CFlashCmd cmd{nullptr, 0};
};

TEST_F(PackageRunTest, RunsEveryRecordWhileResultsAreOkOrSameImage) {
    ScriptedUI ui;
    ui.results = {CMD_SAME_IMAGE, CMD_OK, CMD_SAME_IMAGE};
    AddRecord({"-t", "0"});
    AddRecord({"-h"});
    AddRecord({"-t", "1", "-f"});
    AddRecord({"-t", "2"});
    Install(ui);
    RunResult r = RunUi(ui, cmd, {"-x", "ignored"});
    EXPECT_EQ(r.exit, 2);  // the last command returned the same-image result
    EXPECT_EQ(ui.calls, (std::vector<std::string>{"0", "1", "2"}));
    // Banner, then per record "\n\n"; help in a package shows only the banner.
    EXPECT_EQ(r.out, "Update v1.0\n\n\n\n\nUpdate v1.0\n\n\n\n\n");
}

TEST_F(PackageRunTest, FirstFailureEndsTheRun) {
    ScriptedUI ui;
    ui.results = {CMD_OK, CMD_FAILED, CMD_OK};
    AddRecord({"-t", "0"});
    AddRecord({"-t", "1"});
    AddRecord({"-t", "2"});
    Install(ui);
    RunResult r = RunUi(ui, cmd, {});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(ui.calls.size(), 2u);
    EXPECT_EQ(r.out, "Update v1.0\n\n\n\n\n\n   ERROR: 0FL02\n");
}

TEST_F(PackageRunTest, EmbeddedDataIsHandedToTheCommand) {
    ScriptedUI ui;
    data = {1, 2, 3, 4, 5, 6, 7, 8};
    AddRecord({"-t", "0", "infile"}, 2, 5);
    Install(ui);
    RunUi(ui, cmd, {});
    ASSERT_EQ(ui.cmdDataLength, 5u);
    ASSERT_NE(ui.cmdData, nullptr);
    EXPECT_EQ(ui.cmdData[0], 3);
    EXPECT_EQ(ui.cmdData[4], 7);
}

TEST_F(PackageRunTest, BadPackagesStop) {
    {
        ScriptedUI ui;
        AddRecord({"-t", "0"});
        Install(ui, false);
        RunResult r = RunUi(ui, cmd, {});
        EXPECT_EQ(r.exit, 26);
        EXPECT_EQ(r.out, "Invalid package.\n");
    }
    {
        ScriptedUI ui;
        Install(ui);
        packageDescriptor.commandCount = 0x80000000u;  // negative as a signed count
        RunResult r = RunUi(ui, cmd, {});
        EXPECT_EQ(r.exit, 1);
        EXPECT_EQ(r.out, "Update v1.0\n");
    }
}

TEST_F(PackageRunTest, MalformedRecordsAreParameterErrors) {
    struct Case {
        const char* what;
        std::function<void(PackageRunTest&)> build;
    };
    const Case cases[] = {
        {"argc 0", [](PackageRunTest& t) { t.AddRecord({}, 0, 0, 0); }},
        {"argc 32", [](PackageRunTest& t) { t.AddRecord(std::vector<std::string>(32, "-h")); }},
        {"words run past the end",
         [](PackageRunTest& t) {
             t.AddRecord({"-h"}, 0, 0, 3);
         }},
        {"data beyond the file", [](PackageRunTest& t) { t.AddRecord({"-t", "0"}, 0, 100); }},
        {"more records than stored", [](PackageRunTest& t) {
             t.AddRecord({"-h"});
             t.commandCount = 2;
         }},
    };
    for (const Case& c : cases) {
        records.clear();
        commandCount = 0;
        c.build(*this);
        ScriptedUI ui;
        Install(ui);
        RunResult r = RunUi(ui, cmd, {});
        EXPECT_EQ(r.exit, 1) << c.what;
        EXPECT_NE(r.out.find("Package internal command parameter error.\n"), std::string::npos) << c.what;
        EXPECT_TRUE(ui.calls.empty()) << c.what;
    }
}

TEST(RebootTest, SyncsWaitsSixSecondsOfCpuTimeAndRestarts) {
    SimHardware sim;
    ScopedHardware use(sim);
    CTevUI ui;

    CaptureStdout();
    ui.RebootIfRequested();
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(sim.RebootCount(), 0u);
    EXPECT_EQ(sim.SyncCount(), 0u);

    ui.rebootAfter = 1;
    std::uint64_t before = sim.CpuClockMicros();
    CaptureStdout();
    ui.RebootIfRequested();
    EXPECT_EQ(GetCapturedStdout(), "\nReboot System in 5 Seconds\n");
    EXPECT_EQ(sim.SyncCount(), 1u);
    EXPECT_EQ(sim.RebootCount(), 1u);
    EXPECT_GE(sim.CpuClockMicros() - before, 6000000u);
}

}  // namespace
