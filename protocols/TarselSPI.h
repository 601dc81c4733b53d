// ROM controller of the second generation: the controller registers lie
// behind the indirect index/data pair (pads stay direct), and a per-family
// hook runs before every hardware frame.
#pragma once

#include <cstdint>

#include "protocols/CQuorSPI.h"

class TarselSPI : public CQuorSPI {
public:
    explicit TarselSPI(ProtocolHost* flash);
    ~TarselSPI() override;

    std::uint32_t Transfer(std::uint32_t cmdLen, const std::uint8_t* cmd, std::uint32_t txLen,
                           const std::uint8_t* tx, std::uint32_t rxLen, std::uint8_t* rx,
                           std::int16_t verify) override;
    int SupportsTarget(ProtocolHost* target) override;
    // Stores the family and points the flash's indirect pair at 0x208/0x20C.
    void SetFamily(std::int32_t family) override;

    using FamilyHook = void (TarselSPI::*)(ProtocolHost*);

    void RunFamilyHook(ProtocolHost* target);
    void HookFamily13(ProtocolHost* target);
    void HookFamily14(ProtocolHost* target);
    void HookFamily16(ProtocolHost* target);
    void HookFamily17To27(ProtocolHost* target);
    void HookNone(ProtocolHost* target);

    std::uint32_t family13ProbeReg = 0x5564;
    FamilyHook familyHooks[256] = {};

protected:
    // Rebuilds ROM_SW_DATA (family 13 keeps its last ten words elsewhere).
    void RebuildDataTable();
};
