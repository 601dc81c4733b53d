// Firmware-mediated flashing against the simulated firmware: the request
// the firmware reads from the shared pages, the mailbox sequence, the
// failures and time-outs, and the pads and ROM control left as found on
// every path.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include "engine/SharedProtocolObjects.h"
#include "protocols/SecureSPI.h"
#include "sim/SimSmuFirmware.h"
#include "tests/protocols/SpiRig.h"

namespace {

using ::testing::HasSubstr;

constexpr std::uint32_t kPadA = 0x5A5F5F87;
constexpr std::uint32_t kPadB = 0x00080700;
constexpr std::uint32_t kPadOut = 0x40080780;
constexpr std::uint32_t kCntl = 0x08345678;
constexpr std::uint32_t kRomCntl = 0xC0600004;

const std::uint64_t kPage = std::uint64_t(sysconf(_SC_PAGESIZE));

class SmuRig {
public:
    explicit SmuRig(const std::string& partName = "M25P40") : scope(hw) {
        board = AddSmuBoard(hw, SimPciAddress{0, 4, 0, 0}, partName);
        flash = std::make_unique<SpiTestFlash>();
        mapped = board.spi.function && flash->Map(*board.spi.function);
        spi = SharedProtocols().secureSpi;
        for (std::uint32_t i = 0; i < flash->spiPartList.count; ++i)
            if (partName == flash->spiPartList.entries[i].name) spi->part = &flash->spiPartList.entries[i];
        Regs().Poke(0x608, kPadA);
        Regs().Poke(0x610, kPadB);
        Regs().Poke(0x60C, kPadOut);
        board.spi.controller->Write(kRomCntl, kCntl);
        hw.Clocks().SetSteps(1000, 1);
    }
    SimRegisterFile& Regs() { return board.spi.function->Registers(); }
    SimSmuFirmware& Firmware() { return *board.firmware; }
    std::vector<std::uint8_t>& FlashBytes() { return board.spi.flash->Storage().Bytes(); }
    void ExpectRestored() {
        EXPECT_EQ(Regs().Peek(0x608), kPadA);
        EXPECT_EQ(Regs().Peek(0x610), kPadB);
        EXPECT_EQ(Regs().Peek(0x60C), kPadOut);
        EXPECT_EQ(board.spi.controller->Peek(kRomCntl), kCntl);
        EXPECT_EQ(hw.LockedBytes(), 0u);
    }
    // Runs the engine's forwarder, returning its result and what it printed.
    std::pair<int, std::string> Run(const std::vector<std::uint8_t>& image) {
        testing::internal::CaptureStdout();
        int r = flash->FlashThroughSmu(image.data(), int(image.size()));
        return {r, testing::internal::GetCapturedStdout()};
    }

