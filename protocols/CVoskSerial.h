// Serial EEPROM behind the GPU's two-register serial-EEPROM controller: a
// command mode and an opcode are loaded into the controller, and one byte
// access to the expansion-ROM aperture runs the SPI command.
#pragma once

#include <cstdint>

class ProtocolHost;

// Controller registers of the register aperture.
inline constexpr std::uint32_t kSepromCntl1 = 0x1C0;
inline constexpr std::uint32_t kSepromCntl2 = 0x1C4;

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
    virtual std::uint32_t ChipErase(std::uint8_t opcode);
    virtual std::uint32_t EraseAT25F();
    virtual std::uint32_t EraseSTM25P();
    virtual std::uint32_t EraseSST();
    virtual std::uint32_t WriteAT25F(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    virtual std::uint32_t WriteSTM25P(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    virtual std::uint32_t WriteSST(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    virtual std::uint32_t Read(std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length);
    virtual std::uint8_t ReadStatus();
    virtual std::int16_t WriteStatusRegister(std::uint8_t value);

    std::uint32_t timeoutSeconds = 0;
    ProtocolHost* flash;
    std::uint32_t romSize = 0;
    std::uint32_t pageSize = 0;
    std::uint32_t postProgramSleep = 0;
    std::uint32_t retryLimit = 0;
    std::uint32_t retryCount = 0;
};
