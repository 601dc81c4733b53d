// A HardwareBackend that simulates a machine: PCI functions with their
// configuration space and apertures, physical address decoding at the time
// of each access, the legacy video-BIOS window, I/O port 0x3B4, the page
// map, the two virtual clocks, an access log and injectable failures.
//
// Building a machine:
//   SimHardware hw;
//   SimPciFunction& f = hw.AddFunction({0, 1, 0, 0}, 0x1002, 0x6610);
//   f.SetClassCode(0x030000);
//   f.AddBar(0, SimBarKind::Mem64, 256 << 20, true, 0xD0000000, SimBarRole::Memory);
//   f.AddBar(2, SimBarKind::Mem32, 256 << 10, false, 0xFE800000, SimBarRole::Registers);
//   f.SetRomBar(128 << 10, 0);
//   f.AddCapability(0x10);
//   auto rom = std::make_shared<SimStorage>(128 << 10);
//   hw.AddStorage(rom);                       // only needed for file-backed storage
//   f.SetRomModel(std::make_shared<SimRomBytes>(rom));
//   f.Registers().Attach(0xA0, 8, myHook);    // an active block at 0xA0-0xA7
//   ScopedHardware use(hw);
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/HardwareBackend.h"
#include "sim/SimAccessLog.h"
#include "sim/SimClocks.h"
#include "sim/SimPciFunction.h"
#include "sim/SimStorage.h"

// Physical window of the legacy video BIOS.
inline constexpr std::uint64_t kSimLegacyBase = 0xC0000;
inline constexpr std::uint64_t kSimLegacySize = 0x20000;

class SimHardware : public HardwareBackend {
public:
    SimHardware();
    ~SimHardware() override;

    // --- the machine ---
    // Adds a function; null when the address is taken.
    SimPciFunction* AddFunction(const SimPciAddress& address, std::uint16_t vendor, std::uint16_t device);
    SimPciFunction* FindFunction(const SimPciAddress& address);
    const std::vector<std::unique_ptr<SimPciFunction>>& Functions() const { return functions_; }

    // Address plan. True when [base, base + size) meets a range some
    // function decodes (I/O or memory space), with that range in *what.
    bool Overlaps(bool io, std::uint64_t base, std::uint64_t size, std::string* what) const;
    // Lowest base in [first, end) aligned to size (a power of two) whose
    // range meets nothing; 0 when the window is full.
    std::uint64_t FreeBase(std::uint64_t size, std::uint64_t first, std::uint64_t end) const;

    // Storage written back by SaveBackingFiles (ROM and flash contents).
    void AddStorage(std::shared_ptr<SimStorage> storage) { storages_.push_back(std::move(storage)); }
    const std::vector<std::shared_ptr<SimStorage>>& Storages() const { return storages_; }
    bool SaveBackingFiles(std::string* error);

    // Legacy window at 0xC0000: absent by default (reads all ones like any
    // unclaimed address). Content shorter than the window reads 0xFF beyond.
    void SetLegacyContent(const std::vector<std::uint8_t>& bytes);
    // Mapping the window fails.
    void SetLegacyUnmappable(bool on);

    // --- the PCI device directory ---
    // By default ".", ".." and the functions' names in address order.
    void SetPciListing(const std::vector<std::string>& names);
    // Switches to an explicit listing (empty at first) and appends to it.
    void AppendPciListing(const std::vector<std::string>& names);
    void ClearPciListing();
    void SetPciListingUnreadable(bool on) { listingUnreadable_ = on; }

    // --- failure injection and system services ---
    void SetIoplFails(bool on) { ioplFails_ = on; }
    unsigned IoplCalls() const { return ioplCalls_; }
    bool IoPrivilegeRaised() const { return ioplRaised_; }
    // MapPhysical of any range touching [first, last] fails.
    void FailMappings(std::uint64_t first, std::uint64_t last);
    void ClearMappingFailures() { mapFailures_.clear(); }

    struct Mapping {
        std::uint64_t phys;
        std::uint64_t length;
    };
    // Every successful MapPhysical, in order (handle id = index + 1).
    const std::vector<Mapping>& Mappings() const { return mappings_; }
    unsigned FailedMappings() const { return failedMappings_; }
    // Accesses beyond the end of their mapping or through an invalid handle
    // (a crash on hardware); they read all ones and change nothing.
    std::uint64_t StrayAccesses() const { return strayAccesses_; }

    void SetPortValue(std::uint16_t port, std::uint32_t value) { portValues_[port] = value; }
    std::uint64_t PortReads(std::uint16_t port) const;
    // Port reads made before the I/O privilege was raised (a fault on hardware).
    std::uint64_t UnprivilegedPortReads() const { return unprivilegedPortReads_; }

