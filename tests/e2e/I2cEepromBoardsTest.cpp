// The I2C EEPROM boards in vorbanmill-sim: a companion-chip board of the
// built-in table (EEPROM behind the GPU's I2C engine) and a board with a
// GPIO I2C EEPROM that only a text type table reaches.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/E2eSupport.h"

using vmtest::Body;
using vmtest::E2e;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Companion-chip EEPROM: signature, then an identity record at 7 (type 1,
// length, size in 128-byte units, 4 bytes, name, part number).
Bytes MibContents() {
    Bytes b(128, 0xFF);
    const std::string name("Pardel ID\0", 10), part("113-MIB0042\0", 12);
    Bytes rec = {0xAA, 0x55, 0, 0, 0, 0, 0, 1, std::uint8_t(5 + name.size() + part.size()), 1, 0, 0, 0, 0};
    rec.insert(rec.end(), name.begin(), name.end());
    rec.insert(rec.end(), part.begin(), part.end());
    std::copy(rec.begin(), rec.end(), b.begin());
    for (std::size_t i = 64; i < 128; ++i) b[i] = std::uint8_t(i * 7);
    return b;
}

// A DDC-like EEPROM of 256 bytes.
Bytes GpioContents() {
    Bytes b(256);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = std::uint8_t(i * 37 + 11);
    const Bytes head = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    std::copy(head.begin(), head.end(), b.begin());
    return b;
}

// The text type table of the GPIO I2C board.
std::string GpioTable() { return vmtest::ReadFile(VM_SOURCE_DIR "/tests/engine/fixtures/gpio_i2c_board.rom"); }

struct Board {
    const char* name;
    const char* asic;
    const char* flash;
    const char* size;     // romsize column
    const char* part;     // bios p/n column
    Bytes contents;
    std::string machine;  // after the EEPROM options below are added
    bool textTable;
};

std::vector<Board> Boards() {
    return {
        {"companion chip", "Pardel", "I2C EEPROM", "80", "113-MIB0042", MibContents(),
         "adapter 0000:01:00.0 pardel\ni2ceeprom file=ee.bin", false},
        {"gpio", "Irvast Eeprom", "DDC/1", "100", "      -", GpioContents(),  // no part number
         "adapter 0000:01:00.0 quor device=0x4152\ni2ceeprom bus=gpio page=8 file=ee.bin", true},
    };
}

struct BoardMachine : E2e {
    BoardMachine(const Board& b, const std::string& options = "") {
        vmtest::WriteBytes(File("ee.bin"), b.contents);
        if (b.textTable) vmtest::WriteFile(File("quendrix.rom"), GpioTable());
        machine = b.machine + " " + options + "\n";
    }
};

std::string Pad(std::string s, std::size_t n) {
    s.resize(std::max(n, s.size()), ' ');
    return s;
}

// Adapter-list row from the chip name up to the test column.
std::string RowHead(const Board& b, const char* test) {
    return Pad(b.asic, 16) + Pad(b.flash, 15) + std::string(7 - std::string(b.size).size(), ' ') + b.size + " " + test;
}

std::string Row(const Board& b, const char* test) { return RowHead(b, Pad(test, 5).c_str()) + b.part; }

TEST(I2cEepromBoards, IdentifySaveVerifyAndTestReadTheEeprom) {
    for (const Board& b : Boards()) {
        BoardMachine m(b);
        vmtest::RunResult r = m.Sim({"-i"});
        EXPECT_EQ(r.exitCode, 0) << b.name;
        EXPECT_NE(Body(r).find(Row(b, "pass")), std::string::npos) << b.name << "\n" << Row(b, "pass") << "\n" << r.out;

        r = m.Sim({"-s", "0", "out.rom"});
        EXPECT_EQ(r.exitCode, 0) << b.name << r.out;
        EXPECT_EQ(vmtest::ReadBytes(m.File("out.rom")), b.contents) << b.name;

        r = m.Sim({"-v", "0", "ee.bin"});
        EXPECT_EQ(r.exitCode, 0) << b.name << r.out;
        r = m.Sim({"-t", "0"});
        EXPECT_EQ(r.exitCode, 0) << b.name << r.out;
        EXPECT_NE(Body(r).find("Pass"), std::string::npos) << b.name;
        // Reading leaves the device as it was.
        EXPECT_EQ(vmtest::ReadBytes(m.File("ee.bin")), b.contents) << b.name;
    }
}

// A device that does not answer (no EEPROM fitted; the bus clock held low
// by a broken slave) reads as a failure, and "-s" saves nothing.
TEST(I2cEepromBoards, ASilentDeviceSavesNoFile) {
    const std::vector<std::string> faults = {"fault=absent", "scl-low-after=5"};
    std::vector<Board> boards = Boards();
    for (std::size_t i = 0; i < boards.size(); ++i) {
        const Board& b = boards[i];
        BoardMachine m(b, faults[i]);
        vmtest::RunResult r = m.Sim({"-i"});
        EXPECT_NE(Body(r).find(RowHead(b, "fail")), std::string::npos) << b.name << "\n" << r.out;
        r = m.Sim({"-s", "0", "out.rom"});
        EXPECT_NE(r.exitCode, 0) << b.name;
        EXPECT_NE(Body(r).find("Failed to read ROM"), std::string::npos) << b.name << r.out;
        EXPECT_EQ(m.Listing().count("out.rom"), 0u) << b.name;
    }
}

// A companion-chip EEPROM that answers nothing, or takes the address
// pointer and then refuses the read: every reading command fails, and no
// backup file is left.
TEST(I2cEepromBoards, AReadWithoutAnAnswerIsAFailure) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{"-s", "0", "out.rom"}, "Failed to read ROM\n"},
        {{"-t", "0"}, "Fail\n\n   ERROR: 0FL02\n"},
        {{"-v", "0", "ee.bin"}, "Failed to read ROM\n\n   ERROR: 0FL04\n"},
        {{"-cr", "0"}, "Failed to read ROM\n\n   ERROR: 0FL03\n"},
    };
    for (const char* fault : {"fault=absent", "fault=nack-read"}) {
        BoardMachine m(Boards()[0], fault);
        for (const Case& c : cases) {
            vmtest::RunResult r = m.Sim(c.args);
            EXPECT_EQ(r.exitCode, 1) << fault << " " << c.args[0];
            EXPECT_EQ(Body(r), c.out) << fault << " " << c.args[0];
        }
        EXPECT_EQ(m.Listing().count("out.rom"), 0u) << fault;
        EXPECT_EQ(vmtest::ReadBytes(m.File("ee.bin")), Boards()[0].contents) << fault;
    }
}

