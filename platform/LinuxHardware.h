// The backend for a real Linux machine: sysfs configuration files,
// /dev/mem mappings, I/O ports, the process page map and the C library's
// clock and sleep.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/HardwareBackend.h"

class LinuxHardware : public HardwareBackend {
public:
    int ConfigRead(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn,
                   std::uint32_t off, int len, void* buf) override;
    int ConfigWrite(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn,
                    std::uint32_t off, int len, const void* buf) override;
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

    // Remembers the functions among `names` (as the directory gives them);
    // a read of any other function then fails at once.
    void RememberListing(const std::vector<std::string>& names);

private:
    struct Mapping {
        volatile std::uint8_t* base;
        std::uint64_t length;
    };
    // Address of [off, off + width) inside the mapping, or null when outside.
    volatile std::uint8_t* At(const PhysMap& m, std::uint64_t off, std::uint64_t width) const;

    std::vector<Mapping> maps_;  // handle id = index + 1

    // Functions named by the last readable listing of the PCI device
    // directory. A scan reads the directory once and then probes every
    // bus/device/function; the ones not listed have no config file, so
    // their reads are answered without a system call.
    bool listed_ = false;
    std::unordered_set<std::uint32_t> present_;
    bool Absent(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn) const;
};

// Opens the configuration file of a function (flags as for open(2));
// negative on failure.
int OpenPciConfig(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn, int flags);
void ClosePciConfig(int fd);
