// Type table: the engine's hardware knowledge as a flat sequence of 64-bit
// words. A record is one opcode word followed by a fixed number of argument
// words; a name argument holds a pointer to NUL-terminated text. The table
// ends with END (the single word 0). Records carry no length: a reader skips
// a record by the word count of its opcode.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "protocols/AsicFamily.h"
#include "protocols/SpiPart.h"

class COsDepend;

using TypeTableWord = std::uint64_t;
// A table is addressed by a pointer to its first word.
using TypeTable = const TypeTableWord*;

// Capacities of a text table (and the walk limit of every table).
constexpr std::uint32_t kTypeTableWords = 8192;
constexpr std::uint32_t kTypeTableNameAreaSize = 16384;
constexpr std::uint32_t kTypeTableNameMax = 31;
constexpr std::uint32_t kSpiPartListMax = 113;
constexpr std::uint32_t kTypeTableOpcodeCount = 38;
// Marks an I2C sequence bit source as a ROM address bit ("i2cad n").
constexpr std::uint32_t kI2cAddressBit = 0x2000000;

enum TypeTableOpcode : std::uint32_t {
    END = 0,
    FORMAT = 1,
    TYPE_TABLE = 2,
    TYPE_TABLE_ENTRY = 3,
    ASIC = 4,
    PINIT = 5,
    SINIT = 6,
    CINIT = 7,
    WRENA = 8,
    WRIS = 9,
    PARALLEL = 10,
    DET_PCIRMW = 11,
    DET_PCICMP = 12,
    DET_REGRMW = 13,
    DET_REGCMP = 14,
    PRESERVE_TABLE = 15,
    PRESERVE_BYTE = 16,
    DET_REGSAVE = 17,
    DET_SI2CCFG = 18,
    DET_SI2CW1CMP = 19,
    DET_SI2CW2CMP = 20,
    DET_SI2CW3CMP = 21,
    I2C_TABLE = 22,
    I2C_INFO = 23,
    I2C_WSEQ = 24,
    I2C_RSEQ = 25,
    TYPE_TABLE_ENTRY2 = 26,
    SWSPI_TABLE = 27,
    SWSPI_REG = 28,
    SWSPI_BIT = 29,
    SWSPI_DELAY = 30,
    SPI_CMD_TABLE = 31,
    SPI_CMD_CODE = 32,
    SPI_CMD_ADDR = 33,
    SPI_CMD_DUMMY = 34,
    SPI_CMD_STATUS = 35,
    SPI_CMD_WP = 36,
    SPI_TYPEP = 37,
};

// Result word of the detection compare steps. DET_RANGE has no text keyword:
// only the built-in table uses it to require a range before the next step.
enum DetectResult : std::uint32_t {
    DET_FAIL = 0,
    DET_PASS = 1,
    DET_RANGE = 2,
};


enum FlashType : std::uint32_t {
    TYPE_NOROM = 0,
    TYPE_NOFLASH = 1,
    TYPE_NOT_SUPPORT = 2,
    TYPE_PARALLEL = 3,
    TYPE_VOSK_AT25F = 4,
    TYPE_VOSK_STM25P = 5,
    TYPE_VOSK_ISSI = 6,
    TYPE_VOSK_SST = 7,
    TYPE_MIBI2C = 8,
    TYPE_UNKNOWN = 9,
    TYPE_SI2C = 10,
    TYPE_SII1930 = 11,
    TYPE_SWSPI = 12,
    TYPE_QUORSPI = 13,
    TYPE_POMVEKSPI = 14,
};
constexpr std::uint32_t kFlashTypeCount = 15;

