// Writing the blocks at the end of the ROM ("-isr", "-prod") and carrying
// them, and the memory-training table, through "-p": the flash contents
// byte for byte afterwards, the protection put back and access closed.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "commands/CFlashCmd.h"
#include "e2e/TailBlockFixtures.h"
#include "engine/CFlash.h"
#include "platform/HardwareBackend.h"
#include "sim/SimHardware.h"
#include "sim/SimSpiBoard.h"
#include "sim/SimStorage.h"
#include "ui/CTevUI.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using vmtest::Body;
using vmtest::Bytes;
using vmtest::IsrBytes;
using vmtest::RomImageBuilder;
using vmtest::SnBytes;
using vmtest::TailBoard;
using vmtest::WithIsr;
using vmtest::WithSn;

namespace {

const Bytes kRom = vmtest::BlankTailRom(0x20000);

std::string Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return std::to_string(n);
}

// The SPI engine names its burst size on every write.
const std::string kDone = "Burst size is 256 \n20000/20000h bytes programmed\n20000/20000h bytes verified\n\n"
                          "Restart System To Complete VBIOS Update.\n";

TEST(TailBlockWrite, IsrAndSerialRoundTrip) {
    TailBoard m(kRom);
    struct Step {
        std::vector<std::string> args;
        std::string out;
        Bytes flash;
    };
    const Bytes withIsr = WithIsr(kRom, IsrBytes(1234, 56));
    const Bytes withBoth = WithSn(withIsr, SnBytes(123, 456789));
    const Step steps[] = {
        // The 2 KiB legacy image ends long before the block: it is unchanged.
        {{"-isr", "0", "1234", "56"}, "Setting ISR Number: 01234-0056\n" + kDone, withIsr},
        {{"-isr", "0"}, "ISR Number: 01234-0056\n", withIsr},
        {{"-prod", "0", "000123456789"}, "Setting Production Serial Number: 000123456789\n" + kDone, withBoth},
        {{"-prod", "0"}, "Production Serial Number: 000123456789\n", withBoth},
        {{"-checkprodsn", "0", "000123456789"},
         "Production Serial Number on Rom 000123456789 matched input Production Serial Number 000123456789\n",
         withBoth},
        {{"-isr", "0", "7", "8"}, "Setting ISR Number: 00007-0008\n" + kDone, WithIsr(withBoth, IsrBytes(7, 8))},
    };
    for (const Step& s : steps) {
        vmtest::RunResult r = m.Sim(s.args);
        const std::string what = testing::PrintToString(s.args);
        EXPECT_EQ(r.exitCode, 0) << what;
        EXPECT_EQ(Body(r), s.out) << what;
        EXPECT_EQ(m.Flash(), s.flash) << what;
    }
}

