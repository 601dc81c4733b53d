// Platform class: trace log, text tokenizer, time, register and ROM
// apertures, PCI configuration space and device mapping.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/HardwareBackend.h"

// Bus-filter switches handed to MapDevice (a struct, so the argument order
// cannot be mixed up).
struct BusFilter {
    int noPci = 0;
    int noAgp = 0;
    int noPcie = 0;
    int pciOnly = 0;
    int pci = 0;
    int agp = 0;
    int pcie = 0;
};

class COsDepend {
public:
    COsDepend(const char* logFile, std::uint32_t logLevel);
    virtual ~COsDepend();
    COsDepend(const COsDepend&) = delete;
    COsDepend& operator=(const COsDepend&) = delete;

    // Trace log.
    virtual std::uint16_t SetLogMode(std::uint16_t mode);
    virtual std::uint32_t SetLogLevel(std::uint32_t level);
    virtual void SetLogFile(const char* path);
    virtual int Log(std::uint32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // True when a message of this level would be written: callers that
    // build a trace line first ask, so a silent trace costs nothing.
    bool LogEnabled(std::uint32_t level) const;
    virtual void FlushLog(std::uint32_t);

    // Time.
    virtual void Sleep(int microseconds);
    virtual void Delay(int microseconds);
    // Processor time used so far, for progress estimates.
    static std::uint64_t ProcessorMicros();

    // Tokenizer.
    virtual char* ReadToken(FILE* f);
    virtual int ReadWord(FILE* f, char* buffer, int size);
    virtual std::int16_t SkipLine(FILE* f);

    // PCI configuration space (little-endian values; all ones on failure).
    virtual std::uint8_t ReadPciConfigByte(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off);
    virtual std::uint16_t ReadPciConfigWord(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off);
    virtual std::uint32_t ReadPciConfigDword(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off);
    virtual int WritePciConfigByte(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off, std::uint8_t v);
    virtual int WritePciConfigWord(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off, std::uint16_t v);
    virtual int WritePciConfigDword(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off, std::uint32_t v);

    // Shared memory and physical addresses.
    virtual void* AllocSharedMemory(std::uint64_t size);
    virtual std::uint64_t GetPhysicalAddress(void* address);
    virtual long GetPageSize();
    virtual int FreeSharedMemory(void* address, std::uint64_t size);
    // Keeps shared memory resident while a device works on it by its
    // physical addresses.
    bool LockSharedMemory(void* address, std::uint64_t size);
    void UnlockSharedMemory(void* address, std::uint64_t size);

    // Device mapping: open flag 1 maps the function, anything else closes.
    virtual int MapDevice(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, int open, const BusFilter& filter);
    virtual std::uint8_t FindPciCapability(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn,
                                           const std::uint8_t* ids, std::uint8_t count, std::uint8_t nth);

    // Register aperture (32-bit registers, byte offsets).
    virtual std::uint32_t ReadRegister(std::uint32_t offset);
    virtual void WriteRegister(std::uint32_t offset, std::uint32_t value);
    virtual std::uint32_t ReadRegisterDirect(std::uint32_t offset);
    virtual void WriteRegisterDirect(std::uint32_t offset, std::uint32_t value);

    // ROM aperture.
    virtual int IsRomMapped();
    virtual int ReadRomByte(std::uint32_t offset);
    virtual void ReadRom(std::uint32_t offset, std::uint8_t* buffer, int length);
    virtual void WriteRomByte(std::uint32_t offset, std::uint8_t value);
    virtual void WriteRom(std::uint32_t offset, const std::uint8_t* data, int length);
    // Bytes of the ROM window that reach the ROM: the mapping, as long as the
    // ROM BAR decodes (at most 256 KiB). 0 without one.
    std::uint32_t RomWindowSize() const;

    virtual std::uint32_t IoDelay();
    virtual void StartTimeout(std::uint32_t seconds);
    virtual int IsTimedOut();
    // A time limit of its own, for a wait that may run inside another one:
    // returns the deadline to hand to IsTimedOut.
    std::uint64_t StartTimeoutMicros(std::uint64_t microseconds);
    int IsTimedOut(std::uint64_t until);
    virtual void ReadLegacyRom(std::uint32_t offset, std::uint8_t* buffer, int length);
    virtual int GetPciSegments(int highest, std::vector<int>& list);

    void SetIndirectRegisterPair(std::uint32_t indexRegister, std::uint32_t dataRegister);
    std::uint32_t ReadIndirectRegister(std::uint32_t reg);
    void WriteIndirectRegister(std::uint32_t reg, std::uint32_t value);

    // Characters that end a token besides white space.
    void SetDelimiters(const char* delimiters);
    const char* GetDelimiters() const { return delimiters; }

    // Files of the user. Both open without blocking, so a FIFO, a terminal
    // or a device cannot stall the program.
    // An input file (image, checksum file, type table, modify file, package
    // configuration and its infiles) for reading; null unless it is a
    // regular file that could be opened, so anything else reads as absent.
    static FILE* OpenInputFile(const char* path);
    // An output file for writing ("w" truncates, append adds at the end);
    // null when it cannot be opened at once.
    static FILE* OpenOutputFile(const char* path, bool append);
    // True when the open stream is a regular file (not a device or FIFO).
    static bool IsRegularFile(FILE* file);
    // The running program's own file, for reading; null when it cannot be
    // opened.
    static FILE* OpenOwnExecutable();

protected:
    int VLog(std::uint32_t level, const char* format, va_list args);

    std::uint32_t indirectIndexRegister = 0;
    std::uint32_t indirectDataRegister = 0;
    std::vector<int> pciSegments;
    std::uint16_t logMode = 0;
    std::uint32_t logLevel = 0;
    char logFile[256] = {};
    char tokenBuffer[128] = {};
    bool deviceOpen = false;
    std::uint16_t openSegment = 0xFFFF;
    std::uint8_t openBus = 0xFF;
    std::uint8_t openDevfn = 0xFF;
    std::uint8_t movedBarRegister = 0;
    std::uint32_t savedRomBar = 0xFFFFFFFF;
    std::uint16_t savedCommand = 0xFFFF;
    PhysMap registerMap;
    // kRomUnmapped, kRomNoBar (reads give 0xFF), or the ROM BAR value mapped.
    static constexpr std::uintptr_t kRomUnmapped = 0;
    static constexpr std::uintptr_t kRomNoBar = 1;
    std::uintptr_t romState = kRomUnmapped;
    std::uint64_t savedFrameBufferBar = ~0ULL;
    PhysMap romMap;
    // Backend that holds the open device and its mappings; when another
    // backend has been installed since, they are treated as gone.
    HardwareBackend* deviceBackend = nullptr;
    PhysMap legacyMap;
    HardwareBackend* legacyBackend = nullptr;  // backend legacyMap was tried on
    std::uint64_t deadline = 0;
    char delimiters[8] = {};

    // Set by the engine: it makes this object subject to the post-write read
    // quirk and picks the register window size from its selected device.
    bool isEngine = false;
    std::uint16_t quirkDeviceId = 0xFFFF;
    std::uint8_t quirkRevision = 0xFF;

    void SetEngineDevice(std::uint16_t deviceId, std::uint8_t revision) {
        isEngine = true;
        quirkDeviceId = deviceId;
        quirkRevision = revision;
    }

private:
    int CloseDevice();
    bool ApertureLive(const PhysMap& m) const;
    // Steps of MapDevice.
    bool BusFilterAllows(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, const BusFilter& filter);
    PhysMap MapRegisterBar(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint64_t window);
    void EnableMemoryDecode(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn);
    std::uint8_t FindFrameBufferBar(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn);
    void DecodeRomAtFrameBuffer(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn);
    void MapRomBar(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn);
    // Size of the ROM BAR holding `rom`; 0 when it will not tell.
    std::uint64_t RomBarSize(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint32_t rom);
};

// Process-wide logger (silent unless a level is set).
std::uint32_t SetGlobalLogLevel(std::uint32_t level);
void SetGlobalLogFile(const char* path);
int GlobalLog(std::uint32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));
int GlobalLogV(std::uint32_t level, const char* format, va_list args);
bool GlobalLogEnabled(std::uint32_t level);
void GlobalLogFlush();
void SleepMicroseconds(int us);

