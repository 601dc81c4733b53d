// The ROM commands on simulated SPI boards of every ROM-controller layout:
// identification names the modelled part, "-s" saves the flash itself
// (the ROM aperture of these boards holds other bytes), and "-swspi"
// bit-bangs past the controller with the lines the type table gives, which
// reach the flash only on a board wired to them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/E2eSupport.h"
#include "support/RomImageBuilder.h"
#include "support/SpiTypeTable.h"

using vmtest::Body;
using vmtest::E2e;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Board {
    const char* kind;      // machine-file board kind
    const char* asic;      // chip name the adapter table shows
    const char* part;      // modelled part (answers its own ID command)
    std::size_t size;
    const char* timeout;   // controller time-out line of its generation; "" = none
};

// One board per layout; the parts answer each of the built-in ID commands.
const Board kBoards[] = {
    {"orpane", "Orpane", "M25P10", 0x20000, "Quor spi - read rom controller status timeout\n"},
    {"tovarne", "Tovarne", "SST25VF010", 0x20000, "Quor spi - read rom controller status timeout\n"},
    {"ombrel", "Ombrel", "AT25F1024", 0x20000, ""},
    {"ulvane", "Ulvane", "PM25LV010", 0x20000, ""},
    {"wenmar", "Wenmar", "W25P20", 0x40000, ""},
    {"gethra", "Gethra", "M25P20/c", 0x40000, "POMVEK spi - read rom controller status timeout\n"},
    {"gethra-hobran", "Gethra", "GD25Q41B", 0x80000, "POMVEK spi - read rom controller status timeout\n"},
    {"hobran", "Hobran", "FM25Q08A", 0x100000, "POMVEK spi - read rom controller status timeout\n"},
    {"fyrand", "Fyrand", "S25FL004", 0x80000, "POMVEK spi - read rom controller status timeout\n"},
};

// A BIOS image followed by a pattern that differs from page to page.
Bytes FlashContents(std::size_t size, unsigned seed) {
    vmtest::RomImageBuilder b;
    b.n512 = 0x70;
    Bytes rom = b.Build();
    rom.resize(size);
    for (std::size_t i = 0xE000; i < size; ++i) rom[i] = std::uint8_t(i * 29 + (i >> 8) * 7 + seed);
    return rom;
}

// The built-in software-SPI lines; no modelled generation has its flash there.
const std::string kTableLines = "cs=0x179C:19 clk=0x179C:10 mosi=0x179C:9 miso=0x17A4:8";

struct BoardMachine : E2e {
    Bytes flash;
    BoardMachine(const Board& b, unsigned seed, const std::string& options = "") {
        flash = FlashContents(b.size, seed);
        vmtest::WriteBytes(File("flash.rom"), flash);
        machine = std::string("spiboard 0000:01:00.0 ") + b.kind + " part=" + b.part + " file=flash.rom " + options + "\n";
    }
};

std::string Hex(std::size_t v) {
    char s[16];
    std::snprintf(s, sizeof s, "%zX", v);
    return s;
}

TEST(SpiBoards, EveryLayoutIdentifiesItsPartAndSavesTheFlash) {
    unsigned seed = 1;
    for (const Board& b : kBoards) {
        BoardMachine m(b, seed++);
        vmtest::RunResult r = m.Sim({"-i", "0"});
        EXPECT_EQ(r.exitCode, 0) << b.kind;
        const std::string body = Body(r);
        EXPECT_NE(body.find(std::string(b.asic) + " "), std::string::npos) << b.kind << "\n" << body;
        std::string part = b.part;
        part.resize(15, ' ');
        EXPECT_NE(body.find(part + std::string(7 - Hex(b.size).size(), ' ') + Hex(b.size) + " pass "),
                  std::string::npos)
            << b.kind << "\n" << body;

        r = m.Sim({"-s", "0", "out.rom"});
        EXPECT_EQ(r.exitCode, 0) << b.kind;
        EXPECT_EQ(Body(r).rfind("0x" + Hex(b.size) + " bytes saved, ", 0), 0u) << b.kind;
        EXPECT_EQ(vmtest::ReadBytes(m.File("out.rom")), m.flash) << b.kind;
        EXPECT_EQ(vmtest::ReadBytes(m.File("flash.rom")), m.flash) << b.kind;
    }
}

