// The engine object: shared protocol objects and their lifetime, the SPI
// engine choice, and the ROM operations on ROMs the engine reads itself
// through the aperture, with their range rules and error codes.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "EngineRig.h"
#include "engine/BuiltinTypeTable.h"
#include "engine/CFlash.h"
#include "engine/SharedProtocolObjects.h"
#include "protocols/CGenSPI.h"
#include "protocols/CMibI2C.h"
#include "protocols/CParallel.h"
#include "protocols/CSiI1930.h"
#include "protocols/CQuorSPI.h"
#include "protocols/PomvekSPI.h"
#include "protocols/SecureSPI.h"
#include "protocols/TarselSPI.h"
#include "sim/SimSpiBoard.h"

using namespace enginetest;

namespace {

// A legacy BIOS image of `blocks` 512-byte blocks whose byte sum is 0.
std::vector<std::uint8_t> BiosImage(std::uint8_t blocks, std::size_t romSize) {
    std::vector<std::uint8_t> rom(romSize, 0xFF);
    const std::size_t size = std::size_t(blocks) * 512;
    for (std::size_t i = 0; i < size; ++i) rom[i] = std::uint8_t(i * 7 + 3);
    rom[0] = 0x55;
    rom[1] = 0xAA;
    rom[2] = blocks;
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < size; ++i) sum += rom[i];
    rom[size - 1] = std::uint8_t(0x100 - (sum & 0xFF));
    return rom;
}

std::uint32_t Sum(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t to) {
    return std::accumulate(bytes.begin() + std::ptrdiff_t(from), bytes.begin() + std::ptrdiff_t(to), 0u);
}

// One text-table type on a simulated board whose ROM the engine reads
// through the aperture.
std::string TypeTable(const char* typeKeyword, const char* name = "Board ROM", const char* size = "20000") {
    return std::string("type_table 1\n") + "type_table_entry 0 0 \"" + name + "\" " + typeKeyword + " " + size +
           " 1 1\n"
           "asic \"Chip\" tev_oskel 1 0 0 0 0\n"
           "det_pcicmp 2 ffff 9400 9400 det_pass\n";
}

const std::string kSoftSpiTable =
    "swspi_table 1\nswspi_reg 1000 1000 1000 1004\nswspi_bit 0 0 1 0 2 0 3 0\n"
    "type_table 1\ntype_table_entry2 0 0 \"Soft\" type_swspi 20000 1 1 1\n"
    "asic \"Chip\" tev_oskel 1 0 0 0 0\ndet_pcicmp 2 ffff 9400 9400 det_pass\n";

struct RomRig : EngineRig {
    std::vector<std::uint8_t> rom;
    SimAdapter adapter;

    explicit RomRig(const std::string& table, bool romBar = true) {
        rom = BiosImage(0x40, 0x20000);
        SimAdapterOptions o;
        o.romContent = rom;
        o.noRomBar = !romBar;
        adapter = Add(1, "quor", o);
        Build(table);
        EXPECT_EQ(Select(1), 1);
        EXPECT_EQ(engine->OpenAccess(), 1);
    }
};

// ------------------------------------------------------------ lifetime