// Free configuration-space functions.
int ReadPciConfig(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn, void* buffer, int length, std::uint32_t offset);
int WritePciConfig(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn, const void* data, int length, std::uint32_t offset);
int ReadPciConfig8(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off, std::uint8_t* out);
int ReadPciConfig16(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off, std::uint16_t* out);
int ReadPciConfig32(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off, std::uint32_t* out);
int WritePciConfig8(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off, std::uint8_t v);
int WritePciConfig16(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off, std::uint16_t v);
int WritePciConfig32(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off, std::uint32_t v);
// Formats "/sys/bus/pci/devices/%04x:%02x:%02x.%d/config" into out (64 bytes).
void PciConfigPath(char* out, std::size_t size, std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn);

// The PCI device directory, "/sys/bus/pci/devices/": one process-wide
// string, built on first use by InitOsDependStatics.
const std::string& PciDevicesDirectory();
// Start and size of resource `line` (0-5 the BARs, 6 the expansion ROM) of
// the function named as in the device directory: 1 when both its start and
// end are non-zero, else 0.
int ReadSysfsResource(const char* deviceName, int line, std::uint64_t* start, std::uint64_t* size);
// Resource of function 0 of bus:device on segment 0, when it is a display
// adapter of the vendor (0x1002, or 0x1022): type 0 the first BAR, 1 the
// sixth, 2 the fifth, 3 the expansion ROM. 1 on success, else 0.
int GetPciResource(std::uint8_t bus, std::uint8_t device, int type, std::uint64_t* start, std::uint64_t* size);

PhysMap MapPhysicalMemory(std::uint64_t phys, std::uint64_t length);
void UnmapPhysicalMemory(const PhysMap&);
bool NeedsLargeRegisterWindow(std::uint16_t deviceId, std::uint8_t revision);
bool IsNoRomBarDevice(std::uint16_t deviceId);
bool IsPostWriteReadDevice(std::uint16_t deviceId);
