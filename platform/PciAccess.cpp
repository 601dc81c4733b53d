// PCI configuration space, capability walk, device mapping and PCI domains.
#include <cstdlib>
#include <cstring>

#include "platform/COsDepend.h"

namespace {

constexpr std::uint8_t kCommand = 0x04;
constexpr std::uint8_t kDeviceId = 0x02;
constexpr std::uint8_t kFirstBar = 0x10;
constexpr std::uint8_t kLastBar = 0x24;
constexpr std::uint8_t kLastFrameBufferBar = 0x18;
constexpr std::uint8_t kRomBar = 0x30;
constexpr std::uint8_t kCapabilityPointer = 0x34;
constexpr std::uint8_t kCapPcie = 0x10;
constexpr std::uint8_t kCapAgp = 0x02;
constexpr std::uint64_t kSmallRegisterWindow = 0x40000;
constexpr std::uint64_t kLargeRegisterWindow = 0x80000;
constexpr std::uint64_t kRomWindow = 0x40000;

bool Is64BitBar(std::uint32_t bar) { return (bar & 6) == 4; }

// Reads exactly `width` bytes little-endian; all ones unless every byte came.
template <typename T>
int ReadConfigValue(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off, T* out) {
    T value = static_cast<T>(~T{0});
    std::uint8_t bytes[sizeof(T)];
    const int n = ReadPciConfig(seg, bus, devfn >> 3, devfn & 7, bytes, sizeof(T), off);
    const bool ok = n == static_cast<int>(sizeof(T));
    if (ok) {
        value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) value = static_cast<T>(value | (T{bytes[i]} << (8 * i)));
    }
    if (out) *out = value;
    return ok ? 1 : 0;
}

