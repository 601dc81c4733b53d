// The command layer over a scripted engine: the adapter scan (rows, limit,
// match ordinals, ROM status, strings, image chain), selection, and the
// ROM read, checksum and status operations.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/CFlashCmd.h"
#include "commands/FakeFlash.h"
#include "support/RomImageBuilder.h"

using vmtest::FakeBoard;
using vmtest::FakeFlash;
using vmtest::RomImageBuilder;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Layer {
    CFlashCmd cmd{nullptr, 0};
    FakeFlash* flash = nullptr;
    Layer() {
        delete cmd.engine;
        flash = new FakeFlash;
        cmd.engine = flash;
        flash->maxSegmentToScan = 0xFFFF;
        flash->boards.reserve(64);  // tests hold references to boards
    }
    FakeBoard& Add(FakeBoard b) {
        flash->boards.push_back(std::move(b));
        return flash->boards.back();
    }
    std::uint32_t Scan(std::uint32_t maxCount = 16) { return cmd.EnumerateAdapters(0xFFFF, 0xFF, maxCount, 0, 1); }
};

Bytes Rom(std::size_t size, const Bytes& image) {
    Bytes rom(size, 0xFF);
    std::copy(image.begin(), image.begin() + std::ptrdiff_t(std::min(size, image.size())), rom.begin());
    return rom;
}

FakeBoard Board(std::uint16_t seg, std::uint8_t bus, Bytes rom = Rom(0x40000, RomImageBuilder().Build())) {
    FakeBoard b;
    b.segment = seg;
    b.bus = bus;
    b.rom = std::move(rom);
    return b;
}

TEST(CommandLayerScan, RowsCarryIdentityAndRomStrings) {
    Layer l;
    l.flash->segments = {0, 0x1234};
    FakeBoard a = Board(0, 3);
    a.devfn = 0x08;
    a.asicNames = {"A VERY LONG ASIC NAME"};
    l.Add(a);
    FakeBoard b = Board(0x1234, 1);
    b.flashType = TYPE_PARALLEL;
    b.typeName = "TYPE_PARALLEL";
    b.deviceId = 0x7340;
    b.subsystem = 0x12345678;
    l.Add(b);

    ASSERT_EQ(l.Scan(), 2u);
    const AdapterEntry& r0 = l.cmd.adapters[0];
    EXPECT_EQ(r0.segment, 0);
    EXPECT_EQ(r0.bus, 3);
    EXPECT_EQ(r0.devfn, 0x08);
    EXPECT_STREQ(r0.asicName, "A VERY LONG ASI");  // 15 characters
    EXPECT_STREQ(r0.flashName, "W25X40");          // serial flash: the part's name
    EXPECT_STREQ(r0.partNumber, "113-TEST01-100");
    EXPECT_STREQ(r0.productName, "TEST CARD NAME");
    EXPECT_STREQ(r0.biosVersion, "010.005.000.000");
    EXPECT_STREQ(r0.biosDate, "01/15/24");
    EXPECT_STREQ(r0.configFileName, "VB1234.CFG");
    EXPECT_EQ(r0.hasImage, 1u);
    EXPECT_EQ(r0.romStatus, unsigned(CMD_OK));
    EXPECT_EQ(l.cmd.GetAdapterRomInfo(0).romSize, 0x40000u);

    const AdapterEntry& r1 = l.cmd.adapters[1];
    // The whole segment number, so the row selects the function it lists.
    EXPECT_EQ(r1.segment, 0x1234);
    EXPECT_EQ(r1.deviceId, 0x7340u);
    EXPECT_EQ(r1.vendorId, 0x1002u);
    EXPECT_EQ(r1.subsystem, 0x12345678u);
    EXPECT_STREQ(r1.flashName, "TYPE_PARALLEL");
    EXPECT_EQ(l.cmd.adapterCount, 2u);
}