// Serial flash driven by an SPI engine (bit-banged or a ROM controller).
constexpr bool IsSpiType(std::uint32_t type) {
    return type == TYPE_SWSPI || type == TYPE_QUORSPI || type == TYPE_POMVEKSPI;
}
// Flash behind the bit-banged GPIO I2C bus: the serial EEPROM and the SiI1930.
constexpr bool IsGpioI2cType(std::uint32_t type) { return type == TYPE_SI2C || type == TYPE_SII1930; }
// The I2C EEPROMs: on the companion chip's I2C engine and on GPIO lines.
constexpr bool IsI2cEepromType(std::uint32_t type) { return type == TYPE_MIBI2C || type == TYPE_SI2C; }
// Every serial-EEPROM type; their boards share the "sinit" list.
constexpr bool IsSerialEepromType(std::uint32_t type) { return type >= TYPE_VOSK_AT25F && type <= TYPE_VOSK_SST; }
// The serial-EEPROM types that can be read, erased and written (the ISSI
// one has no driver).
constexpr bool IsDrivenSerialEepromType(std::uint32_t type) {
    return type == TYPE_VOSK_AT25F || type == TYPE_VOSK_STM25P || type == TYPE_VOSK_SST;
}

struct SpiPartList {
    SpiPart entries[kSpiPartListMax];
    std::uint32_t count;
};

// Record metadata. The word count includes the opcode word; it is 0 for an
// opcode outside 0-37, which ends any walk.
std::uint32_t TypeTableWordCount(TypeTableWord opcode);
// Dump name (the enumerator name), or null outside 0-37.
const char* TypeTableOpcodeName(TypeTableWord opcode);
// Text keyword, or null outside 0-37.
const char* TypeTableOpcodeKeyword(TypeTableWord opcode);
// Display name (the enumerator name; "TEV_NERROW " keeps its blank); "?"
// outside the enumeration.
const char* AsicFamilyName(TypeTableWord family);
// Text keyword, or null for the families a text table cannot name.
const char* AsicFamilyKeyword(TypeTableWord family);
// Enumerator name padded with blanks to 16 characters; "?" outside.
const char* FlashTypeDisplayName(TypeTableWord type);
// Text keyword, or null for TYPE_UNKNOWN and values outside the enumeration.
const char* FlashTypeKeyword(TypeTableWord type);

// Text of a name argument ("" for a null word).
inline const char* TypeTableName(TypeTableWord word) {
    const char* s = reinterpret_cast<const char*>(static_cast<std::uintptr_t>(word));
    return s ? s : "";
}

// Parses a hexadecimal number as the text table writes it: an optional 0x
// prefix, then hex digits up to the first other character. Fails without a
// hex digit or when the value needs more than 32 bits.
bool ParseTypeTableHex(const char* text, std::uint32_t& value);

// The record at or after from, and before end, whose opcode word equals
// opcode; null when none. A record that would reach past end is not
// returned. An opcode outside 0-37 ends the walk, and so does END unless END
// itself is asked for.
const TypeTableWord* FindTypeTableRecord(TypeTableWord opcode, const TypeTableWord* from,
                                         const TypeTableWord* end);

// Range-for over the records of a table:
//   Records(opcode, from, end)   every record of kind opcode at or after
//                                from, as FindTypeTableRecord finds them;
//   RecordRun(from, end, kinds)  the records one right after the other from
//                                `from` on while their opcode is in kinds
//                                (a mask made by OpcodeSet) and they fit.
constexpr std::uint64_t OpcodeSet(std::initializer_list<TypeTableWord> opcodes) {
    std::uint64_t mask = 0;
    for (TypeTableWord op : opcodes) mask |= op < 64 ? std::uint64_t(1) << op : 0;
    return mask;
}

class TypeTableRecords {
public:
    class Iterator {
    public:
        Iterator(const TypeTableWord* record, const TypeTableRecords* range) : record_(record), range_(range) {}
        const TypeTableWord* operator*() const { return record_; }
        Iterator& operator++() {
            record_ = range_->After(record_);
            return *this;
        }
        bool operator!=(const Iterator& other) const { return record_ != other.record_; }

    private:
        const TypeTableWord* record_;
        const TypeTableRecords* range_;
    };

