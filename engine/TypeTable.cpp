#include "engine/TypeTable.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "engine/BuiltinTypeTable.h"
#include "platform/Bytes.h"
#include "platform/COsDepend.h"

namespace {

// Argument kinds of a text line, one letter per argument word:
// h hex number, n name, t flash type without a sub-table (types 10-13
// refused), T any flash type, f family, r compare result, i hex number
// optionally preceded by "i2cad".
// Dump format, one letter per argument word: d decimal, x and X hex, S
// "0x%05X", n name, F flash type, A family, R compare result. A record
// without arguments dumps its name alone.
struct OpcodeInfo {
    const char* name;
    const char* keyword;
    std::uint32_t words;
    const char* kinds;
    const char* dump;
};

constexpr OpcodeInfo kOpcodes[kTypeTableOpcodeCount] = {
    {"END", "end", 1, "", ""},
    {"FORMAT", "format", 2, "", "d"},
    {"TYPE_TABLE", "type_table", 2, "h", "d"},
    {"TYPE_TABLE_ENTRY", "type_table_entry", 8, "hhnthhh", "xxnFSdd"},
    {"ASIC", "asic", 8, "nfhhhhh", "nAdXdXX"},
    {"PINIT", "pinit", 6, "hhhhh", "XXXXX"},
    {"SINIT", "sinit", 6, "hhhhh", "XXXXX"},
    {"CINIT", "cinit", 6, "hhhhh", "XXXXX"},
    {"WRENA", "wrena", 4, "hhh", "XXX"},
    {"WRIS", "wrdis", 4, "hhh", "XXX"},
    {"PARALLEL", "parallel", 5, "hnhh", "XnXX"},
    {"DET_PCIRMW", "det_pcirmw", 5, "hhhh", "XXXX"},
    {"DET_PCICMP", "det_pcicmp", 6, "hhhhr", "XXXXR"},
    {"DET_REGRMW", "det_regrmw", 5, "hhhh", "XXXX"},
    {"DET_REGCMP", "det_regcmp", 6, "hhhhr", "XXXXR"},
    {"PRESERVE_TABLE", "preserve_table", 2, "h", "X"},
    {"PRESERVE_BYTE", "preserve_byte", 3, "hh", "XX"},
    {"DET_REGSAVE", "det_regsave", 4, "hhh", "XXX"},
    {"DET_SI2CCFG", "det_si2ccfg", 9, "hhhhhhhh", "XXXXXXXX"},
    {"DET_SI2CW1CMP", "det_si2cw1cmp", 6, "hhhhr", "XXXXX"},
    {"DET_SI2CW2CMP", "det_si2cw2cmp", 7, "hhhhhr", "XXXXXX"},
    {"DET_SI2CW3CMP", "det_si2cw3cmp", 8, "hhhhhhr", "XXXXXXX"},
    {"I2C_TABLE", "i2c_table", 2, "h", "d"},
    {"I2C_INFO", "i2c_info", 6, "hhhhh", "xxxxx"},
    {"I2C_WSEQ", "i2c_wseq", 11, "iiiiiiiiii", "xxxxxxxxxx"},
    {"I2C_RSEQ", "i2c_rseq", 11, "iiiiiiiiii", "xxxxxxxxxx"},
    {"TYPE_TABLE_ENTRY2", "type_table_entry2", 9, "hhnThhhh", "xxnFSddd"},
    {"SWSPI_TABLE", "swspi_table", 2, "h", "x"},
    {"SWSPI_REG", "swspi_reg", 5, "hhhh", "xxxx"},
    {"SWSPI_BIT", "swspi_bit", 9, "hhhhhhhh", "xxxxxxxx"},
    {"SWSPI_DELAY", "swspi_delay", 2, "h", "x"},
    {"SPI_CMD_TABLE", "spi_cmd_table", 2, "h", "x"},
    {"SPI_CMD_CODE", "spi_cmd_code", 11, "hhhhhhhhhh", "xxxxxxxxxx"},
    {"SPI_CMD_ADDR", "spi_cmd_addr", 11, "hhhhhhhhhh", "xxxxxxxxxx"},
    {"SPI_CMD_DUMMY", "spi_cmd_dummy", 11, "hhhhhhhhhh", "xxxxxxxxxx"},
    {"SPI_CMD_STATUS", "spi_cmd_status", 5, "hhhh", "xxxx"},
    {"SPI_CMD_WP", "spi_cmd_wp", 9, "hhhhhhhh", "xxxxxxxx"},
    {"SPI_TYPEP", "spi_type", 9, "nhhhhhhh", "nxxxxxxx"},
};

// One letter per argument word in the columns below.
constexpr std::uint32_t Letters(const char* column) {
    std::uint32_t n = 0;
    while (column[n] != '\0') ++n;
    return n;
}

// Every record dumps all of its argument words, and every line form but
// "format" and "end" fills its record exactly.
constexpr bool ColumnsMatchWordCounts() {
    for (std::uint32_t op = 0; op < kTypeTableOpcodeCount; ++op) {
        if (Letters(kOpcodes[op].dump) + 1 != kOpcodes[op].words) return false;
        if (op >= TYPE_TABLE && Letters(kOpcodes[op].kinds) + 1 != kOpcodes[op].words) return false;
    }
    return true;
}
static_assert(ColumnsMatchWordCounts(), "argument kinds or dump formats disagree with word counts");

struct EnumInfo {
    const char* name;
    const char* keyword;
};

constexpr EnumInfo kFamilies[kAsicFamilyCount] = {
    {"TEV_GRAPHIC", "tev_oskel"},
    {"TEV_HALM", "tev_halm"},
    {"TEV_IRVAST", "tev_irvast"},
    {"TEV_JORN", "tev_jorn"},
    {"TEV_KELT", "tev_kelt"},
    {"TEV_LUSK", "tev_lusk"},
    {"TEV_MIB", "tev_mib"},
    {"TEV_NERROW ", "tev_nerrow"},
    {"TEV_DDC", "tev_ddc"},
    {"KOV_BRELL", nullptr},
    {"KOV_CORVAT", nullptr},
    {"KOV_DUNMOR", nullptr},
    {"KOV_FELSK", nullptr},
    {"KOV_FELSK_OMBREL", nullptr},
    {"KOV_FELSK_ULVANE", nullptr},
    {"KOV_GAVREL", nullptr},
    {"KOV_GAVREL_WENMAR", nullptr},
    {"KOV_GAVREL_YESKEL", nullptr},
    {"KOV_HOLLIN_ZADRIN", nullptr},
    {"KOV_JESPA_ALDRUN", nullptr},
    {"KOV_JESPA_BEVRIN", nullptr},
    {"KOV_GETHRA", "kov_gethra"},
    {"KOV_HOBRAN", "kov_hobran"},
    {"KOV_IVREL", "kov_ivrel"},
    {"KOV_CRESSA", "kov_cressa"},
    {"KOV_DORVEL", "kov_dorvel"},
    {"KOV_ELMASK", "kov_elmask"},
    {"KOV_FYRAND", "kov_fyrand"},
};

constexpr EnumInfo kFlashTypes[kFlashTypeCount] = {
    {"TYPE_NOROM      ", "type_norom"},
    {"TYPE_NOFLASH    ", "type_noflash"},
    {"TYPE_NOT_SUPPORT", "type_not_support"},
    {"TYPE_PARALLEL   ", "type_parallel"},
    {"TYPE_VOSK_AT25F ", "type_vosk_at25f"},
    {"TYPE_VOSK_STM25P", "type_vosk_stm25p"},
    {"TYPE_VOSK_ISSI  ", "type_vosk_issi"},
    {"TYPE_VOSK_SST   ", "type_vosk_sst"},
    {"TYPE_MIBI2C     ", "type_mibi2c"},
    {"TYPE_UNKNOWN    ", nullptr},
    {"TYPE_SI2C       ", "type_si2c"},
    {"TYPE_SII1930    ", "type_sii1930"},
    {"TYPE_SWSPI      ", "type_swspi"},
    {"TYPE_QUORSPI    ", "type_quorspi"},
    {"TYPE_POMVEKSPI  ", "type_pomvek"},
};

// Index of the keyword in a table, or -1.
int FindKeyword(const EnumInfo* table, std::uint32_t count, const char* token) {
    for (std::uint32_t i = 0; i < count; ++i) {
        if (table[i].keyword != nullptr && EqualsNoCase(table[i].keyword, token)) return static_cast<int>(i);
    }
    return -1;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

unsigned U(TypeTableWord w) { return static_cast<unsigned>(w); }
int D(TypeTableWord w) { return static_cast<int>(w); }

const char* ResultLabel(TypeTableWord w) {
    switch (w) {
    case DET_FAIL: return "DET_FAIL";
    case DET_PASS: return "DET_PASS";
    case DET_RANGE: return "DET_RANGE";
    default: return "DET_UNKNOWN";
    }
}

// Appends one argument word in its dump format at line[used]; returns the
// new length (never past the line's end).
std::size_t AppendArgument(char* line, std::size_t size, std::size_t used, char format, TypeTableWord w) {
    char* at = line + used;
    const std::size_t room = size - used;
    int n = 0;
    switch (format) {
    case 'd': n = std::snprintf(at, room, "%d", D(w)); break;
    case 'x': n = std::snprintf(at, room, "%x", U(w)); break;
    case 'X': n = std::snprintf(at, room, "%X", U(w)); break;
    case 'S': n = std::snprintf(at, room, "0x%05X", U(w)); break;
    case 'n': n = std::snprintf(at, room, "%s", TypeTableName(w)); break;
    case 'F': n = std::snprintf(at, room, "%s", FlashTypeDisplayName(w)); break;
    case 'A': n = std::snprintf(at, room, "%s", AsicFamilyName(w)); break;
    default: n = std::snprintf(at, room, "%s", ResultLabel(w)); break;
    }
    return n < 0 ? used : std::min(size - 1, used + std::size_t(n));
}

std::size_t AppendText(char* line, std::size_t size, std::size_t used, const char* text) {
    const int n = std::snprintf(line + used, size - used, "%s", text);
    return n < 0 ? used : std::min(size - 1, used + std::size_t(n));
}

// One line per record: its name and its arguments in parentheses.
void DumpRecord(COsDepend& os, const TypeTableWord* r) {
    const OpcodeInfo& info = kOpcodes[r[0]];
    char line[512];
    std::size_t used = AppendText(line, sizeof line, 0, info.name);
    for (std::size_t i = 0; info.dump[i] != '\0'; ++i) {
        used = AppendText(line, sizeof line, used, i == 0 ? " (" : ", ");
        used = AppendArgument(line, sizeof line, used, info.dump[i], r[1 + i]);
    }
    if (info.dump[0] != '\0') used = AppendText(line, sizeof line, used, ")");
    AppendText(line, sizeof line, used, "\n");
    os.Log(1, "%s", line);
}

}  // namespace

std::uint32_t TypeTableWordCount(TypeTableWord opcode) {
    return opcode < kTypeTableOpcodeCount ? kOpcodes[opcode].words : 0;
}

const char* TypeTableOpcodeName(TypeTableWord opcode) {
    return opcode < kTypeTableOpcodeCount ? kOpcodes[opcode].name : nullptr;
}

const char* TypeTableOpcodeKeyword(TypeTableWord opcode) {
    return opcode < kTypeTableOpcodeCount ? kOpcodes[opcode].keyword : nullptr;
}

const char* AsicFamilyName(TypeTableWord family) {
    return family < kAsicFamilyCount ? kFamilies[family].name : "?";
}

const char* AsicFamilyKeyword(TypeTableWord family) {
    return family < kAsicFamilyCount ? kFamilies[family].keyword : nullptr;
}

const char* FlashTypeDisplayName(TypeTableWord type) {
    return type < kFlashTypeCount ? kFlashTypes[type].name : "?";
}

const char* FlashTypeKeyword(TypeTableWord type) {
    return type < kFlashTypeCount ? kFlashTypes[type].keyword : nullptr;
}

bool ParseTypeTableHex(const char* text, std::uint32_t& value) {
    const char* p = text;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && HexDigit(p[2]) >= 0) p += 2;
    if (HexDigit(*p) < 0) return false;
    while (*p == '0') ++p;
    std::uint32_t v = 0;
    int digits = 0;
    for (int d = HexDigit(*p); d >= 0; d = HexDigit(*++p)) {
        if (++digits > 8) return false;
        v = (v << 4) | static_cast<std::uint32_t>(d);
    }
    value = v;
    return true;
}