TEST(SharedObjects, CreatedOnceAndHandedToTheSurvivor) {
    EXPECT_EQ(SharedProtocols().useCount, 0u);
    SimHardware hw;
    ScopedHardware use(hw);
    SimAdapterOptions o;
    o.romContent = BiosImage(0x10, 0x20000);
    AddSimAdapter(hw, Slot(1), "quor", o);
    AddSimAdapter(hw, Slot(2), "quor", o);

    FILE* text = std::tmpfile();
    const std::string table = TypeTable("type_noflash");
    std::fputs(table.c_str(), text);
    std::rewind(text);
    CFlash* first = CreateFlash(text, 0);
    std::fclose(text);
    ASSERT_NE(first, nullptr);
    SharedProtocolObjects& s = SharedProtocols();
    EXPECT_EQ(s.useCount, 1u);
    CGenSPI* soft = s.genSpi;
    ASSERT_NE(soft, nullptr);
    EXPECT_EQ(soft->flash, first);
    for (PomvekSPI* p : s.pomvekSpi) ASSERT_NE(p, nullptr);

    text = std::tmpfile();
    std::fputs(table.c_str(), text);
    std::rewind(text);
    CFlash* second = CreateFlash(text, 0);
    std::fclose(text);
    EXPECT_EQ(s.useCount, 2u);
    EXPECT_EQ(s.genSpi, soft);  // no second set

    // Both select their boards; the objects act for whoever used them last.
    ASSERT_EQ(second->SelectDevice(0, 2, 0, 0), 1);
    ASSERT_EQ(first->SelectDevice(0, 1, 0, 0), 1);
    EXPECT_EQ(s.tarselSpi->flash, first);
    ASSERT_EQ(first->OpenAccess(), 1);
    ASSERT_EQ(second->OpenAccess(), 1);
    EXPECT_EQ(s.quorSpi->flash, second);
    ASSERT_EQ(first->OpenAccess(), 1);
    EXPECT_EQ(s.mibI2c->flash, first);

    delete first;
    EXPECT_EQ(s.useCount, 1u);
    EXPECT_EQ(s.genSpi, soft);
    EXPECT_EQ(s.genSpi->flash, second);
    EXPECT_EQ(s.parallel->flash, second);
    EXPECT_EQ(s.sii1930->flash, second);
    for (PomvekSPI* p : s.pomvekSpi) EXPECT_EQ(p->flash, second);

    // The survivor still reads its ROM.
    const std::vector<std::uint8_t> expected = BiosImage(0x10, 0x20000);
    EXPECT_EQ(second->Checksum(0, 0, nullptr), Sum(expected, 0, expected.size()));
    EXPECT_EQ(second->BIOSCheck(0, 0x20000, nullptr), 1);
    EXPECT_EQ(second->Compare(0, 16, expected.data()), 16u);

    delete second;
    EXPECT_EQ(s.useCount, 0u);
    EXPECT_EQ(s.genSpi, nullptr);
    EXPECT_EQ(s.pomvekSpi[6], nullptr);
    EXPECT_EQ(s.parallel, nullptr);
}

// Two engines on boards driven by the same shared SPI object: the part one
// engine identified is never used for the other's board, nor after the
// engine that owns the part list is gone.
TEST(SharedObjects, PartsStayWithTheEngineThatFoundThem) {
    SimHardware hw;
    ScopedHardware use(hw);
    SimSpiBoard known = AddSpiBoard(hw, Slot(1), SimSpiBoardKind::Wenmar);
    SimSpiBoard unknown = AddSpiBoard(hw, Slot(2), SimSpiBoardKind::Wenmar);
    unknown.flash->FailUnknownId(true);
    std::unique_ptr<CFlash> survivor(CreateFlash(nullptr, 0));
    CFlash* finder = CreateFlash(nullptr, 0);
    survivor->noAperture = 1;
    finder->noAperture = 1;
    ASSERT_EQ(survivor->SelectDevice(0, 2, 0, 0), 1);
    ASSERT_EQ(survivor->OpenAccess(), 1);
    ASSERT_EQ(survivor->currentPart, nullptr);
    ASSERT_EQ(finder->SelectDevice(0, 1, 0, 0), 1);
    ASSERT_EQ(finder->OpenAccess(), 1);
    ASSERT_NE(finder->currentPart, nullptr);
    ASSERT_EQ(survivor->GetSpiEngine(), finder->GetSpiEngine());

    std::uint8_t buffer[16];
    EXPECT_EQ(survivor->Read(0, sizeof buffer, buffer), 0u);
    EXPECT_EQ(survivor->Checksum(0, 0x100, nullptr), 0u);
    delete finder;
    EXPECT_EQ(SharedProtocols().tarselSpi->part, nullptr);
    EXPECT_EQ(survivor->Read(0, sizeof buffer, buffer), 0u);
    EXPECT_EQ(survivor->Checksum(0, 0x100, nullptr), 0u);
    EXPECT_EQ(unknown.flash->Count(0x03), 0u) << "read with another engine's part";
}

