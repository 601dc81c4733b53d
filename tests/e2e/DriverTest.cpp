// The command-line driver run as a process: banner, help, dispatch, usage
// errors, result file, log file, restart and the superuser check.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "ui/HelpLines.h"

namespace {

const std::string kExe = VM_EXE;
const std::string kSimExe = VM_SIM_EXE;

struct Driver {
    vmtest::TempDir dir;

    vmtest::RunResult Run(const std::string& exe, const std::vector<std::string>& args) {
        vmtest::RunOptions opt;
        opt.cwd = dir.Path();
        opt.unsetEnv = {"VORBANMILL_SIM_MACHINE"};
        return vmtest::Run(exe, args, opt);
    }
    std::string File(const std::string& name) const { return dir.File(name); }
};

const std::regex kBanner("^VORBANMILL version 4\\.64, [^\\n]*2019[^\\n]*\\n\\n");

// Banner line checked and removed.
std::string AfterBanner(const std::string& out) {
    std::smatch m;
    if (!std::regex_search(out, m, kBanner)) {
        ADD_FAILURE() << "no banner in: " << out;
        return out;
    }
    return m.suffix();
}

std::string HelpScreen() {
    std::string s = "--- vorbanmill v4.64 ---\n";
    for (const char* const* l = HelpLines; *l; ++l) {
        std::string line = *l;
        if (line == "programname") s += "vorbanmill";
        else if (line != "nextpage") s += line;
    }
    return s;
}

TEST(DriverTest, NoArgumentsShowsBannerAndHelp) {
    for (const std::string& exe : {kExe, kSimExe}) {
        Driver d;
        vmtest::RunResult r = d.Run(exe, {});
        EXPECT_EQ(r.exitCode, 0) << exe;
        EXPECT_EQ(AfterBanner(r.out), HelpScreen()) << exe;
        EXPECT_EQ(r.out.find("nextpage"), std::string::npos);
        EXPECT_EQ(r.out.find("programname"), std::string::npos);
    }
}

TEST(DriverTest, OnlySwitchesShowHelp) {
    Driver d;
    vmtest::RunResult r = d.Run(kExe, {"-f", "-nw", "-ps", "-fa"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(AfterBanner(r.out), HelpScreen());
    EXPECT_FALSE(vmtest::FileExists(d.File("errorid.tmp")));
}

TEST(DriverTest, CommandWordNeedsMarkAndKnownName) {
    for (const char* word : {"--i", "i", "-x", "-F", "0"}) {
        Driver d;
        vmtest::RunResult r = d.Run(kSimExe, {word, "0"});
        EXPECT_EQ(r.exitCode, 1) << word;
        EXPECT_EQ(AfterBanner(r.out), "Invalid Command.\n") << word;
    }
    // "/I", "-I" and "-i" reach the same row.
    std::vector<std::string> outputs;
    for (const char* word : {"-i", "/I", "-I"}) {
        Driver d;
        vmtest::RunResult r = d.Run(kSimExe, {word});
        EXPECT_EQ(r.exitCode, 0) << word;  // the demo machine has adapters
        EXPECT_EQ(r.out.find("Invalid Command."), std::string::npos) << word;
        outputs.push_back(r.out);
    }
    EXPECT_EQ(outputs[0], outputs[1]);
    EXPECT_EQ(outputs[0], outputs[2]);
}

TEST(DriverTest, UsageErrors) {
    struct Case {
        std::vector<std::string> args;
        const char* out;
    };
    const Case cases[] = {
        {{"-s", "0"}, "Format: vorbanmill -s <adapter num> <filename> [length in hex]\n"},
        {{"-s", "0", "-ps"}, "Format: vorbanmill -s <adapter num> <filename> [length in hex]\n"},
        {{"-ws", "0"}, "Format: vorbanmill \n"},
        {{"-i", "1x"}, "Format: vorbanmill -i [adapter num]\n"},
        {{"-p", "4294967296", "f.bin", "-ps"}, "Format: vorbanmill -p <adapter num> <filename>\n"},
        {{"-cf", "-ps"}, "Format: vorbanmill -cf <filename> [expected checksum]\n"},
        {{"-checklock", "0", "1", "-ps"}, "Format: vorbanmill \n"},
        {{"-prod", "0", "12345"}, "Format: vorbanmill -prod <adapter num> [12 Digit Serial Number]\n"},
    };
    for (const Case& c : cases) {
        Driver d;
        vmtest::RunResult r = d.Run(kSimExe, c.args);
        EXPECT_EQ(r.exitCode, 1) << testing::PrintToString(c.args);
        EXPECT_EQ(AfterBanner(r.out), c.out) << testing::PrintToString(c.args);
        EXPECT_FALSE(vmtest::FileExists(d.File("errorid.tmp"))) << testing::PrintToString(c.args);
    }
}

TEST(DriverTest, FailingRowWithErrorIdReportsIt) {
    {
        Driver d;
        vmtest::RunResult r = d.Run(kExe, {"-cf", "missing.bin", "-ps"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.out.find("\n   ERROR: 0FL03\n"), std::string::npos);
        EXPECT_EQ(vmtest::ReadFile(d.File("errorid.tmp")), "0FL03\n");
    }
    {
        Driver d;
        vmtest::RunResult r = d.Run(kExe, {"-cf", "missing.bin"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.out.find("\n   ERROR: 0FL03\n"), std::string::npos);
        EXPECT_FALSE(vmtest::FileExists(d.File("errorid.tmp")));
    }
}

TEST(DriverTest, RowsWithoutErrorIdNeverWriteTheResultFile) {
    const std::vector<std::vector<std::string>> commands = {
        {"-rsa", "missing.bin", "-ps"},          {"-biosfileinfo", "missing.bin", "-ps"},
        {"-s", "9", "out.bin", "-ps"},           {"-isr", "9", "-ps"},
        {"-prod", "9", "-ps"},                   {"-i", "9", "-ps"},
        {"-h", "-ps"},
    };
    for (const auto& args : commands) {
        Driver d;
        vmtest::WriteFile(d.File("errorid.tmp"), "KEEP\n");
        vmtest::RunResult r = d.Run(kSimExe, args);
        EXPECT_EQ(vmtest::ReadFile(d.File("errorid.tmp")), "KEEP\n") << testing::PrintToString(args);
        EXPECT_EQ(r.out.find("ERROR:"), std::string::npos) << testing::PrintToString(args);
    }
}

TEST(DriverTest, WordsBeyondThe32ndAreIgnored) {
    for (int position : {31, 32}) {
        // The program path is word 0; "-ps" is placed at the given position.
        std::vector<std::string> args = {"-cf", "missing.bin"};
        while (int(args.size()) < position - 1) args.push_back("x");
        args.push_back("-ps");
        Driver d;
        vmtest::RunResult r = d.Run(kExe, args);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(vmtest::FileExists(d.File("errorid.tmp")), position == 31) << position;
    }
}

const std::string kRule(77, '-');

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

std::string HeaderPattern(const std::string& arguments) {
    return kRule + "\n        ------------------ vorbanmill v4\\.64 Log File ------------------\n" + kRule +
           "\n[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\n"
           "Command Operation without options:" +
           arguments + "\n\n";
}

TEST(DriverTest, LogHeaderAndPrintedLines) {
    Driver d;
    vmtest::RunResult r = d.Run(kExe, {"-cf", "-log", "missing.bin", "-ps"});
    EXPECT_EQ(r.exitCode, 1);
    std::string log = vmtest::ReadFile(d.File("vorbanmill.log"));
    EXPECT_TRUE(std::regex_match(log, std::regex(HeaderPattern(" -cf missing\\.bin") + "(.|\n)*")));
    EXPECT_NE(log.find("\n   ERROR: 0FL03\n"), std::string::npos);
    EXPECT_EQ(log.find("VORBANMILL"), std::string::npos);

    // Help and banner never reach the log; the header names the program path alone.
    Driver h;
    h.Run(kExe, {"-log"});
    EXPECT_TRUE(std::regex_match(vmtest::ReadFile(h.File("vorbanmill.log")),
                                 std::regex(HeaderPattern(' ' + Escaped(kExe)))));
}

TEST(DriverTest, LogAppendAddsHeadersAndLogTruncates) {
    Driver d;
    d.Run(kExe, {"-x", "-logappend"});
    d.Run(kExe, {"-logappend", "-y"});
    std::string twice = HeaderPattern(" -x") + "Invalid Command\\.\n" + HeaderPattern(" -y") + "Invalid Command\\.\n";
    EXPECT_TRUE(std::regex_match(vmtest::ReadFile(d.File("vorbanmill.log")), std::regex(twice)));

    d.Run(kExe, {"-log", "-z"});
    EXPECT_TRUE(std::regex_match(vmtest::ReadFile(d.File("vorbanmill.log")),
                                 std::regex(HeaderPattern(" -z") + "Invalid Command\\.\n")));
}

TEST(DriverTest, RebootIsRecordedUnderTheSimulatorEvenAfterAFailure) {
    struct Case {
        std::vector<std::string> args;
        int exit;
    };
    const Case cases[] = {
        {{"-x", "-reboot"}, 1},
        {{"-reboot", "-cf", "missing.bin"}, 1},
        {{"-h", "-reboot", "-log"}, 0},
    };
    for (const Case& c : cases) {
        Driver d;
        vmtest::RunResult r = d.Run(kSimExe, c.args);
        EXPECT_EQ(r.exitCode, c.exit) << testing::PrintToString(c.args);
        const std::string line = "\nReboot System in 5 Seconds\n";
        ASSERT_GE(r.out.size(), line.size());
        EXPECT_EQ(r.out.substr(r.out.size() - line.size()), line) << testing::PrintToString(c.args);
        EXPECT_NE(r.err.find("vorbanmill-sim: restart recorded, not performed"), std::string::npos);
    }
    Driver d;
    d.Run(kSimExe, {"-h", "-reboot", "-log"});
    std::string log = vmtest::ReadFile(d.File("vorbanmill.log"));
    EXPECT_NE(log.find("\nReboot System in 5 Seconds\n"), std::string::npos);
}

TEST(DriverTest, RefusesToRunWithoutSuperuserRights) {
    for (const std::string& exe : {kExe, kSimExe}) {
        Driver d;
        // The build tree may not be reachable for the unprivileged user.
        std::string copy = d.File("program");
        vmtest::WriteBytes(copy, vmtest::ReadBytes(exe));
        ASSERT_EQ(chmod(copy.c_str(), 0755), 0);
        vmtest::RunOptions opt;
        opt.cwd = d.dir.Path();
        opt.unsetEnv = {"VORBANMILL_SIM_MACHINE"};
        opt.runAsUid = 65534;
        vmtest::RunResult r = vmtest::Run(copy, {"-i"}, opt);
        EXPECT_EQ(r.exitCode, 1) << exe;
        EXPECT_EQ(r.out, "\tApplication requires administrative privileges.\n") << exe;
    }
}

}  // namespace
