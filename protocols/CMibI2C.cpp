#include "protocols/CMibI2C.h"

#include <algorithm>
#include <cstring>

#include "protocols/ProtocolHost.h"

namespace {

constexpr std::uint32_t kPollLimit = 20000;
constexpr std::uint32_t kAttemptLimit = 20000;
constexpr std::uint32_t kFifoBytes = 16;
// The message carries an 8-bit word address.
constexpr std::uint32_t kAddressSpace = 0x100;

constexpr std::uint32_t kStatusDone = 0x01;
constexpr std::uint32_t kStatusNack = 0x02;
constexpr std::uint32_t kStatusError = 0x04;
constexpr std::uint32_t kGoStart = 0x100;
constexpr std::uint32_t kGoStop = 0x200;
constexpr std::uint32_t kGoRead = 0x400;
constexpr std::uint32_t kGo = 0x1000;

bool WantsStart(std::uint32_t flag) { return flag == MIB_I2C_START_STOP || flag == MIB_I2C_START_ONLY; }
bool WantsStop(std::uint32_t flag) { return flag == MIB_I2C_START_STOP || flag == MIB_I2C_STOP_ONLY; }

}  // namespace

CMibI2C::CMibI2C(ProtocolHost* owner) : COsDepend(nullptr, 0), flash(owner) {}

CMibI2C::~CMibI2C() = default;

void CMibI2C::ResetEngine() { flash->WriteRegister(kMibI2cControl, control | 0xE7); }

std::uint32_t CMibI2C::WaitDone() {
    for (std::uint32_t i = 0; i < kPollLimit; ++i) {
        const std::uint32_t status = flash->ReadRegister(kMibI2cControl);
        // Done is looked at first: an engine that ends a NACKed transfer
        // shows NACK with done clear.
        if (status & kStatusDone) return 0;
        if ((status & kStatusNack) || nackSeen) {
            nackSeen = 1;
            return 1;
        }
        if ((status & kStatusError) || aborted) {
            aborted = 1;
            return 1;
        }
        flash->Delay(1);
    }
    aborted = 1;
    return 1;
}

void CMibI2C::FinishTransfer() {
    WaitDone();
    const std::uint32_t v = flash->ReadRegister(kMibI2cControl);
    flash->WriteRegister(kMibI2cControl, (v & ~0x27u) | 0x06);
}

void CMibI2C::I2cWrite(std::uint32_t length, const std::uint8_t* data, std::uint32_t flag) {
    std::uint32_t go = 0;
    if (length > kFifoBytes) {
        Log(1, "Length limit exceeds!\n");
        length = kFifoBytes;
    } else if (WantsStart(flag)) {
        go |= kGoStart;
    }
    if (WantsStop(flag)) go |= kGoStop;
    if (length == 0) return;
    for (std::uint32_t attempt = 0; attempt < kAttemptLimit; ++attempt) {
        ResetEngine();
        flash->WriteRegister(kMibI2cSetup, (length - 1) | config | 0xF90100);
        nackSeen = 0;
        aborted = 0;
        for (std::uint32_t i = 0; i < length; ++i) flash->WriteRegister(kMibI2cData, data[i]);
        flash->WriteRegister(kMibI2cControl, flash->ReadRegister(kMibI2cControl) | go | kGo);
        FinishTransfer();
        // A NACK is an EEPROM still busy with its write cycle: try again.
        if (!nackSeen) return;
    }
}

void CMibI2C::WriteBytes(std::uint32_t length, const std::uint8_t* data, std::uint32_t flag) {
    ResetEngine();
    nackSeen = 0;
    aborted = 0;
    for (std::uint32_t done = 0; done < length; done += kFifoBytes) {
        I2cWrite(std::min(kFifoBytes, length - done), data + done, flag);
        if (nackSeen || aborted) return;
    }
}

void CMibI2C::I2cRead(std::uint32_t length, std::uint8_t* buffer, std::uint32_t flag) {
    nackSeen = 0;
    aborted = 0;
    ResetEngine();
    nackSeen = 0;
    aborted = 0;
    for (std::uint32_t done = 0; done < length;) {
        const std::uint32_t n = std::min(kFifoBytes, length - done);
        flash->WriteRegister(kMibI2cControl, flash->ReadRegister(kMibI2cControl) & ~0x1320u);
        std::uint32_t go = kGoRead;
        if (done == 0) {
            flash->WriteRegister(kMibI2cSetup, n | config | 0x10100);
            flash->WriteRegister(kMibI2cData, deviceAddress | 1u);
            if (WantsStart(flag)) go |= kGoStart;
        } else {
            flash->WriteRegister(kMibI2cSetup, n | config | 0x10000);
        }
        if (done + n == length && WantsStop(flag)) go |= kGoStop;
        flash->WriteRegister(kMibI2cControl, flash->ReadRegister(kMibI2cControl) | go | kGo);
        FinishTransfer();
        for (std::uint32_t i = 0; i < n; ++i)
            buffer[done + i] = nackSeen ? 0xFF : std::uint8_t(flash->ReadRegisterDirect(kMibI2cData));
        done += n;
    }
}

std::uint32_t CMibI2C::WriteEeprom(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    if (length == 0) return 0;
    const std::uint32_t end = std::uint32_t(std::min<std::uint64_t>(std::uint64_t(offset) + length, kAddressSpace));
    std::uint32_t done = 0;
    for (std::uint32_t at = offset; at < end;) {
        // The EEPROM's page buffer wraps: a write ends at the page boundary.
        const std::uint32_t n = std::min(kMibEepromPage - at % kMibEepromPage, end - at);
        std::uint8_t message[2 + kMibEepromPage];
        message[0] = deviceAddress;
        message[1] = std::uint8_t(at);
        std::memcpy(message + 2, data + done, n);
        WriteBytes(2 + n, message, MIB_I2C_START_STOP);
        // An EEPROM that stayed silent through every retry took nothing more.
        if (nackSeen || aborted) return done;
        Delay(1000);
        // The read-back waits out the write cycle, through which the EEPROM
        // refuses its address.
        std::uint8_t back[kMibEepromPage];
        if (!ReadAt(back, at, n)) return done;
        const std::uint32_t same = std::uint32_t(std::mismatch(back, back + n, data + done).first - back);
        done += same;
        if (same < n) return done;
        at += n;
    }
    if (done < length) return done;
    const std::uint32_t pageEnd = (end + kMibEepromPage - 1) / kMibEepromPage * kMibEepromPage;
    return pageEnd - offset;
}

bool CMibI2C::ReadAt(std::uint8_t* buffer, std::uint32_t address, std::uint32_t length) {
    const std::uint8_t pointer[2] = {deviceAddress, std::uint8_t(address)};
    WriteBytes(2, pointer, MIB_I2C_START_ONLY);
    if (nackSeen || aborted) {
        std::memset(buffer, 0xFF, length);
        return false;
    }
    I2cRead(length, buffer, MIB_I2C_START_STOP);
    return !(nackSeen || aborted);
}

std::uint32_t CMibI2C::ReadEeprom(std::uint8_t* buffer, std::uint32_t length) {
    return ReadAt(buffer, 0, length) ? 1 : 0;
}
