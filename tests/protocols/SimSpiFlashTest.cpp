// The SPI flash part model, driven byte by byte as a master would.
#include <gtest/gtest.h>

#include "sim/SimSpiFlash.h"

namespace {

class Master {
public:
    explicit Master(SimSpiFlash& f) : f_(f) {}
    // One frame: sends `out`, then clocks `in` bytes back.
    std::vector<std::uint8_t> Frame(std::vector<std::uint8_t> out, std::size_t in = 0) {
        std::vector<std::uint8_t> got;
        f_.Select();
        for (std::uint8_t b : out) {
            f_.NextOutByte();
            f_.InByte(b);
        }
        for (std::size_t i = 0; i < in; ++i) {
            got.push_back(f_.NextOutByte());
            f_.InByte(0);
        }
        f_.Deselect();
        return got;
    }
    std::uint8_t Status() { return Frame({0x05}, 1)[0]; }
    void Wren() { Frame({0x06}); }
    void WaitIdle() {
        for (int i = 0; i < 100 && (Status() & 1); ++i) {
        }
    }

private:
    SimSpiFlash& f_;
};

SimSpiFlash Make(const char* name, std::uint8_t status = 0) {
    SimSpiFlash f(*FindSimSpiPart(name), nullptr);
    f.SetStatus(status);
    return f;
}

TEST(SimSpiFlash, AnswersEachIdCommandWithItsOwnBytes) {
    struct Case {
        const char* part;
        std::vector<std::uint8_t> command;
        std::vector<std::uint8_t> answer;
    } cases[] = {
        {"M25P05", {0x9F}, {0x20, 0x20, 0x10, 0x10}},
        {"M25P05", {0xAB, 0, 0, 0}, {0x05, 0x05, 0x05, 0x05}},
        {"M25P10/c", {0x9F}, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"W25X10", {0x9F}, {0xEF, 0x30, 0x11, 0x11}},
        {"W25X10", {0x90, 0, 0, 0}, {0xEF, 0x10, 0xEF, 0x10}},
        {"W25X10", {0x90, 0, 0, 1}, {0x10, 0xEF, 0x10, 0xEF}},
        {"SST25VF010", {0x90, 0, 0, 0}, {0xBF, 0x49, 0xBF, 0x49}},
        {"SST25VF010", {0xAB, 0, 0, 0}, {0xBF, 0x49, 0xBF, 0x49}},
        {"SST25VF010", {0x9F}, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"AT25F1024", {0x15}, {0x1F, 0x60, 0x60, 0x60}},
        {"PM25LV512", {0xAB, 0, 0, 0}, {0x9D, 0x7B, 0x7F, 0x7F}},
        {"IS25LP016D", {0x90, 0, 0, 0}, {0x9D, 0x14, 0x9D, 0x14}},
    };
    for (const Case& c : cases) {
        SimSpiFlash f = Make(c.part);
        EXPECT_EQ(Master(f).Frame(c.command, 4), c.answer) << c.part << " opcode " << int(c.command[0]);
    }
    SimSpiFlash unknown = Make("M25P10");
    unknown.FailUnknownId(true);
    EXPECT_EQ(Master(unknown).Frame({0x9F}, 3), (std::vector<std::uint8_t>{0x7E, 0x7E, 0x7E}));
}

TEST(SimSpiFlash, ProgramNeedsWelClearsOnlyBitsAndWrapsInThePage) {
    SimSpiFlash f = Make("M25P10");
    Master m(f);
    auto& mem = f.Storage().Bytes();
    m.Frame({0x02, 0x00, 0x01, 0x00, 0x00});
    EXPECT_EQ(mem[0x100], 0xFF) << "program without WEL";

    mem[0x1FE] = 0xF0;
    m.Wren();
    EXPECT_EQ(m.Status() & 0x02, 0x02);
    // Three bytes from 0x1FE: the third wraps to the start of the page.
    m.Frame({0x02, 0x00, 0x01, 0xFE, 0x3C, 0x11, 0x22});
    EXPECT_EQ(m.Status() & 0x03, 0x03) << "busy with WEL during the cycle";
    m.WaitIdle();
    EXPECT_EQ(m.Status() & 0x03, 0x00) << "WEL clears when the cycle ends";
    EXPECT_EQ(mem[0x1FE], 0x30);
    EXPECT_EQ(mem[0x1FF], 0x11);
    EXPECT_EQ(mem[0x100], 0x22);
    EXPECT_EQ(mem[0x200], 0xFF);

    // Programming cannot set bits again; erase can.
    m.Wren();
    m.Frame({0x02, 0x00, 0x01, 0xFE, 0xFF});
    m.WaitIdle();
    EXPECT_EQ(mem[0x1FE], 0x30);
    m.Wren();
    m.Frame({0xC7});
    m.WaitIdle();
    EXPECT_EQ(mem[0x1FE], 0xFF);
}

// SST parts program the one byte after the address; the rest of the frame
// is ignored, not wrapped onto it.
TEST(SimSpiFlash, SstByteProgramTakesTheFirstDataByteOnly) {
    for (const char* part : {"SST25VF010", "SST25VF020B"}) {
        SimSpiFlash f = Make(part);
        Master m(f);
        auto& mem = f.Storage().Bytes();
        m.Wren();
        m.Frame({0x02, 0x00, 0x10, 0x00, 0x5A, 0x33});
        m.WaitIdle();
        EXPECT_EQ(mem[0x1000], 0x5A) << part;
        EXPECT_EQ(mem[0x1001], 0xFF) << part;
    }
}

TEST(SimSpiFlash, ReadsWrapAtThePartSize) {
    SimSpiFlash f = Make("M25P05");
    auto& mem = f.Storage().Bytes();
    mem[0xFFFF] = 0x12;
    mem[0] = 0x34;
    EXPECT_EQ(Master(f).Frame({0x03, 0x00, 0xFF, 0xFF}, 2), (std::vector<std::uint8_t>{0x12, 0x34}));
    EXPECT_EQ(Master(f).Frame({0x03, 0x01, 0x00, 0x00}, 1), (std::vector<std::uint8_t>{0x34}));
}

TEST(SimSpiFlash, BusyForTheConfiguredPollsAndIgnoresCommandsMeanwhile) {
    SimSpiFlash f = Make("M25P10");
    f.SetBusyPolls(1, 3, 1);
    Master m(f);
    m.Wren();
    m.Frame({0xC7});
    EXPECT_EQ(m.Status(), 0x03);
    m.Frame({0x06});  // ignored while busy
    EXPECT_EQ(m.Status(), 0x03);
    EXPECT_EQ(m.Status(), 0x03);
    EXPECT_EQ(m.Status(), 0x00);
    EXPECT_EQ(f.Count(0xC7), 1u);
}

TEST(SimSpiFlash, DeviceTimeBusy) {
    SimClocks clocks;
    SimSpiFlash f(*FindSimSpiPart("M25P10"), nullptr, &clocks);
    f.SetBusyPolls(0, 0, 0);
    f.SetBusyMicros(0, 5000, 0);
    Master m(f);
    m.Wren();
    m.Frame({0xC7});
    EXPECT_EQ(m.Status() & 1, 1);
    clocks.AdvanceDevice(5000);
    EXPECT_EQ(m.Status() & 1, 0);
}

TEST(SimSpiFlash, BlockProtectRefusesProgramAndErase) {
    SimSpiFlash f = Make("M25P10", 0x04);
    Master m(f);
    m.Wren();
    m.Frame({0xC7});
    EXPECT_EQ(m.Status(), 0x04) << "refused, WEL reset";
    f.Storage().Bytes()[5] = 0x00;
    m.Wren();
    m.Frame({0xC7});
    m.Wren();
    m.Frame({0x02, 0, 0, 6, 0x00});
    EXPECT_EQ(f.Storage().Bytes()[5], 0x00);
    EXPECT_EQ(f.Storage().Bytes()[6], 0xFF);
}

TEST(SimSpiFlash, StatusWriteHonoursWritableBitsLockAndPin) {
    SimSpiFlash f = Make("M25P10");  // BP0, BP1 and SRWD writable
    Master m(f);
    m.Frame({0x01, 0xFC});
    EXPECT_EQ(m.Status(), 0x00) << "no WEL";
    m.Wren();
    m.Frame({0x01, 0xFC});
    m.WaitIdle();
    EXPECT_EQ(m.Status(), 0x8C);
    // Locked but the pin is not asserted: the write takes.
    m.Wren();
    m.Frame({0x01, 0x84});
    m.WaitIdle();
    EXPECT_EQ(m.Status(), 0x84);
    f.SetWriteProtectPin(true);
    m.Wren();
    m.Frame({0x01, 0x00});
    m.WaitIdle();
    EXPECT_EQ(m.Status(), 0x84) << "SRWD with WP# asserted";
    f.SetWriteProtectPin(false);
    m.Wren();
    m.Frame({0x01, 0x00});
    m.WaitIdle();
    EXPECT_EQ(m.Status(), 0x00);
}

TEST(SimSpiFlash, EwsrEnablesOnlyTheNextStatusWrite) {
    SimSpiFlash f = Make("SST25VF010", 0x0C);
    Master m(f);
    EXPECT_EQ(m.Status(), 0x0C) << "protected at power-up";
    m.Frame({0x50});
    m.Frame({0x01, 0x00});
    m.WaitIdle();
    EXPECT_EQ(m.Status(), 0x00);
    m.Frame({0x50});
    m.Frame({0x05}, 1);
    m.Frame({0x01, 0x0C});
    EXPECT_EQ(m.Status(), 0x00) << "another command came in between";
    // A chip-select pulse without clocks does not count as a command.
    m.Frame({0x50});
    m.Frame({});
    m.Frame({0x01, 0x08});
    m.WaitIdle();
    EXPECT_EQ(m.Status(), 0x08);
}

TEST(SimSpiFlash, Faults) {
    SimSpiFlash stuckBusy = Make("M25P10");
    stuckBusy.FailBusyNeverClears(true);
    Master a(stuckBusy);
    a.Wren();
    a.Frame({0xC7});
    for (int i = 0; i < 50; ++i) ASSERT_EQ(a.Status() & 1, 1);

    // The status bits a write cycle programs take only when it ends.
    SimSpiFlash stuckStatus = Make("M25P10", 0x8C);
    stuckStatus.FailBusyNeverClears(true);
    Master s(stuckStatus);
    s.Wren();
    s.Frame({0x01, 0x00});
    EXPECT_EQ(s.Status(), 0x8F);

    SimSpiFlash noWel = Make("M25P10");
    noWel.FailWelNeverSets(true);
    Master b(noWel);
    b.Wren();
    EXPECT_EQ(b.Status(), 0x00);

    SimSpiFlash bits = Make("M25P10");
    bits.AddStuckBits(0x10, 0x01, 0x80);
    Master c(bits);
    c.Wren();
    c.Frame({0x02, 0, 0, 0x10, 0x00});
    c.WaitIdle();
    EXPECT_EQ(bits.Storage().Bytes()[0x10], 0x01);
    c.Wren();
    c.Frame({0xC7});
    c.WaitIdle();
    EXPECT_EQ(bits.Storage().Bytes()[0x10], 0x7F);

    SimSpiFlash failing = Make("M25P10");
    failing.FailNextPrograms(1);
    Master d(failing);
    for (int i = 0; i < 2; ++i) {
        d.Wren();
        d.Frame({0x02, 0, 0, 0, 0x00});
        d.WaitIdle();
        EXPECT_EQ(failing.Storage().Bytes()[0], i == 0 ? 0xFF : 0x00) << "try " << i;
    }

    // An over-programmed bit stays cleared until the next erase.
    SimSpiFlash marginal = Make("M25P10");
    marginal.ProgramFaults().MisprogramAt(0x20, 0x01, 1);
    Master e(marginal);
    for (int i = 0; i < 2; ++i) {
        e.Wren();
        e.Frame({0xC7});
        e.WaitIdle();
        e.Wren();
        e.Frame({0x02, 0, 0, 0x20, 0x0F});
        e.WaitIdle();
        EXPECT_EQ(marginal.Storage().Bytes()[0x20], i == 0 ? 0x0E : 0x0F) << "try " << i;
    }
}

TEST(SimSpiFlash, CatalogueCoversEveryNamedPart) {
    EXPECT_EQ(SimSpiPartNames().size(), 53u);
    EXPECT_EQ(FindSimSpiPart("nonexistent"), nullptr);
}

}  // namespace
