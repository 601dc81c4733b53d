// Time-outs, register and ROM apertures, port delay, legacy ROM and page
// map on a fake backend.
#include <gtest/gtest.h>

#include "platform/COsDepend.h"
#include "tests/platform/FakeHardware.h"

namespace {

constexpr std::uint64_t kRegs = 0xE0000000, kRom = 0xD0000000;

// One display function at 0:01.0 with a register BAR at 0x18 behind a
// 64-bit prefetchable BAR at 0x10.
struct Machine {
    FakeHardware hw;
    ScopedHardware scope{hw};
    explicit Machine(std::uint16_t deviceId, std::uint32_t romBar = 0) {
        auto& d = hw.Dev(0, 1, 0);
        hw.Set32(d, 0x00, 0x1002u | std::uint32_t(deviceId) << 16);
        hw.Set32(d, 0x10, 0x0000000C);  // 64-bit prefetchable at 0x10'0000'0000:
        hw.Set32(d, 0x14, 0x00000010);  // its upper half is no register BAR
        hw.Set32(d, 0x18, std::uint32_t(kRegs));
        hw.Set32(d, 0x30, romBar);
    }
    std::vector<FakeHardware::Access> Since(std::size_t n) const {
        return {hw.log.begin() + std::ptrdiff_t(n), hw.log.end()};
    }
};

TEST(Time, TimeoutsRunOnCpuTimeOnly) {
    FakeHardware hw;
    ScopedHardware scope(hw);
    COsDepend os(nullptr, 0);
    hw.cpu = 5'000'000'000ULL;  // beyond 32 bits of microseconds
    const std::uint64_t start = hw.cpu + hw.cpuStep;
    os.StartTimeout(1);
    os.Sleep(3'000'000);
    os.Delay(3'000'000);
    EXPECT_EQ(hw.slept, 3'000'000u);
    int polls = 0;
    while (!os.IsTimedOut()) ++polls;
    EXPECT_GT(hw.cpu - start, 1'000'000u);
    EXPECT_LE(hw.cpu - start, 1'000'000u + hw.cpuStep);
    EXPECT_EQ(polls, 1000);
}

TEST(Registers, PostWriteReadQuirkAndIndirectPair) {
    using A = FakeHardware::Access;
    struct Case {
        std::uint16_t id;
        bool engine;
        bool quirk;
    } cases[] = {{0x6610, true, true}, {0x6600, true, true},  {0x663F, true, true}, {0x6640, true, false},
                 {0x6660, true, true}, {0x679F, true, true},  {0x6800, true, true}, {0x6840, true, false},
                 {0x6610, false, false}};
    for (const Case& c : cases) {
        Machine m(c.id);
        EngineOs engine(c.id, 0);
        COsDepend plain(nullptr, 0);
        COsDepend& os = c.engine ? static_cast<COsDepend&>(engine) : plain;
        ASSERT_EQ(os.MapDevice(0, 1, 0, 1, BusFilter{}), 1);
        std::size_t n = m.hw.log.size();
        os.WriteRegister(0x1C0, 5);
        std::vector<A> want{{'W', kRegs + 0x1C0, 5}};
        if (c.quirk) want.push_back({'R', kRegs + 0x8B0, 0});
        EXPECT_EQ(m.Since(n), want) << std::hex << c.id;

        n = m.hw.log.size();
        os.WriteRegisterDirect(0x1C0, 6);
        EXPECT_EQ(m.Since(n).size(), 1u);

        os.SetIndirectRegisterPair(0x208, 0x20C);
        n = m.hw.log.size();
        os.WriteIndirectRegister(0x40, 0x1234);
        EXPECT_EQ(os.ReadIndirectRegister(0x40), 0x1234u);
        if (c.quirk)
            want = {{'W', kRegs + 0x208, 0x40}, {'R', kRegs + 0x8B0, 0}, {'W', kRegs + 0x20C, 0x1234},
                    {'R', kRegs + 0x8B0, 0},    {'W', kRegs + 0x208, 0x40}, {'R', kRegs + 0x8B0, 0},
                    {'R', kRegs + 0x20C, 0x1234}};
        else
            want = {{'W', kRegs + 0x208, 0x40}, {'W', kRegs + 0x20C, 0x1234}, {'W', kRegs + 0x208, 0x40},
                    {'R', kRegs + 0x20C, 0x1234}};
        EXPECT_EQ(m.Since(n), want) << std::hex << c.id;
    }
}

TEST(Registers, BoundedByTheWindow) {
    struct Case {
        std::uint16_t id;
        std::uint8_t rev;
        std::uint64_t window;
    } cases[] = {{0x6610, 0, 0x40000}, {0x7330, 0, 0x80000}, {0x67DF, 0xF3, 0x80000}, {0x67DF, 0xC7, 0x40000}};
    for (const Case& c : cases) {
        Machine m(c.id);
        EngineOs os(c.id, c.rev);
        EXPECT_EQ(os.ReadRegister(0), 0xFFFFFFFFu);  // nothing mapped yet
        os.WriteRegister(0, 1);
        EXPECT_TRUE(m.hw.log.empty());

        ASSERT_EQ(os.MapDevice(0, 1, 0, 1, BusFilter{}), 1);
        ASSERT_EQ(m.hw.mapRequests.at(0), std::make_pair(kRegs, c.window));
        os.WriteRegister(0x1C3, 0xAABBCCDD);  // low two bits ignored
        EXPECT_EQ(os.ReadRegister(0x1C0), 0xAABBCCDDu);
        os.WriteRegister(std::uint32_t(c.window - 4), 7);
        EXPECT_EQ(os.ReadRegisterDirect(std::uint32_t(c.window - 4)), 7u);

        const std::size_t n = m.hw.log.size();
        for (std::uint32_t off : {std::uint32_t(c.window), 0x7FFFFFFCu, 0xFFFFFFFFu}) {
            os.WriteRegisterDirect(off, 1);
            EXPECT_EQ(os.ReadRegister(off), 0xFFFFFFFFu);
        }
        EXPECT_EQ(m.Since(n).size(), 0u);

        os.MapDevice(0, 0, 0, 0, BusFilter{});
        EXPECT_EQ(os.ReadRegister(0x1C0), 0xFFFFFFFFu);
    }
    // A plain platform object always maps the small window.
    Machine m(0x7330);
    COsDepend os(nullptr, 0);
    ASSERT_EQ(os.MapDevice(0, 1, 0, 1, BusFilter{}), 1);
    EXPECT_EQ(m.hw.mapRequests.at(0).second, 0x40000u);
}

TEST(Rom, StatesAndBounds) {
    std::uint8_t buf[4] = {1, 2, 3, 4};
    const std::uint8_t data[4] = {0xA0, 0xA1, 0xA2, 0xA3};
    {   // Empty ROM BAR and no frame buffer: no ROM aperture.
        Machine m(0x6610);
        m.hw.Set32(m.hw.Dev(0, 1, 0), 0x10, 0);
        COsDepend os(nullptr, 0);
        ASSERT_EQ(os.MapDevice(0, 1, 0, 1, BusFilter{}), 1);
        EXPECT_EQ(os.IsRomMapped(), 0);
        EXPECT_EQ(os.ReadRomByte(0), -1);
        os.ReadRom(0, buf, 4);
        EXPECT_EQ(buf[0], 1);
    }
    {   // No ROM BAR: reported mapped, reads 0xFF, writes dropped.
        Machine m(0x4D52, 0xD0000000);
        COsDepend os(nullptr, 0);
        ASSERT_EQ(os.MapDevice(0, 1, 0, 1, BusFilter{}), 1);
        EXPECT_EQ(os.IsRomMapped(), 1);
        EXPECT_EQ(os.ReadRomByte(0), 0xFF);
        os.ReadRom(0, buf, 4);
        EXPECT_EQ(buf[3], 0xFF);
        os.WriteRom(0, data, 4);
        os.WriteRomByte(0, 0);
        EXPECT_EQ(m.hw.mapRequests.size(), 1u);
        EXPECT_TRUE(m.hw.log.empty());
    }
    {   // ROM aperture: bounded to 256 KiB, enabled by a byte write of 1.
        Machine m(0x6610, std::uint32_t(kRom));
        COsDepend os(nullptr, 0);
        ASSERT_EQ(os.MapDevice(0, 1, 0, 1, BusFilter{}), 1);
        EXPECT_EQ(m.hw.mapRequests.at(1), std::make_pair(kRom, std::uint64_t(0x40000)));
        EXPECT_EQ(m.hw.Dev(0, 1, 0)[0x30], 1);
        os.WriteRom(0x3FFFE, data, 4);
        EXPECT_EQ(m.hw.log, (std::vector<FakeHardware::Access>{{'w', kRom + 0x3FFFE, 0xA0}, {'w', kRom + 0x3FFFF, 0xA1}}));
        os.ReadRom(0x3FFFE, buf, 4);
        EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 4), (std::vector<std::uint8_t>{0xA0, 0xA1, 0xFF, 0xFF}));
        EXPECT_EQ(os.ReadRomByte(0x40000), 0xFF);
        os.MapDevice(0, 0, 0, 0, BusFilter{});
        EXPECT_EQ(os.IsRomMapped(), 0);
        EXPECT_EQ(os.ReadRomByte(0), -1);
    }
    {   // ROM that cannot be mapped: device open, registers usable, no ROM.
        Machine m(0x6610, std::uint32_t(kRom));
        m.hw.failMap.insert(kRom);
        COsDepend os(nullptr, 0);
        ASSERT_EQ(os.MapDevice(0, 1, 0, 1, BusFilter{}), 1);
        EXPECT_EQ(os.IsRomMapped(), 0);
        os.WriteRegister(0, 9);
        EXPECT_EQ(os.ReadRegister(0), 9u);
    }
}

