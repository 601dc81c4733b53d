// A small in-memory backend for the platform unit tests: plain config
// bytes, plain memory behind each mapping, an access log, a port counter
// and a CPU clock that advances on every read of it.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/COsDepend.h"
#include "platform/HardwareBackend.h"

class FakeHardware : public HardwareBackend {
public:
    struct Access {
        char op;  // 'R' / 'W' register dword, 'r' / 'w' byte
        std::uint64_t phys;
        std::uint32_t value;
        bool operator==(const Access&) const = default;
    };
    struct Region {
        std::uint64_t phys;
        std::vector<std::uint8_t> bytes;
    };

    static std::uint32_t Key(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn) {
        return std::uint32_t(seg) << 16 | std::uint32_t(bus) << 8 | devfn;
    }
    std::array<std::uint8_t, 256>& Dev(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn) {
        return config[Key(seg, bus, devfn)];
    }
    void Set32(std::array<std::uint8_t, 256>& d, int off, std::uint32_t v) { std::memcpy(&d[off], &v, 4); }

    int ConfigRead(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn, std::uint32_t off,
                   int len, void* buf) override {
        lastConfig = {seg, bus, dev, fn};
        auto it = config.find(Key(seg, bus, std::uint8_t(dev << 3 | fn)));
        if (it == config.end()) return -1;
        int n = off >= 256 ? 0 : std::min<int>(len, 256 - int(off));
        std::memcpy(buf, &it->second[off], n);
        return n;
    }
    int ConfigWrite(std::uint16_t seg, std::uint8_t bus, std::uint8_t dev, std::uint8_t fn, std::uint32_t off,
                    int len, const void* buf) override {
        ++configWrites;
        auto it = config.find(Key(seg, bus, std::uint8_t(dev << 3 | fn)));
        if (it == config.end()) return -1;
        int n = off >= 256 ? 0 : std::min<int>(len, 256 - int(off));
        const auto* bytes = static_cast<const std::uint8_t*>(buf);
        for (int i = 0; i < n; ++i) {
            const std::uint32_t at = off + std::uint32_t(i);
            // The ROM BAR keeps only its address bits above its size and the enable bit.
            const std::uint8_t mask = at >= 0x30 && at < 0x34 ? std::uint8_t(romBarMask >> (8 * (at - 0x30))) : 0xFF;
            it->second[at] = std::uint8_t((it->second[at] & ~mask) | (bytes[i] & mask));
        }
        return n;
    }
    bool ListPciDevices(std::vector<std::string>& names) override {
        names = listing;
        return listingReadable;
    }
    bool RaiseIoPrivilege() override { return ioplOk; }
    std::uint32_t PortIn32(std::uint16_t port) override {
        ports.push_back(port);
        return 0x12345678;
    }
    PhysMap MapPhysical(std::uint64_t phys, std::uint64_t len) override {
        mapRequests.push_back({phys, len});
        if (failMap.count(phys)) return {};
        regions.push_back({phys, std::vector<std::uint8_t>(len, 0)});
        return {regions.size(), len};
    }
    std::uint8_t* At(const PhysMap& m, std::uint64_t off) { return &regions.at(m.id - 1).bytes.at(off); }
    std::uint32_t Read32(const PhysMap& m, std::uint64_t off) override {
        std::uint32_t v;
        std::memcpy(&v, At(m, off), 4);
        log.push_back({'R', regions[m.id - 1].phys + off, v});
        return v;
    }
    void Write32(const PhysMap& m, std::uint64_t off, std::uint32_t v) override {
        std::memcpy(At(m, off), &v, 4);
        log.push_back({'W', regions[m.id - 1].phys + off, v});
    }
    std::uint8_t Read8(const PhysMap& m, std::uint64_t off) override {
        log.push_back({'r', regions[m.id - 1].phys + off, *At(m, off)});
        return *At(m, off);
    }
    void Write8(const PhysMap& m, std::uint64_t off, std::uint8_t v) override {
        *At(m, off) = v;
        log.push_back({'w', regions[m.id - 1].phys + off, v});
    }
    int ReadPagemap(std::uint64_t fileOffset, std::uint64_t* entry) override {
        pagemapOffset = fileOffset;
        *entry = pagemapEntry;
        return pagemapResult;
    }
    std::uint64_t CpuClockMicros() override { return cpu += cpuStep; }
    void SleepMicros(int us) override { slept += std::uint64_t(us); }
    unsigned EffectiveUid() override { return 0; }
    void SyncFilesystems() override {}
    int Reboot() override { return 0; }

    std::map<std::uint32_t, std::array<std::uint8_t, 256>> config;
    std::array<int, 4> lastConfig{};
    int configWrites = 0;
    std::uint32_t romBarMask = 0xFFF80001;  // a 512 KiB ROM BAR
    std::vector<std::string> listing;
    bool listingReadable = true;
    bool ioplOk = true;
    std::vector<std::uint16_t> ports;
    std::set<std::uint64_t> failMap;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> mapRequests;
    std::vector<Region> regions;
    std::vector<Access> log;
    std::uint64_t pagemapEntry = 0, pagemapOffset = 0;
    int pagemapResult = 8;
    std::uint64_t cpu = 0, cpuStep = 1000, slept = 0;
};

// An engine-like object: subject to the write quirk and the window choice.
class EngineOs : public COsDepend {
public:
    EngineOs(std::uint16_t id, std::uint8_t rev) : COsDepend(nullptr, 0) { SetEngineDevice(id, rev); }
};
