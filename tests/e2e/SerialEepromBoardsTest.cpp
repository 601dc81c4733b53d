// The bridge boards of the built-in table with their serial EEPROM behind
// the bridge: the strap names the part, "-s" saves the part itself, the
// status commands reach its status register, and the part's contents are
// never touched by any of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e/E2eSupport.h"
#include "support/RomImageBuilder.h"

using vmtest::Body;
using vmtest::E2e;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Contents(std::size_t size, unsigned seed) {
    vmtest::RomImageBuilder b;
    b.n512 = 0x40;
    Bytes rom = b.Build();
    rom.resize(size);
    for (std::size_t i = 0x8000; i < size; ++i) rom[i] = std::uint8_t(i * 11 + (i >> 8) + seed);
    return rom;
}

struct BridgeBoard : E2e {
    Bytes flash;
    BridgeBoard(unsigned strap, std::size_t size, const std::string& options = "") {
        flash = Contents(size, strap);
        vmtest::WriteBytes(File("flash.rom"), flash);
        machine = "adapter 0000:01:00.0 nerrow strap=" + std::to_string(strap) + "\nseprom file=flash.rom " + options +
                  "\n";
    }
};

TEST(SerialEepromBoards, StrapNamesThePartAndSaveReadsIt) {
    const struct {
        unsigned strap;
        const char* row;
        const char* type;
        const char* kb;
        std::size_t size;
    } kStraps[] = {
        {1, "Nerrow          AT25F1024/C      20000 pass", "AT25F1024/C", "(128 KB)", 0x20000},
        {2, "Nerrow          M25P05/C         10000 pass", "M25P05/C", "(64 KB)", 0x10000},
        {3, "Nerrow          M25P10/C         20000 pass", "M25P10/C", "(128 KB)", 0x20000},
    };
    for (const auto& s : kStraps) {
        BridgeBoard m(s.strap, s.size);
        vmtest::RunResult r = m.Sim({"-i"});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_NE(Body(r).find(s.row), std::string::npos) << Body(r);
        r = m.Sim({"-ai", "0"});
        const std::string body = Body(r);
        const std::size_t type = body.find(std::string("Flash Type         :  ") + s.type);
        EXPECT_NE(type, std::string::npos) << body;
        EXPECT_EQ(body.find(s.kb, type), body.find('(', type)) << body;

        char length[16];
        std::snprintf(length, sizeof length, "%zX", s.size);
        r = m.Sim({"-s", "0", "out.rom", length});
        EXPECT_EQ(r.exitCode, 0) << Body(r);
        EXPECT_EQ(vmtest::ReadBytes(m.File("out.rom")), m.flash) << s.strap;
        r = m.Sim({"-t", "0"});
        EXPECT_EQ(Body(r), "Pass\n");
        EXPECT_EQ(vmtest::ReadBytes(m.File("flash.rom")), m.flash);
    }
}

TEST(SerialEepromBoards, StatusCommands) {
    const struct {
        std::string options;
        std::vector<std::string> args;
        int exit;
        std::string out;
    } kCases[] = {
        {"status=0x8C", {"-rs", "0"}, 0, "8ch\n"},
        {"", {"-ws", "0", "FF"}, 0, "Ok\n"},
        {"", {"-lockhdcp", "0"}, 0, "Ok\n"},
        {"status=0x8C", {"-unlockrom", "0"}, 0, "ROM Unlocked\n"},
        {"", {"-lockrom", "0"}, 0, "ROM Locked\n"},
        {"status=0x80 wp", {"-lockrom", "0"}, 1, "ROM Lock Failed\n"},
        {"status=0x80 wp", {"-checklock", "0"}, 1, "SW protection fail (0x80)\n\n   ERROR: 0FL06\n"},
        {"status=0x84 wp", {"-checklock", "0"}, 0, "Pass (0x84)\n"},
        {"status=0x84", {"-checklock", "0"}, 1, "HW protection fail (0x00)\n\n   ERROR: 0FL06\n"},
        // The status-register lock with the pin asserted refuses the clear.
        {"status=0x80 wp", {"-unlockrom", "0"}, 1, "ROM Unlock Failed\n"},
        // No part answers: the status reads as all ones, a failed read.
        {"fault=absent", {"-rs", "0"}, 1, "Failed to read ROM\n"},
    };
    for (const auto& c : kCases) {
        BridgeBoard m(1, 0x20000, c.options);
        vmtest::RunResult r = m.Sim(c.args);
        EXPECT_EQ(r.exitCode, c.exit) << c.options << testing::PrintToString(c.args);
        EXPECT_EQ(Body(r), c.out) << c.options << testing::PrintToString(c.args);
        EXPECT_EQ(vmtest::ReadBytes(m.File("flash.rom")), m.flash);
    }
}