TEST(SpiBoards, SoftwareSpiGoesPastADeadController) {
    // The controller never finishes a frame: the hardware path fails with
    // its generation's line, the bit-banged one still reads the flash.
    unsigned seed = 40;
    for (const Board& b : kBoards) {
        BoardMachine m(b, seed++, "fault=status-never");
        vmtest::RunResult r = m.Sim({"-s", "0", "out.rom"});
        EXPECT_EQ(r.exitCode, 1) << b.kind;
        const std::string body = Body(r);
        const std::string tail = "Failed to read ROM\n";
        ASSERT_GE(body.size(), tail.size()) << b.kind;
        EXPECT_EQ(body.substr(body.size() - tail.size()), tail) << b.kind;
        const std::string lines = body.substr(0, body.size() - tail.size());
        if (*b.timeout) {
            EXPECT_FALSE(lines.empty()) << b.kind;
            for (std::size_t p = 0; p < lines.size(); p += std::string(b.timeout).size())
                EXPECT_EQ(lines.substr(p, std::string(b.timeout).size()), b.timeout) << b.kind;
        } else {
            EXPECT_EQ(lines, "") << b.kind;
        }
        EXPECT_FALSE(vmtest::FileExists(m.File("out.rom"))) << b.kind;

        // A board wired to the table's lines is read bit by bit.
        BoardMachine wired(b, seed, "fault=status-never " + kTableLines);
        r = wired.Sim({"-s", "0", "sw.rom", "2000", "-swspi"});
        EXPECT_EQ(r.exitCode, 0) << b.kind;
        EXPECT_EQ(Body(r).rfind("0x2000 bytes saved, ", 0), 0u) << b.kind;
        EXPECT_EQ(vmtest::ReadBytes(wired.File("sw.rom")), Bytes(wired.flash.begin(), wired.flash.begin() + 0x2000))
            << b.kind;
    }
}

// The boards as their generations wire them: the flash hangs on the ROM
// controller's own pads, not on the lines the built-in table gives for
// "-swspi". The bit-banged frames reach nothing, the row shows the type
// entry's name and a failed test, and "-s" fails without a file.
TEST(SpiBoards, SoftwareSpiFindsNoPartOnAGenerationsOwnPads) {
    unsigned seed = 60;
    for (const Board& b : kBoards) {
        BoardMachine m(b, seed++);
        vmtest::RunResult r = m.Sim({"-i", "0", "-swspi"});
        EXPECT_EQ(r.exitCode, 0) << b.kind;
        // The third generation (the POMVEK controller) has type table 14.
        const bool third = std::string(b.timeout).rfind("POMVEK", 0) == 0;
        const std::string type = third ? "POMVEK SPI       40000 fail " : "Quor SPI         10000 fail ";
        EXPECT_NE(Body(r).find(type), std::string::npos) << b.kind << "\n" << Body(r);
        r = m.Sim({"-s", "0", "sw.rom", "2000", "-swspi"});
        EXPECT_EQ(r.exitCode, 1) << b.kind;
        EXPECT_EQ(Body(r), "Failed to read ROM\n") << b.kind;
        EXPECT_FALSE(vmtest::FileExists(m.File("sw.rom"))) << b.kind;
        EXPECT_EQ(vmtest::ReadBytes(m.File("flash.rom")), m.flash) << b.kind;
    }
}

// A type table for the Gethra board whose software-SPI lines are all
// active low.
const std::string kInvertedLinesTable =
    std::string("format 1.0\n"
    "swspi_table 1\n"
    "swspi_reg 179c 179c 179c 17a4\n"
    "swspi_bit 13 1 a 1 9 1 8 1\n"
    "swspi_delay 0\n"
    "type_table 1\n"
    "type_table_entry2 0 0 \"POMVEK SPI\" type_pomvek 40000 1 1 1\n"
    "asic \"Gethra\" kov_gethra 1 0 0 0 0\n"
    "det_pcicmp 2 ffff 6860 6860 det_pass\n")
    + vmtest::kM25P10CommandSetText;

TEST(SpiBoards, SoftwareSpiLinePolarityMustMatchTheBoard) {
    const std::string inverted = "cs=0x179C:19:inv clk=0x179C:10:inv mosi=0x179C:9:inv miso=0x17A4:8:inv";
    struct Case {
        const char* name;
        bool tableInverts;
        bool boardInverts;
        bool identified;
    } cases[] = {
        {"both plain", false, false, true},
        {"both inverted", true, true, true},
        {"board inverted only", false, true, false},
        {"table inverted only", true, false, false},
    };
    const Board gethra{"gethra", "Gethra", "M25P10", 0x20000, ""};
    for (const Case& c : cases) {
        // A dead controller: only the bit-banged lines can reach the part.
        BoardMachine m(gethra, 7, std::string("fault=status-never ") + (c.boardInverts ? inverted : kTableLines));
        if (c.tableInverts) vmtest::WriteFile(m.File("quendrix.rom"), kInvertedLinesTable);
        vmtest::RunResult r = m.Sim({"-i", "0", "-swspi"});
        EXPECT_EQ(r.exitCode, 0) << c.name;
        const std::string body = Body(r);
        EXPECT_EQ(body.find("M25P10           20000 pass ") != std::string::npos, c.identified)
            << c.name << "\n" << body;
        EXPECT_EQ(body.find("POMVEK SPI") != std::string::npos, !c.identified) << c.name << "\n" << body;
        if (!c.identified) continue;
        r = m.Sim({"-s", "0", "sw.rom", "1000", "-swspi"});
        EXPECT_EQ(r.exitCode, 0) << c.name;
        EXPECT_EQ(vmtest::ReadBytes(m.File("sw.rom")), Bytes(m.flash.begin(), m.flash.begin() + 0x1000)) << c.name;
    }
}

}  // namespace
