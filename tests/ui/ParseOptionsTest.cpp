// Switch parsing: recognition, removal, values, and which fields survive
// from one command to the next.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "commands/CFlashCmd.h"
#include "engine/CFlash.h"
#include "support/TestSupport.h"
#include "ui/CTevUI.h"

namespace {

class ParseOptionsTest : public ::testing::Test {
protected:
    ParseOptionsTest() { ui.cmd = &cmd; }

    // Parses words (the program path is added in front) and returns what is left.
    std::vector<std::string> Parse(const std::vector<std::string>& words) {
        storage = words;
        storage.insert(storage.begin(), "prog");
        std::vector<char*> argv;
        for (auto& w : storage) argv.push_back(w.data());
        argv.push_back(nullptr);
        int argc = ui.ParseOptions(int(storage.size()), argv.data());
        return std::vector<std::string>(argv.begin() + 1, argv.begin() + argc);
    }

    CFlash& engine() { return *cmd.engine; }

    CFlashCmd cmd{nullptr, 0};
    CTevUI ui;
    std::vector<std::string> storage;
};

using Words = std::vector<std::string>;

TEST_F(ParseOptionsTest, SwitchesAreRemovedWhereverTheyStand) {
    // Adjacent switches make sure the word moved into place is tested again.
    EXPECT_EQ(Parse({"-f", "-d", "-p", "0", "-ps", "file.bin", "-fa", "-reboot"}),
              (Words{"-p", "0", "file.bin"}));
    EXPECT_EQ(cmd.force, 1);
    EXPECT_EQ(cmd.debugPrints, 1);
    EXPECT_EQ(ui.writeErrorIdFile, 1);
    EXPECT_EQ(cmd.checkIdentical, 0);
    EXPECT_EQ(ui.rebootAfter, 1);

    // A word equal to a switch is taken as the switch even where a file name was meant.
    EXPECT_EQ(Parse({"-cf", "-nw"}), (Words{"-cf"}));
    EXPECT_EQ(ui.noWait, 1);

    EXPECT_EQ(Parse({"-nw", "-st", "-sst", "-atmel"}), Words{});
    EXPECT_EQ(Parse({"-x", "0"}), (Words{"-x", "0"}));
}

TEST_F(ParseOptionsTest, EverySwitchSetsItsField) {
    struct Case {
        const char* word;
        std::function<bool()> set;
    };
    const CFlash& e = *cmd.engine;
    const std::vector<Case> cases = {
        {"-keepisrsn", [&] { return cmd.keepIsrSn == 1; }},
        {"-keepprodsn", [&] { return cmd.keepProdSn == 1; }},
        {"-sst", [&] { return cmd.forceSst == 1 && e.forceSelectOnI2cFail == 1; }},
        {"-st", [&] { return cmd.forceSt == 1 && e.forceSelectOnI2cFail == 0; }},
        {"-atmel", [&] { return cmd.forceAtmel == 1 && e.forceSelectOnI2cFail == 1; }},
        {"-newbios", [&] { return cmd.newBios == 1; }},
        {"-nopci", [&] { return e.optNoPci == 1; }},
        {"-pcionly", [&] { return e.optPciOnly == 1; }},
        {"-agp", [&] { return e.optAgp == 1; }},
        {"-noagp", [&] { return e.optNoAgp == 1; }},
        {"-pcie", [&] { return e.optPcie == 1 && e.optPci == 0; }},
        {"-nopcie", [&] { return e.optNoPcie == 1; }},
        {"-pci", [&] { return e.optPci == 1 && e.optPcie == 0; }},
        {"-scansii", [&] { return e.forceSelectOnI2cFail == 1; }},
        {"-swspi", [&] { return e.forceSoftSpi == 1; }},
        {"-alignreg", [&] { return e.capabilityFixup == 1; }},
        {"-fm", [&] { return cmd.checkMemSetting == 0 && cmd.checkIdentical == 1; }},
        {"-fs", [&] { return cmd.checkSsid == 0; }},
        {"-fp", [&] { return cmd.checkPartNumber == 0; }},
        {"-fv", [&] { return cmd.checkVersion == 0; }},
        {"-excl_memtrain_dtable", [&] { return cmd.exclMemTrainTable == 1; }},
        {"-suppress", [&] { return cmd.suppressDetail == 1; }},
        {"-KOV", [&] { return e.acceptKovVendor == 1; }},
        {"-retain_offset", [&] { return e.retainEnabled == 1; }},
        {"-noaper", [&] { return e.noAperture == 1; }},
        {"-si2c", [&] { return e.softI2cDetect == 1; }},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Parse({"-i", c.word}), Words{"-i"}) << c.word;
        EXPECT_TRUE(c.set()) << c.word;
    }
}

