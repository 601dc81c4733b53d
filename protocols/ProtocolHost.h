// What a protocol object sees of the engine that owns it: the platform
// class for registers, ROM aperture, log and time, and the adapter the
// command layer means to program. The engine implements it; protocols never
// reach further into the engine.
#pragma once

#include <cstdint>

#include "platform/COsDepend.h"
#include "protocols/FlashStatusCode.h"

class ProtocolHost : public COsDepend {
public:
    using COsDepend::COsDepend;

    // Device and revision of the SPI target check (0xFFFF/0xFF: none given).
    virtual std::uint16_t TargetDeviceId() const = 0;
    virtual std::uint8_t TargetRevision() const = 0;

    // The engine's error fields: the code an operation leaves, and the ROM
    // address a failed write names.
    virtual void SetErrorCode(FlashStatusCode code) = 0;
    virtual void SetErrorAddress(std::uint32_t address) = 0;
    // A read-back that differs: where, what was written, what reads back.
    virtual void SetVerifyError(std::uint32_t address, std::uint32_t written, std::uint32_t read) = 0;
};
