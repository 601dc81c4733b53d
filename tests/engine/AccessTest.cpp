// Opening and closing access: strap decoding, type entries, sub-tables,
// init lists applied once and restored at close, write enable and disable,
// and register hygiene on every simulated adapter.
#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>
#include <vector>

#include "EngineRig.h"
#include "engine/CFlash.h"
#include "engine/SharedProtocolObjects.h"
#include "protocols/CGenI2C.h"
#include "protocols/CGenSPI.h"
#include "protocols/CQuorSPI.h"
#include "protocols/PomvekSPI.h"

using namespace enginetest;

namespace {

// ------------------------------------------------------------ strap and type entry

TEST(OpenAccess, StrapSelectsTheTypeEntry) {
    EngineRig rig;
    SimAdapter a = rig.Add(1, "quor");
    a.function->Registers().Poke(0x100, 0x50);
    CFlash& e = rig.Build("type_table 1\n"
                          "type_table_entry 0 3 \"First\" type_noflash 10000 2 3\n"
                          "type_table_entry 1 3 \"Second\" type_parallel 20000 4 5\n"
                          "asic \"A\" tev_oskel 1 100 4 f 0\n"
                          "det_pcicmp 2 ffff 9400 9400 det_pass\n");
    ASSERT_EQ(rig.Select(1), 1);
    rig.Trace();
    ASSERT_EQ(e.OpenAccess(), 1);
    EXPECT_EQ(e.strapValue, 5u);
    // 5 ^ 1 = 4, and 4 & 3 = 0: the second entry.
    EXPECT_STREQ(e.flashTypeName, "Second");
    EXPECT_EQ(e.flashType, TYPE_PARALLEL);
    EXPECT_EQ(e.romSize, 0x20000u);
    EXPECT_EQ(e.delayMs, 4u);
    EXPECT_EQ(e.retry, 5u);
    EXPECT_EQ(e.typeDetected, 1);
    EXPECT_TRUE(Contains(rig.TraceText(), "CFlash::OpenAccess() begins\n  looking up type table.. match\n"))
        << rig.TraceText();
    EXPECT_TRUE(Contains(rig.TraceText(), "CFlash::openAccess() ends\n"));
}

TEST(OpenAccess, NoMatchingEntryLeavesTheTypeUnknown) {
    EngineRig rig;
    SimAdapter a = rig.Add(1, "quor");
    a.function->Registers().Poke(0x100, 2);
    CFlash& e = rig.Build("type_table 1\n"
                          "type_table_entry 0 3 \"First\" type_noflash 10000 2 3\n"
                          "asic \"A\" tev_oskel 1 100 0 3 0\n"
                          "det_pcicmp 2 ffff 9400 9400 det_pass\n");
    ASSERT_EQ(rig.Select(1), 1);
    ASSERT_EQ(e.OpenAccess(), 1);
    EXPECT_EQ(e.flashType, TYPE_UNKNOWN);
    EXPECT_STREQ(e.flashTypeName, "unknown");
    EXPECT_EQ(e.romSize, 0u);
    EXPECT_EQ(e.typeDetected, 0);
}

TEST(OpenAccess, NeedsASelectedDevice) {
    EngineRig rig;
    rig.Add(1, "quor");
    CFlash& e = rig.Build();
    rig.Trace();
    EXPECT_EQ(e.OpenAccess(), 0);
    EXPECT_EQ(e.errorCode, 1);
    EXPECT_EQ(e.successFlag, 0);
    EXPECT_TRUE(Contains(rig.TraceText(), "CFlash::OpenAccess() begins\ndevice not selected"));
    EXPECT_EQ(e.WriteEnable(), 0);
    // Closing without an open device only reports success.
    EXPECT_EQ(e.CloseAccess(), 1);
}

struct BridgeStrap {
    std::uint32_t strap;
    const char* name;
    std::uint32_t type;
    std::uint32_t size;
};

void PrintTo(const BridgeStrap& c, std::ostream* out) { *out << "strap " << c.strap << " " << c.name; }

class BridgeStrapTest : public testing::TestWithParam<BridgeStrap> {};

TEST_P(BridgeStrapTest, StrapIsReadThroughTheBridge) {
    const BridgeStrap& c = GetParam();
    EngineRig rig;
    SimAdapterOptions o;
    o.bridgeStrap = c.strap;
    rig.Add(1, "nerrow-agp", o);
    CFlash& e = rig.Build();
    ASSERT_EQ(rig.Select(1), 1);
    rig.hw.AccessLog().Enable();
    ASSERT_EQ(e.OpenAccess(), 1);
    EXPECT_EQ(e.strapValue, c.strap);
    EXPECT_STREQ(e.flashTypeName, c.name);
    EXPECT_EQ(e.flashType, c.type);
    EXPECT_EQ(e.romSize, c.size);
    // Index 0xC0 into the bridge, then its data.
    const auto& log = rig.hw.AccessLog().Entries();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0].kind, SimAccessKind::RegisterWrite);
    EXPECT_EQ(log[0].offset, 0xA0u);
    EXPECT_EQ(log[0].value, 0xC0u);
    EXPECT_EQ(log[1].kind, SimAccessKind::RegisterRead);
    EXPECT_EQ(log[1].offset, 0xA4u);
    if (c.type == TYPE_VOSK_AT25F || c.type == TYPE_VOSK_STM25P) {
        EXPECT_EQ(e.sectorSize, 128u);
        EXPECT_EQ(e.bulkEraseOnly, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Straps, BridgeStrapTest,
                         testing::Values(BridgeStrap{0, "No ROM", TYPE_NOROM, 0},
                                         BridgeStrap{1, "AT25F1024/C", TYPE_VOSK_AT25F, 0x20000},
                                         BridgeStrap{2, "M25P05/C", TYPE_VOSK_STM25P, 0x10000},
                                         BridgeStrap{3, "M25P10/C", TYPE_VOSK_STM25P, 0x20000}),
                         [](const testing::TestParamInfo<BridgeStrap>& info) { return vmtest::TestName(info.param.name); });

// ------------------------------------------------------------ init lists

const char* kInitTable =
    "type_table 1\n"
    "type_table_entry 0 0 \"Par\" type_parallel 20000 1 1\n"
    "type_table 2\n"
    "type_table_entry 0 0 \"Ser\" type_vosk_at25f 20000 1 1\n"
    "asic \"P\" tev_oskel 1 0 0 0 0\n"
    "det_pcicmp 2 ffff 9400 9400 det_pass\n"
    "asic \"S\" tev_oskel 2 0 0 0 0\n"
    "det_pcicmp 2 ffff 9401 9401 det_pass\n"
    "cinit 100 ffff0000 11 ffffffff 0\n"
    "cinit 104 0 22 0 0\n"
    "cinit 108 0 33 0 44\n"
    "pinit 10c ff 100 ff00 1\n"
    "sinit 110 0 55 ffffffff 0\n"
    "wrena 114 fffffffe 1\n"
    "wrdis 114 fffffffe 0\n";

TEST(InitLists, AppliedOnceAtOpenAndRestoredAtClose) {
    EngineRig rig;
    SimAdapter a = rig.Add(1, "quor");
    SimRegisterFile& regs = a.function->Registers();
    for (std::uint32_t r = 0x100; r <= 0x110; r += 4) regs.Poke(r, 0xABCD0000 | r);
    regs.Poke(0x114, 0xABCD0115);
    CFlash& e = rig.Build(kInitTable);
    ASSERT_EQ(rig.Select(1), 1);
    rig.Trace();
    ASSERT_EQ(e.OpenAccess(), 1);
    ASSERT_EQ(e.OpenAccess(), 1);  // already open: nothing again
    EXPECT_EQ(regs.Peek(0x100), 0xABCD0011u);
    EXPECT_EQ(regs.Peek(0x104), 0x22u);
    EXPECT_EQ(regs.Peek(0x108), 0x33u);
    EXPECT_EQ(regs.Peek(0x10C), 0x10Cu | 0x100u);  // parallel list
    EXPECT_EQ(regs.Peek(0x110), 0xABCD0110u);      // serial list not applied
    const std::string opened = rig.TraceText();
    EXPECT_EQ(opened.find("  cinit [00000100]"), opened.rfind("  cinit [00000100]"));
    EXPECT_TRUE(Contains(opened, "  cinit [00000100] = (ABCD0100 & FFFF0000) | 00000011\n"));
    EXPECT_TRUE(Contains(opened, "  pinit [0000010C] = (ABCD010C & 000000FF) | 00000100\n"));

    rig.Trace();
    ASSERT_EQ(e.CloseAccess(), 1);
    EXPECT_EQ(regs.Peek(0x100), 0xABCD0100u);
    EXPECT_EQ(regs.Peek(0x104), 0x22u);  // close values both 0: left as opened
    EXPECT_EQ(regs.Peek(0x108), 0x44u);  // close and-mask 0: the close value
    EXPECT_EQ(regs.Peek(0x10C), (0xABCD010Cu & 0xFF00u) | 1u);
    EXPECT_EQ(regs.Peek(0x114), 0xABCD0114u);  // write disable at close
    const std::string closed = rig.TraceText();
    EXPECT_TRUE(Contains(closed, "CFlash::CloseAccess() begins\nCFlash::WriteDisable() begins\n"));
    EXPECT_TRUE(Contains(closed, "  wrdis [00000114] = (ABCD0115 & FFFFFFFE) | 00000000\n"));
    EXPECT_TRUE(Contains(closed, "  cinit [00000108] = (ABCD0108 & 00000000) | 00000044\n"));
    EXPECT_FALSE(Contains(closed, "  cinit [00000104]"));
    EXPECT_TRUE(Contains(closed, "CFlash::CloseAccess() ends\n"));
    EXPECT_EQ(e.accessOpen, 0);
    EXPECT_EQ(e.deviceSelected, 1);

    // Reopening decodes and applies again.
    ASSERT_EQ(e.OpenAccess(), 1);
    EXPECT_EQ(regs.Peek(0x100), 0xABCD0011u);
}

TEST(InitLists, SerialListForSerialTypes) {
    EngineRig rig;
    SimAdapterOptions o;
    o.device = 0x9401;
    SimAdapter a = rig.Add(1, "quor", o);
    SimRegisterFile& regs = a.function->Registers();
    regs.Poke(0x10C, 0x77);
    regs.Poke(0x110, 0x88);
    CFlash& e = rig.Build(kInitTable);
    ASSERT_EQ(rig.Select(1), 1);
    ASSERT_EQ(e.OpenAccess(), 1);
    EXPECT_EQ(regs.Peek(0x110), 0x55u);
    EXPECT_EQ(regs.Peek(0x10C), 0x77u);
    e.CloseAccess();
    EXPECT_EQ(regs.Peek(0x110), 0x88u);
}

TEST(WriteLists, EnableAndDisableTraceEveryEntry) {
    EngineRig rig;
    SimAdapter a = rig.Add(1, "nerrow");
    CFlash& e = rig.Build();
    ASSERT_EQ(rig.Select(1), 1);
    rig.Trace();
    ASSERT_EQ(e.WriteEnable(), 1);
    EXPECT_EQ(e.accessOpen, 1);
    EXPECT_EQ(a.bridge->Bridge().Peek(0x30) & 0x80, 0x80u);
    std::string t = rig.TraceText();
    EXPECT_TRUE(Contains(t, "CFlash::WriteEnable() begins\n  nwrena = 3\nCFlash::OpenAccess() begins\n"));
    EXPECT_TRUE(Contains(t, "  wrena [000000A0] = ("));
    EXPECT_TRUE(Contains(t, "  wrena [000000A4] = (") && Contains(t, " & FFFFFFFF) | 00000080\n"));
    EXPECT_TRUE(Contains(t, "CFlash::WriteEnable() ends\n"));
    rig.Trace();
    ASSERT_EQ(e.WriteDisable(), 1);
    EXPECT_EQ(a.bridge->Bridge().Peek(0x30) & 0x80, 0u);
    t = rig.TraceText();
    EXPECT_TRUE(Contains(t, "CFlash::WriteDisable() begins\nCFlash::OpenAccess() begins\n"));
    EXPECT_TRUE(Contains(t, " & FFFFFF7F) | 00000000\n"));
    EXPECT_TRUE(Contains(t, "CFlash::WriteDisable() ends\n"));
    EXPECT_FALSE(Contains(t, "nwrena"));
}

TEST(WriteLists, EmptyListStillOpensAndPauses) {
    EngineRig rig;
    rig.Add(1, "quor");
    CFlash& e = rig.Build();
    ASSERT_EQ(rig.Select(1), 1);
    ASSERT_EQ(e.OpenAccess(), 1);
    const std::uint64_t before = rig.hw.Clocks().DeviceMicros();
    EXPECT_EQ(e.WriteEnable(), 1);
    EXPECT_GE(rig.hw.Clocks().DeviceMicros(), before + 1);
    EXPECT_EQ(e.successFlag, 1);
}

// ------------------------------------------------------------ sub-tables

TEST(SubTables, SoftwareSpiLinesGoToTheEngineOfTheType) {
    EngineRig rig;
    rig.Add(1, "quor");
    CFlash& e = rig.Build("swspi_table 4\n"
                          "swspi_reg 1000 1004 1008 100c\n"
                          "swspi_bit 1 1 2 0 3 0 4 1\n"
                          "swspi_delay 7\n"
                          "type_table 1\n"
                          "type_table_entry2 0 0 \"Soft\" type_swspi 10000 1 1 4\n"
                          "asic \"A\" tev_oskel 1 0 0 0 0\n"
                          "det_pcicmp 2 ffff 9400 9400 det_pass\n");
    ASSERT_EQ(rig.Select(1), 1);
    ASSERT_EQ(e.OpenAccess(), 1);
    CGenSPI* soft = SharedProtocols().genSpi;
    EXPECT_EQ(e.GetSpiEngine(), soft);
    EXPECT_EQ(soft->csLine.reg, 0x1000u);
    EXPECT_EQ(soft->csLine.invert, 1);
    EXPECT_EQ(soft->dinLine.reg, 0x100Cu);
    EXPECT_EQ(soft->dinLine.bit, 4);
    EXPECT_EQ(soft->dinLine.invert, 1);
    EXPECT_EQ(soft->bitDelay, 7u);
    ASSERT_NE(e.subTable, nullptr);
    EXPECT_EQ(e.subTable[0], TypeTableWord(SWSPI_REG));
    // Nothing answers on the lines: no part, the entry's name and size.
    EXPECT_EQ(e.currentPart, nullptr);
    EXPECT_STREQ(e.currentPartName, "Soft");
    EXPECT_EQ(e.romSize, 0x10000u);
}

TEST(SubTables, I2cTableBuildsTheHeaders) {
    EngineRig rig;
    rig.Add(1, "quor");
    CFlash& e = rig.Build("i2c_table 2\n"
                          "i2c_info 1 100 1 100 100\n"
                          "i2c_wseq 0 1 1 1 0 0 1 0 0 0\n"
                          "i2c_wseq i2cad 7 i2cad 6 i2cad 5 i2cad 4 i2cad 3 i2cad 2 i2cad 1 i2cad 0 0 0\n"
                          "i2c_rseq 0 1 1 1 0 0 1 0 0 0\n"
                          "i2c_rseq i2cad f i2cad e 0 0 0 0 0 1 1 1\n"
                          "i2c_rseq 0 1 1 1 0 0 1 1 0 0\n"
                          "type_table 1\n"
                          "type_table_entry2 0 0 \"Sii\" type_sii1930 4000 1 1 2\n"
                          "asic \"A\" tev_oskel 1 0 0 0 0\n"
                          "det_pcicmp 2 ffff 9400 9400 det_pass\n");
    ASSERT_EQ(rig.Select(1), 1);
    ASSERT_EQ(e.OpenAccess(), 1);
    CGenI2C* i2c = SharedProtocols().genI2c;
    EXPECT_EQ(i2c->writeHeaderLength, 2u);
    EXPECT_EQ(i2c->writeHeader[0], 0x72);
    EXPECT_EQ(i2c->writeHeader[1], 0x00);
    EXPECT_EQ(i2c->writeAddressMap[7], 8 + 7);
    EXPECT_EQ(i2c->writeAddressMap[0], 8 + 0);
    EXPECT_EQ(i2c->writeAddressMap[8], -1);
    EXPECT_EQ(i2c->writePage, 0x100u);
    EXPECT_EQ(i2c->delay, 0x100u);
    EXPECT_EQ(i2c->readHeaderLength, 3u);
    EXPECT_EQ(i2c->readHeader[1], 0x01);
    EXPECT_EQ(i2c->readAddressMap[15], 8 + 7);
    EXPECT_EQ(i2c->readAddressMap[14], 8 + 6);
    EXPECT_EQ(i2c->readStopAfter[1], 1);
    EXPECT_EQ(i2c->readStartAfter[1], 1);
    EXPECT_EQ(i2c->readHeader[2], 0x73);
    EXPECT_EQ(e.flashType, TYPE_SII1930);
}

// ------------------------------------------------------------ text-table boards

// The boards only a text table reaches, from the shared fixture.
struct TextBoard {
    std::uint16_t device;
    std::uint32_t strap;  // register 0x60 bits 8-11
    const char* chip;
    std::uint32_t family;
    std::uint32_t type;
    const char* entry;
    std::uint32_t romSize;
    std::uint32_t sectorSize;
};

TEST(TextBoards, EachProtocolClassIsSelectedAndOpened) {
    const std::string table = vmtest::ReadFile(VM_SOURCE_DIR "/tests/engine/fixtures/text_boards.rom");
    const TextBoard boards[] = {
        {0x4150, 0, "Oskel Parallel", TEV_GRAPHIC, TYPE_PARALLEL, "Parallel", 0x20000, 0},
        {0x4151, 9, "Halm Serial", TEV_HALM, TYPE_VOSK_AT25F, "AT25F1024/C", 0x20000, 128},
        {0x4151, 0xC, "Halm Serial", TEV_HALM, TYPE_VOSK_STM25P, "M25P05/C", 0x10000, 128},
        {0x4151, 0xE, "Halm Serial", TEV_HALM, TYPE_VOSK_SST, "SST25VFxxx/C", 0x10000, 0},
        {0x4151, 0xF, "Halm Serial", TEV_HALM, TYPE_VOSK_ISSI, "NX25F001B/C", 0x20000, 0},
        {0x4151, 3, "Halm Serial", TEV_HALM, TYPE_NOROM, "No ROM", 0, 0},
        {0x4152, 0, "Irvast Eeprom", TEV_IRVAST, TYPE_SI2C, "DDC/1", 0x100, 0},
        {0x4153, 0, "Jorn SiI", TEV_JORN, TYPE_SII1930, "SiI 1930", 0x4000, 0},
        {0x4154, 0, "Kelt Soft SPI", TEV_KELT, TYPE_SWSPI, "Soft SPI", 0x20000, 0},
        {0x4155, 0, "Lusk Preserve", TEV_LUSK, TYPE_NOFLASH, "No flash", 0x10000, 0},
    };
    for (const TextBoard& b : boards) {
        const std::string what = std::string(b.chip) + " " + b.entry;
        EngineRig rig;
        SimAdapterOptions o;
        o.device = b.device;
        SimAdapter a = rig.Add(1, "quor", o);
        SimRegisterFile& regs = a.function->Registers();
        regs.Poke(0x60, b.strap << 8);
        regs.Poke(0x68, 0x80);
        CFlash& e = rig.Build(table);
        ASSERT_EQ(e.customTableFlag, 1) << what;
        ASSERT_EQ(e.spiPartList.count, 2u);
        ASSERT_EQ(rig.Select(1), 1) << what;
        EXPECT_STREQ(e.asicName, b.chip);
        EXPECT_EQ(e.asicFamily, b.family) << what;
        ASSERT_EQ(e.OpenAccess(), 1) << what;
        EXPECT_EQ(e.flashType, b.type) << what;
        EXPECT_STREQ(e.flashTypeName, b.entry);
        EXPECT_EQ(e.romSize, b.romSize) << what;
        EXPECT_EQ(e.sectorSize, b.sectorSize) << what;
        const bool serial = b.type >= TYPE_VOSK_AT25F && b.type <= TYPE_VOSK_SST;
        EXPECT_EQ(regs.Peek(0x68), serial ? 1u : 0x80u) << what << ": serial list";

        CGenI2C* i2c = SharedProtocols().genI2c;
        if (b.type == TYPE_SI2C || b.type == TYPE_SII1930) {
            const std::uint8_t device = b.type == TYPE_SI2C ? 0xA0 : 0x72;
            EXPECT_EQ(i2c->writeHeader[0], device) << what;
            EXPECT_EQ(i2c->readHeader[2], device | 1) << what;
            EXPECT_EQ(i2c->readStartAfter[1], 1) << what;
            EXPECT_EQ(i2c->readAddressMap[0], 8) << what;
        }
        if (b.type == TYPE_SWSPI) {
            CGenSPI* soft = e.GetSpiEngine();
            EXPECT_EQ(soft, SharedProtocols().genSpi);
            EXPECT_EQ(soft->csLine.bit, 19);
            EXPECT_EQ(soft->dinLine.reg, 0x17A4u);
            EXPECT_STREQ(e.currentPartName, "Soft SPI");
        }
        EXPECT_EQ(e.preserveCount, b.family == TEV_LUSK ? 2u : 0u) << what;

        ASSERT_EQ(e.CloseAccess(), 1);
        EXPECT_EQ(regs.Peek(0x68), 0x80u) << what;
    }
}

// ------------------------------------------------------------ detect type

TEST(DetectType, RedoesTheStrapWithoutTheInitLists) {
    EngineRig rig;
    SimAdapter a = rig.Add(1, "quor");
    SimRegisterFile& regs = a.function->Registers();
    regs.Poke(0x100, 0x5);
    CFlash& e = rig.Build(kInitTable);
    ASSERT_EQ(rig.Select(1), 1);
    // Closed: opens (applying the lists once) and identifies.
    rig.Trace();
    ASSERT_EQ(e.DetectType(), 1);
    EXPECT_EQ(e.accessOpen, 1);
    EXPECT_EQ(regs.Peek(0x100), 0x11u);
    // Parallel identification finds nothing: method 2, size 0.
    EXPECT_EQ(e.parallelMethod, 2u);
    EXPECT_EQ(e.romSize, 0u);
    EXPECT_EQ(e.bulkEraseOnly, 1);
    std::string t = rig.TraceText();
    EXPECT_TRUE(Contains(t, "CFlash::DetectType() begins\nCFlash::OpenAccess() begins\n"));
    EXPECT_TRUE(Contains(t, "CFlash::DetectType() ends\n"));

    // Open: the strap again, silently, no list.
    regs.Poke(0x100, 0x1234);
    rig.Trace();
    ASSERT_EQ(e.DetectType(), 1);
    EXPECT_EQ(regs.Peek(0x100), 0x1234u);
    t = rig.TraceText();
    EXPECT_EQ(t, "CFlash::DetectType() begins\nCFlash::DetectType() ends\n");
    EXPECT_STREQ(e.flashTypeName, "Par");
}

// ------------------------------------------------------------ hygiene

struct Snapshot {
    std::array<std::uint8_t, 256> config;
    std::vector<std::uint32_t> registers;
    std::vector<std::uint32_t> bridge;
    std::vector<std::uint32_t> indirect;
    std::uint32_t indirectIndex = 0;
    std::uint32_t bridgeIndex = 0;
};

constexpr std::uint32_t kIndirectBase = 0xC0600000;

Snapshot Take(SimAdapter& a) {
    Snapshot s;
    s.config = a.function->ConfigSnapshot();
    s.registers = SnapshotRegisters(a.function->Registers(), 0, a.model->registerWindow);
    if (a.bridge) {
        s.bridge = SnapshotRegisters(a.bridge->Bridge(), 0, 0x200);
        s.bridgeIndex = a.bridge->IndexValue();
    }
    if (a.indirect) {
        s.indirect = SnapshotRegisters(a.indirect->Space(), kIndirectBase, 0x200);
        s.indirectIndex = a.indirect->IndexValue();
    }
    return s;
}

// Registers of the ROM controller's software-command mode: scratch
// registers of every SPI transfer, not state the tool must restore.
std::set<std::uint32_t> TransferRegisters(CQuorSPI* engine) {
    std::set<std::uint32_t> regs = {engine->ROM_SW_CNTL, engine->ROM_SW_STATUS, engine->ROM_SW_COMMAND};
    for (std::uint32_t k = 0; k < kRomControllerDataBytes; k += 4) regs.insert(engine->ROM_SW_DATA[k]);
    return regs;
}

struct HygieneCase {
    const char* model;
    bool slave;
};

void PrintTo(const HygieneCase& c, std::ostream* out) { *out << c.model << (c.slave ? " (slave)" : ""); }

class HygieneTest : public testing::TestWithParam<HygieneCase> {};

TEST_P(HygieneTest, OpenAndCloseLeaveTheAdapterAsFound) {
    const HygieneCase& c = GetParam();
    EngineRig rig;
    SimAdapterOptions o;
    o.slave = c.slave;
    SimAdapter a = rig.Add(1, c.model, o);
    const Snapshot before = Take(a);

    CFlash& e = rig.Build();
    // Without a controller model every transfer times out and says so.
    testing::internal::CaptureStdout();
    ASSERT_EQ(rig.Select(1), 1);
    ASSERT_EQ(e.OpenAccess(), 1);
    std::uint8_t buffer[64];
    e.Read(0, sizeof buffer, buffer);
    CGenSPI* spi = e.GetSpiEngine();
    ASSERT_EQ(e.CloseAccess(), 1);
    testing::internal::GetCapturedStdout();
    const Snapshot after = Take(a);

    // Documented writes that stay: the bridge probe of every non-companion
    // board zeroes register 0xA0 (zero already here), clears bit 1 of bridge
    // register 0x70, and the family-21 engine test leaves its pattern.
    std::set<std::uint32_t> scratch;
    std::set<std::uint32_t> indirectScratch;
    if (e.flashType == TYPE_QUORSPI || e.flashType == TYPE_POMVEKSPI) {
        auto* hardware = static_cast<CQuorSPI*>(spi);
        for (std::uint32_t r : TransferRegisters(hardware)) (r >= kIndirectBase ? indirectScratch : scratch).insert(r);
    }
    if (e.asicFamily == KOV_GETHRA) scratch.insert(0x5A0B8);
    for (std::uint32_t i = 0; i < before.registers.size(); ++i) {
        const std::uint32_t reg = 4 * i;
        if (scratch.count(reg)) continue;
        EXPECT_EQ(after.registers[i], before.registers[i]) << c.model << " register " << std::hex << reg;
    }
    for (std::uint32_t i = 0; i < before.bridge.size(); ++i) {
        const std::uint32_t expected = 4 * i == 0x70 ? before.bridge[i] & ~2u : before.bridge[i];
        EXPECT_EQ(after.bridge[i], expected) << c.model << " bridge register " << std::hex << 4 * i;
    }
    for (std::uint32_t i = 0; i < before.indirect.size(); ++i) {
        if (indirectScratch.count(kIndirectBase + 4 * i)) continue;
        EXPECT_EQ(after.indirect[i], before.indirect[i]) << c.model << " indirect register " << std::hex
                                                         << kIndirectBase + 4 * i;
    }
    // The second generation's list points the index at ROM_AUX_CNTL again
    // on closing (its one fixed entry); the bridge boards leave the bridge
    // index where the strap decode put it (bridge register 0xC0).
    if (a.indirect) {
        EXPECT_EQ(after.indirectIndex, kIndirectBase);
    }
    if (a.bridge) {
        EXPECT_EQ(after.bridgeIndex, 0xC0u);
    }

    // Configuration space comes back when the engine lets go of the device.
    rig.engine.reset();
    EXPECT_TRUE(a.function->ConfigSnapshot() == before.config) << c.model;
}

std::vector<HygieneCase> AllModels() {
    std::vector<HygieneCase> cases;
    for (const SimAdapterModel& m : SimAdapterModels()) {
        cases.push_back({m.keyword, false});
        if (m.strapRegister) cases.push_back({m.keyword, true});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Models, HygieneTest, testing::ValuesIn(AllModels()),
                         [](const testing::TestParamInfo<HygieneCase>& info) {
                             std::string name = info.param.model;
                             for (char& ch : name)
                                 if (ch == '-') ch = '_';
                             return name + (info.param.slave ? "_slave" : "");
                         });

// The second-generation lists go through the indirect pair; a transfer
// leaves the index elsewhere, and closing must still restore ROM_AUX_CNTL
// and leave ROM_CNTL alone.
TEST(Hygiene, IndirectListSurvivesAMovedIndex) {
    EngineRig rig;
    SimAdapter a = rig.Add(1, "syrell");
    SimRegisterFile& space = a.indirect->Space();
    space.Poke(0xC0600000, 0x2000000F);  // ROM_AUX_CNTL
    space.Poke(0xC0600004, 0x00000123);  // ROM_CNTL
    CFlash& e = rig.Build();
    ASSERT_EQ(rig.Select(1), 1);
    ASSERT_EQ(e.OpenAccess(), 1);
    EXPECT_EQ(space.Peek(0xC0600000), 0x10000002u | 0xFu);
    // Where the last transfer leaves the pair.
    e.WriteRegister(0x208, 0xC0600004);
    e.CloseAccess();
    EXPECT_EQ(space.Peek(0xC0600000), 0x2000000Fu);
    EXPECT_EQ(space.Peek(0xC0600004), 0x00000123u);
    EXPECT_EQ(a.indirect->IndexValue(), 0xC0600000u);
}

}  // namespace
