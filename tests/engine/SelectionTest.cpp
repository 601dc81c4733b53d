// Device selection: vendor and class checks, the classification of the
// simulated adapters by the built-in table, and the detection-programme
// interpreter on small text tables.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "EngineRig.h"
#include "engine/CFlash.h"
#include "engine/SharedProtocolObjects.h"
#include "protocols/CGenI2C.h"

using namespace enginetest;

namespace {

struct Classification {
    const char* model;
    int device;     // -1: the model's
    int revision;   // -1: the model's
    bool slave;
    int matchIndex;
    const char* chip;  // null: selection fails
    std::uint32_t family;
    std::uint32_t cinitCount;
};

void PrintTo(const Classification& c, std::ostream* out) {
    *out << c.model << " device " << std::hex << c.device << " revision " << c.revision << (c.slave ? " slave" : "")
         << " index " << std::dec << c.matchIndex;
}

class ClassificationTest : public testing::TestWithParam<Classification> {};

TEST_P(ClassificationTest, BuiltInTableNamesTheChip) {
    const Classification& c = GetParam();
    EngineRig rig;
    SimAdapterOptions o;
    o.device = c.device;
    o.revision = c.revision;
    o.slave = c.slave;
    rig.Add(1, c.model, o);
    CFlash& e = rig.Build();
    rig.Trace();

    const std::int16_t selected = rig.Select(1, c.matchIndex);
    if (c.chip == nullptr) {
        EXPECT_EQ(selected, 0);
        EXPECT_EQ(e.deviceSelected, 0);
        EXPECT_EQ(e.errorCode, 1);
        char line[64];
        std::snprintf(line, sizeof line, "no information found for device ID %04X\n", e.deviceId);
        EXPECT_TRUE(Contains(rig.TraceText(), line));
        // The device is unmapped again: register reads give all ones.
        EXPECT_EQ(e.ReadRegister(0x3480), 0xFFFFFFFFu);
        return;
    }
    ASSERT_EQ(selected, 1) << rig.TraceText();
    EXPECT_STREQ(e.asicName, c.chip);
    EXPECT_EQ(e.asicFamily, c.family);
    EXPECT_EQ(e.cinit.count, c.cinitCount);
    EXPECT_EQ(e.deviceSelected, 1);
    EXPECT_EQ(e.successFlag, 1);
}

const Classification kClassifications[] = {
    {"gethra", 0x6863, -1, false, 0, "Gethra", KOV_GETHRA, 4},
    {"gethra", 0x6863, -1, true, 0, "Gethra (Slave)", KOV_GETHRA, 4},
    {"gethra", 0x6863, -1, false, 1, nullptr, 0, 0},
    {"hobran", 0x69A0, -1, false, 0, "Hobran", KOV_HOBRAN, 4},
    {"hobran", 0x69B0, 0x71, false, 0, "Elmask", KOV_ELMASK, 4},
    {"hobran", 0x69B0, 0xF2, true, 0, "Hobran (Slave)", KOV_HOBRAN, 4},
    {"ivrel", 0x66A0, 0x00, false, 0, "Ivrel", KOV_IVREL, 4},
    {"ivrel", 0x66AF, 0x30, false, 0, "Cressa", KOV_CRESSA, 4},
    {"ivrel", 0x66A5, 0x30, false, 0, nullptr, 0, 0},
    {"cressa", 0x7330, -1, true, 0, "Cressa (Slave)", KOV_CRESSA, 4},
    {"dorvel", 0x7340, -1, false, 0, "Dorvel", KOV_DORVEL, 4},
    {"dorvel", 0x7346, -1, false, 0, nullptr, 0, 0},
    {"elmask", 0x7367, -1, false, 0, "Elmask", KOV_ELMASK, 4},
    {"fyrand", -1, -1, true, 0, "Fyrand (Slave)", KOV_FYRAND, 4},
    {"sardon", 0x67DF, 0xE1, false, 0, "Saffen", KOV_JESPA_ALDRUN, 5},
    {"sardon", 0x67DF, 0xF3, false, 0, "Dorvel", KOV_DORVEL, 4},
    {"sardon", 0x67C0, 0x10, true, 0, "Sardon (Slave)", KOV_JESPA_ALDRUN, 5},
    // 0x67DF revisions 0x70-0x71 and 0x3C-0x3E fall in two records: the
    // scan finds the board twice, first as Dorvel and then as Sardon.
    {"sardon", 0x67DF, 0x70, false, 0, "Dorvel", KOV_DORVEL, 4},
    {"sardon", 0x67DF, 0x70, false, 1, "Sardon", KOV_JESPA_ALDRUN, 5},
    {"sardon", 0x67DF, 0x3D, true, 1, "Sardon (Slave)", KOV_JESPA_ALDRUN, 5},
    {"sardon", 0x67DF, 0x70, false, 2, nullptr, 0, 0},
    {"syrell", -1, -1, false, 0, "Syrell", KOV_JESPA_BEVRIN, 5},
    {"wenmar", -1, -1, true, 0, "Wenmar (Slave)", KOV_GAVREL_WENMAR, 5},
    {"ulvane", -1, -1, true, 0, "Ulvane (Slave)", KOV_FELSK_ULVANE, 7},
    {"ombrel", -1, -1, false, 0, "Ombrel", KOV_FELSK_OMBREL, 7},
    {"quor", -1, -1, false, 0, "Quor", TEV_LUSK, 10},
    {"quor", -1, -1, true, 0, "Quor", TEV_LUSK, 10},  // a single chip has no twin
    {"nivarch", -1, -1, false, 0, "Nivarch", TEV_LUSK, 5},
    {"nivarch", -1, -1, true, 0, "Nivarch (Slave)", TEV_LUSK, 5},
    {"garvelin", -1, -1, false, 0, "Garvelin/Tiln", TEV_LUSK, 10},
    {"garvelin", -1, -1, true, 0, "Garvelin (Slave)", TEV_LUSK, 10},
    {"lendrin", -1, -1, true, 0, "Lendrin (Slave)", TEV_LUSK, 10},
    {"pardel", 0xAC05, -1, false, 0, "Pardel", TEV_MIB, 13},
    {"pardel", 0xAC05, -1, false, 1, nullptr, 0, 0},
    {"pirsen", 0x4D11, -1, false, 0, "Pirsen", TEV_MIB, 15},
    {"nerrow", -1, -1, false, 0, "Nerrow", TEV_NERROW, 16},
    {"nerrow-agp", -1, -1, false, 0, "Nerrow-AGP", TEV_NERROW, 7},
};

// Model, then the device and revision when the case sets them, "slave",
// and the match index when it is not the first.
std::string ClassificationName(const testing::TestParamInfo<Classification>& info) {
    const Classification& c = info.param;
    char number[16];
    std::string name = c.model;
    if (c.device >= 0) {
        std::snprintf(number, sizeof number, "_%04X", unsigned(c.device));
        name += number;
    }
    if (c.revision >= 0) {
        std::snprintf(number, sizeof number, "_rev%02X", unsigned(c.revision));
        name += number;
    }
    if (c.slave) name += "_slave";
    if (c.matchIndex != 0) name += "_match" + std::to_string(c.matchIndex);
    return vmtest::TestName(name);
}

INSTANTIATE_TEST_SUITE_P(Adapters, ClassificationTest, testing::ValuesIn(kClassifications), ClassificationName);

// ------------------------------------------------------------ vendor, class

TEST(SelectDevice, SecondVendorNeedsItsSwitch) {
    EngineRig rig;
    SimAdapterOptions o;
    o.vendor = 0x1022;
    rig.Add(1, "gethra", o);
    CFlash& e = rig.Build();
    rig.Trace();
    EXPECT_EQ(rig.Select(1), 0);
    EXPECT_EQ(e.errorCode, 1);
    EXPECT_TRUE(Contains(rig.TraceText(), "CFlash::SelectDevice(0000,01,00,00)\nnon-TEV device\n"));
    // Refused before mapping: nothing was mapped.
    EXPECT_TRUE(rig.hw.Mappings().empty());

    e.acceptKovVendor = 1;
    EXPECT_EQ(rig.Select(1), 1);
    EXPECT_STREQ(e.asicName, "Gethra");
}

TEST(SelectDevice, RefusesOtherClassesAndAbsentFunctions) {
    EngineRig rig;
    SimAdapterOptions o;
    o.classCode = 0x040000;  // multimedia
    rig.Add(1, "gethra", o);
    CFlash& e = rig.Build();
    rig.Trace();
    EXPECT_EQ(rig.Select(1), 0);
    EXPECT_TRUE(Contains(rig.TraceText(), "non-Display device!\n"));
    EXPECT_EQ(e.successFlag, 0);
    // Nothing answers at slot 5: the vendor reads as all ones.
    EXPECT_EQ(rig.Select(5), 0);
    EXPECT_TRUE(Contains(rig.TraceText(), "CFlash::SelectDevice(0000,05,00,00)\nnon-TEV device\n"));
}

TEST(SelectDevice, SecondVendorsOtherClassesAreRefusedUntouched) {
    // Under "-KOV" the second vendor's storage and network functions pass
    // the vendor check; the class check must stop them before the command
    // register or the ROM BAR is touched.
    for (std::uint32_t classCode : {0x010000u, 0x020000u, 0x040000u}) {
        EngineRig rig;
        SimAdapterOptions o;
        o.vendor = 0x1022;
        o.classCode = classCode;
        rig.Add(1, "gethra", o);
        CFlash& e = rig.Build();
        e.acceptKovVendor = 1;
        const auto before = rig.hw.FindFunction(Slot(1))->ConfigSnapshot();
        rig.hw.AccessLog().Enable();
        EXPECT_EQ(rig.Select(1), 0) << std::hex << classCode;
        EXPECT_EQ(rig.hw.AccessLog().Count(SimAccessKind::ConfigWrite), 0u) << std::hex << classCode;
        EXPECT_TRUE(rig.hw.Mappings().empty()) << std::hex << classCode;
        EXPECT_EQ(rig.hw.FindFunction(Slot(1))->ConfigSnapshot(), before) << std::hex << classCode;
    }
}

TEST(SelectDevice, MappingFailureIsReported) {
    EngineRig rig;
    rig.Add(1, "gethra");
    CFlash& e = rig.Build();
    e.optNoPcie = 1;
    rig.Trace();
    EXPECT_EQ(rig.Select(1), 0);
    EXPECT_EQ(e.successFlag, 0);
    EXPECT_TRUE(Contains(rig.TraceText(), "skip PCIe device\n"));
    EXPECT_FALSE(Contains(rig.TraceText(), "check for"));
}

// The register window follows the selected chip: 512 KiB on the third
// generation, 256 KiB otherwise.
TEST(SelectDevice, MapsTheWindowOfTheSelectedChip) {
    EngineRig rig;
    rig.Add(1, "gethra");
    rig.Add(2, "quor");
    rig.Build();
    ASSERT_EQ(rig.Select(1), 1);
    ASSERT_FALSE(rig.hw.Mappings().empty());
    EXPECT_EQ(rig.hw.Mappings().front().length, 0x80000u);
    ASSERT_EQ(rig.Select(2), 1);
    bool small = false;
    for (const auto& m : rig.hw.Mappings()) small = small || (m.phys == rig.hw.FindFunction(Slot(2))->BarBase(2) && m.length == 0x40000);
    EXPECT_TRUE(small);
}

// ------------------------------------------------------------ capability fix-up

struct FixupCase {
    int bus;
    std::int16_t option;
    std::uint32_t bar;
    std::uint32_t expected;
};

std::string FixupName(const FixupCase& c) {
    char text[48];
    std::snprintf(text, sizeof text, "bus%d_switch%d_bar%08X", c.bus, int(c.option), unsigned(c.bar));
    return text;
}
void PrintTo(const FixupCase& c, std::ostream* out) { *out << FixupName(c); }

class CapabilityFixupTest : public testing::TestWithParam<FixupCase> {};

TEST_P(CapabilityFixupTest, RewritesTheAlignmentRegister) {
    const FixupCase& c = GetParam();
    EngineRig rig;
    SimPciFunction* f = rig.hw.AddFunction({0, std::uint8_t(c.bus), 0, 0}, 0x1002, 0x6860);
    f->SetClassCode(0x030000);
    f->AddCapability(0x01);
    f->AddCapability(0x10);
    f->PresetConfig(0x18, 4, c.bar);
    f->SetConfigWriteMask(0x18, 4, 0xFFFFFFFF);
    CFlash& e = rig.Build();
    e.capabilityFixup = c.option;
    e.SelectDevice(0, std::uint8_t(c.bus), 0, 0);
    EXPECT_EQ(f->ConfigValue(0x18, 4), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, CapabilityFixupTest,
                         testing::Values(FixupCase{1, 1, 0xE0040000, 0xE0080000},   // bit 18 set: cleared, bit 19 flipped
                                         FixupCase{1, 1, 0xE00C0000, 0xE0000000},   // bits 18, 19 set
                                         FixupCase{1, 1, 0xE0040008, 0xE0040008},   // prefetchable: left alone
                                         FixupCase{1, 1, 0xE0000000, 0xE0000000},   // bits 16-18 clear
                                         FixupCase{0, 1, 0xE0040000, 0xE0040000},   // bus 0: never
                                         FixupCase{1, 0, 0xE0040000, 0xE0040000}),  // switch off
                         [](const testing::TestParamInfo<FixupCase>& info) { return FixupName(info.param); });

// ------------------------------------------------------------ detection programmes

// A text table with one type table and the given ASIC records.
std::string Table(const std::string& asics) {
    return "type_table 1\n"
           "type_table_entry 0 0 \"Plain\" type_noflash 20000 1 1\n" +
           asics + "end\n";
}

TEST(Detection, ConfigurationWidthFollowsAlignment) {
    EngineRig rig;
    SimAdapterOptions o;
    o.revision = 0x42;
    o.classCode = 0x030001;
    rig.Add(1, "quor", o);
    // Vendor via a dword read at 0, device word at 2, class/revision dword
    // at 8, programming-interface byte at 9.
    CFlash& e = rig.Build(Table("asic \"A\" tev_oskel 1 0 0 0 0\n"
                                "det_pcicmp 0 ffff 1002 1002 det_fail\n"
                                "asic \"B\" tev_oskel 1 0 0 0 0\n"
                                "det_pcicmp 9 ff 2 ff det_fail\n"
                                "det_pcicmp 2 ffff 9401 ffff det_fail\n"
                                "det_pcicmp 8 ffffffff 03000142 03000142 det_pass\n"));
    rig.hw.AccessLog().Enable();
    ASSERT_EQ(rig.Select(1), 1);
    EXPECT_STREQ(e.asicName, "B");
    int dword0 = 0, byte9 = 0, dword8 = 0, word2 = 0;
    for (const SimAccess& a : rig.hw.AccessLog().OfKind(SimAccessKind::ConfigRead)) {
        if (a.offset == 0 && a.width == 4) ++dword0;
        if (a.offset == 9 && a.width == 1) ++byte9;
        if (a.offset == 8 && a.width == 4) ++dword8;
        if (a.offset == 2 && a.width == 2) ++word2;
    }
    EXPECT_EQ(dword0, 1);
    EXPECT_EQ(byte9, 1);
    EXPECT_EQ(dword8, 2);  // the class check and the step
    EXPECT_GE(word2, 2);   // the device ID and the step
}

TEST(Detection, RegisterStepsUseTheByteOfTheRegister) {
    EngineRig rig;
    SimAdapter a = rig.Add(1, "quor");
    SimRegisterFile& regs = a.function->Registers();
    regs.Poke(0x1234, 0x11223344);
    regs.Poke(0x2000, 0xAABBCCDD);
    CFlash& e = rig.Build(Table("asic \"A\" tev_oskel 1 0 0 0 0\n"
                                // byte 1 of 0x1234 is 0x33
                                "det_regcmp 1235 ff 33 33 det_fail\n"
                                "asic \"B\" tev_oskel 1 0 0 0 0\n"
                                "det_regcmp 1236 ff 22 22 det_pass\n"));
    ASSERT_EQ(rig.Select(1), 1);
    EXPECT_STREQ(e.asicName, "B");

    // Unaligned read-modify-write: ((v & (and << 8)) | (or << 8)) ^ (xor << 8).
    CFlash& f = rig.Build(Table("asic \"C\" tev_oskel 1 0 0 0 0\n"
                                "det_regrmw 2001 ff 5 1\n"
                                "det_pcicmp 0 0 0 0 det_pass\n"));
    ASSERT_EQ(rig.Select(1), 1);
    EXPECT_STREQ(f.asicName, "C");
    EXPECT_EQ(regs.Peek(0x2000), ((0xAABBCCDDu & 0xFF00u) | 0x500u) ^ 0x100u);
}

TEST(Detection, SavedRegistersAreWrittenBackAfterTheProgramme) {
    EngineRig rig;
    SimAdapter a = rig.Add(1, "quor");
    SimRegisterFile& regs = a.function->Registers();
    regs.Poke(0x1234, 0x77);
    regs.Poke(0x1238, 0x12345678);
    rig.Build(Table("asic \"A\" tev_oskel 1 0 0 0 0\n"
                    "det_regsave 1234 0 5\n"
                    "det_regsave 1238 ffff0000 1\n"
                    "det_regrmw 1234 0 99 0\n"
                    "det_regrmw 1238 0 0 0\n"
                    "det_regcmp 1234 ff 99 99 det_fail\n"));
    EXPECT_EQ(rig.Select(1), 0);  // no match, saved registers restored anyway
    EXPECT_EQ(regs.Peek(0x1234), 5u);
    EXPECT_EQ(regs.Peek(0x1238), 0x12340001u);
}

TEST(Detection, ConfigReadModifyWriteUsesTheAlignedWidth) {
    EngineRig rig;
    SimAdapter a = rig.Add(1, "quor");
    // Above the capability list: plain writable configuration space.
    a.function->PresetConfig(0xC0, 4, 0x11223344);
    CFlash& e = rig.Build(Table("asic \"A\" tev_oskel 1 0 0 0 0\n"
                                "det_pcirmw c1 0 5a 0\n"
                                "det_pcirmw c6 ff00 1 ff\n"
                                "det_pcicmp c1 ff 5a 5a det_pass\n"));
    rig.hw.AccessLog().Enable();
    ASSERT_EQ(rig.Select(1), 1);
    EXPECT_STREQ(e.asicName, "A");
    EXPECT_EQ(a.function->ConfigValue(0xC0, 4), 0x11225A44u);
    EXPECT_EQ(a.function->ConfigValue(0xC6, 2), 0x00FEu);
    bool byteWrite = false, wordWrite = false;
    for (const SimAccess& w : rig.hw.AccessLog().OfKind(SimAccessKind::ConfigWrite)) {
        byteWrite = byteWrite || (w.offset == 0xC1 && w.width == 1);
        wordWrite = wordWrite || (w.offset == 0xC6 && w.width == 2);
    }
    EXPECT_TRUE(byteWrite);
    EXPECT_TRUE(wordWrite);
}

TEST(Detection, MatchOrdinalsCountAcrossRecords) {
    const std::string table = Table("asic \"First\" tev_oskel 1 0 0 0 0\n"
                                    "det_pcicmp 2 ffff 9400 9400 det_pass\n"
                                    "asic \"Never\" tev_oskel 1 0 0 0 0\n"
                                    "det_pcicmp 2 ffff 1 1 det_pass\n"
                                    "asic \"Second\" kov_gethra 1 0 0 0 0\n"
                                    "det_regcmp 0 0 0 0 det_pass\n");
    for (int index = 0; index < 3; ++index) {
        EngineRig rig;
        rig.Add(1, "quor");
        CFlash& e = rig.Build(table);
        rig.Trace();
        const std::int16_t r = rig.Select(1, index);
        const std::string trace = rig.TraceText();
        if (index == 2) {
            EXPECT_EQ(r, 0);
            EXPECT_TRUE(Contains(trace, "no information found for device ID 9400\n"));
            continue;
        }
        ASSERT_EQ(r, 1);
        EXPECT_STREQ(e.asicName, index == 0 ? "First" : "Second");
        if (index == 1) {
            EXPECT_TRUE(Contains(trace, "  check for First .\n  pcicmp(2 ffff 9400 9400 1) match\n"
                                        "  check for Never ..\n"))
                << trace;
            EXPECT_TRUE(Contains(trace, "  check for Second .\n  pcicmp(0 0 0 0 1) match\n")) << trace;
        }
    }
}

TEST(Detection, CompanionChipSelectsAtItsFirstMatchAndOnlyForIndexZero) {
    const std::string table = Table("asic \"Mib\" tev_mib 1 0 0 0 0\n"
                                    "det_pcicmp 2 ffff 9400 9400 det_pass\n"
                                    "asic \"Other\" tev_oskel 1 0 0 0 0\n"
                                    "det_pcicmp 2 ffff 9400 9400 det_pass\n");
    EngineRig rig;
    rig.Add(1, "quor");
    CFlash& e = rig.Build(table);
    ASSERT_EQ(rig.Select(1, 0), 1);
    EXPECT_STREQ(e.asicName, "Mib");
    // Index 1 would be "Other", but the companion-chip record takes the
    // device at its first match and is then refused.
    rig.Trace();
    EXPECT_EQ(rig.Select(1, 1), 0);
    EXPECT_STREQ(e.asicName, "Mib");
    EXPECT_TRUE(Contains(rig.TraceText(), "no information found for device ID 9400\n"));
    EXPECT_FALSE(Contains(rig.TraceText(), "check for Other"));
}

TEST(Detection, ExcludedFamiliesAreNotTried) {
    const std::string table = Table("asic \"Ddc\" tev_ddc 1 0 0 0 0\n"
                                    "det_pcicmp 2 ffff 9400 9400 det_pass\n"
                                    "asic \"Old\" tev_halm 1 0 0 0 0\n"
                                    "det_pcicmp 2 ffff 9400 9400 det_pass\n");
    EngineRig rig;
    rig.Add(1, "quor");
    CFlash& e = rig.Build(table);
    rig.Trace();
    ASSERT_EQ(rig.Select(1), 1);
    EXPECT_STREQ(e.asicName, "Old");
    EXPECT_FALSE(Contains(rig.TraceText(), "check for Ddc"));

    // "-ddc": the list is emptied.
    e.excludedFamilyCount = 0;
    ASSERT_EQ(rig.Select(1), 1);
    EXPECT_STREQ(e.asicName, "Ddc");

    // "-kelt+": families 0-3 skipped (DDC tried again).
    e.excludedFamilyCount = 4;
    for (std::uint32_t i = 0; i < 4; ++i) e.excludedFamilies[i] = i;
    ASSERT_EQ(rig.Select(1, 1), 0);
    ASSERT_EQ(rig.Select(1, 0), 1);
    EXPECT_STREQ(e.asicName, "Ddc");
}

TEST(Detection, SoftwareI2cSteps) {
    const std::string table = Table("asic \"I2c\" tev_oskel 1 0 0 0 0\n"
                                    "det_si2ccfg 10 1 14 2 18 3 1c 4\n"
                                    "det_si2cw2cmp a0 7 ff 0 ff det_pass\n"
                                    "det_pcicmp 2 ffff 9400 9400 det_pass\n");
    EngineRig rig;
    rig.Add(1, "quor");
    CFlash& e = rig.Build(table);
    // The bus answers nothing, so the compare is passed over.
    ASSERT_EQ(rig.Select(1), 1);
    CGenI2C* i2c = SharedProtocols().genI2c;
    EXPECT_EQ(i2c->sclOut.reg, 0x10u);
    EXPECT_EQ(i2c->sdaIn.bit, 4u);
    EXPECT_EQ(i2c->delay, 500u);
    EXPECT_EQ(i2c->readPage, 256u);
    EXPECT_EQ(i2c->readHeaderLength, 2u);
    EXPECT_EQ(i2c->readHeader[0], 0xA0);
    EXPECT_EQ(i2c->readHeader[1], 0x07);

    // "-sst": a failed read selects the device outright, once.
    e.forceSelectOnI2cFail = 1;
    rig.Trace();
    ASSERT_EQ(rig.Select(1), 1);
    EXPECT_EQ(e.forceSelectOnI2cFail, 0);
    EXPECT_TRUE(Contains(rig.TraceText(), "  check for I2c ..\n")) << rig.TraceText();

    // "-si2c" off: the I2C steps stop the programme.
    e.softI2cDetect = 0;
    EXPECT_EQ(rig.Select(1), 0);
}

TEST(Detection, InitListFollowsTheLastRecordOfItsGroup) {
    const std::string table = Table("asic \"A\" tev_oskel 1 0 0 0 0\n"
                                    "det_pcicmp 2 ffff 9400 9400 det_pass\n"
                                    "asic \"B\" tev_oskel 1 0 0 0 0\n"
                                    "det_pcicmp 2 ffff 1 1 det_pass\n"
                                    "cinit 100 ffffffff 1 ffffffff 0\n"
                                    "pinit 104 0 2 0 2\n"
                                    "sinit 108 0 3 0 3\n"
                                    "wrena 10c 0 4\n"
                                    "wrdis 10c 0 0\n"
                                    "cinit 110 0 5 0 0\n"
                                    "asic \"C\" tev_oskel 1 0 0 0 0\n"
                                    "cinit 200 0 0 0 0\n");
    EngineRig rig;
    rig.Add(1, "quor");
    CFlash& e = rig.Build(table);
    rig.Trace();
    ASSERT_EQ(rig.Select(1), 1);
    EXPECT_EQ(e.cinit.count, 2u);
    EXPECT_EQ(e.cinit.entries[1].reg, 0x110u);
    EXPECT_EQ(e.pinit.count, 1u);
    EXPECT_EQ(e.sinit.count, 1u);
    EXPECT_EQ(e.wrena.count, 1u);
    EXPECT_EQ(e.wrdis.count, 1u);
    EXPECT_TRUE(Contains(rig.TraceText(), "  init table: 00000007 00000100 FFFFFFFF 00000001 FFFFFFFF\n"));
}

TEST(Detection, InitTraceStopsAtTheEndOfTheTable) {
    EngineRig rig;
    rig.Add(1, "quor");
    rig.Build(Table("asic \"A\" tev_oskel 1 0 0 0 0\n"
                    "det_pcicmp 2 ffff 9400 9400 det_pass\n"));
    rig.Trace();
    ASSERT_EQ(rig.Select(1), 1);
    EXPECT_TRUE(Contains(rig.TraceText(), "  init table: 00000000\n")) << rig.TraceText();
}

TEST(Detection, InitListsHoldThirtyTwoEntries) {
    std::string asic = "asic \"A\" tev_oskel 1 0 0 0 0\ndet_pcicmp 2 ffff 9400 9400 det_pass\n";
    for (int i = 0; i < 40; ++i) asic += "cinit " + std::to_string(100 + i * 4) + " 0 1 0 0\n";
    EngineRig rig;
    rig.Add(1, "quor");
    CFlash& e = rig.Build(Table(asic));
    ASSERT_EQ(rig.Select(1), 1);
    EXPECT_EQ(e.cinit.count, 32u);
}

TEST(Detection, PreserveTableTakesThirtyTwoBytes) {
    std::string t = "preserve_table 3\n";
    for (int i = 0; i < 40; ++i) t += "preserve_byte " + std::to_string(i) + " 1ff\n";
    t += "asic \"A\" tev_oskel 1 0 0 0 3\ndet_pcicmp 2 ffff 9400 9400 det_pass\n";
    EngineRig rig;
    rig.Add(1, "quor");
    CFlash& e = rig.Build(Table(t));
    rig.Trace();
    ASSERT_EQ(rig.Select(1), 1);
    EXPECT_EQ(e.preserveCount, 32u);
    EXPECT_EQ(e.preserveOffsets[31], 0x31u);
    EXPECT_EQ(e.preserveMasks[31], 0xFF);
    const std::string trace = rig.TraceText();
    EXPECT_TRUE(Contains(trace, "  search for preserve table(3)\n    found preserve table(3)\n      byte 0, FF\n"));
}

TEST(Detection, MissingTablesUnmapTheDeviceAndRestoreItsConfiguration) {
    for (const char* asic : {"asic \"A\" tev_oskel 2 0 0 0 0\ndet_pcicmp 2 ffff 9400 9400 det_pass\n",
                             "asic \"A\" tev_oskel 1 0 0 0 7\ndet_pcicmp 2 ffff 9400 9400 det_pass\n"}) {
        EngineRig rig;
        SimAdapterOptions o;
        o.romOverFrameBuffer = true;
        SimAdapter a = rig.Add(1, "quor", o);
        const auto before = a.function->ConfigSnapshot();
        CFlash& e = rig.Build(Table(asic));
        rig.Trace();
        EXPECT_EQ(rig.Select(1), 0);
        EXPECT_EQ(e.deviceSelected, 0);
        EXPECT_EQ(e.errorCode, 1);
        EXPECT_EQ(e.successFlag, 0);
        EXPECT_TRUE(a.function->ConfigSnapshot() == before);
        EXPECT_EQ(e.IsRomMapped(), 0);
        EXPECT_TRUE(Contains(rig.TraceText(), "    found type table(1)\n")) << rig.TraceText();
    }
}

TEST(Detection, EmptyTableSelectsNothing) {
    EngineRig rig;
    rig.Add(1, "quor");
    CFlash& e = rig.Build("\n");
    EXPECT_EQ(e.customTableFlag, 1);
    EXPECT_EQ(rig.Select(1), 0);
}

}  // namespace
