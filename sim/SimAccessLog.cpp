#include "sim/SimAccessLog.h"

#include <cstdio>

const char* SimAccessKindName(SimAccessKind kind) {
    switch (kind) {
    case SimAccessKind::ConfigRead: return "config-read";
    case SimAccessKind::ConfigWrite: return "config-write";
    case SimAccessKind::RegisterRead: return "reg-read";
    case SimAccessKind::RegisterWrite: return "reg-write";
    case SimAccessKind::RomRead: return "rom-read";
    case SimAccessKind::RomWrite: return "rom-write";
    case SimAccessKind::MemoryRead: return "mem-read";
    case SimAccessKind::MemoryWrite: return "mem-write";
    case SimAccessKind::LegacyRead: return "legacy-read";
    case SimAccessKind::LegacyWrite: return "legacy-write";
    case SimAccessKind::UnclaimedRead: return "unclaimed-read";
    case SimAccessKind::UnclaimedWrite: return "unclaimed-write";
    case SimAccessKind::PortRead: return "port-read";
    }
    return "?";
}

void SimAccessLog::Clear() {
    entries_.clear();
    next_ = 0;
}

void SimAccessLog::Record(SimAccessKind kind, const SimPciAddress& function, std::uint64_t offset,
                          std::uint32_t value, std::uint8_t width) {
    if (!enabled_) return;
    entries_.push_back(SimAccess{kind, function, offset, value, width, next_++});
}

std::vector<SimAccess> SimAccessLog::OfKind(SimAccessKind kind) const {
    std::vector<SimAccess> out;
    for (const SimAccess& a : entries_)
        if (a.kind == kind) out.push_back(a);
    return out;
}

std::size_t SimAccessLog::Count(SimAccessKind kind) const {
    std::size_t n = 0;
    for (const SimAccess& a : entries_) n += a.kind == kind;
    return n;
}

std::size_t SimAccessLog::Count(SimAccessKind kind, std::uint64_t offset) const {
    std::size_t n = 0;
    for (const SimAccess& a : entries_) n += a.kind == kind && a.offset == offset;
    return n;
}

std::string SimAccessLog::Dump() const {
    std::string out;
    char line[128];
    for (const SimAccess& a : entries_) {
        std::snprintf(line, sizeof line, "%llu %s %s +0x%llx w%u = 0x%08x\n",
                      static_cast<unsigned long long>(a.order), SimAccessKindName(a.kind),
                      a.function.Name().c_str(), static_cast<unsigned long long>(a.offset),
                      unsigned(a.width), unsigned(a.value));
        out += line;
    }
    return out;
}
