#include "platform/COsDepend.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "platform/Bytes.h"

namespace {

std::uint32_t g_globalLogLevel = 0;
char g_globalLogFile[256] = {};

void CopyPath(char (&dst)[256], const char* src) { CopyBounded(dst, sizeof dst, src); }

// Opens the trace file for one message and closes it again, so the file is
// complete whenever the process stops. An unopenable file falls back to
// standard output.
int WriteLogMessage(const char* path, const char* format, va_list args) {
    FILE* out = path[0] ? COsDepend::OpenOutputFile(path, true) : nullptr;
    if (!out) out = stdout;
    int n = std::vfprintf(out, format, args);
    std::fflush(out);
    if (out != stdout) std::fclose(out);
    return n < 0 ? 0 : n;
}

constexpr std::uint32_t kLegacyRomBase = 0xC0000;
constexpr std::uint64_t kLegacyRomLength = 0x20000;
constexpr std::uint16_t kDelayPort = 0x3B4;
constexpr std::uint32_t kPostWriteReadRegister = 0x8B0;

}  // namespace

// ---------------------------------------------------------------------------
// Process-wide logger

std::uint32_t SetGlobalLogLevel(std::uint32_t level) {
    std::uint32_t previous = g_globalLogLevel;
    g_globalLogLevel = level;
    return previous;
}

void SetGlobalLogFile(const char* path) { CopyPath(g_globalLogFile, path); }

bool GlobalLogEnabled(std::uint32_t level) { return g_globalLogLevel != 0 && level <= g_globalLogLevel; }

int GlobalLogV(std::uint32_t level, const char* format, va_list args) {
    if (!GlobalLogEnabled(level)) return 0;
    return WriteLogMessage(g_globalLogFile, format, args);
}

int GlobalLog(std::uint32_t level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = GlobalLogV(level, format, args);
    va_end(args);
    return n;
}

void GlobalLogFlush() {}

void SleepMicroseconds(int us) { Hw().SleepMicros(us); }

// ---------------------------------------------------------------------------
// Construction

COsDepend::COsDepend(const char* file, std::uint32_t level) : logLevel(level) {
    CopyPath(logFile, file);
}

COsDepend::~COsDepend() { CloseDevice(); }

// ---------------------------------------------------------------------------
// Trace log

std::uint16_t COsDepend::SetLogMode(std::uint16_t mode) {
    std::uint16_t previous = logMode;
    logMode = mode;
    return previous;
}

std::uint32_t COsDepend::SetLogLevel(std::uint32_t level) {
    std::uint32_t previous = logLevel;
    logLevel = level;
    return previous;
}

void COsDepend::SetLogFile(const char* path) { CopyPath(logFile, path); }

bool COsDepend::LogEnabled(std::uint32_t level) const {
    if (logMode == 1) return GlobalLogEnabled(level);
    return logLevel != 0 && level <= logLevel;
}

int COsDepend::VLog(std::uint32_t level, const char* format, va_list args) {
    if (logMode == 1) return GlobalLogV(level, format, args);
    if (!LogEnabled(level)) return 0;
    return WriteLogMessage(logFile, format, args);
}

int COsDepend::Log(std::uint32_t level, const char* format, ...) {
    if (!LogEnabled(level)) return 0;
    va_list args;
    va_start(args, format);
    int n = VLog(level, format, args);
    va_end(args);
    return n;
}

void COsDepend::FlushLog(std::uint32_t) {
    if (logMode == 1) GlobalLogFlush();
}

// ---------------------------------------------------------------------------
// Time

void COsDepend::Sleep(int microseconds) { SleepMicroseconds(microseconds); }

void COsDepend::Delay(int) {}

std::uint64_t COsDepend::ProcessorMicros() { return Hw().CpuClockMicros(); }

void COsDepend::StartTimeout(std::uint32_t seconds) {
    deadline = StartTimeoutMicros(static_cast<std::uint64_t>(seconds) * 1000000ULL);
}

int COsDepend::IsTimedOut() { return IsTimedOut(deadline); }

std::uint64_t COsDepend::StartTimeoutMicros(std::uint64_t microseconds) {
    return Hw().CpuClockMicros() + microseconds;
}

int COsDepend::IsTimedOut(std::uint64_t until) { return Hw().CpuClockMicros() > until ? 1 : 0; }

// ---------------------------------------------------------------------------
// Tokenizer

void COsDepend::SetDelimiters(const char* chars) {
    CopyBounded(delimiters, sizeof delimiters, chars);
}

