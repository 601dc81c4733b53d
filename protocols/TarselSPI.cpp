#include "protocols/TarselSPI.h"

#include <cstring>

#include "protocols/AsicFamily.h"
#include "protocols/ProtocolHost.h"

namespace {

// Family 13 keeps the data words from byte 216 on at a second block.
constexpr std::uint32_t kFamily13GapStart = 216;
constexpr std::uint32_t kFamily13UpperData = 0xC0600110;

}  // namespace

TarselSPI::TarselSPI(ProtocolHost* owner) : CQuorSPI(owner) {
    UseIndirectControllerRegisters();
    SetLines(22, 1, 10, 9, 8);
    family13ProbeReg = 0x5564;
    for (FamilyHook& h : familyHooks) h = &TarselSPI::HookNone;
    familyHooks[KOV_FELSK_OMBREL] = &TarselSPI::HookFamily13;
    familyHooks[KOV_FELSK_ULVANE] = &TarselSPI::HookFamily14;
    familyHooks[KOV_GAVREL_WENMAR] = &TarselSPI::HookFamily16;
    for (std::uint32_t f = KOV_GAVREL_YESKEL; f <= KOV_FYRAND; ++f) familyHooks[f] = &TarselSPI::HookFamily17To27;
}

TarselSPI::~TarselSPI() = default;

void TarselSPI::SetFamily(std::int32_t value) {
    family = value;
    flash->SetIndirectRegisterPair(kIndirectIndex, kIndirectData);
}

int TarselSPI::SupportsTarget(ProtocolHost*) { return 1; }

void TarselSPI::RebuildDataTable() {
    std::uint32_t first = 0xC0600028;
    for (std::uint32_t k = 0; k < kRomControllerDataBytes; ++k)
        ROM_SW_DATA[k] = (family == KOV_FELSK_OMBREL && k >= kFamily13GapStart)
                             ? kFamily13UpperData + (k - kFamily13GapStart)
                             : first + k;
}

void TarselSPI::RunFamilyHook(ProtocolHost* target) {
    FamilyHook hook = (family >= 0 && family < 256) ? familyHooks[family] : &TarselSPI::HookNone;
    if (hook) (this->*hook)(target);
}

void TarselSPI::HookFamily13(ProtocolHost* target) {
    if ((target->ReadRegister(family13ProbeReg) >> 28) != 0)
        target->WriteIndirectRegister(ROM_AUX_CNTL, target->ReadIndirectRegister(ROM_AUX_CNTL) & ~2u);
}

void TarselSPI::HookFamily14(ProtocolHost* target) {
    target->WriteIndirectRegister(ROM_AUX_CNTL, target->ReadIndirectRegister(ROM_AUX_CNTL) | 2u);
}

void TarselSPI::HookFamily16(ProtocolHost* target) {
    target->WriteIndirectRegister(ROM_AUX_CNTL, target->ReadIndirectRegister(ROM_AUX_CNTL) | 2u);
}

void TarselSPI::HookFamily17To27(ProtocolHost* target) {
    target->WriteIndirectRegister(ROM_AUX_CNTL, target->ReadIndirectRegister(ROM_AUX_CNTL) | 2u);
}

void TarselSPI::HookNone(ProtocolHost*) {}

std::uint32_t TarselSPI::Transfer(std::uint32_t cmdLen, const std::uint8_t* cmd, std::uint32_t txLen,
                                  const std::uint8_t* tx, std::uint32_t rxLen, std::uint8_t* rx,
                                  std::int16_t verify) {
    RebuildDataTable();
    if (forceBitbangTransfer == 1) return CGenSPI::Transfer(cmdLen, cmd, txLen, tx, rxLen, rx, verify);
    if (cmdLen == 0 || cmdLen > kRomControllerCommandBytes || txLen > kRomControllerDataBytes ||
        rxLen > kRomControllerDataBytes) {
        if (verify != 1 && rxLen && rx) std::memset(rx, 0xFF, rxLen);
        return 0;
    }
    RunFamilyHook(flash);
    static constexpr FrameStyle kStyle{
        .padMask = kPadMask, .modeClear = 0xF1FFFFFF, .modeSet = 0x06000000, .timeoutMessage = nullptr};
    return ControllerTransfer(kStyle, cmdLen, cmd, txLen, tx, rxLen, rx, verify);
}
