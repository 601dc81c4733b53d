// Text type table: parser, dump, record walk and serial-flash part list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <string>

#include "engine/BuiltinTypeTable.h"
#include "engine/TypeTable.h"
#include "platform/COsDepend.h"
#include "support/TestSupport.h"

namespace {

struct Loaded {
    std::unique_ptr<TypeTableStore> store = std::make_unique<TypeTableStore>();
    int result = -1;
    std::int32_t errorCode = 0;
    std::int16_t successFlag = 0;
    std::string log;
};

Loaded LoadFile(const std::string& path) {
    Loaded out;
    vmtest::TempDir dir;
    COsDepend os(dir.File("trace.log").c_str(), 1);
    FILE* f = std::fopen(path.c_str(), "r");
    EXPECT_NE(f, nullptr) << path;
    if (f == nullptr) return out;
    out.result = out.store->LoadTextTable(os, f, out.errorCode, out.successFlag);
    std::fclose(f);
    out.log = vmtest::ReadFile(dir.File("trace.log"));
    return out;
}

Loaded LoadText(const std::string& text) {
    vmtest::TempDir dir;
    vmtest::WriteFile(dir.File("quendrix.rom"), text);
    return LoadFile(dir.File("quendrix.rom"));
}

std::string Dump(const TypeTableStore& store, const TypeTableWord* table) {
    vmtest::TempDir dir;
    COsDepend os(dir.File("dump.log").c_str(), 1);
    store.DumpTypeTable(os, table);
    return vmtest::ReadFile(dir.File("dump.log"));
}

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Repeat(const std::string& line, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += line;
    return s;
}

const char* kAllRecordsDump =
    "SWSPI_TABLE (2)\n"
    "SWSPI_REG (179c, 179c, 179c, 17a4)\n"
    "SWSPI_BIT (13, 0, a, 1, 9, 0, 8, 0)\n"
    "SWSPI_DELAY (5)\n"
    "I2C_TABLE (1)\n"
    "I2C_INFO (100, 100, 100, 100, 50)\n"
    "I2C_WSEQ (1, 0, 1, 0, 0, 0, 0, 0, 0, 0)\n"
    "I2C_WSEQ (2000007, 2000006, 2000005, 2000004, 2000003, 2000002, 2000001, 2000000, 0, 0)\n"
    "I2C_RSEQ (1, 0, 1, 0, 0, 0, 0, 1, 1, 0)\n"
    "TYPE_TABLE (1)\n"
    "TYPE_TABLE_ENTRY (0, 3, No ROM, TYPE_NOROM      , 0x00000, 1, 1)\n"
    "TYPE_TABLE_ENTRY (1, 3, Serial, TYPE_VOSK_AT25F , 0x20000, 1, 1)\n"
    "TYPE_TABLE_ENTRY (2, 3, Big part, TYPE_POMVEKSPI  , 0x10000, 10, 2)\n"
    "TYPE_TABLE_ENTRY2 (3, 3, DDC/1, TYPE_SI2C       , 0x00100, 1, 1, 1)\n"
    "PRESERVE_TABLE (1)\n"
    "PRESERVE_BYTE (7A, 3)\n"
    "ASIC (Test chip, TEV_LUSK, 1, C0, 11, 3, 1)\n"
    "DET_PCIRMW (4, FFFF, 2, 0)\n"
    "DET_PCICMP (2, FFFF, 6860, 687F, DET_PASS)\n"
    "DET_REGRMW (A0, 0, 70, 0)\n"
    "DET_REGCMP (3480, 4, 4, 4, DET_FAIL)\n"
    "DET_REGSAVE (1234, 0, 5)\n"
    "DET_SI2CCFG (1, 2, 3, 4, 5, 6, 7, 8)\n"
    "DET_SI2CW1CMP (A0, FF, 0, 10, 1)\n"
    "DET_SI2CW2CMP (A0, 1, FF, 0, 10, 0)\n"
    "DET_SI2CW3CMP (A0, 1, 2, FF, 0, 10, 1)\n"
    "ASIC (Other chip, KOV_GETHRA, 1, 0, 0, 0, 0)\n"
    "PINIT (1600, FFFFFFF, 10000002, FFFFFFFF, 0)\n"
    "SINIT (1604, FFFFFFFF, 1, FFFFFFFF, 0)\n"
    "CINIT (208, 0, C0600000, 0, C0600000)\n"
    "WRENA (A0, 0, 30)\n"
    "WRIS (A4, FFFFFF7F, 0)\n"
    "PARALLEL (D51F, AT29C010A, 20000, 80)\n"
    "SPI_CMD_TABLE (1)\n"
    "SPI_CMD_CODE (9f, c7, d8, 6, 4, 5, 1, 0, 3, 2)\n"
    "SPI_CMD_ADDR (0, 0, 0, 0, 0, 0, 0, 0, 3, 3)\n"
    "SPI_CMD_DUMMY (0, 0, 0, 0, 0, 0, 0, 0, 0, 0)\n"
    "SPI_CMD_STATUS (1, 1, 2, 2)\n"
    "SPI_CMD_WP (c, 4, c, c, 80, 80, 8c, 0)\n"
    "SPI_TYPEP (M25P10, 20000, 100, 8000, 1, 20, 20, 11)\n"
    "SPI_TYPEP (W25X40, 80000, 100, 10000, 1, ef, 30, 13)\n"
    "END\n";

TEST(TypeTableText, EveryLineFormParsesAndDumps) {
    Loaded t = LoadFile(VM_SOURCE_DIR "/tests/engine/fixtures/all_records.rom");
    ASSERT_EQ(t.result, 1) << t.log;
    EXPECT_EQ(t.errorCode, 0);
    EXPECT_EQ(t.successFlag, 1);
    EXPECT_EQ(t.store->customTableFlag, 1);
    EXPECT_EQ(t.store->Table(), t.store->recordArea);
    // The tokens are echoed first, then the table is dumped.
    EXPECT_TRUE(EndsWith(t.log, kAllRecordsDump)) << t.log;
    EXPECT_NE(t.log.find("FORMAT 1.0 \n"), std::string::npos);
    EXPECT_EQ(t.log.find("never"), std::string::npos) << "read past end";
    EXPECT_EQ(Dump(*t.store, t.store->Table()), kAllRecordsDump);

    const TypeTableWord* table = t.store->Table();
    const TypeTableWord* limit = t.store->TableLimit();
    // No FORMAT record is stored.
    EXPECT_EQ(table[0], SWSPI_TABLE);
    const TypeTableWord* seq = FindTypeTableRecord(I2C_WSEQ, table, limit);
    seq = FindTypeTableRecord(I2C_WSEQ, seq + TypeTableWordCount(I2C_WSEQ), limit);
    ASSERT_NE(seq, nullptr);
    EXPECT_EQ(seq[1], 0x2000007u);
    EXPECT_EQ(seq[8], 0x2000000u);
    const TypeTableWord* entry = FindTypeTableRecord(TYPE_TABLE_ENTRY, table, limit);
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(TypeTableName(entry[3]), "No ROM");
    // The name lives in the engine's name area.
    const char* name = TypeTableName(entry[3]);
    EXPECT_TRUE(name >= t.store->nameArea && name < t.store->nameArea + kTypeTableNameAreaSize);
    const TypeTableWord* asic = FindTypeTableRecord(ASIC, table, limit);
    ASSERT_NE(asic, nullptr);
    EXPECT_EQ(asic[2], TEV_LUSK);
    EXPECT_EQ(asic[4], 0xC0u);

    ASSERT_EQ(t.store->spiPartList.count, 2u);
    const SpiPart& w25 = t.store->spiPartList.entries[1];
    EXPECT_STREQ(w25.name, "W25X40");
    EXPECT_EQ(w25.size, 0x80000u);
    EXPECT_EQ(w25.pageSize, 0x100u);
    EXPECT_EQ(w25.id[0], 0xEF);
    EXPECT_EQ(w25.commands[SPI_PAGE_PROGRAM].opcode, 0x02);
    EXPECT_EQ(w25.commands[SPI_READ].addressBytes, 3);
}

TEST(TypeTableText, AcceptedEdgeForms) {
    struct Case {
        const char* text;
        TypeTableWord firstWords[3];
    };
    const Case cases[] = {
        {"", {END}},
        {"\n", {END}},
        {"   \n\n", {END}},
        {"format 1\nFORMAT 1.00\nFormat 1.0\n", {END}},
        {"type_table 10000\n", {TYPE_TABLE, 0x10000, END}},
        {"type_table 0x10\n", {TYPE_TABLE, 0x10, END}},
        {"type_table 0000000000ffffffff\n", {TYPE_TABLE, 0xFFFFFFFF, END}},
        {"type_table 1f rest ignored\n", {TYPE_TABLE, 0x1F, END}},
        {"type_table 12zz\n", {TYPE_TABLE, 0x12, END}},
        {"type_table 0X1f\n", {TYPE_TABLE, 0x1F, END}},
        {"type_table 0x\n", {TYPE_TABLE, 0, END}},
        {"swspi_delay 7", {SWSPI_DELAY, 7, END}},  // last line without newline
        {"// only a comment\n", {END}},
        {"TYPE_TABLE_ENTRY(0, 0, x, type_pomvek, 0, 1, 1)\n", {TYPE_TABLE_ENTRY, 0, 0}},
        {"type_table_entry2(0, 0, x, type_si2c, 0, 1, 1, 3)\n", {TYPE_TABLE_ENTRY2, 0, 0}},
        {"spi_cmd_table 1\nend\ngarbage that is never parsed\n", {SPI_CMD_TABLE, 1, END}},
    };
    for (const Case& c : cases) {
        Loaded t = LoadText(c.text);
        EXPECT_EQ(t.result, 1) << c.text << t.log;
        EXPECT_EQ(t.store->customTableFlag, 1) << c.text;
        for (int i = 0; i < 3 && (i == 0 || c.firstWords[i - 1] != END); ++i)
            EXPECT_EQ(t.store->recordArea[i], c.firstWords[i]) << c.text << " word " << i;
    }
    // A table of END alone: nothing to select, no parts.
    Loaded empty = LoadText("");
    EXPECT_EQ(empty.store->spiPartList.count, 0u);
    EXPECT_EQ(empty.log, "END\n");
}

TEST(TypeTableText, NamesUpTo31CharactersAndQuotedBlanks) {
    Loaded t = LoadText("parallel 1 \"a name, (with) blanks\" 2 3\nparallel 2 " + std::string(31, 'n') + " 2 3\n");
    ASSERT_EQ(t.result, 1) << t.log;
    EXPECT_STREQ(TypeTableName(t.store->recordArea[2]), "a name, (with) blanks");
    EXPECT_EQ(std::string(TypeTableName(t.store->recordArea[7])), std::string(31, 'n'));
}

TEST(TypeTableText, FailuresReportTheLineAndFallBackToTheBuiltinTable) {
    const std::string pinit = "pinit 1 2 3 4 5\n";
    const std::string name31 = std::string(31, 'p');
    struct Case {
        std::string text;
        int line;
    };
    const Case cases[] = {
        {"type_table 1\nbogus 1\n", 2},
        {"pinit 1 2 3 4\n", 1},                                        // missing argument
        {"type_table\n", 1},
        {"type_table zz\n", 1},                                        // no hex digit
        {"type_table -1\n", 1},
        {"type_table 100000000\n", 1},                                 // wider than 32 bits
        {"type_table_entry 0 0 x type_flashy 0 1 1\n", 1},
        {"type_table_entry 0 0 x type_unknown 0 1 1\n", 1},
        {"type_table_entry 0 0 x type_si2c 0 1 1\n", 1},               // needs a sub-table
        {"type_table_entry 0 0 x type_sii1930 0 1 1\n", 1},
        {"type_table_entry 0 0 x type_swspi 0 1 1\n", 1},
        {"type_table_entry 0 0 x type_quorspi 0 1 1\n", 1},
        {"asic x tev_graphic 1 0 0 0 0\n", 1},                         // keyword is tev_oskel
        {"asic x kov_brell 1 0 0 0 0\n", 1},                           // no keyword
        {"det_pcicmp 2 ffff 1 2 det_maybe\n", 1},
        {"det_regcmp 2 ffff 1 2\n", 1},
        {"i2c_wseq 1 0 1 0 0 0 0 i2cad\n", 1},
        {"format 2\n", 1},
        {"format x\n", 1},
        {"format\n", 1},
        {"// c\n\ntype_table 1\n\n\npinit 1\n", 3},                    // blank lines do not count
        {"a\n", 1},
        {"type_table 1\n\ntype_table 2\nswspi_delay 1\nbogus\n", 4},
        {"parallel 1 " + std::string(32, 'n') + " 2 3\n", 1},          // name too long
        {"spi_type \"\" 1 2 3 4 5 6 7\n", 1},                          // empty name
        {Repeat(pinit, 1366), 1366},                                   // record area full
        {Repeat(pinit, 1365) + "swspi_delay 1\n", 1366},
        {Repeat("parallel 1 " + name31 + " 2 3\n", 513), 513},         // name area full
    };
    for (const Case& c : cases) {
        Loaded t = LoadText(c.text);
        const std::string where = c.text.substr(0, 60);
        EXPECT_EQ(t.result, 0) << where;
        EXPECT_EQ(t.errorCode, 1) << where;
        EXPECT_EQ(t.successFlag, 0) << where;
        EXPECT_EQ(t.store->customTableFlag, 0) << where;
        EXPECT_EQ(t.store->Table(), BuiltinTypeTable()) << where;
        EXPECT_TRUE(EndsWith(t.log, "error in line " + std::to_string(c.line))) << where << "\n" << t.log;
        // Serial-flash identification keeps working on the built-in table.
        ASSERT_EQ(t.store->spiPartList.count, 53u) << where;
        EXPECT_STREQ(t.store->spiPartList.entries[0].name, "M25P05") << where;
    }
}

TEST(TypeTableText, CapacityLimitsAreExact) {
    Loaded full = LoadText(Repeat("pinit 1 2 3 4 5\n", 1365));
    ASSERT_EQ(full.result, 1);
    EXPECT_EQ(full.store->recordArea[1365 * 6], END);
    EXPECT_EQ(1365u * 6 + 1, kTypeTableWords - 1);

    Loaded names = LoadText(Repeat("parallel 1 " + std::string(31, 'q') + " 2 3\n", 512));
    ASSERT_EQ(names.result, 1);
    EXPECT_EQ(std::string(TypeTableName(names.store->recordArea[511 * 5 + 2])), std::string(31, 'q'));
}

TEST(TypeTableText, PartListFollowsCommandSets) {
    const std::string sets =
        "spi_cmd_table 2\n"
        "spi_cmd_code 90 60 52 6 4 5 1 50 3 2\n"
        "spi_cmd_dummy 3 0 0 0 0 0 0 0 0 0\n"
        "swspi_delay 1\n"                       // ends set 2
        "spi_cmd_status 1 1 2 2\n"
        "spi_cmd_table 1\n"
        "spi_cmd_code 9f c7 d8 6 4 5 1 0 3 2\n"
        "spi_cmd_status 3 1 2 2\n"
        "spi_cmd_wp c 4 c c 80 80 8c 0\n";
    Loaded t = LoadText(sets +
                        "spi_type first 10000 100 8000 1 20 20 10\n"
                        "spi_type second 20000 1 8000 2 bf 49 0\n"
                        "spi_type third 20000 1 8000 7 1 2 3\n"
                        "spi_type fourth 20000 1 8000 1 1 2 3\n");
    ASSERT_EQ(t.result, 1) << t.log;
    // The part with an unknown set ends the list.
    ASSERT_EQ(t.store->spiPartList.count, 2u);
    const SpiPart& first = t.store->spiPartList.entries[0];
    EXPECT_EQ(first.commands[SPI_READ_ID].opcode, 0x9F);
    EXPECT_EQ(first.busy.mask, 3);
    EXPECT_EQ(first.wp[SPI_WP_UNPROTECT].mask, 0x8C);
    const SpiPart& second = t.store->spiPartList.entries[1];
    EXPECT_EQ(second.commands[SPI_EWSR].opcode, 0x50);
    EXPECT_EQ(second.commands[SPI_READ_ID].dummyBytes, 3);
    EXPECT_EQ(second.busy.mask, 0) << "status record after another record belongs to no set";
    EXPECT_EQ(second.id[1], 0x49);
    EXPECT_EQ(second.id[3], 0);
    EXPECT_EQ(t.store->spiPartList.entries[2].name, nullptr);

    Loaded noSets = LoadText("spi_type a 1 1 1 1 1 1 1\n");
    ASSERT_EQ(noSets.result, 1);
    EXPECT_EQ(noSets.store->spiPartList.count, 0u);

    Loaded many = LoadText(sets + Repeat("spi_type p 10000 100 8000 1 20 20 10\n", 114));
    ASSERT_EQ(many.result, 1);
    EXPECT_EQ(many.store->spiPartList.count, kSpiPartListMax);
}

TEST(TypeTableRecords, FindRecordWalksByWordCount) {
    const TypeTableWord t[] = {
        TYPE_TABLE, 1, SWSPI_DELAY, TYPE_TABLE /* an argument, not a record */, TYPE_TABLE, 2,
        TYPE_TABLE, 3, END, TYPE_TABLE, 4,
    };
    const TypeTableWord* end = t + std::size(t);
    const TypeTableWord* r = FindTypeTableRecord(TYPE_TABLE, t, end);
    ASSERT_EQ(r, t);
    r = FindTypeTableRecord(TYPE_TABLE, r + 2, end);
    ASSERT_EQ(r, t + 4);
    r = FindTypeTableRecord(TYPE_TABLE, r + 2, end);
    ASSERT_EQ(r, t + 6);
    EXPECT_EQ(FindTypeTableRecord(TYPE_TABLE, r + 2, end), nullptr) << "END ends the walk";
    EXPECT_EQ(FindTypeTableRecord(END, t, end), t + 8);
    EXPECT_EQ(FindTypeTableRecord(SPI_TYPEP, t, end), nullptr);
    // A record reaching past the end is not returned.
    EXPECT_EQ(FindTypeTableRecord(TYPE_TABLE, t + 6, t + 7), nullptr);
    EXPECT_EQ(FindTypeTableRecord(TYPE_TABLE, t, t), nullptr);

    const TypeTableWord bad[] = {TYPE_TABLE, 1, 38, TYPE_TABLE, 2, END};
    EXPECT_EQ(FindTypeTableRecord(TYPE_TABLE, bad + 2, bad + std::size(bad)), nullptr);
    EXPECT_EQ(FindTypeTableRecord(END, bad, bad + std::size(bad)), nullptr);
}

TEST(TypeTableRecords, DumpStopsSilentlyAtAnUnknownOpcode) {
    TypeTableStore store;
    const TypeTableWord t[] = {
        FORMAT, 100, DET_PCICMP, 8, 0xFF, 0, 0x6F, DET_RANGE, DET_SI2CW2CMP, 0xA0, 1, 0xFF, 0, 0x10, 2,
        ASIC, reinterpret_cast<std::uintptr_t>("N"), TEV_NERROW, 5, 0xC0, 11, 3, 0,
        ASIC, reinterpret_cast<std::uintptr_t>("G"), KOV_GETHRA, 14, 0, 0, 0, 0,
        99, END,
    };
    std::copy(std::begin(t), std::end(t), store.recordArea);
    EXPECT_EQ(Dump(store, store.recordArea),
              "FORMAT (100)\n"
              "DET_PCICMP (8, FF, 0, 6F, DET_RANGE)\n"
              "DET_SI2CW2CMP (A0, 1, FF, 0, 10, 2)\n"
              "ASIC (N, TEV_NERROW , 5, C0, 11, 3, 0)\n"
              "ASIC (G, KOV_GETHRA, 14, 0, 0, 0, 0)\n");
}

}  // namespace
