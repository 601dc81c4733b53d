// The SPI command layer over the bit-banged transfer (software SPI board)
// and over the ROM controller, against the simulated part.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocols/CGenSPI.h"
#include "protocols/CQuorSPI.h"
#include "tests/protocols/SpiRig.h"

namespace {

using ::testing::HasSubstr;

// A software-SPI engine on the default pads (CS 0x179C:19, CLK :10,
// DOUT :9, DIN 0x17A4:8).
struct SoftRig : SpiRig {
    explicit SoftRig(const std::string& part = "M25P10", SimSpiBoardOptions o = {})
        : SpiRig(SimSpiBoardKind::SoftSpi, part, o), spi(flash.get()) {
        spi.csLine = {0x179C, 19, 0};
        spi.clkLine = {0x179C, 10, 0};
        spi.doutLine = {0x179C, 9, 0};
        spi.dinLine = {0x17A4, 8, 0};
    }
    bool Detect() { return spi.DetectPart(List().entries, List().count) < List().count; }
    CGenSPI spi;
};

TEST(CGenSPI, BuildCommandPutsAddressMostSignificantFirst) {
    SpiRig rig(SimSpiBoardKind::SoftSpi);
    CGenSPI spi(rig.flash.get());
    std::uint8_t b[kSpiCommandBufferSize];
    ASSERT_EQ(spi.BuildCommand(b, {0x03, 3, 0}, 0x123456), 4u);
    EXPECT_EQ(std::vector<std::uint8_t>(b, b + 4), (std::vector<std::uint8_t>{0x03, 0x12, 0x34, 0x56}));
    ASSERT_EQ(spi.BuildCommand(b, {0x90, 0, 3}, 0x123456), 4u);
    EXPECT_EQ(std::vector<std::uint8_t>(b, b + 4), (std::vector<std::uint8_t>{0x90, 0, 0, 0}));
    ASSERT_EQ(spi.BuildCommand(b, {0x0B, 5, 1}, 0x11223344), 7u);
    EXPECT_EQ(std::vector<std::uint8_t>(b, b + 7), (std::vector<std::uint8_t>{0x0B, 0, 0x11, 0x22, 0x33, 0x44, 0}));
    EXPECT_EQ(spi.BuildCommand(b, {0x03, 4, 4}, 0), 0u) << "nine bytes do not fit";
}

TEST(CGenSPI, IdentifiesInListOrderReusingIdTriples) {
    struct Case {
        const char* model;
        const char* expected;  // null: nothing identified
        unsigned jedec, rems, signature, atmel;  // ID frames sent
    } cases[] = {
        {"M25P05", "M25P05", 1, 0, 0, 0},
        {"W25X10", "W25X10", 2, 1, 0, 0},          // also answers 0x90 as W25P10 would
        {"SST25VF010", "SST25VF010", 3, 3, 0, 0},  // no 0x9F; the 0x90 query of W25P is not repeated
        {"M25P10/c", "M25P10/c", 4, 3, 2, 0},
        {"AT25F1024", "AT25F1024", 5, 3, 2, 2},
        {"P25Q80H", "P25Q80H", 7, 4, 2, 2},
    };
    for (const Case& c : cases) {
        SoftRig rig(c.model);
        ASSERT_TRUE(rig.mapped);
        std::uint32_t index = rig.spi.DetectPart(rig.List().entries, rig.List().count);
        ASSERT_LT(index, rig.List().count) << c.model;
        EXPECT_STREQ(rig.spi.part->name, c.expected);
        EXPECT_EQ(rig.spi.part, &rig.List().entries[index]);
        EXPECT_EQ(rig.Part().Count(0x9F), c.jedec) << c.model;
        EXPECT_EQ(rig.Part().Count(0x90), c.rems) << c.model;
        EXPECT_EQ(rig.Part().Count(0xAB), c.signature) << c.model;
        EXPECT_EQ(rig.Part().Count(0x15), c.atmel) << c.model;
    }
    SoftRig unknown("M25P10");
    unknown.Part().FailUnknownId(true);
    EXPECT_EQ(unknown.spi.DetectPart(unknown.List().entries, unknown.List().count), unknown.List().count);
    EXPECT_EQ(unknown.spi.part, nullptr);
    EXPECT_EQ(unknown.Part().Count(0x9F) + unknown.Part().Count(0x90) + unknown.Part().Count(0xAB) +
                  unknown.Part().Count(0x15),
              15u);
}

TEST(CGenSPI, EveryModelledPartIsIdentifiedAsItself) {
    // The 53 parts of the built-in list; each /c part lacks the JEDEC ID of
    // its namesake, and each model answers its own ID command. A W25Q40
    // answers 0x90 with EF 12 as a W25P40 does, and that entry comes first.
    SoftRig names;
    ASSERT_EQ(names.List().count, 53u);
    for (std::uint32_t i = 0; i < names.List().count; ++i) {
        std::string name = names.List().entries[i].name;
        ASSERT_NE(FindSimSpiPart(name), nullptr) << name;
        SoftRig rig(name);
        ASSERT_TRUE(rig.Detect()) << name;
        EXPECT_EQ(rig.spi.part->name, name == "W25Q40" ? std::string("W25P40") : name);
    }
}

TEST(CGenSPI, DetectionSkipsEntriesWithoutAnIdCommand) {
    SoftRig rig("M25P10");
    SpiPart parts[2] = {rig.List().entries[0], *rig.Find("M25P10")};
    parts[0].commands[SPI_READ_ID] = {0, 0, 0};
    std::memset(parts[0].id, 0, 4);  // would match anything
    EXPECT_EQ(rig.spi.DetectPart(parts, 2), 1u);
    EXPECT_EQ(rig.spi.DetectPart(nullptr, 7), 7u);
    EXPECT_EQ(rig.spi.DetectPart(parts, 0), 0u);
    EXPECT_EQ(rig.spi.part, nullptr);
}

TEST(CGenSPI, ProgramsPageByPageAndVerifies) {
    SoftRig rig("M25P10");
    ASSERT_TRUE(rig.Detect());
    rig.Part().EnableFrameLog(true);
    std::vector<std::uint8_t> data = Pattern(301, 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(rig.spi.ProgramRange(data.data(), 0x1F0, 301, 1), 301u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Burst size is 256 \n");
    EXPECT_TRUE(std::equal(data.begin(), data.end(), rig.Bytes().begin() + 0x1F0));
    std::vector<std::pair<std::uint32_t, std::uint32_t>> programs;
    for (const SimSpiFrame& f : rig.Part().Frames())
        if (f.in[0] == 0x02) programs.push_back({std::uint32_t(f.in[1] << 16 | f.in[2] << 8 | f.in[3]), f.length - 4});
    EXPECT_EQ(programs, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0x1F0, 16}, {0x200, 256}, {0x300, 29}}));
    std::vector<std::uint8_t> back(301);
    EXPECT_EQ(rig.spi.ReadRange(back.data(), 0x1F0, 301, 0), 301u);
    EXPECT_EQ(back, data);
    // Verify mode counts the equal bytes before the first difference.
    back[100] ^= 1;
    EXPECT_EQ(rig.spi.ReadRange(back.data(), 0x1F0, 301, 1), 100u);
}