// A board with the controller in its own registers is known only to a text
// table, which gives it this flash type.
struct DirectBoard : E2e {
    Bytes flash;
    explicit DirectBoard(const std::string& type, const std::string& options = "", const std::string& part = "M25P10",
                         std::size_t size = 0x20000)
        : flash(Contents(size, 5)) {
        char hexSize[16];
        std::snprintf(hexSize, sizeof hexSize, "%zX", size);
        vmtest::WriteBytes(File("flash.rom"), flash);
        vmtest::WriteFile(File("quendrix.rom"), "format 1.0\n"
                                                "type_table(1)\n"
                                                "type_table_entry(0, 0, \"M25P10/C\", " +
                                                    type + ", " + hexSize +
                                                    ", 1, 1)\n"
                                                    "asic(\"Vosk Board\", tev_halm, 1, 0, 0, 0, 0)\n"
                                                    "det_pcicmp(2, ffff, 7B00, 7B00, det_pass)\n"
                                                    "end\n");
        machine = "adapter 0000:01:00.0 quor device=0x7B00\nseprom part=" + part + " file=flash.rom " + options + "\n";
    }
};

// A type without a read operation must not save filler as a backup.
TEST(SerialEepromBoards, DirectControllerFromATextTable) {
    const struct {
        const char* type;
        int exit;
        bool saved;
    } kTypes[] = {{"type_vosk_stm25p", 0, true}, {"type_vosk_issi", 1, false}};
    for (const auto& t : kTypes) {
        DirectBoard e(t.type);
        const Bytes& flash = e.flash;
        vmtest::RunResult r = e.Sim({"-s", "0", "out.rom", "20000"});
        EXPECT_EQ(r.exitCode, t.exit) << t.type << Body(r);
        EXPECT_EQ(vmtest::FileExists(e.File("out.rom")), t.saved) << t.type;
        if (t.saved) {
            EXPECT_EQ(vmtest::ReadBytes(e.File("out.rom")), flash);
        }
        EXPECT_EQ(vmtest::ReadBytes(e.File("flash.rom")), flash);
    }
}

// Block protect guards program and erase, not reads: a locked part is
// saved whole, and a file that differs only in its protected top quarter
// does not verify.
TEST(SerialEepromBoards, ProtectedSectorsAreReadAsTheyAre) {
    DirectBoard e("type_vosk_stm25p", "wp status=0x84");
    const Bytes& flash = e.flash;
    vmtest::RunResult r = e.Sim({"-s", "0", "out.rom", "20000"});
    EXPECT_EQ(r.exitCode, 0) << Body(r);
    EXPECT_EQ(vmtest::ReadBytes(e.File("out.rom")), flash);

    Bytes topErased = flash;
    std::fill(topErased.begin() + 0x18000, topErased.end(), 0xFF);
    vmtest::WriteBytes(e.File("erased.rom"), topErased);
    r = e.Sim({"-v", "0", "erased.rom"});
    EXPECT_EQ(r.exitCode, 1);
    std::size_t same = 0x18000;
    while (flash[same] == 0xFF) ++same;
    char verified[64];
    std::snprintf(verified, sizeof verified, "0x%zX/0x20000 bytes verified\n\n   ERROR: 0FL04\n", same);
    EXPECT_EQ(Body(r), verified);
    EXPECT_EQ(vmtest::ReadBytes(e.File("flash.rom")), flash);
}