const TypeTableWord* FindTypeTableRecord(TypeTableWord opcode, const TypeTableWord* from,
                                         const TypeTableWord* end) {
    if (from == nullptr) return nullptr;
    while (from < end) {
        const std::uint32_t words = TypeTableWordCount(*from);
        if (words == 0 || words > static_cast<std::uint64_t>(end - from)) return nullptr;
        if (*from == opcode) return from;
        if (*from == END) return nullptr;
        from += words;
    }
    return nullptr;
}

const TypeTableWord* TypeTableRecords::InRun(const TypeTableWord* r) const {
    if (r == nullptr || r >= end_) return nullptr;
    const std::uint32_t words = TypeTableWordCount(*r);
    if (words == 0 || words > static_cast<std::uint64_t>(end_ - r)) return nullptr;
    return (kinds_ >> *r) & 1 ? r : nullptr;
}

const TypeTableWord* TypeTableRecords::First() const {
    return kinds_ ? InRun(from_) : FindTypeTableRecord(opcode_, from_, end_);
}

const TypeTableWord* TypeTableRecords::After(const TypeTableWord* record) const {
    const TypeTableWord* next = record + TypeTableWordCount(*record);
    return kinds_ ? InRun(next) : FindTypeTableRecord(opcode_, next, end_);
}