TEST(CGenSPI, ShortRangesAndMissingPartsTouchNothing) {
    SoftRig rig("M25P10");
    std::uint8_t buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(rig.spi.ReadRange(buf, 0, 4, 0), 0u);
    EXPECT_EQ(rig.spi.ProgramRange(buf, 0, 4, 1), 0u);
    EXPECT_EQ(rig.spi.ChipErase(1), 0u);
    EXPECT_EQ(rig.spi.SectorErase(0, 1), 0u);
    EXPECT_EQ(rig.spi.ReadStatus(), kSpiStatusFailed);
    EXPECT_EQ(rig.spi.WriteStatus(0), 0u);
    EXPECT_EQ(rig.spi.ProtectAll(), 0);
    EXPECT_EQ(rig.board.gpio->Frames(), 0u);

    ASSERT_TRUE(rig.Detect());
    std::uint64_t frames = rig.board.gpio->Frames();
    testing::internal::CaptureStdout();
    EXPECT_EQ(rig.spi.ProgramRange(buf, 0x100, 0, 1), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Burst size is 256 \n");
    EXPECT_EQ(rig.spi.ReadRange(buf, 0x100, 0, 0), 0u);
    // A record with page size 0 cannot be chunked: refused.
    SpiPart noPage = *rig.spi.part;
    noPage.pageSize = 0;
    rig.spi.part = &noPage;
    EXPECT_EQ(rig.spi.ReadRange(buf, 0, 4, 0), 0u);
    testing::internal::CaptureStdout();
    EXPECT_EQ(rig.spi.ProgramRange(buf, 0, 4, 1), 0u);
    testing::internal::GetCapturedStdout();
    // A command longer than eight bytes is refused.
    SpiPart longRead = *rig.Find("M25P10");
    longRead.commands[SPI_READ] = {0x03, 3, 6};
    rig.spi.part = &longRead;
    EXPECT_EQ(rig.spi.ReadRange(buf, 0, 4, 0), 0u);
    EXPECT_EQ(rig.board.gpio->Frames(), frames);
}

TEST(CGenSPI, ChipEraseClearsSstProtectionFirst) {
    SoftRig rig("SST25VF010");
    ASSERT_TRUE(rig.Detect());
    EXPECT_EQ(rig.spi.ReadStatus(), 0x0Cu);
    rig.Bytes()[0x1234] = 0;
    rig.Part().EnableFrameLog(true);
    // Byte-sized pages make the blank check slow; a part of it will do.
    EXPECT_EQ(rig.spi.ChipErase(1, 0x1240), 0x1240u);
    std::vector<std::uint8_t> ops;
    for (const SimSpiFrame& f : rig.Part().Frames())
        if (f.in[0] != 0x05 && f.in[0] != 0x03) ops.push_back(f.in[0]);
    EXPECT_EQ(ops, (std::vector<std::uint8_t>{0x50, 0x01, 0x06, 0x60}));
    EXPECT_EQ(rig.Bytes()[0x1234], 0xFF);
    EXPECT_EQ(rig.spi.part->size, 0x20000u);

    // The same rule with another EWSR opcode does not apply: the protected
    // part ignores the erase and the blank check fails at once.
    SoftRig other("SST25VF010");
    ASSERT_TRUE(other.Detect());
    SpiPart set6 = *other.spi.part;
    set6.commands[SPI_EWSR].opcode = 0x35;
    other.spi.part = &set6;
    other.Bytes()[0] = 0x00;
    EXPECT_EQ(other.spi.ChipErase(1), 0u);
    EXPECT_EQ(other.Part().Count(0x01), 0u);
    EXPECT_EQ(other.Part().Count(0x60), 1u);
}

TEST(CGenSPI, ChipEraseBlankCheck) {
    SoftRig rig("M25P10");
    ASSERT_TRUE(rig.Detect());
    // Its own length, separate from the part record.
    rig.Bytes()[0x3000] = 0x00;
    EXPECT_EQ(rig.spi.ChipErase(1, 0x2000), 0x2000u);
    EXPECT_EQ(rig.spi.part->size, 0x20000u);
    EXPECT_EQ(rig.spi.ChipErase(0), 0x20000u);

    // Erase that does nothing: the check stops at the first programmed byte.
    rig.Part().FailErase(true);
    rig.Bytes()[0x181] = 0x7F;
    EXPECT_EQ(rig.spi.ChipErase(1), 0x181u);

    // Block protection makes the part ignore the erase.
    SoftRig locked("M25P10");
    ASSERT_TRUE(locked.Detect());
    locked.Part().SetStatus(0x0C);
    locked.Bytes()[0x40] = 0x00;
    EXPECT_EQ(locked.spi.ChipErase(1), 0x40u);
    EXPECT_EQ(locked.Bytes()[0x40], 0x00);
}

TEST(CGenSPI, TimeOutsOnTheVirtualClock) {
    struct Case {
        const char* what;
        std::uint32_t (*run)(CGenSPI&);
        std::uint32_t result;
        const char* message;
        std::uint64_t limit;
    } cases[] = {
        {"program",
         [](CGenSPI& s) {
             std::uint8_t d[300] = {};
             return s.ProgramRange(d, 0x100, 300, 1);
         },
         0, "Error: page program - read status register operation timeout\n", 1000000},
        {"chip erase", [](CGenSPI& s) { return s.ChipErase(1); }, 0,
         "Error: bulk erase - read status register operation timeout\n", 20000000},
        {"sector erase",
         [](CGenSPI& s) {
             // The built-in sets send the sector erase without an address.
             static SpiPart withAddress;
             withAddress = *s.part;
             withAddress.commands[SPI_SECTOR_ERASE].addressBytes = 3;
             s.part = &withAddress;
             return s.SectorErase(1, 1);
         },
         0, "Error: sector erase - read status register operation timeout\n", 8000000},
        {"status write", [](CGenSPI& s) { return s.WriteStatus(0x80); }, 0,
         "Error: write status register - operation timeout\n", 8000000},
    };
    for (const Case& c : cases) {
        SoftRig rig("M25P10");
        ASSERT_TRUE(rig.Detect());
        rig.FastClock();
        rig.Part().FailBusyNeverClears(true);
        std::uint64_t before = rig.hw.Clocks().CpuMicros();
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.run(rig.spi), c.result) << c.what;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_THAT(out, HasSubstr(c.message)) << c.what;
        EXPECT_GT(rig.hw.Clocks().CpuMicros() - before, c.limit) << c.what;
    }

    // The first page programs, the second times out: a short count.
    SoftRig rig("M25P10");
    ASSERT_TRUE(rig.Detect());
    rig.FastClock();
    std::vector<std::uint8_t> data(512, 0x5A);
    testing::internal::CaptureStdout();
    ASSERT_EQ(rig.spi.ProgramRange(data.data(), 0, 256, 1), 256u);
    rig.Part().FailBusyNeverClears(true);
    EXPECT_EQ(rig.spi.ProgramRange(data.data(), 0x100, 512, 1), 0u);
    EXPECT_THAT(testing::internal::GetCapturedStdout(), HasSubstr("page program"));
}

