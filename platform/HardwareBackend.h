// The one seam between the program and the machine's hardware interfaces.
// Everything above it (COsDepend and up) keeps its own logic and reaches
// PCI configuration space, physical memory, I/O ports, clocks and the
// restart call only through the process-wide backend returned by Hw().
#pragma once

#include <cstdint>
#include <string>
#include <vector>


// Opaque handle of a physical-memory mapping. Mappings are never released.
struct PhysMap {
    std::uint64_t id = 0;      // 0 = invalid
    std::uint64_t length = 0;  // bytes mapped
    bool Valid() const { return id != 0; }
};

class HardwareBackend {
public:
    virtual ~HardwareBackend() = default;

    // PCI configuration space of segment:bus:dev.fn. Returns the number of
    // bytes transferred, or -1 when the function's config file cannot be opened.
    virtual int ConfigRead(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn,
                           std::uint32_t off, int len, void* buf) = 0;
    virtual int ConfigWrite(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn,
                            std::uint32_t off, int len, const void* buf) = 0;
    // Names of the entries of the PCI device directory, in directory order
    // ("." and ".." included where the directory gives them). False when the
    // directory cannot be read.
    virtual bool ListPciDevices(std::vector<std::string>& names) = 0;
    // Text of the resource listing of the function named as in that
    // directory ("0000:01:00.0"): one line per resource, "0xSTART 0xEND
    // 0xFLAGS" (END inclusive, all zero when unused), the six BARs first
    // and the expansion ROM seventh. False when there is none.
    virtual bool ReadPciResource(const std::string& deviceName, std::string& text) {
        (void)deviceName;
        (void)text;
        return false;
    }

    virtual bool RaiseIoPrivilege() = 0;
    virtual std::uint32_t PortIn32(std::uint16_t port) = 0;

    virtual PhysMap MapPhysical(std::uint64_t phys, std::uint64_t len) = 0;
    virtual std::uint32_t Read32(const PhysMap& m, std::uint64_t off) = 0;
    virtual void Write32(const PhysMap& m, std::uint64_t off, std::uint32_t v) = 0;
    virtual std::uint8_t Read8(const PhysMap& m, std::uint64_t off) = 0;
    virtual void Write8(const PhysMap& m, std::uint64_t off, std::uint8_t v) = 0;

    // Entry of the process's page map at the given file offset.
    // Returns bytes read (8 on success), -1 when the file cannot be opened,
    // -2 when the read fails.
    virtual int ReadPagemap(std::uint64_t fileOffset, std::uint64_t* entry) = 0;

    // Keeps [address, address + length) of process memory resident, so a
    // physical address handed to a device stays valid; false on failure.
    // Backends without paging have nothing to do.
    virtual bool LockMemory(void* address, std::uint64_t length) {
        (void)address;
        (void)length;
        return true;
    }
    virtual void UnlockMemory(void* address, std::uint64_t length) {
        (void)address;
        (void)length;
    }

    // Process CPU time in microseconds (the C library clock()).
    virtual std::uint64_t CpuClockMicros() = 0;
    virtual void SleepMicros(int us) = 0;

    // A path that opens the running program's own executable file, whatever
    // the working directory and however the program was started. Empty
    // when the backend has none.
    virtual std::string OwnExecutablePath() { return {}; }

    virtual unsigned EffectiveUid() = 0;
    virtual void SyncFilesystems() = 0;
    virtual int Reboot() = 0;
};

// The backend in use. LinuxHardware unless another was installed.
HardwareBackend& Hw();
// Installs a backend (not owned); nullptr restores the Linux backend.
void InstallHardware(HardwareBackend* backend);

// Scoped installation, for tests.
class ScopedHardware {
public:
    explicit ScopedHardware(HardwareBackend& b) : previous_(&Hw()) { InstallHardware(&b); }
    ~ScopedHardware() { InstallHardware(previous_); }
    ScopedHardware(const ScopedHardware&) = delete;
    ScopedHardware& operator=(const ScopedHardware&) = delete;
private:
    HardwareBackend* previous_;
};

