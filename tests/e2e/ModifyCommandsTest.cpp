// "-mi" and "-mb" on simulated SPI boards: what they print, their exit
// codes, and the flash afterwards compared byte for byte with the edit
// worked out here (IDs, part number, boot message, checksum byte and CRC).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "e2e/E2eSupport.h"
#include "support/RomImageBuilder.h"

using vmtest::Body;
using vmtest::E2e;
using vmtest::RomImageBuilder;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kFlashSize = 0x20000;
constexpr std::size_t kVelkIds = 0x100 + 0x18;   // header IDs of a VELK image
constexpr std::size_t kPlainIds = 0x100 + 0x1C;  // and of the older layout
constexpr std::uint32_t kHeaderIds = 0x0B001002; // the builder's SSID 0B00, SVID 1002
constexpr std::uint32_t kConfigIds = 0x0D001002; // what the board's configuration space says

const char kDone[] = "Burst size is 256 \n20000/20000h bytes programmed\n20000/20000h bytes verified\n";

void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
}

Bytes Le32(std::uint32_t v) { return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)}; }

std::string Hex8(std::uint32_t v) {
    char s[12];
    std::snprintf(s, sizeof s, "%08X", v);
    return s;
}

// The ROM as it must look after an edit: the legacy image's byte sum back
// at 0 and, where the header names one, the CRC word over the legacy image.
constexpr std::size_t kCrcAt = 0x1F0;  // the builder's CRC offset
Bytes Resealed(Bytes rom, std::size_t crcAt) {
    const std::size_t legacy = std::size_t(rom[2]) * 512;
    rom[0x21] = 0;
    if (crcAt) {
        Put32(rom, crcAt, 0);
        std::uint32_t crc = 0;
        for (std::size_t i = 0; i < legacy; ++i) crc = ((crc << 1) | (crc >> 31)) ^ rom[i];
        Put32(rom, crcAt, crc);
    }
    RomImageBuilder::FixChecksum(rom, legacy);
    return rom;
}

Bytes Flash(const RomImageBuilder& b, std::size_t size = kFlashSize) {
    Bytes rom = b.Build();
    rom.resize(size, 0xFF);
    return rom;
}

struct Board : E2e {
    Bytes flash;
    explicit Board(Bytes content, const std::string& options = "", const std::string& part = "M25P10")
        : flash(std::move(content)) {
        vmtest::WriteBytes(File("flash.rom"), flash);
        machine = "spiboard 0000:01:00.0 gethra part=" + part + " file=flash.rom " + options +
                  "\nsubsystem 0x1002 0x0D00\n";
    }
    Bytes Now() const { return vmtest::ReadBytes(File("flash.rom")); }
};