// A blank ROM holds no image and so no signed directory, on a family that
// checks signatures too: the block goes in.
TEST(TailBlockWrite, ABlankRomTakesABlock) {
    const Bytes blank(0x20000, 0xFF);
    TailBoard m(blank);
    const vmtest::RunResult r = m.Sim({"-isr", "0", "7", "8"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(m.Flash(), WithIsr(blank, IsrBytes(7, 8)));
}

TEST(TailBlockWrite, BlockInsideTheLegacyImageKeepsItsSumZero) {
    // A 64 KiB legacy image filling a 64 KiB part.
    RomImageBuilder b;
    b.n512 = 0x80;
    const Bytes rom = b.Build();
    TailBoard m(rom, "M25P05");
    vmtest::RunResult r = m.Sim({"-isr", "0", "7", "8"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    // Only the checksum byte follows the block; the CRC word stays.
    Bytes expected = WithIsr(rom, IsrBytes(7, 8));
    expected[0x21] = 0;
    expected[0x21] = std::uint8_t(0x100 - vmtest::Sum8(expected.data(), 0x10000));
    EXPECT_EQ(m.Flash(), expected);
}

TEST(TailBlockWrite, ProgramCarriesTheBlocks) {
    RomImageBuilder fresh;
    fresh.date = "02/15/24";
    const Bytes image = fresh.Build();
    Bytes badSn = SnBytes(123, 456789);
    badSn[6] ^= 0x20;  // markers intact, sum not 0: carried all the same
    const Bytes oldRom = WithSn(WithIsr(kRom, IsrBytes(1234, 56)), badSn);

    TailBoard m(oldRom);
    vmtest::WriteBytes(m.File("new.rom"), image);
    vmtest::RunResult r = m.Sim({"-p", "0", "new.rom", "-keepisrsn", "-keepprodsn"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(m.Flash(), WithSn(WithIsr(vmtest::TailRom(0x20000, image), IsrBytes(1234, 56)), badSn));

    // Blocks inside a legacy image that fills the part: CRC word and
    // checksum byte recomputed over the carried bytes.
    RomImageBuilder whole;
    whole.n512 = 0x80;
    Bytes wholeRom = whole.Build();
    wholeRom = WithSn(WithIsr(wholeRom, IsrBytes(5, 6)), SnBytes(7, 8));
    whole.date = "03/15/24";
    const Bytes wholeImage = whole.Build();
    TailBoard small(wholeRom, "M25P05");
    vmtest::WriteBytes(small.File("new.rom"), wholeImage);
    r = small.Sim({"-p", "0", "new.rom", "-keepisrsn", "-keepprodsn"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    Bytes expected = WithSn(WithIsr(wholeImage, IsrBytes(5, 6)), SnBytes(7, 8));
    vmtest::FixImageByHand(expected, 0x10000, whole.crcOffset);
    EXPECT_EQ(small.Flash(), expected);
}

TEST(TailBlockWrite, KeepSwitchesNeverCutOrOverrunTheImage) {
    struct Case {
        const char* name;
        Bytes rom;
        std::string part;
        std::size_t imageSize;
        std::string line;
    };
    const Case cases[] = {
        // Programmed at its own length, so the size check refuses it.
        {"image longer than the ROM", WithIsr(vmtest::BlankTailRom(0x10000), IsrBytes(1, 2)), "M25P05", 0x20000,
         "Can not flash a 0x20000 length image into a 0x10000 length rom!\n"},
        {"4 MiB part", WithIsr(vmtest::BlankTailRom(0x400000), IsrBytes(1, 2)), "W25Q32BV/FV", 0x800,
         "Can not keep ISR/SN data of a 0x400000 length rom!\n"},
    };
    for (const Case& c : cases) {
        TailBoard m(c.rom, c.part);
        vmtest::WriteBytes(m.File("new.rom"), vmtest::BlankTailRom(c.imageSize));
        vmtest::RunResult r = m.Sim({"-p", "0", "new.rom", "-keepisrsn", "-keepprodsn"});
        EXPECT_NE(r.exitCode, 0) << c.name;
        EXPECT_NE(r.out.find(c.line), std::string::npos) << c.name << r.out;
        EXPECT_EQ(m.Flash(), c.rom) << c.name;
    }
}

TEST(TailBlockWrite, ProgramTakesTheOnBoardTrainingTable) {
    const Bytes onBoard = vmtest::TrainingImage(0x700, 6, 0x40);
    TailBoard m(vmtest::TailRom(0x20000, onBoard));
    const Bytes image = vmtest::TrainingImage(0x780, 6, 0x90);
    vmtest::WriteBytes(m.File("new.rom"), image);
    vmtest::RunResult r = m.Sim({"-p", "0", "new.rom", "-excl_memtrain_dtable"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    Bytes expected = image;
    std::copy(onBoard.begin() + 0x700, onBoard.begin() + 0x706, expected.begin() + 0x780);
    vmtest::FixImageByHand(expected, 0x1000, 0x1F0);
    EXPECT_EQ(m.Flash(), vmtest::TailRom(0x20000, expected));

    // Tables of different sizes: nothing is written.
    TailBoard other(vmtest::TailRom(0x20000, onBoard));
    vmtest::WriteBytes(other.File("new.rom"), vmtest::TrainingImage(0x780, 8, 0x90));
    r = other.Sim({"-p", "0", "new.rom", "-excl_memtrain_dtable"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("Error: Memory training table sizes of onboard BIOS and new BIOS do not match.  Abort.\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(other.Flash(), vmtest::TailRom(0x20000, onBoard));
}

// One gethra board in this process, so the part's status register and the
// engine's access state can be looked at after the command.
struct InProcessBoard {
    SimHardware hw;
    ScopedHardware scope{hw};
    SimSpiBoard board;
    std::unique_ptr<CFlashCmd> cmd;
    CTevUI ui;

    explicit InProcessBoard(const Bytes& rom) {
        SimSpiBoardOptions o;
        o.part = "M25P10";
        o.storage = std::make_shared<SimStorage>(rom.size());
        o.storage->Bytes() = rom;
        board = AddSpiBoard(hw, SimPciAddress{0, 1, 0, 0}, SimSpiBoardKind::Gethra, o);
        board.flash->SetStatus(0x8C);  // protected at power-up
        cmd = std::make_unique<CFlashCmd>(nullptr, 0);
    }
    int Run(std::vector<std::string> words, std::string* out) {
        words.insert(words.begin(), "vorbanmill");
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        CaptureStdout();
        const int exit = ui.Run(int(words.size()), argv.data(), cmd.get());
        *out = GetCapturedStdout();
        return exit;
    }
    const Bytes& Flash() { return board.flash->Storage().Bytes(); }
};

TEST(TailBlockWrite, WriteRelocksAndClosesOnSuccessAndAfterRetries) {
    {
        InProcessBoard p(kRom);
        std::string out;
        EXPECT_EQ(p.Run({"-isr", "0", "1234", "56"}, &out), 0) << out;
        EXPECT_EQ(p.Flash(), WithIsr(kRom, IsrBytes(1234, 56)));
        EXPECT_EQ(p.board.flash->Status() & 0x8C, 0x8C);
        EXPECT_EQ(p.cmd->engine->accessOpen, 0);
    }
    {
        // One page program that does not take: the retry writes it all.
        InProcessBoard p(kRom);
        p.board.flash->FailNextPrograms(1);
        std::string out;
        EXPECT_EQ(p.Run({"-isr", "0", "1234", "56", "-retries=2"}, &out), 0) << out;
        EXPECT_EQ(Count(out, "Auto retry after failure (1 retries remaining)...\n"), "1") << out;
        EXPECT_EQ(Count(out, "Auto retry"), "1") << out;
        EXPECT_EQ(Count(out, "\nRestart System To Complete VBIOS Update.\n"), "1") << out;
        EXPECT_EQ(p.Flash(), WithIsr(kRom, IsrBytes(1234, 56)));
        EXPECT_EQ(p.board.flash->Status() & 0x8C, 0x8C);
        EXPECT_EQ(p.cmd->engine->accessOpen, 0);
    }
    {
        // Bit 0 of the zero byte after the block's first marker cannot be
        // cleared: the erase comes out blank, every verify fails.
        InProcessBoard p(kRom);
        p.board.flash->AddStuckBits(0x20000 - 17, 0x01, 0x00);
        std::string out;
        EXPECT_EQ(p.Run({"-isr", "0", "1234", "56", "-retries=2"}, &out), 1) << out;
        EXPECT_EQ(Count(out, "Setting ISR Number: 01234-0056\n"), "3") << out;
        EXPECT_EQ(Count(out, "Auto retry after failure (1 retries remaining)...\n"), "1") << out;
        EXPECT_EQ(Count(out, "Auto retry after failure (0 retries remaining)...\n"), "1") << out;
        EXPECT_EQ(Count(out, "Restart System"), "0") << out;
        Bytes expected = WithIsr(kRom, IsrBytes(1234, 56));
        expected[0x20000 - 17] = 0x01;
        EXPECT_EQ(p.Flash(), expected);
        EXPECT_EQ(p.board.flash->Status() & 0x8C, 0x8C);
        EXPECT_EQ(p.cmd->engine->accessOpen, 0);
    }
}

}  // namespace