int COsDepend::ReadWord(FILE* f, char* buffer, int size) {
    if (size <= 0 || !f || !buffer) return 0;
    auto isDelimiter = [this](int c) { return c != 0 && std::strchr(delimiters, c) != nullptr; };

    int c;
    for (;;) {
        c = std::fgetc(f);
        if (c == EOF) return 0;
        if (c == '\n') {
            // The newline belongs to SkipLine.
            std::ungetc(c, f);
            return 0;
        }
        if (!isDelimiter(c) && !std::isspace(c)) break;
    }

    int n = 0;
    auto store = [&](int ch) {
        if (n < size - 1) buffer[n++] = static_cast<char>(ch);
    };
    if (c == '"') {
        for (;;) {
            c = std::fgetc(f);
            if (c == EOF || c == '"') break;
            if (c == '\n') {
                std::ungetc(c, f);
                break;
            }
            store(c);
        }
    } else {
        store(c);
        for (;;) {
            c = std::fgetc(f);
            if (c == EOF) break;
            if (c == '\n') {
                std::ungetc(c, f);
                break;
            }
            if (std::isspace(c) || isDelimiter(c)) break;
            store(c);
        }
    }
    buffer[n] = '\0';
    Log(1, "%s ", buffer);
    return n;
}

char* COsDepend::ReadToken(FILE* f) {
    return ReadWord(f, tokenBuffer, static_cast<int>(sizeof tokenBuffer)) ? tokenBuffer : nullptr;
}

std::int16_t COsDepend::SkipLine(FILE* f) {
    if (!f) return 0;
    for (;;) {
        int c = std::fgetc(f);
        if (c == EOF) return 0;
        if (c == '\n') {
            Log(1, "\n");
            return 1;
        }
    }
}

// ---------------------------------------------------------------------------
// Register aperture

bool COsDepend::ApertureLive(const PhysMap& m) const {
    return m.Valid() && deviceBackend == &Hw();
}

std::uint32_t COsDepend::ReadRegister(std::uint32_t offset) {
    const std::uint64_t at = offset & ~3U;
    if (!ApertureLive(registerMap) || at + 4 > registerMap.length) return 0xFFFFFFFF;
    return Hw().Read32(registerMap, at);
}

std::uint32_t COsDepend::ReadRegisterDirect(std::uint32_t offset) { return COsDepend::ReadRegister(offset); }

void COsDepend::WriteRegisterDirect(std::uint32_t offset, std::uint32_t value) {
    const std::uint64_t at = offset & ~3U;
    if (!ApertureLive(registerMap) || at + 4 > registerMap.length) return;
    Hw().Write32(registerMap, at, value);
}

void COsDepend::WriteRegister(std::uint32_t offset, std::uint32_t value) {
    COsDepend::WriteRegisterDirect(offset, value);
    // These chips need a read to complete each register write.
    if (isEngine && IsPostWriteReadDevice(quirkDeviceId)) (void)ReadRegister(kPostWriteReadRegister);
}

void COsDepend::SetIndirectRegisterPair(std::uint32_t indexRegister, std::uint32_t dataRegister) {
    indirectIndexRegister = indexRegister;
    indirectDataRegister = dataRegister;
}

std::uint32_t COsDepend::ReadIndirectRegister(std::uint32_t reg) {
    WriteRegister(indirectIndexRegister, reg);
    return ReadRegister(indirectDataRegister);
}

void COsDepend::WriteIndirectRegister(std::uint32_t reg, std::uint32_t value) {
    WriteRegister(indirectIndexRegister, reg);
    WriteRegister(indirectDataRegister, value);
}

// ---------------------------------------------------------------------------
// ROM aperture. A function without a ROM BAR has no window: reads give 0xFF.

int COsDepend::IsRomMapped() { return romState != kRomUnmapped ? 1 : 0; }

std::uint32_t COsDepend::RomWindowSize() const {
    if (romState <= kRomNoBar || !ApertureLive(romMap)) return 0;
    return static_cast<std::uint32_t>(romMap.length);
}

int COsDepend::ReadRomByte(std::uint32_t offset) {
    if (romState == kRomUnmapped) return -1;
    if (romState == kRomNoBar || !ApertureLive(romMap) || offset >= romMap.length) return 0xFF;
    return Hw().Read8(romMap, offset);
}

