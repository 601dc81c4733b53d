// SPI serial-flash part, modelled from the device side as datasheets
// describe it: identification commands with the part's own ID bytes, a
// status register with busy, write-enable latch, block-protect bits and the
// status-register lock with its write-protect pin, page program that only
// clears bits and wraps inside the page, chip erase and the sector and block
// erases its datasheet lists (each refused where protection covers it) to
// 0xFF, busy for a number of status polls and for device time (a chip erase
// for the part's own typical time, a block its share of it), reads that
// wrap at the part size. Commands act when chip select goes high, as on a
// real part.
//
// Masters talk to it a byte at a time (SimSpiSlave): the ROM controller
// frame engine directly, the GPIO pads through a bit-level front end.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/SimClocks.h"
#include "sim/SimProgramFaults.h"
#include "sim/SimStorage.h"

// A byte-level SPI slave. In each byte time the master first takes the
// slave's output byte (which depends only on the bytes already received),
// then clocks in its own byte.
class SimSpiSlave {
public:
    virtual ~SimSpiSlave() = default;
    virtual void Select() = 0;
    virtual std::uint8_t NextOutByte() = 0;
    virtual void InByte(std::uint8_t b) = 0;
    virtual void Deselect() = 0;
};

// Answer of one identification opcode.
struct SimSpiIdAnswer {
    std::uint8_t opcode = 0;
    std::uint8_t skipBytes = 0;      // address or dummy bytes before the answer
    bool alternate = false;          // manufacturer/device pair repeating, order by address bit 0
    std::vector<std::uint8_t> bytes; // the last byte repeats after the sequence
};

// A sector or block erase: the opcode and the aligned block it erases.
struct SimSpiErase {
    std::uint8_t opcode = 0;
    std::uint32_t size = 0;
};

// What a part is, seen from its datasheet.
struct SimSpiPartModel {
    std::string name;
    std::uint32_t size = 0;
    std::uint32_t pageSize = 256;    // program buffer; a page program wraps inside it
    // Byte-program parts: 0x02 programs the one data byte after the
    // address; further bytes of the frame are ignored.
    bool byteProgram = false;
    std::vector<SimSpiIdAnswer> ids;
    std::vector<std::uint8_t> chipEraseOpcodes{0xC7};
    // Each takes a 24-bit address inside the block.
    std::vector<SimSpiErase> blockErases{{0xD8, 0x10000}};
    std::uint8_t ewsrOpcode = 0;     // enable-write-status opcode (0 = none)
    std::uint8_t writableStatus = 0x9C;  // block-protect bits and the lock bit
    std::uint8_t initialStatus = 0x00;
    // The status bits come up as initialStatus at every power-up instead of
    // keeping what was written (the SST parts' block protection).
    bool volatileStatus = false;
    // A status write is taken only right after EWSR; WREN does not enable
    // it (the SST parts without the B suffix).
    bool statusWriteNeedsEwsr = false;
    // Typical chip-erase time of the datasheet, in device time (µs).
    std::uint64_t chipEraseUs = 0;
    // Block protect 1, 2, 3 guards the top quarter, the top half, all of
    // the part (the small serial EEPROMs); otherwise any set bit guards all.
    bool quarterProtection = false;
};

// The catalogue of modelled parts (every serial part the program knows, by
// the name the program shows); null for an unknown name.
const SimSpiPartModel* FindSimSpiPart(const std::string& name);
std::vector<std::string> SimSpiPartNames();

struct SimSpiFrame {
    std::vector<std::uint8_t> in;    // bytes received (data beyond 16 bytes not kept)
    std::uint32_t length = 0;        // bytes clocked
};

class SimSpiFlash : public SimSpiSlave {
public:
    // storage holds the contents (its size should equal the part's);
    // clocks (optional) give device time for time-based busy periods.
    SimSpiFlash(const SimSpiPartModel& model, std::shared_ptr<SimStorage> storage, SimClocks* clocks = nullptr);

    void Select() override;
    std::uint8_t NextOutByte() override;
    void InByte(std::uint8_t b) override;
    void Deselect() override;

    const SimSpiPartModel& Model() const { return model_; }
    SimStorage& Storage() { return *storage_; }
    std::shared_ptr<SimStorage> StoragePtr() const { return storage_; }

    // Status register as a read would show it now (no poll counted).
    std::uint8_t Status();
    // Non-volatile bits are kept with the contents (SimStorage), so a part
    // built on saved storage starts with what it held before.
    void SetStatus(std::uint8_t value);
    // The status of a new part: ignored when the part had its bits saved.
    void SetPowerUpStatus(std::uint8_t value);
    // Write-protect pin: asserted with the lock bit set, status writes are refused.
    void SetWriteProtectPin(bool asserted) { wpAsserted_ = asserted; }

