// Serial EEPROM of the companion-chip boards, reached through the GPU's I2C
// master engine (control/status, transaction setup and data FIFO registers)
// at device address 0xA0, in 8-byte pages.
#pragma once

#include <cstdint>

#include "platform/COsDepend.h"

class ProtocolHost;

// I2C engine registers of the register aperture.
inline constexpr std::uint32_t kMibI2cControl = 0x3E0;
inline constexpr std::uint32_t kMibI2cSetup = 0x3E4;
inline constexpr std::uint32_t kMibI2cData = 0x3E8;

// The EEPROM's write page: one write never crosses its boundary.
inline constexpr std::uint32_t kMibEepromPage = 8;

// Bus conditions of one transfer.
enum MibI2cTransferFlag : std::uint32_t {
    MIB_I2C_START_STOP = 0,
    MIB_I2C_START_ONLY = 1,
    MIB_I2C_STOP_ONLY = 2,
    MIB_I2C_NEITHER = 3,
};

// The base part serves only the class's own trace line and its write-cycle
// delay; all hardware access goes through flash.
class CMibI2C : public COsDepend {
public:
    explicit CMibI2C(ProtocolHost* flash);
    ~CMibI2C() override;

    virtual void WriteBytes(std::uint32_t length, const std::uint8_t* data, std::uint32_t flag);
    virtual void I2cRead(std::uint32_t length, std::uint8_t* buffer, std::uint32_t flag);
    virtual void I2cWrite(std::uint32_t length, const std::uint8_t* data, std::uint32_t flag);
    // Writes from EEPROM address `offset` in page writes, each read back
    // before the next: the bytes from offset that took the data; when all
    // did, the count runs to the end of the last page.
    virtual std::uint32_t WriteEeprom(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    // 1 when the EEPROM was read from address 0; 0 when it did not answer
    // (the buffer then holds 0xFF).
    virtual std::uint32_t ReadEeprom(std::uint8_t* buffer, std::uint32_t length);
    // The last transfer found no EEPROM acknowledging through every retry.
    bool Silent() const { return nackSeen != 0 || aborted != 0; }

    // 0 when the transfer finished; 1 on NACK, error or no answer.
    std::uint32_t WaitDone();
    void FinishTransfer();

    void SetPrescale(std::uint32_t value) { control = value << 16; }
    std::uint32_t GetPrescale() const { return control; }
    void SetConfigHigh(std::uint32_t value) { config = value << 24; }
    std::uint32_t GetConfigHigh() const { return config; }
    void SetDeviceAddress(std::uint8_t address) { deviceAddress = address; }
    std::uint8_t GetDeviceAddress() const { return deviceAddress; }

    std::uint32_t control = 0x0C0C0000;
    std::uint32_t config = 0x30000000;
    std::uint8_t nackSeen = 0;
    std::uint8_t aborted = 0;
    std::uint8_t deviceAddress = 0xA0;
    ProtocolHost* flash;

private:
    void ResetEngine();
    // Random read from `address`; false when the EEPROM did not answer.
    bool ReadAt(std::uint8_t* buffer, std::uint32_t address, std::uint32_t length);
};