TEST(SharedObjects, ConstructionParsesOrFallsBack) {
    EngineRig rig;
    CFlash& builtin = rig.Build();
    EXPECT_EQ(builtin.customTableFlag, 0);
    EXPECT_EQ(builtin.spiPartList.count, 53u);
    EXPECT_EQ(builtin.flashType, TYPE_UNKNOWN);
    EXPECT_STREQ(builtin.flashTypeName, "unknown");
    EXPECT_EQ(builtin.deviceId, 0);
    EXPECT_EQ(builtin.asicFamily, 0u);
    EXPECT_EQ(builtin.romSize, 0u);
    EXPECT_EQ(builtin.delayMs, 1u);
    EXPECT_EQ(builtin.retry, 1u);
    EXPECT_EQ(builtin.errorCode, 0);
    EXPECT_EQ(builtin.maxSegmentToScan, 1);
    EXPECT_EQ(builtin.excludedFamilyCount, 1u);
    EXPECT_EQ(builtin.excludedFamilies[0], std::uint32_t(TEV_DDC));
    ASSERT_NE(builtin.romImage, nullptr);

    // A text table with a fault: the built-in table and its parts stay.
    CFlash& faulty = rig.Build("type_table 1\nno_such_keyword 1\n");
    EXPECT_EQ(faulty.customTableFlag, 0);
    EXPECT_EQ(faulty.errorCode, 1);
    EXPECT_EQ(faulty.spiPartList.count, 53u);
    EXPECT_EQ(faulty.Table(), BuiltinTypeTable());
}

// ------------------------------------------------------------ engine choice

struct EngineChoice {
    const char* model;
    int device;
    bool probeWritable;
    int expected;  // -1 CQuorSPI, -2 TarselSPI, 0-6 PomvekSPI object
};

std::string ChoiceName(const EngineChoice& c) { return c.model + std::string(c.probeWritable ? "" : "_probe_fixed"); }
void PrintTo(const EngineChoice& c, std::ostream* out) { *out << ChoiceName(c); }

class EngineChoiceTest : public testing::TestWithParam<EngineChoice> {};

TEST_P(EngineChoiceTest, FamilyPicksTheEngine) {
    const EngineChoice& c = GetParam();
    EngineRig rig;
    SimAdapterOptions o;
    o.device = c.device;
    o.probeRegisterWritable = c.probeWritable;
    rig.Add(1, c.model, o);
    CFlash& e = rig.Build();
    ASSERT_EQ(rig.Select(1), 1);
    rig.hw.AccessLog().Enable();
    CGenSPI* engine = e.GetSpiEngine();
    SharedProtocolObjects& s = SharedProtocols();
    if (c.expected == -1) EXPECT_EQ(engine, s.quorSpi);
    else if (c.expected == -2) EXPECT_EQ(engine, s.tarselSpi);
    else EXPECT_EQ(engine, s.pomvekSpi[c.expected]);
    EXPECT_NE(engine, s.secureSpi);
    const bool probed = rig.hw.AccessLog().Count(SimAccessKind::RegisterWrite, 0x5A0B8) == 1;
    EXPECT_EQ(probed, e.asicFamily == KOV_GETHRA);
}

INSTANTIATE_TEST_SUITE_P(Families, EngineChoiceTest,
                         testing::Values(EngineChoice{"quor", -1, true, -1}, EngineChoice{"nivarch", -1, true, -1},
                                         EngineChoice{"ombrel", -1, true, -2}, EngineChoice{"ulvane", -1, true, -2},
                                         EngineChoice{"wenmar", -1, true, -2}, EngineChoice{"sardon", -1, true, -2},
                                         EngineChoice{"syrell", -1, true, -2}, EngineChoice{"gethra", -1, true, 0},
                                         EngineChoice{"gethra", -1, false, 1}, EngineChoice{"hobran", -1, true, 1},
                                         EngineChoice{"ivrel", -1, true, 2}, EngineChoice{"cressa", -1, true, 3},
                                         EngineChoice{"dorvel", -1, true, 4}, EngineChoice{"elmask", -1, true, 5},
                                         EngineChoice{"fyrand", -1, true, 6}),
                         [](const testing::TestParamInfo<EngineChoice>& info) { return ChoiceName(info.param); });

