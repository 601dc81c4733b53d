// Chip families. The type table names a board's family; the protocol
// objects pick register layouts and one-time hooks by it.
#pragma once

#include <cstdint>

enum AsicFamily : std::uint32_t {
    TEV_GRAPHIC = 0,
    TEV_HALM = 1,
    TEV_IRVAST = 2,
    TEV_JORN = 3,
    TEV_KELT = 4,
    TEV_LUSK = 5,
    TEV_MIB = 6,
    TEV_NERROW = 7,
    TEV_DDC = 8,
    KOV_BRELL = 9,
    KOV_CORVAT = 10,
    KOV_DUNMOR = 11,
    KOV_FELSK = 12,
    KOV_FELSK_OMBREL = 13,
    KOV_FELSK_ULVANE = 14,
    KOV_GAVREL = 15,
    KOV_GAVREL_WENMAR = 16,
    KOV_GAVREL_YESKEL = 17,
    KOV_HOLLIN_ZADRIN = 18,
    KOV_JESPA_ALDRUN = 19,
    KOV_JESPA_BEVRIN = 20,
    KOV_GETHRA = 21,
    KOV_HOBRAN = 22,
    KOV_IVREL = 23,
    KOV_CRESSA = 24,
    KOV_DORVEL = 25,
    KOV_ELMASK = 26,
    KOV_FYRAND = 27,
};
constexpr std::uint32_t kAsicFamilyCount = 28;