TEST(ModifyId, ShowsAndChangesTheIdsWhereverTheImageKeepsThem) {
    struct Case {
        const char* name;
        bool velk;
        std::uint16_t crcAt;  // 0: the header names no CRC word
        std::vector<std::pair<std::size_t, std::uint32_t>> ids;  // where the image keeps them
        std::uint32_t found;
        std::uint32_t wanted;
        std::vector<std::pair<std::size_t, std::uint32_t>> edited;
    };
    const Case cases[] = {
        {"0x76, header ids", true, kCrcAt, {{0x76, kHeaderIds}}, kHeaderIds, 0x0B361002,
         {{0x76, 0x0B361002}, {kVelkIds, 0x0B361002}}},
        {"0x74, config ids", true, kCrcAt, {{0x74, kConfigIds}}, kConfigIds, 0x12345678,
         {{0x74, 0x12345678}, {kVelkIds, 0x12345678}}},
        {"0x7C, older layout", false, 0, {{0x7C, kHeaderIds}}, kHeaderIds, 0xAAAA5555,
         {{0x7C, 0xAAAA5555}, {kPlainIds, 0xAAAA5555}}},
        // Bits 1-16 of two dwords; their other bits stay.
        {"split", true, kCrcAt, {{0x74, 0xF0001A01}, {0x80, 0x80002005}}, kConfigIds, 0x0B361043,
         {{0x74, 0xF000166D}, {0x80, 0x80002087}, {kVelkIds, 0x0B361043}}},
        // A CRC offset of 0 would put the word over the image signature.
        {"no CRC word", true, 0, {{0x76, kHeaderIds}}, kHeaderIds, 0x0B361002,
         {{0x76, 0x0B361002}, {kVelkIds, 0x0B361002}}},
    };
    for (const Case& c : cases) {
        RomImageBuilder b = c.velk ? RomImageBuilder() : RomImageBuilder::NonVelk();
        b.crcOffset = c.crcAt;
        for (const auto& [at, v] : c.ids) b.Patch(at, Le32(v));
        Board m(Flash(b));

        vmtest::RunResult r = m.Sim({"-mi", "0"});
        EXPECT_EQ(r.exitCode, 0) << c.name;
        EXPECT_EQ(Body(r), "Flash type: M25P10\nROM ssid = " + Hex8(c.found) + "\n") << c.name;
        EXPECT_EQ(m.Now(), m.flash) << c.name;

        r = m.Sim({"-mi", "0", Hex8(c.wanted)});
        EXPECT_EQ(r.exitCode, 0) << c.name;
        EXPECT_EQ(Body(r), "Flash type: M25P10\nold ROM ssid = " + Hex8(c.found) + "\nnew ROM ssid = " +
                               Hex8(c.wanted) + "\n" + kDone)
            << c.name;
        Bytes expected = m.flash;
        for (const auto& [at, v] : c.edited) Put32(expected, at, v);
        EXPECT_EQ(m.Now(), Resealed(expected, c.crcAt)) << c.name;

        // The edited ROM is still a valid image: a second edit finds its IDs.
        r = m.Sim({"-mi", "0", Hex8(c.found)});
        EXPECT_EQ(r.exitCode, 0) << c.name;
        EXPECT_EQ(Body(r), "Flash type: M25P10\nold ROM ssid = " + Hex8(c.wanted) + "\nnew ROM ssid = " +
                               Hex8(c.found) + "\n" + kDone)
            << c.name;
        // The header takes the whole value, here the one found.
        expected = m.flash;
        Put32(expected, c.velk ? kVelkIds : kPlainIds, c.found);
        EXPECT_EQ(m.Now(), Resealed(expected, c.crcAt)) << c.name;
    }
}

// A VELK image whose part number has 7 characters and 5 NUL bytes, and a
// boot message line of 33 characters.
RomImageBuilder BootMessageImage() {
    RomImageBuilder b;
    b.partNumber = "113-ABC";
    b.strings = {"", "", "", "", "\r\nQUENDRIX CARD\r\n", "", "", "\r\nQuendrix Video BIOS 2.0  (C) 2019\r\n"};
    b.Patch(0x76, Le32(kHeaderIds));
    return b;
}
constexpr std::size_t kBootLine = 0x222;
constexpr std::size_t kBootLineLength = 33;

