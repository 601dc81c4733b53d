// SPI engine for boards whose ROM may not be written directly: a fuse
// register says whether direct writes are allowed, and a whole image can be
// handed to the GPU's system-management firmware, which programs the flash
// itself. Uses the second-generation controller registers behind the
// indirect pair.
#pragma once

#include <cstdint>

#include "protocols/CQuorSPI.h"

class SecureSPI : public CQuorSPI {
public:
    explicit SecureSPI(ProtocolHost* flash);
    ~SecureSPI() override;

    std::uint32_t Transfer(std::uint32_t cmdLen, const std::uint8_t* cmd, std::uint32_t txLen,
                           const std::uint8_t* tx, std::uint32_t rxLen, std::uint8_t* rx,
                           std::int16_t verify) override;
    int IsWriteAllowed() override;

    int IsSmuFirmwareRunning();
    int SmuFlashImage(const std::uint8_t* image, int length);
    int FlashThroughSmu(const std::uint8_t* image, int length);
};