TypeTableStore::TypeTableStore() {
    recordArea[0] = END;
    nameArea[0] = '\0';
    std::memset(&spiPartList, 0, sizeof spiPartList);
}

const TypeTableWord* TypeTableStore::Table() const {
    return (customTableFlag == 1 && typeTable != nullptr) ? typeTable : BuiltinTypeTable();
}

const TypeTableWord* TypeTableStore::TableLimit() const {
    return LimitOf(Table());
}

const TypeTableWord* TypeTableStore::LimitOf(const TypeTableWord* table) const {
    if (table == BuiltinTypeTable()) return table + BuiltinTypeTableWords();
    return table + kTypeTableWords;
}

std::uint32_t TypeTableStore::ReadHexNumbers(COsDepend& os, TypeTableWord*& cursor, FILE* f,
                                             std::uint32_t count) {
    std::uint32_t n = 0;
    for (; n < count; ++n) {
        if (cursor >= recordArea + kTypeTableWords - 1) break;
        const char* token = os.ReadToken(f);
        std::uint32_t value = 0;
        if (token == nullptr || !ParseTypeTableHex(token, value)) break;
        *cursor++ = value;
    }
    return n;
}

void TypeTableStore::DumpTypeTable(COsDepend& os, const TypeTableWord* table) const {
    if (table == nullptr || !os.LogEnabled(1)) return;
    const TypeTableWord* limit = LimitOf(table);
    for (const TypeTableWord* r = table; r < limit;) {
        const std::uint32_t words = TypeTableWordCount(*r);
        if (words == 0 || words > static_cast<std::uint64_t>(limit - r)) return;
        DumpRecord(os, r);
        if (*r == END) return;
        r += words;
    }
}