TEST_F(ParseOptionsTest, CaseRules) {
    // Switch names are case-sensitive, except the two SiI1930 pin switches.
    EXPECT_EQ(Parse({"-F", "-Log", "-kov", "-PS", "-Reboot"}), (Words{"-F", "-Log", "-kov", "-PS", "-Reboot"}));
    EXPECT_EQ(cmd.force, 0);
    EXPECT_EQ(engine().acceptKovVendor, 0);
    EXPECT_EQ(ui.log, nullptr);

    EXPECT_EQ(Parse({"-SiiReset=7", "-SIIUPROG=14"}), Words{});
    EXPECT_EQ(engine().siiResetPin, 7);
    EXPECT_EQ(engine().siiProgramPin, 14);

    // Without '=' the pin switches are not recognised.
    EXPECT_EQ(Parse({"-siireset", "9", "-siiuprogX3"}), (Words{"-siireset", "9", "-siiuprogX3"}));
    EXPECT_EQ(engine().siiResetPin, 7);
    EXPECT_EQ(engine().siiProgramPin, 14);
}

TEST_F(ParseOptionsTest, PinValuesKeepTheirLow16BitsUnsigned) {
    EXPECT_EQ(Parse({"-siireset=65535", "-siiuprog=65551"}), Words{});
    EXPECT_EQ(engine().siiResetPin, 65535);  // no sign extension
    EXPECT_EQ(engine().siiProgramPin, 15);
}

TEST_F(ParseOptionsTest, PrefixSwitchValues) {
    EXPECT_EQ(Parse({"-pa", "-padevid=715B", "-passid=1234", "-pasvid=ABCD", "f"}), (Words{"-pa", "f"}));
    EXPECT_EQ(cmd.filterDeviceId, 0x715B);
    EXPECT_EQ(cmd.filterSsid, 0x1234);
    EXPECT_EQ(cmd.filterSvid, 0xABCD);

    // The one character after the name is skipped whatever it is.
    Parse({"-padevid715B", "-retries:12", "-maxsegtoscan=2"});
    EXPECT_EQ(cmd.filterDeviceId, 0x15B);
    EXPECT_EQ(cmd.retries, 12);
    EXPECT_EQ(engine().maxSegmentToScan, 2);

    // Exactly the name: the value is the next word, which stays in the list.
    EXPECT_EQ(Parse({"-pa", "-padevid", "715B", "infile"}), (Words{"-pa", "715B", "infile"}));
    EXPECT_EQ(cmd.filterDeviceId, 0x715B);
    EXPECT_EQ(Parse({"-retries", "5", "-i"}), (Words{"5", "-i"}));
    EXPECT_EQ(cmd.retries, 5);
}

TEST_F(ParseOptionsTest, PrefixSwitchAsLastWordReadsNothingBeyondTheCount) {
    // A word beyond argc must not be taken as the value.
    std::string w0 = "prog", w1 = "-pa", w2 = "-padevid", trap = "715B";
    std::string w3 = "-retries";
    char* argv[] = {w0.data(), w1.data(), w2.data(), trap.data(), nullptr};
    EXPECT_EQ(ui.ParseOptions(3, argv), 2);
    EXPECT_EQ(cmd.filterDeviceId, 0xFFFF);
    EXPECT_STREQ(argv[1], "-pa");

    char* argv2[] = {w0.data(), w3.data(), trap.data(), nullptr};
    EXPECT_EQ(ui.ParseOptions(2, argv2), 1);
    EXPECT_EQ(cmd.retries, 0);

    std::strcpy(cmd.filterPartNumber, "KEEP");
    std::string w4 = "-pavbpn";
    char* argv3[] = {w0.data(), w4.data(), trap.data(), nullptr};
    EXPECT_EQ(ui.ParseOptions(2, argv3), 1);
    EXPECT_STREQ(cmd.filterPartNumber, "KEEP");
}

TEST_F(ParseOptionsTest, PrefixNamesAreNotMatchedByShorterWords) {
    EXPECT_EQ(Parse({"-pa", "-pas", "-pav", "-ret", "-maxbus=3"}), (Words{"-pa", "-pas", "-pav", "-ret", "-maxbus=3"}));
    EXPECT_EQ(cmd.filterDeviceId, 0xFFFF);
    EXPECT_EQ(cmd.filterSvid, 0xFFFF);
    EXPECT_EQ(engine().maxBusToScan, 0xFF);
}

TEST_F(ParseOptionsTest, BusLimitOnlyTakesValuesUpTo255) {
    struct Case {
        const char* value;
        int expected;
    };
    // The field already holds 3 from the first switch; out-of-range values leave it.
    for (Case c : {Case{"3", 3}, Case{"300", 3}, Case{"255", 255}, Case{"256", 3}, Case{"65539", 3},
                   Case{"65536", 0}, Case{"0", 0}}) {
        Parse({"-maxbustoscan=3", std::string("-maxbustoscan=") + c.value});
        EXPECT_EQ(engine().maxBusToScan, c.expected) << c.value;
    }
    Parse({"-maxbustoscan=300"});
    EXPECT_EQ(engine().maxBusToScan, 0xFF);
}

TEST_F(ParseOptionsTest, PartNumberFilterIsAlwaysTerminated) {
    Parse({"-pavbpn=ABCDEFGHIJKLMNOPQRST"});
    EXPECT_STREQ(cmd.filterPartNumber, "ABCDEFGHIJKLMNOP");
    Parse({"-pavbpn=XY"});
    EXPECT_STREQ(cmd.filterPartNumber, "XY");
    for (std::size_t i = 2; i < sizeof cmd.filterPartNumber; ++i) EXPECT_EQ(cmd.filterPartNumber[i], 0) << i;
}