void COsDepend::ReadRom(std::uint32_t offset, std::uint8_t* buffer, int length) {
    if (romState == kRomUnmapped || !buffer) return;
    const bool live = romState != kRomNoBar && ApertureLive(romMap);
    for (int i = 0; i < length; ++i) {
        const std::uint64_t at = static_cast<std::uint64_t>(offset) + static_cast<std::uint64_t>(i);
        buffer[i] = live && at < romMap.length ? Hw().Read8(romMap, at) : 0xFF;
    }
}

void COsDepend::WriteRomByte(std::uint32_t offset, std::uint8_t value) {
    if (romState <= kRomNoBar || !ApertureLive(romMap) || offset >= romMap.length) return;
    Hw().Write8(romMap, offset, value);
}

void COsDepend::WriteRom(std::uint32_t offset, const std::uint8_t* data, int length) {
    if (romState <= kRomNoBar || !data || !ApertureLive(romMap)) return;
    for (int i = 0; i < length; ++i) {
        const std::uint64_t at = static_cast<std::uint64_t>(offset) + static_cast<std::uint64_t>(i);
        if (at >= romMap.length) return;
        Hw().Write8(romMap, at, data[i]);
    }
}

// ---------------------------------------------------------------------------
// I/O delay and legacy video BIOS

std::uint32_t COsDepend::IoDelay() { return Hw().PortIn32(kDelayPort); }

void COsDepend::ReadLegacyRom(std::uint32_t offset, std::uint8_t* buffer, int length) {
    if (!buffer) return;
    if (legacyBackend != &Hw()) {
        legacyBackend = &Hw();
        legacyMap = MapPhysicalMemory(kLegacyRomBase, kLegacyRomLength);
    }
    for (int i = 0; i < length; ++i) {
        const std::uint64_t at = static_cast<std::uint64_t>(offset) + static_cast<std::uint64_t>(i);
        buffer[i] = legacyMap.Valid() && at < legacyMap.length ? Hw().Read8(legacyMap, at) : 0xFF;
    }
}

// ---------------------------------------------------------------------------
// Shared memory and physical addresses

long COsDepend::GetPageSize() { return sysconf(_SC_PAGESIZE); }

namespace {

// Size rounded up to whole pages; 0 when it cannot be expressed.
std::uint64_t PageMultiple(std::uint64_t size, long page) {
    const std::uint64_t p = page > 0 ? static_cast<std::uint64_t>(page) : 4096;
    if (size > ~0ULL - (p - 1)) return 0;
    return (size + p - 1) / p * p;
}

}  // namespace

void* COsDepend::AllocSharedMemory(std::uint64_t size) {
    const std::uint64_t length = PageMultiple(size, GetPageSize());
    void* p = length ? mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0)
                     : MAP_FAILED;
    if (p == MAP_FAILED) {
        std::printf("Allocate shaed memory failed!\n");
        return nullptr;
    }
    return p;
}

int COsDepend::FreeSharedMemory(void* address, std::uint64_t size) {
    return munmap(address, PageMultiple(size, GetPageSize()));
}

bool COsDepend::LockSharedMemory(void* address, std::uint64_t size) {
    return Hw().LockMemory(address, PageMultiple(size, GetPageSize()));
}

void COsDepend::UnlockSharedMemory(void* address, std::uint64_t size) {
    Hw().UnlockMemory(address, PageMultiple(size, GetPageSize()));
}

std::uint64_t COsDepend::GetPhysicalAddress(void* address) {
    const long pageSize = GetPageSize();
    const std::uint64_t page = pageSize > 0 ? static_cast<std::uint64_t>(pageSize) : 4096;
    const std::uint64_t virt = reinterpret_cast<std::uintptr_t>(address);
    const std::uint64_t fileOffset = virt / page * 8;

    std::uint64_t entry = 0;
    int n = Hw().ReadPagemap(fileOffset, &entry);
    if (n == -1) {
        std::printf("can not open proc self page\n");
        return 0;
    }
    if (n < 0) {
        std::printf("error reading proc self page\n");
        return 0;
    }
    if (n < 8) {
        std::printf("error reading from offset %ld of proc self page : expected to read %ld bytes but only %ld read\n",
                    static_cast<long>(fileOffset), 8L, static_cast<long>(n));
        return 0;
    }
    // Bit 63: page present; bits 0-54: frame number (reads as 0 when the
    // kernel hides it from us).
    const std::uint64_t frame = entry & ((1ULL << 55) - 1);
    if (!(entry >> 63) || frame == 0) return 0;
    return frame * page + virt % page;
}
