// Configuration space of a simulated function behaves like hardware.
#include <gtest/gtest.h>

#include "sim/SimHardware.h"

namespace {

constexpr SimPciAddress kAt{0, 1, 0, 0};

std::uint32_t Read(SimHardware& hw, std::uint32_t off, int len = 4) {
    std::uint32_t v = 0;
    EXPECT_EQ(hw.ConfigRead(kAt.seg, kAt.bus, kAt.dev, kAt.fn, off, len, &v), len);
    return v;
}

void Write(SimHardware& hw, std::uint32_t off, std::uint32_t v, int len = 4) {
    EXPECT_EQ(hw.ConfigWrite(kAt.seg, kAt.bus, kAt.dev, kAt.fn, off, len, &v), len);
}

struct BarCase {
    const char* name;
    SimBarKind kind;
    std::uint64_t size;
    bool prefetch;
    std::uint64_t base;
    std::uint32_t low;        // register as found
    std::uint32_t sizedLow;   // after writing all ones
    std::uint32_t sizedHigh;  // next register after writing all ones (64-bit only)
};

TEST(SimConfigSpace, BarSizingAndFlagBits) {
    const BarCase cases[] = {
        {"mem32 256K", SimBarKind::Mem32, 256 << 10, false, 0xFE800000, 0xFE800000, 0xFFFC0000, 0},
        {"mem32 pref 64M", SimBarKind::Mem32, 64 << 20, true, 0xC4000000, 0xC4000008, 0xFC000008, 0},
        {"mem64 pref 256M", SimBarKind::Mem64, 256 << 20, true, 0xD0000000, 0xD000000C, 0xF000000C, 0xFFFFFFFF},
        {"mem64 8G above 4G", SimBarKind::Mem64, 8ull << 30, true, 0x400000000ull, 0x0000000C, 0x0000000C, 0xFFFFFFFE},
        {"io 256", SimBarKind::Io, 256, false, 0xE000, 0x0000E001, 0xFFFFFF01, 0},
    };
    for (const BarCase& c : cases) {
        SCOPED_TRACE(c.name);
        SimHardware hw;
        SimPciFunction* f = hw.AddFunction(kAt, 0x1002, 0x6610);
        ASSERT_TRUE(f->AddBar(0, c.kind, c.size, c.prefetch, c.base, SimBarRole::Memory));
        EXPECT_EQ(Read(hw, 0x10), c.low);
        if (c.kind == SimBarKind::Mem64) {
            EXPECT_EQ(Read(hw, 0x14), std::uint32_t(c.base >> 32));
        }
        Write(hw, 0x10, 0xFFFFFFFF);
        Write(hw, 0x14, 0xFFFFFFFF);
        EXPECT_EQ(Read(hw, 0x10), c.sizedLow);
        EXPECT_EQ(Read(hw, 0x14), c.sizedHigh);  // absent BAR 1 stays 0
        // Flag bits cannot be cleared.
        Write(hw, 0x10, 0);
        EXPECT_EQ(Read(hw, 0x10), c.low & (c.kind == SimBarKind::Io ? 0x3u : 0xFu));
    }
}

TEST(SimConfigSpace, IdentityIsReadOnlyAndCommandIsReadWrite) {
    SimHardware hw;
    SimPciFunction* f = hw.AddFunction(kAt, 0x1002, 0x67DF);
    f->SetRevision(0xC7);
    f->SetClassCode(0x030000);
    f->SetSubsystem(0x1043, 0x0522);
    EXPECT_EQ(Read(hw, 0x00), 0x67DF1002u);
    EXPECT_EQ(Read(hw, 0x08), 0x030000C7u);
    EXPECT_EQ(Read(hw, 0x2C), 0x05221043u);
    Write(hw, 0x00, 0);
    Write(hw, 0x08, 0);
    Write(hw, 0x2C, 0);
    EXPECT_EQ(Read(hw, 0x00), 0x67DF1002u);
    EXPECT_EQ(Read(hw, 0x08), 0x030000C7u);
    EXPECT_EQ(Read(hw, 0x2C), 0x05221043u);

    EXPECT_EQ(Read(hw, 0x04, 2), 0x0007u);
    Write(hw, 0x04, 0x0406, 2);
    EXPECT_EQ(Read(hw, 0x04, 2), 0x0406u);
    EXPECT_TRUE(f->MemoryDecodeEnabled());
    Write(hw, 0x04, 0x0000, 2);
    EXPECT_FALSE(f->MemoryDecodeEnabled());
    // The status half of a dword write is not writable.
    f->AddCapability(0x10);
    Write(hw, 0x04, 0x00000002);
    EXPECT_EQ(Read(hw, 0x04), 0x00100002u);
}

TEST(SimConfigSpace, RomBarMaskEnableAndUnimplemented) {
    SimHardware hw;
    SimPciFunction* f = hw.AddFunction(kAt, 0x1002, 0x6610);
    ASSERT_TRUE(f->SetRomBar(128 << 10, 0));
    EXPECT_EQ(Read(hw, 0x30), 0u);
    Write(hw, 0x30, 0xFFFFFFFF);
    EXPECT_EQ(Read(hw, 0x30), 0xFFFE0001u);  // bits 1-10 read 0, size below bit 17
    Write(hw, 0x30, 0xD00007FE);
    EXPECT_EQ(Read(hw, 0x30), 0xD0000000u);
    Write(hw, 0x30, 0x01, 1);                // the byte write that enables decoding
    EXPECT_EQ(Read(hw, 0x30), 0xD0000001u);

    f->SetRomBarUnimplemented();
    Write(hw, 0x30, 0xD0000001);
    EXPECT_EQ(Read(hw, 0x30), 0u);
    EXPECT_FALSE(f->RomDecodeEnabled());

    std::string error;
    EXPECT_FALSE(f->SetRomBar(0x3000, 0, &error));
    EXPECT_FALSE(f->SetRomBar(0x20000, 0x1000, &error));
    EXPECT_NE(error.find("aligned"), std::string::npos);
}

TEST(SimConfigSpace, CapabilityChains) {
    SimHardware hw;
    SimPciFunction* f = hw.AddFunction(kAt, 0x1002, 0x6610);
    EXPECT_EQ(Read(hw, 0x34, 1), 0u);
    EXPECT_EQ(Read(hw, 0x06, 2) & 0x10, 0u);
    std::uint8_t pm = f->AddCapability(0x01);
    std::uint8_t agp = f->AddCapability(0x02, 0x58);
    std::uint8_t pcie = f->AddCapability(0x10);
    EXPECT_EQ(pm, 0x40);
    EXPECT_EQ(agp, 0x58);
    EXPECT_EQ(pcie, 0x64);  // after the AGP entry's 12 bytes
    EXPECT_EQ(Read(hw, 0x06, 2) & 0x10, 0x10u);
    // Walk the list: ID, next.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> walk;
    for (std::uint32_t p = Read(hw, 0x34, 1); p; p = Read(hw, p + 1, 1)) walk.push_back({p, Read(hw, p, 1)});
    EXPECT_EQ(walk, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0x40, 0x01}, {0x58, 0x02}, {0x64, 0x10}}));
    // Headers are read-only, bodies writable.
    Write(hw, 0x58, 0xAAAAAAAA);
    EXPECT_EQ(Read(hw, 0x58), 0xAAAA6402u);

    f->LoopCapabilities();
    EXPECT_EQ(Read(hw, 0x65, 1), 0x40u);
    EXPECT_EQ(f->AddCapability(0x09, 0x41), 0);   // unaligned
    EXPECT_EQ(f->AddCapability(0x09, 0x3C), 0);   // in the header
    EXPECT_EQ(f->AddCapability(0x09, 0, 0xC0), 0);  // does not fit
}