TEST(EngineChoice, TypeAndUnreachableFamilies) {
    EngineRig rig;
    CFlash& e = rig.Build();
    SharedProtocolObjects& s = SharedProtocols();
    e.flashType = TYPE_QUORSPI;
    for (std::uint32_t family : {0u, 5u, 9u, 12u, 15u}) {
        e.asicFamily = family;
        EXPECT_EQ(e.GetSpiEngine(), s.quorSpi) << family;
    }
    e.asicFamily = KOV_GAVREL_WENMAR;
    EXPECT_EQ(e.GetSpiEngine(), s.tarselSpi);
    e.flashType = TYPE_SWSPI;
    EXPECT_EQ(e.GetSpiEngine(), s.genSpi);
    // Nothing mapped: the register test fails, the family-22 object.
    e.flashType = TYPE_POMVEKSPI;
    e.asicFamily = KOV_GETHRA;
    EXPECT_EQ(e.GetSpiEngine(), s.pomvekSpi[1]);
    EXPECT_EQ(e.SupportsTarget(), s.pomvekSpi[1]->SupportsTarget(&e));
}

// ------------------------------------------------------------ size, check, checksum

TEST(RomOperations, BiosSizeFromBufferAndAperture) {
    RomRig rig(TypeTable("type_noflash"));
    CFlash& e = *rig.engine;
    const std::uint8_t image[] = {0x55, 0xAA, 0x40};
    const std::uint8_t none[] = {0x55, 0xAA, 0x00};
    const std::uint8_t swapped[] = {0xAA, 0x55, 0x40};
    rig.Trace();
    EXPECT_EQ(e.BIOSSize(0, image), 0x8000u);
    EXPECT_EQ(e.successFlag, 1);
    EXPECT_EQ(e.BIOSSize(0, none), 0u);
    EXPECT_EQ(e.BIOSSize(0, swapped), 0u);
    EXPECT_EQ(e.BIOSSize(0, nullptr), 0x8000u);
    EXPECT_EQ(e.BIOSSize(0x1FFFE, nullptr), 0u);  // three bytes do not fit
    EXPECT_EQ(e.successFlag, 0);
    EXPECT_EQ(e.BIOSSize(0x1FFFD, nullptr), 0u);
    EXPECT_EQ(e.successFlag, 1);
    EXPECT_TRUE(Contains(rig.TraceText(), "CFlash::BIOSSize() begins\nCFlash::BiosSize() ends\n"));
}

TEST(RomOperations, CompanionChipBiosSize) {
    EngineRig rig;
    rig.Add(1, "pardel");
    CFlash& e = rig.Build();
    ASSERT_EQ(rig.Select(1), 1);
    ASSERT_EQ(e.OpenAccess(), 1);
    EXPECT_EQ(e.flashType, TYPE_MIBI2C);
    EXPECT_EQ(e.romSize, 0x80u);
    const std::uint8_t eeprom[] = {0xAA, 0x55, 0x01};
    const std::uint8_t legacy[] = {0x55, 0xAA, 0x01};
    EXPECT_EQ(e.BIOSSize(0, eeprom), 0x80u);
    EXPECT_EQ(e.BIOSSize(0, legacy), 0u);
    // No buffer: nothing to look into, and no crash.
    EXPECT_EQ(e.BIOSSize(0, nullptr), 0u);
    EXPECT_EQ(e.BIOSCheck(0, 0x80, nullptr), 0);
    // The EEPROM cannot be erased by the engine.
    rig.Trace();
    EXPECT_EQ(e.BulkErase(), 0u);
    EXPECT_EQ(e.errorCode, FLASH_NOT_SUPPORTED);
    EXPECT_TRUE(Contains(rig.TraceText(), "cannot erase\n"));
    // Nothing erased is never a success, not even against a ROM size of 0.
    e.romSize = 0;
    EXPECT_EQ(e.BulkErase(), 0u);
    EXPECT_EQ(e.successFlag, 0);
}

