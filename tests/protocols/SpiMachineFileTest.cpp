// The "spiboard" and "spiflash" machine-file statements.
#include <gtest/gtest.h>

#include <sstream>

#include "sim/SimSpiBoard.h"
#include "support/TestSupport.h"

namespace {

// Runs one statement the way the machine-file parser does.
bool Statement(SimMachineContext& ctx, const std::string& text, std::string* error) {
    std::istringstream in(text);
    std::string keyword, w;
    in >> keyword;
    std::vector<std::string> words;
    while (in >> w) words.push_back(w);
    SimMachineLine line(keyword, words);
    for (const SimMachineKeyword& k : kSimSpiKeywords) {
        if (keyword != k.name) continue;
        if (k.needsFunction && !ctx.function) {
            *error = "needs a function";
            return false;
        }
        if (!k.handler(ctx, line, error)) return false;
        if (!line.Leftover().empty()) {
            *error = "unexpected " + line.Leftover();
            return false;
        }
        return true;
    }
    *error = "unknown";
    return false;
}

TEST(SpiMachineFile, BoardWithFileBackedFlashAndFaults) {
    vmtest::TempDir dir;
    SimHardware hw;
    SimMachineContext ctx;
    ctx.hw = &hw;
    ctx.baseDir = dir.Path();
    std::string error;
    ASSERT_TRUE(Statement(ctx, "spiboard 03:00.0 ulvane part=W25X40 file=u.bin slave wp status=0x80 "
                               "busy-polls=1:2:3 fault=busy-stuck,status-never stuck=0x10:0x01:0x00",
                          &error))
        << error;
    ASSERT_NE(ctx.function, nullptr);
    EXPECT_EQ(ctx.function->DeviceId(), 0x67A0);
    EXPECT_EQ(ctx.function->Registers().Peek(0x541C), 0x200u) << "second GPU";
    ASSERT_EQ(hw.Storages().size(), 1u);  // the flash; the ROM aperture lives in memory
    ASSERT_TRUE(hw.SaveBackingFiles(&error)) << error;
    EXPECT_EQ(vmtest::ReadBytes(dir.File("u.bin")).size(), 0x80000u);

    ASSERT_TRUE(Statement(ctx, "spiflash part=M25P10 controller=none cs=0x60C:3:inv", &error)) << error;

    struct Bad {
        const char* text;
        const char* message;
    } bad[] = {
        {"spiboard 04:00.0 nosuch", "unknown board kind 'nosuch'"},
        {"spiboard 03:00.0 orpane", "function 03:00.0 is already there"},
        {"spiflash controller=zigzag", "unknown controller layout 'zigzag'"},
        {"spiflash fault=melted", "unknown fault 'melted'"},
        {"spiflash miso=0x17A4", "'miso=' needs REG:BIT or REG:BIT:inv"},
        {"spiflash busy-polls=1:2", "'busy-polls=' needs PROGRAM:ERASE:WRITE"},
        {"spiflash erase-ms=long", "'erase-ms=' needs milliseconds"},
    };
    for (const Bad& b : bad) {
        error.clear();
        EXPECT_FALSE(Statement(ctx, b.text, &error)) << b.text;
        EXPECT_EQ(error, b.message) << b.text;
    }
    // The message names every modelled part, so a misspelt one is mended from it.
    error.clear();
    EXPECT_FALSE(Statement(ctx, "spiboard 04:00.0 orpane part=XYZ", &error));
    EXPECT_EQ(error.rfind("unknown SPI part 'XYZ' (known: M25P05, M25P10, ", 0), 0u) << error;
    EXPECT_TRUE(error.ends_with(", FM25Q08A, P25Q80H)")) << error;
}

TEST(SpiMachineFile, DemoBoardsAreDistinctFunctions) {
    SimHardware hw;
    AddDemoSpiBoards(hw, 3);
    EXPECT_EQ(hw.Functions().size(), 8u);
}

}  // namespace
