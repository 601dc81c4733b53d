#include "sim/SimPciFunction.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

bool PowerOfTwo(std::uint64_t v) { return v && (v & (v - 1)) == 0; }

constexpr std::uint32_t kRomIndex = 0xA8;
constexpr std::uint32_t kRomData = 0xAC;

class RomIndexRegisters : public SimRegisterHook {
public:
    explicit RomIndexRegisters(SimPciFunction& owner) : owner_(owner) {}
    std::uint32_t Read(std::uint32_t off) override {
        if (off != kRomData) return index_;
        SimRomModel* rom = owner_.RomModel();
        const std::uint32_t at = index_++;
        return rom ? rom->ReadByte(at) : 0xFFu;
    }
    void Write(std::uint32_t off, std::uint32_t value) override {
        if (off == kRomIndex) index_ = value;
    }

private:
    SimPciFunction& owner_;
    std::uint32_t index_ = 0x1F0;  // power-up: somewhere else than the start
};

}  // namespace

void SimPciFunction::AddRomIndexRegisters() {
    registers_->Attach(kRomIndex, 8, std::make_shared<RomIndexRegisters>(*this));
}

SimPciFunction::SimPciFunction(const SimPciAddress& address, std::uint16_t vendor, std::uint16_t device)
    : address_(address), registers_(std::make_shared<SimRegisterFile>()) {
    PresetConfig(0x00, 2, vendor);
    PresetConfig(0x02, 2, device);
    // Memory and I/O decoding and bus mastering on, as firmware leaves a
    // display adapter.
    PresetConfig(0x04, 2, 0x0007);
    // Writable as on ordinary hardware: command, cache line size, latency
    // timer, interrupt line, and the device-specific area (capability
    // headers are made read-only as they are added).
    SetConfigWriteMask(0x04, 2, 0xFFFF);
    SetConfigWriteMask(0x0C, 2, 0xFFFF);
    SetConfigWriteMask(0x3C, 1, 0xFF);
    for (int off = 0x40; off < 0x100; ++off) wmask_[std::size_t(off)] = 0xFF;
}

void SimPciFunction::SetRevision(std::uint8_t revision) { PresetConfig(0x08, 1, revision); }

void SimPciFunction::SetClassCode(std::uint32_t classCode) {
    PresetConfig(0x09, 1, classCode & 0xFF);
    PresetConfig(0x0A, 2, (classCode >> 8) & 0xFFFF);
}

void SimPciFunction::SetSubsystem(std::uint16_t vendor, std::uint16_t id) {
    PresetConfig(0x2C, 2, vendor);
    PresetConfig(0x2E, 2, id);
}

void SimPciFunction::SetCommand(std::uint16_t command) { PresetConfig(0x04, 2, command); }

bool SimPciFunction::AddBar(int index, SimBarKind kind, std::uint64_t size, bool prefetchable, std::uint64_t base,
                            SimBarRole role, std::string* error) {
    if (index < 0 || index > 5) return SimFail(error, "BAR index must be 0-5");
    bool wide = kind == SimBarKind::Mem64;
    if (wide && index == 5) return SimFail(error, "a 64-bit BAR needs two registers; index 5 is the last");
    if (bars_[index].present || bars_[index].upperHalf || (wide && (bars_[index + 1].present)))
        return SimFail(error, "BAR " + std::to_string(index) + " is already in use");
    if (!PowerOfTwo(size)) return SimFail(error, "BAR size must be a power of two");
    if (kind == SimBarKind::Io) {
        if (prefetchable) return SimFail(error, "an I/O BAR cannot be prefetchable");
        if (size < 4 || size > 0x10000) return SimFail(error, "I/O BAR size must be 4 to 64K");
        if (base > 0x10000 - size) return SimFail(error, "I/O BAR must lie below 0x10000");
    } else {
        if (size < 16) return SimFail(error, "memory BAR size must be at least 16");
        if (kind == SimBarKind::Mem32 && (size > 0x80000000ull || base > 0x100000000ull - size))
            return SimFail(error, "a 32-bit BAR must lie below 4G");
    }
    if (base & (size - 1)) return SimFail(error, "BAR base must be aligned to its size");

    std::uint8_t off = std::uint8_t(0x10 + 4 * index);
    std::uint32_t flags;
    std::uint32_t lowMask;
    if (kind == SimBarKind::Io) {
        flags = 0x1;
        lowMask = std::uint32_t(~(size - 1)) & 0xFFFFFFFCu;
    } else {
        flags = (wide ? 0x4u : 0x0u) | (prefetchable ? 0x8u : 0x0u);
        lowMask = std::uint32_t(~(size - 1)) & 0xFFFFFFF0u;
    }
    PresetConfig(off, 4, (std::uint32_t(base) & lowMask) | flags);
    SetConfigWriteMask(off, 4, lowMask);
    if (wide) {
        PresetConfig(std::uint8_t(off + 4), 4, std::uint32_t(base >> 32));
        SetConfigWriteMask(std::uint8_t(off + 4), 4, std::uint32_t(~(size - 1) >> 32));
        bars_[index + 1].upperHalf = true;
    }
    Bar& bar = bars_[index];
    bar.present = true;
    bar.kind = kind;
    bar.prefetchable = prefetchable;
    bar.size = size;
    bar.role = role;
    if (kind == SimBarKind::Io) bar.region = nullptr;
    else if (role == SimBarRole::Registers) bar.region = registers_;
    else bar.region = std::make_shared<SimMemory>();
    return true;
}