    // Busy periods: status polls that show busy, and device time (µs; only
    // with clocks). SetBusyMicros times every erase; a chip erase takes the
    // model's time until it or SetChipEraseMicros sets another.
    void SetBusyPolls(unsigned program, unsigned erase, unsigned statusWrite);
    void SetBusyMicros(std::uint64_t program, std::uint64_t erase, std::uint64_t statusWrite);
    void SetChipEraseMicros(std::uint64_t us) { chipEraseUs_ = us; }

    // --- fault injection ---
    void FailBusyNeverClears(bool on) { busyStuck_ = on; }
    void FailWelNeverSets(bool on) { welStuck_ = on; }
    void FailUnknownId(bool on) { unknownId_ = on; }
    // Bits of the byte at address that stay 1 (cannot be programmed) or stay 0.
    void AddStuckBits(std::uint32_t address, std::uint8_t stuckHigh, std::uint8_t stuckLow);
    // The next n page programs change nothing (the part still goes busy).
    void FailNextPrograms(unsigned n) { programFaults_.FailNext(n); }
    // Program operations that do not take or over-program one cell.
    SimProgramFaults& ProgramFaults() { return programFaults_; }
    // Chip and sector erases change nothing.
    void FailErase(bool on) { eraseFails_ = on; }
    // The next n erases change nothing (the part still goes busy).
    void FailNextErases(unsigned n) { failErases_ = n; }
    // A page program starts but the part never leaves busy (a write that
    // times out); erases and status writes still finish.
    void FailProgramHangs(bool on) { programHangs_ = on; }

    // --- inspection ---
    // Frames with at least one byte, by opcode.
    unsigned Count(std::uint8_t opcode) const { return counts_[opcode]; }
    void ClearCounts();
    // Frame log (off by default).
    void EnableFrameLog(bool on) { logFrames_ = on; }
    const std::vector<SimSpiFrame>& Frames() const { return frames_; }
    void ClearFrames() { frames_.clear(); }

private:
    enum class Op { None, Program, Erase, ChipErase, StatusWrite };
    std::uint64_t Now() const { return clocks_ ? clocks_->DeviceMicros() : 0; }
    // End of a busy period of us device time (none without clocks).
    std::uint64_t Until(std::uint64_t us) const { return clocks_ ? Now() + us : 0; }
    bool Busy();
    // erased: bytes a sector or block erase clears, which takes its share
    // of the chip erase's time (0: the whole chip).
    void StartOp(Op op, std::uint32_t erased = 0);
    // Acts on the frame just ended, as a part does when chip select rises.
    void Execute();
    void ExecuteStatusWrite(bool ewsrArmed);
    void ExecuteProgram();
    void ExecuteChipErase();
    void ExecuteSectorErase(std::uint32_t blockSize);
    bool Protected() const { return (status_ & model_.writableStatus & 0x3C) != 0; }
    bool Protects(std::uint32_t address) const;
    const SimSpiIdAnswer* IdAnswer(std::uint8_t opcode) const;
    std::uint8_t IdByte(const SimSpiIdAnswer& a) const;
    void Store(std::uint32_t address, std::uint8_t value);
    std::uint32_t Address() const;
    bool IsOneOf(std::uint8_t opcode, const std::vector<std::uint8_t>& set) const;
    // The block an erase opcode erases; 0 for another opcode.
    std::uint32_t BlockEraseSize(std::uint8_t opcode) const;

    SimSpiPartModel model_;
    std::shared_ptr<SimStorage> storage_;
    SimClocks* clocks_;

    std::uint8_t status_ = 0;        // bits 2-7 as written; busy and WEL kept apart
    std::uint8_t newStatus_ = 0;     // what a status write cycle puts in status_ when it ends
    bool restored_ = false;          // status_ came from the saved storage
    bool wel_ = false;
    bool wpAsserted_ = false;
    bool ewsrArmed_ = false;

    Op op_ = Op::None;
    unsigned pollsLeft_ = 0;
    std::uint64_t busyUntil_ = 0;
    unsigned programPolls_ = 2, erasePolls_ = 8, statusPolls_ = 1;
    std::uint64_t programUs_ = 0, eraseUs_ = 0, statusUs_ = 0, chipEraseUs_ = 0;

    bool selected_ = false;
    bool busyAtSelect_ = false;
    std::vector<std::uint8_t> header_;   // first bytes of the frame
    std::uint32_t count_ = 0;            // bytes received in this frame
    std::vector<int> latch_;             // page buffer, -1 = not loaded
    bool logFrames_ = false;
    std::vector<SimSpiFrame> frames_;
    unsigned counts_[256] = {};

    bool busyStuck_ = false;
    bool welStuck_ = false;
    bool unknownId_ = false;
    bool eraseFails_ = false;
    bool programHangs_ = false;
    SimProgramFaults programFaults_;
    unsigned failErases_ = 0;
    // True when the erase just started is one that changes nothing.
    bool EraseFails();
    struct Stuck {
        std::uint32_t address;
        std::uint8_t high;
        std::uint8_t low;
    };
    std::vector<Stuck> stuck_;
};
