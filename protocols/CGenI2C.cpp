#include "protocols/CGenI2C.h"

#include <algorithm>
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

namespace {

constexpr std::uint32_t kClockStretchSeconds = 1;
// An EEPROM's self-timed write cycle lasts up to 10 ms; twice that is a
// device that will not come back.
constexpr std::uint64_t kWriteCycleMicros = 20000;
constexpr std::uint16_t kNoConditions[1] = {0};

bool Inverted(const GpioLine& line) { return line.bit >= 32; }
std::uint32_t BitMask(const GpioLine& line) { return 1u << (line.bit & 31); }

}  // namespace

void CGenI2C::SetLine(const GpioLine& line, std::uint32_t level) {
    bool high = level != 0;
    if (Inverted(line)) high = !high;
    std::uint32_t v = flash->ReadRegister(line.reg) & ~BitMask(line);
    if (high) v |= BitMask(line);
    flash->WriteRegister(line.reg, v);
    flash->ReadRegister(line.reg);
}

std::uint32_t CGenI2C::GetLine(const GpioLine& line) {
    std::uint32_t level = (flash->ReadRegister(line.reg) >> (line.bit & 31)) & 1;
    return Inverted(line) ? level ^ 1 : level;
}

void CGenI2C::SetScl(std::uint32_t level) { SetLine(sclOut, level); }
void CGenI2C::SetSda(std::uint32_t level) { SetLine(sdaOut, level); }
std::uint32_t CGenI2C::GetScl() { return GetLine(sclIn); }
std::uint32_t CGenI2C::GetSda() { return GetLine(sdaIn); }

void CGenI2C::Wait() { flash->Delay(int(delay)); }

bool CGenI2C::RaiseClock() {
    SetScl(1);
    // A slave may hold the clock low (stretching) for a while, not forever.
    flash->StartTimeout(kClockStretchSeconds);
    while (!GetScl())
        if (flash->IsTimedOut()) return GetScl() != 0;
    return true;
}

std::int16_t CGenI2C::ResetBus() {
    SetScl(1);
    Wait();
    SetSda(1);
    Wait();
    if (!GetScl()) return 0;
    if (GetSda()) return 1;
    // A slave cut off mid-byte still drives data: clock it out.
    for (int i = 0; i < 10 && !GetSda(); ++i) {
        SetScl(0);
        Wait();
        SetScl(1);
        Wait();
    }
    if (!GetSda()) return 0;
    SetScl(0);
    Wait();
    SetSda(0);
    Wait();
    SetScl(1);
    Wait();
    SetSda(1);
    Wait();
    return (GetScl() && GetSda()) ? 1 : 0;
}

std::int16_t CGenI2C::Start() {
    if (!GetSda()) {
        SetScl(0);
        GetScl();
        SetSda(1);
    }
    Wait();
    if (!RaiseClock()) return 0;
    if (!GetSda()) return 0;
    Wait();
    SetSda(0);
    Wait();
    SetScl(0);
    Wait();
    return 1;
}

std::int16_t CGenI2C::Stop() {
    if (GetSda()) {
        SetScl(0);
        GetScl();
    }
    SetSda(0);
    Wait();
    if (!RaiseClock()) return 0;
    Wait();
    SetSda(1);
    Wait();
    return GetSda() ? 1 : 0;
}

bool CGenI2C::ClockPulse(std::uint32_t sda, std::uint32_t* sampled) {
    SetSda(sda != 0);
    Wait();
    const bool high = RaiseClock();
    Wait();
    if (sampled) *sampled = GetSda();
    SetScl(0);
    Wait();
    return high;
}

std::int16_t CGenI2C::WriteBit(std::uint32_t bit) {
    GetScl();
    return ClockPulse(bit, nullptr) ? 1 : 0;
}

std::int16_t CGenI2C::ReadBit(std::uint32_t* bit) { return ClockPulse(1, bit) ? 1 : 0; }

bool CGenI2C::SendByte(std::uint8_t byte) {
    for (int b = 7; b >= 0; --b)
        if (!WriteBit((byte >> b) & 1)) return false;
    std::uint32_t ack = 1;
    return ReadBit(&ack) && ack == 0;
}

std::uint32_t CGenI2C::Transfer(std::uint32_t headerLength, const std::uint8_t* header, const std::uint16_t* startAfter,
                                const std::uint16_t* stopAfter, std::uint32_t dataLength, const std::uint8_t* data,
                                std::uint32_t readLength, std::uint8_t* readBuffer, std::int16_t compare) {
    std::uint32_t count = 0;
    if (ResetBus() && Start())
        Exchange(headerLength, header, startAfter, stopAfter, dataLength, data, readLength, readBuffer, compare, count);
    // Whatever went wrong, the bus is left stopped.
    Stop();
    return count;
}

