// A SiI1930 board in vorbanmill-sim (reached through a text type table):
// "-i" and "-ai" show the device's firmware version as the device reports
// it, read over GPIO I2C after the reset pulse on the pins given or found in
// the video BIOS; the ROM commands end as they must on a device whose flash
// cannot be read back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/E2eSupport.h"
#include "engine/SiI1930Bios.h"

using vmtest::Body;
using vmtest::E2e;

namespace {

void UseSiiTable(E2e& m) {
    vmtest::WriteFile(m.File("quendrix.rom"),
                      vmtest::ReadFile(VM_SOURCE_DIR "/tests/engine/fixtures/sii1930_board.rom"));
}

std::string Text(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(SiI1930Board, ListingsShowTheDeviceFirmwareVersion) {
    struct Case {
        const char* name;
        const char* device;  // sii1930 statement options
        const char* version;
        const char* variant;
    } kCases[] = {
        {"answers", "version=0x3460", "3.4", "6"},
        // A failed version read shows as version 0.0.
        {"silent", "version=0x3460 fault=nack", "0.0", "0"},
    };
    for (const Case& c : kCases) {
        E2e m;
        UseSiiTable(m);
        // Register 0xC bit 3 is clear, so pins given on the command line
        // are driven through register set B.
        m.machine = std::string("adapter 0000:01:00.0 quor device=0x4162\nsii1930 pins=b reset=4 program=5 ") +
                    c.device + "\n";
        vmtest::RunResult r = m.Sim({"-i", "-scansii", "-siireset=4", "-siiuprog=5"});
        EXPECT_EQ(r.exitCode, 0) << c.name << r.out;
        EXPECT_NE(Body(r).find("SiI 1930          4000   -        -"), std::string::npos) << c.name << r.out;

        r = m.Sim({"-ai", "-scansii", "-siireset=4", "-siiuprog=5"});
        EXPECT_EQ(r.exitCode, 0) << c.name << r.out;
        EXPECT_NE(Body(r).find(std::string("    Firmware Version   :  ") + c.version + "\n"), std::string::npos)
            << c.name << r.out;
        EXPECT_NE(Body(r).find(std::string("    Firmware Variant   :  ") + c.variant + "\n"), std::string::npos)
            << c.name << r.out;
    }
}

// The device answers only after a reset pulse on its own pins, so the
// version shows only when the pins and their register set are the ones the
// board is wired to. Set A is 0x198/0x19C/0x1A0, set B 0xC54/0xC58/0xC5C;
// the strap is bit 3 of register 0xC.
TEST(SiI1930Board, PinsAndRegisterSetFromEachSource) {
    enum class Bios { None, InRom, InLegacy };
    struct Case {
        const char* name;
        const char* wiring;  // sii1930 options
        unsigned strap;
        bool pinsOnCommandLine;  // 4 and 5
        Bios bios;
        std::uint8_t resetPin, programPin;  // in the video BIOS
        const char* version;
    } kCases[] = {
        {"command line, strap 0: set B", "pins=b reset=4 program=5", 0, true, Bios::None, 0, 0, "3.4"},
        {"command line, strap 1: set A", "pins=a reset=4 program=5", 1, true, Bios::None, 0, 0, "3.4"},
        {"command line, strap 1, board on set B", "pins=b reset=4 program=5", 1, true, Bios::None, 0, 0, "0.0"},
        // The command line wins over the video BIOS.
        {"command line over BIOS pins", "pins=a reset=4 program=5", 1, true, Bios::InRom, 6, 7, "3.4"},
        {"BIOS reset pin below 18: set A", "pins=a reset=6 program=7", 0, false, Bios::InRom, 6, 7, "3.4"},
        {"BIOS in ROM, program pin below 18, strap 1: set A", "pins=a reset=20 program=9", 1, false, Bios::InRom, 20,
         9, "3.4"},
        {"BIOS in ROM, program pin below 18, strap 0: set B", "pins=b reset=20 program=9", 0, false, Bios::InRom, 20,
         9, "3.4"},
        // No ROM answers the probe: the legacy area is read, and that alone
        // sends the pins to set B.
        {"BIOS in legacy area, strap 1: set B", "pins=b reset=20 program=9", 1, false, Bios::InLegacy, 20, 9, "3.4"},
        {"BIOS in legacy area, board on set A", "pins=a reset=20 program=9", 1, false, Bios::InLegacy, 20, 9, "0.0"},
        // Both above 17: ids mapped (25 -> 18, 30 -> 11) onto set B.
        {"BIOS pin ids mapped", "pins=b reset=18 program=11", 1, false, Bios::InRom, 25, 30, "3.4"},
        {"no pins anywhere", "pins=a", 1, false, Bios::None, 0, 0, "0.0"},
    };
    for (const Case& c : kCases) {
        E2e m;
        UseSiiTable(m);
        const std::string bios = Text(sii1930test::BiosWithPins(c.resetPin, c.programPin));
        std::string machine = "adapter 0000:01:00.0 quor device=0x4162\nromindex\nreg 0xC=" +
                              std::to_string(c.strap << 3) + "\n";
        if (c.bios == Bios::InRom) {
            std::string rom = bios;
            rom.resize(128 << 10, '\xFF');
            vmtest::WriteFile(m.File("board.rom"), rom);
            machine += "rom file=board.rom size=128K\n";
        }
        machine += std::string("sii1930 version=0x3460 ") + c.wiring + "\n";
        if (c.bios == Bios::InLegacy) {
            vmtest::WriteFile(m.File("legacy.rom"), bios);
            machine += "legacy file=legacy.rom\n";
        }
        m.machine = machine;
        std::vector<std::string> args = {"-ai", "-scansii"};
        if (c.pinsOnCommandLine) {
            args.push_back("-siireset=4");
            args.push_back("-siiuprog=5");
        }
        const vmtest::RunResult r = m.Sim(args);
        EXPECT_EQ(r.exitCode, 0) << c.name << r.out << r.err;
        EXPECT_NE(Body(r).find(std::string("    Firmware Version   :  ") + c.version + "\n"), std::string::npos)
            << c.name << "\n"
            << r.out;
        EXPECT_EQ(Body(r).find("Adapter  1"), std::string::npos) << c.name << "\n" << r.out;
    }
}

// "-scansii" selects a device that does not answer its detection read once
// per board: two silent boards are two rows, not the first one twice.
TEST(SiI1930Board, SilentBoardsAreListedOnceEach) {
    E2e m;
    UseSiiTable(m);
    m.machine =
        "adapter 0000:01:00.0 quor device=0x4162\nsii1930 pins=b fault=nack\n"
        "adapter 0000:02:00.0 quor device=0x4162\nsii1930 pins=b fault=nack\n";
    const vmtest::RunResult r = m.Sim({"-i", "-scansii"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(Body(r).find("   0    0000 01 00 4162 Quendrix Sii    SiI 1930          4000   -        -\n"
                           "   1    0000 02 00 4162 Quendrix Sii    SiI 1930          4000   -        -\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(Body(r).find("   2    "), std::string::npos) << r.out;
}

// The device's flash cannot be read back and no firmware format is known:
// programming stops at the firmware file, the checksum test and the save
// fail, and nothing is left behind.
TEST(SiI1930Board, RomCommandsEndInTheirFailures) {
    E2e m;
    UseSiiTable(m);
    m.machine = "adapter 0000:01:00.0 quor device=0x4162\nsii1930 pins=b reset=4 program=5\n";
    vmtest::WriteFile(m.File("fw.bin"), std::string(0x4000, '\x5A'));
    const std::vector<std::string> pins = {"-scansii", "-siireset=4", "-siiuprog=5"};
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.end(), pins.begin(), pins.end());
        return m.Sim(args);
    };

    vmtest::RunResult r = run({"-p", "0", m.File("fw.bin")});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_NE(Body(r).find("Reading Firmware Data File.\nUnable To Parse The Image File.\nFail To Parse Frameware File " +
                           m.File("fw.bin") + ".\n"),
              std::string::npos)
        << r.out;

    r = run({"-t", "0"});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_EQ(Body(r).rfind("Fail\n", 0), 0u) << r.out;

    r = run({"-s", "0", m.File("saved.rom")});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_NE(Body(r).find("Failed to read ROM"), std::string::npos) << r.out;
    EXPECT_FALSE(vmtest::FileExists(m.File("saved.rom")));
}

}  // namespace
