#include "protocols/SecureSPI.h"

#include <cstring>

#include "protocols/ProtocolHost.h"

namespace {

constexpr std::uint32_t kIndirectIndex = 0x208;
constexpr std::uint32_t kIndirectData = 0x20C;

}  // namespace

SecureSPI::SecureSPI(ProtocolHost* owner) : CQuorSPI(owner) {
    UseIndirectControllerRegisters();
    maxReadBurst = kRomControllerDataBytes;
    maxWriteBurst = kRomControllerDataBytes;
    SetLines(19, 0, 10, 9, 8);
    // Made while the first engine is built, before any device is mapped, so
    // these writes reach nothing.
    if (flash) {
        flash->SetIndirectRegisterPair(kIndirectIndex, kIndirectData);
        flash->WriteIndirectRegister(ROM_AUX_CNTL, flash->ReadIndirectRegister(ROM_AUX_CNTL) | 2);
    }
}

SecureSPI::~SecureSPI() = default;

// The fuse check, the frame of this generation and the firmware hand-over
// arrive with firmware-mediated flashing; until then nothing is sent.
std::uint32_t SecureSPI::Transfer(std::uint32_t, const std::uint8_t*, std::uint32_t, const std::uint8_t*,
                                  std::uint32_t rxLen, std::uint8_t* rx, std::int16_t verify) {
    if (rx && rxLen && verify != 1) std::memset(rx, 0xFF, rxLen);
    return 0;
}

int SecureSPI::IsWriteAllowed() { return 0; }

int SecureSPI::IsSmuFirmwareRunning() { return 0; }

int SecureSPI::SmuFlashImage(const std::uint8_t*, int) { return 0; }

int SecureSPI::FlashThroughSmu(const std::uint8_t*, int) { return 0; }