TEST(SimConfigSpace, AbsentFunctionsAndShortTransfers) {
    SimHardware hw;
    hw.AddFunction(kAt, 0x1002, 0x6610);
    std::uint32_t v = 0x12345678;
    EXPECT_EQ(hw.ConfigRead(0, 1, 0, 1, 0, 4, &v), -1);
    EXPECT_EQ(hw.ConfigRead(1, 1, 0, 0, 0, 4, &v), -1);
    EXPECT_EQ(hw.ConfigWrite(0, 2, 0, 0, 4, 2, &v), -1);
    EXPECT_EQ(v, 0x12345678u);
    EXPECT_EQ(hw.ConfigRead(0, 1, 0, 0, 0xFE, 4, &v), 2);
    EXPECT_EQ(hw.ConfigRead(0, 1, 0, 0, 0x100, 4, &v), 0);
}

TEST(SimConfigSpace, BarLayoutErrors) {
    SimHardware hw;
    SimPciFunction* f = hw.AddFunction(kAt, 0x1002, 0x6610);
    std::string e;
    EXPECT_FALSE(f->AddBar(5, SimBarKind::Mem64, 1 << 20, true, 0, SimBarRole::Memory, &e));
    EXPECT_FALSE(f->AddBar(0, SimBarKind::Mem32, 3 << 20, false, 0, SimBarRole::Memory, &e));
    EXPECT_FALSE(f->AddBar(0, SimBarKind::Mem32, 1 << 20, false, 0x1000, SimBarRole::Memory, &e));
    EXPECT_FALSE(f->AddBar(0, SimBarKind::Io, 256, true, 0, SimBarRole::Memory, &e));
    EXPECT_FALSE(f->AddBar(0, SimBarKind::Mem32, 1 << 20, false, 0xFFF00000ull + (1 << 20), SimBarRole::Memory, &e));
    // A base near the top of 64 bits must not wrap past the 4G check.
    EXPECT_FALSE(f->AddBar(0, SimBarKind::Mem32, 1 << 20, false, 0xFFFFFFFFFFF00000ull, SimBarRole::Memory, &e));
    EXPECT_FALSE(f->AddBar(0, SimBarKind::Io, 256, false, 0xFFFFFFFFFFFFFF00ull, SimBarRole::Memory, &e));
    ASSERT_TRUE(f->AddBar(0, SimBarKind::Mem64, 1 << 20, true, 0, SimBarRole::Memory, &e));
    EXPECT_FALSE(f->AddBar(1, SimBarKind::Mem32, 1 << 20, false, 0, SimBarRole::Memory, &e));
    EXPECT_NE(e.find("in use"), std::string::npos);
    EXPECT_EQ(hw.AddFunction(kAt, 1, 2), nullptr);
}

}  // namespace
