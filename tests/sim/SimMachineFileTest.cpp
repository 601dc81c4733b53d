// The machine-file format, its error messages, write-back of ROM files and
// the built-in demo machine.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "sim/SimMachineFile.h"
#include "support/TestSupport.h"

namespace {

std::uint32_t Cfg(SimHardware& hw, const SimPciAddress& a, std::uint32_t off, int len = 4) {
    std::uint32_t v = 0;
    hw.ConfigRead(a.seg, a.bus, a.dev, a.fn, off, len, &v);
    return v;
}

TEST(SimMachineFile, GoodFile) {
    vmtest::TempDir dir;
    vmtest::WriteBytes(dir.File("legacy.bin"), {0x55, 0xAA, 0x10});
    std::vector<std::uint8_t> b1(64 << 10, 0xFF);
    b1[0] = 0x55;
    b1[1] = 0xAA;
    vmtest::WriteBytes(dir.File("b1.rom"), b1);
    vmtest::WriteFile(dir.File("m.txt"),
                      "# two boards\n"
                      "function 0001:01:00.0 vendor=0x1002 device=0x67DF   # trailing comment\n"
                      "  revision 0xC7\n"
                      "  class 0x030000\n"
                      "  subsystem 0x1043 0x0522\n"
                      "  command 0x0006\n"
                      "  bar 0 mem64 size=256M base=0xC0000000 prefetch\n"
                      "  bar 2 mem32 size=256K base=0xFE800000\n"
                      "  bar 4 io size=256 base=0xE000\n"
                      "  rombar size=128K base=0\n"
                      "  cap 0x01\n"
                      "  cap 0x10 at=0x58\n"
                      "  cap-loop\n"
                      "  config 0x50=0xDEADBEEF\n"
                      "  config 0x44=0x1234 width=2\n"
                      "  config-mask 0x50=0 width=1\n"
                      "  reg 0x8B0=0x11 0x1C0=7\n"
                      "  rom file=b1.rom size=64K\n"
                      "\n"
                      "function 02:00.1 vendor=0x1002 device=0x4D52\n"
                      "  rombar unimplemented\n"
                      "  rom size=8K writable\n"
                      "listing 0000:00:00.0 . ..\n"
                      "listing noColon\n"
                      "legacy file=legacy.bin\n"
                      "mapfail 0xFEA00000 0xFEA3FFFF\n"
                      "iopl fail\n");
    std::string error;
    auto hw = LoadSimMachine(dir.File("m.txt"), &error);
    ASSERT_TRUE(hw) << error;
    SimPciAddress a{1, 1, 0, 0};
    ASSERT_EQ(hw->Functions().size(), 2u);
    EXPECT_EQ(Cfg(*hw, a, 0), 0x67DF1002u);
    EXPECT_EQ(Cfg(*hw, a, 8), 0x030000C7u);
    EXPECT_EQ(Cfg(*hw, a, 0x2C), 0x05221043u);
    EXPECT_EQ(Cfg(*hw, a, 4, 2), 0x0006u);
    EXPECT_EQ(Cfg(*hw, a, 0x10), 0xC000000Cu);
    EXPECT_EQ(Cfg(*hw, a, 0x18), 0xFE800000u);
    EXPECT_EQ(Cfg(*hw, a, 0x20), 0xE001u);
    EXPECT_EQ(Cfg(*hw, a, 0x34, 1), 0x40u);
    EXPECT_EQ(Cfg(*hw, a, 0x41, 1), 0x58u);
    EXPECT_EQ(Cfg(*hw, a, 0x59, 1), 0x40u);  // looped
    EXPECT_EQ(Cfg(*hw, a, 0x50), 0xDEADBEEFu);
    EXPECT_EQ(Cfg(*hw, a, 0x44, 2), 0x1234u);
    std::uint32_t ones = 0xFFFFFFFF;
    hw->ConfigWrite(1, 1, 0, 0, 0x50, 4, &ones);
    EXPECT_EQ(Cfg(*hw, a, 0x50), 0xFFFFFFEFu);  // low byte masked, the rest writable
    ones = 0xFFFFFFFF;
    hw->ConfigWrite(1, 1, 0, 0, 0x30, 4, &ones);
    EXPECT_EQ(Cfg(*hw, a, 0x30), 0xFFFE0001u);

    SimPciFunction* f = hw->FindFunction(a);
    EXPECT_EQ(f->Registers().Peek(0x8B0), 0x11u);
    EXPECT_EQ(f->Registers().Peek(0x1C0), 7u);
    ASSERT_EQ(hw->Storages().size(), 1u);
    EXPECT_EQ(hw->Storages()[0]->Size(), 64u << 10);
    EXPECT_EQ(f->RomModel()->ReadByte(1), 0xAAu);
    EXPECT_EQ(f->RomModel()->ReadByte(2), 0xFFu);

    SimPciFunction* g = hw->FindFunction({0, 2, 0, 1});
    ASSERT_TRUE(g);
    EXPECT_FALSE(g->HasRomBar());
    g->RomModel()->WriteByte(3, 0x12);
    EXPECT_EQ(g->RomModel()->ReadByte(3), 0x12u);

    std::vector<std::string> names;
    ASSERT_TRUE(hw->ListPciDevices(names));
    EXPECT_EQ(names, (std::vector<std::string>{"0000:00:00.0", ".", "..", "noColon"}));
    PhysMap legacy = hw->MapPhysical(kSimLegacyBase, kSimLegacySize);
    EXPECT_EQ(hw->Read8(legacy, 2), 0x10u);
    EXPECT_FALSE(hw->MapPhysical(0xFEA00000, 0x40000).Valid());
    EXPECT_FALSE(hw->RaiseIoPrivilege());
}

TEST(SimMachineFile, ErrorsNameTheLine) {
    struct Case {
        const char* text;
        const char* message;  // expected after "m:LINE: "
        int line;
    };
    const std::string fn = "function 01:00.0 vendor=0x1002 device=0x6610\n";
    const Case cases[] = {
        {"bogus 1\n", "unknown statement 'bogus'", 1},
        {"# c\n\nbar 0 mem32 size=1M base=0\n", "'bar' must follow a 'function' line", 3},
        {"function 01:00 vendor=1 device=2\n", "bad PCI address '01:00'", 1},
        {"function 01:20.0 vendor=1 device=2\n", "bad PCI address '01:20.0'", 1},
        {"function 01:00.0 vendor=1\n", "'function' needs device=", 1},
        {"function 01:00.0 vendor=0x10000 device=2\n", "bad vendor '0x10000'", 1},
        {"function 01:00.0 vendor=1 device=2\nfunction 0000:01:00.0 vendor=1 device=2\n",
         "function 0000:01:00.0 is described twice", 2},
        {"revision 1\n", "'revision' must follow a 'function' line", 1},
        {"F revision 0x100\n", "bad a revision '0x100'", 2},
        {"F bar 0 mem16 size=1M base=0\n", "unknown BAR kind 'mem16' (mem32, mem64 or io)", 2},
        {"F bar 6 mem32 size=1M base=0\n", "bad a BAR index '6'", 2},
        {"F bar 0 mem32 base=0\n", "'bar' needs size=", 2},
        {"F bar 0 mem32 size=3M base=0\n", "BAR size must be a power of two", 2},
        {"F bar 0 mem32 size=1M base=0x1000\n", "BAR base must be aligned to its size", 2},
        {"F bar 0 mem32 size=1M base=0 regs memory\n", "a BAR is either 'regs' or 'memory'", 2},
        {"F bar 0 mem32 size=1M base=0 fast\n", "unexpected 'fast' in 'bar'", 2},
        {"F rombar size=1K base=0\n", "ROM BAR size must be a power of two from 2K to 16M", 2},
        {"F cap 0x10 at=0x3C\n", "capability does not fit (offsets 0x40-0xFC, dword aligned)", 2},
        {"F config 0x50\n", "'config' needs OFFSET=VALUE", 2},
        {"F config 0xFE=1\n", "bad configuration offset '0xFE'", 2},
        {"F config 0x40=0x1FF width=1\n", "bad value '0x1FF'", 2},
        {"F config 0x40=1 width=3\n", "width must be 1, 2 or 4", 2},
        {"F reg 0x8B2=1\n", "bad register offset '0x8B2' (a multiple of 4)", 2},
        {"F rom\n", "'rom' needs size= (no ROM BAR size to take)", 2},
        {"F rom file=missing.rom\n", "'DIR/missing.rom' does not exist and no size is given", 2},
        {"F rom size=65M\n", "bad size '65M'", 2},
        {"listing\n", "'listing' needs at least one name", 1},
        {"legacy\n", "'legacy' needs file=PATH or unmappable", 1},
        {"mapfail 0x2000 0x1000\n", "the last address is below the first", 1},
        {"iopl\n", "'iopl' takes the word 'fail'", 1},
        {"F cap-loop extra\n", "unexpected 'extra' in 'cap-loop'", 2},
        // Two functions never decode one address.
        {"F bar 2 mem32 size=256K base=0xFE800000\nfunction 02:00.0 vendor=1 device=2\n"
         "bar 0 mem64 size=16M base=0xFE000000\n",
         "BAR 0 at 0xfe000000 overlaps BAR 2 of 0000:01:00.0 at 0xfe800000", 4},
        {"F bar 4 io size=256 base=0xE000\nbar 5 io size=16 base=0xE0F0\n",
         "BAR 5 at 0xe0f0 overlaps BAR 4 of 0000:01:00.0 at 0xe000", 3},
        {"F rombar size=128K base=0xD0000000\nfunction 02:00.0 vendor=1 device=2\n"
         "rombar size=64K base=0xD0010000\n",
         "the ROM BAR at 0xd0010000 overlaps the ROM BAR of 0000:01:00.0 at 0xd0000000", 4},
        {"adapter 01:00.0 gethra\nfunction 02:00.0 vendor=1 device=2\nbar 2 mem32 size=4K base=0xE0001000\n",
         "BAR 2 at 0xe0001000 overlaps BAR 2 of 0000:01:00.0 at 0xe0000000", 3},
        {"F parallelflash\n", "'parallelflash' needs a function with a 'rombar'", 2},
        {"F rombar size=128K base=0\nparallelflash part=AT28C64\n", "unknown parallel part 'AT28C64' (known: SST39SF010, SST39SF512, AT49F512, MX29F001, AT29C010A, W29EE011, "
         "AT29C020, AT29C040A)",
         3},
        {"F rombar size=128K base=0\nparallelflash fault=absent,melt\n", "unknown fault 'melt'", 3},
        {"F rombar size=128K base=0\nparallelflash unerased=0x20000\n", "'unerased=' needs a part address", 3},
        {"F rombar size=128K base=0\nparallelflash fail-program-at=0x10:1:2\n",
         "'fail-program-at=' needs ADDRESS[:COUNT]", 3},
        {"spiboard 01:00.0 orpane misprogram-at=0x10:0\n", "'misprogram-at=' needs ADDRESS:BITS[:COUNT]", 1},
        {"spiboard 01:00.0 orpane file=bad.rom\n", "'DIR/bad.rom.status' does not hold a status byte", 1},
        {"spiboard 01:00.0 orpane file=long.rom\n", "'DIR/long.rom.status' does not hold a status byte", 1},
        {"spiboard 01:00.0 orpane file=nul.rom\n", "'DIR/nul.rom.status' does not hold a status byte", 1},
        {"spiboard 01:00.0 orpane file=wide.rom\n", "'DIR/wide.rom.status' does not hold a status byte", 1},
    };
    vmtest::TempDir dir;
    vmtest::WriteFile(dir.File("bad.rom.status"), "locked\n");
    vmtest::WriteFile(dir.File("long.rom.status"), "0x9C" + std::string(40, ' ') + "junk\n");
    vmtest::WriteFile(dir.File("nul.rom.status"), std::string("0x9C\0junk\n", 10));
    vmtest::WriteFile(dir.File("wide.rom.status"), "0x19C\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string text = c.text;
        if (text.rfind("F ", 0) == 0) text = fn + text.substr(2);
        std::string error;
        EXPECT_FALSE(ParseSimMachine(text, "m", dir.Path(), &error));
        std::string expected = "m:" + std::to_string(c.line) + ": " + c.message;
        std::size_t p = expected.find("DIR");
        if (p != std::string::npos) expected.replace(p, 3, dir.Path());
        EXPECT_EQ(error, expected);
    }
}

// Boards whose segments or buses differ only in high bits get windows of
// their own; explicit bases that do not meet are accepted, as are memory and
// I/O ranges with equal numbers.
TEST(SimMachineFile, BoardsNeverShareAnAddress) {
    std::string error;
    auto hw = ParseSimMachine("adapter 0000:01:00.0 gethra\n"
                              "adapter 0002:01:00.0 gethra\n"
                              "adapter 0000:11:00.0 ulvane\n"
                              "adapter 0000:01:01.0 nerrow rom-over-fb\n"
                              "spiboard 0001:21:00.0 orpane\n"
                              "function 0003:01:00.0 vendor=0x1002 device=0x6610\n"
                              "bar 0 mem32 size=4K base=0xE000\n"
                              "bar 4 io size=256 base=0xE000\n",
                              "m", ".", &error);
    ASSERT_TRUE(hw) << error;
    std::vector<SimBarRange> all;
    for (const auto& f : hw->Functions())
        for (const SimBarRange& r : f->AssignedRanges()) all.push_back(r);
    EXPECT_EQ(all.size(), 5u * 3 - 1 + 2);  // the nerrow board's ROM is not placed yet
    for (std::size_t i = 0; i < all.size(); ++i)
        for (std::size_t j = i + 1; j < all.size(); ++j)
            EXPECT_TRUE(all[i].io != all[j].io || all[i].base + all[i].size <= all[j].base ||
                        all[j].base + all[j].size <= all[i].base)
                << std::hex << all[i].base << " and " << all[j].base;
}

TEST(SimMachineFile, NumbersAndAddresses) {
    std::uint64_t v = 0;
    EXPECT_TRUE(ParseSimNumber("010", ~0ull, &v));
    EXPECT_EQ(v, 10u);  // decimal, not octal
    EXPECT_TRUE(ParseSimNumber("0x1F", ~0ull, &v));
    EXPECT_EQ(v, 31u);
    EXPECT_TRUE(ParseSimNumber("256K", ~0ull, &v));
    EXPECT_EQ(v, 256u << 10);
    EXPECT_TRUE(ParseSimNumber("0x10M", ~0ull, &v));
    EXPECT_EQ(v, 16u << 20);
    EXPECT_TRUE(ParseSimNumber("18446744073709551615", ~0ull, &v));
    for (const char* bad : {"", "0x", "K", "12a", "-1", "18446744073709551616", "17179869184G", "1 "})
        EXPECT_FALSE(ParseSimNumber(bad, ~0ull, &v)) << bad;
    EXPECT_FALSE(ParseSimNumber("256", 255, &v));

    SimPciAddress a;
    EXPECT_TRUE(SimPciAddress::Parse("0010:ff:1f.7", &a));
    EXPECT_EQ(a, (SimPciAddress{0x10, 0xFF, 0x1F, 7}));
    EXPECT_EQ(a.Devfn(), 0xFF);
    EXPECT_EQ(a.Name(), "0010:ff:1f.7");
    for (const char* bad : {"01:00.8", "1:2:3:4.0", "10000:00:00.0", "00:00", "g0:00.0", ":00.0", "00:00."})
        EXPECT_FALSE(SimPciAddress::Parse(bad, &a)) << bad;
}

TEST(SimMachineFile, RomFilesAreWrittenBackOnlyWhenChanged) {
    vmtest::TempDir dir;
    std::vector<std::uint8_t> original(0x1000, 0xFF);
    std::fill(original.begin(), original.begin() + 0x800, 0x11);
    vmtest::WriteBytes(dir.File("a.rom"), original);
    vmtest::WriteFile(dir.File("m"),
                      "function 01:00.0 vendor=0x1002 device=0x6610\n"
                      "  rombar size=4K base=0\n"
                      "  rom file=a.rom size=4K writable\n"
                      "function 02:00.0 vendor=0x1002 device=0x6610\n"
                      "  rombar size=2K base=0\n"
                      "  rom file=new.rom\n"
                      "function 03:00.0 vendor=0x1002 device=0x6610\n"
                      "  rom file=a.rom\n");  // shares the first board's bytes
    std::string error;
    auto hw = LoadSimMachine(dir.File("m"), &error);
    ASSERT_TRUE(hw) << error;
    EXPECT_EQ(hw->Storages().size(), 2u);

    // An unchanged file stays as it is; the missing one is created.
    ASSERT_TRUE(hw->SaveBackingFiles(&error)) << error;
    EXPECT_EQ(vmtest::ReadBytes(dir.File("a.rom")), original);
    EXPECT_EQ(vmtest::ReadBytes(dir.File("new.rom")), std::vector<std::uint8_t>(0x800, 0xFF));

    hw->FindFunction({0, 1, 0, 0})->RomModel()->WriteByte(0x900, 0x22);
    EXPECT_EQ(hw->FindFunction({0, 3, 0, 0})->RomModel()->ReadByte(0x900), 0x22u);
    ASSERT_TRUE(hw->SaveBackingFiles(&error)) << error;
    std::vector<std::uint8_t> expect = original;
    expect[0x900] = 0x22;
    EXPECT_EQ(vmtest::ReadBytes(dir.File("a.rom")), expect);

    // A second run reads back what the first wrote.
    auto again = LoadSimMachine(dir.File("m"), &error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(again->FindFunction({0, 1, 0, 0})->RomModel()->ReadByte(0x900), 0x22u);

    // A file that cannot be written is reported.
    hw->FindFunction({0, 1, 0, 0})->RomModel()->WriteByte(0, 0x33);
    ::remove(dir.File("a.rom").c_str());
    ASSERT_EQ(::mkdir(dir.File("a.rom").c_str(), 0755), 0);
    EXPECT_FALSE(hw->SaveBackingFiles(&error));
    EXPECT_NE(error.find("cannot write '" + dir.File("a.rom") + "'"), std::string::npos) << error;

    // Files larger or smaller than the given size are refused: a file cut
    // short is no ROM with an erased tail.
    vmtest::WriteBytes(dir.File("big.rom"), std::vector<std::uint8_t>(0x1001, 0));
    EXPECT_FALSE(ParseSimMachine("function 01:00.0 vendor=1 device=2\nrom file=big.rom size=4K\n", "m", dir.Path(),
                                 &error));
    EXPECT_NE(error.find("more than the size 4096"), std::string::npos) << error;
    EXPECT_FALSE(ParseSimMachine("function 01:00.0 vendor=1 device=2\nrom file=big.rom size=8K\n", "m", dir.Path(),
                                 &error));
    EXPECT_NE(error.find("'" + dir.File("big.rom") + "' holds 4097 bytes, less than the size 8192"), std::string::npos)
        << error;
}

TEST(SimMachineFile, EnvironmentAndDemoMachine) {
    vmtest::TempDir dir;
    vmtest::WriteFile(dir.File("m"), "function 05:00.0 vendor=0x1002 device=0x7340\n");
    std::string error;
    ::setenv("VORBANMILL_SIM_MACHINE", dir.File("m").c_str(), 1);
    auto hw = CreateSimFromEnvironment(&error);
    ASSERT_TRUE(hw) << error;
    EXPECT_TRUE(hw->FindFunction({0, 5, 0, 0}));
    ::setenv("VORBANMILL_SIM_MACHINE", dir.File("none").c_str(), 1);
    EXPECT_FALSE(CreateSimFromEnvironment(&error));
    EXPECT_EQ(error.rfind("cannot read machine file '" + dir.File("none") + "'", 0), 0u) << error;
    ::unsetenv("VORBANMILL_SIM_MACHINE");

    hw = CreateSimFromEnvironment(&error);
    ASSERT_TRUE(hw);
    // The demo boards are display functions of the supported vendor; what
    // they hold is checked through the program's own adapter list.
    ASSERT_GE(hw->Functions().size(), 2u);
    for (const auto& f : hw->Functions()) {
        SCOPED_TRACE(f->Address().Name());
        EXPECT_EQ(f->VendorId(), 0x1002);
        EXPECT_EQ(f->ConfigValue(0x09, 3), 0x030000u);
    }
    EXPECT_TRUE(hw->SaveBackingFiles(&error));  // nothing to write
}

}  // namespace
