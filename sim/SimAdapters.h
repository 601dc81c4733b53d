// Display adapters of the families the built-in type table recognises, one
// per family group, as a board presents itself before any tool touches it:
// identity in configuration space, BARs with the register window of its
// generation, the strap bit that tells a second GPU from the first, the
// bridge index/data pair of the bridge boards, the indirect index/data pair
// of the second-generation ROM controller, and the register 0x5A0B8 that a
// family-21 board may or may not hold.
//
//   SimHardware hw;
//   SimAdapter a = AddSimAdapter(hw, {0, 1, 0, 0}, "gethra");
//   SimAdapterOptions o;  o.slave = true;  o.probeRegisterWritable = false;
//   AddSimAdapter(hw, {0, 2, 0, 0}, "gethra", o);
//
// Machine file (handler SimAdapterStatement, keyword "adapter"):
//   adapter [SSSS:]BB:DD.F KIND [device=D] [revision=R] [vendor=V] [class=C]
//           [subsystem=VENDOR:ID] [slave] [strap=N] [probe=rw|ro]
//           [cap=pcie|agp|none] [romsize=S] [rom-over-fb] [no-rombar]
//   KIND is one of the keywords of SimAdapterModels(). The statement adds
//   the function; 'rom', 'reg', 'config' ... lines after it describe it
//   further, as after 'function'.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/SimHardware.h"
#include "sim/SimI2c.h"
#include "sim/SimMachineFile.h"
#include "sim/SimRegisterFile.h"

// How the ROM controller's registers are reached on a generation.
enum class SimControllerAccess {
    None,       // no hardware SPI controller (companion-chip and bridge boards)
    Direct,     // in the register aperture
    Indirect,   // through the index/data pair 0x208/0x20C
};

struct SimAdapterModel {
    const char* keyword;        // machine-file name
    const char* chip;           // record name the built-in table gives it
    std::uint32_t family;       // its chip family
    std::uint16_t device;       // default device ID
    std::uint8_t revision;      // default revision
    std::uint32_t registerWindow;  // register BAR size
    std::uint32_t strapRegister;   // second-GPU strap register; 0 = single chip
    std::uint32_t strapBit;        // bit mask within it
    bool bridge;                   // bridge index/data pair at 0xA0/0xA4
    bool romBar;                   // has an expansion-ROM BAR
    std::uint8_t capability;       // 0x10 PCI Express, 0x02 AGP, 0 none
    SimControllerAccess controller;
};

// Every model, in a fixed order.
const std::vector<SimAdapterModel>& SimAdapterModels();
const SimAdapterModel* FindSimAdapterModel(const std::string& keyword);

struct SimAdapterOptions {
    int device = -1;    // -1: the model's
    int revision = -1;
    std::uint16_t vendor = 0x1002;
    std::uint32_t classCode = 0x030000;
    std::uint16_t subsystemVendor = 0x1002;
    std::uint16_t subsystemId = 0x0100;
    bool slave = false;               // strap bit set: the second GPU of a pair
    std::uint32_t bridgeStrap = 1;    // bridge boards: strap 0-3 in bridge register 0xC0 bits 11-12
    bool probeRegisterWritable = true;  // register 0x5A0B8 keeps what is written
    int capability = -1;              // -1: the model's
    std::uint32_t romSize = 0x20000;  // ROM BAR size and ROM bytes
    bool romOverFrameBuffer = false;  // ROM BAR base 0: the tool places it over the frame buffer
    bool noRomBar = false;
    std::vector<std::uint8_t> romContent;  // shorter content is padded with 0xFF
};

// The bridge of the bridge boards: index register 0xA0 selects a bridge
// register, data register 0xA4 reads and writes it. Bridge register 0x00
// holds the signature 0x5A and 0xC0 the ROM strap in bits 11-12 (both read
// only); other bridge registers are plain storage (the bridge file, which
// device models may hook).
class SimBridgePair : public SimRegisterHook {
public:
    static constexpr std::uint32_t kIndex = 0xA0;
    static constexpr std::uint32_t kData = 0xA4;
    static constexpr std::uint32_t kSignature = 0x5A;

    explicit SimBridgePair(std::uint32_t strap);
    std::uint32_t Read(std::uint32_t off) override;
    void Write(std::uint32_t off, std::uint32_t value) override;

    std::uint32_t IndexValue() const { return index_; }
    SimRegisterFile& Bridge() { return bridge_; }
    void SetStrap(std::uint32_t strap);

private:
    std::uint32_t index_ = 0;
    std::uint32_t strapWord_;
    SimRegisterFile bridge_;
};

// Index/data pair onto a second register space (the ROM controller block
// at 0xC0600000 of the second generation).
class SimIndirectPair : public SimRegisterHook {
public:
    static constexpr std::uint32_t kIndex = 0x208;
    static constexpr std::uint32_t kData = 0x20C;

    std::uint32_t Read(std::uint32_t off) override;
    void Write(std::uint32_t off, std::uint32_t value) override;

    std::uint32_t IndexValue() const { return index_; }
    void SetIndex(std::uint32_t index) { index_ = index; }
    SimRegisterFile& Space() { return space_; }

private:
    std::uint32_t index_ = 0;
    SimRegisterFile space_;
};

// Index/data pair onto the function's own register file, as the first
// generation has it on devices 0x6600-0x663F, 0x6780-0x679F and
// 0x6800-0x681F: index 0x100 holds a register offset, data 0x104 reads and
// writes that register (the strap register 0x20C among them).
class SimMmIndexPair : public SimRegisterHook {
public:
    static constexpr std::uint32_t kIndex = 0x100;
    static constexpr std::uint32_t kData = 0x104;

    explicit SimMmIndexPair(SimRegisterFile& registers) : registers_(registers) {}
    std::uint32_t Read(std::uint32_t off) override;
    void Write(std::uint32_t off, std::uint32_t value) override;

private:
    // The pair itself is plain storage when addressed through itself.
    bool SelfAddressed() const { return index_ >= kIndex && index_ < kData + 4; }
    SimRegisterFile& registers_;
    std::uint32_t index_ = 0;
};

// A register that ignores writes and reads a fixed value.
class SimFixedRegister : public SimRegisterHook {
public:
    explicit SimFixedRegister(std::uint32_t value) : value_(value) {}
    std::uint32_t Read(std::uint32_t) override { return value_; }
    void Write(std::uint32_t, std::uint32_t) override {}

private:
    std::uint32_t value_;
};

struct SimAdapter {
    SimPciFunction* function = nullptr;   // null when the adapter could not be added
    const SimAdapterModel* model = nullptr;
    std::shared_ptr<SimBridgePair> bridge;      // bridge boards
    std::shared_ptr<SimIndirectPair> indirect;  // second-generation boards
    std::shared_ptr<SimStorage> rom;            // bytes behind the ROM aperture
    std::shared_ptr<SimI2cEeprom> eeprom;       // companion-chip boards: the I2C engine's EEPROM
};

// Adds the adapter; function null (and the reason in *error) on failure.
SimAdapter AddSimAdapter(SimHardware& hw, const SimPciAddress& address, const std::string& model,
                         const SimAdapterOptions& options = {}, std::string* error = nullptr);

// Registers [0, length) of a register file as the program would find them
// in plain storage (hooked blocks read as their storage, not their hooks).
std::vector<std::uint32_t> SnapshotRegisters(const SimRegisterFile& file, std::uint32_t first, std::uint32_t length);

// Machine-file statement "adapter" (see above).
bool SimAdapterStatement(SimMachineContext& ctx, SimMachineLine& line, std::string* error);
