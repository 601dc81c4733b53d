// The "-mb" input file from text to flags, values, texts, printed lines and
// result; and the write protection around "-mi" seen on the simulated
// part's wire.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "commands/CFlashCmd.h"
#include "engine/CFlash.h"
#include "platform/HardwareBackend.h"
#include "sim/SimHardware.h"
#include "sim/SimSpiBoard.h"
#include "support/RomImageBuilder.h"
#include "ui/CTevUI.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

struct Parsed {
    int result = -1;
    std::string out;
};

Parsed Parse(CTevUI& ui, const std::string& text) {
    FILE* f = std::tmpfile();
    std::fputs(text.c_str(), f);
    std::rewind(f);
    CaptureStdout();
    Parsed p;
    p.result = ui.ParseModifyFile(f);
    p.out = GetCapturedStdout();
    std::fclose(f);
    return p;
}

// A value when its key's flag is set; nothing when the flag is clear.
using Id = std::optional<int>;
using Text = std::optional<std::string>;

TEST(ModifyFile, FormsValuesMessagesAndLineNumbers) {
    const std::string longWord(130, 'x');
    std::string fits;  // 126 characters in words of nine
    for (int i = 0; i < 12; ++i) fits += "abcdefghi ";
    fits += "abcdef";
    const Id no;
    const Text none;
    struct Case {
        const char* name;
        std::string text;
        Id ssid, svid;
        Text partNumber, bootMessage;
        const char* out;
        int result;
    };
    const Case cases[] = {
        // Separate "=": non-zero and exactly four characters.
        {"separate", "ssid = 0B36\nsvid = 0x12\n", 0x0B36, 0x12, none, none, "", 0},
        {"separate zero", "ssid = 0000\n", no, no, none, none, "Invalid ssid entry provided, Line 1.\n", 1},
        {"separate five", "svid = 12345\n", no, no, none, none, "Invalid svid entry provided, Line 1.\n", 1},
        // Attached forms: non-zero or four characters; never more than
        // four digits.
        {"attached", "ssid =0000\nsvid=0x1043\n", 0, 0x1043, none, none, "", 0},
        {"attached five", "svid=12345\n", no, no, none, none, "Invalid svid entry provided, Line 1.\n", 1},
        {"key with =", "SSID= 1\nSvId =abcd\n", 1, 0xABCD, none, none, "", 0},
        {"attached zero", "ssid=00\n", no, no, none, none, "Invalid ssid entry provided, Line 1.\n", 1},
        // Texts: a quoted token keeps blanks and commas; attached to "="
        // the words are joined by one blank.
        {"quoted", "biospn = \"113-A, B  C\"\nbootmsg= \"x\"\n", no, no, "113-A, B  C", "x", "", 0},
        {"joined", "bootmsg =\"Hello,  big (wide) world\"\n", no, no, none, "Hello big wide world", "", 0},
        {"one token", "biospn=\"113-X Y\"\n", no, no, "113-X Y", none, "", 0},
        {"first character dropped", "biospn =x113\"\n", no, no, "113", none, "", 0},
        {"unclosed", "bootmsg =\"abc\ndef\"\n", no, no, none, none,
         "Invalid Boot Message entry provided, Line 1.\nInvalid entry provided, Line 2.\n", 1},
        {"empty quotes", "biospn = \"\"\n", no, no, none, none, "Invalid BIOS Part Number entry provided, Line 1.\n", 1},
        {"key only", "biospn\nssid =\n", no, no, none, none,
         "Invalid BIOS Part Number entry provided, Line 1.\nInvalid ssid entry provided, Line 2.\n", 1},
        // Lines without a token do not count.
        {"numbering", "\n  \nfoo = 1\n\n\t\nsvid = 1234 extra\n", no, no, none, none,
         "Invalid entry provided, Line 1.\nInvalid svid entry provided, Line 2.\n", 1},
        {"later error clears", "ssid = 1234\nssid = 12\n", no, no, none, none, "Invalid ssid entry provided, Line 2.\n", 1},
        {"later line replaces", "ssid = 1234\nssid=4321\n", 0x4321, no, none, none, "", 0},
        // Forms ignored without a message.
        {"ignored", "ssidX=1234\nssid 715B\nbiospn=abc\nbootmsgs=\"a\"\n", no, no, none, none, "", 0},
        // Texts past 127 characters never overrun the 128-byte fields.
        {"long quoted token cut", "biospn = \"" + longWord + "\"\n", no, no, longWord.substr(0, 127), none, "", 0},
        {"joined at the limit", "bootmsg =\"" + fits + "\"\n", no, no, none, fits, "", 0},
        {"joined too long", "bootmsg =\"" + fits + "g\"\n", no, no, none, none,
         "Invalid Boot Message entry provided, Line 1.\n", 1},
        {"long joined token", "bootmsg =\"" + longWord + "\"\n", no, no, none, none,
         "Invalid Boot Message entry provided, Line 1.\n", 1},
    };
    for (const Case& c : cases) {
        CFlashCmd cmd(nullptr, 0);
        CTevUI ui;
        ui.cmd = &cmd;
        Parsed p = Parse(ui, c.text);
        EXPECT_EQ(p.result, c.result) << c.name;
        EXPECT_EQ(p.out, c.out) << c.name;
        EXPECT_EQ(cmd.modifySsid ? Id(cmd.modifySsidValue) : no, c.ssid) << c.name;
        EXPECT_EQ(cmd.modifySvid ? Id(cmd.modifySvidValue) : no, c.svid) << c.name;
        EXPECT_EQ(cmd.modifyPartNumber ? Text(cmd.modifyPartNumberText) : none, c.partNumber) << c.name;
        EXPECT_EQ(cmd.modifyBootMessage ? Text(cmd.modifyBootMessageText) : none, c.bootMessage) << c.name;
    }
}

