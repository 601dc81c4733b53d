// The PCI device directory string and the resource listing of a function,
// answered by the simulator from the function's BARs as they are now.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/COsDepend.h"
#include "platform/LinuxHardware.h"
#include "sim/SimHardware.h"

namespace {

TEST(PciResource, OneDeviceDirectoryForConfigFilesAndResources) {
    const std::string& dir = PciDevicesDirectory();
    EXPECT_EQ(dir, "/sys/bus/pci/devices/");
    EXPECT_EQ(&PciDevicesDirectory(), &dir);
    char path[64];
    PciConfigPath(path, sizeof path, 0, 1, 0, 2);
    EXPECT_EQ(std::string(path), dir + "0000:01:00.2/config");
}

// A display function: 256M frame buffer (64-bit), 256K registers, 256 I/O
// ports, 128K expansion ROM.
SimPciFunction* AddDisplay(SimHardware& hw, const SimPciAddress& at, std::uint16_t vendor = 0x1002,
                           std::uint32_t classCode = 0x030000) {
    SimPciFunction* f = hw.AddFunction(at, vendor, 0x6610);
    f->SetClassCode(classCode);
    f->AddBar(0, SimBarKind::Mem64, 256 << 20, true, 0xD0000000, SimBarRole::Memory);
    f->AddBar(2, SimBarKind::Mem32, 256 << 10, false, 0xFE800000, SimBarRole::Registers);
    f->AddBar(4, SimBarKind::Io, 256, false, 0xE000, SimBarRole::Memory);
    f->AddBar(5, SimBarKind::Mem32, 64 << 10, false, 0xFE900000, SimBarRole::Memory);
    f->SetRomBar(128 << 10, 0xFE000000);
    return f;
}

TEST(PciResource, ReadSysfsResourceTakesStartAndSizeOfALine) {
    SimHardware hw;
    AddDisplay(hw, {0, 1, 0, 0});
    ScopedHardware use(hw);
    struct Case {
        const char* name;
        int line;
        int result;
        std::uint64_t start, size;
    } cases[] = {
        {"0000:01:00.0", 0, 1, 0xD0000000, 256 << 20},
        {"0000:01:00.0", 1, 0, 0, 0},  // upper half of the 64-bit BAR
        {"0000:01:00.0", 2, 1, 0xFE800000, 256 << 10},
        {"0000:01:00.0", 3, 0, 0, 0},  // no BAR
        {"0000:01:00.0", 4, 1, 0xE000, 256},
        {"0000:01:00.0", 6, 1, 0xFE000000, 128 << 10},
        {"0000:01:00.0", 7, 0, 0, 0},   // past the listing
        {"0000:01:00.0", -1, 0, 0, 0},
        {"0000:02:00.0", 0, 0, 0, 0},   // no such function
        {"01:00.0", 0, 0, 0, 0},        // not a directory name
    };
    for (const Case& c : cases) {
        std::uint64_t start = 0x1111, size = 0x2222;
        EXPECT_EQ(ReadSysfsResource(c.name, c.line, &start, &size), c.result) << c.name << " line " << c.line;
        EXPECT_EQ(start, c.result ? c.start : 0x1111) << c.name << " line " << c.line;
        EXPECT_EQ(size, c.result ? c.size : 0x2222) << c.name << " line " << c.line;
    }
}

TEST(PciResource, GetPciResourceOnlyForDisplayAdaptersOfTheVendor) {
    SimHardware hw;
    AddDisplay(hw, {0, 1, 0, 0});
    AddDisplay(hw, {0, 2, 3, 0}, 0x1022);
    AddDisplay(hw, {0, 3, 0, 0}, 0x10DE);
    AddDisplay(hw, {0, 4, 0, 0}, 0x1002, 0x040000);
    AddDisplay(hw, {1, 5, 0, 0});
    ScopedHardware use(hw);
    struct Case {
        std::uint8_t bus, device;
        int type;
        int result;
        std::uint64_t start;
    } cases[] = {
        {1, 0, 0, 1, 0xD0000000}, {1, 0, 1, 1, 0xFE900000}, {1, 0, 2, 1, 0xE000}, {1, 0, 3, 1, 0xFE000000},
        {1, 0, 4, 0, 0},          {1, 0, -1, 0, 0},
        {2, 3, 2, 1, 0xE000},     // the other vendor ID of the maker
        {3, 0, 0, 0, 0},          // another vendor
        {4, 0, 0, 0, 0},          // not a display controller
        {5, 0, 0, 0, 0},          // only segment 0 is looked at
        {6, 0, 0, 0, 0},          // nothing there
    };
    for (const Case& c : cases) {
        std::uint64_t start = 0, size = 0;
        EXPECT_EQ(GetPciResource(c.bus, c.device, c.type, &start, &size), c.result)
            << "bus " << int(c.bus) << " type " << c.type;
        if (c.result) {
            EXPECT_EQ(start, c.start) << "bus " << int(c.bus) << " type " << c.type;
        }
    }
}

// This machine's own listing, read only.
TEST(PciResource, LinuxReadsTheListingOfAListedFunctionOnly) {
    LinuxHardware hw;
    std::vector<std::string> names;
    if (!hw.ListPciDevices(names)) GTEST_SKIP() << "no PCI device directory";
    std::string text;
    EXPECT_FALSE(hw.ReadPciResource("../devices", text));
    EXPECT_FALSE(hw.ReadPciResource(".", text));
    for (const std::string& name : names) {
        if (name.find(':') == std::string::npos) continue;
        ASSERT_TRUE(hw.ReadPciResource(name, text)) << name;
        EXPECT_EQ(text.rfind("0x", 0), 0u) << name;
        return;
    }
    GTEST_SKIP() << "no PCI functions";
}

}  // namespace