void TypeTableStore::BuildSpiPartList() {
    std::memset(&spiPartList, 0, sizeof spiPartList);
    const TypeTableWord* table = Table();
    const TypeTableWord* limit = TableLimit();
    for (const TypeTableWord* p : Records(SPI_TYPEP, table, limit)) {
        SpiPart& part = spiPartList.entries[spiPartList.count];
        part.name = TypeTableName(p[1]);
        part.size = U(p[2]);
        part.pageSize = U(p[3]);
        part.sectorSize = U(p[4]);
        part.id[0] = static_cast<std::uint8_t>(p[6]);
        part.id[1] = static_cast<std::uint8_t>(p[7]);
        part.id[2] = static_cast<std::uint8_t>(p[8]);
        part.id[3] = 0;

        const TypeTableWord* set = nullptr;
        for (const TypeTableWord* r : Records(SPI_CMD_TABLE, table, limit)) {
            if (r[1] != p[5]) continue;
            set = r;
            break;
        }
        if (set == nullptr) {
            part = SpiPart{};
            return;
        }
        ApplyCommandSet(part, set + TypeTableWordCount(SPI_CMD_TABLE), limit);
        if (++spiPartList.count == kSpiPartListMax) return;
    }
}

void TypeTableStore::ApplyCommandSet(SpiPart& part, const TypeTableWord* from, const TypeTableWord* limit) {
    static constexpr std::uint64_t kSetRecords =
        OpcodeSet({SPI_CMD_CODE, SPI_CMD_ADDR, SPI_CMD_DUMMY, SPI_CMD_STATUS, SPI_CMD_WP});
    for (const TypeTableWord* c : RecordRun(from, limit, kSetRecords)) {
        const TypeTableWord* a = c + 1;
        if (*c == SPI_CMD_CODE || *c == SPI_CMD_ADDR || *c == SPI_CMD_DUMMY) {
            for (std::uint32_t i = 0; i < kSpiCommandCount; ++i) {
                const auto v = static_cast<std::uint8_t>(a[i]);
                if (*c == SPI_CMD_CODE) part.commands[i].opcode = v;
                else if (*c == SPI_CMD_ADDR) part.commands[i].addressBytes = v;
                else part.commands[i].dummyBytes = v;
            }
        } else if (*c == SPI_CMD_STATUS) {
            part.busy = {static_cast<std::uint8_t>(a[0]), static_cast<std::uint8_t>(a[1])};
            part.wel = {static_cast<std::uint8_t>(a[2]), static_cast<std::uint8_t>(a[3])};
        } else {
            for (int i = 0; i < 4; ++i)
                part.wp[i] = {static_cast<std::uint8_t>(a[2 * i]), static_cast<std::uint8_t>(a[2 * i + 1])};
        }
    }
}

