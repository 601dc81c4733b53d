// COsDepend's device mapping, capability walk and PCI domains, run against
// the simulated machine (configuration space with real BAR semantics,
// decoding at access time).
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "platform/COsDepend.h"
#include "sim/SimHardware.h"
#include "support/TestSupport.h"

namespace {

constexpr SimPciAddress kA{0, 1, 0, 0};
constexpr SimPciAddress kB{0, 2, 0, 0};
constexpr std::uint8_t kDevfn = 0;

// Stands in for the engine: selects a device ID and revision, which pick
// the register window size.
class EngineLike : public COsDepend {
public:
    explicit EngineLike(const char* logFile = nullptr, std::uint32_t level = 0) : COsDepend(logFile, level) {}
    void Select(std::uint16_t deviceId, std::uint8_t revision) {
        isEngine = true;
        quirkDeviceId = deviceId;
        quirkRevision = revision;
    }
};

struct BoardLayout {
    std::uint16_t device = 0x6610;
    std::uint16_t command = 0x0004;     // memory decoding off until mapped
    bool fb64 = true;
    std::uint64_t fbBase = 0xB0000000;
    int regIndex = 2;                   // -1: no register BAR
    // Below the places a frame buffer is moved to (0x80000000 and
    // 0xF0000000, 256M each), which would cover it.
    std::uint64_t regBase = 0xA0000000;
    std::uint32_t romBarBase = 0;       // 0: ROM goes over the frame buffer
    bool romBarImplemented = true;
};

// A display function with a recognisable 128K ROM and a register at 0x8B0.
SimPciFunction* AddBoard(SimHardware& hw, const SimPciAddress& at, const BoardLayout& s) {
    SimPciFunction* f = hw.AddFunction(at, 0x1002, s.device);
    f->SetClassCode(0x030000);
    f->SetCommand(s.command);
    f->AddBar(0, s.fb64 ? SimBarKind::Mem64 : SimBarKind::Mem32, 256 << 20, true, s.fbBase, SimBarRole::Memory);
    if (s.regIndex >= 0)
        f->AddBar(s.regIndex, SimBarKind::Mem32, 256 << 10, false, s.regBase, SimBarRole::Registers);
    f->AddBar(4, SimBarKind::Io, 256, false, 0xE000, SimBarRole::Memory);
    if (s.romBarImplemented) f->SetRomBar(128 << 10, s.romBarBase);
    else f->SetRomBarUnimplemented();
    auto rom = std::make_shared<SimStorage>(128 << 10);
    for (std::size_t i = 0; i < rom->Size(); ++i) rom->Bytes()[i] = std::uint8_t(i ^ (i >> 8) ^ at.bus);
    f->SetRomModel(std::make_shared<SimRomBytes>(rom));
    f->Registers().Poke(0x8B0, 0xA5A50000u | at.bus);
    return f;
}

std::uint8_t RomByte(std::size_t i, const SimPciAddress& at) { return std::uint8_t(i ^ (i >> 8) ^ at.bus); }

std::string Name(const std::array<std::uint8_t, 256>& before, const std::array<std::uint8_t, 256>& after) {
    std::string diff;
    for (std::size_t i = 0; i < 256; ++i)
        if (before[i] != after[i]) diff += " 0x" + std::to_string(i);
    return diff.empty() ? "none" : diff;
}

TEST(MapDevice, BarScanPicksTheFirstNonPrefetchableMemoryBar) {
    struct Case {
        const char* name;
        bool fb64;
        std::uint64_t fbBase;
        int regIndex;
        int expect;             // MapDevice result
        std::uint64_t mapped;   // first mapping: register base
    };
    const Case cases[] = {
        {"32-bit FB at 0x10, registers at 0x14", false, 0xB0000000, 1, 1, 0xA0000000},
        // The upper half 0x00000010 looks like a memory BAR; the scan must skip it.
        {"64-bit FB above 4G at 0x10, registers at 0x18", true, 0x1000000000ull, 2, 1, 0xA0000000},
        {"no non-prefetchable memory BAR", true, 0xB0000000, -1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimHardware hw;
        BoardLayout s;
        s.fb64 = c.fb64;
        s.fbBase = c.fbBase;
        s.regIndex = c.regIndex;
        s.romBarBase = 0xFEA00000;
        AddBoard(hw, kA, s);
        ScopedHardware use(hw);
        COsDepend os(nullptr, 0);
        EXPECT_EQ(os.MapDevice(0, 1, kDevfn, 1, {}), c.expect);
        if (c.expect) {
            ASSERT_FALSE(hw.Mappings().empty());
            EXPECT_EQ(hw.Mappings()[0].phys, c.mapped);
            EXPECT_EQ(hw.Mappings()[0].length, 0x40000u);
            EXPECT_EQ(os.ReadRegister(0x8B0), 0xA5A50001u);
        } else {
            EXPECT_TRUE(hw.Mappings().empty());
            EXPECT_EQ(os.ReadRegister(0x8B0), 0xFFFFFFFFu);
        }
    }
}

TEST(MapDevice, RomOverFrameBufferAndByteForByteRestore) {
    struct Case {
        std::uint64_t fbBase;
        bool fb64;
        std::uint32_t movedTo;
    };
    const Case cases[] = {
        {0xB0000000, true, 0xF0000000},
        {0xC0000000, true, 0x80000000},
        {0x40000000, false, 0xF0000000},
        {0xE0000000, false, 0x80000000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fbBase);
        vmtest::TempDir dir;
        std::string logPath = dir.File("trace.log");
        SimHardware hw;
        BoardLayout s;
        s.fbBase = c.fbBase;
        s.fb64 = c.fb64;
        SimPciFunction* a = AddBoard(hw, kA, s);
        BoardLayout other;
        other.fbBase = 0x60000000;
        other.regBase = 0xA0100000;
        SimPciFunction* b = AddBoard(hw, kB, other);
        const auto aBefore = a->ConfigSnapshot();
        const auto bBefore = b->ConfigSnapshot();
        ScopedHardware use(hw);
        {
            EngineLike os(logPath.c_str(), 1);
            ASSERT_EQ(os.MapDevice(0, 1, kDevfn, 1, {}), 1);
            EXPECT_EQ(vmtest::ReadFile(logPath), "  rombase <- membase\n");
            EXPECT_EQ(a->ConfigValue(0x10, 4) & 0xFFFFFFF0u, c.movedTo);
            EXPECT_EQ(a->RomBase(), std::uint32_t(c.fbBase));
            EXPECT_TRUE(a->RomDecodeEnabled());
            EXPECT_EQ(os.IsRomMapped(), 1);
            EXPECT_EQ(os.ReadRegister(0x8B0), 0xA5A50001u);
            for (std::uint32_t off : {0u, 1u, 0x1234u, 0x1FFFFu})
                EXPECT_EQ(os.ReadRomByte(off), RomByte(off, kA)) << off;
            // The ROM was mapped at the old frame-buffer address.
            ASSERT_EQ(hw.Mappings().size(), 2u);
            EXPECT_EQ(hw.Mappings()[1].phys, c.fbBase);

            EXPECT_EQ(os.MapDevice(0, 0, 0, 0, {}), 0);
            EXPECT_EQ(a->ConfigSnapshot(), aBefore) << "changed:" << Name(aBefore, a->ConfigSnapshot());
            EXPECT_EQ(os.ReadRomByte(0), -1);
            EXPECT_EQ(os.ReadRegister(0x8B0), 0xFFFFFFFFu);
            EXPECT_EQ(os.MapDevice(0, 0, 0, 0, {}), 0);  // nothing open: touches nothing
            EXPECT_EQ(a->ConfigSnapshot(), aBefore);

            // The next open restores the previous device first.
            ASSERT_EQ(os.MapDevice(0, 1, kDevfn, 1, {}), 1);
            EXPECT_NE(a->ConfigSnapshot(), aBefore);
            ASSERT_EQ(os.MapDevice(0, 2, kDevfn, 1, {}), 1);
            EXPECT_EQ(a->ConfigSnapshot(), aBefore) << "changed:" << Name(aBefore, a->ConfigSnapshot());
            EXPECT_EQ(os.ReadRomByte(7), RomByte(7, kB));
            EXPECT_EQ(os.ReadRegister(0x8B0), 0xA5A50002u);
            EXPECT_NE(b->ConfigSnapshot(), bBefore);
        }
        // The destructor closes.
        EXPECT_EQ(b->ConfigSnapshot(), bBefore) << "changed:" << Name(bBefore, b->ConfigSnapshot());
    }
}

TEST(MapDevice, RomBarVariants) {
    struct Case {
        const char* name;
        std::uint16_t device;
        bool implemented;
        std::uint32_t romBarBase;
        bool failRomMapping;
        bool romBarAllOnes;     // the function answers the ROM BAR with all ones
        int romMapped;          // IsRomMapped while open
        int firstRomByte;       // ReadRomByte(0)
        const char* trace;
    };
    const Case cases[] = {
        {"ROM BAR with its own base", 0x6610, true, 0xFEA00000, false, false, 1, RomByte(0, kA), ""},
        {"unimplemented ROM BAR", 0x6610, false, 0, false, false, 0, -1, ""},
        {"ROM mapping fails", 0x6610, true, 0xFEA00000, true, false, 0, -1, "rom mapping error\n"},
        {"device without ROM BAR (0x4D52)", 0x4D52, true, 0xFEA00000, false, false, 1, 0xFF, ""},
        {"ROM BAR reads all ones", 0x6610, true, 0xFEA00000, false, true, 0, -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vmtest::TempDir dir;
        std::string logPath = dir.File("trace.log");
        SimHardware hw;
        BoardLayout s;
        s.device = c.device;
        s.romBarImplemented = c.implemented;
        s.romBarBase = c.romBarBase;
        SimPciFunction* a = AddBoard(hw, kA, s);
        if (c.failRomMapping) hw.FailMappings(0xFEA00000, 0xFEA3FFFF);
        if (c.romBarAllOnes) {
            a->PresetConfig(0x30, 4, 0xFFFFFFFF);
            a->SetConfigWriteMask(0x30, 4, 0);
        }
        const auto before = a->ConfigSnapshot();
        ScopedHardware use(hw);
        EngineLike os(logPath.c_str(), 1);
        ASSERT_EQ(os.MapDevice(0, 1, kDevfn, 1, {}), 1);
        EXPECT_EQ(os.IsRomMapped(), c.romMapped);
        EXPECT_EQ(os.ReadRomByte(0), c.firstRomByte);
        // All ones is no address: nothing is mapped from it.
        for (const auto& m : hw.Mappings()) EXPECT_NE(m.phys, 0xFFFFFFF0u);
        EXPECT_EQ(os.ReadRegister(0x8B0), 0xA5A50001u);
        // The frame buffer never moves here.
        EXPECT_EQ(a->ConfigValue(0x10, 4), before[0x10] | 0xB0000000u);
        EXPECT_EQ(vmtest::ReadFile(logPath), c.trace);
        os.MapDevice(0, 0, 0, 0, {});
        EXPECT_EQ(a->ConfigSnapshot(), before) << "changed:" << Name(before, a->ConfigSnapshot());
    }
}

TEST(MapDevice, IoPrivilegeFailureMapsNothing) {
    SimHardware hw;
    SimPciFunction* a = AddBoard(hw, kA, BoardLayout{});
    const auto before = a->ConfigSnapshot();
    hw.SetIoplFails(true);
    ScopedHardware use(hw);
    COsDepend os(nullptr, 0);
    hw.AccessLog().Enable();
    EXPECT_EQ(os.MapDevice(0, 1, kDevfn, 1, {}), 0);
    EXPECT_EQ(hw.AccessLog().Count(SimAccessKind::ConfigWrite), 0u);
    EXPECT_TRUE(hw.Mappings().empty());
    EXPECT_EQ(a->ConfigSnapshot(), before);
}

// I/O privilege is raised only for a device that gets mapped: closing with
// nothing open, and a device a bus filter skips, leave it alone.
TEST(MapDevice, IoPrivilegeOnlyForAMappedDevice) {
    SimHardware hw;
    SimPciFunction* a = AddBoard(hw, kA, BoardLayout{});
    a->AddCapability(0x02);
    ScopedHardware use(hw);
    {
        COsDepend os(nullptr, 0);
        EXPECT_EQ(os.MapDevice(0, 1, kDevfn, 0, {}), 0);
        BusFilter noAgp;
        noAgp.noAgp = 1;
        EXPECT_EQ(os.MapDevice(0, 1, kDevfn, 1, noAgp), 0);
        EXPECT_EQ(hw.IoplCalls(), 0u);
        EXPECT_EQ(os.MapDevice(0, 1, kDevfn, 1, {}), 1);
        EXPECT_EQ(hw.IoplCalls(), 1u);
        EXPECT_EQ(os.MapDevice(0, 1, kDevfn, 0, {}), 0);
    }
    EXPECT_EQ(hw.IoplCalls(), 1u);
}

TEST(MapDevice, BusFilterMatrix) {
    enum Caps { None, Pcie, Agp, Both };
    // Expected trace per capability set: "" mapped, "A" skip AGP, "E" skip
    // PCIe, "-" skipped without a line.
    struct Row {
        const char* switches;
        BusFilter filter;
        const char* expect[4];
    };
    auto F = [](int noPci, int noAgp, int noPcie, int pciOnly, int pci, int agp, int pcie) {
        BusFilter f;
        f.noPci = noPci, f.noAgp = noAgp, f.noPcie = noPcie, f.pciOnly = pciOnly;
        f.pci = pci, f.agp = agp, f.pcie = pcie;
        return f;
    };
    const Row rows[] = {
        {"(none)", F(0, 0, 0, 0, 0, 0, 0), {"", "", "", "-"}},
        {"-noagp", F(0, 1, 0, 0, 0, 0, 0), {"", "", "A", "A"}},
        {"-nopcie", F(0, 0, 1, 0, 0, 0, 0), {"", "E", "", "E"}},
        {"-noagp -nopcie", F(0, 1, 1, 0, 0, 0, 0), {"", "E", "A", "A"}},
        {"-pcie", F(0, 0, 0, 0, 0, 0, 1), {"", "", "A", "A"}},
        {"-agp", F(0, 0, 0, 0, 0, 1, 0), {"", "E", "", "E"}},
        {"-agp -pcie", F(0, 0, 0, 0, 0, 1, 1), {"", "", "", "-"}},
        {"-pci", F(0, 0, 0, 0, 1, 0, 0), {"", "E", "A", "E"}},
        {"-pci -pcie", F(0, 0, 0, 0, 1, 0, 1), {"", "", "A", "A"}},
        {"-pci -agp", F(0, 0, 0, 0, 1, 1, 0), {"", "E", "", "E"}},
        {"-nopci", F(1, 0, 0, 0, 0, 0, 0), {"", "", "", "-"}},
        {"-pcionly", F(0, 0, 0, 1, 0, 0, 0), {"", "", "", "-"}},
    };
    for (const Row& row : rows) {
        for (int caps = None; caps <= Both; ++caps) {
            SCOPED_TRACE(std::string(row.switches) + " caps " + std::to_string(caps));
            vmtest::TempDir dir;
            std::string logPath = dir.File("trace.log");
            SimHardware hw;
            BoardLayout s;
            s.romBarBase = 0xFEA00000;
            SimPciFunction* f = AddBoard(hw, kA, s);
            f->AddCapability(0x01);
            if (caps == Agp || caps == Both) f->AddCapability(0x02);
            if (caps == Pcie || caps == Both) f->AddCapability(0x10);
            const auto before = f->ConfigSnapshot();
            ScopedHardware use(hw);
            COsDepend os(logPath.c_str(), 1);
            std::string e = row.expect[caps];
            EXPECT_EQ(os.MapDevice(0, 1, kDevfn, 1, row.filter), e.empty() ? 1 : 0);
            std::string trace = vmtest::ReadFile(logPath);
            if (e == "A") EXPECT_EQ(trace, "skip AGP device\n");
            else if (e == "E") EXPECT_EQ(trace, "skip PCIe device\n");
            else EXPECT_EQ(trace, "");
            if (!e.empty()) {
                EXPECT_TRUE(hw.Mappings().empty());
                EXPECT_EQ(f->ConfigSnapshot(), before);
            }
        }
    }
}

TEST(MapDevice, RegisterWindowFollowsDeviceAndRevision) {
    struct Case {
        bool engine;
        std::uint16_t device;
        std::uint8_t revision;
        std::uint64_t window;
    };
    const Case cases[] = {
        {true, 0x67DF, 0xF3, 0x80000}, {true, 0x67DF, 0xC7, 0x40000}, {true, 0x67DF, 0x3C, 0x80000},
        {true, 0x7330, 0x00, 0x80000}, {true, 0x7346, 0x00, 0x40000}, {true, 0x6610, 0x00, 0x40000},
        {false, 0x7330, 0x00, 0x40000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.device) + "/" + std::to_string(c.revision));
        SimHardware hw;
        BoardLayout s;
        s.device = c.device;
        s.romBarBase = 0xFEA00000;
        AddBoard(hw, kA, s)->SetRevision(c.revision);
        ScopedHardware use(hw);
        EngineLike os;
        if (c.engine) os.Select(c.device, c.revision);
        ASSERT_EQ(os.MapDevice(0, 1, kDevfn, 1, {}), 1);
        ASSERT_FALSE(hw.Mappings().empty());
        EXPECT_EQ(hw.Mappings()[0].length, c.window);
        // Beyond the 256K register BAR nothing answers, inside the window or not.
        EXPECT_EQ(os.ReadRegister(0x40000), 0xFFFFFFFFu);
    }
}

TEST(PciCapabilities, NthMatchAndLoopLimitOnSimulatedConfigSpace) {
    SimHardware hw;
    SimPciFunction* f = hw.AddFunction(kA, 0x1002, 0x6610);
    std::uint8_t pm = f->AddCapability(0x01);
    std::uint8_t pcie1 = f->AddCapability(0x10);
    std::uint8_t msi = f->AddCapability(0x05);
    std::uint8_t pcie2 = f->AddCapability(0x10, 0xE0);
    ScopedHardware use(hw);
    COsDepend os(nullptr, 0);
    const std::uint8_t pcie[] = {0x10}, agp[] = {0x02}, either[] = {0x05, 0x01};
    EXPECT_EQ(os.FindPciCapability(0, 1, 0, pcie, 1, 0), pcie1);
    EXPECT_EQ(os.FindPciCapability(0, 1, 0, pcie, 1, 1), pcie2);
    EXPECT_EQ(os.FindPciCapability(0, 1, 0, pcie, 1, 2), 0);
    EXPECT_EQ(os.FindPciCapability(0, 1, 0, either, 2, 0), pm);
    EXPECT_EQ(os.FindPciCapability(0, 1, 0, either, 2, 1), msi);
    EXPECT_EQ(os.FindPciCapability(0, 1, 0, agp, 1, 0), 0);

    // A loop of five entries: the last one is met as entry 5 and entry 10;
    // the walk stops after 10 entries.
    SimHardware loop;
    SimPciFunction* g = loop.AddFunction(kA, 0x1002, 0x6610);
    std::uint8_t last = 0;
    for (std::uint8_t id : {0x01, 0x05, 0x09, 0x11, 0x10}) last = g->AddCapability(id);
    g->LoopCapabilities();
    ScopedHardware useLoop(loop);
    EXPECT_EQ(os.FindPciCapability(0, 1, 0, pcie, 1, 0), last);
    EXPECT_EQ(os.FindPciCapability(0, 1, 0, pcie, 1, 1), last);
    EXPECT_EQ(os.FindPciCapability(0, 1, 0, pcie, 1, 2), 0);
    EXPECT_EQ(os.FindPciCapability(0, 1, 0, agp, 1, 0), 0);
}

TEST(PciSegments, FromTheSimulatedListing) {
    SimHardware hw;
    hw.SetPciListing({"0000:00:00.0", "0000:01:00.0", "0001:00:02.0", "0010:00:00.0", "."});
    ScopedHardware use(hw);
    COsDepend os(nullptr, 0);
    for (int round = 0; round < 2; ++round) {
        std::vector<int> all, low;
        EXPECT_EQ(os.GetPciSegments(0xFFFF, all), 0);
        EXPECT_EQ(all, (std::vector<int>{0, 1, 16}));
        os.GetPciSegments(0, low);
        EXPECT_EQ(low, (std::vector<int>{0}));
    }
    hw.SetPciListingUnreadable(true);
    std::vector<int> none;
    os.GetPciSegments(0xFFFF, none);
    EXPECT_TRUE(none.empty());
}

}  // namespace
