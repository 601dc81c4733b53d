// SPI serial-flash command layer shared by every SPI engine: part
// identification, range read/verify, page programming, chip and sector
// erase, status register and write-protect bits, all built on one transfer
// primitive. This class bit-bangs the transfer on four GPIO lines; the
// hardware engines derive from it and replace Transfer and ReadRange.
#pragma once

#include <cstdint>

#include "protocols/SpiPart.h"
#include "protocols/SpiLine.h"

class ProtocolHost;

// Largest command (opcode, address bytes, dummy bytes) BuildCommand makes.
inline constexpr std::uint32_t kSpiCommandBufferSize = 8;

// Time limits of the status polls, in microseconds of process CPU time.
inline constexpr std::uint64_t kSpiPageProgramTimeoutUs = 1000000;
// The chip erase's least wait; larger parts get longer (ChipEraseLimitUs).
inline constexpr std::uint64_t kSpiChipEraseTimeoutUs = 20000000;
inline constexpr std::uint64_t kSpiSectorEraseTimeoutUs = 8000000;
inline constexpr std::uint64_t kSpiWriteStatusTimeoutUs = 8000000;

// ReadStatus result when there is no part to ask.
inline constexpr std::uint32_t kSpiStatusFailed = 0xFFFFFFFF;

class CGenSPI {
public:
    explicit CGenSPI(ProtocolHost* flash);
    virtual ~CGenSPI();
    CGenSPI(const CGenSPI&) = delete;
    CGenSPI& operator=(const CGenSPI&) = delete;

    // Line operations: the register value read back after the write.
    virtual std::uint32_t SetChipSelect(int level);
    virtual std::uint32_t SetClock(int level);
    virtual std::uint32_t SetDataOut(int level);
    // 0 or 1.
    virtual int ReadDataIn();

    // One SPI frame: cmdLen command bytes and txLen data bytes out, then
    // rxLen bytes in. verify 1 compares the received bytes with rx (stops at
    // the first difference) instead of storing them; otherwise rx is filled
    // with 0xFF first so a failed frame never leaves stale bytes. Result:
    // cmdLen + txLen + bytes stored or matched; 0 when the frame failed or
    // was refused.
    virtual std::uint32_t Transfer(std::uint32_t cmdLen, const std::uint8_t* cmd, std::uint32_t txLen,
                                   const std::uint8_t* tx, std::uint32_t rxLen, std::uint8_t* rx,
                                   std::int16_t verify);
    // Opcode, the low address bytes MSB first, zero dummies into buffer
    // (kSpiCommandBufferSize bytes). Returns the length; 0 when the command
    // would not fit.
    virtual std::uint32_t BuildCommand(std::uint8_t* buffer, const SpiCommand& command, std::uint32_t address);

    // 1 when the status shows the pair after the write; 0 without a part or mask.
    virtual int SetStatusBits(const SpiStatusBits& pair);
    // 1 when the status shows the pair.
    virtual int TestStatusBits(const SpiStatusBits& pair);

    // Identifies the part among parts[0..count): index of the first match
    // (and part set), or count when none matches.
    virtual std::uint32_t DetectPart(SpiPart* parts, std::uint32_t count);
    // Bytes programmed (and verified when verify is 1).
    virtual std::uint32_t ProgramRange(const std::uint8_t* data, std::uint32_t address, std::uint32_t length,
                                       std::int16_t verify);
    // Bytes read, or with verify 1 the bytes equal to buffer.
    virtual std::uint32_t ReadRange(std::uint8_t* buffer, std::uint32_t address, std::uint32_t length,
                                    std::int16_t verify);
    // Erases the whole part. With verify 1 the result is the number of blank
    // bytes confirmed over blankCheckLength (0: the part's size); without, it
    // is that length. The part record itself is never changed.
    virtual std::uint32_t ChipErase(std::int16_t verify, std::uint32_t blankCheckLength = 0);
    // Erases sector `index`; bytes erased (blank bytes with verify 1).
    virtual std::uint32_t SectorErase(std::uint32_t index, std::int16_t verify);
    // The size the JEDEC ID's capacity byte names, when the part answers
    // 0x9F with its maker's byte; 0 otherwise.
    virtual std::uint32_t JedecCapacity();
    // The step of EraseBlocks: the block the part's sector-erase opcode
    // erases at least; 0 when the part has none.
    std::uint32_t BlockEraseSize() const;
    // Erases the blocks covering [0, length) and checks that range blank:
    // the blank bytes from 0 (0 when the part has no block erase).
    virtual std::uint32_t EraseBlocks(std::uint32_t length);
    // Waits for a busy part as an erase with this limit is waited for (the
    // limit, then as long again); false when it is still busy then.
    bool WaitWhileBusy(std::uint64_t limitUs);
    // Status byte; kSpiStatusFailed without a part, 0xFF when the frame failed.
    virtual std::uint32_t ReadStatus();
    // Writes the status register: 1 done, 0 without a part, on a failed
    // frame or when the write does not finish in time.
    virtual std::uint32_t WriteStatus(std::uint32_t value);