TEST(Mapping, CloseRestoresEvenWithoutIoPrivilegeAndOnlyOnItsOwnBackend) {
    Machine m(0x6610);
    const auto before = m.hw.Dev(0, 1, 0);
    COsDepend os(nullptr, 0);
    EXPECT_EQ(os.MapDevice(0, 0, 0, 0, BusFilter{}), 0);  // nothing open
    EXPECT_EQ(m.hw.configWrites, 0);
    ASSERT_EQ(os.MapDevice(0, 1, 0, 1, BusFilter{}), 1);
    EXPECT_EQ(m.hw.Dev(0, 1, 0)[0x04], 2);  // memory decoding on
    m.hw.ioplOk = false;
    EXPECT_EQ(os.MapDevice(0, 0, 0, 0, BusFilter{}), 0);
    EXPECT_EQ(m.hw.Dev(0, 1, 0), before);

    // Opened on one backend, closed after another was installed: neither
    // is written.
    m.hw.ioplOk = true;
    ASSERT_EQ(os.MapDevice(0, 1, 0, 1, BusFilter{}), 1);
    FakeHardware other;
    other.Dev(0, 1, 0);
    const int writes = m.hw.configWrites;
    {
        ScopedHardware scope(other);
        EXPECT_EQ(os.ReadRegister(0), 0xFFFFFFFFu);
        os.MapDevice(0, 0, 0, 0, BusFilter{});
    }
    EXPECT_EQ(other.configWrites, 0);
    EXPECT_EQ(m.hw.configWrites, writes);
}

