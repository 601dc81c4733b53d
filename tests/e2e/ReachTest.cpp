// What the program can reach, hold and read back bounds every command:
// a ROM window smaller than the part is the ROM, a part larger than a
// command holds keeps what lies past it, and a part that does not answer
// gives no backup. Each case checks the part's file afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e/E2eSupport.h"
#include "support/RomImageBuilder.h"

using vmtest::Body;
using vmtest::E2e;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Boards only a text table knows: parallel parts, and the serial-EEPROM
// controller in a board's own registers.
const char kTextTable[] =
    "format 1.0\n"
    "type_table 1\n"
    "type_table_entry 0 0 \"Parallel\" type_parallel 20000 1 1\n"
    "type_table 2\n"
    "type_table_entry 0 0 \"M25P10/C\" type_vosk_stm25p 20000 1 1\n"
    "asic \"Oskel Parallel\" tev_oskel 1 0 0 0 0\n"
    "det_pcicmp 2 ffff 4160 4160 det_pass\n"
    "asic \"Vosk Board\" tev_halm 2 0 0 0 0\n"
    "det_pcicmp 2 ffff 7B00 7B00 det_pass\n"
    "parallel b5bf \"SST39SF010\" 20000 0\n"
    "parallel 031f \"AT49F512\" 10000 0\n"
    "parallel da1f \"AT29C020\" 40000 100\n"
    "parallel a41f \"AT29C040A\" 80000 100\n"
    "end\n";

// A 16 KiB BIOS image at 0 and at secondImageAt, a pattern everywhere else.
Bytes PartContents(std::size_t size, unsigned seed, std::size_t secondImageAt = 0) {
    Bytes part(size);
    if (size == 0) return part;
    for (std::size_t i = 0; i < size; ++i) part[i] = std::uint8_t(i * 7 + (i >> 9) + seed);
    vmtest::RomImageBuilder b;
    b.n512 = 0x20;
    b.Patch(0x76, {0x02, 0x10, 0x00, 0x0B});  // where "-mi" finds the IDs: the header's
    const Bytes image = b.Build();
    for (std::size_t at : {std::size_t(0), secondImageAt})
        std::copy(image.begin(), image.end(), part.begin() + std::ptrdiff_t(at));
    return part;
}

struct Board : E2e {
    Bytes part;
    Board(const std::string& board, std::size_t size, bool textTable, std::size_t secondImageAt = 0)
        : part(PartContents(size, 3, secondImageAt)) {
        vmtest::WriteBytes(File("part.rom"), part);
        if (textTable) vmtest::WriteFile(File("quendrix.rom"), kTextTable);
        machine = board + "\n";
    }
    Bytes Now() const { return vmtest::ReadBytes(File("part.rom")); }
};

// The image, 0xFF to `erasedTo`, and the old contents from there on.
Bytes Programmed(const Bytes& old, const Bytes& image, std::size_t erasedTo) {
    Bytes want = old;
    std::fill(want.begin(), want.begin() + std::ptrdiff_t(erasedTo), 0xFF);
    std::copy(image.begin(), image.end(), want.begin());
    return want;
}

TEST(Reach, AWindowSmallerThanThePartIsTheRom) {
    struct Case {
        const char* name;
        std::string board;
        bool textTable;
        std::size_t partSize;
        std::size_t window;
        std::size_t image;  // length of the image "-p" writes
        int exit;
        std::string line;   // a line of the output
    };
    const std::string parallel = "adapter 0000:01:00.0 quor device=0x4160";
    const Case cases[] = {
        {"page part in 256 KiB of a 512 KiB BAR",
         parallel + " romsize=512K\nparallelflash part=AT29C040A file=part.rom", true, 0x80000, 0x40000, 0x8000, 0,
         ""},
        {"page part behind a 128 KiB BAR", parallel + "\nparallelflash part=AT29C020 file=part.rom", true, 0x40000,
         0x20000, 0x8000, 0, ""},
        {"image larger than the window", parallel + "\nparallelflash part=AT29C020 file=part.rom", true, 0x40000,
         0x20000, 0x40000, 1, "Can not flash a 0x40000 length image into a 0x20000 length rom!\n"},
        {"chip-erased part behind a 64 KiB BAR", parallel + " romsize=64K\nparallelflash part=SST39SF010 file=part.rom",
         true, 0x20000, 0x10000, 0x8000, 1, "ROM not erased\n"},
        {"M25P20 behind the bridge's controller",
         "adapter 0000:01:00.0 nerrow strap=3\nseprom part=M25P20 file=part.rom", false, 0x40000, 0x20000, 0x8000, 0,
         ""},
        {"M25P20 behind the board's own controller",
         "adapter 0000:01:00.0 quor device=0x7B00\nseprom part=M25P20 file=part.rom", true, 0x40000, 0x20000, 0x8000, 0,
         ""},
    };
    for (const Case& c : cases) {
        Board m(c.board, c.partSize, c.textTable);
        vmtest::RunResult r = m.Sim({"-s", "0", "saved.rom"});
        EXPECT_EQ(r.exitCode, 0) << c.name << Body(r);
        const std::size_t saved = c.window > 0x10000 ? c.window : 0x4000;  // a small ROM saves its BIOS image
        EXPECT_EQ(vmtest::ReadBytes(m.File("saved.rom")), Bytes(m.part.begin(), m.part.begin() + std::ptrdiff_t(saved)))
            << c.name;

        const Bytes image = PartContents(c.image, 9);
        vmtest::WriteBytes(m.File("new.rom"), image);
        r = m.Sim({"-p", "0", "new.rom", "-f"});
        EXPECT_EQ(r.exitCode, c.exit) << c.name << Body(r);
        EXPECT_NE(Body(r).find(c.line), std::string::npos) << c.name << Body(r);
        // Past the window nothing changes, refused or not.
        EXPECT_EQ(m.Now(), c.exit == 0 ? Programmed(m.part, image, c.window) : m.part) << c.name;
    }
}

