// Devices on a simulated I2C bus, seen from the bus: a slave answers its
// address, takes written bytes and hands out bytes to read, each event
// acknowledged or not. SimI2cBus routes the events of one bus (whatever
// drives it: the GPU's I2C engine or GPIO lines) to the addressed slave,
// so one bus hosts any number of slaves, and keeps the bus log.
//
// Bus log: one token per event, "S" start, "P" stop, "A0+" / "A0-" a byte
// the master sent and whether it was acknowledged, "<12+" / "<12-" a byte
// the master read and whether the master acknowledged it.
//
// SimI2cEeprom is a 24C01/24C02-like serial EEPROM (one word-address byte):
//   - answers device address `address` (8-bit write form; read = address|1);
//   - the word address is masked to size - 1 (higher bits are ignored, so a
//     longer image wraps); sequential reads wrap at the end of the array;
//   - written bytes collect in the page buffer, wrapping within the page,
//     and are committed at STOP; a STOP right after the word address only
//     moves the pointer, and a repeated start drops the page buffer;
//   - after a commit the write cycle runs: the device does not acknowledge
//     its address for `busyPolls` address attempts and until `busyMicros`
//     of device time have passed (by default the datasheet's 5 ms);
//   - faults: absent (never acknowledges), busy forever (no commit ever
//     finishes), data bytes not acknowledged, the read form of its address
//     not acknowledged (the word address is still taken), bits stuck at 1
//     or 0 in one byte of the array (every write leaves them so, as on the
//     flash parts; the array as loaded is what the cells hold), and page
//     writes that do not take or over-program one byte
//     (SimProgramFaults.h; a later write of the byte heals it).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/SimClocks.h"
#include "sim/SimProgramFaults.h"
#include "sim/SimStorage.h"

class SimI2cSlave {
public:
    virtual ~SimI2cSlave() = default;
    // An address byte after a start; true when this slave takes the
    // transfer (and acknowledges).
    virtual bool Address(std::uint8_t addressByte) = 0;
    // A byte written by the master; true = acknowledged.
    virtual bool Written(std::uint8_t byte) = 0;
    // The next byte to send the master.
    virtual std::uint8_t NextRead() = 0;
    // The master's answer to a byte read (false: not acknowledged, last byte).
    virtual void ReadAcknowledged(bool ack) { (void)ack; }
    // Stop condition.
    virtual void Stop() = 0;
    // A repeated start that ends this slave's transfer.
    virtual void Restarted() { Stop(); }
    // Whether the slave owns this 8-bit address (write form); it may still
    // refuse the transfer (busy).
    virtual bool Owns(std::uint8_t address) const = 0;
};

class SimI2cBus {
public:
    void AddSlave(std::shared_ptr<SimI2cSlave> slave) { slaves_.push_back(std::move(slave)); }

    void Start();
    void Stop();
    // Address byte when no slave is addressed yet, else a data byte.
    bool Write(std::uint8_t byte);
    // A byte for the master (0xFF when nobody sends).
    std::uint8_t Read();
    void MasterAck(bool ack);
    bool Reading() const { return reading_; }
    bool Addressed() const { return current_ != nullptr; }

    // Bus log (see above); cleared by ClearLog.
    const std::vector<std::string>& Log() const { return log_; }
    std::string LogText() const;
    void ClearLog() { log_.clear(); }

private:
    std::vector<std::shared_ptr<SimI2cSlave>> slaves_;
    SimI2cSlave* current_ = nullptr;
    bool started_ = false;     // a start was seen and no address byte yet
    bool active_ = false;      // between a start and a stop
    bool reading_ = false;
    std::uint8_t lastRead_ = 0xFF;
    std::vector<std::string> log_;
};

// Self-timed write cycle of a 24Cxx-class part, in device microseconds.
inline constexpr std::uint64_t kSimI2cEepromWriteCycle = 5000;

struct SimI2cEepromConfig {
    std::uint8_t address = 0xA0;
    std::uint32_t size = 128;
    std::uint32_t page = 8;
    std::uint32_t busyPolls = 0;     // address attempts refused after a commit
    std::uint64_t busyMicros = kSimI2cEepromWriteCycle;  // device time of the write cycle
    bool absent = false;
    bool busyForever = false;        // once written, never answers again
    bool nackData = false;           // data bytes are not acknowledged
    bool nackRead = false;           // address | 1 is not acknowledged
    int stuckAddress = -1;           // byte with stuck bits (-1: none)
    std::uint8_t stuckHigh = 0;
    std::uint8_t stuckLow = 0;
    SimProgramFaults programFaults;
};

class SimI2cEeprom : public SimI2cSlave {
public:
    // storage null: an erased array in memory. clocks may be null (no timed
    // write cycle).
    SimI2cEeprom(const SimI2cEepromConfig& config, std::shared_ptr<SimStorage> storage, const SimClocks* clocks);

    bool Address(std::uint8_t addressByte) override;
    bool Written(std::uint8_t byte) override;
    std::uint8_t NextRead() override;
    void Stop() override;
    void Restarted() override;
    bool Owns(std::uint8_t address) const override;

    SimStorage& Storage() { return *storage_; }
    SimI2cEepromConfig& Config() { return config_; }
    std::uint32_t Commits() const { return commits_; }
    std::uint32_t RefusedAddresses() const { return refused_; }

private:
    bool Busy();
    // What the byte at `at` holds when value is written there (its stuck bits).
    std::uint8_t Cell(std::uint32_t at, std::uint8_t value) const;

    SimI2cEepromConfig config_;
    std::shared_ptr<SimStorage> storage_;
    const SimClocks* clocks_;
    std::uint32_t pointer_ = 0;
    bool haveWordAddress_ = false;
    bool writing_ = false;
    std::uint32_t pageBase_ = 0;
    std::vector<std::uint8_t> pending_;     // page buffer
    std::vector<bool> loaded_;
    bool anyLoaded_ = false;
    std::uint32_t busyLeft_ = 0;
    std::uint64_t busyUntil_ = 0;
    bool stuckBusy_ = false;
    std::uint32_t commits_ = 0;
    std::uint32_t refused_ = 0;
};

// Takes the EEPROM options of a machine-file line (address=, size=, page=,
// busy-polls=, busy-us=, stuck=, fault=, file=, fail-programs=,
// fail-program-at=, misprogram-at=) into config; fault words
// that are not the EEPROM's go to busFaults for the bus to judge.
class SimMachineLine;
bool ParseSimI2cEepromOptions(SimMachineLine& line, SimI2cEepromConfig* config, std::string* file,
                              std::vector<std::string>* busFaults, std::string* error);
