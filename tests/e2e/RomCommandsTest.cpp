// The ROM read, checksum, test and status commands on simulated boards:
// what they print, their exit codes, and the files they write.
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

std::string Hex4(std::uint32_t v) {
    char s[8];
    std::snprintf(s, sizeof s, "%04X", v & 0xFFFF);
    return s;
}

std::uint32_t Sum(const Bytes& b, std::size_t from, std::size_t to) {
    std::uint32_t s = 0;
    for (std::size_t i = from; i < to; ++i) s += b[i];
    return s;
}

// A 128 KiB flash: a 0xE000-byte BIOS image, then a pattern.
Bytes PatternFlash() {
    RomImageBuilder b;
    b.n512 = 0x70;
    Bytes rom = b.Build();
    rom.resize(0x20000);
    for (std::size_t i = 0xE000; i < rom.size(); ++i) rom[i] = std::uint8_t(i * 13 + (i >> 8));
    return rom;
}

struct OneBoard : E2e {
    Bytes flash;
    explicit OneBoard(Bytes content, const std::string& part = "M25P10", const std::string& options = "")
        : flash(std::move(content)) {
        vmtest::WriteBytes(File("flash.rom"), flash);
        machine = "spiboard 0000:01:00.0 gethra part=" + part + " file=flash.rom " + options + "\n";
    }
};

TEST(RomCommands, SaveRoundTrip) {
    OneBoard m(PatternFlash());
    // 128 KiB is above 64 KiB: the whole ROM. Its checksum leaves out
    // the engine's retain window 0x1FF00-0x1FFFF.
    vmtest::RunResult r = m.Sim({"-s", "0", "out.rom"});
    EXPECT_EQ(r.exitCode, 0);
    const std::uint32_t sum = Sum(m.flash, 0, 0x1FF00);
    EXPECT_EQ(Body(r), "0x20000 bytes saved, checksum = 0x" + Hex4(sum) + "\n");
    EXPECT_EQ(vmtest::ReadBytes(m.File("out.rom")), m.flash);

    r = m.Sim({"-s", "0", "part.rom", "1000"});
    EXPECT_EQ(Body(r), "0x1000 bytes saved, checksum = 0x" + Hex4(Sum(m.flash, 0, 0x1000)) + "\n");
    EXPECT_EQ(vmtest::ReadBytes(m.File("part.rom")), Bytes(m.flash.begin(), m.flash.begin() + 0x1000));
    // The flash is unchanged by saving.
    EXPECT_EQ(vmtest::ReadBytes(m.File("flash.rom")), m.flash);
}

TEST(RomCommands, SaveOfSmallRoms) {
    RomImageBuilder b;
    b.n512 = 0x70;
    Bytes image = b.Build();
    image.resize(0x10000, 0xFF);
    struct Case {
        const char* name;
        Bytes flash;
        std::size_t saved;
    };
    const Case cases[] = {
        {"64 KiB ROM: its BIOS image", image, 0xE000},
        // Blank: no BIOS size to go by, so all of it rather than nothing.
        {"blank 64 KiB ROM: all of it", Bytes(0x10000, 0xFF), 0x10000},
    };
    for (const Case& c : cases) {
        OneBoard m(c.flash, "M25P05");
        vmtest::RunResult r = m.Sim({"-s", "0", "out.rom"});
        EXPECT_EQ(r.exitCode, 0) << c.name;
        char line[64];
        std::snprintf(line, sizeof line, "0x%zX bytes saved, checksum = 0x%s\n", c.saved,
                      Hex4(Sum(c.flash, 0, c.saved)).c_str());
        EXPECT_EQ(Body(r), line) << c.name;
        EXPECT_EQ(vmtest::ReadBytes(m.File("out.rom")), Bytes(c.flash.begin(), c.flash.begin() + std::ptrdiff_t(c.saved)))
            << c.name;
    }
}

