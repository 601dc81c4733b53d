// Serial EEPROM behind the GPU's two-register serial-EEPROM controller: a
// command mode and an opcode are loaded into the controller, and one byte
// access to the expansion-ROM aperture runs the SPI command.
#pragma once

#include <cstdint>

class ProtocolHost;

// Controller registers of the register aperture.
inline constexpr std::uint32_t kSepromCntl1 = 0x1C0;
inline constexpr std::uint32_t kSepromCntl2 = 0x1C4;

// seprom_cntl1: every command value carries bits 24 and 27; bit 10 is
// the board's own and survives every command; 0x1100 reads 1 while busy.
inline constexpr std::uint32_t kSepromBase = 0x09000000;
inline constexpr std::uint32_t kSepromKeep = 0x00000400;
inline constexpr std::uint32_t kSepromBusy = 0x00001100;
inline constexpr std::uint32_t kSepromBurst = 0x00000200;
inline constexpr std::uint32_t kSepromSectorErase = 0x00002000;
// Command flags in bits 0-4.
inline constexpr std::uint8_t kSepromOpcodeOnly = 0x01;
inline constexpr std::uint8_t kSepromWriteDisable = 0x02;
inline constexpr std::uint8_t kSepromWriteStatus = 0x08;
inline constexpr std::uint8_t kSepromReadStatus = 0x10;
// seprom_cntl2: the SPI opcode in bits 16-23, the sector in bits 24-27.
inline constexpr std::uint32_t kSepromOpcodeMask = 0x00FF0000;
inline constexpr std::uint32_t kSepromSectorMask = 0x0F000000;

// SPI opcodes of the serial EEPROMs.
inline constexpr std::uint8_t kSpiWren = 0x06;
inline constexpr std::uint8_t kSpiWrdi = 0x04;
inline constexpr std::uint8_t kSpiRdsr = 0x05;
inline constexpr std::uint8_t kSpiWrsr = 0x01;
inline constexpr std::uint8_t kSpiEwsr = 0x50;
inline constexpr std::uint8_t kSpiSectorErase = 0xD8;
// Sector erases: the AT25F sector and the SST 32 KiB block. The chip
// erases are never sent: what part sits behind the controller, and whether
// it is larger than the ROM, nothing can tell.
inline constexpr std::uint8_t kAt25fSectorErase = 0x52;
inline constexpr std::uint8_t kSstBlockErase = 0x52;
// How long an erase is waited for, and waited for again while the part is busy.
inline constexpr std::uint32_t kEraseWaitSeconds = 10;
// The status when no part drives the data line.
inline constexpr std::uint8_t kSepromNoAnswer = 0xFF;
// The controller addresses sector n at n x 32 KiB.
inline constexpr std::uint32_t kSepromSectorBytes = 0x8000;
// What one sector erase may clear on a part nothing identifies: the widest
// sector of any part taking the opcode. The ST 0xD8 and the Atmel 0x52
// clear 64 KiB from the 2 Mbit parts up (M25P20, AT25F2048); the SST 0x52
// block is 32 KiB on every part.
inline constexpr std::uint32_t kSepromWidestSector = 0x10000;
inline constexpr std::uint32_t kSstBlockBytes = 0x8000;

class CVoskSerial {
public:
    explicit CVoskSerial(ProtocolHost* flash);
    virtual ~CVoskSerial();
    CVoskSerial(const CVoskSerial&) = delete;
    CVoskSerial& operator=(const CVoskSerial&) = delete;