bool SimPciFunction::SetBarRegion(int index, std::shared_ptr<SimMemoryRegion> region, SimBarRole logAs) {
    if (index < 0 || index > 5 || !bars_[index].present || bars_[index].kind == SimBarKind::Io) return false;
    bars_[index].region = std::move(region);
    bars_[index].role = logAs;
    return true;
}

bool SimPciFunction::SetRomBar(std::uint32_t size, std::uint32_t base, std::string* error) {
    if (!PowerOfTwo(size) || size < 0x800 || size > 0x1000000)
        return SimFail(error, "ROM BAR size must be a power of two from 2K to 16M");
    if (base & (size - 1)) return SimFail(error, "ROM BAR base must be aligned to its size");
    romSize_ = size;
    PresetConfig(0x30, 4, base);
    SetConfigWriteMask(0x30, 4, (~(size - 1) & 0xFFFFF800u) | 1u);
    return true;
}

void SimPciFunction::SetRomBarUnimplemented() {
    romSize_ = 0;
    PresetConfig(0x30, 4, 0);
    SetConfigWriteMask(0x30, 4, 0);
}

std::uint8_t SimPciFunction::AddCapability(std::uint8_t id, std::uint8_t offset, std::uint8_t length) {
    if (length == 0) {
        switch (id) {
        case 0x10: length = 0x3C; break;  // PCI Express
        case 0x02: length = 0x0C; break;  // AGP
        case 0x05: length = 0x18; break;  // MSI
        default: length = 0x08; break;
        }
    }
    if (offset == 0) {
        // After the entry that ends highest, dword aligned.
        unsigned next = 0x40;
        for (const Capability& c : capabilities_) next = std::max(next, unsigned(c.offset) + c.length);
        next = (next + 3) & ~3u;
        if (next + length > 0x100) return 0;
        offset = std::uint8_t(next);
    } else if (offset < 0x40 || (offset & 3)) {
        return 0;
    }
    if (capabilities_.empty()) {
        PresetConfig(0x34, 1, offset);
    } else {
        PresetConfig(std::uint8_t(capabilities_.back().offset + 1), 1, offset);
    }
    PresetConfig(offset, 1, id);
    PresetConfig(std::uint8_t(offset + 1), 1, 0);
    SetConfigWriteMask(offset, 2, 0);
    PresetConfig(0x06, 2, ConfigValue(0x06, 2) | 0x10);  // capability list present
    capabilities_.push_back(Capability{offset, length});
    return offset;
}

void SimPciFunction::LoopCapabilities() {
    if (capabilities_.empty()) return;
    PresetConfig(std::uint8_t(capabilities_.back().offset + 1), 1, capabilities_.front().offset);
}

void SimPciFunction::PresetConfig(std::uint8_t off, int len, std::uint32_t value) {
    for (int i = 0; i < len && off + i < 256; ++i) cfg_[std::size_t(off + i)] = std::uint8_t(value >> (8 * i));
}

void SimPciFunction::SetConfigWriteMask(std::uint8_t off, int len, std::uint32_t mask) {
    for (int i = 0; i < len && off + i < 256; ++i) wmask_[std::size_t(off + i)] = std::uint8_t(mask >> (8 * i));
}

std::uint32_t SimPciFunction::ConfigValue(std::uint8_t off, int len) const {
    // Every simulated memory access decodes the BARs through here.
    if (len == 4 && off <= 252) {
        const std::uint8_t* p = &cfg_[off];
        return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
    }
    std::uint32_t v = 0;
    for (int i = 0; i < len && off + i < 256; ++i) v |= std::uint32_t(cfg_[std::size_t(off + i)]) << (8 * i);
    return v;
}

int SimPciFunction::ConfigRead(std::uint32_t off, int len, void* buf) const {
    if (off >= 256 || len <= 0) return 0;
    int n = int(std::min<std::uint32_t>(std::uint32_t(len), 256 - off));
    std::memcpy(buf, cfg_.data() + off, std::size_t(n));
    return n;
}

int SimPciFunction::ConfigWrite(std::uint32_t off, int len, const void* buf) {
    if (off >= 256 || len <= 0) return 0;
    int n = int(std::min<std::uint32_t>(std::uint32_t(len), 256 - off));
    const auto* in = static_cast<const std::uint8_t*>(buf);
    for (int i = 0; i < n; ++i) {
        std::size_t k = off + std::size_t(i);
        cfg_[k] = std::uint8_t((cfg_[k] & ~wmask_[k]) | (in[i] & wmask_[k]));
    }
    return n;
}