TEST(CommandLayerScan, TableHoldsAtMostSixteenRows) {
    struct Case {
        int singleBoards;
        std::size_t ordinalsOfLast;
        std::uint32_t maxCount;
        std::uint32_t rows;
    };
    const Case cases[] = {
        {18, 1, 16, 16}, {18, 1, 3, 3}, {18, 1, 0, 1}, {18, 1, 100, 16},
        // The limit is checked per ordinal: a multi-record function at the end cannot overfill.
        {15, 3, 16, 16}, {2, 3, 16, 5},
    };
    for (const Case& c : cases) {
        Layer l;
        l.flash->segments = {0, 1};
        for (int i = 0; i < c.singleBoards; ++i) l.Add(Board(std::uint16_t(i % 2), std::uint8_t(1 + i / 2)));
        FakeBoard last = Board(1, 200);
        last.asicNames.assign(c.ordinalsOfLast, "MULTI");
        l.Add(last);
        EXPECT_EQ(l.Scan(c.maxCount), c.rows) << c.singleBoards << " " << c.maxCount;
    }
}

TEST(CommandLayerScan, OneFunctionWithTwoRecordsGivesTwoRows) {
    Layer l;
    FakeBoard b = Board(0, 2);
    b.asicNames = {"FIRST RECORD", "SECOND RECORD"};
    l.Add(b);
    ASSERT_EQ(l.Scan(), 2u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(l.cmd.adapters[i].bus, 2);
        EXPECT_EQ(l.cmd.adapters[i].matchIndex, i);
    }
    EXPECT_STREQ(l.cmd.adapters[1].asicName, "SECOND RECORD");
    // Selecting row 1 asks the engine for the second record.
    ASSERT_EQ(l.cmd.SelectAdapter(1, 0xFFFF, 0xFF), 1);
    EXPECT_STREQ(l.flash->asicName, "SECOND RECORD");
}

TEST(CommandLayerScan, RomReadStatus) {
    const Bytes valid = Rom(0x40000, RomImageBuilder().Build());
    RomImageBuilder noPn;
    noPn.partNumber = "XYZ-1234";
    struct Case {
        const char* name;
        Bytes rom;
        std::uint32_t flashType;
        int flipOnRead;
        int shortOnRead;
        unsigned status;
        int reads;
        const char* partNumber;
    };
    const Case cases[] = {
        {"valid", valid, TYPE_POMVEKSPI, 0, 0, CMD_OK, 4, "113-TEST01-100"},
        {"blank", Bytes(0x10000, 0xFF), TYPE_POMVEKSPI, 0, 0, CMD_ROM_BLANK, 4, ""},
        {"zero", Bytes(0x10000, 0x00), TYPE_POMVEKSPI, 0, 0, CMD_ROM_ZERO, 4, ""},
        {"unstable third read", valid, TYPE_POMVEKSPI, 3, 0, CMD_FAILED, 3, ""},
        {"unstable last re-read", valid, TYPE_QUORSPI, 4, 0, CMD_FAILED, 4, ""},
        {"unstable after the check", valid, TYPE_POMVEKSPI, 5, 0, CMD_OK, 4, "113-TEST01-100"},
        {"short re-read", valid, TYPE_SWSPI, 0, 2, CMD_FAILED, 2, ""},
        // Serial EEPROM and SiI1930 boards are read twice only.
        {"SI2C read twice", valid, TYPE_SI2C, 3, 0, CMD_OK, 2, "113-TEST01-100"},
        {"SI2C unstable", valid, TYPE_SI2C, 2, 0, CMD_FAILED, 2, ""},
        {"no part number", Rom(0x40000, noPn.Build()), TYPE_POMVEKSPI, 0, 0, CMD_OK, 4, ""},
    };
    for (const Case& c : cases) {
        Layer l;
        FakeBoard b = Board(0, 1, c.rom);
        b.flashType = c.flashType;
        b.flipOnRead = c.flipOnRead;
        b.shortOnRead = c.shortOnRead;
        FakeBoard& board = l.Add(b);
        ASSERT_EQ(l.Scan(), 1u) << c.name;
        EXPECT_EQ(l.cmd.adapters[0].romStatus, c.status) << c.name;
        EXPECT_EQ(board.reads, c.reads) << c.name;
        EXPECT_STREQ(l.cmd.adapters[0].partNumber, c.partNumber) << c.name;
        EXPECT_EQ(l.cmd.adapters[0].hasImage, c.status == CMD_OK ? 1u : 0u) << c.name;
    }
}