    virtual std::uint32_t RdSepromCntl1();
    virtual std::uint32_t RdSepromCntl2();
    virtual void WrSepromCntl1(std::uint32_t value);
    virtual void WrSepromCntl2(std::uint32_t value);
    virtual std::int16_t Unprotect();
    virtual std::uint8_t GetBlockProtect();
    virtual std::int16_t WriteEnable();
    virtual std::int16_t WriteDisable();
    virtual std::uint8_t PollStatus(std::uint8_t expected, std::uint8_t mask);
    virtual std::int16_t ExeCommand(std::uint8_t flags, std::uint8_t opcode);
    virtual std::uint32_t VerifyBlock(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    virtual std::int16_t ProgramBlock(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length,
                                      std::uint32_t control);
    virtual std::uint32_t Write(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    virtual std::int16_t SectorErase(std::uint8_t sector);
    // Erases the ROM (romSize bytes) sector by sector with the sector-erase
    // opcode, then checks it blank: the count of blank bytes from 0.
    virtual std::uint32_t EraseRom(std::uint8_t opcode);
    virtual std::uint32_t EraseAT25F();
    virtual std::uint32_t EraseSTM25P();
    virtual std::uint32_t EraseSST();
    virtual std::uint32_t WriteAT25F(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    virtual std::uint32_t WriteSTM25P(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    virtual std::uint32_t WriteSST(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    virtual std::uint32_t Read(std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length);
    virtual std::uint8_t ReadStatus();
    virtual std::int16_t WriteStatusRegister(std::uint8_t value);
    // Waits for a busy part as long as a sector erase is waited for; false
    // when it is still busy then.
    bool WaitWhileBusy();

    // A status write before any erase or write waits this long.
    std::uint32_t timeoutSeconds = 1;
    ProtocolHost* flash;
    std::uint32_t romSize = 0;
    std::uint32_t pageSize = 0;
    std::uint32_t postProgramSleep = 0;
    std::uint32_t retryLimit = 0;
    std::uint32_t retryCount = 0;
    // The part takes a status write only right after EWSR (the SST parts).
    bool statusWriteNeedsEwsr = false;

protected:
    // EWSR, which opens the status register for the one command after it.
    std::int16_t EnableStatusWrite();
    // Write with the write enable and disable of the base class, or (the
    // bridge variant) done inline with its own messages.
    std::uint32_t WriteChunks(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length, bool inlineEnable);
    // Bit 10 of a saved seprom_cntl1 value.
    static std::uint32_t Kept(std::uint32_t saved) { return saved & kSepromKeep; }
    // Read back seprom_cntl1 until it is idle or the time-out passes.
    void ControllerWait();
    // Runs a command the way ExeCommand does; bridge: bus delay, no dummy write.
    std::int16_t RunCommand(std::uint8_t flags, std::uint8_t opcode, bool bridge, const char* name);
    // One controller command. RunControllerCommand saves both registers,
    // loads the mode (bit 10 kept) and the fields, starts the command by
    // writing the trigger byte at offset 0 of the ROM, waits, restores
    // seprom_cntl2 and then seprom_cntl1, and returns the busy bits.
    struct SepromCommand {
        std::uint32_t mode;             // seprom_cntl1 bits beside kSepromBase
        std::uint32_t fieldMask;        // seprom_cntl2 bits replaced ...
        std::uint32_t fields;           // ... by these
        std::uint8_t trigger = 0;       // data byte of the command
        bool plainAccessFirst = false;  // a plain-mode read (and write) before it
        bool bridge = false;            // bus delay before the trigger; no plain write
    };
    std::uint32_t RunControllerCommand(const SepromCommand& command);
    // The sector-erase command for `sector`; the busy bits after it.
    std::uint32_t SectorEraseCommand(std::uint8_t sector, std::uint8_t opcode);
    // Blank check of the ROM after an erase: the blank bytes from 0.
    std::uint32_t BlankAfterErase();
    // The erase waits (10 s, and as long again while the part is busy):
    // true when the part is busy past both.
    bool BusyAfterEraseWaits();
    // The part is still busy after its erase waits (code 3 set).
    bool StillErasing();

private:
    std::int16_t InlineEnable(bool setErrorAddress, const char* notSet);
    std::int16_t InlineDisable();
};
