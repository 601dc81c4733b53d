// Address decoding at access time, register hooks, the access log, clocks
// and failure injection of the simulated machine.
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/COsDepend.h"
#include "sim/SimHardware.h"

namespace {

constexpr SimPciAddress kAt{0, 1, 0, 0};

// A display adapter: 256M frame buffer at 0x10 (64-bit), 256K registers at
// 0x18, a 128K ROM BAR at 0 (not enabled) with a recognisable pattern.
struct Board {
    SimHardware hw;
    SimPciFunction* f = nullptr;
    std::shared_ptr<SimStorage> rom = std::make_shared<SimStorage>(128 << 10);

    Board() {
        f = hw.AddFunction(kAt, 0x1002, 0x6610);
        f->AddBar(0, SimBarKind::Mem64, 256 << 20, true, 0xD0000000, SimBarRole::Memory);
        f->AddBar(2, SimBarKind::Mem32, 256 << 10, false, 0xFE800000, SimBarRole::Registers);
        f->SetRomBar(128 << 10, 0);
        for (std::size_t i = 0; i < rom->Size(); ++i) rom->Bytes()[i] = std::uint8_t(i * 7 + 1);
        f->SetRomModel(std::make_shared<SimRomBytes>(rom));
    }
    void Cfg(std::uint32_t off, std::uint32_t v, int len = 4) { hw.ConfigWrite(0, 1, 0, 0, off, len, &v); }
};

TEST(SimDecode, RomEnabledAfterMappingAndFrameBufferMovedUnderMapping) {
    Board b;
    PhysMap at = b.hw.MapPhysical(0xD0000000, 0x40000);
    ASSERT_TRUE(at.Valid());
    b.hw.Write32(at, 0x100, 0xCAFEF00D);  // frame buffer memory
    EXPECT_EQ(b.hw.Read32(at, 0x100), 0xCAFEF00Du);

    // ROM put over the frame buffer, frame buffer moved, ROM enabled:
    // the existing mapping now shows the ROM.
    b.Cfg(0x30, 0xD0000000);
    EXPECT_EQ(b.hw.Read32(at, 0x100), 0xCAFEF00Du);  // not enabled yet
    b.Cfg(0x10, 0xF0000000);
    EXPECT_EQ(b.hw.Read32(at, 0x100), 0xFFFFFFFFu);  // nothing there now
    b.Cfg(0x30, 1, 1);
    EXPECT_EQ(b.hw.Read8(at, 5), 36u);
    EXPECT_EQ(b.hw.Read8(at, 0x20000), 0xFFu);  // beyond the 128K ROM BAR
    // The frame buffer keeps its content at the new place.
    PhysMap fb = b.hw.MapPhysical(0xF0000000, 0x1000);
    EXPECT_EQ(b.hw.Read32(fb, 0x100), 0xCAFEF00Du);

    // Memory decoding off: nothing answers.
    b.Cfg(0x04, 0, 2);
    EXPECT_EQ(b.hw.Read8(at, 5), 0xFFu);
    EXPECT_EQ(b.hw.Read32(fb, 0x100), 0xFFFFFFFFu);
}

TEST(SimDecode, UnclaimedStrayAndPlainRom) {
    Board b;
    PhysMap m = b.hw.MapPhysical(0x90000000, 0x1000);
    b.hw.Write32(m, 0, 0x1234);
    EXPECT_EQ(b.hw.Read32(m, 0), 0xFFFFFFFFu);
    EXPECT_EQ(b.hw.StrayAccesses(), 0u);
    EXPECT_EQ(b.hw.Read32(m, 0xFFE), 0xFFFFFFFFu);  // crosses the end of the mapping
    EXPECT_EQ(b.hw.Read8(PhysMap{}, 0), 0xFFu);
    EXPECT_EQ(b.hw.StrayAccesses(), 2u);

    // A mask ROM ignores writes; a writable one keeps them.
    b.Cfg(0x30, 0xFEA00001);
    PhysMap rom = b.hw.MapPhysical(0xFEA00000, 0x40000);
    b.hw.Write8(rom, 0, 0x55);
    EXPECT_EQ(b.hw.Read8(rom, 0), 1u);
    b.f->SetRomModel(std::make_shared<SimRomBytes>(b.rom, true));
    b.hw.Write8(rom, 0, 0x55);
    EXPECT_EQ(b.hw.Read8(rom, 0), 0x55u);
    EXPECT_EQ(b.rom->Bytes()[0], 0x55u);
}

// An index/data pair at 0x208: writes to 0x208 select, 0x20C reads and writes the
// selected internal register.
class IndexDataPair : public SimRegisterHook {
public:
    std::uint32_t Read(std::uint32_t off) override { return off == 0x208 ? index_ : inner_[index_ & 0xF]; }
    void Write(std::uint32_t off, std::uint32_t v) override {
        if (off == 0x208) index_ = v;
        else inner_[index_ & 0xF] = v;
    }
    std::uint32_t inner_[16] = {};

private:
    std::uint32_t index_ = 0;
};

TEST(SimRegisters, HooksPlainRegistersAndLog) {
    Board b;
    auto pair = std::make_shared<IndexDataPair>();
    b.f->Registers().Attach(0x208, 8, pair);
    b.f->Registers().Poke(0x8B0, 0x11);
    PhysMap regs = b.hw.MapPhysical(0xFE800000, 0x80000);
    b.hw.AccessLog().Enable();

    b.hw.Write32(regs, 0x208, 3);
    b.hw.Write32(regs, 0x20C, 0xABCD);
    EXPECT_EQ(pair->inner_[3], 0xABCDu);
    EXPECT_EQ(b.hw.Read32(regs, 0x20C), 0xABCDu);
    EXPECT_EQ(b.f->Registers().Peek(0x20C), 0u);  // the hook, not plain storage
    EXPECT_EQ(b.hw.Read32(regs, 0x8B0), 0x11u);
    b.hw.Write32(regs, 0x1C0, 5);
    EXPECT_EQ(b.f->Registers().Peek(0x1C0), 5u);
    EXPECT_EQ(b.hw.Read8(regs, 0x1C0), 5u);
    EXPECT_EQ(b.hw.Read32(regs, 0x40000), 0xFFFFFFFFu);  // beyond the 256K BAR

    const auto& e = b.hw.AccessLog().Entries();
    ASSERT_EQ(e.size(), 7u) << b.hw.AccessLog().Dump();
    EXPECT_EQ(e[0].kind, SimAccessKind::RegisterWrite);
    EXPECT_EQ(e[0].offset, 0x208u);
    EXPECT_EQ(e[1].offset, 0x20Cu);
    EXPECT_EQ(e[1].value, 0xABCDu);
    EXPECT_EQ(e[2].kind, SimAccessKind::RegisterRead);
    EXPECT_EQ(e[6].kind, SimAccessKind::UnclaimedRead);
    EXPECT_EQ(e[6].offset, 0xFE840000u);
    EXPECT_EQ(e[3].function, kAt);
    EXPECT_EQ(e[6].order, 6u);
    EXPECT_EQ(b.hw.AccessLog().Count(SimAccessKind::RegisterRead, 0x8B0), 1u);

    b.hw.AccessLog().Clear();
    std::uint16_t cmd = 0;
    b.hw.ConfigRead(0, 1, 0, 0, 4, 2, &cmd);
    b.Cfg(0x30, 1, 1);
    b.hw.PortIn32(0x3B4);
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].kind, SimAccessKind::ConfigRead);
    EXPECT_EQ(e[0].value, 7u);
    EXPECT_EQ(e[0].width, 2u);
    EXPECT_EQ(e[1].kind, SimAccessKind::ConfigWrite);
    EXPECT_EQ(e[1].offset, 0x30u);
    EXPECT_EQ(e[2].kind, SimAccessKind::PortRead);
    EXPECT_EQ(e[0].order, 0u);

    b.hw.AccessLog().Enable(false);
    b.hw.Read32(regs, 0);
    EXPECT_EQ(e.size(), 3u);
}

