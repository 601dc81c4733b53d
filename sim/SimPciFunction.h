// One simulated PCI function: 256 bytes of configuration space that behave
// like hardware (write masks, read-only flag bits, BAR sizing, ROM BAR with
// its enable bit, capability list) and the regions its BARs decode.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/SimAccessLog.h"
#include "sim/SimCommon.h"
#include "sim/SimRegisterFile.h"
#include "sim/SimRom.h"

enum class SimBarKind { Mem32, Mem64, Io };

// What a memory BAR decodes to: the function's register file, or plain
// memory of its own (frame buffer).
enum class SimBarRole { Registers, Memory };

// An address range a function decodes (or would, once enabled): a BAR
// (index 0-5) or the expansion ROM (index 6), at the base configured now.
struct SimBarRange {
    int index = 0;
    bool io = false;
    std::uint64_t base = 0;
    std::uint64_t size = 0;
};

class SimPciFunction {
public:
    // Starts with the IDs, command 0x0007, no BARs, no ROM BAR, no capabilities.
    SimPciFunction(const SimPciAddress& address, std::uint16_t vendor, std::uint16_t device);
    SimPciFunction(const SimPciFunction&) = delete;
    SimPciFunction& operator=(const SimPciFunction&) = delete;

    const SimPciAddress& Address() const { return address_; }
    std::uint16_t VendorId() const { return std::uint16_t(ConfigValue(0x00, 2)); }
    std::uint16_t DeviceId() const { return std::uint16_t(ConfigValue(0x02, 2)); }

    // Identity (read-only to the program).
    void SetRevision(std::uint8_t revision);
    void SetClassCode(std::uint32_t classCode);  // 24 bits: base, sub, prog-if
    void SetSubsystem(std::uint16_t vendor, std::uint16_t id);
    void SetCommand(std::uint16_t command);

    // Base address register `index` (0-5, offset 0x10 + 4*index). A 64-bit
    // BAR takes index and index+1. size is a power of two; base must be
    // aligned to it. Memory BARs decode to the register file (Registers) or
    // to their own memory (Memory); I/O BARs decode nothing.
    bool AddBar(int index, SimBarKind kind, std::uint64_t size, bool prefetchable, std::uint64_t base,
                SimBarRole role, std::string* error = nullptr);
    // Puts another region behind an existing memory BAR.
    bool SetBarRegion(int index, std::shared_ptr<SimMemoryRegion> region, SimBarRole logAs);

    // Expansion-ROM BAR (0x30): address bits above the size writable, enable
    // bit 0, bits 1-10 read 0. Without SetRomBar the register is not
    // implemented and reads 0 whatever is written.
    bool SetRomBar(std::uint32_t size, std::uint32_t base, std::string* error = nullptr);
    void SetRomBarUnimplemented();
    bool HasRomBar() const { return romSize_ != 0; }
    std::uint32_t RomBarSize() const { return romSize_; }

    // Appends a capability to the list at 0x34 (offset 0 = next free place
    // from 0x40 on; length 0 = usual length for the ID). Returns its offset,
    // 0 when it does not fit or the offset is unusable.
    std::uint8_t AddCapability(std::uint8_t id, std::uint8_t offset = 0, std::uint8_t length = 0);
    // Points the last capability back at the first: an endless list.
    void LoopCapabilities();

    // Raw configuration space, ignoring write masks (presets, inspection).
    void PresetConfig(std::uint8_t off, int len, std::uint32_t value);
    void SetConfigWriteMask(std::uint8_t off, int len, std::uint32_t mask);
    std::uint32_t ConfigValue(std::uint8_t off, int len) const;
    std::array<std::uint8_t, 256> ConfigSnapshot() const { return cfg_; }

    // Configuration access as the program makes it: bytes transferred
    // (fewer at the end of the 256 bytes).
    int ConfigRead(std::uint32_t off, int len, void* buf) const;
    int ConfigWrite(std::uint32_t off, int len, const void* buf);

    SimRegisterFile& Registers() { return *registers_; }
    void SetRomModel(std::shared_ptr<SimRomModel> model) { rom_ = std::move(model); }
    SimRomModel* RomModel() const { return rom_.get(); }
    // The ROM index/data pair in the register file: register 0xA8 holds a
    // byte index, each read of 0xAC returns the ROM byte there (0xFF without
    // a ROM) and advances the index. It reads the ROM whether or not the
    // ROM BAR decodes.
    void AddRomIndexRegisters();

    // Decoding, from the configuration registers as they are now.
    bool MemoryDecodeEnabled() const { return (cfg_[0x04] & 0x02) != 0; }
    std::uint64_t BarBase(int index) const;  // 0 for an absent or I/O BAR
    bool RomDecodeEnabled() const;
    std::uint32_t RomBase() const { return ConfigValue(0x30, 4) & 0xFFFFF800u; }

    // The resource listing the kernel gives for the function: a line
    // "0xSTART 0xEND 0xFLAGS" per BAR (the upper half of a 64-bit BAR and
    // absent or unassigned BARs all zero), then the expansion ROM.
    std::string ResourceListing() const;
    // Every BAR and the ROM BAR with a non-zero base.
    std::vector<SimBarRange> AssignedRanges() const;

    struct Hit {
        SimMemoryRegion* region = nullptr;
        SimAccessKind readKind = SimAccessKind::UnclaimedRead;
        SimAccessKind writeKind = SimAccessKind::UnclaimedWrite;
        std::uint64_t offset = 0;
    };
    // True when an access of `width` bytes at `phys` falls into a region
    // this function decodes now.
    bool Decode(std::uint64_t phys, unsigned width, Hit* hit);

private:
    struct Bar {
        bool present = false;
        bool upperHalf = false;   // second dword of a 64-bit BAR
        SimBarKind kind = SimBarKind::Mem32;
        bool prefetchable = false;
        std::uint64_t size = 0;
        SimBarRole role = SimBarRole::Memory;
        std::shared_ptr<SimMemoryRegion> region;
    };

    class RomAperture : public SimMemoryRegion {
    public:
        explicit RomAperture(SimPciFunction& owner) : owner_(owner) {}
        std::uint32_t Read32(std::uint64_t off) override;
        void Write32(std::uint64_t off, std::uint32_t value) override;
        std::uint8_t Read8(std::uint64_t off) override;
        void Write8(std::uint64_t off, std::uint8_t value) override;
    private:
        SimPciFunction& owner_;
    };

    SimPciAddress address_;
    std::array<std::uint8_t, 256> cfg_{};
    std::array<std::uint8_t, 256> wmask_{};
    Bar bars_[6];
    std::uint32_t romSize_ = 0;
    struct Capability {
        std::uint8_t offset;
        std::uint8_t length;
    };
    std::vector<Capability> capabilities_;  // in list order
    std::shared_ptr<SimRegisterFile> registers_;
    std::shared_ptr<SimRomModel> rom_;
    RomAperture romAperture_{*this};
};