TEST(Reach, APartLargerThanACommandHoldsKeepsWhatLiesPastIt) {
    struct Case {
        const char* name;
        std::string board;
        std::size_t partSize;
        std::size_t held;  // what the command works on
        std::vector<std::string> args;
    };
    const Case cases[] = {
        // The record says 64 KiB; the JEDEC ID names 128 KiB.
        {"F25L01PA edited", "spiboard 0000:01:00.0 gethra part=F25L01PA file=part.rom", 0x20000, 0x10000,
         {"-mi", "0", "0B361043"}},
        {"IS25LP016D programmed", "spiboard 0000:01:00.0 orpane part=IS25LP016D file=part.rom", 0x200000, 0x100000,
         {"-p", "0", "new.rom", "-f"}},
        {"W25Q32BV programmed", "spiboard 0000:01:00.0 ulvane part=W25Q32BV/FV file=part.rom", 0x400000, 0x100000,
         {"-p", "0", "new.rom", "-f"}},
    };
    for (const Case& c : cases) {
        Board m(c.board, c.partSize, false, 0x10000);
        const Bytes image = PartContents(0x10000, 9);
        vmtest::WriteBytes(m.File("new.rom"), image);
        const vmtest::RunResult r = m.Sim(c.args);
        const Bytes now = m.Now();
        ASSERT_EQ(now.size(), c.partSize) << c.name;
        const auto held = std::ptrdiff_t(c.held);
        EXPECT_TRUE(std::equal(now.begin() + held, now.end(), m.part.begin() + held)) << c.name << Body(r);
        if (c.args[0] == "-mi") {
            EXPECT_EQ(r.exitCode, 0) << c.name << Body(r);
            EXPECT_EQ(now[0x11A], 0x36) << c.name;  // the new SSID in the header
        } else {
            // The command's verdict on a part it cannot hold whole is its own.
            EXPECT_EQ(now, Programmed(m.part, image, c.held)) << c.name << Body(r);
        }
    }
}

TEST(Reach, APartThatDoesNotAnswerGivesNoBackup) {
    const struct {
        const char* name;
        std::string board;
        bool textTable;
    } kBoards[] = {
        {"bridge controller", "adapter 0000:01:00.0 nerrow strap=3\nseprom fault=absent", false},
        {"board's own controller", "adapter 0000:01:00.0 quor device=0x7B00\nseprom fault=absent", true},
        {"parallel part", "adapter 0000:01:00.0 quor device=0x4160\nparallelflash fault=absent", true},
    };
    for (const auto& b : kBoards) {
        Board m(b.board, 0, b.textTable);
        vmtest::RunResult r = m.Sim({"-s", "0", "saved.rom"});
        EXPECT_EQ(r.exitCode, 1) << b.name;
        EXPECT_EQ(Body(r), "Failed to read ROM\n") << b.name;
        EXPECT_FALSE(vmtest::FileExists(m.File("saved.rom"))) << b.name;
        r = m.Sim({"-t", "0"});
        EXPECT_EQ(r.exitCode, 1) << b.name;
        EXPECT_EQ(Body(r), "Fail\n\n   ERROR: 0FL02\n") << b.name;
    }
}

// Boards whose ROM the program reaches only through a text table.
bool NeedsTextTable(const std::string& board) { return board.find(" quor ") != std::string::npos; }