TEST(SimClocksTest, BusyPollingAdvancesCpuTimeSleepsOnlyDeviceTime) {
    Board b;
    PhysMap regs = b.hw.MapPhysical(0xFE800000, 0x40000);
    std::uint64_t t0 = b.hw.CpuClockMicros();
    std::uint64_t d0 = b.hw.Clocks().DeviceMicros();
    b.hw.SleepMicros(5000);
    EXPECT_EQ(b.hw.Clocks().CpuMicros(), t0);
    EXPECT_EQ(b.hw.Clocks().DeviceMicros(), d0 + 5000);

    // A one-second busy poll ends after a bounded number of polls.
    std::uint64_t deadline = b.hw.CpuClockMicros() + 1000000;
    unsigned polls = 0;
    while (b.hw.CpuClockMicros() <= deadline) {
        b.hw.Read32(regs, 0x10);
        ++polls;
    }
    EXPECT_GT(polls, 10000u);
    EXPECT_LT(polls, 1000000u);
    EXPECT_GE(b.hw.Clocks().DeviceMicros() - d0, 5000u + 1000000u);

    b.hw.Clocks().SetSteps(1000, 0);
    std::uint64_t a = b.hw.CpuClockMicros();
    b.hw.Read32(regs, 0);
    EXPECT_EQ(b.hw.CpuClockMicros(), a + 1000);
}

