// The 32-bit registers behind a function's register BAR: plain read/write
// storage (0 until written) with active blocks hooked onto offset ranges.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "sim/SimCommon.h"

// An active block of registers (index/data pair, ROM controller, GPIO pads).
// Offsets are register-file byte offsets, always a multiple of 4.
class SimRegisterHook {
public:
    virtual ~SimRegisterHook() = default;
    virtual std::uint32_t Read(std::uint32_t off) = 0;
    virtual void Write(std::uint32_t off, std::uint32_t value) = 0;
};

class SimRegisterFile : public SimMemoryRegion {
public:
    // Routes the registers [first, first + length) to the hook. A later hook
    // wins where ranges overlap.
    void Attach(std::uint32_t first, std::uint32_t length, std::shared_ptr<SimRegisterHook> hook);
    void DetachAll() { hooks_.clear(); }

    // Register access as the program sees it (hooks included).
    std::uint32_t ReadRegister(std::uint32_t off);
    void WriteRegister(std::uint32_t off, std::uint32_t value);

    // The plain storage, bypassing hooks (presets, inspection, and for hooks
    // that keep their state in ordinary registers).
    std::uint32_t Peek(std::uint32_t off) const;
    void Poke(std::uint32_t off, std::uint32_t value);

    // SimMemoryRegion: byte accesses read or merge into the dword.
    std::uint32_t Read32(std::uint64_t off) override;
    void Write32(std::uint64_t off, std::uint32_t value) override;
    std::uint8_t Read8(std::uint64_t off) override;
    void Write8(std::uint64_t off, std::uint8_t value) override;

private:
    struct Range {
        std::uint32_t first;
        std::uint32_t length;
        std::shared_ptr<SimRegisterHook> hook;
    };
    SimRegisterHook* HookFor(std::uint32_t off) const;

    std::unordered_map<std::uint32_t, std::uint32_t> values_;
    std::vector<Range> hooks_;
};

// Plain memory (frame buffer): sparse, 0 until written.
class SimMemory : public SimMemoryRegion {
public:
    std::uint32_t Read32(std::uint64_t off) override;
    void Write32(std::uint64_t off, std::uint32_t value) override;
    std::uint8_t Read8(std::uint64_t off) override;
    void Write8(std::uint64_t off, std::uint8_t value) override;

private:
    static constexpr std::uint64_t kPage = 4096;
    std::unordered_map<std::uint64_t, std::vector<std::uint8_t>> pages_;
};