void TypeTableStore::UseBuiltinTable(COsDepend& os) {
    typeTable = nullptr;
    customTableFlag = 0;
    DumpTypeTable(os, BuiltinTypeTable());
    BuildSpiPartList();
}

int TypeTableStore::LoadTextTable(COsDepend& os, FILE* f, std::int32_t& errorCode, std::int16_t& successFlag) {
    typeTable = nullptr;
    customTableFlag = 0;
    recordArea[0] = END;
    nameArea[0] = '\0';
    cursor_ = recordArea;
    nameUsed_ = 0;
    os.SetDelimiters("(),");

    bool ok = f != nullptr;
    int line = 1;
    while (ok) {
        const char* token = os.ReadToken(f);
        if (token != nullptr) {
            errorCode = 1;
            successFlag = 0;
            // The tokenizer reuses its buffer for the arguments.
            char keyword[128];
            CopyBounded(keyword, sizeof keyword, token);
            bool ended = false;
            if (!ParseLine(os, f, keyword, ended)) {
                os.Log(1, "error in line %d", line);
                ok = false;
                break;
            }
            errorCode = 0;
            successFlag = 1;
            ++line;
            if (ended) break;
        }
        if (os.SkipLine(f) == 0) break;
    }

    if (!ok) {
        // The built-in table stays in use, and so must serial-flash
        // identification: build the part list from it.
        recordArea[0] = END;
        BuildSpiPartList();
        return 0;
    }
    *cursor_ = END;
    DumpTypeTable(os, recordArea);
    typeTable = recordArea;
    customTableFlag = 1;
    BuildSpiPartList();
    return 1;
}