void CGenI2C::Exchange(std::uint32_t headerLength, const std::uint8_t* header, const std::uint16_t* startAfter,
                       const std::uint16_t* stopAfter, std::uint32_t dataLength, const std::uint8_t* data,
                       std::uint32_t readLength, std::uint8_t* readBuffer, std::int16_t compare, std::uint32_t& count) {
    for (std::uint32_t i = 0; i < headerLength; ++i) {
        if (!SendByte(header[i])) return;
        if (stopAfter[i] == 1 && !Stop()) return;
        if (startAfter[i] == 1 && !Start()) return;
        ++count;
    }
    for (std::uint32_t i = 0; i < dataLength; ++i) {
        if (!SendByte(data[i])) return;
        ++count;
    }
    for (std::uint32_t i = 0; i < readLength; ++i) {
        std::uint32_t byte = 0;
        for (int b = 0; b < 8; ++b) {
            std::uint32_t bit = 1;
            if (!ReadBit(&bit)) return;
            byte = (byte << 1) | (bit & 1);
        }
        if (compare == 1) {
            if (readBuffer[i] != std::uint8_t(byte)) return;
        } else {
            readBuffer[i] = std::uint8_t(byte);
        }
        // The slave must have let go of data after its eighth bit.
        GetScl();
        SetSda(1);
        if (!GetSda()) return;
        if (!WriteBit(i + 1 == readLength ? 1 : 0)) return;
        ++count;
    }
}

void CGenI2C::BuildHeader(std::uint8_t* out, const std::uint8_t* templ, std::uint32_t length, const std::int32_t* map,
                          std::uint32_t address) const {
    std::memcpy(out, templ, kI2cHeaderMax);
    const std::int32_t positions = std::int32_t(length * 8);
    for (std::uint32_t k = 0; k < kI2cAddressBits; ++k) {
        const std::int32_t at = map[k];
        // -1 marks an address bit that goes nowhere.
        if (at < 0 || at >= positions) continue;
        // Position = byte index * 8 + bit number within that byte.
        const std::uint8_t mask = std::uint8_t(1u << (at & 7));
        if ((address >> k) & 1) out[at / 8] |= mask;
        else out[at / 8] &= std::uint8_t(~mask);
    }
}

std::uint32_t CGenI2C::ChunkEnd(std::uint32_t a, std::uint32_t end, std::uint32_t page) {
    const std::uint64_t p = page ? page : 1;
    const std::uint64_t next = (a / p + 1) * p;
    return std::uint32_t(std::min<std::uint64_t>(next, end));
}

bool CGenI2C::AwaitWriteCycle(const std::uint8_t* header, std::uint32_t headerLength) {
    if (headerLength == 0) return true;
    // While it programs the page it does not acknowledge its address.
    const std::uint64_t until = flash->StartTimeoutMicros(kWriteCycleMicros);
    for (;;) {
        if (Transfer(1, header, kNoConditions, kNoConditions, 0, nullptr, 0, nullptr, 0) == 1) return true;
        if (flash->IsTimedOut(until)) return false;
    }
}

std::uint32_t CGenI2C::Write(const std::uint8_t* data, std::uint32_t address, std::uint32_t length,
                             std::int16_t verify) {
    if (length == 0 || writeAlign == 0 || address % writeAlign != 0) return 0;
    const std::uint32_t headerLength = std::min(writeHeaderLength, kI2cHeaderMax);
    const std::uint64_t end64 = std::uint64_t(address) + length;
    const std::uint32_t end = std::uint32_t(std::min<std::uint64_t>(end64, 0xFFFFFFFFu));
    std::uint32_t written = 0;
    for (std::uint32_t a = address; a < end;) {
        const std::uint32_t n = ChunkEnd(a, end, writePage) - a;
        std::uint8_t header[kI2cHeaderMax];
        BuildHeader(header, writeHeader, headerLength, writeAddressMap, a);
        const std::uint8_t* chunk = data + (a - address);
        if (Transfer(headerLength, header, writeStartAfter, writeStopAfter, n, chunk, 0, nullptr, 0) !=
            n + headerLength)
            break;
        const bool more = verify == 1 || a + n < end;
        if (more && !AwaitWriteCycle(header, headerLength)) break;
        if (verify == 1) {
            // Compare mode only reads the buffer.
            const std::uint32_t same = Read(const_cast<std::uint8_t*>(chunk), a, n, 1);
            written += same;
            if (same < n) break;
        } else {
            written += n;
        }
        a += n;
    }
    return written;
}

std::uint32_t CGenI2C::Read(std::uint8_t* buffer, std::uint32_t address, std::uint32_t length, std::int16_t compare) {
    if (length == 0 || readAlign == 0 || address % readAlign != 0) return 0;
    const std::uint32_t headerLength = std::min(readHeaderLength, kI2cHeaderMax);
    const std::uint32_t end = std::uint32_t(std::min<std::uint64_t>(std::uint64_t(address) + length, 0xFFFFFFFFu));
    std::uint32_t counted = 0;
    for (std::uint32_t a = address; a < end;) {
        const std::uint32_t n = ChunkEnd(a, end, readPage) - a;
        std::uint8_t header[kI2cHeaderMax];
        BuildHeader(header, readHeader, headerLength, readAddressMap, a);
        const std::uint32_t result = Transfer(headerLength, header, readStartAfter, readStopAfter, 0, nullptr, n,
                                              buffer + (a - address), compare);
        // A device that never acknowledged its header read nothing.
        if (result > headerLength) counted += result - headerLength;
        if (result != headerLength + n) break;
        a += n;
    }
    return counted;
}
