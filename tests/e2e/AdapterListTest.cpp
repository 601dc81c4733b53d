// "-i" and "-ai" on simulated machines: exact lines for boards on two PCI
// segments with ROMs of every kind, the 16-row table, and a function that
// two type-table records match.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/E2eSupport.h"
#include "support/RomImageBuilder.h"

using vmtest::Body;
using vmtest::E2e;
using vmtest::RomImageBuilder;

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kHeader =
    "\nadapter seg  bn dn dID       asic           flash      romsize test    bios p/n    "
    "\n======= ==== == == ==== =============== ============== ======= ==== ================\n";

Bytes Flash(const RomImageBuilder& b, std::size_t size) {
    Bytes rom = b.Build();
    rom.resize(size, 0xFF);
    return rom;
}

// Boards of four generations on segments 0 and 1.
struct MixedMachine : E2e {
    MixedMachine() {
        RomImageBuilder hybrid;
        hybrid.n512 = 0x70;
        hybrid.deviceId = 0x6860;
        hybrid.efiImages = {0x80};
        vmtest::WriteBytes(File("valid.rom"), Flash(hybrid, 0x20000));
        vmtest::WriteBytes(File("zero.rom"), Bytes(0x100000, 0x00));
        RomImageBuilder noPn;
        noPn.partNumber = "XYZ-1234";
        vmtest::WriteBytes(File("nopn.rom"), Flash(noPn, 0x20000));
        machine =
            "spiboard 0000:01:00.0 gethra part=M25P10 file=valid.rom\n"
            "subsystem 0x1002 0x0B10\n"
            "spiboard 0000:02:00.0 ulvane part=W25X40 file=blank.rom\n"
            "spiboard 0001:03:00.0 fyrand part=MX25L8006E file=zero.rom\n"
            "spiboard 0001:04:00.0 orpane part=M25P10 file=nopn.rom\n"
            "subsystem 0x1043 0x04A7\n";
    }
};

const std::string kRows[] = {
    "   0    0000 01 00 6860 Gethra          M25P10           20000 pass 113-TEST01-100 \n",
    "   1    0000 02 00 67A0 Ulvane          W25X40           80000 ffff       -\n",
    "   2    0001 03 00 7380 Fyrand          MX25L8006E      100000 0000       -\n",
    "   3    0001 04 00 6780 Orpane          M25P10           20000 pass       -\n",
};