TEST(CGenSPI, NoWriteEnableLatchStopsAtOnce) {
    SoftRig rig("M25P10");
    ASSERT_TRUE(rig.Detect());
    rig.Part().FailWelNeverSets(true);
    std::uint8_t d[16] = {};
    testing::internal::CaptureStdout();
    EXPECT_EQ(rig.spi.ProgramRange(d, 0, 16, 1), 0u);
    EXPECT_EQ(rig.spi.ChipErase(1), 0u);
    EXPECT_EQ(rig.spi.SectorErase(0, 1), 0u);
    // A status write without the latch did not happen either.
    EXPECT_EQ(rig.spi.WriteStatus(0x00), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Burst size is 256 \n");
    EXPECT_EQ(rig.Part().Count(0x02) + rig.Part().Count(0xC7) + rig.Part().Count(0xD8) + rig.Part().Count(0x01), 0u);
}

TEST(CGenSPI, WriteProtectBitsAndPin) {
    SoftRig rig("M25P40");  // BP0-BP2 and SRWD writable
    ASSERT_TRUE(rig.Detect());
    EXPECT_EQ(rig.spi.ProtectAll(), 1);
    EXPECT_EQ(rig.spi.ReadStatus(), 0x0Cu);
    EXPECT_EQ(rig.spi.IsProtectedAll(), 1);
    EXPECT_EQ(rig.spi.IsProtectedPartial(), 0);
    EXPECT_EQ(rig.spi.ProtectPartial(), 1);
    EXPECT_EQ(rig.spi.ReadStatus(), 0x04u);
    EXPECT_EQ(rig.spi.LockStatusRegister(), 1);
    EXPECT_EQ(rig.spi.ReadStatus(), 0x84u);
    EXPECT_EQ(rig.spi.IsStatusRegisterLocked(), 1);
    rig.Part().SetWriteProtectPin(true);
    EXPECT_EQ(rig.spi.Unprotect(), 0) << "SRWD with WP# asserted";
    EXPECT_EQ(rig.spi.ReadStatus(), 0x84u);
    rig.Part().SetWriteProtectPin(false);
    EXPECT_EQ(rig.spi.Unprotect(), 1);
    EXPECT_EQ(rig.spi.ReadStatus(), 0x00u);
    EXPECT_EQ(rig.spi.IsWriteAllowed(), 1);
    EXPECT_EQ(rig.spi.SupportsTarget(rig.flash.get()), 1);
    EXPECT_EQ(rig.spi.WriteStatus(0xFC), 1u);
    EXPECT_EQ(rig.spi.ReadStatus(), 0x9Cu);
}

TEST(CGenSPI, LinePolarityMustMatchTheBoard) {
    struct Case {
        bool engineInverts;
        bool boardInverts;
        bool identified;
    } cases[] = {{false, false, true}, {true, true, true}, {true, false, false}, {false, true, false}};
    for (const Case& c : cases) {
        SimSpiBoardOptions o;
        o.wiring.mosi.inverted = c.boardInverts;
        o.wiring.cs.inverted = c.boardInverts;
        o.wiring.miso.inverted = c.boardInverts;
        SoftRig rig("M25P10", o);
        rig.spi.doutLine.invert = c.engineInverts;
        rig.spi.csLine.invert = c.engineInverts;
        rig.spi.dinLine.invert = c.engineInverts;
        EXPECT_EQ(rig.Detect(), c.identified) << c.engineInverts << c.boardInverts;
        if (!c.identified) continue;
        std::vector<std::uint8_t> data = Pattern(64, 3);
        testing::internal::CaptureStdout();
        EXPECT_EQ(rig.spi.ProgramRange(data.data(), 0x40, 64, 1), 64u);
        testing::internal::GetCapturedStdout();
    }
}

TEST(CGenSPI, FailedFramesReadAsAllOnes) {
    // The controller never finishes a frame: no stale byte is taken for an
    // ID or a status.
    SpiRig rig(SimSpiBoardKind::Orpane, "M25P10");
    rig.FastClock();
    CQuorSPI quor(rig.flash.get());
    quor.part = rig.Find("M25P10");
    rig.board.controller->FailStatusNeverCompletes(true);
    testing::internal::CaptureStdout();
    EXPECT_EQ(quor.ReadStatus(), 0xFFu);
    EXPECT_EQ(quor.WriteStatus(0), 0u);
    EXPECT_EQ(quor.DetectPart(rig.List().entries, rig.List().count), rig.List().count);
    std::uint8_t rx[4] = {1, 2, 3, 4};
    const std::uint8_t cmd = 0x9F;
    EXPECT_EQ(quor.Transfer(1, &cmd, 0, nullptr, 4, rx, 0), 0u);
    EXPECT_EQ(std::vector<std::uint8_t>(rx, rx + 4), std::vector<std::uint8_t>(4, 0xFF));
    testing::internal::GetCapturedStdout();
}

}  // namespace
