// "-i" and "-ai" lines of boards the simulator does not model (SiI1930
// companion chips, boards without a ROM, unreadable ROMs) over the
// scripted engine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/CFlashCmd.h"
#include "commands/FakeFlash.h"
#include "support/RomImageBuilder.h"
#include "ui/CTevUI.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using vmtest::FakeBoard;
using vmtest::FakeFlash;

namespace {

struct Listing {
    CFlashCmd cmd{nullptr, 0};
    FakeFlash* flash = new FakeFlash;
    CTevUI ui;
    Listing() {
        delete cmd.engine;
        cmd.engine = flash;
        flash->maxSegmentToScan = 0xFFFF;
        ui.cmd = &cmd;
        flash->boards.reserve(8);

        FakeBoard sii;  // firmware 1.2, variant 3
        sii.bus = 1;
        sii.asicNames = {"Companion"};
        sii.flashType = TYPE_SII1930;
        sii.typeName = "SiI1930";
        sii.rom.assign(0x8000, 0xFF);
        sii.siiVersion = 0x1234;
        flash->boards.push_back(sii);
        FakeBoard noFw = sii;  // version word reads back as -1
        noFw.bus = 2;
        noFw.siiVersion = 0xFFFF;
        flash->boards.push_back(noFw);
        FakeBoard noRom;
        noRom.bus = 3;
        noRom.flashType = TYPE_NOROM;
        noRom.typeName = "No ROM";
        flash->boards.push_back(noRom);
        FakeBoard unstable;
        unstable.bus = 4;
        unstable.rom = vmtest::RomImageBuilder().Build();
        unstable.rom.resize(0x20000, 0xFF);
        unstable.flipOnRead = 2;
        flash->boards.push_back(unstable);
    }
    std::string Run(int (CFlashUI::*handler)(int, char**)) {
        CaptureStdout();
        EXPECT_EQ((ui.*handler)(0, nullptr), CMD_OK);
        return GetCapturedStdout();
    }
};

TEST(ListingFormat, RowsOfEveryKind) {
    Listing l;
    EXPECT_EQ(l.Run(&CFlashUI::CmdListAdapters),
              "\nadapter seg  bn dn dID       asic           flash      romsize test    bios p/n    "
              "\n======= ==== == == ==== =============== ============== ======= ==== ================\n"
              "   0    0000 01 00 6798 Companion       SiI1930           8000   -        -\n"
              "   1    0000 02 00 6798 Companion       SiI1930           8000   -        -\n"
              "   2    0000 03 00 6798 FAKE ASIC       No ROM            -      -        -\n"
              "   3    0000 04 00 6798 FAKE ASIC       W25X40           20000 fail       -\n");
}

TEST(ListingFormat, AdvancedRowsWithoutBios) {
    Listing l;
    const std::string out = l.Run(&CFlashUI::CmdAdvancedInfo);
    EXPECT_EQ(out,
              "Adapter  0    SEG=0000, BN=01, DN=00, PCIID=67981002, SSID=0B001002)\n"
              "    Asic Family        :  Companion      \n"
              "    Flash Type         :  SiI1930     (32 KB)\n"
              "    Firmware Version   :  1.2\n"
              "    Firmware Variant   :  3\n"
              "Adapter  1    SEG=0000, BN=02, DN=00, PCIID=67981002, SSID=0B001002)\n"
              "    Asic Family        :  Companion      \n"
              "    Flash Type         :  SiI1930     (32 KB)\n"
              "    No VBIOS\n\n"
              "Adapter  2    SEG=0000, BN=03, DN=00, PCIID=67981002, SSID=0B001002)\n"
              "    Asic Family        :  FAKE ASIC      \n"
              "    Flash Type         :  No ROM      ( 0 KB)\n"
              "    No VBIOS\n\n"
              "Adapter  3    SEG=0000, BN=04, DN=00, PCIID=67981002, SSID=0B001002)\n"
              "    Asic Family        :  FAKE ASIC      \n"
              "    Flash Type         :  W25X40      (128 KB)\n"
              "    No VBIOS\n\n");
    EXPECT_EQ(l.cmd.listImages, 0);
}

}  // namespace