TEST(RomCommands, SaveFailures) {
    OneBoard m(PatternFlash());
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string out;
    };
    const Case cases[] = {
        {{"-s", "1", "out.rom"}, 1, "Adapter not found\n"},
        {{"-s", "0", "no/such/dir.rom"}, 1, "Failed to open file no/such/dir.rom\n"},
        // A backup that could not be written whole is a failure.
        {{"-s", "0", "/dev/full"}, 1, "Failed to write file /dev/full\n"},
    };
    for (const Case& c : cases) {
        vmtest::RunResult r = m.Sim(c.args);
        EXPECT_EQ(r.exitCode, c.exit) << c.args[2];
        EXPECT_EQ(Body(r), c.out) << c.args[2];
    }
    EXPECT_FALSE(vmtest::FileExists(m.File("out.rom")));
}

TEST(RomCommands, Verify) {
    OneBoard m(PatternFlash());
    Bytes same(m.flash.begin(), m.flash.begin() + 0x8000);
    vmtest::WriteBytes(m.File("same.rom"), same);
    Bytes differs = same;
    differs[0x1000] ^= 0x01;
    vmtest::WriteBytes(m.File("differs.rom"), differs);
    vmtest::WriteBytes(m.File("empty.rom"), {});
    vmtest::WriteBytes(m.File("whole.rom"), m.flash);

    struct Case {
        std::string file;
        int exit;
        std::string out;
    };
    const Case cases[] = {
        {"same.rom", 0, "0x8000/0x8000 bytes verified\n"},
        {"whole.rom", 0, "0x20000/0x20000 bytes verified\n"},
        {"differs.rom", 1, "0x1000/0x8000 bytes verified\n\n   ERROR: 0FL04\n"},
        {"empty.rom", 0, "0x0/0x0 bytes verified\n"},
    };
    for (const Case& c : cases) {
        vmtest::RunResult r = m.Sim({"-v", "0", c.file, "-ps"});
        EXPECT_EQ(r.exitCode, c.exit) << c.file;
        EXPECT_EQ(Body(r), c.out) << c.file;
        EXPECT_EQ(vmtest::ReadFile(m.File("errorid.tmp")), c.exit ? "0FL04\n" : "PASS\n") << c.file;
    }
    vmtest::RunResult r = m.Sim({"-v", "2", "same.rom"});
    EXPECT_EQ(Body(r), "Adapter not found\n\n   ERROR: 0FL04\n");
}

TEST(RomCommands, Checksums) {
    OneBoard m(PatternFlash());
    const std::string bios = Hex4(Sum(m.flash, 0, 0xE000));
    const std::string rom64k = Hex4(Sum(m.flash, 0, 0x10000));
    const std::string rom32k = Hex4(Sum(m.flash, 0, 0x8000));
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string out;
    };
    const Case cases[] = {
        {{"-cb", "0"}, 0, "BIOS Checksum = 0x" + bios + "\n"},
        {{"-cb", "0", bios}, 0, "BIOS Checksum = 0x" + bios + "\nExpected Checksum = 0x" + bios + "\n"},
        {{"-cb", "0", "1" + bios}, 0, "BIOS Checksum = 0x" + bios + "\nExpected Checksum = 0x" + bios + "\n"},
        {{"-cb", "0", "7"}, 1, "BIOS Checksum = 0x" + bios + "\nExpected Checksum = 0x0007\n\n   ERROR: 0FL03\n"},
        // No length: the BIOS image rounded up to 64 KiB.
        {{"-cr", "0"}, 0, "ROM Checksum = 0x" + rom64k + "\n"},
        {{"-cr", "0", "8000"}, 0, "ROM Checksum = 0x" + rom32k + "\n"},
        {{"-cr", "0", "8000", rom32k}, 0, "ROM Checksum = 0x" + rom32k + "\nExpected Checksum = 0x" + rom32k + "\n"},
        {{"-cr", "0", "8000", "7"}, 1,
         "ROM Checksum = 0x" + rom32k + "\nExpected Checksum = 0x0007\n\n   ERROR: 0FL03\n"},
        {{"-cb", "4"}, 1, "Adapter not found\n\n   ERROR: 0FL03\n"},
        {{"-cr", "4"}, 1, "Adapter not found\n\n   ERROR: 0FL03\n"},
    };
    for (const Case& c : cases) {
        vmtest::RunResult r = m.Sim(c.args);
        EXPECT_EQ(r.exitCode, c.exit) << testing::PrintToString(c.args);
        EXPECT_EQ(Body(r), c.out) << testing::PrintToString(c.args);
    }
}