    virtual int ProtectAll();
    virtual int ProtectPartial();
    virtual int LockStatusRegister();
    virtual int IsWriteAllowed();
    virtual int Unprotect();
    virtual int IsProtectedAll();
    virtual int IsProtectedPartial();
    virtual int IsStatusRegisterLocked();
    virtual int SupportsTarget(ProtocolHost* target);

    ProtocolHost* flash;                   // not owned; all register access goes through it
    SpiPart* part = nullptr;         // identified part inside the engine's list; null = none
    std::uint32_t bitDelay = 0;      // stored from the software-SPI table; no pauses are made
    std::uint32_t retryLimit = 0;    // set by the engine; no retries are made here
    std::uint32_t retryCount = 0;    // read by the engine; always 0
    std::uint32_t maxWriteBurst = 0; // largest page-program chunk; 0 = no cap
    std::uint32_t maxReadBurst = 0;  // largest read chunk; 0 = no cap
    bool announceBurst = true;       // ProgramRange names its burst size
    SpiLine csLine;
    SpiLine clkLine;
    SpiLine doutLine;
    SpiLine dinLine;

protected:
    // Sends command `index` of the part built with address, then tx out and
    // rx in. Result as Transfer; 0 when the command is absent or too long.
    // `instead` replaces the part's command of that index.
    std::uint32_t SendCommand(SpiCommandIndex index, std::uint32_t address, std::uint32_t txLen,
                              const std::uint8_t* tx, std::uint32_t rxLen, std::uint8_t* rx,
                              std::int16_t verify, std::uint32_t* cmdLen = nullptr,
                              const SpiCommand* instead = nullptr);
    // RDSR: the status byte, 0xFF when the frame failed.
    std::uint8_t ReadStatusByte();
    // The wait after a write command.
    struct StatusPoll {
        bool untilWelClear;          // wait for the write-enable latch too
        std::uint64_t limitUs;
        const char* timeoutMessage;  // printed when the limit passes (null: nothing)
    };
    // Reads the status until busy (and, when asked, the write-enable latch)
    // clears or the time-out passes, printing the message then; returns the
    // last status read.
    std::uint8_t PollStatus(const StatusPoll& poll);
    // Every erase, program and status write: write enable and its latch
    // check (a status write on a part with EWSR sends that instead, which
    // sets no latch), command `index` with tx, then the poll. The status the
    // poll ended on, or -1 when the latch did not set or the command was
    // not sent (a status write also when its byte did not go out whole).
    int RunWriteCommand(SpiCommandIndex index, std::uint32_t address, std::uint32_t txLen, const std::uint8_t* tx,
                        const StatusPoll& poll, const SpiCommand* instead = nullptr);
    // An erase command and its waits: the limit, and once more when the
    // part is still busy, with the message when it is busy past both. The
    // status the waits ended on, as RunWriteCommand.
    int RunEraseCommand(SpiCommandIndex index, std::uint32_t address, std::uint64_t limitUs,
                        const char* timeoutMessage, const SpiCommand* instead = nullptr);
    // Parts with the EWSR/0x60 command set power up block-protected: an
    // erase before the protection is cleared is silently ignored.
    void LiftPowerUpProtection();
    // The command ran and the part ended idle with the latch clear.
    bool IdleAfterWrite(int status) const;
    static bool Shows(std::uint32_t status, const SpiStatusBits& pair) {
        return (status & pair.mask) == pair.value;
    }
    // Chunk of a range operation starting at address: up to the next page
    // boundary, the end and the cap. 0 when the part has no page size.
    std::uint32_t ChunkAt(std::uint32_t address, std::uint32_t end, std::uint32_t cap) const;
    // Blank check of [address, address + length) against 0xFF.
    std::uint32_t BlankCheck(std::uint32_t address, std::uint32_t length);

private:
    std::uint32_t SetLine(const SpiLine& line, int level);
};
