#include "sim/SimHardware.h"

#include <algorithm>
#include <cstdio>

#include "platform/LinuxHardware.h"

// The legacy video-BIOS window: read-only content, 0xFF beyond it.
class SimHardware::LegacyRegion : public SimMemoryRegion {
public:
    explicit LegacyRegion(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
    std::uint8_t Read8(std::uint64_t off) override { return off < bytes_.size() ? bytes_[off] : 0xFF; }
    void Write8(std::uint64_t, std::uint8_t) override {}
    std::uint32_t Read32(std::uint64_t off) override {
        std::uint32_t v = 0;
        for (unsigned i = 0; i < 4; ++i) v |= std::uint32_t(Read8(off + i)) << (8 * i);
        return v;
    }
    void Write32(std::uint64_t, std::uint32_t) override {}

private:
    std::vector<std::uint8_t> bytes_;
};

SimHardware::SimHardware() = default;
SimHardware::~SimHardware() = default;

SimPciFunction* SimHardware::AddFunction(const SimPciAddress& address, std::uint16_t vendor, std::uint16_t device) {
    if (FindFunction(address)) return nullptr;
    functions_.push_back(std::make_unique<SimPciFunction>(address, vendor, device));
    return functions_.back().get();
}

SimPciFunction* SimHardware::FindFunction(const SimPciAddress& address) {
    for (auto& f : functions_)
        if (f->Address() == address) return f.get();
    return nullptr;
}

bool SimHardware::Overlaps(bool io, std::uint64_t base, std::uint64_t size, std::string* what) const {
    if (size == 0) return false;
    const std::uint64_t last = base > ~0ull - (size - 1) ? ~0ull : base + (size - 1);
    for (const auto& f : functions_) {
        for (const SimBarRange& r : f->AssignedRanges()) {
            if (r.io != io || r.size == 0) continue;
            const std::uint64_t rLast = r.base + (r.size - 1);
            if (base > rLast || r.base > last) continue;
            if (what) {
                char at[24];
                std::snprintf(at, sizeof at, "0x%llx", static_cast<unsigned long long>(r.base));
                *what = (r.index == 6 ? std::string("the ROM BAR") : "BAR " + std::to_string(r.index)) + " of " +
                        f->Address().Name() + " at " + at;
            }
            return true;
        }
    }
    return false;
}

std::uint64_t SimHardware::FreeBase(std::uint64_t size, std::uint64_t first, std::uint64_t end) const {
    if (size == 0) return 0;
    std::uint64_t base = (first + size - 1) / size * size;
    while (base < end && end - base >= size) {
        std::uint64_t next = base;
        for (const auto& f : functions_)
            for (const SimBarRange& r : f->AssignedRanges())
                if (!r.io && r.size != 0 && base <= r.base + (r.size - 1) && r.base <= base + (size - 1))
                    next = std::max(next, r.base + r.size);
        if (next == base) return base;
        base = (next + size - 1) / size * size;
    }
    return 0;
}

bool SimHardware::SaveBackingFiles(std::string* error) {
    bool ok = true;
    for (auto& s : storages_) {
        std::string e;
        if (!s->Save(&e)) {
            if (ok && error) *error = e;
            ok = false;
        }
    }
    return ok;
}

void SimHardware::SetLegacyContent(const std::vector<std::uint8_t>& bytes) {
    legacy_ = std::make_unique<LegacyRegion>(bytes);
}

void SimHardware::SetLegacyUnmappable(bool on) { legacyUnmappable_ = on; }

void SimHardware::SetPciListing(const std::vector<std::string>& names) {
    listingOverridden_ = true;
    listing_ = names;
}

void SimHardware::AppendPciListing(const std::vector<std::string>& names) {
    listingOverridden_ = true;
    listing_.insert(listing_.end(), names.begin(), names.end());
}

void SimHardware::ClearPciListing() {
    listingOverridden_ = false;
    listing_.clear();
}

void SimHardware::FailMappings(std::uint64_t first, std::uint64_t last) { mapFailures_.push_back({first, last}); }

std::uint64_t SimHardware::PortReads(std::uint16_t port) const {
    auto it = portReads_.find(port);
    return it == portReads_.end() ? 0 : it->second;
}

int SimHardware::ConfigRead(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn,
                            std::uint32_t off, int len, void* buf) {
    clocks_.OnAccess();
    SimPciAddress a{seg, bus, dev, fn};
    SimPciFunction* f = FindFunction(a);
    if (!f) return -1;
    int n = f->ConfigRead(off, len, buf);
    if (log_.Enabled() && n > 0) {
        std::uint32_t v = 0;
        const auto* p = static_cast<const std::uint8_t*>(buf);
        for (int i = 0; i < n && i < 4; ++i) v |= std::uint32_t(p[i]) << (8 * i);
        log_.Record(SimAccessKind::ConfigRead, a, off, v, std::uint8_t(n));
    }
    return n;
}

int SimHardware::ConfigWrite(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn,
                             std::uint32_t off, int len, const void* buf) {
    clocks_.OnAccess();
    SimPciAddress a{seg, bus, dev, fn};
    SimPciFunction* f = FindFunction(a);
    if (!f) return -1;
    if (log_.Enabled() && len > 0 && off < 256) {
        std::uint32_t v = 0;
        const auto* p = static_cast<const std::uint8_t*>(buf);
        for (int i = 0; i < len && i < 4; ++i) v |= std::uint32_t(p[i]) << (8 * i);
        log_.Record(SimAccessKind::ConfigWrite, a, off, v, std::uint8_t(std::min(len, 255)));
    }
    return f->ConfigWrite(off, len, buf);
}

bool SimHardware::ListPciDevices(std::vector<std::string>& names) {
    if (listingUnreadable_) return false;
    if (listingOverridden_) {
        names = listing_;
        return true;
    }
    std::vector<SimPciAddress> addresses;
    for (auto& f : functions_) addresses.push_back(f->Address());
    std::sort(addresses.begin(), addresses.end());
    names = {".", ".."};
    for (auto& a : addresses) names.push_back(a.Name());
    return true;
}

bool SimHardware::ReadPciResource(const std::string& deviceName, std::string& text) {
    SimPciAddress address;
    // Only the full name the directory uses, segment included.
    if (deviceName.size() != 12 || !SimPciAddress::Parse(deviceName, &address)) return false;
    const SimPciFunction* f = FindFunction(address);
    if (!f) return false;
    text = f->ResourceListing();
    return true;
}

bool SimHardware::RaiseIoPrivilege() {
    ++ioplCalls_;
    if (ioplFails_) return false;
    ioplRaised_ = true;
    return true;
}

std::uint32_t SimHardware::PortIn32(std::uint16_t port) {
    clocks_.OnAccess();
    ++portReads_[port];
    if (!ioplRaised_) ++unprivilegedPortReads_;
    auto it = portValues_.find(port);
    std::uint32_t v = it == portValues_.end() ? 0xFFFFFFFFu : it->second;
    log_.Record(SimAccessKind::PortRead, kSimNoFunction, port, v, 4);
    return v;
}

PhysMap SimHardware::MapPhysical(std::uint64_t phys, std::uint64_t len) {
    std::uint64_t last = phys + len - 1;
    bool fails = len == 0 || last < phys;
    for (const Range& r : mapFailures_)
        if (phys <= r.last && last >= r.first) fails = true;
    if (legacyUnmappable_ && phys < kSimLegacyBase + kSimLegacySize && last >= kSimLegacyBase) fails = true;
    if (fails) {
        ++failedMappings_;
        return PhysMap{};
    }
    mappings_.push_back(Mapping{phys, len});
    return PhysMap{mappings_.size(), len};
}

bool SimHardware::Resolve(const PhysMap& m, std::uint64_t off, unsigned width, Target* t) {
    if (!m.Valid() || m.id > mappings_.size() || off >= m.length || m.length - off < width) {
        ++strayAccesses_;
        return false;
    }
    std::uint64_t phys = mappings_[m.id - 1].phys + off;
    *t = Target{};
    t->offset = phys;
    if (legacy_ && phys >= kSimLegacyBase && phys - kSimLegacyBase + width <= kSimLegacySize) {
        t->region = legacy_.get();
        t->readKind = SimAccessKind::LegacyRead;
        t->writeKind = SimAccessKind::LegacyWrite;
        t->offset = phys - kSimLegacyBase;
        return true;
    }
    for (auto& f : functions_) {
        SimPciFunction::Hit hit;
        if (f->Decode(phys, width, &hit)) {
            t->region = hit.region;
            t->function = f->Address();
            t->readKind = hit.readKind;
            t->writeKind = hit.writeKind;
            t->offset = hit.offset;
            return true;
        }
    }
    return true;  // unclaimed: all ones, writes dropped
}

std::uint32_t SimHardware::Read32(const PhysMap& m, std::uint64_t off) {
    clocks_.OnAccess();
    Target t;
    if (!Resolve(m, off, 4, &t)) return 0xFFFFFFFFu;
    std::uint32_t v = t.region ? t.region->Read32(t.offset) : 0xFFFFFFFFu;
    log_.Record(t.readKind, t.function, t.offset, v, 4);
    return v;
}

void SimHardware::Write32(const PhysMap& m, std::uint64_t off, std::uint32_t v) {
    clocks_.OnAccess();
    Target t;
    if (!Resolve(m, off, 4, &t)) return;
    log_.Record(t.writeKind, t.function, t.offset, v, 4);
    if (t.region) t.region->Write32(t.offset, v);
}

std::uint8_t SimHardware::Read8(const PhysMap& m, std::uint64_t off) {
    clocks_.OnAccess();
    Target t;
    if (!Resolve(m, off, 1, &t)) return 0xFF;
    std::uint8_t v = t.region ? t.region->Read8(t.offset) : 0xFF;
    log_.Record(t.readKind, t.function, t.offset, v, 1);
    return v;
}

void SimHardware::Write8(const PhysMap& m, std::uint64_t off, std::uint8_t v) {
    clocks_.OnAccess();
    Target t;
    if (!Resolve(m, off, 1, &t)) return;
    log_.Record(t.writeKind, t.function, t.offset, v, 1);
    if (t.region) t.region->Write8(t.offset, v);
}

int SimHardware::ReadPagemap(std::uint64_t fileOffset, std::uint64_t* entry) {
    if (pagemapUnopenable_) return -1;
    auto it = pagemap_.find(fileOffset);
    if (it == pagemap_.end()) return pagemapSource_ ? pagemapSource_(fileOffset, entry) : -2;
    if (it->second.bytes >= 8) *entry = it->second.entry;
    return it->second.bytes;
}

bool SimHardware::LockMemory(void* address, std::uint64_t length) {
    if (lockFails_) return false;
    locked_[reinterpret_cast<std::uintptr_t>(address)] = length;
    return true;
}

void SimHardware::UnlockMemory(void* address, std::uint64_t) {
    locked_.erase(reinterpret_cast<std::uintptr_t>(address));
}

bool SimHardware::IsLocked(const void* address, std::uint64_t length) const {
    const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(address);
    auto it = locked_.upper_bound(a);
    if (it == locked_.begin()) return false;
    --it;
    return a + length <= it->first + it->second;
}

std::uint64_t SimHardware::LockedBytes() const {
    std::uint64_t n = 0;
    for (const auto& l : locked_) n += l.second;
    return n;
}

std::uint64_t SimHardware::CpuClockMicros() {
    clocks_.OnClockRead();
    return clocks_.CpuMicros();
}

void SimHardware::SleepMicros(int us) {
    if (us > 0) clocks_.OnSleep(std::uint64_t(us));
}

namespace {

// Who runs the process, and from which file, is real even on a simulated
// machine.
LinuxHardware& RealMachine() {
    static LinuxHardware real;
    return real;
}

}  // namespace

std::string SimHardware::OwnExecutablePath() {
    return ownExecutable_ ? *ownExecutable_ : RealMachine().OwnExecutablePath();
}

unsigned SimHardware::EffectiveUid() {
    if (uidOverride_) return *uidOverride_;
    return RealMachine().EffectiveUid();
}

void SimHardware::SyncFilesystems() { ++syncCount_; }

int SimHardware::Reboot() {
    ++rebootCount_;
    std::fputs("vorbanmill-sim: restart recorded, not performed\n", stderr);
    std::fflush(stderr);
    return 0;
}
