#include "protocols/PomvekSPI.h"

#include <cstring>

#include "protocols/ProtocolHost.h"

namespace {

constexpr std::uint16_t kCheckedDevice = 0x731F;
constexpr std::uint8_t kProbedRevision = 0xC1;

// The third-generation controller in the register aperture, in the layout
// of each family group.
constexpr RomControllerRegisters kBaseRegisters{
    .padA = 0x5A1BC, .padB = 0x5A1C8, .padOut = 0x5A1C0, .padIn = 0x5A1CC, .aux = 0x5A090,
    .cntl = 0x5A094, .swCntl = 0x5A0AC, .swStatus = 0x5A0B0, .swCommand = 0x5A0B4, .data = 0x5A0B8,
};
constexpr RomControllerRegisters kFamily22Registers{
    .padA = 0x5A1DC, .padB = 0x5A1E8, .padOut = 0x5A1E0, .padIn = 0x5A1EC, .aux = 0x5A0B0,
    .cntl = 0x5A0B4, .swCntl = 0x5A0CC, .swStatus = 0x5A0D0, .swCommand = 0x5A0D4, .data = 0x5A0D8,
};
constexpr RomControllerRegisters kFamily23To27Registers{
    .padA = 0x5A504, .padB = 0x5A510, .padOut = 0x5A508, .padIn = 0x5A514, .aux = 0x5A380,
    .cntl = 0x5A384, .swCntl = 0x5A39C, .swStatus = 0x5A3A0, .swCommand = 0x5A3A4, .data = 0x5A3A8,
};

}  // namespace

PomvekSPI::PomvekSPI(ProtocolHost* owner) : TarselSPI(owner) {
    indirectController = false;
    UseLayout(kBaseRegisters);
    firstDataReg = &ROM_SW_DATA[0];
    hookDone = 0;
}

PomvekSPI::~PomvekSPI() = default;

void PomvekSPI::FillOneTimeHooks() {
    for (OneTimeHook& h : oneTimeHooks) h = &PomvekSPI::HookSetRomAuxCntlBit0;
}

void PomvekSPI::SetFamily(std::int32_t value) { family = value; }

void PomvekSPI::UseLayout(const ControllerRegisters& r) {
    SetControllerRegisters(r);
    ROM_SW_DATA[0] = r.data;
    maxReadBurst = kRomControllerDataBytes;
    maxWriteBurst = kRomControllerDataBytes;
    SetLines(10, 0, 7, 9, 8);
    FillOneTimeHooks();
}

void PomvekSPI::UseRegistersFamily22() {
    UseLayout(kFamily22Registers);
}

void PomvekSPI::UseSharedLayout23To27() {
    UseLayout(kFamily23To27Registers);
}

void PomvekSPI::UseRegistersFamily23() { UseSharedLayout23To27(); }

void PomvekSPI::UseRegistersFamily24() {
    UseSharedLayout23To27();
    probeIndexReg = 0x30800;
    probeDataReg = 0x89BC;
    SupportsTarget(flash);
}

void PomvekSPI::UseRegistersFamily25() { UseSharedLayout23To27(); }

void PomvekSPI::UseRegistersFamily26() { UseSharedLayout23To27(); }

void PomvekSPI::UseRegistersFamily27() { UseSharedLayout23To27(); }

void PomvekSPI::RunFamilyHook(ProtocolHost* target) {
    OneTimeHook hook = (family >= 0 && family < 256) ? oneTimeHooks[family] : nullptr;
    if (hook) (this->*hook)(target);
}

void PomvekSPI::HookSetRomAuxCntlBit0(ProtocolHost* target) {
    target->WriteRegister(ROM_AUX_CNTL, target->ReadRegister(ROM_AUX_CNTL) | 1u);
}

std::uint32_t PomvekSPI::Transfer(std::uint32_t cmdLen, const std::uint8_t* cmd, std::uint32_t txLen,
                                  const std::uint8_t* tx, std::uint32_t rxLen, std::uint8_t* rx,
                                  std::int16_t verify) {
    if (hookDone == 0) {
        hookDone = 1;
        BuildDataTable(ROM_SW_DATA[0]);
        RunFamilyHook(flash);
    }
    if (forceBitbangTransfer == 1) return CGenSPI::Transfer(cmdLen, cmd, txLen, tx, rxLen, rx, verify);
    static constexpr FrameStyle kStyle{.padMask = 0xFFFFF87F,
                                       .modeClear = 0xF1FFFFFF,
                                       .modeSet = 0x06000000,
                                       .timeoutMessage = "POMVEK spi - read rom controller status timeout"};
    return ControllerTransfer(kStyle, cmdLen, cmd, txLen, tx, rxLen, rx, verify);
}

// ----------------------------------------------------------------- target

int PomvekSPI::SupportsTarget(ProtocolHost* target) { return CheckTarget(target); }

std::uint32_t PomvekSPI::FillTargetTable(TargetEntry* table) {
    table[0] = TargetEntry{kCheckedDevice, 0xC0, 0xFFFF, 0};
    table[1] = TargetEntry{kCheckedDevice, kProbedRevision, 40, 1};
    return kTargetEntries;
}

std::uint32_t PomvekSPI::ProbeCount() {
    std::uint32_t saved = flash->ReadRegister(probeIndexReg);
    std::uint32_t count = 0;
    for (std::uint32_t c = 0; c < 2; ++c)
        for (std::uint32_t j = 0; j < 2; ++j) {
            flash->WriteRegister(probeIndexReg, 0x40000000u + (c << 16) + (j << 8));
            if ((flash->ReadRegister(probeDataReg) & 0x10000u) == 0) count += 2;
        }
    flash->WriteRegister(probeIndexReg, saved);
    return count;
}

int PomvekSPI::CheckTarget(ProtocolHost* target) {
    if (!target) return 1;
    return CheckTarget(target->TargetDeviceId(), target->TargetRevision());
}

int PomvekSPI::CheckTarget(std::uint16_t deviceId, std::uint8_t revision) {
    TargetEntry table[kTargetEntries];
    std::uint32_t rows = FillTargetTable(table);
    for (std::uint32_t i = 0; i < rows; ++i) {
        if (deviceId == table[i].deviceId && revision == table[i].revision) return 0;
        if (deviceId == kCheckedDevice && revision == kProbedRevision) {
            // Only the family-24 layout has probe registers; elsewhere the
            // probe is skipped (the answer is a refusal either way).
            std::uint32_t count = probeIndexReg ? ProbeCount() : 0;
            if (count != table[i].expectedCount) return 0;
        }
    }
    return 1;
}
