// PCI configuration space, capability walk, device mapping and PCI domains.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/COsDepend.h"
#include "platform/PciRegisters.h"

namespace {

// The frame buffer is looked for in the first three BARs only.
constexpr std::uint8_t kLastFrameBufferBar = 0x18;
constexpr std::uint64_t kSmallRegisterWindow = 0x40000;
constexpr std::uint64_t kLargeRegisterWindow = 0x80000;
constexpr std::uint64_t kRomWindow = 0x40000;
// Where a frame buffer moved out of the ROM's way goes: below or above the
// 3 GiB line, whichever it was not in.
constexpr std::uint32_t kHighFrameBufferLine = 0xC0000000;
constexpr std::uint32_t kMovedFrameBufferLow = 0x80000000;
constexpr std::uint32_t kMovedFrameBufferHigh = 0xF0000000;

bool Is64BitBar(std::uint32_t bar) { return (bar & kBarTypeMask) == kBarType64; }

bool IsMemoryBarWithBase(std::uint32_t bar, bool prefetchable) {
    return (bar & kBarIo) == 0 && ((bar & kBarPrefetchable) != 0) == prefetchable && (bar & kBarAddressMask) != 0;
}

// Why the bus filters skip a function: the bus to name in the trace, "" for
// a function claiming both buses (skipped without a word), or null when it
// may be mapped.
const char* BusFilterSkip(const BusFilter& filter, bool pcie, bool agp) {
    if (agp && filter.noAgp) return "AGP";
    if (pcie && filter.noPcie) return "PCIe";
    if (filter.pcie && !filter.agp && agp) return "AGP";
    if (filter.pci && pcie && !filter.pcie) return "PCIe";
    if (filter.pci && agp && !filter.agp) return "AGP";
    if (filter.agp && pcie && !filter.pcie) return "PCIe";
    if (pcie && agp) return "";
    return nullptr;
}

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
    if (!ReadPciConfig8(seg, bus, devfn, kPciCapabilityPointer, &ptr) || ptr == 0 || ptr == 0xFF) return 0;
    unsigned matches = 0;
    // Bounded: a broken list may loop.
    for (int entry = 0; entry < kPciCapabilityWalkLimit; ++entry) {
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
        if (savedCommand != 0xFFFF) WritePciConfigWord(openSegment, openBus, openDevfn, kPciCommand, savedCommand);
        if (savedRomBar != 0xFFFFFFFF) WritePciConfigDword(openSegment, openBus, openDevfn, kPciRomBar, savedRomBar);
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
    romState = kRomUnmapped;
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
    if (!BusFilterAllows(seg, bus, devfn, filter)) return 0;

    // Only a device that is about to be mapped needs the I/O privilege.
    if (!Hw().RaiseIoPrivilege()) return 0;
    const PhysMap regs = MapRegisterBar(seg, bus, devfn, window);
    if (!regs.Valid()) return 0;
    registerMap = regs;
    deviceBackend = &Hw();
    EnableMemoryDecode(seg, bus, devfn);
    movedBarRegister = FindFrameBufferBar(seg, bus, devfn);

    if (IsNoRomBarDevice(ReadPciConfigWord(seg, bus, devfn, kPciDeviceId))) {
        // Its flash sits behind another interface.
        romState = kRomNoBar;
    } else {
        savedRomBar = ReadPciConfigDword(seg, bus, devfn, kPciRomBar);
        if (savedRomBar == 0 && movedBarRegister != 0) DecodeRomAtFrameBuffer(seg, bus, devfn);
        MapRomBar(seg, bus, devfn);
    }

    openSegment = seg;
    openBus = bus;
    openDevfn = devfn;
    deviceOpen = true;
    return 1;
}

bool COsDepend::BusFilterAllows(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, const BusFilter& filter) {
    const bool pcie = FindPciCapability(seg, bus, devfn, &kPciCapPcie, 1, 0) != 0;
    const bool agp = FindPciCapability(seg, bus, devfn, &kPciCapAgp, 1, 0) != 0;
    const char* skip = BusFilterSkip(filter, pcie, agp);
    if (!skip) return true;
    if (*skip) Log(1, "skip %s device\n", skip);
    return false;
}

PhysMap COsDepend::MapRegisterBar(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint64_t window) {
    // The first non-prefetchable memory BAR with a base.
    for (unsigned off = kPciFirstBar; off <= kPciLastBar; off += 4) {
        const std::uint32_t bar = ReadPciConfigDword(seg, bus, devfn, static_cast<std::uint8_t>(off));
        const bool wide = Is64BitBar(bar);
        if (IsMemoryBarWithBase(bar, false)) {
            std::uint64_t base = bar & kBarAddressMask;
            if (wide) base |= static_cast<std::uint64_t>(ReadPciConfigDword(seg, bus, devfn, static_cast<std::uint8_t>(off + 4))) << 32;
            return MapPhysicalMemory(base, window);
        }
        if (wide) off += 4;
    }
    return {};
}

void COsDepend::EnableMemoryDecode(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn) {
    std::uint16_t command;
    if (ReadPciConfig16(seg, bus, devfn, kPciCommand, &command)) {
        savedCommand = command;
        WritePciConfigWord(seg, bus, devfn, kPciCommand, static_cast<std::uint16_t>(command | kPciCommandMemory));
    }
}

std::uint8_t COsDepend::FindFrameBufferBar(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn) {
    // The first prefetchable memory BAR with a base.
    for (unsigned off = kPciFirstBar; off <= kLastFrameBufferBar; off += 4) {
        const std::uint32_t bar = ReadPciConfigDword(seg, bus, devfn, static_cast<std::uint8_t>(off));
        if (IsMemoryBarWithBase(bar, true)) return static_cast<std::uint8_t>(off);
        if (Is64BitBar(bar)) off += 4;
    }
    return 0;
}

void COsDepend::DecodeRomAtFrameBuffer(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn) {
    // Empty ROM BAR: decode the ROM at the frame buffer's address and move
    // the frame buffer out of its way. A BAR of the reserved location type
    // is left alone.
    const std::uint32_t fb = ReadPciConfigDword(seg, bus, devfn, movedBarRegister);
    if ((fb & kBarTypeMask) == kBarTypeMask) return;
    WritePciConfigDword(seg, bus, devfn, kPciRomBar, fb);
    if (ReadPciConfigDword(seg, bus, devfn, kPciRomBar) == 0) return;
    savedFrameBufferBar = fb;
    WritePciConfigDword(seg, bus, devfn, movedBarRegister,
                        fb < kHighFrameBufferLine ? kMovedFrameBufferHigh : kMovedFrameBufferLow);
    Log(1, "  rombase <- membase\n");
}

std::uint64_t COsDepend::RomBarSize(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint32_t rom) {
    // The usual sizing: all address bits written with decoding off, the
    // bits that stay 0 give the size; the BAR then gets its value back.
    WritePciConfigDword(seg, bus, devfn, kPciRomBar, kRomBarAddressMask);
    const std::uint32_t mask = ReadPciConfigDword(seg, bus, devfn, kPciRomBar) & kRomBarAddressMask;
    WritePciConfigDword(seg, bus, devfn, kPciRomBar, rom);
    return mask != 0 ? std::uint64_t(~mask) + 1 : 0;
}

void COsDepend::MapRomBar(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn) {
    const std::uint32_t rom = ReadPciConfigDword(seg, bus, devfn, kPciRomBar);
    // All ones: the function stopped answering; map nothing.
    if ((rom & kBarAddressMask) == 0 || rom == 0xFFFFFFFF) return;
    // Past the BAR's own size the aperture reaches whatever decodes there,
    // not the ROM: the window ends with the BAR.
    const std::uint64_t barSize = RomBarSize(seg, bus, devfn, rom);
    const PhysMap map =
        MapPhysicalMemory(rom & kBarAddressMask, barSize != 0 ? std::min(barSize, kRomWindow) : kRomWindow);
    if (!map.Valid()) {
        Log(1, "rom mapping error\n");
        return;
    }
    romMap = map;
    romState = rom;
    WritePciConfigByte(seg, bus, devfn, kPciRomBar, kRomBarEnable);
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