TEST(Reach, NoReadAsksPastWhatTheRomGivesBack) {
    const std::string own = "adapter 0000:01:00.0 quor device=0x", window = "the ROM window reaches 0x";
    const struct {
        std::string board;
        std::size_t partSize, reach;
        std::string asked, refused;
    } cases[] = {
        {"adapter 0000:01:00.0 nerrow strap=3\nseprom part=AT25F2048", 0x40000, 0x20000, "40000", window + "20000"},
        {own + "7B00 romsize=32K\nseprom part=M25P20", 0x40000, 0x8000, "10000", window + "8000"},
        {own + "4160 romsize=64K\nparallelflash part=SST39SF010", 0x20000, 0x10000, "20000", window + "10000"},
        {own + "4160\nparallelflash part=AT49F512", 0x10000, 0x10000, "20000", "the ROM holds 0x10000"},
        {"spiboard 0000:01:00.0 gethra part=M25P05", 0x10000, 0x10000, "20000", "the ROM holds 0x10000"},
    };
    for (const auto& c : cases) {
        Board m(c.board + " file=part.rom", c.partSize, NeedsTextTable(c.board));
        m.part[2] = 0x90;  // the header claims 72 KiB
        vmtest::WriteBytes(m.File("part.rom"), m.part);
        Bytes rom(m.part.begin(), m.part.begin() + std::ptrdiff_t(c.reach)), longer = rom;
        longer.resize(2 * c.reach, 0xFF);  // what filler past the ROM would match
        vmtest::WriteBytes(m.File("long.rom"), longer);
        const std::string line = "Can not read 0x" + c.asked + " bytes: " + c.refused + "\n";
        std::vector<std::pair<std::vector<std::string>, std::string>> runs = {
            {{"-s", "0", "s.rom", c.asked}, line}, {{"-v", "0", "long.rom"}, line + "\n   ERROR: 0FL04\n"}};
        if (c.reach < 0x12000)  // nor is a BIOS image the ROM cannot hold summed
            runs.push_back({{"-cb", "0"}, "Can not read 0x12000 bytes: " + c.refused + "\n\n   ERROR: 0FL03\n"});
        for (const auto& [args, out] : runs) {
            const vmtest::RunResult r = m.Sim(args);
            EXPECT_EQ(r.exitCode, 1) << c.board << " " << args[0];
            EXPECT_EQ(Body(r), out) << c.board << " " << args[0];
        }
        EXPECT_FALSE(vmtest::FileExists(m.File("s.rom"))) << c.board;
        // Without a length the backup is the ROM, never more.
        EXPECT_EQ(m.Sim({"-s", "0", "whole.rom"}).exitCode, 0) << c.board;
        EXPECT_EQ(vmtest::ReadBytes(m.File("whole.rom")), rom) << c.board;
        EXPECT_EQ(m.Now(), m.part) << c.board;
    }
}

TEST(Reach, AnEraseWiderThanTheWindowIsRefusedUntouched) {
    const std::string bridge = "adapter 0000:01:00.0 nerrow strap=", own = "adapter 0000:01:00.0 quor device=0x7B00";
    const struct {
        std::string board;  // the refused ones start locked: the status must stay as found
        std::size_t partSize, window;
        std::vector<std::string> args;
    } cases[] = {
        {bridge + "3 romsize=32K\nseprom status=0x8C part=M25P20", 0x40000, 0x8000,
         {"-p", "0", "new.rom", "-f", "-retries=2"}},
        {bridge + "1 romsize=32K\nseprom status=0x8C part=AT25F2048", 0x40000, 0x8000, {"-isr", "0", "7", "8"}},
        {own + " romsize=32K\nseprom status=0x8C part=M25P40", 0x80000, 0x8000, {"-isr", "0", "7", "8"}},
        {own + " romsize=32K\nseprom status=0x8C part=AT25F4096", 0x80000, 0x8000, {"-p", "0", "new.rom", "-atmel"}},
        // Whole 64 KiB sectors in the window, and the SST parts' 32 KiB blocks.
        {bridge + "3 romsize=64K\nseprom part=M25P20", 0x40000, 0x10000, {"-p", "0", "new.rom", "-f"}},
        {bridge + "3 romsize=32K\nseprom part=SST25VF010", 0x20000, 0x8000, {"-p", "0", "new.rom", "-f", "-sst"}},
    };
    for (const auto& c : cases) {
        Board m(c.board + " file=part.rom", c.partSize, NeedsTextTable(c.board));
        const Bytes image = PartContents(0x4000, 9);
        vmtest::WriteBytes(m.File("new.rom"), image);
        const vmtest::RunResult r = m.Sim(c.args);
        const bool refused = c.board.find("status=") != std::string::npos;
        EXPECT_EQ(r.exitCode, refused ? 1 : 0) << c.board << Body(r);
        EXPECT_EQ(m.Now(), refused ? m.part : Programmed(m.part, image, c.window)) << c.board;
        if (!refused) continue;
        EXPECT_NE(Body(r).find("ROM not erased\n"), std::string::npos) << c.board;
        EXPECT_EQ(Body(r).find("Auto retry"), std::string::npos) << c.board;
        EXPECT_EQ(vmtest::ReadFile(m.File("part.rom.status")), "0x8C\n") << c.board;
    }
}

}  // namespace