    TypeTableRecords(const TypeTableWord* from, const TypeTableWord* end, TypeTableWord opcode, std::uint64_t kinds)
        : from_(from), end_(end), opcode_(opcode), kinds_(kinds) {}
    Iterator begin() const { return {First(), this}; }
    Iterator end() const { return {nullptr, this}; }

private:
    const TypeTableWord* First() const;
    const TypeTableWord* After(const TypeTableWord* record) const;
    // The record at r, when it fits before end_ and its kind is in the run.
    const TypeTableWord* InRun(const TypeTableWord* r) const;

    const TypeTableWord* from_;
    const TypeTableWord* end_;
    TypeTableWord opcode_;  // Records: the kind looked for
    std::uint64_t kinds_;   // RecordRun: the kinds of the run; 0 for Records
};

inline TypeTableRecords Records(TypeTableWord opcode, const TypeTableWord* from, const TypeTableWord* end) {
    return TypeTableRecords(from, end, opcode, 0);
}

inline TypeTableRecords RecordRun(const TypeTableWord* from, const TypeTableWord* end, std::uint64_t kinds) {
    return TypeTableRecords(from, end, END, kinds);
}

// The type table of one engine: the record and name areas of a text table,
// which table is in use, and the serial-flash part list built from it.
// Names of a text table point into nameArea, so the object is not copyable.
class TypeTableStore {
public:
    TypeTableStore();
    TypeTableStore(const TypeTableStore&) = delete;
    TypeTableStore& operator=(const TypeTableStore&) = delete;

    // The table in use: the text table when one parsed without error,
    // otherwise the built-in table; and the end of its 8192-word walk.
    const TypeTableWord* Table() const;
    const TypeTableWord* TableLimit() const;

    static const TypeTableWord* FindRecord(TypeTableWord opcode, const TypeTableWord* from,
                                           const TypeTableWord* end) {
        return FindTypeTableRecord(opcode, from, end);
    }
    // Reads up to count tokens as hexadecimal words and appends them at the
    // cursor (which must point into recordArea), advancing it. Stops at a
    // missing or malformed token and never writes the last word of the area
    // (kept for END). Returns the number of words appended.
    std::uint32_t ReadHexNumbers(COsDepend& os, TypeTableWord*& cursor, FILE* f, std::uint32_t count);
    // Writes the records of table to the trace log at level 1.
    void DumpTypeTable(COsDepend& os, const TypeTableWord* table) const;
    // Rebuilds spiPartList from the table in use.
    void BuildSpiPartList();

    // Without a text table: dump the built-in table and build the part list.
    void UseBuiltinTable(COsDepend& os);
    // Parses a text table. On success it becomes the table in use, is dumped
    // and the part list is built from it; on failure "error in line %d" is
    // logged, the built-in table stays in use and the part list is built from
    // it. errorCode and successFlag follow the last line read (1/0 on
    // failure). Sets the tokenizer's delimiters. Returns 1 on success.
    int LoadTextTable(COsDepend& os, FILE* f, std::int32_t& errorCode, std::int16_t& successFlag);

    TypeTableWord recordArea[kTypeTableWords];
    char nameArea[kTypeTableNameAreaSize];
    const TypeTableWord* typeTable = nullptr;  // the text table when in use
    std::int16_t customTableFlag = 0;
    SpiPartList spiPartList;

private:
    bool ParseLine(COsDepend& os, FILE* f, const char* keyword, bool& ended);
    bool ReadArguments(COsDepend& os, FILE* f, TypeTableWord opcode, const char* kinds);
    bool AppendName(const char* token);
    const TypeTableWord* LimitOf(const TypeTableWord* table) const;
    // Fills the commands and status bits of part from the records of a
    // command set.
    static void ApplyCommandSet(SpiPart& part, const TypeTableWord* from, const TypeTableWord* limit);

    TypeTableWord* cursor_ = nullptr;  // next free word while parsing
    std::uint32_t nameUsed_ = 0;
};
