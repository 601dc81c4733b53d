#include "protocols/CGenI2C.h"

#include <cstring>

#include "protocols/ProtocolHost.h"

CGenI2C::CGenI2C(ProtocolHost* owner) : flash(owner) { ResetHeaders(); }

CGenI2C::~CGenI2C() = default;

void CGenI2C::ResetHeaders() {
    writeHeaderLength = 2;
    readHeaderLength = 3;
    std::memset(writeHeader, 0, sizeof writeHeader);
    std::memset(readHeader, 0, sizeof readHeader);
    readHeader[2] = 0x01;
    std::memset(writeStartAfter, 0, sizeof writeStartAfter);
    std::memset(writeStopAfter, 0, sizeof writeStopAfter);
    std::memset(readStartAfter, 0, sizeof readStartAfter);
    std::memset(readStopAfter, 0, sizeof readStopAfter);
    readStartAfter[1] = 1;
    // Address bits 0-7 go to the second header byte.
    for (std::uint32_t k = 0; k < kI2cAddressBits; ++k) {
        writeAddressMap[k] = k < 8 ? std::int32_t(8 + k) : -1;
        readAddressMap[k] = writeAddressMap[k];
    }
}

// The bus operations arrive with the I2C EEPROM protocol; until then the
// lines are not touched and every transfer reports failure.
void CGenI2C::SetScl(std::uint32_t) {}
void CGenI2C::SetSda(std::uint32_t) {}
std::uint32_t CGenI2C::GetScl() { return 1; }
std::uint32_t CGenI2C::GetSda() { return 1; }
std::int16_t CGenI2C::ResetBus() { return 0; }
std::int16_t CGenI2C::Start() { return 0; }
std::int16_t CGenI2C::Stop() { return 0; }
std::int16_t CGenI2C::WriteBit(std::uint32_t) { return 0; }
std::int16_t CGenI2C::ReadBit(std::uint32_t* bit) {
    if (bit) *bit = 1;
    return 0;
}
std::uint32_t CGenI2C::Transfer(std::uint32_t, const std::uint8_t*, const std::uint16_t*, const std::uint16_t*,
                                std::uint32_t, const std::uint8_t*, std::uint32_t, std::uint8_t*, std::int16_t) {
    return 0;
}
std::uint32_t CGenI2C::Write(const std::uint8_t*, std::uint32_t, std::uint32_t, std::int16_t) { return 0; }
std::uint32_t CGenI2C::Read(std::uint8_t* buffer, std::uint32_t, std::uint32_t length, std::int16_t compare) {
    if (buffer && length && compare != 1) std::memset(buffer, 0xFF, length);
    return 0;
}