TEST(Platform, IoDelayLegacyRomAndSharedMemory) {
    FakeHardware hw;
    ScopedHardware scope(hw);
    COsDepend os(nullptr, 0);
    EXPECT_EQ(os.IoDelay(), 0x12345678u);
    EXPECT_EQ(hw.ports, std::vector<std::uint16_t>{0x3B4});

    hw.failMap.insert(0xC0000);
    std::uint8_t buf[3] = {0, 0, 0};
    os.ReadLegacyRom(0, buf, 3);
    os.ReadLegacyRom(0x10, buf, 3);
    EXPECT_EQ(buf[0] & buf[1] & buf[2], 0xFF);
    EXPECT_EQ(hw.mapRequests.size(), 1u);  // tried once

    FakeHardware good;
    ScopedHardware scope2(good);
    COsDepend os2(nullptr, 0);
    os2.ReadLegacyRom(0, buf, 1);
    good.regions.at(0).bytes[0x1FFFF] = 0x55;
    os2.ReadLegacyRom(0x1FFFF, buf, 2);
    EXPECT_EQ(good.mapRequests, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0xC0000, 0x20000}}));
    EXPECT_EQ(buf[0], 0x55);
    EXPECT_EQ(buf[1], 0xFF);

    auto* p = static_cast<volatile char*>(os.AllocSharedMemory(100));
    ASSERT_NE(p, nullptr);
    p[os.GetPageSize() - 1] = 1;  // the whole page is ours
    EXPECT_EQ(os.FreeSharedMemory(const_cast<char*>(p), 100), 0);
}

TEST(Platform, PhysicalAddressFromPageMap) {
    FakeHardware hw;
    ScopedHardware scope(hw);
    COsDepend os(nullptr, 0);
    const long page = os.GetPageSize();
    void* addr = reinterpret_cast<void*>(std::uintptr_t(0x7F0012345ABCULL));
    const std::uint64_t inPage = 0x7F0012345ABCULL % std::uint64_t(page);
    struct Case {
        std::uint64_t entry;
        int result;
        std::uint64_t want;
        const char* out;
    } cases[] = {
        {1ULL << 63 | 0x12345, 8, 0x12345 * std::uint64_t(page) + inPage, ""},
        {1ULL << 63 | 7ULL << 55 | 0x12345, 8, 0x12345 * std::uint64_t(page) + inPage, ""},  // flag bits
        {1ULL << 63 | 1ULL << 40, 8, (1ULL << 40) * std::uint64_t(page) + inPage, ""},
        {0, 8, 0, ""},                        // not present
        {1ULL << 62 | 0x12345, 8, 0, ""},     // swapped
        {1ULL << 63, 8, 0, ""},               // frame hidden
        {1ULL << 63 | 1, -1, 0, "can not open proc self page\n"},
        {1ULL << 63 | 1, -2, 0, "error reading proc self page\n"},
    };
    for (const Case& c : cases) {
        hw.pagemapEntry = c.entry;
        hw.pagemapResult = c.result;
        testing::internal::CaptureStdout();
        EXPECT_EQ(os.GetPhysicalAddress(addr), c.want) << std::hex << c.entry;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(hw.pagemapOffset, 0x7F0012345ABCULL / std::uint64_t(page) * 8);
    }
    hw.pagemapResult = 4;
    testing::internal::CaptureStdout();
    EXPECT_EQ(os.GetPhysicalAddress(addr), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "error reading from offset " + std::to_string(hw.pagemapOffset) +
                  " of proc self page : expected to read 8 bytes but only 4 read\n");
}

}  // namespace