TEST(RomOperations, BiosCheck) {
    RomRig rig(TypeTable("type_noflash"));
    CFlash& e = *rig.engine;
    rig.Trace();
    EXPECT_EQ(e.BIOSCheck(0, 0x20000, rig.rom.data()), 1);
    EXPECT_EQ(e.BIOSCheck(0, 0x7FFF, rig.rom.data()), 0);  // shorter than the image
    EXPECT_EQ(e.BIOSCheck(0, 0x20000, nullptr), 1);
    EXPECT_EQ(e.BIOSCheck(0, 0, nullptr), 0);
    EXPECT_EQ(e.BIOSCheck(0, 0x20001, nullptr), 0);  // past the ROM
    EXPECT_TRUE(Contains(rig.TraceText(), "CFlash::BIOSCheck() begins\nCFlash::BIOSSize() begins\n"
                                          "CFlash::BiosSize() ends\nCFlash::BIOSCheck() ends\n"));
    std::vector<std::uint8_t> bad = rig.rom;
    bad[0x100] ^= 1;
    EXPECT_EQ(e.BIOSCheck(0, 0x20000, bad.data()), 0);
    EXPECT_EQ(e.successFlag, 0);
}

TEST(RomOperations, ChecksumConventions) {
    RomRig rig(TypeTable("type_noflash"));
    CFlash& e = *rig.engine;
    const auto& rom = rig.rom;
    EXPECT_EQ(e.Checksum(0, 0, nullptr), Sum(rom, 0, 0x20000));
    EXPECT_EQ(e.Checksum(0x100, 0, nullptr), Sum(rom, 0x100, 0x20000));  // rest of the ROM
    EXPECT_EQ(e.Checksum(0x100, 0x20, nullptr), Sum(rom, 0x100, 0x120));
    EXPECT_EQ(e.Checksum(0x1FFF0, 0x20, nullptr), 0u);
    EXPECT_EQ(e.successFlag, 0);
    EXPECT_EQ(e.Checksum(0xFFFFFFF0, 0x20, nullptr), 0u);  // no wrap-around
    EXPECT_EQ(e.Checksum(0x10, 0x30, rom.data()), Sum(rom, 0x10, 0x40));
    EXPECT_EQ(e.successFlag, 1);
}

TEST(RomOperations, BufferChecksumLeavesOutTheRetainWindow) {
    EngineRig rig;
    CFlash& e = rig.Build();
    std::vector<std::uint8_t> buffer(0x20000, 1);
    EXPECT_EQ(e.ChecksumBuffer(buffer.data(), 0x20000), 0x20000u - 0x100u);
    EXPECT_EQ(e.ChecksumBuffer(buffer.data(), 0x1FF00), 0x1FF00u);
    EXPECT_EQ(e.ChecksumBuffer(buffer.data(), 0), 0u);
    // Relative to the start handed in, so Checksum with an offset shifts it.
    std::vector<std::uint8_t> longer(0x20100, 1);
    EXPECT_EQ(e.Checksum(0x100, 0x20000, longer.data()), 0x20000u - 0x100u);
    e.retainStart = 0x10;
    e.retainEnd = 0x1F;
    EXPECT_EQ(e.ChecksumBuffer(buffer.data(), 0x40), 0x30u);
}

TEST(RomOperations, Compare) {
    RomRig rig(TypeTable("type_noflash"));
    CFlash& e = *rig.engine;
    std::memcpy(e.romImage, rig.rom.data(), rig.rom.size());
    e.romImage[0x100] ^= 0xFF;
    EXPECT_EQ(e.Compare(0, 0, nullptr), 0x100u);
    EXPECT_EQ(e.successFlag, 0);
    EXPECT_EQ(e.Compare(0x101, 0, nullptr), 0x20000u - 0x101u);
    EXPECT_EQ(e.successFlag, 1);
    EXPECT_EQ(e.Compare(0x1FFFF, 2, nullptr), 0u);  // past the ROM
    // A caller buffer is indexed by ROM position too.
    std::vector<std::uint8_t> copy = rig.rom;
    EXPECT_EQ(e.Compare(0x40, 0x80, copy.data()), 0x80u);
    copy[0x50] ^= 1;
    EXPECT_EQ(e.Compare(0x40, 0x80, copy.data()), 0x10u);
}

