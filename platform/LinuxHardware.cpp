#include "platform/LinuxHardware.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define VM_HAVE_PORT_IO 1
#endif

#include "platform/COsDepend.h"

int OpenPciConfig(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn, int flags) {
    char path[64];
    PciConfigPath(path, sizeof path, seg, bus, dev, fn);
    return open(path, flags | O_CLOEXEC);
}

void ClosePciConfig(int fd) {
    if (fd >= 0) close(fd);
}

namespace {

std::uint32_t FunctionKey(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn) {
    return (std::uint32_t(seg) << 16) | (std::uint32_t(bus) << 8) | (std::uint32_t(dev & 0x1F) << 3) | (fn & 7u);
}

// "SSSS:BB:DD.F" in hexadecimal; false for anything else.
bool ParseFunctionName(const std::string& name, std::uint32_t* key) {
    unsigned seg, bus, dev, fn;
    char tail;
    if (std::sscanf(name.c_str(), "%x:%x:%x.%x%c", &seg, &bus, &dev, &fn, &tail) != 4) return false;
    if (seg > 0xFFFF || bus > 0xFF || dev > 0x1F || fn > 7) return false;
    *key = FunctionKey(std::uint16_t(seg), std::uint8_t(bus), std::uint8_t(dev), std::uint8_t(fn));
    return true;
}

}  // namespace

void LinuxHardware::RememberListing(const std::vector<std::string>& names) {
    present_.clear();
    for (const std::string& name : names) {
        std::uint32_t key;
        if (ParseFunctionName(name, &key)) present_.insert(key);
    }
    listed_ = true;
}

bool LinuxHardware::Absent(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn) const {
    return listed_ && present_.count(FunctionKey(seg, bus, dev, fn)) == 0;
}

int LinuxHardware::ConfigRead(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn,
                              std::uint32_t off, int len, void* buf) {
    if (Absent(seg, bus, dev, fn)) return -1;
    int fd = OpenPciConfig(seg, bus, dev, fn, O_RDONLY);
    if (fd < 0) return -1;
    ssize_t n = len > 0 ? pread(fd, buf, static_cast<size_t>(len), off) : 0;
    ClosePciConfig(fd);
    return n < 0 ? 0 : static_cast<int>(n);
}

int LinuxHardware::ConfigWrite(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn,
                               std::uint32_t off, int len, const void* buf) {
    int fd = OpenPciConfig(seg, bus, dev, fn, O_WRONLY);
    if (fd < 0) return -1;
    ssize_t n = len > 0 ? pwrite(fd, buf, static_cast<size_t>(len), off) : 0;
    ClosePciConfig(fd);
    return n < 0 ? 0 : static_cast<int>(n);
}

bool LinuxHardware::ListPciDevices(std::vector<std::string>& names) {
    DIR* dir = opendir(PciDevicesDirectory().c_str());
    if (!dir) {
        // Without a listing every function is asked again.
        listed_ = false;
        present_.clear();
        return false;
    }
    while (dirent* e = readdir(dir)) names.emplace_back(e->d_name);
    closedir(dir);
    RememberListing(names);
    return true;
}

bool LinuxHardware::ReadPciResource(const std::string& deviceName, std::string& text) {
    // A name, not a path: nothing outside the device directory.
    if (deviceName.empty() || deviceName.find('/') != std::string::npos || deviceName[0] == '.') return false;
    const std::string path = PciDevicesDirectory() + deviceName + "/resource";
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    text.clear();
    char chunk[1024];
    ssize_t n;
    // The listing is a few hundred bytes; a bound keeps a strange file harmless.
    while (text.size() < 65536 && (n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, std::size_t(n));
    close(fd);
    return true;
}

bool LinuxHardware::RaiseIoPrivilege() {
#ifdef VM_HAVE_PORT_IO
    return iopl(3) == 0;
#else
    return false;
#endif
}

std::uint32_t LinuxHardware::PortIn32(std::uint16_t port) {
#ifdef VM_HAVE_PORT_IO
    return inl(port);
#else
    (void)port;
    return 0xFFFFFFFF;
#endif
}

PhysMap LinuxHardware::MapPhysical(std::uint64_t phys, std::uint64_t len) {
    if (len == 0) return {};
    int fd = open("/dev/mem", O_RDWR | O_SYNC | O_CLOEXEC);
    if (fd < 0) return {};
    // mmap wants a page-aligned offset; keep the caller's address at offset 0.
    const std::uint64_t page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const std::uint64_t lead = phys % page;
    void* p = mmap(nullptr, len + lead, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                   static_cast<off_t>(phys - lead));
    close(fd);
    if (p == MAP_FAILED) return {};
    maps_.push_back({static_cast<volatile std::uint8_t*>(p) + lead, len});
    return PhysMap{maps_.size(), len};
}

volatile std::uint8_t* LinuxHardware::At(const PhysMap& m, std::uint64_t off, std::uint64_t width) const {
    if (m.id == 0 || m.id > maps_.size()) return nullptr;
    const Mapping& map = maps_[m.id - 1];
    if (off > map.length || map.length - off < width) return nullptr;
    return map.base + off;
}

std::uint32_t LinuxHardware::Read32(const PhysMap& m, std::uint64_t off) {
    auto* p = At(m, off & ~3ULL, 4);
    return p ? *reinterpret_cast<volatile std::uint32_t*>(p) : 0xFFFFFFFF;
}

void LinuxHardware::Write32(const PhysMap& m, std::uint64_t off, std::uint32_t v) {
    if (auto* p = At(m, off & ~3ULL, 4)) *reinterpret_cast<volatile std::uint32_t*>(p) = v;
}

std::uint8_t LinuxHardware::Read8(const PhysMap& m, std::uint64_t off) {
    auto* p = At(m, off, 1);
    return p ? *p : 0xFF;
}

void LinuxHardware::Write8(const PhysMap& m, std::uint64_t off, std::uint8_t v) {
    if (auto* p = At(m, off, 1)) *p = v;
}

int LinuxHardware::ReadPagemap(std::uint64_t fileOffset, std::uint64_t* entry) {
    int fd = open("/proc/self/pagemap", O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t n = pread(fd, entry, sizeof *entry, static_cast<off_t>(fileOffset));
    close(fd);
    return n < 0 ? -2 : static_cast<int>(n);
}

bool LinuxHardware::LockMemory(void* address, std::uint64_t length) {
    return mlock(address, static_cast<std::size_t>(length)) == 0;
}

void LinuxHardware::UnlockMemory(void* address, std::uint64_t length) {
    munlock(address, static_cast<std::size_t>(length));
}

std::uint64_t LinuxHardware::CpuClockMicros() {
    std::clock_t c = std::clock();
    if (c == static_cast<std::clock_t>(-1)) return 0;
    return static_cast<std::uint64_t>(c) * 1000000ULL / CLOCKS_PER_SEC;
}

void LinuxHardware::SleepMicros(int us) {
    if (us > 0) usleep(static_cast<useconds_t>(us));
}

// The kernel's link to the file this process runs: argv[0] may name
// nothing (started through PATH) or another file of the same name in the
// working directory.
std::string LinuxHardware::OwnExecutablePath() { return "/proc/self/exe"; }

unsigned LinuxHardware::EffectiveUid() { return geteuid(); }

void LinuxHardware::SyncFilesystems() { sync(); }

int LinuxHardware::Reboot() { return reboot(RB_AUTOBOOT); }