TEST(ModifyFile, FlagsAndValuesCarryOverToTheNextFile) {
    CFlashCmd cmd(nullptr, 0);
    CTevUI ui;
    ui.cmd = &cmd;
    Parse(ui, "ssid = 1234\nbiospn = 113-OLD\n");
    Parsed p = Parse(ui, "\nsvid=1002\nssid = 1\n");
    EXPECT_EQ(p.out, "Invalid ssid entry provided, Line 2.\n");
    EXPECT_EQ(cmd.modifySsid, 0);
    EXPECT_EQ(cmd.modifySsidValue, 0x1234);  // kept, but no longer flagged
    EXPECT_EQ(cmd.modifySvid, 1);
    EXPECT_EQ(cmd.modifyPartNumber, 1);
    EXPECT_STREQ(cmd.modifyPartNumberText, "113-OLD");
}

// "-mi" on a simulated board, with every SPI frame logged.
struct MiRun {
    std::vector<std::uint8_t> statusWrites;
    std::uint8_t statusAfter = 0;
    std::string out;
    int exit = -1;
    std::vector<std::uint8_t> flash;
};

MiRun RunMi(const std::vector<std::uint8_t>& content, std::vector<std::string> words, bool eraseFails) {
    SimHardware hw;
    SimSpiBoardOptions o;
    o.storage = std::make_shared<SimStorage>(0x20000);
    o.storage->SetInitial(content);
    SimSpiBoard board = AddSpiBoard(hw, {0, 1, 0, 0}, SimSpiBoardKind::Gethra, o);
    board.flash->SetStatus(0x9C);
    board.flash->FailErase(eraseFails);
    board.flash->EnableFrameLog(true);
    ScopedHardware use(hw);
    CFlashCmd cmd(nullptr, 0);
    CTevUI ui;
    words.insert(words.begin(), "prog");
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    MiRun r;
    CaptureStdout();
    r.exit = ui.Run(int(words.size()), argv.data(), &cmd);
    r.out = GetCapturedStdout();
    for (const SimSpiFrame& f : board.flash->Frames())
        if (f.in.size() >= 2 && f.in[0] == 0x01) r.statusWrites.push_back(f.in[1]);
    r.statusAfter = board.flash->Status();
    r.flash = board.flash->Storage().Bytes();
    return r;
}

TEST(ModifyIdOnSim, WriteProtectionIsLiftedAndRestoredOnEveryPath) {
    vmtest::RomImageBuilder b;
    b.Patch(0x76, {0x02, 0x10, 0x00, 0x0B});  // the header's IDs 0B00/1002
    std::vector<std::uint8_t> rom = b.Build();
    rom.resize(0x20000, 0xFF);
    struct Case {
        const char* name;
        std::vector<std::string> words;
        bool eraseFails;
        int exit;
        const char* tail;
        std::uint8_t putBack;  // the status written after the unprotect
    };
    const Case cases[] = {
        // Showing only unprotects and puts back the status it found.
        {"show", {"-mi", "0"}, false, 0, "ROM ssid = 0B001002\n", 0x9C},
        // After an erase the part is locked again.
        {"erase fails", {"-mi", "0", "0B361002"}, true, 1, "ROM not erased\n\n   ERROR: 0FL05\n", 0xFC},
        {"no adapter", {"-mi", "3", "0B361002"}, false, 1, "Adapter not found\n\n   ERROR: 0FL05\n", 0},
    };
    for (const Case& c : cases) {
        MiRun r = RunMi(rom, c.words, c.eraseFails);
        EXPECT_EQ(r.exit, c.exit) << c.name;
        ASSERT_GE(r.out.size(), std::string(c.tail).size()) << c.name;
        EXPECT_EQ(r.out.substr(r.out.size() - std::string(c.tail).size()), c.tail) << c.name << r.out;
        if (std::string(c.name) != "no adapter") {
            EXPECT_EQ(r.statusWrites, (std::vector<std::uint8_t>{0x00, c.putBack})) << c.name;
            EXPECT_EQ(r.statusAfter & 0x9C, 0x9C) << c.name;
        }
        EXPECT_EQ(r.flash, rom) << c.name;
    }
}

}  // namespace
