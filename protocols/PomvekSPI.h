// ROM controller of the third generation: direct register access again, in
// a base layout and the layouts of families 22 and 23-27; a hook that runs
// once per object at its first transfer; a target table.
#pragma once

#include <cstdint>

#include "protocols/TarselSPI.h"

class PomvekSPI : public TarselSPI {
public:
    explicit PomvekSPI(ProtocolHost* flash);
    ~PomvekSPI() override;

    std::uint32_t Transfer(std::uint32_t cmdLen, const std::uint8_t* cmd, std::uint32_t txLen,
                           const std::uint8_t* tx, std::uint32_t rxLen, std::uint8_t* rx,
                           std::int16_t verify) override;
    int SupportsTarget(ProtocolHost* target) override;
    void SetFamily(std::int32_t family) override;

    // Layout set-ups of the variant objects.
    void UseRegistersFamily22();
    void UseRegistersFamily23();
    void UseRegistersFamily24();  // also sets the probe registers and asks SupportsTarget
    void UseRegistersFamily25();
    void UseRegistersFamily26();
    void UseRegistersFamily27();

    struct TargetEntry {
        std::uint16_t deviceId;
        std::uint8_t revision;
        std::uint32_t expectedCount;
        std::uint16_t probe;
    };
    static constexpr std::uint32_t kTargetEntries = 2;
    // Fills table (kTargetEntries rows); returns the row count.
    std::uint32_t FillTargetTable(TargetEntry* table);
    // 1 when the target device/revision of `target` is supported.
    int CheckTarget(ProtocolHost* target);
    int CheckTarget(std::uint16_t deviceId, std::uint8_t revision);

    using OneTimeHook = void (PomvekSPI::*)(ProtocolHost*);
    void RunFamilyHook(ProtocolHost* target);
    void HookSetRomAuxCntlBit0(ProtocolHost* target);

    OneTimeHook oneTimeHooks[256] = {};
    std::int32_t hookDone = 0;

private:
    // Registers of one Pomvek layout, its first data register and the
    // settings every layout shares.
    void UseLayout(const ControllerRegisters& r);
    void UseSharedLayout23To27();
    void FillOneTimeHooks();
    // Probe of the family-24 layout: 2 for each of four probe reads with bit 16 clear.
    std::uint32_t ProbeCount();
};