TEST(CommandLayerScan, RescanForgetsWhatTheRomNoLongerHolds) {
    Layer l;
    FakeBoard& b = l.Add(Board(0, 1));
    ASSERT_EQ(l.Scan(), 1u);
    ASSERT_STREQ(l.cmd.adapters[0].configFileName, "VB1234.CFG");
    b.rom.assign(b.rom.size(), 0xFF);
    ASSERT_EQ(l.Scan(), 1u);
    const AdapterEntry& r = l.cmd.adapters[0];
    EXPECT_EQ(r.romStatus, unsigned(CMD_ROM_BLANK));
    EXPECT_EQ(r.hasImage, 0u);
    EXPECT_STREQ(r.configFileName, "");
    EXPECT_STREQ(r.partNumber, "");
    EXPECT_STREQ(r.biosVersion, "");
}

TEST(CommandLayerScan, ImageChainOnlyWhenAsked) {
    RomImageBuilder hybrid;
    hybrid.n512 = 0x70;
    hybrid.efiImages = {0x80};
    Layer l;
    l.Add(Board(0, 1, Rom(0x40000, hybrid.Build())));
    l.Scan();
    EXPECT_TRUE(l.cmd.GetAdapterRomInfo(0).images.empty());
    l.cmd.listImages = 1;
    for (int run = 0; run < 2; ++run) {
        l.Scan();
        const auto& images = l.cmd.GetAdapterRomInfo(0).images;
        ASSERT_EQ(images.size(), 2u) << run;
        EXPECT_EQ(images[0].size, 0xE000);
        EXPECT_EQ(images[1].imageType, IMAGE_EFI);
        EXPECT_EQ(images[1].size, 0x10000);
    }
    EXPECT_EQ(DescribeImageList(l.cmd.GetAdapterRomInfo(0).images),
              "        Image[0]: Size(57344 Bytes), Type(Legacy Image)\n"
              "        Image[1]: Size(65536 Bytes), Type(EFI Image)\n");
    EXPECT_EQ(GetImageSetTypeName(l.cmd.GetAdapterRomInfo(0).images), "Hybrid Images");
}

TEST(CommandLayerScan, MibEepromRecordGivesPartNumberAndSize) {
    Layer l;
    FakeBoard b = Board(0, 1, vmtest::BuildMibEeprom(2, "113-MIB001-01"));
    b.family = TEV_MIB;
    b.flashType = TYPE_MIBI2C;
    l.Add(b);
    ASSERT_EQ(l.Scan(), 1u);
    EXPECT_STREQ(l.cmd.adapters[0].partNumber, "113-MIB001-01");
    EXPECT_EQ(l.flash->romSize, 256u);

    // A malformed length reports the overflow and the scan goes on.
    Layer bad;
    Bytes e = vmtest::BuildMibEeprom(1, "113-X-1");
    e[7] = 0x84;  // type: bits 2-6 of the first of three bytes
    e[8] = 0x80;
    e[9] = 0x00;
    FakeBoard m = Board(0, 1, e);
    m.family = TEV_MIB;
    m.flashType = TYPE_MIBI2C;
    bad.Add(m);
    testing::internal::CaptureStdout();
    EXPECT_EQ(bad.Scan(), 1u);
    EXPECT_NE(testing::internal::GetCapturedStdout().find(
                  "\nError: the size of an extensible length variable has been exceeded.\n"),
              std::string::npos);
}