TEST(RomCommands, TestRead) {
    OneBoard m(PatternFlash());
    vmtest::RunResult r = m.Sim({"-t", "0", "-ps"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Body(r), "Pass\n");
    EXPECT_EQ(vmtest::ReadFile(m.File("errorid.tmp")), "PASS\n");
    r = m.Sim({"-t", "1", "-ps"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Body(r), "Adapter not found\n\n   ERROR: 0FL02\n");
    EXPECT_EQ(vmtest::ReadFile(m.File("errorid.tmp")), "0FL02\n");
}

TEST(RomCommands, StatusRegister) {
    struct Case {
        std::string options;
        std::vector<std::string> args;
        int exit;
        std::string out;
    };
    const Case cases[] = {
        {"status=0x8C", {"-rs", "0"}, 0, "8ch\n"},
        {"", {"-rs", "3"}, 1, "Adapter not found\n"},
        {"", {"-ws", "0", "FF"}, 0, "Ok\n"},
        {"", {"-lockhdcp", "0"}, 0, "Ok\n"},
        {"", {"-unlockrom", "0"}, 0, "ROM Unlocked\n"},
        {"", {"-lockrom", "0"}, 0, "ROM Locked\n"},
        // The lock is reported as it went, not always as done.
        {"", {"-lockrom", "3"}, 1, "Adapter not found\n"},
        // Status register locked by the write-protect pin: the lock cannot take.
        {"status=0x80 wp", {"-lockrom", "0"}, 1, "ROM Lock Failed\n"},
        {"status=0x80 wp", {"-checklock", "0"}, 1, "SW protection fail (0x80)\n\n   ERROR: 0FL06\n"},
        {"status=0x84 wp", {"-checklock", "0"}, 0, "Pass (0x84)\n"},
        {"status=0x84", {"-checklock", "0"}, 1, "HW protection fail (0x00)\n\n   ERROR: 0FL06\n"},
        {"", {"-checklock", "3"}, 1, "Adapter not found\n\n   ERROR: 0FL06\n"},
    };
    for (const Case& c : cases) {
        OneBoard m(PatternFlash(), "M25P10", c.options);
        vmtest::RunResult r = m.Sim(c.args);
        EXPECT_EQ(r.exitCode, c.exit) << c.options << testing::PrintToString(c.args);
        EXPECT_EQ(Body(r), c.out) << c.options << testing::PrintToString(c.args);
        EXPECT_EQ(vmtest::ReadBytes(m.File("flash.rom")), m.flash);
    }
}

TEST(RomCommands, NoFlashRom) {
    // A type table that gives the board no ROM.
    E2e e;
    vmtest::WriteFile(e.File("quendrix.rom"),
                      "type_table(1)\n"
                      "type_table_entry(0, 0, \"No ROM\", type_norom, 0, 1, 1)\n"
                      "asic(\"Plain Chip\", kov_gethra, 1, 0, 0, 0, 0)\n"
                      "det_pcicmp(2, ffff, 6860, 6860, det_pass)\n"
                      "end\n");
    e.machine = "spiboard 0000:01:00.0 gethra part=M25P10\n";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-t", "0"}, {"-s", "0", "out.rom"}, {"-cb", "0"}, {"-rs", "0"}, {"-checklock", "0"}}) {
        vmtest::RunResult r = e.Sim(args);
        EXPECT_EQ(r.exitCode, 3) << args[0];
        EXPECT_EQ(Body(r).substr(0, 19), "Flash not detected\n") << args[0];
    }
    EXPECT_FALSE(vmtest::FileExists(e.File("out.rom")));
}

}  // namespace
