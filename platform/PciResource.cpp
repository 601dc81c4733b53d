// The PCI device directory string and the resource listing of a function.
#include <cstdio>
#include <sstream>

#include "platform/COsDepend.h"

namespace {

constexpr std::uint16_t kVendorMask = 0xFFDF;  // 0x1002 and 0x1022 alike
constexpr std::uint16_t kVendor = 0x1002;
constexpr std::uint8_t kDisplayClass = 3;
constexpr int kRomResourceLine = 6;

const std::string& InitOsDependStatics() {
    static const std::string directory = "/sys/bus/pci/devices/";
    return directory;
}

}  // namespace

const std::string& PciDevicesDirectory() { return InitOsDependStatics(); }

int ReadSysfsResource(const char* deviceName, int line, std::uint64_t* start, std::uint64_t* size) {
    std::string text;
    if (!deviceName || line < 0 || !Hw().ReadPciResource(deviceName, text)) return 0;
    std::istringstream in(text);
    std::string row;
    for (int skipped = 0; skipped <= line; ++skipped)
        if (!std::getline(in, row)) return 0;
    unsigned long long first = 0, last = 0;
    if (std::sscanf(row.c_str(), "%llx %llx", &first, &last) != 2) return 0;
    if (first == 0 || last == 0 || last < first) return 0;
    if (start) *start = first;
    // The listing's end is the last byte of the resource.
    if (size) *size = last - first + 1;
    return 1;
}

int GetPciResource(std::uint8_t bus, std::uint8_t device, int type, std::uint64_t* start, std::uint64_t* size) {
    static constexpr int kLineOfType[] = {0, 5, 4, kRomResourceLine};
    if (type < 0 || type >= int(sizeof kLineOfType / sizeof kLineOfType[0])) return 0;
    std::uint8_t vendor[2], classCode[4];
    if (ReadPciConfig(0, bus, device, 0, vendor, sizeof vendor, 0x00) != int(sizeof vendor) ||
        ReadPciConfig(0, bus, device, 0, classCode, sizeof classCode, 0x08) != int(sizeof classCode))
        return 0;
    const std::uint16_t vendorId = std::uint16_t(vendor[0] | (vendor[1] << 8));
    if ((vendorId & kVendorMask) != kVendor || classCode[3] != kDisplayClass) return 0;
    char name[16];
    std::snprintf(name, sizeof name, "0000:%02x:%02x.0", unsigned(bus), unsigned(device));
    return ReadSysfsResource(name, kLineOfType[type], start, size);
}
