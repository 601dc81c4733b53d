// The built-in type table: counts, exact records, and that its detection data
// classifies boards the way the supported chips are told apart.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/BuiltinTypeTable.h"
#include "engine/TypeTable.h"
#include "platform/COsDepend.h"
#include "support/TestSupport.h"

namespace {

const TypeTableWord* Begin() { return BuiltinTypeTable(); }
const TypeTableWord* Limit() { return BuiltinTypeTable() + BuiltinTypeTableWords(); }

std::vector<const TypeTableWord*> Records(TypeTableWord opcode) {
    std::vector<const TypeTableWord*> out;
    for (const TypeTableWord* r = FindTypeTableRecord(opcode, Begin(), Limit()); r != nullptr;
         r = FindTypeTableRecord(opcode, r + TypeTableWordCount(opcode), Limit()))
        out.push_back(r);
    return out;
}

const TypeTableWord* AsicNamed(const char* name, int nth = 0) {
    for (const TypeTableWord* r : Records(ASIC))
        if (std::strcmp(TypeTableName(r[1]), name) == 0 && nth-- == 0) return r;
    return nullptr;
}

bool IsDetectionStep(TypeTableWord op) {
    return (op >= DET_PCIRMW && op <= DET_REGCMP) || (op >= DET_REGSAVE && op <= DET_SI2CW3CMP);
}
bool IsInitRecord(TypeTableWord op) { return op >= PINIT && op <= WRIS; }

// The init list an ASIC record gets: the first run of init records after it,
// further ASIC records and detection steps skipped.
std::vector<const TypeTableWord*> InitList(const TypeTableWord* asic) {
    const TypeTableWord* r = asic;
    while (*r == ASIC || IsDetectionStep(*r)) r += TypeTableWordCount(*r);
    std::vector<const TypeTableWord*> out;
    for (; IsInitRecord(*r); r += TypeTableWordCount(*r)) out.push_back(r);
    return out;
}

std::vector<TypeTableWord> Words(const TypeTableWord* r) { return {r, r + TypeTableWordCount(*r)}; }

TEST(BuiltinTypeTable, RecordCountsAndOrder) {
    std::map<TypeTableWord, int> count;
    int records = 0;
    const TypeTableWord* r = Begin();
    for (; *r != END; r += TypeTableWordCount(*r)) {
        ASSERT_NE(TypeTableWordCount(*r), 0u) << "at word " << (r - Begin());
        ++count[*r];
        ++records;
    }
    EXPECT_EQ(records, static_cast<int>(kBuiltinTypeTableRecords));
    EXPECT_EQ(r + 1, Limit());
    EXPECT_LE(BuiltinTypeTableWords(), kTypeTableWords);
    EXPECT_EQ(count[ASIC], 140);
    EXPECT_EQ(count[TYPE_TABLE], 14);
    EXPECT_EQ(count[TYPE_TABLE_ENTRY] + count[TYPE_TABLE_ENTRY2], 30);
    EXPECT_EQ(count[I2C_TABLE], 3);
    EXPECT_EQ(count[PRESERVE_TABLE], 2);
    EXPECT_EQ(count[PRESERVE_BYTE], 4);
    EXPECT_EQ(count[SPI_CMD_TABLE], 6);
    EXPECT_EQ(count[SPI_TYPEP], 53);
    EXPECT_EQ(count[PARALLEL], 43);
    EXPECT_EQ(count[CINIT], 220);
    EXPECT_EQ(count[WRENA], 6);
    EXPECT_EQ(count[WRIS], 6);

    std::vector<const TypeTableWord*> asics = Records(ASIC);
    EXPECT_STREQ(TypeTableName(asics.front()[1]), "Pardel");
    EXPECT_STREQ(TypeTableName(asics.back()[1]), "Fyrand (Slave)");
    EXPECT_LT(AsicNamed("Jarnel (Slave)"), AsicNamed("Jarnel"));
    EXPECT_NE(AsicNamed("Garvelin/Tiln"), nullptr);
}

TEST(BuiltinTypeTable, DumpShowsEveryRecordThenEnd) {
    vmtest::TempDir dir;
    COsDepend os(dir.File("dump.log").c_str(), 1);
    auto store = std::make_unique<TypeTableStore>();
    store->UseBuiltinTable(os);
    const std::string dump = vmtest::ReadFile(dir.File("dump.log"));
    int lines = 0;
    for (char c : dump) lines += c == '\n';
    EXPECT_EQ(lines, static_cast<int>(kBuiltinTypeTableRecords) + 1);
    EXPECT_EQ(dump.substr(dump.size() - 4), "END\n");
    for (const char* line : {
             "FORMAT (100)\n",
             "SWSPI_BIT (13, 0, a, 0, 9, 0, 8, 0)\n",
             "I2C_RSEQ (2000007, 2000006, 2000005, 2000004, 2000003, 2000002, 2000001, 2000000, 0, 1)\n",
             "I2C_RSEQ (0, 1, 1, 1, 0, 0, 1, 1, 0, 0)\n",
             "TYPE_TABLE_ENTRY (1, 3, AT25F1024/C, TYPE_VOSK_AT25F , 0x20000, 1, 1)\n",
             "TYPE_TABLE_ENTRY2 (0, 0, POMVEK SPI, TYPE_POMVEKSPI  , 0x40000, 1, 1, 1)\n",
             "ASIC (Nerrow, TEV_NERROW , 5, C0, 11, 3, 0)\n",
             "ASIC (Gethra, KOV_GETHRA, 14, 0, 0, 0, 0)\n",
             "DET_PCICMP (8, FF, 0, 6F, DET_RANGE)\n",
             "PARALLEL (D51F, AT29C010A, 20000, 80)\n",
             "SPI_TYPEP (SST25VF010, 20000, 1, 8000, 5, bf, 49, 0)\n",
         })
        EXPECT_NE(dump.find(line), std::string::npos) << line;
    ASSERT_EQ(store->spiPartList.count, 53u);
}

TEST(BuiltinTypeTable, ExactRecords) {
    const TypeTableWord* t5 = Records(TYPE_TABLE)[4];
    EXPECT_EQ(t5[1], 5u);
    struct Entry {
        TypeTableWord value, mask;
        const char* name;
        TypeTableWord type, size;
    };
    const Entry table5[] = {{0, 3, "No ROM", TYPE_NOROM, 0},
                            {1, 3, "AT25F1024/C", TYPE_VOSK_AT25F, 0x20000},
                            {2, 3, "M25P05/C", TYPE_VOSK_STM25P, 0x10000},
                            {3, 3, "M25P10/C", TYPE_VOSK_STM25P, 0x20000}};
    const TypeTableWord* e = t5 + 2;
    for (const Entry& x : table5) {
        ASSERT_EQ(e[0], TYPE_TABLE_ENTRY);
        EXPECT_EQ(Words(e), (std::vector<TypeTableWord>{TYPE_TABLE_ENTRY, x.value, x.mask, e[3], x.type, x.size, 1, 1}));
        EXPECT_STREQ(TypeTableName(e[3]), x.name);
        e += 8;
    }
    const TypeTableWord* sii = Records(TYPE_TABLE_ENTRY2)[0];
    EXPECT_EQ(Words(sii), (std::vector<TypeTableWord>{TYPE_TABLE_ENTRY2, 0, 0, sii[3], TYPE_SII1930, 0x4000, 1, 1, 2}));

    const TypeTableWord* gethra = AsicNamed("Gethra");
    ASSERT_NE(gethra, nullptr);
    EXPECT_EQ(Words(gethra), (std::vector<TypeTableWord>{ASIC, gethra[1], KOV_GETHRA, 14, 0, 0, 0, 0}));
    EXPECT_EQ(Words(gethra + 8), (std::vector<TypeTableWord>{DET_REGCMP, 0x3480, 4, 4, 4, DET_FAIL}));
    EXPECT_EQ(Words(gethra + 14), (std::vector<TypeTableWord>{DET_PCICMP, 2, 0xFFFF, 0x6860, 0x687F, DET_PASS}));
    const TypeTableWord* twin = gethra + 20;
    EXPECT_STREQ(TypeTableName(twin[1]), "Gethra (Slave)");
    EXPECT_EQ(Words(twin + 8), (std::vector<TypeTableWord>{DET_REGCMP, 0x3480, 4, 0, 0, DET_FAIL}));
    std::vector<const TypeTableWord*> init = InitList(gethra);
    ASSERT_EQ(init, InitList(twin));
    ASSERT_EQ(init.size(), 4u);
    EXPECT_EQ(Words(init[0]), (std::vector<TypeTableWord>{CINIT, 0x5A090, 0xFFFFFFFE, 1, 0xFFFFFFFF, 0}));
    EXPECT_EQ(Words(init[3]), (std::vector<TypeTableWord>{CINIT, 0x5A1BC, 0xFFFFFC7F, 0x4380, 0xFFFFFFFF, 0}));

    const TypeTableWord* pardel = AsicNamed("Pardel");
    EXPECT_EQ(Words(pardel + 8), (std::vector<TypeTableWord>{DET_PCICMP, 2, 0xFFE0, 0xAC00, 0xAC1F, DET_PASS}));
    init = InitList(pardel);
    ASSERT_EQ(init.size(), 13u);
    EXPECT_EQ(Words(init[1]), (std::vector<TypeTableWord>{CINIT, 0x88C, 0, 0x100B0, 0xFFFFFFFF, 0}));
    // Companion-chip settings nobody gave: kept as the board has them.
    auto keeps = [](const TypeTableWord* e) {
        return e[0] == CINIT && e[2] == 0xFFFFFFFF && e[3] == 0 && e[4] == 0xFFFFFFFF && e[5] == 0;
    };
    for (std::size_t i = 2; i < init.size(); ++i) EXPECT_TRUE(keeps(init[i])) << "entry " << i;

    init = InitList(AsicNamed("Orpane"));
    ASSERT_EQ(init.size(), 9u);
    EXPECT_EQ(Words(init[0]), (std::vector<TypeTableWord>{CINIT, 0x1600, 0x0FFFFFFF, 0x10000002, 0xFFFFFFFF, 0}));
    EXPECT_EQ(Words(init[8]), (std::vector<TypeTableWord>{CINIT, 0x724, 0xFFFFFBFF, 0, 0xFFFFFFFF, 0}));

    init = InitList(AsicNamed("Syrell"));
    ASSERT_EQ(init.size(), 5u);
    EXPECT_EQ(Words(init[0]), (std::vector<TypeTableWord>{CINIT, 0x208, 0, 0xC0600000, 0, 0xC0600000}));

    init = InitList(AsicNamed("Nerrow"));
    ASSERT_EQ(init.size(), 22u);
    EXPECT_EQ(Words(init[16]), (std::vector<TypeTableWord>{WRENA, 0xA0, 0, 0x30}));
    EXPECT_EQ(Words(init[20]), (std::vector<TypeTableWord>{WRIS, 0xA4, 0xFFFFFF7F, 0}));
    for (int i = 0; i < 16; ++i) EXPECT_TRUE(keeps(init[i])) << "bridge entry " << i;

    const TypeTableWord* dunvale = AsicNamed("Dunvale");
    EXPECT_EQ(Words(dunvale + 8), (std::vector<TypeTableWord>{DET_REGCMP, 0x541C, 0x100, 0x100, 0x100, DET_FAIL}));
    EXPECT_EQ(Words(dunvale + 14), (std::vector<TypeTableWord>{DET_PCICMP, 2, 0xFFFF, 0x10, 0xFFFF, DET_FAIL}));
    EXPECT_EQ(Words(dunvale + 26), (std::vector<TypeTableWord>{DET_REGCMP, 0xBE4, 0xFFFFFFFF, 0x42710, 0x42710, DET_PASS}));

    std::vector<const TypeTableWord*> parallel = Records(PARALLEL);
    EXPECT_EQ(parallel[4][1], 0xD51Fu);
    EXPECT_STREQ(TypeTableName(parallel[4][2]), "AT29C010A");
    EXPECT_EQ(parallel[42][1], 0x2320u);
    EXPECT_STREQ(TypeTableName(parallel[42][2]), "M29W010B");
    EXPECT_EQ(parallel[16][1], 0x3401u);
    EXPECT_STREQ(TypeTableName(parallel[16][2]), "Vantel-B");
}

TEST(BuiltinTypeTable, EveryAsicHasStepsATypeTableAndAnInitList) {
    std::map<TypeTableWord, bool> typeTables;
    for (const TypeTableWord* t : Records(TYPE_TABLE)) typeTables[t[1]] = true;
    for (const TypeTableWord* a : Records(ASIC)) {
        const std::string name = TypeTableName(a[1]);
        EXPECT_TRUE(IsDetectionStep(a[8])) << name;
        EXPECT_TRUE(typeTables[a[3]]) << name;
        EXPECT_EQ(a[7], 0u) << name;
        EXPECT_FALSE(InitList(a).empty()) << name;
        const TypeTableWord family = a[2];
        const TypeTableWord expectedTable = family == TEV_MIB ? 4 : family == TEV_NERROW ? 5 : family >= KOV_GETHRA ? 14 : 13;
        EXPECT_EQ(a[3], expectedTable) << name;
        if (name.size() > 8 && name.compare(name.size() - 8, 8, " (Slave)") == 0) {
            EXPECT_EQ(a[8], DET_REGCMP) << name;
            EXPECT_EQ(a[11], 0u) << name;
            EXPECT_EQ(a[12], 0u) << name;
        }
    }
}

TEST(BuiltinTypeTable, SpiPartList) {
    auto store = std::make_unique<TypeTableStore>();
    store->BuildSpiPartList();
    const SpiPartList& list = store->spiPartList;
    ASSERT_EQ(list.count, 53u);
    EXPECT_STREQ(list.entries[0].name, "M25P05");
    EXPECT_STREQ(list.entries[52].name, "P25Q80H");

    const SpiPart* sst = nullptr;
    const SpiPart* w25q = nullptr;
    const SpiPart* at25f = nullptr;
    for (std::uint32_t i = 0; i < list.count; ++i) {
        const SpiPart& p = list.entries[i];
        if (std::strcmp(p.name, "SST25VF010") == 0) sst = &p;
        if (std::strcmp(p.name, "W25Q32BV/FV") == 0) w25q = &p;
        if (std::strcmp(p.name, "AT25F1024") == 0) at25f = &p;
        EXPECT_EQ(p.commands[SPI_READ].addressBytes, 3) << p.name;
        EXPECT_EQ(p.commands[SPI_PAGE_PROGRAM].addressBytes, 3) << p.name;
        EXPECT_EQ(p.commands[SPI_SECTOR_ERASE].addressBytes, 0) << p.name;
        EXPECT_EQ(p.busy.mask, 1);
        EXPECT_EQ(p.wel.value, 2);
        EXPECT_EQ(p.wp[SPI_WP_PARTIAL].value, 0x04);
        EXPECT_EQ(p.wp[SPI_WP_ALL].value, 0x0C);
        EXPECT_EQ(p.wp[SPI_WP_LOCK].mask, 0x80);
        EXPECT_EQ(p.wp[SPI_WP_UNPROTECT].mask, 0x8C);
    }
    ASSERT_TRUE(sst && w25q && at25f);
    EXPECT_EQ(sst->size, 0x20000u);
    EXPECT_EQ(sst->pageSize, 1u);
    EXPECT_EQ(sst->sectorSize, 0x8000u);
    EXPECT_EQ(sst->commands[SPI_READ_ID].opcode, 0x90);
    EXPECT_EQ(sst->commands[SPI_READ_ID].dummyBytes, 3);
    EXPECT_EQ(sst->commands[SPI_EWSR].opcode, 0x50);
    EXPECT_EQ(sst->commands[SPI_CHIP_ERASE].opcode, 0x60);
    EXPECT_EQ(sst->commands[SPI_SECTOR_ERASE].opcode, 0x52);
    EXPECT_EQ(0, std::memcmp(sst->id, "\xBF\x49\x00\x00", 4));
    EXPECT_EQ(w25q->size, 0x400000u);
    EXPECT_EQ(0, std::memcmp(w25q->id, "\xEF\x40\x16\x00", 4));
    EXPECT_EQ(w25q->commands[SPI_READ_ID].opcode, 0x9F);
    EXPECT_EQ(w25q->commands[SPI_READ_ID].dummyBytes, 0);
    EXPECT_EQ(at25f->commands[SPI_READ_ID].opcode, 0x15);
    EXPECT_EQ(at25f->commands[SPI_CHIP_ERASE].opcode, 0x62);
    EXPECT_EQ(at25f->pageSize, 128u);
}

// Runs the detection steps of every ASIC record against a board described
// by its configuration values and registers, and lists the matching records
// in table order. Registers 0xA0/0xA4 are the bridge's index/data pair.
struct Board {
    std::uint16_t device = 0;
    std::uint8_t revision = 0;
    std::map<std::uint32_t, std::uint32_t> regs;
    std::map<std::uint32_t, std::uint32_t> bridge;