    // Page map: entries by file offset; an absent entry fails to read.
    void SetPagemapEntry(std::uint64_t fileOffset, std::uint64_t entry) { pagemap_[fileOffset] = {entry, 8}; }
    // A short read of `bytes` (< 8) at that offset.
    void SetPagemapShortRead(std::uint64_t fileOffset, int bytes) { pagemap_[fileOffset] = {0, bytes}; }
    void SetPagemapUnopenable(bool on) { pagemapUnopenable_ = on; }
    // Answers page-map reads no fixed entry covers (a device model's fake
    // physical map); returns what ReadPagemap returns.
    using PagemapSource = std::function<int(std::uint64_t fileOffset, std::uint64_t* entry)>;
    void SetPagemapSource(PagemapSource source) { pagemapSource_ = std::move(source); }

    // Process memory kept resident through LockMemory.
    bool IsLocked(const void* address, std::uint64_t length) const;
    std::uint64_t LockedBytes() const;
    void SetLockFails(bool on) { lockFails_ = on; }

    // The file the program reads as its own executable: the real one
    // unless a test names another.
    void SetOwnExecutable(std::optional<std::string> path) { ownExecutable_ = std::move(path); }

    // The real effective user ID unless overridden.
    void OverrideEffectiveUid(std::optional<unsigned> uid) { uidOverride_ = uid; }
    unsigned SyncCount() const { return syncCount_; }
    unsigned RebootCount() const { return rebootCount_; }

    SimClocks& Clocks() { return clocks_; }
    SimAccessLog& AccessLog() { return log_; }

    // --- HardwareBackend ---
    int ConfigRead(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn, std::uint32_t off,
                   int len, void* buf) override;
    int ConfigWrite(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn, std::uint32_t off,
                    int len, const void* buf) override;
    bool ListPciDevices(std::vector<std::string>& names) override;
    bool ReadPciResource(const std::string& deviceName, std::string& text) override;
    bool RaiseIoPrivilege() override;
    std::uint32_t PortIn32(std::uint16_t port) override;
    PhysMap MapPhysical(std::uint64_t phys, std::uint64_t len) override;
    std::uint32_t Read32(const PhysMap& m, std::uint64_t off) override;
    void Write32(const PhysMap& m, std::uint64_t off, std::uint32_t v) override;
    std::uint8_t Read8(const PhysMap& m, std::uint64_t off) override;
    void Write8(const PhysMap& m, std::uint64_t off, std::uint8_t v) override;
    int ReadPagemap(std::uint64_t fileOffset, std::uint64_t* entry) override;
    bool LockMemory(void* address, std::uint64_t length) override;
    void UnlockMemory(void* address, std::uint64_t length) override;
    std::uint64_t CpuClockMicros() override;
    void SleepMicros(int us) override;
    std::string OwnExecutablePath() override;
    unsigned EffectiveUid() override;
    void SyncFilesystems() override;
    int Reboot() override;

private:
    struct Target {
        SimMemoryRegion* region = nullptr;
        SimPciAddress function = kSimNoFunction;
        SimAccessKind readKind = SimAccessKind::UnclaimedRead;
        SimAccessKind writeKind = SimAccessKind::UnclaimedWrite;
        std::uint64_t offset = 0;
    };
    // Physical address of an access through m, false when it lies outside m.
    bool Resolve(const PhysMap& m, std::uint64_t off, unsigned width, Target* t);

    class LegacyRegion;

    std::vector<std::unique_ptr<SimPciFunction>> functions_;
    std::vector<std::shared_ptr<SimStorage>> storages_;
    std::unique_ptr<LegacyRegion> legacy_;
    bool legacyUnmappable_ = false;

    bool listingOverridden_ = false;
    bool listingUnreadable_ = false;
    std::vector<std::string> listing_;

    bool ioplFails_ = false;
    bool ioplRaised_ = false;
    unsigned ioplCalls_ = 0;
    struct Range {
        std::uint64_t first;
        std::uint64_t last;
    };
    std::vector<Range> mapFailures_;
    std::vector<Mapping> mappings_;
    unsigned failedMappings_ = 0;
    std::uint64_t strayAccesses_ = 0;
    std::map<std::uint16_t, std::uint32_t> portValues_;
    std::map<std::uint16_t, std::uint64_t> portReads_;
    std::uint64_t unprivilegedPortReads_ = 0;

    struct PagemapEntry {
        std::uint64_t entry;
        int bytes;
    };
    std::map<std::uint64_t, PagemapEntry> pagemap_;
    bool pagemapUnopenable_ = false;
    PagemapSource pagemapSource_;
    std::map<std::uintptr_t, std::uint64_t> locked_;  // start -> length
    bool lockFails_ = false;

    std::optional<unsigned> uidOverride_;
    std::optional<std::string> ownExecutable_;
    unsigned syncCount_ = 0;
    unsigned rebootCount_ = 0;

    SimClocks clocks_;
    SimAccessLog log_;
};