TEST(CommandLayerScan, DetectionSwitchGetsItsValueBack) {
    Layer l;
    FakeBoard& b = l.Add(Board(0, 1));
    b.clearsForceSelect = true;
    l.Add(Board(0, 2)).clearsForceSelect = true;
    l.flash->forceSelectOnI2cFail = 1;
    EXPECT_EQ(l.Scan(), 2u);
    EXPECT_EQ(l.flash->forceSelectOnI2cFail, 1);
}

TEST(CommandLayerSelect, RescansWithoutReadingAndFailsPastTheEnd) {
    Layer l;
    FakeBoard& b = l.Add(Board(0, 1));
    l.Add(Board(0, 2));
    EXPECT_EQ(l.cmd.SelectAdapter(1, 0xFFFF, 0xFF), 1);
    EXPECT_EQ(b.reads, 0);  // the rescan opens nothing
    EXPECT_EQ(l.cmd.adapterCount, 2u);
    EXPECT_EQ(l.cmd.currentAdapter, 1u);
    EXPECT_STREQ(l.cmd.adapters[1].flashName, "W25X40");
    EXPECT_EQ(l.cmd.GetAdapterRomInfo(1).romSize, 0x40000u);
    EXPECT_EQ(l.cmd.SelectAdapter(2, 0xFFFF, 0xFF), 0);
    EXPECT_EQ(l.cmd.SelectAdapter(0xFFFFFFFF, 0xFFFF, 0xFF), 0);
}

TEST(CommandLayerSelect, RomInfoOutsideTheTableIsEmpty) {
    Layer l;
    l.Add(Board(0, 1));
    l.Scan();
    l.cmd.listImages = 1;
    l.Scan();
    EXPECT_EQ(&l.cmd.GetAdapterRomInfo(0), &l.cmd.adapterRomInfo[0]);
    for (int i : {16, 200, 255}) {
        AdapterRomInfo& info = l.cmd.GetAdapterRomInfo(std::uint8_t(i));
        EXPECT_EQ(info.romSize, 0u);
        EXPECT_TRUE(info.images.empty());
        info.romSize = 5;  // scribbling on it harms nothing
    }
    EXPECT_EQ(l.cmd.GetAdapterRomInfo(16).romSize, 0u);
}

TEST(CommandLayerRead, SaveLengths) {
    RomImageBuilder e000;
    e000.n512 = 0x70;
    struct Case {
        const char* name;
        Bytes rom;
        std::uint32_t length;
        std::uint32_t saved;
    };
    const Case cases[] = {
        {"64K ROM saves its BIOS image", Rom(0x10000, e000.Build()), 0, 0xE000},
        {"256K ROM saves all", Rom(0x40000, e000.Build()), 0, 0x40000},
        // Nothing to size a blank ROM by: all of it, never an empty backup.
        {"blank 64K ROM saves all", Bytes(0x10000, 0xFF), 0, 0x10000},
        {"length given", Rom(0x40000, e000.Build()), 0x1234, 0x1234},
    };
    for (const Case& c : cases) {
        Layer l;
        l.Add(Board(0, 1, c.rom));
        ASSERT_EQ(l.cmd.ReadRom(0, c.length), CMD_OK) << c.name;
        EXPECT_EQ(l.cmd.bytesRead, c.saved) << c.name;
        Bytes expect = c.rom;
        expect.resize(c.saved, 0xFF);
        EXPECT_EQ(Bytes(l.cmd.romBuffer, l.cmd.romBuffer + c.saved), expect) << c.name;
        // The checksum leaves out the engine's retain window.
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < c.saved; ++i)
            if (i < 0x1FF00 || i > 0x1FFFF) sum += expect[i];
        EXPECT_EQ(l.cmd.romChecksum, sum) << c.name;
    }
    // Past the ROM a read shows filler or the ROM again: not a backup.
    Layer l;
    l.Add(Board(0, 1, Rom(0x40000, e000.Build())));
    EXPECT_EQ(l.cmd.ReadRom(0, 0x200000), CMD_BEYOND_REACH);
    EXPECT_EQ(l.cmd.romReach.length, 0x40000u);
}

