#include "protocols/CMibI2C.h"

#include <cstring>

#include "protocols/ProtocolHost.h"

CMibI2C::CMibI2C(ProtocolHost* owner) : COsDepend(nullptr, 0), flash(owner) {}

CMibI2C::~CMibI2C() = default;

// The I2C engine transfers arrive with the companion-chip EEPROM protocol;
// until then nothing is sent, reads leave 0xFF and report failure.
void CMibI2C::WriteBytes(std::uint32_t, const std::uint8_t*, std::uint32_t) { aborted = 1; }

void CMibI2C::I2cRead(std::uint32_t length, std::uint8_t* buffer, std::uint32_t) {
    if (buffer && length) std::memset(buffer, 0xFF, length);
    aborted = 1;
}

void CMibI2C::I2cWrite(std::uint32_t, const std::uint8_t*, std::uint32_t) { aborted = 1; }

std::uint32_t CMibI2C::WriteEeprom(const std::uint8_t*, std::uint32_t) { return 0; }

std::uint32_t CMibI2C::ReadEeprom(std::uint8_t* buffer, std::uint32_t length) {
    if (buffer && length) std::memset(buffer, 0xFF, length);
    return 0;
}
