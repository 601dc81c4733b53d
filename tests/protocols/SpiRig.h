// A simulated machine with one SPI flash board, and an engine object mapped
// onto it, for the SPI engine tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/CFlash.h"
#include "platform/HardwareBackend.h"
#include "sim/SimHardware.h"
#include "sim/SimSpiBoard.h"

// An engine that maps a function directly (no detection), as SelectDevice
// would after a match.
class SpiTestFlash : public CFlash {
public:
    SpiTestFlash() : CFlash(nullptr, 0) {}
    bool Map(const SimPciFunction& f) {
        SetEngineDevice(f.DeviceId(), std::uint8_t(f.ConfigValue(0x08, 1)));
        const SimPciAddress& a = f.Address();
        return MapDevice(a.seg, a.bus, a.Devfn(), 1, BusFilter{}) == 1;
    }
};

class SpiRig {
public:
    explicit SpiRig(SimSpiBoardKind kind, const std::string& part = "M25P10", SimSpiBoardOptions o = {})
        : scope(hw) {
        o.part = part;
        board = AddSpiBoard(hw, SimPciAddress{0, 3, 0, 0}, kind, o);
        flash = std::make_unique<SpiTestFlash>();
        mapped = board.function && flash->Map(*board.function);
    }

    SimRegisterFile& Regs() { return board.function->Registers(); }
    SimSpiFlash& Part() { return *board.flash; }
    std::vector<std::uint8_t>& Bytes() { return board.flash->Storage().Bytes(); }
    SpiPartList& List() { return flash->spiPartList; }
    SpiPart* Find(const std::string& name) {
        for (std::uint32_t i = 0; i < List().count; ++i)
            if (name == List().entries[i].name) return &List().entries[i];
        return nullptr;
    }
    // Makes every clock read cost `us` of CPU time, so time-outs come quickly.
    void FastClock(std::uint64_t us = 100000) { hw.Clocks().SetSteps(us, 1); }

    SimHardware hw;
    ScopedHardware scope;
    SimSpiBoard board;
    std::unique_ptr<SpiTestFlash> flash;
    bool mapped = false;
};

// Register writes as the controller sees them: writes through the indirect
// pair are reported at the index they went to.
struct RegWrite {
    std::uint32_t reg;
    std::uint32_t value;
    friend bool operator==(const RegWrite&, const RegWrite&) = default;
};

inline std::vector<RegWrite> ControllerWrites(const SimAccessLog& log) {
    std::vector<RegWrite> out;
    std::uint32_t index = 0;
    for (const SimAccess& a : log.Entries()) {
        if (a.kind != SimAccessKind::RegisterWrite) continue;
        std::uint32_t off = std::uint32_t(a.offset);
        if (off == 0x208) {
            index = a.value;
            continue;
        }
        out.push_back(RegWrite{off == 0x20C ? index : off, a.value});
    }
    return out;
}

inline std::vector<std::uint8_t> Pattern(std::size_t n, unsigned seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = std::uint8_t((i * 131 + seed * 17 + (i >> 8)) & 0xFF);
    return v;
}