TEST(ModifyBiosInfo, WritesIdsPartNumberAndBootMessageFromTheFile) {
    Board m(Flash(BootMessageImage()));
    vmtest::WriteFile(m.File("all.txt"),
                      "ssid = 0C00\nsvid=1043\n\nbiospn = \"113-ABCDEFG\"\nbootmsg =\"Hello  quendrix, world\"\n");
    vmtest::RunResult r = m.Sim({"-mb", "0", "all.txt"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Body(r), std::string("Flash type: M25P10\n"
                                   "Old ROM ssid = 0B001002\nNew ROM ssid = 0C001043\n"
                                   "Old P/N: 113-ABC\nNew P/N: 113-ABCDEFG\n"
                                   "Old ROM Boot Up Message = Quendrix Video BIOS 2.0\n"
                                   "New ROM Boot Up Message = Hello quendrix world\n") +
                           kDone);
    Bytes expected = m.flash;
    Put32(expected, 0x76, 0x0C001043);
    Put32(expected, kVelkIds, 0x0C001043);
    // Eleven characters fill the twelve-byte room up to its last byte, a NUL.
    const std::string pn = std::string("113-ABCDEFG") + '\0';
    std::copy(pn.begin(), pn.end(), expected.begin() + 0x200);
    std::string line = "Hello quendrix world";
    line.resize(kBootLineLength, ' ');
    std::copy(line.begin(), line.end(), expected.begin() + kBootLine);
    expected = Resealed(expected, kCrcAt);
    EXPECT_EQ(m.Now(), expected);

    // Refusals after the ROM was read: nothing is written.
    const std::string twelve = "113-ABCDEFGH";
    const std::string longMessage(kBootLineLength, 'm');
    struct Case {
        std::string file;
        std::string out;
    };
    const Case refused[] = {
        {"biospn = \"" + twelve + "\"\n",
         "Invaild BIOS Part Number Provided.\nLength of BIOS Part Number TOO Long.\n"},
        {"bootmsg = \"" + longMessage + "\"\n",
         "Invaild BIOS Boot Message Provided.\nLength of BIOS Boot Message TOO Long.\n"},
        {"biospn = \"" + twelve + "3\"\nbootmsg = \"" + longMessage + "x\"\n",
         "Invaild BIOS Part Number & Boot Message Provided.\nLength of BIOS Part Number & Boot Message TOO Long.\n"},
    };
    for (const Case& c : refused) {
        vmtest::WriteFile(m.File("edit.txt"), c.file);
        r = m.Sim({"-mb", "0", "edit.txt", "-ps"});
        EXPECT_EQ(r.exitCode, 1) << c.file;
        EXPECT_EQ(Body(r), c.out + "0/20000h bytes programmed\n\n   ERROR: 0FL05\n") << c.file;
        EXPECT_EQ(vmtest::ReadFile(m.File("errorid.tmp")), "0FL05\n");
        EXPECT_EQ(m.Now(), expected) << c.file;
    }
}

TEST(ModifyBiosInfo, OlderLayoutAndFilesThatStopBeforeTheRom) {
    RomImageBuilder b = RomImageBuilder::NonVelk();
    b.Patch(0x76, Le32(kHeaderIds));
    Board m(Flash(b));
    vmtest::WriteFile(m.File("pn.txt"), "biospn = 113-NEW9\n");
    vmtest::RunResult r = m.Sim({"-mb", "0", "pn.txt"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Body(r), std::string("Flash type: M25P10\nOld P/N: 113-OLD001-100\nNew P/N: 113-NEW9\n") + kDone);
    // CR LF, the text, blanks over the old part number's length, no NUL.
    Bytes expected = m.flash;
    const std::string pn = "\r\n113-NEW9      ";
    std::copy(pn.begin(), pn.end(), expected.begin() + 0x80);
    expected = Resealed(expected, 0);
    EXPECT_EQ(m.Now(), expected);

    struct Case {
        const char* name;
        const char* file;  // null: no file
        std::string out;
    };
    const Case cases[] = {
        {"boot message on the older layout", "bootmsg = \"Hi\"\n",
         "Modify Boot Up Message Option Is Not Currently Availiable\nFor This Video BIOS.\n"
         "0/20000h bytes programmed\n"},
        {"empty", "\n\n", ""},
        {"bad line", "ssid = 1\nbiospn = 113-X\n", "Invalid ssid entry provided, Line 1.\n"},
        {"missing", nullptr, "File edit.txt not found.\n"},
    };
    for (const Case& c : cases) {
        std::remove(m.File("edit.txt").c_str());
        if (c.file) vmtest::WriteFile(m.File("edit.txt"), c.file);
        r = m.Sim({"-mb", "0", "edit.txt"});
        EXPECT_EQ(r.exitCode, 1) << c.name;
        EXPECT_EQ(Body(r), c.out + "\n   ERROR: 0FL05\n") << c.name;
        EXPECT_EQ(m.Now(), expected) << c.name;
    }

    // The ID search runs for every file: without IDs in the image, a part
    // number alone is refused too.
    Board lost(Flash(RomImageBuilder::NonVelk()));
    vmtest::WriteFile(lost.File("pn.txt"), "biospn = 113-NEW9\n");
    r = lost.Sim({"-mb", "0", "pn.txt"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Body(r), "ROM ssid not found\n\n   ERROR: 0FL05\n");
    EXPECT_EQ(lost.Now(), lost.flash);
}

// A type table for one chip with an SPI part, reached through the ROM
// controller or, with "-swspi", the GPIO pads.
const char kTextTable[] =
    "swspi_table 1\n"
    "swspi_reg 179c 179c 179c 17a4\n"
    "swspi_bit 13 0 a 0 9 0 8 0\n"
    "swspi_delay 0\n"
    "type_table 1\n"
    "type_table_entry2 0 0 \"POMVEK SPI\" type_pomvek 40000 1 1 1\n"
    "asic \"Plain Chip\" kov_gethra 1 0 0 0 0\n"
    "det_pcicmp 2 ffff %04x %04x det_pass\n"
    "spi_cmd_table 1\n"
    "spi_cmd_code 9f %s d8 06 04 05 01 0 03 02\n"
    "spi_cmd_addr 0 0 0 0 0 0 0 0 3 3\n"
    "spi_cmd_dummy 0 0 0 0 0 0 0 0 0 0\n"
    "spi_cmd_status 1 1 2 2\n"
    "spi_cmd_wp c 4 c c 80 80 8c 0\n"
    "spi_type M25P10 20000 100 8000 1 20 20 11\n"
    "spi_type GD25Q512TCP 10000 100 8000 1 c8 40 10\n"
    "end\n";

std::string TextTable(unsigned device, const char* chipErase) {
    char text[sizeof kTextTable + 16];
    std::snprintf(text, sizeof text, kTextTable, device, device, chipErase);
    return text;
}

// A narrow-SSID adapter whose configuration space says SSID 00AB. A small
// part: bit-banged SPI is slow. Its flash hangs on the software-SPI lines
// the type table names.
struct NarrowBoard : Board {
    explicit NarrowBoard(const RomImageBuilder& b)
        : Board(Flash(b, 0x10000), "device=0x5E48 cs=0x179C:19 clk=0x179C:10 mosi=0x179C:9 miso=0x17A4:8",
                "GD25Q512TCP") {
        machine += "subsystem 0x1002 0x00AB\n";
        // No built-in record knows such a device, and its small register
        // window does not reach the ROM controller: the pads reach its flash.
        vmtest::WriteFile(File("quendrix.rom"), TextTable(0x5E48, "c7"));
    }
};

const char kSmallDone[] = "Burst size is 256 \n10000/10000h bytes programmed\n10000/10000h bytes verified\n";

// "-mb" with SSID 0123 on a narrow board whose ROM has SSID 00AB: the ID
// dword gets the 14 bits beside the top bits it had. Returns the flash as
// it must now be.
Bytes EditNarrowSsid(NarrowBoard& m, std::uint32_t topBits) {
    vmtest::WriteFile(m.File("narrow.txt"), "ssid = 0123\n");
    vmtest::RunResult r = m.Sim({"-mb", "0", "narrow.txt", "-swspi"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Body(r), std::string("Flash type: GD25Q512TCP\nOld ROM ssid = 00AB\nNew ROM ssid = 0123\n") + kSmallDone);
    Bytes expected = m.flash;
    Put32(expected, 0x76, topBits | 0x01231002);
    Put32(expected, kVelkIds, 0x01231002);
    expected = Resealed(expected, kCrcAt);
    EXPECT_EQ(m.Now(), expected);
    return expected;
}

TEST(ModifyId, NarrowSsidAdaptersKeepTheTopTwoBits) {
    // Bits 30-31 of the ID dword belong to the adapter; the SSID is 00AB.
    RomImageBuilder b;
    b.Patch(0x76, Le32(0x80AB1002));
    NarrowBoard m(b);

    vmtest::WriteFile(m.File("wide.txt"), "ssid = 4000\n");
    vmtest::RunResult r = m.Sim({"-mb", "0", "wide.txt", "-swspi"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Body(r), "This BIOS Does Not Support 16bit SSID.\n0/10000h bytes programmed\n\n   ERROR: 0FL05\n");
    EXPECT_EQ(m.Now(), m.flash);

    // "-mb" writes 14 bits; "-mi" also ORs the top two bits of the SSID in.
    Bytes expected = EditNarrowSsid(m, 0x80000000);

    // The board still says 00AB: the header's IDs are found instead.
    r = m.Sim({"-mi", "0", "41231003", "-swspi"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Body(r), std::string("Flash type: GD25Q512TCP\nold ROM ssid = 01231002\nnew ROM ssid = 41231003\n") + kSmallDone);
    Put32(expected, 0x76, 0xC1231003);
    Put32(expected, kVelkIds, 0x41231003);
    EXPECT_EQ(m.Now(), Resealed(expected, kCrcAt));
}

// Bit 30 alone set beside the SSID: "-mb" still finds the ID in the
// ID dword and leaves the bit as it was.
TEST(ModifyBiosInfo, NarrowSsidFoundBesideBit30) {
    RomImageBuilder b;
    b.Patch(0x76, Le32(0x40AB1002));
    NarrowBoard m(b);
    EditNarrowSsid(m, 0x40000000);
}

TEST(ModifyCommands, FailuresEndInTheirLinesWithTheFlashAsItMustBe) {
    RomImageBuilder b;
    b.Patch(0x76, Le32(kHeaderIds));
    const Bytes rom = Flash(b);
    Bytes big = rom;
    big.resize(0x400000, 0xFF);
    const std::string shown = "Flash type: M25P10\nold ROM ssid = 0B001002\nnew ROM ssid = 0B361002\n";
    struct Case {
        const char* name;
        const Bytes* content;
        std::string part;
        std::string options;
        const char* chipErase;  // text type table with this chip-erase opcode; null: built-in table
        std::vector<std::string> args;
        std::string out;
        bool flashKept;
    };
    const Case cases[] = {
        {"erase leaves bytes", &rom, "M25P10", "fault=erase-fails", nullptr, {"-mi", "0", "0B361002"},
         shown + "ROM not erased\n", true},
        {"erase leaves bytes, -mb", &rom, "M25P10", "fault=erase-fails", nullptr, {"-mb", "0", "svid.txt"},
         "Flash type: M25P10\nOld ROM svid = 1002\nNew ROM svid = 1043\nROM not erased--\n", true},
        {"write times out", &rom, "M25P10", "fault=program-stuck", nullptr, {"-mi", "0", "0B361002"},
         shown + "Burst size is 256 \nError: page program - read status register operation timeout\n"
                 "Write fail\n0/20000h bytes programmed\n",
         false},
        {"no chip erase", &rom, "M25P10", "", "0", {"-mi", "0", "0B361002"}, shown + "ROM not erased\n", true},
        // Only the first MiB fits the buffer: shown, never rewritten.
        {"4 MiB part, -mi", &big, "W25Q32BV/FV", "", nullptr, {"-mi", "0", "0B361002"}, "Failed to read ROM\n", true},
        {"4 MiB part, -mb", &big, "W25Q32BV/FV", "", nullptr, {"-mb", "0", "svid.txt"}, "Failed to read ROM\n", true},
    };
    for (const Case& c : cases) {
        Board m(*c.content, c.options, c.part);
        if (c.chipErase) vmtest::WriteFile(m.File("quendrix.rom"), TextTable(0x6860, c.chipErase));
        vmtest::WriteFile(m.File("svid.txt"), "svid = 1043\n");
        vmtest::RunResult r = m.Sim(c.args);
        EXPECT_EQ(r.exitCode, 1) << c.name;
        EXPECT_EQ(Body(r), c.out + "\n   ERROR: 0FL05\n") << c.name;
        EXPECT_EQ(m.Now() == *c.content, c.flashKept) << c.name;
    }

    // The 4 MiB part is still shown.
    Board m(big, "", "W25Q32BV/FV");
    vmtest::RunResult r = m.Sim({"-mi", "0"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Body(r), "Flash type: W25Q32BV/FV\nROM ssid = 0B001002\n");
}

// After the erase the edited ROM exists only in memory: a write or erase
// that fails is tried again, and a part never ends blank over it.
TEST(ModifyCommands, FailedEraseOrWriteIsTriedAgainWithTheRomInMemory) {
    RomImageBuilder b;
    b.Patch(0x76, Le32(kHeaderIds));
    const Bytes rom = Flash(b);
    Bytes edited = rom;
    Put32(edited, 0x76, 0x0B361002);
    Put32(edited, kVelkIds, 0x0B361002);
    edited = Resealed(edited, kCrcAt);
    Bytes stuck = edited;
    stuck[0x1FFF0] &= 0xFE;
    Bytes stuckAtStart = edited;
    stuckAtStart[0] &= 0xFE;
    const std::string done = "20000/20000h bytes programmed\n20000/20000h bytes verified\n";
    struct Case {
        const char* name;
        std::string options;
        std::vector<std::string> args;
        int exitCode;
        std::string tail;
        const Bytes* after;
    };
    const Case cases[] = {
        {"write that heals", "fail-programs=1", {"-mi", "0", "0B361002"}, 0, done, &edited},
        {"write that heals, -mb", "fail-programs=1", {"-mb", "0", "ssid.txt"}, 0, done, &edited},
        {"erase that heals", "fail-erases=1", {"-mi", "0", "0B361002"}, 0, done, &edited},
        // Each step has its own attempts: an erase that failed leaves the
        // write its own.
        {"erase and write that heal", "fail-erases=1 fail-programs=1", {"-mi", "0", "0B361002"}, 0, done, &edited},
        {"erase and write that heal, -mb", "fail-erases=1 fail-programs=1", {"-mb", "0", "ssid.txt"}, 0, done,
         &edited},
        {"write that heals at the third attempt", "fail-programs=2", {"-mi", "0", "0B361002"}, 0, done, &edited},
        // A partial erase is reported, and the ROM put back as far as it goes.
        {"bit that will not erase", "stuck=0x1FFF0:0:1", {"-mi", "0", "0B361002"}, 1,
         "ROM not erased\n\n   ERROR: 0FL05\n", &stuck},
        {"bit that will not erase, -mb", "stuck=0x1FFF0:0:1", {"-mb", "0", "ssid.txt"}, 1,
         "ROM not erased--\n\n   ERROR: 0FL05\n", &stuck},
        {"bit that will not erase in the first page", "stuck=0x0:0:1", {"-mi", "0", "0B361002"}, 1,
         "ROM not erased\n\n   ERROR: 0FL05\n", &stuckAtStart},
        // Erased again with retries: still the old ROM, never the edit over it.
        {"erase that never works", "fault=erase-fails", {"-mi", "0", "0B361002", "-retries=2"}, 1,
         "ROM not erased\n\n   ERROR: 0FL05\n", &rom},
    };
    for (const Case& c : cases) {
        Board m(rom, c.options);
        vmtest::WriteFile(m.File("ssid.txt"), "ssid = 0B36\n");
        vmtest::RunResult r = m.Sim(c.args);
        const std::string body = Body(r);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name << "\n" << body;
        EXPECT_TRUE(body.size() >= c.tail.size() && body.compare(body.size() - c.tail.size(), c.tail.size(), c.tail) == 0)
            << c.name << "\n" << body;
        EXPECT_EQ(m.Now(), *c.after) << c.name;
    }
}

// A mistyped ID is never written: "-mi" takes at most eight hexadecimal
// digits, a line of the "-mb" file at most four after an optional 0x, and
// a bad line stops the whole file with its key's message.
TEST(ModifyCommands, MistypedIdsWriteNothing) {
    RomImageBuilder b;
    b.Patch(0x76, Le32(kHeaderIds));
    const std::string usage = "Format: vorbanmill -mi <adapter num> [ssid]\n";
    const std::string svidLine1 = "Invalid svid entry provided, Line 1.\n\n   ERROR: 0FL05\n";
    const std::string ssidLine1 = "Invalid ssid entry provided, Line 1.\n\n   ERROR: 0FL05\n";
    struct Case {
        std::string idOrFile;  // the "-mi" value, or the "-mb" file's text
        bool file;
        std::string out;
    };
    const Case cases[] = {
        {"0B3610430", false, usage},
        {"000000000B361043", false, usage},
        {"svid = 10O2\n", true, svidLine1},
        {"ssid = 0B3G\n", true, ssidLine1},
        {"ssid=zzzz\n", true, ssidLine1},
        {"svid=1-02\n", true, svidLine1},
        {"svid=12345\n", true, svidLine1},
        {"svid=0x10430\n", true, svidLine1},
        {"ssid = 0B36\nsvid = 10O2\n", true, "Invalid svid entry provided, Line 2.\n\n   ERROR: 0FL05\n"},
    };
    for (const Case& c : cases) {
        Board m(Flash(b));
        std::vector<std::string> args = {"-mi", "0", c.idOrFile};
        if (c.file) {
            vmtest::WriteFile(m.File("edit.txt"), c.idOrFile);
            args = {"-mb", "0", "edit.txt"};
        }
        vmtest::RunResult r = m.Sim(args);
        EXPECT_EQ(r.exitCode, 1) << c.idOrFile;
        EXPECT_EQ(Body(r), c.out) << c.idOrFile;
        EXPECT_EQ(m.Now(), m.flash) << c.idOrFile;
    }
}

}  // namespace
