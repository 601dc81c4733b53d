// The I2C master engine of the companion-chip boards, from the device side,
// and the bus behind it (SimI2cBus, by default with a 128-byte EEPROM).
//
// Registers (32-bit, register aperture):
//   0x3E0 control/status
//     read:  bit 0 done, bit 1 not acknowledged, bit 2 error, then the
//            stored control bits (8-11, 16-31; 6-7)
//     write: bits 0-2 write 1 to clear; bit 5 resets the engine (status and
//            both FIFOs; the bus is left as it is, so a reset between an
//            address-pointer write and a read makes a repeated start);
//            bit 12 (go) runs a transaction with the stored bits: 0x100
//            start, 0x200 stop, 0x400 read direction. Bits 5 and 12 read 0.
//   0x3E4 transaction setup: bits 0-7 byte count (write: bytes - 1; read:
//         bytes to read), bit 8 the first FIFO byte is the address byte;
//         the other bits (prescale, configuration) are kept and not used.
//   0x3E8 data FIFO (16 bytes each way): a write queues a byte to send, a
//         read takes a received byte (0xFF when empty).
// A transaction runs at once when go is written (the engine is done before
// the first status poll). Write: start (when asked), the FIFO bytes, stop
// (when asked); a byte not acknowledged ends it with stop and NACK set,
// done clear. Read: start and the address byte when the setup says so,
// then the count of bytes, each acknowledged but the last one before a
// stop. A transaction without start on a bus nobody addressed, or a FIFO
// overflow, sets the error bit.
//
// Machine file (kSimI2cKeywords, after 'adapter' of a companion-chip kind
// or any function):
//   i2ceeprom [bus=engine|gpio] [address=A] [size=S] [page=P] [file=PATH]
//             [busy-polls=N] [busy-us=T] [stuck=ADDR:HIGH:LOW] [fault=F,...]
//             [fail-programs=N] [fail-program-at=ADDR[:N]]
//             [misprogram-at=ADDR:BITS[:N]]
//     engine (the default): a new engine on the function with this EEPROM
//     (it replaces the one a companion-chip adapter comes with: 128 bytes,
//     erased). size defaults to 128, page to 8, address to 0xA0, busy-us to
//     5000 (the write cycle). Faults: absent, busy-forever, nack-data,
//     nack-read, and error (the engine sets its error bit on every
//     transaction). Page writes that do not take or over-program a byte:
//     SimProgramFaults.h.
//     gpio: see SimGpioI2c.h.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "sim/SimI2c.h"
#include "sim/SimRegisterFile.h"

class SimMibI2c : public SimRegisterHook {
public:
    static constexpr std::uint32_t kControl = 0x3E0;
    static constexpr std::uint32_t kSetup = 0x3E4;
    static constexpr std::uint32_t kData = 0x3E8;

    SimMibI2c();
    // Hooks a new engine onto 0x3E0-0x3EB of the register file.
    static std::shared_ptr<SimMibI2c> Attach(SimRegisterFile& registers);

    std::uint32_t Read(std::uint32_t off) override;
    void Write(std::uint32_t off, std::uint32_t value) override;

    SimI2cBus& Bus() { return bus_; }
    // Every transaction ends with the error bit.
    void SetErrorFault(bool on) { errorFault_ = on; }
    std::uint32_t Transactions() const { return transactions_; }

private:
    void Reset();
    void Run();

    SimI2cBus bus_;
    std::uint32_t control_ = 0;   // stored bits
    std::uint32_t status_ = 0;
    std::uint32_t setup_ = 0;
    std::deque<std::uint8_t> tx_;
    std::deque<std::uint8_t> rx_;
    bool overflow_ = false;
    bool errorFault_ = false;
    std::uint32_t transactions_ = 0;
};

// Write cycle of the engine's EEPROM, in device microseconds.
inline constexpr std::uint64_t kSimMibEepromWriteCycle = kSimI2cEepromWriteCycle;

// A 128-byte EEPROM (page 8, address 0xA0) on a new engine of the function;
// the demo and the companion-chip adapters use it.
std::shared_ptr<SimI2cEeprom> AttachMibEeprom(SimRegisterFile& registers, const SimI2cEepromConfig& config,
                                              std::shared_ptr<SimStorage> storage, const SimClocks* clocks,
                                              std::shared_ptr<SimMibI2c>* engine = nullptr);