TEST(RomOperations, WholeRomConventionsStayInsideTheEngineBuffer) {
    RomRig rig(TypeTable("type_noflash"));
    CFlash& e = *rig.engine;
    // A 4 MiB part: "no buffer, length 0" is capped at the 1 MiB buffer.
    e.romSize = 0x400000;
    EXPECT_EQ(e.Read(0x100000, 0x10, nullptr), 0u);
    EXPECT_EQ(e.Compare(0, 0, nullptr) <= kRomBufferSize, true);
    EXPECT_EQ(e.Compare(0x200000, 0, nullptr), 0u);
}

// ------------------------------------------------------------ erase, write, read

struct Unsupported {
    const char* type;
    const char* writeLine;   // trace line of Write
    bool eraseRefused;       // BulkErase logs "cannot erase"
};

void PrintTo(const Unsupported& c, std::ostream* out) { *out << c.type; }

class UnsupportedTypeTest : public testing::TestWithParam<Unsupported> {};

TEST_P(UnsupportedTypeTest, RefusedWithCodeFourteen) {
    const Unsupported& c = GetParam();
    RomRig rig(TypeTable(c.type));
    CFlash& e = *rig.engine;
    std::vector<std::uint8_t> data(0x100, 0);
    rig.Trace();
    EXPECT_EQ(e.Write(0, 0x100, data.data()), 0u);
    EXPECT_EQ(e.errorCode, FLASH_NOT_SUPPORTED);
    EXPECT_EQ(e.successFlag, 0);
    std::string t = rig.TraceText();
    EXPECT_TRUE(Contains(t, "CFlash::Write(0,100,")) << t;
    EXPECT_TRUE(Contains(t, c.writeLine)) << t;
    EXPECT_TRUE(Contains(t, "  0/100 bytes written\n  retried = 0\nCFlash::Write() ends\n")) << t;

    rig.Trace();
    EXPECT_EQ(e.BulkErase(), 0u);
    t = rig.TraceText();
    if (c.eraseRefused) {
        EXPECT_EQ(e.errorCode, FLASH_NOT_SUPPORTED);
        EXPECT_TRUE(Contains(t, "cannot erase\n"));
    }
    EXPECT_TRUE(Contains(t, "CFlash::BulkErase() begins\n  rom_size      = 00020000\n  sec_size      = "));
    EXPECT_TRUE(Contains(t, "  delay_ms      = 1\n  retry         = 1\n  type_detected = 1\n"));
    EXPECT_TRUE(Contains(t, "  0/20000 bytes erased\n  retried = 0\nCFlash::BulkErase() ends\n")) << t;
}

INSTANTIATE_TEST_SUITE_P(Types, UnsupportedTypeTest,
                         testing::Values(Unsupported{"type_norom", "board configured to no rom\n", true},
                                         Unsupported{"type_noflash", "board configured to no flash\n", true},
                                         Unsupported{"type_not_support", "no support for this flash type\n", true},
                                         Unsupported{"type_vosk_issi", "not implemented\n", true}),
                         [](const testing::TestParamInfo<Unsupported>& info) { return std::string(info.param.type); });

TEST(RomOperations, WriteRangeErrors) {
    RomRig rig(TypeTable("type_parallel"));
    CFlash& e = *rig.engine;
    std::vector<std::uint8_t> data(0x20000, 0);
    rig.Trace();
    EXPECT_EQ(e.Write(0x10000, 0x20000, data.data()), 0u);
    EXPECT_EQ(e.errorCode, FLASH_NOT_COMPLETED);
    EXPECT_TRUE(Contains(rig.TraceText(), "  cfg_type = 3\ndata size > rom size\n")) << rig.TraceText();
    rig.Trace();
    EXPECT_EQ(e.Write(0xFFFFFFF0, 0x20, data.data()), 0u);
    EXPECT_TRUE(Contains(rig.TraceText(), "data size > rom size\n"));
    rig.Trace();
    EXPECT_EQ(e.Write(0x100, 0, data.data()), 0u);
    EXPECT_EQ(e.errorCode, FLASH_NOT_COMPLETED);
    EXPECT_TRUE(Contains(rig.TraceText(), "size = 0\n"));
    // Parallel identification keeps the larger size: the entry's.
    EXPECT_EQ(e.romSize, 0x20000u);
    EXPECT_EQ(e.parallelMethod, 2u);
}