// Detection reads the EEPROM: a bus where nobody answers matches no chip.
TEST(I2cEepromBoards, AnAbsentGpioEepromIsNotDetected) {
    BoardMachine m(Boards()[1], "fault=absent");
    vmtest::RunResult r = m.Sim({"-i"});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(Body(r).find("Adapter not found"), std::string::npos) << r.out;
}

// These EEPROMs hold no PC BIOS image: "-f" skips that check.
TEST(I2cEepromBoards, ProgramThenSaveGivesTheImage) {
    for (const Board& b : Boards()) {
        BoardMachine m(b);
        Bytes image = b.contents;
        for (std::size_t i = 16; i < image.size(); ++i) image[i] = std::uint8_t(image[i] ^ 0x5A);
        vmtest::WriteBytes(m.File("new.rom"), image);
        vmtest::RunResult r = m.Sim({"-p", "0", "new.rom", "-f"});
        EXPECT_EQ(r.exitCode, 0) << b.name << r.out;
        EXPECT_EQ(vmtest::ReadBytes(m.File("ee.bin")), image) << b.name;
        r = m.Sim({"-s", "0", "again.rom"});
        EXPECT_EQ(r.exitCode, 0) << b.name << r.out;
        EXPECT_EQ(vmtest::ReadBytes(m.File("again.rom")), image) << b.name;
    }
}

}  // namespace

// An I2C EEPROM is written only as far as the image reaches and keeps its
// own bytes past it, also where its table size is larger than the part (a
// write past its end would wrap onto it). A page that does not take its
// bytes is written again, one byte per write on the last attempt; a GPIO
// EEPROM that never ends its write cycle fails.
TEST(I2cEepromBoards, ProgramOutcomesOfPartialPagesAndStuckParts) {
    constexpr std::size_t kNone = ~std::size_t(0);
    struct Case {
        std::size_t board;
        const char* options;
        std::size_t length;
        int exitCode;
        const char* report;
        std::size_t changed;         // leading EEPROM bytes that take the image
        std::size_t size = 0;        // the EEPROM's size; 0: as its contents
        std::size_t kept = kNone;    // a cell among them that keeps its old byte
    };
    const Case kCases[] = {
        {0, "", 100, 0, "64/64h bytes programmed\n64/64h bytes verified\n", 100},
        {1, "fault=busy-forever", 256, 1, "Write fail\n0/100h bytes programmed\n", 8},
        {1, "", 100, 0, "64/64h bytes programmed\n64/64h bytes verified\n", 100},
        {1, "size=128", 128, 0, "80/80h bytes programmed\n80/80h bytes verified\n", 128, 128},
        {0, "fail-program-at=0x43", 128, 0, "80/80h bytes programmed\n80/80h bytes verified\n", 128},
        {1, "fail-program-at=0x43", 256, 0, "100/100h bytes programmed\n100/100h bytes verified\n", 256},
        {0, "fail-program-at=0x43:2", 128, 1, "Write fail\n80/80h bytes programmed\n43/80h bytes verified\n", 128,
         0, 0x43},
        {1, "fail-program-at=0x43:2", 256, 1, "Write fail\n43/100h bytes programmed\n", 256, 0, 0x43},
    };
    for (const Case& c : kCases) {
        Board b = Boards()[c.board];
        if (c.size != 0) b.contents.resize(c.size);
        SCOPED_TRACE(std::string(b.name) + " " + c.options);
        BoardMachine m(b, c.options);
        Bytes image(c.length);
        for (std::size_t i = 0; i < image.size(); ++i) image[i] = std::uint8_t(b.contents[i] ^ 0xA5);
        vmtest::WriteBytes(m.File("new.rom"), image);
        vmtest::RunResult r = m.Sim({"-p", "0", "new.rom", "-f"});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
        EXPECT_NE(Body(r).find(c.report), std::string::npos) << r.out;
        Bytes expect = b.contents;
        std::copy(image.begin(), image.begin() + std::ptrdiff_t(c.changed), expect.begin());
        if (c.kept != kNone) expect[c.kept] = b.contents[c.kept];
        EXPECT_EQ(vmtest::ReadBytes(m.File("ee.bin")), expect);
    }
}