std::uint64_t SimPciFunction::BarBase(int index) const {
    if (index < 0 || index > 5 || !bars_[index].present || bars_[index].kind == SimBarKind::Io) return 0;
    std::uint8_t off = std::uint8_t(0x10 + 4 * index);
    std::uint64_t base = ConfigValue(off, 4) & 0xFFFFFFF0u;
    if (bars_[index].kind == SimBarKind::Mem64) base |= std::uint64_t(ConfigValue(std::uint8_t(off + 4), 4)) << 32;
    return base;
}

std::string SimPciFunction::ResourceListing() const {
    // Resource flags as the kernel prints them.
    constexpr std::uint64_t kIo = 0x100, kMem = 0x200, kPrefetch = 0x2000, kReadOnly = 0x4000, kMem64 = 0x100000;
    std::string text;
    auto line = [&text](std::uint64_t start, std::uint64_t size, std::uint64_t flags) {
        char row[64 * 3];
        const bool used = start != 0 && size != 0;
        std::snprintf(row, sizeof row, "0x%016llx 0x%016llx 0x%016llx\n", used ? (unsigned long long)start : 0ULL,
                      used ? (unsigned long long)(start + size - 1) : 0ULL, used ? (unsigned long long)flags : 0ULL);
        text += row;
    };
    for (int i = 0; i < 6; ++i) {
        const Bar& bar = bars_[i];
        if (!bar.present || bar.upperHalf) {
            line(0, 0, 0);
        } else if (bar.kind == SimBarKind::Io) {
            line(ConfigValue(std::uint8_t(0x10 + 4 * i), 4) & 0xFFFFFFFCu, bar.size, kIo);
        } else {
            const std::uint64_t flags =
                kMem | (bar.prefetchable ? kPrefetch : 0) | (bar.kind == SimBarKind::Mem64 ? kMem64 : 0);
            line(BarBase(i), bar.size, flags);
        }
    }
    line(romSize_ ? RomBase() : 0, romSize_, kMem | kReadOnly);
    return text;
}

std::vector<SimBarRange> SimPciFunction::AssignedRanges() const {
    std::vector<SimBarRange> out;
    for (int i = 0; i < 6; ++i) {
        const Bar& bar = bars_[i];
        if (!bar.present || bar.upperHalf) continue;
        const bool io = bar.kind == SimBarKind::Io;
        const std::uint64_t base = io ? ConfigValue(std::uint8_t(0x10 + 4 * i), 4) & 0xFFFFFFFCu : BarBase(i);
        if (base != 0) out.push_back({i, io, base, bar.size});
    }
    if (romSize_ != 0 && RomBase() != 0) out.push_back({6, false, RomBase(), romSize_});
    return out;
}

bool SimPciFunction::RomDecodeEnabled() const {
    return romSize_ != 0 && MemoryDecodeEnabled() && (ConfigValue(0x30, 4) & 1) && RomBase() != 0;
}

bool SimPciFunction::Decode(std::uint64_t phys, unsigned width, Hit* hit) {
    if (!MemoryDecodeEnabled()) return false;
    auto inside = [&](std::uint64_t base, std::uint64_t size) {
        return base != 0 && phys >= base && phys - base < size && size - (phys - base) >= width;
    };
    if (RomDecodeEnabled() && inside(RomBase(), romSize_)) {
        hit->region = &romAperture_;
        hit->readKind = SimAccessKind::RomRead;
        hit->writeKind = SimAccessKind::RomWrite;
        hit->offset = phys - RomBase();
        return true;
    }
    for (int i = 0; i < 6; ++i) {
        const Bar& bar = bars_[i];
        if (!bar.present || !bar.region) continue;
        std::uint64_t base = BarBase(i);
        if (!inside(base, bar.size)) continue;
        hit->region = bar.region.get();
        bool regs = bar.role == SimBarRole::Registers;
        hit->readKind = regs ? SimAccessKind::RegisterRead : SimAccessKind::MemoryRead;
        hit->writeKind = regs ? SimAccessKind::RegisterWrite : SimAccessKind::MemoryWrite;
        hit->offset = phys - base;
        return true;
    }
    return false;
}

std::uint8_t SimPciFunction::RomAperture::Read8(std::uint64_t off) {
    return owner_.rom_ ? owner_.rom_->ReadByte(std::uint32_t(off)) : 0xFF;
}

void SimPciFunction::RomAperture::Write8(std::uint64_t off, std::uint8_t value) {
    if (owner_.rom_) owner_.rom_->WriteByte(std::uint32_t(off), value);
}

std::uint32_t SimPciFunction::RomAperture::Read32(std::uint64_t off) {
    std::uint32_t v = 0;
    for (unsigned i = 0; i < 4; ++i) v |= std::uint32_t(Read8(off + i)) << (8 * i);
    return v;
}

void SimPciFunction::RomAperture::Write32(std::uint64_t off, std::uint32_t value) {
    for (unsigned i = 0; i < 4; ++i) Write8(off + i, std::uint8_t(value >> (8 * i)));
}