TEST(RomOperations, ReadWithoutReaderReadsNothing) {
    // Types without a read path fail the read: the caller's bytes are no
    // ROM content, whatever the aperture holds.
    for (const char* type : {"type_norom", "type_noflash", "type_not_support", "type_vosk_issi"}) {
        RomRig rig(TypeTable(type));
        CFlash& e = *rig.engine;
        std::vector<std::uint8_t> buffer(0x40, 0x12);
        EXPECT_EQ(e.Read(0, 0x40, buffer.data()), 0u) << type;
        EXPECT_EQ(e.errorCode, FLASH_NOT_SUPPORTED) << type;
        EXPECT_EQ(e.successFlag, 0) << type;
    }
    RomRig rig(TypeTable("type_norom"));
    CFlash& e = *rig.engine;
    EXPECT_EQ(e.ReadStatus(), 0xFFFFFFFFu);
    EXPECT_EQ(e.WriteStatus(0), 0u);
}

TEST(RomOperations, NoApertureGivesSeventeen) {
    RomRig rig(TypeTable("type_norom"), false);
    CFlash& e = *rig.engine;
    std::uint8_t buffer[8];
    rig.Trace();
    EXPECT_EQ(e.Read(0, sizeof buffer, buffer), 0u);
    EXPECT_EQ(e.errorCode, FLASH_NO_APERTURE);
    EXPECT_TRUE(Contains(rig.TraceText(), "rom pointer not allocated\n"));
    EXPECT_EQ(e.ReadStatus(), 0xFFFFFFFFu);
    EXPECT_EQ(e.errorCode, FLASH_NO_APERTURE);
    EXPECT_EQ(e.WriteStatus(0x80), 0u);
    EXPECT_EQ(e.errorCode, FLASH_NO_APERTURE);
}

TEST(RomOperations, SpiWithoutAPartFails) {
    RomRig rig(kSoftSpiTable, false);
    CFlash& e = *rig.engine;
    ASSERT_EQ(e.flashType, TYPE_SWSPI);
    ASSERT_EQ(e.currentPart, nullptr);
    std::vector<std::uint8_t> data(0x100, 0);
    // No aperture is needed by the SPI types.
    EXPECT_EQ(e.ReadStatus(), 0xFFFFFFFFu);
    EXPECT_EQ(e.errorCode, 0);
    EXPECT_EQ(e.WriteStatus(0), 0u);
    EXPECT_EQ(e.Write(0, 0x100, data.data()), 0u);
    EXPECT_EQ(e.successFlag, 0);
    EXPECT_EQ(e.BulkErase(), 0u);
    EXPECT_EQ(e.successFlag, 0);
    EXPECT_EQ(e.Checksum(0, 0, nullptr), 0u);  // length 0 on SPI: 0
    EXPECT_EQ(e.BIOSSize(0, nullptr), 0u);
}

TEST(RomOperations, SiI1930Dispatch) {
    const std::string table =
        "i2c_table 2\ni2c_info 1 100 1 100 100\n"
        "type_table 1\ntype_table_entry2 0 0 \"SiI 1930\" type_sii1930 4000 1 1 2\n"
        "asic \"Chip\" tev_oskel 1 0 0 0 0\ndet_pcicmp 2 ffff 9400 9400 det_pass\n";
    RomRig rig(table);
    CFlash& e = *rig.engine;
    ASSERT_EQ(e.flashType, TYPE_SII1930);
    EXPECT_EQ(e.IsSiI1930ChecksumReady(), 0);
    std::uint8_t buffer[16];
    EXPECT_EQ(e.Read(0, sizeof buffer, buffer), 0u);  // the device cannot be read back
    EXPECT_EQ(e.Compare(0, sizeof buffer, buffer), 0u);
    EXPECT_EQ(e.Checksum(0, 0x4001, nullptr), 0u);  // past the ROM
    e.siiResetPin = 3;
    e.ReadSiI1930Version();
    EXPECT_EQ(SharedProtocols().sii1930->resetPin, 3);
    EXPECT_EQ(SharedProtocols().sii1930->identifyOnly, 0);
}

}  // namespace
