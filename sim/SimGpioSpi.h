// GPIO pads whose lines drive a bit-level SPI slave (software SPI). Each
// line is one bit of a register in the register file; the level on the
// wire is the register bit, inverted where the board inverts the line.
// Chip select is active low; SPI mode 0: the slave samples MOSI on the
// rising clock edge and drives the next MISO bit after each falling edge,
// most significant bit first. Lines are evaluated after every write to a
// watched register; a chip-select pulse without clocks does nothing.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "sim/SimRegisterFile.h"
#include "sim/SimSpiFlash.h"

struct SimGpioLine {
    std::uint32_t reg = 0;
    int bit = 0;
    bool inverted = false;   // wire level = !(register bit)
};

// Hooks `hook` onto the register of each line (each register once).
void AttachToLineRegisters(SimRegisterFile& registers, std::initializer_list<const SimGpioLine*> lines,
                           const std::shared_ptr<SimRegisterHook>& hook);

// Default wiring: chip select, clock and MOSI on 0x179C bits 19, 10 and 9,
// MISO on 0x17A4 bit 8, none inverted.
struct SimGpioSpiWiring {
    SimGpioLine cs{0x179C, 19, false};
    SimGpioLine clk{0x179C, 10, false};
    SimGpioLine mosi{0x179C, 9, false};
    SimGpioLine miso{0x17A4, 8, false};
};

class SimGpioSpi : public SimRegisterHook {
public:
    SimGpioSpi(SimRegisterFile& registers, const SimGpioSpiWiring& wiring, std::shared_ptr<SimSpiSlave> slave);

    // Creates the pads and hooks them onto the registers of the four lines.
    static std::shared_ptr<SimGpioSpi> Attach(SimRegisterFile& registers, const SimGpioSpiWiring& wiring,
                                              std::shared_ptr<SimSpiSlave> slave);

    std::uint32_t Read(std::uint32_t off) override;
    void Write(std::uint32_t off, std::uint32_t value) override;

    const SimGpioSpiWiring& Wiring() const { return wiring_; }
    // Bytes clocked while selected, and frames (chip-select low periods with clocks).
    std::uint64_t BytesClocked() const { return bytes_; }
    std::uint64_t Frames() const { return frames_; }

private:
    bool Level(const SimGpioLine& line) const;
    void Evaluate();

    SimRegisterFile& registers_;
    SimGpioSpiWiring wiring_;
    std::shared_ptr<SimSpiSlave> slave_;
    bool cs_ = true;
    bool clk_ = false;
    bool selected_ = false;
    bool clocked_ = false;
    int bitIndex_ = 0;
    std::uint8_t inShift_ = 0;
    std::uint8_t outByte_ = 0xFF;
    bool miso_ = true;           // pulled up while nobody drives it
    std::uint64_t bytes_ = 0;
    std::uint64_t frames_ = 0;
};
