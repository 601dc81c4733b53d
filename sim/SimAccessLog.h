// Ordered record of the hardware accesses the program made, for tests that
// check sequences (index before data, the read after a register write) and
// that closing access restored what it changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/SimCommon.h"

enum class SimAccessKind {
    ConfigRead,
    ConfigWrite,
    RegisterRead,
    RegisterWrite,
    RomRead,
    RomWrite,
    MemoryRead,      // other memory BARs (frame buffer)
    MemoryWrite,
    LegacyRead,
    LegacyWrite,
    UnclaimedRead,   // physical address nothing decodes; offset = physical address
    UnclaimedWrite,
    PortRead,        // offset = port
};

const char* SimAccessKindName(SimAccessKind kind);

struct SimAccess {
    SimAccessKind kind = SimAccessKind::ConfigRead;
    SimPciAddress function = kSimNoFunction;
    std::uint64_t offset = 0;   // config offset, offset in the region, or port
    std::uint32_t value = 0;    // value read or written
    std::uint8_t width = 0;     // bytes
    std::uint64_t order = 0;    // 0, 1, 2 ... since the last Clear
};

class SimAccessLog {
public:
    // Disabled by default: a full adapter scan makes tens of thousands of
    // config reads.
    void Enable(bool on = true) { enabled_ = on; }
    bool Enabled() const { return enabled_; }
    void Clear();

    void Record(SimAccessKind kind, const SimPciAddress& function, std::uint64_t offset,
                std::uint32_t value, std::uint8_t width);

    const std::vector<SimAccess>& Entries() const { return entries_; }
    std::vector<SimAccess> OfKind(SimAccessKind kind) const;
    std::size_t Count(SimAccessKind kind) const;
    std::size_t Count(SimAccessKind kind, std::uint64_t offset) const;
    // One line per entry, for failure messages.
    std::string Dump() const;

private:
    bool enabled_ = false;
    std::uint64_t next_ = 0;
    std::vector<SimAccess> entries_;
};
