// Updater of the SiI1930 microcontroller's own flash, reached over the
// bit-banged I2C bus and two GPU GPIO pins (reset and program).
#pragma once

#include <cstdint>

class ProtocolHost;
class CGenI2C;

inline constexpr std::uint32_t kSiI1930PacketSize = 14;

class CSiI1930 {
public:
    CSiI1930(ProtocolHost* flash, CGenI2C* bus);
    virtual ~CSiI1930();
    CSiI1930(const CSiI1930&) = delete;
    CSiI1930& operator=(const CSiI1930&) = delete;

    // 1 when the pins were taken from the ROM image, else 0.
    virtual int LoadGpioPins(const std::uint8_t* image);
    virtual std::int32_t MapGpioId(std::int32_t id);
    // Bytes written, or the version word with identifyOnly, or the answer to
    // the finishing command.
    virtual std::uint32_t Program(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    // The device's flash cannot be read back: always 0.
    virtual std::uint32_t Compare(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    virtual std::uint32_t Adler32(const std::uint8_t* data, std::uint32_t length);
    // Checksum computed by the device, 0 on failure.
    virtual std::uint32_t DeviceChecksum(std::uint32_t start, std::uint32_t length);

    std::uint16_t ReadFirmwareVersion();
    int EraseAll();
    // Status register 0x49 into *status (0 when the read failed); true when
    // the read went through. result gets the bus call's answer.
    bool ReadStatus(std::uint8_t* status, std::uint32_t* result);

    // GPU registers of one pin bank: two enables and the level between them.
    struct PinRegisters {
        std::uint32_t first, level, third;
    };

    ProtocolHost* flash;
    CGenI2C* bus;
    std::uint32_t attempt = 0;
    std::uint32_t failedPackets = 0;
    std::uint8_t checksumReady = 0;
    std::uint8_t packet[kSiI1930PacketSize] = {};
    std::uint16_t firmwareVersion = 0;
    std::uint8_t identifyOnly = 0;
    std::int32_t resetPin = -1;
    std::int32_t programPin = -1;

private:
    struct PinSource;
    struct PinDrive;
    bool FindPins(PinSource* source);
    bool ReadPinsFromVideoBios(bool* romFound);
    PinRegisters ChoosePinSet(const PinSource& source);
    PinDrive DrivePins(const PinRegisters& set);
    std::uint32_t Level(const PinDrive& d);
    void SetLevel(const PinDrive& d, std::uint32_t value);
    void PulseReset(const PinDrive& d);
    void Release(const PinDrive& d);
    void RestorePins(const PinDrive& d);
    std::uint32_t Finish(const PinDrive& d, std::uint32_t length);
    std::uint32_t SendPackets(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    bool SendPacket();
    bool ConfirmPacket();
};