bool TypeTableStore::ParseLine(COsDepend& os, FILE* f, const char* keyword, bool& ended) {
    if (keyword[0] == '/' && keyword[1] == '/') return true;
    if (EqualsNoCase(keyword, "end")) {
        *cursor_ = END;
        ended = true;
        return true;
    }
    if (EqualsNoCase(keyword, "format")) {
        // The version is written as a decimal fraction; only 1.0 is known.
        const char* token = os.ReadToken(f);
        if (token == nullptr) return false;
        char* endp = nullptr;
        const float version = std::strtof(token, &endp);
        if (endp == token) return false;
        const float scaled = version * 100.0f;
        return scaled >= 100.0f && scaled < 101.0f;
    }
    for (std::uint32_t op = TYPE_TABLE; op < kTypeTableOpcodeCount; ++op) {
        if (EqualsNoCase(keyword, kOpcodes[op].keyword)) return ReadArguments(os, f, op, kOpcodes[op].kinds);
    }
    return false;
}

bool TypeTableStore::ReadArguments(COsDepend& os, FILE* f, TypeTableWord opcode, const char* kinds) {
    // The whole record and the closing END must fit.
    const auto used = static_cast<std::uint32_t>(cursor_ - recordArea);
    if (used + TypeTableWordCount(opcode) + 1 > kTypeTableWords) return false;
    *cursor_++ = opcode;

    for (const char* k = kinds; *k != '\0';) {
        if (*k == 'h') {
            std::uint32_t run = 0;
            while (k[run] == 'h') ++run;
            if (ReadHexNumbers(os, cursor_, f, run) != run) return false;
            k += run;
            continue;
        }
        const char* token = os.ReadToken(f);
        if (token == nullptr) return false;
        switch (*k) {
        case 'n':
            if (!AppendName(token)) return false;
            break;
        case 't':
        case 'T': {
            const int type = FindKeyword(kFlashTypes, kFlashTypeCount, token);
            if (type < 0) return false;
            // These types need a sub-table, which only the entry2 form gives.
            if (*k == 't' && type >= static_cast<int>(TYPE_SI2C) && type <= static_cast<int>(TYPE_QUORSPI)) return false;
            *cursor_++ = static_cast<TypeTableWord>(type);
            break;
        }
        case 'f': {
            const int family = FindKeyword(kFamilies, kAsicFamilyCount, token);
            if (family < 0) return false;
            *cursor_++ = static_cast<TypeTableWord>(family);
            break;
        }
        case 'r':
            if (EqualsNoCase(token, "det_fail")) *cursor_++ = DET_FAIL;
            else if (EqualsNoCase(token, "det_pass")) *cursor_++ = DET_PASS;
            else return false;
            break;
        case 'i': {
            std::uint32_t flag = 0;
            if (EqualsNoCase(token, "i2cad")) {
                flag = kI2cAddressBit;
                token = os.ReadToken(f);
                if (token == nullptr) return false;
            }
            std::uint32_t value = 0;
            if (!ParseTypeTableHex(token, value)) return false;
            *cursor_++ = flag | value;
            break;
        }
        default:
            return false;
        }
        ++k;
    }
    return true;
}

bool TypeTableStore::AppendName(const char* token) {
    const std::size_t length = std::strlen(token);
    if (length > kTypeTableNameMax) return false;
    if (nameUsed_ + length + 1 > kTypeTableNameAreaSize) return false;
    char* name = nameArea + nameUsed_;
    std::memcpy(name, token, length + 1);
    nameUsed_ += static_cast<std::uint32_t>(length + 1);
    *cursor_++ = static_cast<TypeTableWord>(reinterpret_cast<std::uintptr_t>(name));
    return true;
}
