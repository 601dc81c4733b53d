// An open-drain I2C bus on GPIO register bits, decoded at bit level, with
// any number of slaves behind it (SimI2cBus).
//
// Four lines: clock out, data out, clock in, data in, each a register bit
// (SimGpioLine; an inverted line has the register bit opposite to the
// level). Output registers are latches (reads give what was written);
// input registers give the wire level in their line's bit, the other bits
// as stored. Where a line's in and out are the same bit, reads give the
// wire. The wire is the AND of the master's latch and everything the
// slaves (or a fault) pull low.
//
// The slaves' side is evaluated after every write to a watched register:
// a data edge while the clock is high is a start (falling) or stop
// (rising); bits are sampled on the rising clock; the slave changes data
// only after a falling clock, lets go of data after the eighth bit of a
// byte it sends, and stops sending after a not-acknowledge.
//
// Faults: "stretch=K" holds the clock low for K input reads after each
// acknowledge; "scl-low=N" holds the clock low for good once N bytes were
// acknowledged (0: from the start); "sda-held=K" makes a slave that was
// cut off mid-byte at power-up hold data low until K clock pulses passed.
//
// Machine file (with i2ceeprom, see SimMibI2c.h):
//   i2ceeprom bus=gpio [scl=REG:BIT[:inv]] [sda=...] [scl-in=...] [sda-in=...]
//             [stretch=K] [fault=scl-low] [scl-low-after=N] [fault=sda-held]
//             [sda-held=K] [EEPROM options]
//     A second i2ceeprom bus=gpio on the same function and the same lines
//     adds a slave to the same bus. Lines default to 0x1790 bits 0 and 1
//     (clock and data out) and 0x1794 bits 0 and 1 (clock and data in).
//     EEPROM defaults here: a 24C02 (size 256, page 8, address 0xA0,
//     busy-us 5000); page= and busy-us= model other parts.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "sim/SimGpioSpi.h"
#include "sim/SimI2c.h"
#include "sim/SimMachineFile.h"
#include "sim/SimRegisterFile.h"

struct SimGpioI2cWiring {
    SimGpioLine sclOut{0x1790, 0, false};
    SimGpioLine sdaOut{0x1790, 1, false};
    SimGpioLine sclIn{0x1794, 0, false};
    SimGpioLine sdaIn{0x1794, 1, false};
};

struct SimGpioI2cFaults {
    std::uint32_t stretchReads = 0;
    int sclLowAfterBytes = -1;   // -1: never
    std::uint32_t sdaHeldPulses = 0;
};

class SimGpioI2c : public SimRegisterHook {
public:
    SimGpioI2c(SimRegisterFile& registers, const SimGpioI2cWiring& wiring);
    static std::shared_ptr<SimGpioI2c> Attach(SimRegisterFile& registers, const SimGpioI2cWiring& wiring);

    std::uint32_t Read(std::uint32_t off) override;
    void Write(std::uint32_t off, std::uint32_t value) override;

    SimI2cBus& Bus() { return bus_; }
    const SimGpioI2cWiring& Wiring() const { return wiring_; }
    void SetFaults(const SimGpioI2cFaults& faults);
    bool SclWire() const;
    bool SdaWire() const;

private:
    enum class Phase { Idle, Receive, AckOut, Send, AckIn, Ignore };

    bool Latch(const SimGpioLine& line) const;
    void Evaluate();
    void OnRise(bool sda);
    void OnFall();
    // Byte boundary after an acknowledge: where the clock faults start.
    void ByteAcknowledged();

    SimRegisterFile& registers_;
    SimGpioI2cWiring wiring_;
    SimI2cBus bus_;
    SimGpioI2cFaults faults_;
    bool scl_ = true;
    bool sda_ = true;
    Phase phase_ = Phase::Idle;
    int bit_ = 0;
    std::uint8_t shift_ = 0;
    bool ackPending_ = false;    // drive data low in the next acknowledge slot
    bool slaveSda_ = true;       // what the slaves drive
    bool masterAck_ = false;
    std::uint32_t stretchLeft_ = 0;
    std::uint32_t bytesAcked_ = 0;
    bool sclHeld_ = false;
    std::uint32_t sdaHeldLeft_ = 0;
};

// The scl=/sda=/scl-in=/sda-in= options of a machine-file statement.
bool ParseSimGpioI2cWiring(SimMachineLine& line, SimGpioI2cWiring* wiring, std::string* error);
// The function's GPIO I2C bus on these lines, made on first use, so that
// several statements put their slaves on one bus.
std::shared_ptr<SimGpioI2c> SimGpioI2cBusFor(SimMachineContext& ctx, const SimGpioI2cWiring& wiring);

// Machine-file statement "i2ceeprom" (see SimMibI2c.h and above).
bool SimI2cEepromStatement(SimMachineContext& ctx, SimMachineLine& line, std::string* error);
inline constexpr SimMachineKeyword kSimI2cKeywords[] = {
    {"i2ceeprom", true, SimI2cEepromStatement},
};