template <typename T>
int WriteConfigValue(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off, T value) {
    std::uint8_t bytes[sizeof(T)];
    for (std::size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    const int n = WritePciConfig(seg, bus, devfn >> 3, devfn & 7, bytes, sizeof(T), off);
    return n == static_cast<int>(sizeof(T)) ? 1 : 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Free configuration-space functions

void PciConfigPath(char* out, std::size_t size, std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn) {
    std::snprintf(out, size, "%s%04x:%02x:%02x.%d/%s", PciDevicesDirectory().c_str(), seg, bus, dev, fn, "config");
}

int ReadPciConfig(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn, void* buffer, int length,
                  std::uint32_t offset) {
    return Hw().ConfigRead(seg, bus, dev, fn, offset, length, buffer);
}

int WritePciConfig(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn, const void* data, int length,
                   std::uint32_t offset) {
    return Hw().ConfigWrite(seg, bus, dev, fn, offset, length, data);
}

int ReadPciConfig8(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off, std::uint8_t* out) {
    return ReadConfigValue(seg, bus, devfn, off, out);
}

int ReadPciConfig16(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off, std::uint16_t* out) {
    return ReadConfigValue(seg, bus, devfn, off, out);
}

int ReadPciConfig32(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off, std::uint32_t* out) {
    return ReadConfigValue(seg, bus, devfn, off, out);
}

int WritePciConfig8(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off, std::uint8_t v) {
    return WriteConfigValue(seg, bus, devfn, off, v);
}

int WritePciConfig16(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off, std::uint16_t v) {
    return WriteConfigValue(seg, bus, devfn, off, v);
}

int WritePciConfig32(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off, std::uint32_t v) {
    return WriteConfigValue(seg, bus, devfn, off, v);
}

PhysMap MapPhysicalMemory(std::uint64_t phys, std::uint64_t length) { return Hw().MapPhysical(phys, length); }

// Apertures stay mapped until the process ends.
void UnmapPhysicalMemory(const PhysMap&) {}

// ---------------------------------------------------------------------------
// Device-ID predicates

bool NeedsLargeRegisterWindow(std::uint16_t id, std::uint8_t revision) {
    struct Range {
        std::uint16_t first, last;
    };
    static constexpr Range kLarge[] = {
        {0x6860, 0x687F}, {0x69A0, 0x69BF}, {0x66A0, 0x66BF}, {0x7310, 0x731F}, {0x7330, 0x7330},
        {0x7340, 0x7345}, {0x7347, 0x734F}, {0x7360, 0x7365}, {0x7367, 0x736F}, {0x7380, 0x739F},
    };
    for (const Range& r : kLarge)
        if (id >= r.first && id <= r.last) return true;
    if (id == 0x67DF)
        return (revision >= 0x3C && revision <= 0x3E) || (revision >= 0x70 && revision <= 0x71) ||
               (revision >= 0xF2 && revision <= 0xF5);
    return false;
}

bool IsNoRomBarDevice(std::uint16_t id) { return (id & 0xFFB0) == 0x4D10 || (id >> 4) == 0xAC0; }

bool IsPostWriteReadDevice(std::uint16_t id) {
    return (id >= 0x6600 && id <= 0x663F) || (id >= 0x6660 && id <= 0x666F) || (id >= 0x6780 && id <= 0x679F) ||
           (id >= 0x6800 && id <= 0x683F);
}

// ---------------------------------------------------------------------------
// Configuration-space operations of the platform class

std::uint8_t COsDepend::ReadPciConfigByte(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off) {
    std::uint8_t v;
    ReadPciConfig8(seg, bus, devfn, off, &v);
    return v;
}

std::uint16_t COsDepend::ReadPciConfigWord(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off) {
    std::uint16_t v;
    ReadPciConfig16(seg, bus, devfn, off, &v);
    return v;
}

std::uint32_t COsDepend::ReadPciConfigDword(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off) {
    std::uint32_t v;
    ReadPciConfig32(seg, bus, devfn, off, &v);
    return v;
}

int COsDepend::WritePciConfigByte(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off,
                                  std::uint8_t v) {
    return WritePciConfig8(seg, bus, devfn, off, v);
}

int COsDepend::WritePciConfigWord(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off,
                                  std::uint16_t v) {
    return WritePciConfig16(seg, bus, devfn, off, v);
}

int COsDepend::WritePciConfigDword(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off,
                                   std::uint32_t v) {
    return WritePciConfig32(seg, bus, devfn, off, v);
}

std::uint8_t COsDepend::FindPciCapability(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn,
                                          const std::uint8_t* ids, std::uint8_t count, std::uint8_t nth) {
    if (!ids || count == 0) return 0;
    std::uint8_t ptr;
    if (!ReadPciConfig8(seg, bus, devfn, kCapabilityPointer, &ptr) || ptr == 0 || ptr == 0xFF) return 0;
    unsigned matches = 0;
    // Bounded: a broken list may loop.
    for (int entry = 0; entry < 10; ++entry) {
        std::uint8_t id;
        if (!ReadPciConfig8(seg, bus, devfn, ptr, &id)) return 0;
        for (unsigned i = 0; i < count; ++i) {
            if (id == ids[i]) {
                if (++matches > nth) return ptr;
                break;
            }
        }
        std::uint8_t next;
        if (!ReadPciConfig8(seg, bus, devfn, static_cast<std::uint8_t>(ptr + 1), &next) || next == 0) return 0;
        ptr = next;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Device mapping

int COsDepend::CloseDevice() {
    // Config writes need no I/O privilege: nothing to raise here.
    if (!deviceOpen) return 0;

    // A device opened on a backend that has since been replaced is gone
    // with it; never restore onto another machine.
    if (deviceBackend == &Hw()) {
        UnmapPhysicalMemory(registerMap);
        UnmapPhysicalMemory(romMap);
        if (savedCommand != 0xFFFF) WritePciConfigWord(openSegment, openBus, openDevfn, kCommand, savedCommand);
        if (savedRomBar != 0xFFFFFFFF) WritePciConfigDword(openSegment, openBus, openDevfn, kRomBar, savedRomBar);
        if (savedFrameBufferBar != ~0ULL)
            WritePciConfigDword(openSegment, openBus, openDevfn, movedBarRegister,
                                static_cast<std::uint32_t>(savedFrameBufferBar));
    }

    deviceOpen = false;
    deviceBackend = nullptr;
    openBus = 0xFF;
    openDevfn = 0xFF;
    registerMap = {};
    romMap = {};
    romState = 0;
    movedBarRegister = 0;
    savedFrameBufferBar = ~0ULL;
    savedRomBar = 0xFFFFFFFF;
    savedCommand = 0xFFFF;
    return 0;
}

int COsDepend::MapDevice(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, int open, const BusFilter& filter) {
    if (open != 1) return CloseDevice();

    const std::uint64_t window = isEngine && NeedsLargeRegisterWindow(quirkDeviceId, quirkRevision)
                                     ? kLargeRegisterWindow
                                     : kSmallRegisterWindow;
    CloseDevice();

    // Bus filters.
    const bool pcie = FindPciCapability(seg, bus, devfn, &kCapPcie, 1, 0) != 0;
    const bool agp = FindPciCapability(seg, bus, devfn, &kCapAgp, 1, 0) != 0;
    if (agp && filter.noAgp) {
        Log(1, "skip AGP device\n");
        return 0;
    }
    if (pcie && filter.noPcie) {
        Log(1, "skip PCIe device\n");
        return 0;
    }
    if (filter.pcie && !filter.agp && agp) {
        Log(1, "skip AGP device\n");
        return 0;
    }
    if (filter.pci) {
        if (pcie && !filter.pcie) {
            Log(1, "skip PCIe device\n");
            return 0;
        }
        if (agp && !filter.agp) {
            Log(1, "skip AGP device\n");
            return 0;
        }
    }
    if (filter.agp && pcie && !filter.pcie) {
        Log(1, "skip PCIe device\n");
        return 0;
    }
    if (pcie && agp) return 0;
    // Only a device that is about to be mapped needs the I/O privilege.
    if (!Hw().RaiseIoPrivilege()) return 0;

    // Register aperture: the first non-prefetchable memory BAR with a base.
    PhysMap regs;
    for (unsigned off = kFirstBar; off <= kLastBar; off += 4) {
        const std::uint32_t bar = ReadPciConfigDword(seg, bus, devfn, static_cast<std::uint8_t>(off));
        const bool wide = Is64BitBar(bar);
        if ((bar & 1) == 0 && (bar & 8) == 0 && (bar & 0xFFFFFFF0) != 0) {
            std::uint64_t base = bar & 0xFFFFFFF0;
            if (wide) base |= static_cast<std::uint64_t>(ReadPciConfigDword(seg, bus, devfn, static_cast<std::uint8_t>(off + 4))) << 32;
            regs = MapPhysicalMemory(base, window);
            break;
        }
        if (wide) off += 4;
    }
    if (!regs.Valid()) return 0;

    registerMap = regs;
    deviceBackend = &Hw();
    std::uint16_t command;
    if (ReadPciConfig16(seg, bus, devfn, kCommand, &command)) {
        savedCommand = command;
        WritePciConfigWord(seg, bus, devfn, kCommand, static_cast<std::uint16_t>(command | 2));
    }

    // Frame-buffer BAR: the first prefetchable memory BAR with a base.
    for (unsigned off = kFirstBar; off <= kLastFrameBufferBar; off += 4) {
        const std::uint32_t bar = ReadPciConfigDword(seg, bus, devfn, static_cast<std::uint8_t>(off));
        if ((bar & 1) == 0 && (bar & 8) != 0 && (bar & 0xFFFFFFF0) != 0) {
            movedBarRegister = static_cast<std::uint8_t>(off);
            break;
        }
        if (Is64BitBar(bar)) off += 4;
    }

    const std::uint16_t deviceId = ReadPciConfigWord(seg, bus, devfn, kDeviceId);
    if (IsNoRomBarDevice(deviceId)) {
        // Its flash sits behind another interface.
        romState = 1;
    } else {
        savedRomBar = ReadPciConfigDword(seg, bus, devfn, kRomBar);
        if (savedRomBar == 0 && movedBarRegister != 0) {
            // Empty ROM BAR: decode the ROM at the frame buffer's address and
            // move the frame buffer out of its way.
            const std::uint32_t fb = ReadPciConfigDword(seg, bus, devfn, movedBarRegister);
            savedFrameBufferBar = fb;
            if ((fb & 6) == 6) {
                savedFrameBufferBar = ~0ULL;
            } else {
                WritePciConfigDword(seg, bus, devfn, kRomBar, fb);
                if (ReadPciConfigDword(seg, bus, devfn, kRomBar) == 0) {
                    savedFrameBufferBar = ~0ULL;
                } else {
                    WritePciConfigDword(seg, bus, devfn, movedBarRegister, fb < 0xC0000000 ? 0xF0000000 : 0x80000000);
                    Log(1, "  rombase <- membase\n");
                }
            }
        }

        const std::uint32_t rom = ReadPciConfigDword(seg, bus, devfn, kRomBar);
        // All ones: the function stopped answering; map nothing.
        if ((rom & 0xFFFFFFF0) != 0 && rom != 0xFFFFFFFF) {
            PhysMap map = MapPhysicalMemory(rom & 0xFFFFFFF0, kRomWindow);
            if (!map.Valid()) {
                Log(1, "rom mapping error\n");
            } else {
                romMap = map;
                romState = rom;
                WritePciConfigByte(seg, bus, devfn, kRomBar, 1);
            }
        }
    }

    openSegment = seg;
    openBus = bus;
    openDevfn = devfn;
    deviceOpen = true;
    return 1;
}

// ---------------------------------------------------------------------------
// PCI domains

int COsDepend::GetPciSegments(int highest, std::vector<int>& list) {
    pciSegments.clear();
    std::vector<std::string> names;
    if (Hw().ListPciDevices(names)) {
        for (const std::string& name : names) {
            const std::size_t colon = name.find(':');
            if (colon == std::string::npos) continue;
            const std::string domain = name.substr(0, colon);
            const int seg = static_cast<int>(std::strtoul(domain.c_str(), nullptr, 16));
            bool known = false;
            for (int s : pciSegments) known = known || s == seg;
            if (!known) pciSegments.push_back(seg);
        }
    }
    for (int seg : pciSegments)
        if (static_cast<unsigned>(seg) <= static_cast<unsigned>(highest)) list.push_back(seg);
    return 0;
}
