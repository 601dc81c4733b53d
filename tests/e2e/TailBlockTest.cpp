// "-isr", "-prod" and "-checkprodsn" reading the blocks at the end of the
// ROM of a simulated board: what they show, their exit codes and result
// file, and that reading never changes the flash.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/TailBlockFixtures.h"

using vmtest::Body;
using vmtest::Bytes;
using vmtest::IsrBytes;
using vmtest::SnBytes;
using vmtest::TailBoard;
using vmtest::WithIsr;
using vmtest::WithSn;

namespace {

const Bytes kRom = vmtest::BlankTailRom(0x20000);

Bytes Altered(Bytes block, std::size_t at) {
    block[at] ^= 0x01;
    return block;
}

TEST(TailBlockShow, ShowsAndChecksTheBlocksOnTheRom) {
    const Bytes both = WithSn(WithIsr(kRom, IsrBytes(1234, 56)), SnBytes(123, 456789));
    const Bytes mib4 = WithSn(WithIsr(vmtest::BlankTailRom(0x400000), IsrBytes(1, 2)), SnBytes(3, 4));
    Bytes startMarkerOnly = kRom;
    std::copy_n("ISR", 3, startMarkerOnly.end() - 20);
    struct Case {
        const char* name;
        Bytes rom;
        std::string part;
        std::vector<std::string> args;
        int exit;
        std::string out;
    };
    const Case cases[] = {
        {"ISR", both, "M25P10", {"-isr", "0"}, 0, "ISR Number: 01234-0056\n"},
        {"serial", both, "M25P10", {"-prod", "0"}, 0, "Production Serial Number: 000123456789\n"},
        // Adapter numbers are read up to the first non-digit.
        {"adapter word", both, "M25P10", {"-isr", "x"}, 0, "ISR Number: 01234-0056\n"},
        {"no ISR", kRom, "M25P10", {"-isr", "0"}, 1, "ISR Data not found on adapter 0\n"},
        {"no serial", WithIsr(kRom, IsrBytes(1, 2)), "M25P10", {"-prod", "0"}, 1,
         "Production SN Data not found on adapter 0\n"},
        {"one marker", startMarkerOnly, "M25P10", {"-isr", "0"}, 1, "ISR Data not found on adapter 0\n"},
        {"ISR number byte altered", WithIsr(kRom, Altered(IsrBytes(1234, 56), 5)), "M25P10", {"-isr", "0"}, 1,
         "ISR Data checksum not valid\n"},
        {"serial byte altered", WithSn(kRom, Altered(SnBytes(123, 456789), 9)), "M25P10", {"-prod", "0"}, 1,
         "SN Data checksum not valid\n"},
        // The blocks of a 4 MiB part lie beyond the 1 MiB buffers.
        {"4 MiB ISR", mib4, "W25Q32BV/FV", {"-isr", "0"}, 1, "ISR Data not found on adapter 0\n"},
        {"4 MiB serial", mib4, "W25Q32BV/FV", {"-prod", "0"}, 1, "Production SN Data not found on adapter 0\n"},
        {"4 MiB write", mib4, "W25Q32BV/FV", {"-prod", "0", "000001000002"}, 1,
         "Can not write Production SN Data into a 0x400000 length rom on adapter 0\n"},
        {"no adapter", both, "M25P10", {"-isr", "1"}, 1, "Adapter not found\n"},
    };
    for (const Case& c : cases) {
        TailBoard m(c.rom, c.part);
        vmtest::RunResult r = m.Sim(c.args);
        EXPECT_EQ(r.exitCode, c.exit) << c.name;
        EXPECT_EQ(Body(r), c.out) << c.name;
        EXPECT_EQ(m.Flash(), c.rom) << c.name;
    }
}

TEST(TailBlockShow, CheckProdSnComparesBothHalvesAndWritesTheResultFile) {
    const Bytes rom = WithSn(WithIsr(kRom, IsrBytes(1, 2)), SnBytes(12, 456789));
    struct Case {
        const char* name;
        Bytes rom;
        std::string serial;
        int exit;
        std::string out;
        std::string resultFile;
    };
    const Case cases[] = {
        {"match", rom, "000012456789", 0,
         "Production Serial Number on Rom 000012456789 matched input Production Serial Number 000012456789\n",
         "PASS\n"},
        // Each half is read up to its first non-digit.
        {"letter ends a half", rom, "00012x456789", 0,
         "Production Serial Number on Rom 000012456789 matched input Production Serial Number 000012456789\n",
         "PASS\n"},
        {"second half differs", rom, "000012456788", 1,
         "Production Serial Number on Rom 000012456789 did not matched input Production Serial Number "
         "000012456788\n\n   ERROR: 0FL07\n",
         "0FL07\n"},
        {"first half differs", rom, "000013456789", 1,
         "Production Serial Number on Rom 000012456789 did not matched input Production Serial Number "
         "000013456789\n\n   ERROR: 0FL07\n",
         "0FL07\n"},
        {"no block", kRom, "000012456789", 1, "Production SN Data not found on adapter 0\n\n   ERROR: 0FL07\n",
         "0FL07\n"},
    };
    for (const Case& c : cases) {
        TailBoard m(c.rom);
        vmtest::RunResult r = m.Sim({"-checkprodsn", "0", c.serial, "-ps"});
        EXPECT_EQ(r.exitCode, c.exit) << c.name;
        EXPECT_EQ(Body(r), c.out) << c.name;
        EXPECT_EQ(vmtest::ReadFile(m.File("errorid.tmp")), c.resultFile) << c.name;
        EXPECT_EQ(m.Flash(), c.rom) << c.name;
    }
}

TEST(TailBlockShow, WrongArgumentsAreUsageErrors) {
    const std::string prod = "Format: vorbanmill -prod <adapter num> [12 Digit Serial Number]\n";
    const std::string check = "Format: vorbanmill -checkprodsn <adapter num> [12 Digit Serial Number]\n";
    const std::string isr = "Format: vorbanmill -isr <adapter num> [build number] [board number]\n";
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{"-prod", "0", "00012345678"}, prod},    {{"-prod", "0", "0001234567890"}, prod},
        {{"-prod", "0", "1", "2"}, prod},         {{"-prod"}, prod},
        {{"-checkprodsn", "0", "00012345678"}, check}, {{"-checkprodsn", "0", "0001234567890"}, check},
        {{"-checkprodsn", "0"}, check},           {{"-isr", "0", "1"}, isr},
        {{"-isr", "0", "1", "2", "3"}, isr},
    };
    for (const Case& c : cases) {
        TailBoard m(kRom);
        vmtest::RunResult r = m.Sim(c.args);
        const std::string what = testing::PrintToString(c.args);
        EXPECT_EQ(r.exitCode, 1) << what;
        EXPECT_EQ(Body(r), c.out) << what;
        EXPECT_EQ(m.Flash(), kRom) << what;
    }
    // A usage error writes no result file.
    TailBoard m(kRom);
    m.Sim({"-checkprodsn", "0", "1", "-ps"});
    EXPECT_FALSE(vmtest::FileExists(m.File("errorid.tmp")));
}

}  // namespace