TEST(CommandLayerRead, FailuresOfTheReadOperations) {
    Layer l;
    l.Add(Board(0, 1));
    FakeBoard& noRom = l.Add(Board(0, 2, Bytes()));
    FakeBoard& flaky = l.Add(Board(0, 3));
    std::uint8_t b = 0;
    EXPECT_EQ(l.cmd.ReadRom(3, 0), CMD_NO_ADAPTER);
    EXPECT_EQ(l.cmd.CheckBiosChecksum(3, 0), CMD_NO_ADAPTER);
    EXPECT_EQ(l.cmd.ReadStatus(3, &b), CMD_NO_ADAPTER);
    EXPECT_EQ(l.cmd.ReadRom(1, 0), CMD_NO_ROM);
    EXPECT_EQ(l.cmd.VerifyRom(1, l.cmd.romBuffer, 1), CMD_NO_ROM);
    EXPECT_EQ(l.cmd.WriteStatus(1, 0), CMD_NO_ROM);
    (void)noRom;
    flaky.shortOnRead = 1;
    EXPECT_EQ(l.cmd.ReadRom(2, 0x100), CMD_READ_FAILED);
    flaky.reads = 0;
    flaky.shortOnRead = 2;  // the read of the BIOS image after its header
    EXPECT_EQ(l.cmd.CheckBiosChecksum(2, 0), CMD_READ_FAILED);
}

TEST(CommandLayerRead, TestRomRead) {
    struct Case {
        std::uint32_t flashType;
        int flipOnRead;
        int result;
        int reads;
    };
    const Case cases[] = {
        {TYPE_POMVEKSPI, 0, CMD_OK, 65},
        {TYPE_POMVEKSPI, 40, CMD_FAILED, 40},
        {TYPE_SI2C, 0, CMD_OK, 2},
        {TYPE_SII1930, 3, CMD_OK, 2},
    };
    for (const Case& c : cases) {
        Layer l;
        FakeBoard b = Board(0, 1);
        b.flashType = c.flashType;
        b.flipOnRead = c.flipOnRead;
        FakeBoard& board = l.Add(b);
        EXPECT_EQ(l.cmd.TestRomRead(0), c.result);
        EXPECT_EQ(l.cmd.status, c.result);
        EXPECT_EQ(board.reads, c.reads);
    }
    Layer l;
    l.Add(Board(0, 1, Bytes()));
    EXPECT_EQ(l.cmd.TestRomRead(0), CMD_NO_ROM);
    EXPECT_EQ(l.cmd.TestRomRead(1), CMD_NO_ADAPTER);
    EXPECT_EQ(l.cmd.status, CMD_NO_ADAPTER);
}

// The status operations' own failures (the real part is driven in ScanOnSim).
TEST(CommandLayerStatus, Failures) {
    Layer l;
    FakeBoard& b = l.Add(Board(0, 1));
    std::uint8_t s = 0;
    // A lock that cannot be written is reported, not claimed.
    EXPECT_EQ(l.cmd.LockRom(5), CMD_NO_ADAPTER);
    b.statusWriteFails = true;
    EXPECT_EQ(l.cmd.LockRom(0), CMD_READ_FAILED);
    EXPECT_EQ(l.cmd.WriteStatus(0, 0x8C), CMD_READ_FAILED);
    b.statusReadFails = true;
    EXPECT_EQ(l.cmd.ReadStatus(0, &s), CMD_READ_FAILED);
    EXPECT_EQ(s, 0xFF);
    EXPECT_EQ(l.cmd.CheckLock(0, &s), CMD_READ_FAILED);
}

}  // namespace
