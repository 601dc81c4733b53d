// Configuration space, capability walk, device-ID predicates, and a
// read-only look at this machine's own sysfs.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <set>

#include "platform/COsDepend.h"
#include "platform/LinuxHardware.h"
#include "tests/platform/FakeHardware.h"

namespace {

TEST(PciConfig, PathNamesDeviceAndFunction) {
    char path[64];
    PciConfigPath(path, sizeof path, 0, 0x03, 0x0A >> 3, 0x0A & 7);
    EXPECT_STREQ(path, "/sys/bus/pci/devices/0000:03:01.2/config");
    PciConfigPath(path, sizeof path, 0x10, 0xFF, 0x1F, 7);
    EXPECT_STREQ(path, "/sys/bus/pci/devices/0010:ff:1f.7/config");

    FakeHardware hw;
    ScopedHardware scope(hw);
    COsDepend os(nullptr, 0);
    os.ReadPciConfigWord(0x10, 3, 0x0A, 0);
    EXPECT_EQ(hw.lastConfig, (std::array<int, 4>{0x10, 3, 1, 2}));
}

TEST(PciConfig, FailedOrShortReadsGiveAllOnes) {
    FakeHardware hw;
    ScopedHardware scope(hw);
    auto& d = hw.Dev(0, 2, 0);
    for (int i = 0; i < 256; ++i) d[i] = std::uint8_t(i);
    COsDepend os(nullptr, 0);
    EXPECT_EQ(os.ReadPciConfigWord(0, 2, 0, 0x10), 0x1110);
    EXPECT_EQ(os.ReadPciConfigDword(0, 2, 0, 0x20), 0x23222120u);
    EXPECT_EQ(os.ReadPciConfigDword(0, 2, 0, 0xFE), 0xFFFFFFFFu);  // only 2 bytes exist
    std::uint32_t out = 0;
    EXPECT_EQ(ReadPciConfig32(0, 2, 0, 0xFE, &out), 0);
    EXPECT_EQ(out, 0xFFFFFFFFu);
    EXPECT_EQ(WritePciConfig32(0, 2, 0, 0xFE, 0), 0);

    // Absent function.
    EXPECT_EQ(os.ReadPciConfigByte(0, 9, 0, 0), 0xFF);
    EXPECT_EQ(os.ReadPciConfigWord(0, 9, 0, 0), 0xFFFF);
    EXPECT_EQ(os.ReadPciConfigDword(0, 9, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(os.WritePciConfigByte(0, 9, 0, 0, 1), 0);
    EXPECT_EQ(os.WritePciConfigDword(0, 9, 0, 0, 1), 0);

    EXPECT_EQ(os.WritePciConfigWord(0, 2, 0, 0x04, 0xBEEF), 1);
    EXPECT_EQ(d[4], 0xEF);
    EXPECT_EQ(d[5], 0xBE);
}

TEST(PciConfig, CapabilityWalk) {
    FakeHardware hw;
    ScopedHardware scope(hw);
    auto& d = hw.Dev(0, 1, 0);
    d[0x34] = 0x40;
    d[0x40] = 0x01, d[0x41] = 0x50;  // power management
    d[0x50] = 0x10, d[0x51] = 0x60;  // PCI Express
    d[0x60] = 0x05, d[0x61] = 0x70;  // MSI
    d[0x70] = 0x10, d[0x71] = 0x00;  // a second PCI Express entry
    COsDepend os(nullptr, 0);
    const std::uint8_t pcie[] = {0x10}, agp[] = {0x02}, either[] = {0x05, 0x10};
    EXPECT_EQ(os.FindPciCapability(0, 1, 0, pcie, 1, 0), 0x50);
    EXPECT_EQ(os.FindPciCapability(0, 1, 0, pcie, 1, 1), 0x70);
    EXPECT_EQ(os.FindPciCapability(0, 1, 0, pcie, 1, 2), 0);
    EXPECT_EQ(os.FindPciCapability(0, 1, 0, either, 2, 1), 0x60);
    EXPECT_EQ(os.FindPciCapability(0, 1, 0, agp, 1, 0), 0);
    EXPECT_EQ(os.FindPciCapability(0, 1, 0, pcie, 0, 0), 0);
    EXPECT_EQ(os.FindPciCapability(0, 1, 0, nullptr, 1, 0), 0);
    d[0x71] = 0x50;  // a loop: at most 10 entries are walked
    EXPECT_EQ(os.FindPciCapability(0, 1, 0, pcie, 1, 5), 0x70);
    EXPECT_EQ(os.FindPciCapability(0, 1, 0, pcie, 1, 6), 0);
    d[0x34] = 0xFF;
    EXPECT_EQ(os.FindPciCapability(0, 1, 0, pcie, 1, 0), 0);
    EXPECT_EQ(os.FindPciCapability(0, 7, 0, pcie, 1, 0), 0);  // absent function
}

TEST(PciConfig, DeviceIdPredicates) {
    struct Case {
        std::uint16_t id;
        std::uint8_t rev;
        bool large;
    } windows[] = {{0x685F, 0, false}, {0x6860, 0, true},  {0x687F, 0, true},   {0x6880, 0, false},
                   {0x69A0, 0, true},  {0x66BF, 0, true},  {0x7310, 0, true},   {0x7320, 0, false},
                   {0x7330, 0, true},  {0x7331, 0, false}, {0x7345, 0, true},   {0x7346, 0, false},
                   {0x7347, 0, true},  {0x7366, 0, false}, {0x736F, 0, true},   {0x739F, 0, true},
                   {0x67DF, 0x3B, false}, {0x67DF, 0x3C, true}, {0x67DF, 0x3E, true}, {0x67DF, 0x3F, false},
                   {0x67DF, 0x70, true},  {0x67DF, 0x71, true}, {0x67DF, 0x72, false}, {0x67DF, 0xC7, false},
                   {0x67DF, 0xF1, false}, {0x67DF, 0xF2, true}, {0x67DF, 0xF5, true},  {0x67DF, 0xF6, false}};
    for (const Case& c : windows)
        EXPECT_EQ(NeedsLargeRegisterWindow(c.id, c.rev), c.large) << std::hex << c.id << " " << int(c.rev);

    for (std::uint16_t id : {0x4D10, 0x4D52, 0x4D5F, 0xAC00, 0xAC0F}) EXPECT_TRUE(IsNoRomBarDevice(id)) << id;
    for (std::uint16_t id : {0x4D20, 0x4D00, 0xAC10, 0x6610}) EXPECT_FALSE(IsNoRomBarDevice(id)) << id;
    for (std::uint16_t id : {0x6600, 0x663F, 0x6660, 0x666F, 0x6780, 0x679F, 0x6800, 0x683F})
        EXPECT_TRUE(IsPostWriteReadDevice(id)) << id;
    for (std::uint16_t id : {0x65FF, 0x6640, 0x665F, 0x6670, 0x677F, 0x67A0, 0x6840})
        EXPECT_FALSE(IsPostWriteReadDevice(id)) << id;
}

// This machine's real PCI bus, read only: listing and config reads. Never
// map, write or raise privileges here.
TEST(LinuxHardwareSmoke, ListsDevicesAndReadsVendorIds) {
    EXPECT_NE(dynamic_cast<LinuxHardware*>(&Hw()), nullptr);
    LinuxHardware hw;
    std::vector<std::string> names;
    if (!hw.ListPciDevices(names)) GTEST_SKIP() << "no PCI device directory";
    std::set<int> domains;
    int functions = 0;
    COsDepend os(nullptr, 0);
    for (const std::string& name : names) {
        unsigned seg, bus, dev, fn;
        if (std::sscanf(name.c_str(), "%x:%x:%x.%x", &seg, &bus, &dev, &fn) != 4) continue;
        ++functions;
        domains.insert(int(seg));
        std::uint16_t vendor = 0;
        ASSERT_EQ(hw.ConfigRead(std::uint16_t(seg), std::uint8_t(bus), std::uint8_t(dev), std::uint8_t(fn), 0, 2, &vendor), 2)
            << name;
        EXPECT_NE(vendor, 0xFFFF) << name;
        EXPECT_EQ(os.ReadPciConfigWord(std::uint16_t(seg), std::uint8_t(bus), std::uint8_t(dev << 3 | fn), 0), vendor);
    }
    if (functions == 0) GTEST_SKIP() << "no PCI functions";
    std::vector<int> segs;
    os.GetPciSegments(0xFFFF, segs);
    EXPECT_EQ(std::set<int>(segs.begin(), segs.end()), domains);

    std::uint16_t v = 0;
    EXPECT_EQ(hw.ConfigRead(0xFFFF, 0xFF, 0x1F, 7, 0, 2, &v), -1);  // no such function
    EXPECT_EQ(os.ReadPciConfigWord(0xFFFF, 0xFF, 0xFF, 0), 0xFFFF);

    const std::uint64_t t0 = hw.CpuClockMicros();
    EXPECT_GE(hw.CpuClockMicros(), t0);
}

// After a listing, a function it does not name is absent without a look at
// the file system, even when its config file exists; listed ones still read.
TEST(LinuxHardwareSmoke, ReadsOnlyWhatTheListingNames) {
    LinuxHardware probe;
    std::vector<std::string> names;
    if (!probe.ListPciDevices(names)) GTEST_SKIP() << "no PCI device directory";
    std::vector<std::array<unsigned, 4>> functions;
    for (const std::string& name : names) {
        unsigned seg, bus, dev, fn;
        if (std::sscanf(name.c_str(), "%x:%x:%x.%x", &seg, &bus, &dev, &fn) == 4) functions.push_back({seg, bus, dev, fn});
    }
    if (functions.size() < 2) GTEST_SKIP() << "fewer than two PCI functions";
    auto read = [](LinuxHardware& hw, const std::array<unsigned, 4>& f) {
        std::uint16_t vendor = 0;
        return hw.ConfigRead(std::uint16_t(f[0]), std::uint8_t(f[1]), std::uint8_t(f[2]), std::uint8_t(f[3]), 0, 2,
                             &vendor);
    };
    LinuxHardware hw;
    ASSERT_EQ(read(hw, functions[1]), 2) << "before any listing every function is asked";
    char first[16];
    std::snprintf(first, sizeof first, "%04x:%02x:%02x.%x", functions[0][0], functions[0][1], functions[0][2],
                  functions[0][3]);
    hw.RememberListing({".", "..", first, "not-a-function"});
    EXPECT_EQ(read(hw, functions[0]), 2);
    EXPECT_EQ(read(hw, functions[1]), -1);
}

}  // namespace