    SimHardware hw;
    ScopedHardware scope;
    SimSmuBoard board;
    std::unique_ptr<SpiTestFlash> flash;
    SecureSPI* spi = nullptr;
    bool mapped = false;
};

TEST(SecureSpi, RequestLayoutMailboxAndFlashContents) {
    if (kPage != 4096) GTEST_SKIP() << "sizes below assume 4 KiB pages";
    const struct {
        std::uint32_t length, n, lastEntry;
    } cases[] = {{0x40014, 64, 4096}, {0x40015, 65, 1}, {21, 1, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        SmuRig rig;
        ASSERT_TRUE(rig.mapped);
        const std::vector<std::uint8_t> image = Pattern(c.length, 3);
        const std::uint32_t L = c.length - 20;
        auto [r, out] = rig.Run(image);
        EXPECT_EQ(r, 1);
        EXPECT_EQ(out, "\n smu resp is 1\n");
        EXPECT_EQ(rig.Firmware().Refusal(), "");

        const SimSmuRequest& q = rig.Firmware().Request();
        const std::uint32_t fixed[] = {1, 2, 12 | 2u << 16};
        for (int i = 0; i < 3; ++i) EXPECT_EQ(q.header[i], fixed[i]);
        EXPECT_EQ(q.header[7], c.n);
        EXPECT_EQ(q.header[8], 0u);
        EXPECT_EQ(q.header[9], 36u | 3u << 16);
        for (int i = 12; i < 16; ++i) EXPECT_EQ(q.header[i], 0u);
        // Chip erase, read status, write enable, page program; busy 1/1, latch 2/2; page 256.
        const std::uint8_t params[12] = {0xC7, 0x05, 0x06, 0x02, 1, 1, 2, 2, 0x00, 0x01, 0, 0};
        EXPECT_EQ(std::vector<std::uint8_t>(q.params, q.params + 12), std::vector<std::uint8_t>(params, params + 12));
        ASSERT_EQ(q.entries.size(), c.n);
        for (std::uint32_t i = 0; i + 1 < c.n; ++i) EXPECT_EQ(q.entries[i].length, 4096u);
        EXPECT_EQ(q.entries.back().length, c.lastEntry);
        EXPECT_EQ(q.trailer, std::vector<std::uint8_t>(image.end() - 20, image.end()));

        // The header's address goes high word first; the frames lie above 4 GiB.
        const auto& m = rig.Firmware().Messages();
        ASSERT_EQ(m.size(), 3u);
        EXPECT_EQ(m[0].message, 0x258u);
        EXPECT_NE(m[0].argument, 0u);
        EXPECT_EQ(m[1].message, 0x259u);
        EXPECT_EQ(m[2].message, 0x25Au);
        EXPECT_EQ(m[2].argument, L);

        const std::vector<std::uint8_t>& flash = rig.FlashBytes();
        EXPECT_TRUE(std::equal(image.begin(), image.begin() + L, flash.begin()));
        EXPECT_TRUE(std::all_of(flash.begin() + L, flash.end(), [](std::uint8_t b) { return b == 0xFF; }));
        rig.ExpectRestored();
    }
}

// Each message: response cleared, argument, message; then the poll.
TEST(SecureSpi, ResponseClearedBeforeEachMessage) {
    SmuRig rig;
    ASSERT_TRUE(rig.mapped);
    SimAccessLog& log = rig.hw.AccessLog();
    log.Enable();
    rig.Run(Pattern(5000, 1));
    log.Enable(false);
    std::vector<std::uint32_t> order;
    for (const RegWrite& w : ControllerWrites(log))
        if (w.reg == 0x250 || w.reg == 0x254 || w.reg == 0x290) order.push_back(w.reg == 0x254 ? w.value + 0x254 : w.reg);
    const std::vector<std::uint32_t> expected = {0x254, 0x290, 0x250, 0x254, 0x290, 0x250, 0x254, 0x290, 0x250};
    EXPECT_EQ(order, expected);
}

enum class Fault { None, Stopped, StatusStuck, LatchStuck, NoPageMap, NoPart, NotReady, LockFails, NoAnswerHi, NoAnswerLo, NoAnswerFlash, Refuse, Protected, Short, ListTooLong };

TEST(SecureSpi, FailuresLeavePadsAndFlashAlone) {
    const struct {
        const char* name;
        Fault fault;
        int result;
        const char* line;        // printed (substring)
        std::size_t messages;    // posted
    } cases[] = {
        {"stopped", Fault::Stopped, 0, "SMU FW is not runnng, please use zindrel to load it before flashing bios\n", 0},
        {"controller status stuck", Fault::StatusStuck, 0, "", 0},
        {"write latch stuck", Fault::LatchStuck, 0, "", 0},
        {"no page map", Fault::NoPageMap, 0, "\nMap physical address fail\n\n smu resp is 0\n", 0},
        {"no part", Fault::NoPart, 0, "", 0},
        {"not ready", Fault::NotReady, 0, "SMU FW is not ready for message hanlding\n", 0},
        {"lock fails", Fault::LockFails, 0, "\n smu resp is 0\n", 0},
        {"20 bytes", Fault::Short, 0, "\n smu resp is 0\n", 0},
        {"list too long", Fault::ListTooLong, 0, "\nCan not store all address info in one single page\n", 0},
        {"no answer hi", Fault::NoAnswerHi, 0, "Wait for SMC response set mem hi bytes time out\n", 1},
        {"no answer lo", Fault::NoAnswerLo, 0, "Wait for SMC response set mem lo bytes time out\n", 2},
        {"no answer flash", Fault::NoAnswerFlash, 0, "Wait for SMC response  flash bios time out\n", 3},
        {"refused", Fault::Refuse, 2, "authentication fail!\n\n smu resp is 2\n", 3},
        // The firmware cannot program a block-protected part: no success.
        {"block-protected part", Fault::Protected, 2, "authentication fail!\n\n smu resp is 2\n", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.fault == Fault::ListTooLong && kPage != 4096) continue;
        SmuRig rig;
        ASSERT_TRUE(rig.mapped);
        std::vector<std::uint8_t> image = Pattern(0x3000, 2);
        switch (c.fault) {
        case Fault::Stopped: rig.Firmware().SetRunning(false); break;
        case Fault::StatusStuck: rig.board.spi.controller->FailStatusNotClearable(true); break;
        case Fault::LatchStuck: rig.board.spi.flash->FailWelNeverSets(true); break;
        case Fault::NoPageMap: rig.hw.SetPagemapUnopenable(true); break;
        case Fault::NoPart: rig.spi->part = nullptr; break;
        case Fault::NotReady: rig.Regs().WriteRegister(0x254, 0); break;
        case Fault::LockFails: rig.hw.SetLockFails(true); break;
        case Fault::NoAnswerHi: rig.Firmware().FailNoAnswer(0x258); break;
        case Fault::NoAnswerLo: rig.Firmware().FailNoAnswer(0x259); break;
        case Fault::NoAnswerFlash: rig.Firmware().FailNoAnswer(0x25A); break;
        case Fault::Refuse: rig.Firmware().FailRefuse(true); break;
        case Fault::Protected: rig.board.spi.flash->SetStatus(0x1C); break;
        case Fault::Short: image.resize(20); break;
        case Fault::ListTooLong: image = Pattern(4096 * 341 + 21, 2); break;
        case Fault::None: break;
        }
        const std::uint64_t cpuBefore = rig.hw.Clocks().CpuMicros();
        auto [r, out] = rig.Run(image);
        EXPECT_EQ(r, c.result);
        EXPECT_THAT(out, HasSubstr(c.line));
        EXPECT_EQ(rig.Firmware().Messages().size(), c.messages);
        // A firmware that flashes but never answers is still a failure.
        const bool flashed = c.fault == Fault::NoAnswerFlash;
        EXPECT_EQ(rig.Firmware().ImagesFlashed(), flashed ? 1u : 0u);
        EXPECT_EQ(std::all_of(rig.FlashBytes().begin(), rig.FlashBytes().end(),
                              [](std::uint8_t b) { return b == 0xFF; }),
                  !flashed);
        // Only the flash message waits 40 s.
        const std::uint64_t waited = rig.hw.Clocks().CpuMicros() - cpuBefore;
        if (c.fault == Fault::NoAnswerFlash) {
            EXPECT_GE(waited, 40000000u);
        } else {
            EXPECT_LT(waited, 40000000u);
        }
        rig.ExpectRestored();
    }
}

TEST(SecureSpi, WriteNeverAllowedAndFirmwareState) {
    SmuRig rig;
    ASSERT_TRUE(rig.mapped);
    testing::internal::CaptureStdout();
    EXPECT_EQ(rig.spi->IsWriteAllowed(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "efuse bit is cut\n");
    EXPECT_EQ(rig.spi->IsSmuFirmwareRunning(), 1);
    rig.Firmware().SetRunning(false);
    EXPECT_EQ(rig.spi->IsSmuFirmwareRunning(), 0);
}

// Building an engine builds the firmware-flashing object, whose set-up
// writes a controller register; with no device mapped yet it must reach no
// board.
TEST(SecureSpi, ConstructionTouchesNoBoard) {
    SimHardware hw;
    ScopedHardware scope(hw);
    SimSmuBoard board = AddSmuBoard(hw, SimPciAddress{0, 4, 0, 0});
    ASSERT_NE(board.spi.function, nullptr);
    hw.AccessLog().Enable();
    std::unique_ptr<CFlash> engine(CreateFlash(nullptr, 0));
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(hw.AccessLog().Count(SimAccessKind::RegisterRead), 0u);
    EXPECT_EQ(hw.AccessLog().Count(SimAccessKind::RegisterWrite), 0u);
    EXPECT_EQ(hw.AccessLog().Count(SimAccessKind::UnclaimedWrite), 0u) << hw.AccessLog().Dump();
}

TEST(SecureSpi, MachineFileStatement) {
    std::string error;
    auto hw = ParseSimMachine("adapter 0000:05:00.0 wenmar\nsmu part=M25P10 fault=stopped,no-answer-flash\n", "m",
                              ".", &error);
    ASSERT_TRUE(hw) << error;
    EXPECT_FALSE(ParseSimMachine("adapter 0000:05:00.0 wenmar\nsmu fault=sleepy\n", "m", ".", &error));
    EXPECT_THAT(error, HasSubstr("unknown firmware fault 'sleepy'"));
}

}  // namespace