    std::uint32_t& Reg(std::uint32_t r) { return r == 0xA4 ? bridge[regs[0xA0]] : regs[r & ~3u]; }
    std::uint32_t Config(std::uint32_t off) const {
        if (off == 0) return 0x1002u | (static_cast<std::uint32_t>(device) << 16);
        if (off == 2) return device;
        if (off == 8) return 0x03000000u | revision;
        return 0;
    }
};

std::vector<std::string> Matches(Board b) {
    std::vector<std::string> out;
    for (const TypeTableWord* a : Records(ASIC)) {
        for (const TypeTableWord* s = a + 8;; s += TypeTableWordCount(*s)) {
            bool in = false;
            if (*s == DET_PCICMP) {
                const std::uint32_t x = b.Config(static_cast<std::uint32_t>(s[1])) & static_cast<std::uint32_t>(s[2]);
                in = x >= s[3] && x <= s[4];
                if (s[5] == DET_RANGE) {
                    if (!in) break;
                    continue;
                }
            } else if (*s == DET_REGCMP) {
                const std::uint32_t sh = 8 * (s[1] & 3);
                const std::uint32_t x = (b.Reg(static_cast<std::uint32_t>(s[1])) >> sh) & static_cast<std::uint32_t>(s[2]);
                in = x >= s[3] && x <= s[4];
            } else if (*s == DET_REGRMW) {
                std::uint32_t& v = b.Reg(static_cast<std::uint32_t>(s[1]));
                v = ((v & static_cast<std::uint32_t>(s[2])) | static_cast<std::uint32_t>(s[3])) ^ static_cast<std::uint32_t>(s[4]);
                continue;
            } else {
                break;
            }
            if (in) {
                if (s[5] == DET_PASS) out.push_back(TypeTableName(a[1]));
                break;
            }
        }
    }
    return out;
}

TEST(BuiltinTypeTable, DetectionDataTellsBoardsApart) {
    using Regs = std::map<std::uint32_t, std::uint32_t>;
    using Names = std::vector<std::string>;
    struct Case {
        std::uint16_t device;
        std::uint8_t revision;
        Regs regs;
        Regs bridge;
        Names expected;
    };
    const Case cases[] = {
        {0x6863, 0, {}, {}, {"Gethra"}},
        {0x6863, 0, {{0x3480, 4}}, {}, {"Gethra (Slave)"}},
        {0x69B0, 0x71, {}, {}, {"Elmask"}},
        {0x69B0, 0x70, {{0x3480, 4}}, {}, {"Elmask (Slave)"}},
        {0x69B0, 0xF1, {}, {}, {"Elmask"}},
        {0x69B0, 0xF3, {}, {}, {"Elmask"}},
        {0x69B0, 0xF2, {}, {}, {"Hobran"}},
        {0x69B0, 0x6F, {}, {}, {"Hobran"}},
        {0x69A5, 0x00, {}, {}, {"Hobran"}},
        {0x66AF, 0x30, {}, {}, {"Cressa"}},
        {0x66AF, 0x10, {}, {}, {"Ivrel"}},
        {0x66A5, 0x30, {}, {}, {}},
        {0x66A5, 0xF0, {}, {}, {}},
        {0x67DF, 0xE1, {}, {}, {"Saffen"}},
        {0x67DF, 0xF3, {}, {}, {"Dorvel"}},
        {0x67DF, 0xF7, {{0x541C, 0x10}}, {}, {"Saffen (Slave)"}},
        // Two records claim this board; the adapter scan lists it twice.
        {0x67DF, 0x70, {}, {}, {"Dorvel", "Sardon"}},
        {0x67DF, 0x3D, {}, {}, {"Dorvel", "Sardon"}},
        {0x67C5, 0x00, {}, {}, {"Sardon"}},
        {0x6FDF, 0xEF, {}, {}, {"Sulmark"}},
        {0x6FDF, 0xEE, {}, {}, {}},
        {0x7330, 0, {}, {}, {"Cressa"}},
        {0x7331, 0, {}, {}, {}},
        {0x7345, 0, {{0x3480, 4}}, {}, {"Dorvel (Slave)"}},
        {0x7346, 0, {}, {}, {}},
        {0x7366, 0, {}, {}, {}},
        {0x7390, 0, {}, {}, {"Fyrand"}},
        {0x6940, 0, {{0x541C, 0x10}}, {}, {"Syrell (Slave)"}},
        {0x7305, 0, {}, {}, {"Zadrin"}},
        {0x67A0, 0, {{0x541C, 0x200}}, {}, {"Ulvane (Slave)"}},
        {0x6650, 0, {}, {}, {"Ombrel"}},
        {0x6610, 0, {}, {}, {"Nivarch"}},
        {0x6610, 0, {{0x541C, 0x100}}, {}, {"Nivarch (Slave)"}},
        {0x9440, 0, {{0x541C, 0x2000}}, {}, {"Garvelin (Slave)"}},
        {0x9440, 0, {{0x541C, 0x100}}, {}, {"Garvelin/Tiln"}},
        {0x9500, 0, {{0x541C, 0x10000}}, {}, {"Lendrin (Slave)"}},
        {0x9400, 0, {{0x541C, 0x2000}}, {}, {"Quor"}},
        {0x95C4, 0, {}, {}, {"Olvern/Tyrn"}},
        {0xAC05, 0, {}, {}, {"Pardel"}},
        {0x4D11, 0, {}, {}, {"Pirsen"}},
        {0x4D53, 0, {}, {}, {"Plessan"}},
        {0x5A41, 0, {}, {{0, 0x5A}}, {"Nerrow"}},
        {0x7A7A, 0, {}, {{0, 0x5A}}, {"Nerrow-AGP"}},
        {0x7A7A, 0, {}, {{0, 0x5B}}, {}},
        {0x0005, 0, {{0xBE4, 0x42710}}, {}, {"Dunvale"}},
        {0x0005, 0, {{0xBE4, 0x42710}, {0x55E4, 0x600100}}, {}, {}},
    };
    for (const Case& c : cases) {
        Board b;
        b.device = c.device;
        b.revision = c.revision;
        b.regs = c.regs;
        b.bridge = c.bridge;
        EXPECT_EQ(Matches(b), c.expected) << std::hex << c.device << " rev " << int(c.revision);
    }
}

}  // namespace