TEST(AdapterList, ListsBoardsOnTwoSegments) {
    MixedMachine m;
    vmtest::RunResult r = m.Sim({"-i"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Body(r), kHeader + kRows[0] + kRows[1] + kRows[2] + kRows[3]);

    struct Case {
        std::string arg;
        int exit;
        std::string out;
    };
    const Case cases[] = {
        {"2", 0, kHeader + kRows[2]},
        {"3", 0, kHeader + kRows[3]},
        {"4", 1, "Adapter not found\n"},
        {"20", 1, "Adapter not found\n"},
        {"x", 1, "Format: vorbanmill -i [adapter num]\n"},
    };
    for (const Case& c : cases) {
        vmtest::RunResult rr = m.Sim({"-i", c.arg});
        EXPECT_EQ(rr.exitCode, c.exit) << c.arg;
        EXPECT_EQ(Body(rr), c.out) << c.arg;
    }
    // Listing reads; it writes nothing back.
    EXPECT_EQ(vmtest::ReadBytes(m.File("zero.rom")), Bytes(0x100000, 0x00));
}

TEST(AdapterList, AdvancedInfo) {
    MixedMachine m;
    const std::string valid =
        "Adapter  0    SEG=0000, BN=01, DN=00, PCIID=68601002, SSID=0B101002)\n"
        "    Asic Family        :  Gethra         \n"
        "    Flash Type         :  M25P10      (128 KB)\n"
        "    Product Name       :  TEST CARD NAME \n"
        "    Bios Config File   :  VB1234.CFG     \n"
        "    Bios P/N           :  113-TEST01-100 \n"
        "    Bios Version       :  010.005.000.000\n"
        "    Bios Date          :  01/15/24       \n"
        "    ROM Image Type     :  Hybrid Images\n"
        "    ROM Image Details  :  \n"
        "        Image[0]: Size(57344 Bytes), Type(Legacy Image)\n"
        "        Image[1]: Size(65536 Bytes), Type(EFI Image)\n";
    const std::string blank =
        "Adapter  1    SEG=0000, BN=02, DN=00, PCIID=67A01002, SSID=01001002)\n"
        "    Asic Family        :  Ulvane         \n"
        "    Flash Type         :  W25X40      (512 KB)\n"
        "    No VBIOS\n\n";
    const std::string noPn =
        "Adapter  3    SEG=0001, BN=04, DN=00, PCIID=67801002, SSID=04A71043)\n"
        "    Asic Family        :  Orpane         \n"
        "    Flash Type         :  M25P10      (128 KB)\n"
        "    Product Name       :  TEST CARD NAME \n"
        "    Bios Config File   :  VB1234.CFG     \n"
        "    Bios P/N           :  P/N Not Available\n"
        "    Bios Version       :  010.005.000.000\n"
        "    Bios Date          :  01/15/24       \n"
        "    ROM Image Type     :  Legacy Image\n"
        "    ROM Image Details  :  \n"
        "        Image[0]: Size(2048 Bytes), Type(Legacy Image)\n";
    vmtest::RunResult r = m.Sim({"-ai"});
    EXPECT_EQ(r.exitCode, 0);
    std::string body = Body(r);
    EXPECT_EQ(body.substr(0, valid.size() + blank.size()), valid + blank);
    EXPECT_NE(body.find(noPn), std::string::npos) << body;

    r = m.Sim({"-ai", "3"});
    EXPECT_EQ(Body(r), noPn);
    r = m.Sim({"-ai", "4"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Body(r), "Adapter not found\n");
}

// Segments 0 and 2, buses 0x01 and 0x11: every board answers with its own
// flash, none with another's.
TEST(AdapterList, BoardsWhoseAddressesDifferInHighBitsKeepTheirOwnRows) {
    E2e e;
    const char* where[] = {"0000:01:00.0", "0002:01:00.0", "0000:11:00.0"};
    for (int i = 0; i < 3; ++i) {
        RomImageBuilder b;
        b.deviceId = 0x6860;
        b.partNumber = "113-BOARD" + std::to_string(i) + "-100";
        const std::string file = "board" + std::to_string(i) + ".rom";
        vmtest::WriteBytes(e.File(file), Flash(b, 0x20000));
        e.machine += std::string("spiboard ") + where[i] + " gethra part=M25P10 file=" + file + "\n";
    }
    vmtest::RunResult r = e.Sim({"-i"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Body(r), kHeader +
                           "   0    0000 01 00 6860 Gethra          M25P10           20000 pass 113-BOARD0-100 \n"
                           "   1    0000 11 00 6860 Gethra          M25P10           20000 pass 113-BOARD2-100 \n"
                           "   2    0002 01 00 6860 Gethra          M25P10           20000 pass 113-BOARD1-100 \n");
}

TEST(AdapterList, EighteenAdaptersFillSixteenRows) {
    E2e e;
    for (int seg = 0; seg < 2; ++seg)
        for (int bus = 1; bus <= 9; ++bus)
            e.machine += "spiboard 000" + std::to_string(seg) + ":0" + std::to_string(bus) + ":00.0 gethra part=M25P05\n";
    vmtest::RunResult r = e.Sim({"-i"});
    EXPECT_EQ(r.exitCode, 0);
    const std::string body = Body(r);
    std::size_t rows = 0;
    for (std::size_t p = body.find("M25P05"); p != std::string::npos; p = body.find("M25P05", p + 1)) ++rows;
    EXPECT_EQ(rows, 16u);
    EXPECT_NE(body.find("  15    0001 07 00 6860 Gethra          M25P05           10000 ffff       -\n"),
              std::string::npos)
        << body;
    EXPECT_EQ(Body(e.Sim({"-i", "16"})), "Adapter not found\n");
    EXPECT_EQ(Body(e.Sim({"-i", "15"})),
              kHeader + "  15    0001 07 00 6860 Gethra          M25P05           10000 ffff       -\n");
}

// A text type table in the working directory whose two records both match
// the board's device ID, without a flash ROM.
const char kTwoRecordTable[] =
    "format 1.0\n"
    "type_table(1)\n"
    "type_table_entry(0, 0, \"No ROM\", type_norom, 0, 1, 1)\n"
    "asic(\"First Chip\", kov_gethra, 1, 0, 0, 0, 0)\n"
    "det_pcicmp(2, ffff, 6860, 6860, det_pass)\n"
    "asic(\"Second Chip\", kov_gethra, 1, 0, 0, 0, 0)\n"
    "det_pcicmp(2, ffff, 6860, 6860, det_pass)\n"
    "end\n";

TEST(AdapterList, TwoRecordsOnOneFunction) {
    E2e e;
    vmtest::WriteFile(e.File("quendrix.rom"), kTwoRecordTable);
    e.machine = "spiboard 0000:01:00.0 gethra part=M25P10\n";
    vmtest::RunResult r = e.Sim({"-i"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Body(r), kHeader +
                           "   0    0000 01 00 6860 First Chip      No ROM            -      -        -\n"
                           "   1    0000 01 00 6860 Second Chip     No ROM            -      -        -\n");
    // Row 1 is the second record of the same function; it has no flash ROM.
    r = e.Sim({"-t", "1", "-d"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(Body(r), "  adapter=1, bn=0001, bn=00, dn=00, dev=01, id=6860\n  rom_size = 0\nFlash not detected\n\n   ERROR: 0FL02\n");
}

// The first run of a newcomer: boards of four generations, each with a
// valid BIOS.
TEST(AdapterList, DemoMachine) {
    E2e e;
    vmtest::RunResult r = e.Sim({"-i"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Body(r), kHeader +
                           "   0    0000 01 00 6780 Orpane          M25P10           20000 pass 113-DM0501-101 \n"
                           "   1    0000 02 00 67A0 Ulvane          W25X40           80000 pass 113-DM1402-100 \n"
                           "   2    0000 03 00 6860 Gethra          M25P40           80000 pass 113-DM2103-110 \n"
                           "   3    0000 04 00 7380 Fyrand          MX25L8006E      100000 pass 113-DM2704-200 \n"
                           "   4    0000 05 00 6640 Ombrel          SST25VF010       20000 pass 113-DM1305-100 \n"
                           "   5    0000 06 00 6900 Wenmar          MX25L2026E       40000 pass 113-DM1606-101 \n"
                           "   6    0000 07 00 6860 Gethra          GD25Q41B         80000 pass 113-DM2107-120 \n"
                           "   7    0000 08 00 69A0 Hobran          W25Q80          100000 pass 113-DM2208-100 \n"
                           "   8    0000 09 00 5A41 Nerrow          M25P10/C         20000 pass 113-DM0709-100 \n"
                           "   9    0000 0A 00 AC00 Pardel          I2C EEPROM          80 pass 113-DM0610-100 \n");
    r = e.Sim({"-ai", "2"});
    const std::string body = Body(r);
    EXPECT_NE(body.find("    Product Name       :  DEMO GETHRA 4GB HBM\n"), std::string::npos) << body;
    EXPECT_NE(body.find("    Bios Version       :  016.001.001.000\n"), std::string::npos) << body;
    EXPECT_NE(body.find("    ROM Image Type     :  Hybrid Images\n"), std::string::npos) << body;
    // Every demo BIOS passes the image checks of the other commands (the
    // companion chip's EEPROM holds no BIOS).
    for (const char* n : {"0", "1", "2", "3", "4", "5", "6", "7", "8"}) {
        EXPECT_EQ(e.Sim({"-s", n, "bios.rom"}).exitCode, 0) << n;
        r = e.Sim({"-biosfileinfo", "bios.rom"});
        EXPECT_EQ(r.exitCode, 0) << n;
        EXPECT_EQ(e.Sim({"-checkpn", n, "bios.rom"}).exitCode, 0) << n;
    }
    EXPECT_TRUE(e.Listing() == std::set<std::string>{"bios.rom"});
}

}  // namespace