// The platform's time-outs on the simulator's clocks: sleeping between
// polls never ends one, busy polling ends it after one second of CPU time.
TEST(SimClocksTest, PlatformTimeoutsExpireOnlyThroughBusyPolling) {
    SimHardware hw;
    ScopedHardware use(hw);
    COsDepend os(nullptr, 0);
    os.StartTimeout(1);
    const std::uint64_t start = hw.Clocks().CpuMicros();
    for (int i = 0; i < 20; ++i) {
        os.Sleep(1000000);
        os.Delay(1000000);
        EXPECT_EQ(os.IsTimedOut(), 0) << i;
    }
    EXPECT_GE(hw.Clocks().DeviceMicros(), 20000000u);
    while (!os.IsTimedOut()) {
    }
    const std::uint64_t spent = hw.Clocks().CpuMicros() - start;
    EXPECT_GT(spent, 1000000u);
    EXPECT_LE(spent, 1000000u + 10u);  // one clock read past the deadline
}

TEST(SimInjection, IoplMappingPortsPagemapListingAndServices) {
    Board b;
    // Port reads are counted, also those made without I/O privilege.
    EXPECT_EQ(b.hw.PortIn32(0x3B4), 0xFFFFFFFFu);
    EXPECT_EQ(b.hw.UnprivilegedPortReads(), 1u);
    EXPECT_TRUE(b.hw.RaiseIoPrivilege());
    b.hw.SetPortValue(0x3B4, 0x42);
    EXPECT_EQ(b.hw.PortIn32(0x3B4), 0x42u);
    EXPECT_EQ(b.hw.PortReads(0x3B4), 2u);
    EXPECT_EQ(b.hw.UnprivilegedPortReads(), 1u);
    b.hw.SetIoplFails(true);
    EXPECT_FALSE(b.hw.RaiseIoPrivilege());
    EXPECT_EQ(b.hw.IoplCalls(), 2u);

    b.hw.FailMappings(0xFEA00000, 0xFEA3FFFF);
    EXPECT_FALSE(b.hw.MapPhysical(0xFEA20000, 0x1000).Valid());
    EXPECT_FALSE(b.hw.MapPhysical(0xFE9C0000, 0x40001).Valid());  // touches the range
    EXPECT_TRUE(b.hw.MapPhysical(0xFE9C0000, 0x40000).Valid());
    EXPECT_FALSE(b.hw.MapPhysical(0x1000, 0).Valid());
    EXPECT_EQ(b.hw.FailedMappings(), 3u);
    ASSERT_EQ(b.hw.Mappings().size(), 1u);
    EXPECT_EQ(b.hw.Mappings()[0].length, 0x40000u);

    // Legacy window: absent, present, unmappable.
    PhysMap legacy = b.hw.MapPhysical(kSimLegacyBase, kSimLegacySize);
    EXPECT_EQ(b.hw.Read8(legacy, 0), 0xFFu);
    b.hw.SetLegacyContent({0x55, 0xAA, 0x40});
    EXPECT_EQ(b.hw.Read8(legacy, 1), 0xAAu);
    EXPECT_EQ(b.hw.Read8(legacy, 3), 0xFFu);
    b.hw.SetLegacyUnmappable(true);
    EXPECT_FALSE(b.hw.MapPhysical(kSimLegacyBase + 0x1000, 0x100).Valid());

    std::uint64_t entry = 0;
    EXPECT_EQ(b.hw.ReadPagemap(8, &entry), -2);
    b.hw.SetPagemapEntry(8, 0x8000000000001234ull);
    EXPECT_EQ(b.hw.ReadPagemap(8, &entry), 8);
    EXPECT_EQ(entry, 0x8000000000001234ull);
    b.hw.SetPagemapShortRead(16, 3);
    EXPECT_EQ(b.hw.ReadPagemap(16, &entry), 3);
    b.hw.SetPagemapUnopenable(true);
    EXPECT_EQ(b.hw.ReadPagemap(8, &entry), -1);

    std::vector<std::string> names;
    b.hw.AddFunction({0x10, 0, 2, 3}, 0x8086, 1);
    b.hw.AddFunction({0, 0, 0, 0}, 0x8086, 2);
    ASSERT_TRUE(b.hw.ListPciDevices(names));
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "0000:00:00.0", "0000:01:00.0", "0010:00:02.3"}));
    b.hw.SetPciListing({"0001:00:02.0", "devices"});
    b.hw.AppendPciListing({"."});
    ASSERT_TRUE(b.hw.ListPciDevices(names));
    EXPECT_EQ(names, (std::vector<std::string>{"0001:00:02.0", "devices", "."}));
    b.hw.SetPciListingUnreadable(true);
    EXPECT_FALSE(b.hw.ListPciDevices(names));

    EXPECT_EQ(b.hw.EffectiveUid(), unsigned(geteuid()));
    b.hw.OverrideEffectiveUid(1000);
    EXPECT_EQ(b.hw.EffectiveUid(), 1000u);
    b.hw.SyncFilesystems();
    testing::internal::CaptureStderr();
    EXPECT_EQ(b.hw.Reboot(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "vorbanmill-sim: restart recorded, not performed\n");
    EXPECT_EQ(b.hw.SyncCount(), 1u);
    EXPECT_EQ(b.hw.RebootCount(), 1u);
}

}  // namespace
