// The serial-EEPROM controller of the bridge boards: the same controller
// registers sit behind the bridge and are reached through its index/data
// register pair.
#pragma once

#include <cstdint>

#include "protocols/CVoskSerial.h"

// Bridge index/data pair of the register aperture.
inline constexpr std::uint32_t kBridgeIndexRegister = 0xA0;
inline constexpr std::uint32_t kBridgeDataRegister = 0xA4;

class CNerrowSerial : public CVoskSerial {
public:
    explicit CNerrowSerial(ProtocolHost* flash);
    ~CNerrowSerial() override;

    std::uint32_t RdSepromCntl1() override;
    std::uint32_t RdSepromCntl2() override;
    void WrSepromCntl1(std::uint32_t value) override;
    void WrSepromCntl2(std::uint32_t value) override;
    std::int16_t ExeCommand(std::uint8_t flags, std::uint8_t opcode) override;
    std::uint32_t Write(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) override;

private:
    std::uint32_t ReadBridge(std::uint32_t reg, const char* name);
    void WriteBridge(std::uint32_t reg, std::uint32_t value, const char* name);
};