// A programmed part reads back the image in the next run.
TEST(SerialEepromBoards, ProgramThenSaveGivesTheImage) {
    BridgeBoard m(1, 0x20000, "status=0x8C");
    const Bytes image = Contents(0x20000, 9);
    vmtest::WriteBytes(m.File("image.rom"), image);
    vmtest::RunResult r = m.Sim({"-p", "0", "image.rom"});
    EXPECT_EQ(r.exitCode, 0) << Body(r);
    EXPECT_EQ(vmtest::ReadBytes(m.File("flash.rom")), image);
    r = m.Sim({"-s", "0", "again.rom"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(vmtest::ReadBytes(m.File("again.rom")), image);
}

// The SST parts come up block-protected, and those without the B suffix
// take a status write only right after EWSR (the B parts also after WREN):
// programming lifts the protection and the status commands set what they
// are asked, on the direct controller, behind the bridge with "-sst", and
// through the SPI layer.
TEST(SerialEepromBoards, SstPartsTakeTheirStatusWrites) {
    const struct {
        const char* name;
        const char* part;
        std::size_t size;
        std::string machine;  // up to the part; empty: the direct board of the text table
        std::vector<std::string> extra;
    } boards[] = {
        {"direct SST25VF010", "SST25VF010", 0x20000, "", {}},
        {"direct SST25VF020B", "SST25VF020B", 0x40000, "", {}},
        {"bridge SST25VF010 with -sst", "SST25VF010", 0x20000, "adapter 0000:01:00.0 nerrow strap=3\nseprom", {"-sst"}},
        {"SPI SST25VF010", "SST25VF010", 0x20000, "spiboard 0000:01:00.0 tovarne", {}},
    };
    const struct {
        std::vector<std::string> args;
        std::string last;  // last line printed
    } commands[] = {
        {{"-p", "0", "image.rom"}, "Restart System To Complete VBIOS Update.\n"},
        {{"-unlockrom", "0"}, "ROM Unlocked\n"},
        {{"-lockrom", "0"}, "ROM Locked\n"},
        {{"-ws", "0", "4"}, "Ok\n"},
    };
    vmtest::RomImageBuilder newer;
    newer.strings[6] = "VER010.006.000.000";
    for (const auto& b : boards) {
        for (const auto& c : commands) {
            DirectBoard e("type_vosk_sst", "", b.part, b.size);
            if (!b.machine.empty()) {
                // The built-in table knows these boards.
                std::remove(e.File("quendrix.rom").c_str());
                e.machine = b.machine + " part=" + b.part + " file=flash.rom\n";
            }
            Bytes image = newer.Build();
            vmtest::WriteBytes(e.File("image.rom"), image);
            std::vector<std::string> args = c.args;
            args.insert(args.end(), b.extra.begin(), b.extra.end());
            vmtest::RunResult r = e.Sim(args);
            const std::string what = std::string(b.name) + " " + c.args[0];
            EXPECT_EQ(r.exitCode, 0) << what << "\n" << r.out;
            const std::string body = Body(r);
            EXPECT_TRUE(body.ends_with(c.last)) << what << "\n" << body;
            // The ROM window reaches 128 KiB: a larger part keeps what lies past it.
            Bytes expected = e.flash;
            if (c.args[0] == "-p") {
                image.resize(std::min<std::size_t>(b.size, 0x20000), 0xFF);
                std::copy(image.begin(), image.end(), expected.begin());
            }
            EXPECT_EQ(vmtest::ReadBytes(e.File("flash.rom")), expected) << what;
        }
    }
}

}  // namespace
