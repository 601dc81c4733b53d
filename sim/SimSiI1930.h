// A SiI1930 microcontroller as a slave on a GPIO I2C bus (SimGpioI2c),
// with its reset and program lines on GPU GPIO pins.
//
// Bus side: answers 0x72 (write) / 0x73 (read). The first byte after 0x72
// sets the register pointer, later bytes are stored with auto-increment;
// reads return registers from the pointer on. Registers:
//   0x1D/0x1E firmware version high/low (read-only; writes are ignored),
//   0x40-0x4D command packet: 0x40-0x47 data, 0x49 command / status,
//             0x4A/0x4B address low/high,
//   0x50-0x53 checksum range: start low, high of start+0x4000, end low,
//             high of end+0x4000 (end inclusive), 0x54-0x57 checksum result
//             (little-endian).
// A command written to 0x49 runs at the STOP of that transfer:
//   0x81 erase the 128 bytes at the address (to 0xFF),
//   0x82 Adler-32 of the flash range into 0x54,
//   ((n & 7) << 4) | 0x0B program n bytes (0 means 8) from 0x40 at the
//   address (AND-only: bits only go from 1 to 0),
//   0x07 finish: status reads 0xFF for three reads, then 4.
// Status 4 after a command that ran; 1 for a command refused (unknown, out
// of range, or a flash command outside program mode). Power-up status 0.
//
// GPIO side: the pins live in one register set, A (0x198 enable, 0x19C
// level, 0x1A0 second enable) or B (0xC54, 0xC58, 0xC5C). A pin is driven
// when its bit is set in both enables, then its level is the level bit;
// undriven it is pulled high. After power-up the device runs its own
// firmware and does not answer at 0x72; its loader answers only after a
// reset pulse (reset driven low, then high), so detection needs the
// select-on-failure switch and pins driven in the wrong register set leave
// the device silent. 'answer=always' models a loader already running. No
// answers while the reset line is low; a rising reset edge clears the
// register pointer and status. Program line low = program mode (erase,
// program and finish accepted only then).
//
// Faults: "nack" (never answers its address), "never-done" (commands run
// but the status never reads 4; after finish it stays busy), "bad-checksum" (checksum result off by one
// bit).
//
// Machine file (after 'adapter'):
//   sii1930 [scl=REG:BIT[:inv]] [sda=...] [scl-in=...] [sda-in=...]
//           [pins=a|b] [reset=BIT] [program=BIT] [version=N]
//           [answer=after-reset|always] [fault=nack|never-done|bad-checksum]
//     Lines as for "i2ceeprom bus=gpio" (the same lines join the same bus).
//     Defaults: pins=a, reset=4, program=5, version=0x2350, answer=after-reset.
//     Flash 32 KiB, erased (0xFF) at power-up.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/SimI2c.h"
#include "sim/SimMachineFile.h"
#include "sim/SimRegisterFile.h"

struct SimSiI1930Config {
    bool setB = false;
    std::uint32_t resetBit = 4;
    std::uint32_t programBit = 5;
    std::uint16_t version = 0x2350;
    std::uint32_t flashSize = 0x8000;
    bool answerAtPowerUp = false;
    bool nack = false;
    bool neverDone = false;
    bool badChecksum = false;
};

class SimSiI1930 : public SimI2cSlave {
public:
    explicit SimSiI1930(const SimSiI1930Config& config);
    // Makes the device and hooks its pin registers into the register file;
    // the caller adds it to a bus.
    static std::shared_ptr<SimSiI1930> Attach(SimRegisterFile& registers, const SimSiI1930Config& config);

    bool Address(std::uint8_t addressByte) override;
    bool Written(std::uint8_t byte) override;
    std::uint8_t NextRead() override;
    void Stop() override;
    bool Owns(std::uint8_t address) const override { return (address & 0xFE) == 0x72; }

    // Pin registers changed: enables and level of the set.
    void PinsChanged(std::uint32_t first, std::uint32_t level, std::uint32_t third);

    std::vector<std::uint8_t>& Flash() { return flash_; }
    std::uint32_t ResetPulses() const { return resetPulses_; }
    bool InProgramMode() const { return programMode_; }
    std::uint8_t Register(std::uint32_t reg) const { return regs_[reg & 0xFF]; }

private:
    void Execute(std::uint8_t command);
    bool Answering() const { return resetHigh_ && (config_.answerAtPowerUp || resetPulses_ > 0); }

    SimSiI1930Config config_;
    std::vector<std::uint8_t> flash_;
    std::uint8_t regs_[256] = {};
    std::uint8_t pointer_ = 0;
    bool writing_ = false;
    bool pointerSet_ = false;
    bool commandWritten_ = false;
    std::uint32_t busyReads_ = 0;
    bool resetHigh_ = false;
    bool programMode_ = false;
    std::uint32_t resetPulses_ = 0;
};

bool SimSiI1930Statement(SimMachineContext& ctx, SimMachineLine& line, std::string* error);
inline constexpr SimMachineKeyword kSimSiI1930Keywords[] = {
    {"sii1930", true, SimSiI1930Statement},
};