TEST_F(ParseOptionsTest, DdcRemovesOnlyItsFamilyAndKeepsTheOrder) {
    CFlash& e = engine();
    EXPECT_EQ(e.excludedFamilyCount, 1u);
    EXPECT_EQ(e.excludedFamilies[0], 8u);

    const std::uint32_t start[] = {8, 3, 8, 5, 1, 8};
    std::memcpy(e.excludedFamilies, start, sizeof start);
    e.excludedFamilyCount = 6;
    Parse({"-ddc"});
    ASSERT_EQ(e.excludedFamilyCount, 3u);
    EXPECT_EQ(e.excludedFamilies[0], 3u);
    EXPECT_EQ(e.excludedFamilies[1], 5u);
    EXPECT_EQ(e.excludedFamilies[2], 1u);

    Parse({"-kelt+", "-ddc"});
    ASSERT_EQ(e.excludedFamilyCount, 4u);
    for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ(e.excludedFamilies[i], i);
}

TEST_F(ParseOptionsTest, ResetAndKeptFieldsAcrossTwoCommands) {
    Parse({"-ps", "-nw", "-reboot", "-d", "-f", "-keepisrsn", "-keepprodsn", "-sst", "-st", "-atmel", "-newbios",
           "-nopci", "-pcionly", "-agp", "-noagp", "-pcie", "-nopcie", "-pci", "-maxbustoscan=7",
           "-maxsegtoscan=2", "-kelt+", "-siireset=4", "-siiuprog=5", "-swspi", "-alignreg", "-fa", "-fm", "-fs",
           "-fp", "-fv", "-padevid=1", "-passid=2", "-excl_memtrain_dtable", "-pasvid=3", "-pavbpn=113-ABC",
           "-retries=9", "-suppress", "-KOV", "-retain_offset"});
    CFlash& e = engine();
    e.softI2cDetect = 0;  // nothing but the constructor sets it; it must survive a parse
    EXPECT_EQ(Parse({"-i"}), Words{"-i"});

    EXPECT_EQ(ui.writeErrorIdFile + ui.noWait + ui.rebootAfter + ui.logOverwrite + ui.logAppend, 0);
    EXPECT_EQ(cmd.debugPrints + cmd.force + cmd.keepIsrSn + cmd.keepProdSn + cmd.forceSst + cmd.forceSt +
                  cmd.forceAtmel + cmd.newBios + cmd.exclMemTrainTable + cmd.retries + cmd.suppressDetail,
              0);
    EXPECT_EQ(cmd.checkIdentical + cmd.checkMemSetting + cmd.checkSsid + cmd.checkPartNumber + cmd.checkVersion, 5);
    EXPECT_EQ(cmd.filterDeviceId, 0xFFFF);
    EXPECT_EQ(cmd.filterSsid, 0xFFFF);
    EXPECT_EQ(cmd.filterSvid, 0xFFFF);
    EXPECT_EQ(e.forceSelectOnI2cFail + e.optNoPci + e.optPciOnly + e.optAgp + e.optNoAgp + e.optPcie + e.optNoPcie +
                  e.optPci + e.forceSoftSpi + e.capabilityFixup + e.acceptKovVendor + e.retainEnabled,
              0);
    EXPECT_EQ(e.maxBusToScan, 0xFF);
    EXPECT_EQ(e.maxSegmentToScan, 0xFFFF);
    EXPECT_EQ(e.noAperture, 1);

    // Kept.
    EXPECT_EQ(e.excludedFamilyCount, 4u);
    EXPECT_EQ(e.siiResetPin, 4);
    EXPECT_EQ(e.siiProgramPin, 5);
    EXPECT_STREQ(cmd.filterPartNumber, "113-ABC");
    EXPECT_EQ(e.softI2cDetect, 0);
}

TEST_F(ParseOptionsTest, LogStreamIsReplacedAndKept) {
    vmtest::TempDir dir;
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);

    Parse({"-log", "-log"});
    ASSERT_NE(ui.log, nullptr);
    EXPECT_EQ(ui.logOverwrite, 1);
    std::fputs("first\n", ui.log);
    Parse({"-logappend"});
    EXPECT_EQ(ui.logAppend, 1);
    EXPECT_EQ(ui.logOverwrite, 0);
    std::fputs("second\n", ui.log);
    Parse({"-i"});  // no log switch: the stream stays open
    ASSERT_NE(ui.log, nullptr);
    std::fputs("third\n", ui.log);
    std::fflush(ui.log);
    EXPECT_EQ(vmtest::ReadFile(dir.File("vorbanmill.log")), "first\nsecond\nthird\n");

    // A replaced stream is closed, not leaked: one descriptor stays open however often.
    auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator{});
    };
    auto before = openDescriptors();
    for (int i = 0; i < 5; ++i) Parse({"-log", "-logappend"});
    EXPECT_EQ(openDescriptors(), before);

    ASSERT_EQ(chdir(previous), 0);
}

}  // namespace
