#include "engine/BuiltinTypeTable.h"

#include <iterator>

namespace {

// A name argument: the word holds the address of the constant text.
#define NM(s) static_cast<TypeTableWord>(reinterpret_cast<std::uintptr_t>(s))

// Eight constant bit sources forming one byte, bit 7 first.
#define BYTE_BITS(b) \
    ((b) >> 7) & 1, ((b) >> 6) & 1, ((b) >> 5) & 1, ((b) >> 4) & 1, ((b) >> 3) & 1, ((b) >> 2) & 1, ((b) >> 1) & 1, (b) & 1
// ROM address bits 7 down to 0.
#define ADDR_BITS \
    0x2000007, 0x2000006, 0x2000005, 0x2000004, 0x2000003, 0x2000002, 0x2000001, 0x2000000

// One I2C table: device address byte, one address byte, and for reads the
// repeated start after the address byte and the read-form device address.
#define I2C_GROUP(id, wa, wp, ra, rp, delay, dev) \
    I2C_TABLE, id, I2C_INFO, wa, wp, ra, rp, delay, \
    I2C_WSEQ, BYTE_BITS(dev), 0, 0, I2C_WSEQ, ADDR_BITS, 0, 0, \
    I2C_RSEQ, BYTE_BITS(dev), 0, 0, I2C_RSEQ, ADDR_BITS, 0, 1, I2C_RSEQ, BYTE_BITS((dev) | 1), 0, 0

#define TTE(value, mask, name, type, size) TYPE_TABLE_ENTRY, value, mask, NM(name), type, size, 1, 1
#define TTE2(value, mask, name, type, size, sub) TYPE_TABLE_ENTRY2, value, mask, NM(name), type, size, 1, 1, sub

#define SPI_SET(id, readId, chipErase, sectorErase, ewsr, idDummy) \
    SPI_CMD_TABLE, id, \
    SPI_CMD_CODE, readId, chipErase, sectorErase, 0x06, 0x04, 0x05, 0x01, ewsr, 0x03, 0x02, \
    SPI_CMD_ADDR, 0, 0, 0, 0, 0, 0, 0, 0, 3, 3, \
    SPI_CMD_DUMMY, idDummy, 0, 0, 0, 0, 0, 0, 0, 0, 0, \
    SPI_CMD_STATUS, 1, 1, 2, 2, \
    SPI_CMD_WP, 0x0C, 0x04, 0x0C, 0x0C, 0x80, 0x80, 0x8C, 0x00

#define SPI_PART(name, size, page, sector, set, id0, id1, id2) SPI_TYPEP, NM(name), size, page, sector, set, id0, id1, id2
#define PAR(name, maker, device, size, sector) PARALLEL, (maker) | ((device) << 8), NM(name), size, sector

// ASIC records and their detection steps.
#define CHIP(name, family, table) ASIC, NM(name), family, table, 0, 0, 0, 0
// Master record: stops without a match while the second-GPU strap bit is set.
#define MASTER(reg, bit) DET_REGCMP, reg, bit, bit, bit, DET_FAIL
// Twin record: stops without a match while the strap bit is clear.
#define SLAVE(reg, bit) DET_REGCMP, reg, bit, 0, 0, DET_FAIL
#define REVISION(lo, hi) DET_PCICMP, 8, 0xFF, lo, hi, DET_RANGE
#define DEVICE(lo, hi) DET_PCICMP, 2, 0xFFFF, lo, hi, DET_PASS
// Device IDs 0x0010 and up stop the generic records without a match.
#define GENERIC_ID DET_PCICMP, 2, 0xFFFF, 0x10, 0xFFFF, DET_FAIL
#define SIGNATURE_NOT(reg, value) DET_REGCMP, reg, 0xFFFFFFFF, value, value, DET_FAIL
#define SIGNATURE(reg, value) DET_REGCMP, reg, 0xFFFFFFFF, value, value, DET_PASS

#define PAIR(name, family, table, reg, bit, lo, hi) \
    CHIP(name, family, table), MASTER(reg, bit), DEVICE(lo, hi), \
    CHIP(name " (Slave)", family, table), SLAVE(reg, bit), DEVICE(lo, hi)
#define PAIR_REV(name, family, table, reg, bit, lo, hi, rlo, rhi) \
    CHIP(name, family, table), MASTER(reg, bit), REVISION(rlo, rhi), DEVICE(lo, hi), \
    CHIP(name " (Slave)", family, table), SLAVE(reg, bit), REVISION(rlo, rhi), DEVICE(lo, hi)
#define PAIR_2(name, family, table, reg, bit, lo1, hi1, lo2, hi2) \
    CHIP(name, family, table), MASTER(reg, bit), DEVICE(lo1, hi1), DEVICE(lo2, hi2), \
    CHIP(name " (Slave)", family, table), SLAVE(reg, bit), DEVICE(lo1, hi1), DEVICE(lo2, hi2)
#define SINGLE(name, family, table, lo, hi) CHIP(name, family, table), DEVICE(lo, hi)

#define CI(reg, openAnd, openOr, closeAnd, closeOr) CINIT, reg, openAnd, openOr, closeAnd, closeOr
// Opened as a read-modify-write, closed by writing the saved value back.
#define CI_RMW(reg, openAnd, openOr) CI(reg, openAnd, openOr, 0xFFFFFFFF, 0)
// Set to a fixed value on opening and again on closing.
#define CI_FIXED(reg, value) CI(reg, 0, value, 0, value)
// A board setting nobody has given us: opening writes back what it reads
// and closing restores it, so a real board keeps its own value.
#define CI_KEEP(reg) CI_RMW(reg, 0xFFFFFFFF, 0)

// TEV_MIB boards: engine enable and clock, then the pad and control
// registers of the companion chip, left as the board has them.
#define MIB_INIT_HEAD \
    CI_RMW(0x820, 0xFFFFFFF8, 0x1), CI_RMW(0x88C, 0x0, 0x100B0), \
    CI_KEEP(0x8B0), CI_KEEP(0x8B4), CI_KEEP(0x8B8), CI_KEEP(0x8BC), \
    CI_KEEP(0x8C0), CI_KEEP(0x8C4), CI_KEEP(0x8C8), CI_KEEP(0x8CC)
#define MIB_INIT_TAIL CI_KEEP(0x808), CI_KEEP(0x804), CI_KEEP(0x8)
#define MIB_INIT_13 MIB_INIT_HEAD, MIB_INIT_TAIL
#define MIB_INIT_15 MIB_INIT_HEAD, CI_KEEP(0x8D0), CI_KEEP(0x8D4), MIB_INIT_TAIL

// TEV_NERROW: the init lists go through the bridge's index/data pair
// 0xA0/0xA4. Every entry keeps what it reads, and closing restores the
// index before the data, so each restore lands where it was read.
#define NERROW_CHIP(name) ASIC, NM(name), TEV_NERROW, 5, 0xC0, 11, 3, 0
#define NERROW_PROBE \
    DET_REGRMW, 0xA0, 0, 0, 0, \
    DET_REGCMP, 0xA4, 0xFFFFFFFF, 0, 0x59, DET_FAIL, \
    DET_REGCMP, 0xA4, 0xFFFFFFFF, 0x5B, 0xFFFFFFFF, DET_FAIL, \
    DET_REGRMW, 0xA0, 0, 0x70, 0, \
    DET_REGRMW, 0xA4, 0xFFFFFFFD, 0, 0
#define BRIDGE_KEEP CI_KEEP(0xA0), CI_KEEP(0xA4)
#define NERROW_INIT_HEAD BRIDGE_KEEP, BRIDGE_KEEP, BRIDGE_KEEP
#define NERROW_INIT_16 NERROW_INIT_HEAD, BRIDGE_KEEP, BRIDGE_KEEP, BRIDGE_KEEP, BRIDGE_KEEP, BRIDGE_KEEP
#define NERROW_INIT_7 NERROW_INIT_HEAD, CI_KEEP(0xA0)
#define NERROW_WRITE_LISTS \
    WRENA, 0xA0, 0, 0x30, WRENA, 0xA4, 0xFFFFFFFF, 0x80, WRENA, 0xA0, 0, 0xA4, \
    WRIS, 0xA0, 0, 0x30, WRIS, 0xA4, 0xFFFFFF7F, 0, WRIS, 0xA0, 0, 0xA4

// Families 21-27: ROM_AUX_CNTL enable and the three SPI pads, per layout.
#define POMVEK_INIT(aux, padOut, padB, padA) \
    CI_RMW(aux, 0xFFFFFFFE, 1), CI_RMW(padOut, 0xFFFFFC7F, 0x4000), CI_RMW(padB, 0xFFFFFC7F, 0x4280), \
    CI_RMW(padA, 0xFFFFFC7F, 0x4380)
#define GETHRA_INIT POMVEK_INIT(0x5A090, 0x5A1C0, 0x5A1C8, 0x5A1BC)
#define HOBRAN_INIT POMVEK_INIT(0x5A0B0, 0x5A1E0, 0x5A1E8, 0x5A1DC)
#define KOV_NEW_INIT POMVEK_INIT(0x5A380, 0x5A508, 0x5A510, 0x5A504)

// Families 12-20: ROM_AUX_CNTL through the indirect pair, then the pads.
#define TARSEL_INIT_5 \
    CI_FIXED(0x208, 0xC0600000), CI_RMW(0x20C, 0x0FFFFFFF, 0x10000002), \
    CI_KEEP(0x60C), CI_KEEP(0x610), CI_KEEP(0x608)
#define ULVANE_INIT_7 TARSEL_INIT_5, CI_KEEP(0x618), CI_KEEP(0x61C)
#define OMBREL_INIT_7 TARSEL_INIT_5, CI_KEEP(0x618), CI_KEEP(0x620)

// Family 5: ROM control and the SPI pads, then the pad drive registers.
// Orpane's drive settings are known; the other chips keep their own.
#define LUSK_ROM_PADS \
    CI_RMW(0x1600, 0x0FFFFFFF, 0x10000002), CI_RMW(0x179C, 0xFFFFF8FF, 0x40000000), \
    CI_RMW(0x17A0, 0xFFFFFEFF, 0x40000600), CI_RMW(0x1798, 0xFFFFFFFF, 0x40000700)
#define ORPANE_INIT_9 \
    LUSK_ROM_PADS, CI_RMW(0x618, 0xFFFFF7FF, 0), CI_RMW(0x718, 0xFFFFFBFF, 0), CI_RMW(0x71C, 0xFFFFFBFF, 0), \
    CI_RMW(0x720, 0xFFFFFBFF, 0), CI_RMW(0x724, 0xFFFFFBFF, 0)
#define LUSK_INIT_5 LUSK_ROM_PADS, CI_KEEP(0x618)
#define LUSK_INIT_9 LUSK_INIT_5, CI_KEEP(0x718), CI_KEEP(0x71C), CI_KEEP(0x720), CI_KEEP(0x724)
#define LUSK_INIT_10 LUSK_INIT_9, CI_KEEP(0x728)
#define LUSK_INIT_12 LUSK_INIT_10, CI_KEEP(0x72C), CI_KEEP(0x730)

struct Builtin {
    const TypeTableWord* words;
    std::uint32_t count;
};

const Builtin& Get() {
    static const TypeTableWord table[] = {
        FORMAT, 100,

        SWSPI_TABLE, 1,
        SWSPI_REG, 0x179C, 0x179C, 0x179C, 0x17A4,
        SWSPI_BIT, 19, 0, 10, 0, 9, 0, 8, 0,
        SWSPI_DELAY, 0,

        I2C_GROUP(1, 0x100, 0x100, 0x100, 0x100, 0x50, 0xA0),
        I2C_GROUP(2, 1, 0x100, 1, 0x100, 0x100, 0x72),
        I2C_GROUP(3, 0x100, 0x100, 0x100, 0x100, 0x50, 0xA2),

        TYPE_TABLE, 1,
        TTE(0, 1, "No flash", TYPE_NOFLASH, 0),
        TTE(1, 1, "Parallel", TYPE_PARALLEL, 0),
        TYPE_TABLE, 2,
        TTE(0, 4, "No ROM", TYPE_NOROM, 0),
        TTE(4, 7, "Parallel", TYPE_PARALLEL, 0),
        TTE(5, 7, "AT25F1024/C", TYPE_VOSK_AT25F, 0x20000),
        TTE(6, 7, "M25P10/C", TYPE_VOSK_STM25P, 0x20000),
        TTE(7, 7, "NX25F001B/C", TYPE_VOSK_ISSI, 0x20000),
        TYPE_TABLE, 3,
        TTE(0, 8, "No ROM", TYPE_NOROM, 0),
        TTE(8, 0xF, "Parallel/VID", TYPE_PARALLEL, 0),
        TTE(9, 0xF, "AT25F1024/C", TYPE_VOSK_AT25F, 0x20000),
        TTE(0xA, 0xF, "AT45DB011/C", TYPE_NOT_SUPPORT, 0),
        TTE(0xB, 0xF, "M25P10/C", TYPE_VOSK_STM25P, 0x20000),
        TTE(0xC, 0xF, "M25P05/C", TYPE_VOSK_STM25P, 0x10000),
        TTE(0xD, 0xF, "SST45LF010/C", TYPE_NOT_SUPPORT, 0),
        TTE(0xE, 0xF, "SST25VFxxx/C", TYPE_VOSK_SST, 0x10000),
        TTE(0xF, 0xF, "NX25F001B/C", TYPE_VOSK_ISSI, 0x20000),
        TYPE_TABLE, 4,
        TTE(0, 0, "I2C EEPROM", TYPE_MIBI2C, 0x80),
        TYPE_TABLE, 5,
        TTE(0, 3, "No ROM", TYPE_NOROM, 0),
        TTE(1, 3, "AT25F1024/C", TYPE_VOSK_AT25F, 0x20000),
        TTE(2, 3, "M25P05/C", TYPE_VOSK_STM25P, 0x10000),
        TTE(3, 3, "M25P10/C", TYPE_VOSK_STM25P, 0x20000),
        TYPE_TABLE, 6,
        TTE2(0, 0, "SiI 1930", TYPE_SII1930, 0x4000, 2),
        TYPE_TABLE, 7,
        TTE2(0, 0, "DDC/1", TYPE_SI2C, 0x100, 1),
        TYPE_TABLE, 8,
        TTE2(0, 0, "DDC/2", TYPE_SI2C, 0x100, 1),
        TYPE_TABLE, 9,
        TTE2(0, 0, "DDC/3", TYPE_SI2C, 0x100, 1),
        TYPE_TABLE, 10,
        TTE2(0, 0, "P&D/1", TYPE_SI2C, 0x100, 3),
        TYPE_TABLE, 11,
        TTE2(0, 0, "P&D/2", TYPE_SI2C, 0x100, 3),
        TYPE_TABLE, 12,
        TTE2(0, 0, "P&D/3", TYPE_SI2C, 0x100, 3),
        TYPE_TABLE, 13,
        TTE2(0, 0, "Quor SPI", TYPE_QUORSPI, 0x10000, 1),
        TYPE_TABLE, 14,
        TTE2(0, 0, "POMVEK SPI", TYPE_POMVEKSPI, 0x40000, 1),

        PRESERVE_TABLE, 1,
        PRESERVE_BYTE, 0x7A, 0x03,
        PRESERVE_BYTE, 0x7B, 0xF0,
        PRESERVE_TABLE, 2,
        PRESERVE_BYTE, 0x7A, 0x01,
        PRESERVE_BYTE, 0x7B, 0x30,

        // ASIC records in detection order. Second-GPU strap bits: 0x3480 bit 2
        // for families 21-27; 0x541C bit 4 for 16-20, bit 9 for 13-14, bit 8
        // for 12 and family 5, bit 13 for Garvelin, Hosmer and Jarnel, bit 16
        // for Lendrin.

        // I2C EEPROM boards.
        CHIP("Pardel", TEV_MIB, 4), DET_PCICMP, 2, 0xFFE0, 0xAC00, 0xAC1F, DET_PASS,
        MIB_INIT_13,
        CHIP("Pirsen", TEV_MIB, 4), DET_PCICMP, 2, 0xFFFE, 0x4D10, 0x4D10, DET_PASS,
        MIB_INIT_15,
        CHIP("Pruvel", TEV_MIB, 4), DET_PCICMP, 2, 0xFFFE, 0x4D50, 0x4D50, DET_PASS,
        MIB_INIT_15,
        CHIP("Plessan", TEV_MIB, 4), DET_PCICMP, 2, 0xFFFE, 0x4D52, 0x4D52, DET_PASS,
        MIB_INIT_15,

        // Bridge boards.
        NERROW_CHIP("Nerrow"), NERROW_PROBE,
        DET_PCICMP, 2, 0xFFFF, 0x7A7A, 0x7A7A, DET_FAIL,
        DET_PCICMP, 0, 0xFFFF, 0x1002, 0x1002, DET_PASS,
        NERROW_INIT_16, NERROW_WRITE_LISTS,
        NERROW_CHIP("Nerrow-AGP"), NERROW_PROBE,
        DET_PCICMP, 2, 0xFFFF, 0x7A7A, 0x7A7A, DET_PASS,
        NERROW_INIT_7, NERROW_WRITE_LISTS,

        PAIR("Gethra", KOV_GETHRA, 14, 0x3480, 4, 0x6860, 0x687F),
        GETHRA_INIT,

        PAIR("Hobran", KOV_HOBRAN, 14, 0x3480, 4, 0x69A0, 0x69AF),
        PAIR_REV("Hobran", KOV_HOBRAN, 14, 0x3480, 4, 0x69B0, 0x69B0, 0x00, 0x6F),
        PAIR_REV("Hobran", KOV_HOBRAN, 14, 0x3480, 4, 0x69B0, 0x69B0, 0x72, 0xF0),
        PAIR_REV("Hobran", KOV_HOBRAN, 14, 0x3480, 4, 0x69B0, 0x69B0, 0xF2, 0xF2),
        PAIR_REV("Hobran", KOV_HOBRAN, 14, 0x3480, 4, 0x69B0, 0x69B0, 0xF4, 0xFF),
        PAIR("Hobran", KOV_HOBRAN, 14, 0x3480, 4, 0x69B1, 0x69BF),
        HOBRAN_INIT,

        PAIR_REV("Cressa", KOV_CRESSA, 14, 0x3480, 4, 0x66AF, 0x66AF, 0x30, 0x31),
        PAIR_REV("Cressa", KOV_CRESSA, 14, 0x3480, 4, 0x66AF, 0x66AF, 0x70, 0x71),
        PAIR_REV("Cressa", KOV_CRESSA, 14, 0x3480, 4, 0x66AF, 0x66AF, 0xF0, 0xF7),
        KOV_NEW_INIT,

        PAIR_REV("Dorvel", KOV_DORVEL, 14, 0x3480, 4, 0x67DF, 0x67DF, 0x70, 0x71),
        PAIR_REV("Dorvel", KOV_DORVEL, 14, 0x3480, 4, 0x67DF, 0x67DF, 0xF2, 0xF5),
        PAIR_REV("Dorvel", KOV_DORVEL, 14, 0x3480, 4, 0x67DF, 0x67DF, 0x3C, 0x3E),
        KOV_NEW_INIT,

        PAIR_REV("Elmask", KOV_ELMASK, 14, 0x3480, 4, 0x69B0, 0x69B0, 0x70, 0x71),
        PAIR_REV("Elmask", KOV_ELMASK, 14, 0x3480, 4, 0x69B0, 0x69B0, 0xF1, 0xF1),
        PAIR_REV("Elmask", KOV_ELMASK, 14, 0x3480, 4, 0x69B0, 0x69B0, 0xF3, 0xF3),
        KOV_NEW_INIT,

        PAIR_REV("Ivrel", KOV_IVREL, 14, 0x3480, 4, 0x66A0, 0x66BF, 0x00, 0x2F),
        PAIR_REV("Ivrel", KOV_IVREL, 14, 0x3480, 4, 0x66A0, 0x66BF, 0x32, 0x6F),
        PAIR_REV("Ivrel", KOV_IVREL, 14, 0x3480, 4, 0x66A0, 0x66BF, 0x72, 0xEF),
        PAIR_REV("Ivrel", KOV_IVREL, 14, 0x3480, 4, 0x66A0, 0x66BF, 0xF8, 0xFF),
        KOV_NEW_INIT,

        PAIR("Syrell", KOV_JESPA_BEVRIN, 13, 0x541C, 0x10, 0x6940, 0x695F),
        PAIR_REV("Sardon", KOV_JESPA_ALDRUN, 13, 0x541C, 0x10, 0x67C0, 0x67DF, 0x00, 0xE0),
        PAIR_REV("Sardon", KOV_JESPA_ALDRUN, 13, 0x541C, 0x10, 0x67C0, 0x67DF, 0xE2, 0xF1),
        PAIR_REV("Sardon", KOV_JESPA_ALDRUN, 13, 0x541C, 0x10, 0x67C0, 0x67DF, 0xF6, 0xF6),
        PAIR_REV("Sardon", KOV_JESPA_ALDRUN, 13, 0x541C, 0x10, 0x67C0, 0x67DF, 0xF8, 0xFF),
        PAIR("Sembrel", KOV_JESPA_BEVRIN, 13, 0x541C, 0x10, 0x67E0, 0x67FF),
        PAIR("Sovane", KOV_JESPA_BEVRIN, 13, 0x541C, 0x10, 0x6980, 0x699F),
        PAIR("Zadrin", KOV_HOLLIN_ZADRIN, 13, 0x541C, 0x10, 0x7300, 0x730F),
        PAIR("Yeskel", KOV_GAVREL_YESKEL, 13, 0x541C, 0x10, 0x6920, 0x693F),
        PAIR("Wenmar", KOV_GAVREL_WENMAR, 13, 0x541C, 0x10, 0x6900, 0x691F),
        PAIR_REV("Saffen", KOV_JESPA_ALDRUN, 13, 0x541C, 0x10, 0x67C0, 0x67DF, 0xE1, 0xE1),
        PAIR_REV("Saffen", KOV_JESPA_ALDRUN, 13, 0x541C, 0x10, 0x67C0, 0x67DF, 0xF7, 0xF7),
        PAIR_REV("Sulmark", KOV_JESPA_ALDRUN, 13, 0x541C, 0x10, 0x6FDF, 0x6FDF, 0xEF, 0xEF),
        PAIR_REV("Sulmark", KOV_JESPA_ALDRUN, 13, 0x541C, 0x10, 0x6FDF, 0x6FDF, 0xFF, 0xFF),
        TARSEL_INIT_5,

        PAIR("Ulvane", KOV_FELSK_ULVANE, 13, 0x541C, 0x200, 0x67A0, 0x67BF),
        ULVANE_INIT_7,

        PAIR("Ombrel", KOV_FELSK_OMBREL, 13, 0x541C, 0x200, 0x6640, 0x665F),
        CHIP("Kindrel", KOV_FELSK, 13), MASTER(0x541C, 0x100), GENERIC_ID, SIGNATURE(0xBE4, 0x42500),
        CHIP("Kindrel (Slave)", KOV_FELSK, 13), SLAVE(0x541C, 0x100), GENERIC_ID, SIGNATURE(0xBE4, 0x42500),
        OMBREL_INIT_7,

        PAIR("Mostrel", TEV_LUSK, 13, 0x541C, 0x100, 0x6660, 0x666F),
        PAIR("Nivarch", TEV_LUSK, 13, 0x541C, 0x100, 0x6600, 0x663F),
        LUSK_INIT_5,
        PAIR("Orpane", TEV_LUSK, 13, 0x541C, 0x100, 0x6780, 0x679F),
        ORPANE_INIT_9,
        PAIR("Pelnor", TEV_LUSK, 13, 0x541C, 0x100, 0x6840, 0x685F),
        PAIR("Quillan", TEV_LUSK, 13, 0x541C, 0x100, 0x6820, 0x683F),
        PAIR("Rendow", TEV_LUSK, 13, 0x541C, 0x100, 0x6800, 0x681F),
        CHIP("Saltrin", TEV_LUSK, 13), MASTER(0x541C, 0x100), GENERIC_ID,
        SIGNATURE_NOT(0x55E4, 0x500100), SIGNATURE(0xBE4, 0x42610),
        CHIP("Saltrin (Slave)", TEV_LUSK, 13), SLAVE(0x541C, 0x100), GENERIC_ID,
        SIGNATURE_NOT(0x55E4, 0x500100), SIGNATURE(0xBE4, 0x42610),
        LUSK_INIT_5,
        PAIR("Tovarne", TEV_LUSK, 13, 0x541C, 0x100, 0x6700, 0x671F),
        PAIR("Umbrel", TEV_LUSK, 13, 0x541C, 0x100, 0x6720, 0x673F),
        PAIR("Vastrel", TEV_LUSK, 13, 0x541C, 0x100, 0x6740, 0x675F),
        PAIR("Welmar", TEV_LUSK, 13, 0x541C, 0x100, 0x6760, 0x677F),
        CHIP("Yorvent", TEV_LUSK, 13), MASTER(0x541C, 0x100), GENERIC_ID,
        SIGNATURE_NOT(0x55E4, 0x700100), SIGNATURE(0xBE4, 0x42810),
        CHIP("Yorvent (Slave)", TEV_LUSK, 13), SLAVE(0x541C, 0x100), GENERIC_ID,
        SIGNATURE_NOT(0x55E4, 0x700100), SIGNATURE(0xBE4, 0x42810),
        LUSK_INIT_12,
        PAIR("Zembrel", TEV_LUSK, 13, 0x541C, 0x100, 0x6880, 0x689F),
        PAIR("Alvesk", TEV_LUSK, 13, 0x541C, 0x100, 0x68A0, 0x68BF),
        PAIR("Bornel", TEV_LUSK, 13, 0x541C, 0x100, 0x68C0, 0x68DF),
        PAIR("Castrel", TEV_LUSK, 13, 0x541C, 0x100, 0x68E0, 0x68FF),
        CHIP("Dunvale", TEV_LUSK, 13), MASTER(0x541C, 0x100), GENERIC_ID,
        SIGNATURE_NOT(0x55E4, 0x600100), SIGNATURE(0xBE4, 0x42710),
        CHIP("Dunvale (Slave)", TEV_LUSK, 13), SLAVE(0x541C, 0x100), GENERIC_ID,
        SIGNATURE_NOT(0x55E4, 0x600100), SIGNATURE(0xBE4, 0x42710),
        LUSK_INIT_9,
        SINGLE("Ebrant", TEV_LUSK, 13, 0x9480, 0x949F),
        SINGLE("Firnel", TEV_LUSK, 13, 0x94A0, 0x94BF),
        LUSK_INIT_10,
        CHIP("Garvelin/Tiln", TEV_LUSK, 13), MASTER(0x541C, 0x2000), DEVICE(0x9440, 0x945F),
        CHIP("Garvelin (Slave)", TEV_LUSK, 13), SLAVE(0x541C, 0x2000), DEVICE(0x9440, 0x945F),
        PAIR("Hosmer", TEV_LUSK, 13, 0x541C, 0x2000, 0x9460, 0x947F),
        SINGLE("Ilvard", TEV_LUSK, 13, 0x9540, 0x957F),
        CHIP("Jarnel (Slave)", TEV_LUSK, 13), SLAVE(0x541C, 0x2000), GENERIC_ID,
        SIGNATURE_NOT(0x55E4, 0x800100), SIGNATURE(0xBE4, 0x42910),
        CHIP("Jarnel", TEV_LUSK, 13), MASTER(0x541C, 0x2000), GENERIC_ID,
        SIGNATURE_NOT(0x55E4, 0x800100), SIGNATURE(0xBE4, 0x42910),
        LUSK_INIT_10,
        SINGLE("Quor", TEV_LUSK, 13, 0x9400, 0x943F),
        CHIP("Kosvar", TEV_LUSK, 13), GENERIC_ID, SIGNATURE_NOT(0x55E4, 0x900100), SIGNATURE(0xBE4, 0x42A10),
        LUSK_INIT_10,
        CHIP("Lendrin/Tobb", TEV_LUSK, 13), MASTER(0x541C, 0x10000), DEVICE(0x9500, 0x953F),
        CHIP("Lendrin (Slave)", TEV_LUSK, 13), SLAVE(0x541C, 0x10000), DEVICE(0x9500, 0x953F),
        SINGLE("Mirvel/Trell", TEV_LUSK, 13, 0x9580, 0x958F),
        SINGLE("Nostrel/Tasp", TEV_LUSK, 13, 0x9590, 0x959F),
        SINGLE("Olvern/Tyrn", TEV_LUSK, 13, 0x95C0, 0x95FF),
        SINGLE("Parvane/Tolv", TEV_LUSK, 13, 0x94C0, 0x94FF),
        CHIP("Questel", TEV_LUSK, 13), GENERIC_ID, SIGNATURE(0xBE4, 0x42B10),
        LUSK_INIT_10,

        PAIR_2("Cressa", KOV_CRESSA, 14, 0x3480, 4, 0x7310, 0x731F, 0x7330, 0x7330),
        KOV_NEW_INIT,
        PAIR_2("Dorvel", KOV_DORVEL, 14, 0x3480, 4, 0x7340, 0x7345, 0x7347, 0x734F),
        KOV_NEW_INIT,
        PAIR_2("Elmask", KOV_ELMASK, 14, 0x3480, 4, 0x7360, 0x7365, 0x7367, 0x736F),
        KOV_NEW_INIT,
        PAIR("Fyrand", KOV_FYRAND, 14, 0x3480, 4, 0x7380, 0x739F),
        KOV_NEW_INIT,

        SPI_SET(1, 0x9F, 0xC7, 0xD8, 0, 0),
        SPI_SET(2, 0x90, 0xC7, 0xD8, 0, 3),
        SPI_SET(3, 0xAB, 0xC7, 0xD8, 0, 3),
        SPI_SET(4, 0x15, 0x62, 0xD8, 0, 0),
        SPI_SET(5, 0x90, 0x60, 0x52, 0x50, 3),
        SPI_SET(6, 0x90, 0x60, 0x52, 0x35, 3),

        SPI_PART("M25P05", 0x10000, 256, 0x8000, 1, 0x20, 0x20, 0x10),
        SPI_PART("M25P10", 0x20000, 256, 0x8000, 1, 0x20, 0x20, 0x11),
        SPI_PART("M25P20", 0x40000, 256, 0x8000, 1, 0x20, 0x20, 0x12),
        SPI_PART("M25P40", 0x80000, 256, 0x8000, 1, 0x20, 0x20, 0x13),
        SPI_PART("M25P80", 0x100000, 256, 0x8000, 1, 0x20, 0x20, 0x14),
        SPI_PART("S25FL001", 0x20000, 256, 0x10000, 1, 0x01, 0x02, 0x10),
        SPI_PART("S25FL002", 0x40000, 256, 0x10000, 1, 0x01, 0x02, 0x11),
        SPI_PART("S25FL004", 0x80000, 256, 0x10000, 1, 0x01, 0x02, 0x12),
        SPI_PART("MX25L512", 0x10000, 256, 0x10000, 1, 0xC2, 0x20, 0x10),
        SPI_PART("MX25L1005", 0x20000, 256, 0x10000, 1, 0xC2, 0x20, 0x11),
        SPI_PART("MX25L2026E", 0x40000, 256, 0x10000, 1, 0xC2, 0x20, 0x12),
        SPI_PART("MX25L4006E", 0x80000, 256, 0x10000, 1, 0xC2, 0x20, 0x13),
        SPI_PART("MX25L8006E", 0x100000, 256, 0x10000, 1, 0xC2, 0x20, 0x14),
        SPI_PART("MX25L5121E", 0x10000, 32, 0x10000, 1, 0xC2, 0x22, 0x10),
        SPI_PART("MX25L102lE", 0x20000, 32, 0x10000, 1, 0xC2, 0x22, 0x11),
        SPI_PART("MX25V4035F", 0x80000, 256, 0x10000, 1, 0xC2, 0x23, 0x13),
        SPI_PART("MX25V8035F", 0x100000, 256, 0x10000, 1, 0xC2, 0x23, 0x14),
        SPI_PART("IS25LP016D", 0x100000, 256, 0x10000, 2, 0x9D, 0x14, 0x00),
        SPI_PART("W25X10", 0x20000, 256, 0x10000, 1, 0xEF, 0x30, 0x11),
        SPI_PART("W25X20", 0x40000, 256, 0x10000, 1, 0xEF, 0x30, 0x12),
        SPI_PART("W25X40", 0x80000, 256, 0x10000, 1, 0xEF, 0x30, 0x13),
        SPI_PART("W25X80", 0x100000, 256, 0x10000, 1, 0xEF, 0x30, 0x14),
        SPI_PART("W25P10", 0x20000, 256, 0x10000, 2, 0xEF, 0x10, 0x00),
        SPI_PART("W25P20", 0x40000, 256, 0x10000, 2, 0xEF, 0x11, 0x00),
        SPI_PART("W25P40", 0x80000, 256, 0x10000, 2, 0xEF, 0x12, 0x00),
        SPI_PART("W25Q32BV/FV", 0x400000, 256, 0x10000, 1, 0xEF, 0x40, 0x16),
        SPI_PART("W25Q40", 0x80000, 256, 0x10000, 1, 0xEF, 0x40, 0x13),
        SPI_PART("W25Q80", 0x100000, 256, 0x10000, 1, 0xEF, 0x40, 0x14),
        SPI_PART("SST25VF512", 0x10000, 1, 0x8000, 5, 0xBF, 0x48, 0x00),
        SPI_PART("SST25VF010", 0x20000, 1, 0x8000, 5, 0xBF, 0x49, 0x00),
        SPI_PART("SST25VF020", 0x40000, 1, 0x8000, 5, 0xBF, 0x43, 0x00),
        SPI_PART("SST25VF040", 0x80000, 1, 0x8000, 5, 0xBF, 0x44, 0x00),
        SPI_PART("SST25VF020B", 0x40000, 2, 0x40000, 5, 0xBF, 0x8C, 0x00),
        SPI_PART("PM25LV512", 0x10000, 256, 0x8000, 3, 0x9D, 0x7B, 0x7F),
        SPI_PART("PM25LV010", 0x20000, 256, 0x8000, 3, 0x9D, 0x7C, 0x7F),
        SPI_PART("GD25Q512TCP", 0x10000, 256, 0x8000, 1, 0xC8, 0x40, 0x10),
        SPI_PART("GD25Q10TCP", 0x20000, 256, 0x8000, 1, 0xC8, 0x40, 0x11),
        SPI_PART("GD25Q21B", 0x40000, 256, 0x1000, 1, 0xC8, 0x40, 0x12),
        SPI_PART("GD25Q41B", 0x80000, 256, 0x1000, 1, 0xC8, 0x40, 0x13),
        SPI_PART("GD25Q80C", 0x100000, 256, 0x1000, 1, 0xC8, 0x40, 0x14),
        SPI_PART("M25P05/c", 0x10000, 256, 0x8000, 3, 0x05, 0x05, 0x05),
        SPI_PART("M25P10/c", 0x20000, 256, 0x8000, 3, 0x10, 0x10, 0x10),
        SPI_PART("M25P20/c", 0x40000, 256, 0x8000, 3, 0x11, 0x11, 0x11),
        SPI_PART("M25P40/c", 0x80000, 256, 0x8000, 3, 0x12, 0x12, 0x12),
        SPI_PART("AT25F512", 0x10000, 128, 0x8000, 4, 0x1F, 0x65, 0x65),
        SPI_PART("AT25F512B", 0x10000, 128, 0x8000, 1, 0x1F, 0x65, 0x00),
        SPI_PART("AT25F1024", 0x20000, 128, 0x8000, 4, 0x1F, 0x60, 0x60),
        SPI_PART("AT25F2048", 0x40000, 128, 0x8000, 4, 0x1F, 0x63, 0x63),
        SPI_PART("AT25F4096", 0x80000, 128, 0x8000, 4, 0x1F, 0x64, 0x64),
        SPI_PART("AT25S010N", 0x20000, 128, 0x8000, 1, 0x1F, 0x66, 0x01),
        SPI_PART("F25L01PA", 0x10000, 16, 0x100, 1, 0x8C, 0x30, 0x11),
        SPI_PART("FM25Q08A", 0x100000, 256, 0x10000, 2, 0xA1, 0x13, 0x00),
        SPI_PART("P25Q80H", 0x100000, 256, 0x10000, 1, 0x85, 0x60, 0x14),

        PAR("AT29C256", 0x1F, 0xDC, 0x8000, 0x40),
        PAR("AT29LV256", 0x1F, 0xBC, 0x8000, 0x40),
        PAR("AT29C512", 0x1F, 0x5D, 0x10000, 0x80),
        PAR("AT29LV512", 0x1F, 0x3D, 0x10000, 0x80),
        PAR("AT29C010A", 0x1F, 0xD5, 0x20000, 0x80),
        PAR("AT29LV010A", 0x1F, 0x35, 0x20000, 0x80),
        PAR("AT29C020", 0x1F, 0xDA, 0x40000, 0x100),
        PAR("AT29LV020", 0x1F, 0xBA, 0x40000, 0x100),
        PAR("AT29C040A", 0x1F, 0xA4, 0x80000, 0x100),
        PAR("AT29LV040A", 0x1F, 0xC4, 0x80000, 0x100),
        PAR("AT49LV010", 0x1F, 0x17, 0x20000, 0),
        PAR("AT49F001N", 0x1F, 0x05, 0x20000, 0),
        PAR("AT49F001T", 0x1F, 0x04, 0x20000, 0),
        PAR("AT49F512", 0x1F, 0x03, 0x10000, 0),
        PAR("Vantel-A", 0x01, 0x20, 0x20000, 0),
        PAR("Vantel-B", 0x01, 0xB0, 0x40000, 0),
        PAR("Vantel-B", 0x01, 0x34, 0x40000, 0),
        PAR("29EE512", 0xBF, 0x5D, 0x10000, 0x80),
        PAR("29LE512", 0xBF, 0x3D, 0x10000, 0x80),
        PAR("29EE010", 0xBF, 0x07, 0x20000, 0x80),
        PAR("29LE010", 0xBF, 0x08, 0x20000, 0x80),
        PAR("SST39SF512", 0xBF, 0xB4, 0x10000, 0),
        PAR("SST39SF010", 0xBF, 0xB5, 0x20000, 0),
        PAR("SST39VF512", 0xBF, 0xD4, 0x10000, 0),
        PAR("SST39VF010", 0xBF, 0xD5, 0x20000, 0),
        PAR("MX29F512", 0xC2, 0x17, 0x10000, 0),
        PAR("MX29F001", 0xC2, 0x18, 0x20000, 0),
        PAR("MX29F001", 0xC2, 0x19, 0x20000, 0),
        PAR("V29LC51001", 0x40, 0x60, 0x20000, 0),
        PAR("V29C51001T", 0x40, 0x01, 0x20000, 0),
        PAR("V29C51001T", 0x40, 0xA1, 0x20000, 0),
        PAR("V29C51000T", 0x40, 0x00, 0x10000, 0),
        PAR("V29C51000T", 0x40, 0xA0, 0x10000, 0),
        PAR("V29LC51000", 0x40, 0x20, 0x10000, 0),
        PAR("W29EE011", 0xDA, 0xC1, 0x20000, 0x80),
        PAR("W29EE512", 0xDA, 0xC8, 0x10000, 0x80),
        PAR("Pm39LV512R", 0x9D, 0x1B, 0x10000, 0),
        PAR("Pm39LV010R", 0x9D, 0x1C, 0x20000, 0),
        PAR("Pm29LV104RT", 0x9D, 0x1E, 0x80000, 0),
        PAR("Pm29LV104RB", 0x9D, 0x2E, 0x80000, 0),
        PAR("AmicA29001", 0x37, 0xA1, 0x20000, 0),
        PAR("AmicA290011", 0x37, 0x4C, 0x20000, 0),
        PAR("M29W010B", 0x20, 0x23, 0x20000, 0),

        END,
    };
    static const Builtin builtin{table, static_cast<std::uint32_t>(std::size(table))};
    return builtin;
}

}  // namespace

const TypeTableWord* BuiltinTypeTable() {
    return Get().words;
}

std::uint32_t BuiltinTypeTableWords() {
    return Get().count;
}
