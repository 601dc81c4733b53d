// The tail-block handlers and the image preparation of "-p" over a scripted
// engine: ROM sizes the blocks cannot live in, the memory-training table
// copy with its aborts, and the blocks carried into a new image.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "commands/CFlashCmd.h"
#include "commands/FakeFlash.h"
#include "support/RomImageBuilder.h"
#include "support/TailBlockBuilder.h"
#include "ui/CTevUI.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using vmtest::FakeBoard;
using vmtest::FakeFlash;
using vmtest::RomImageBuilder;
using vmtest::Sum8;
using vmtest::TrainingImage;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Isr(std::uint32_t build, std::uint32_t board) { return vmtest::IsrBytes(build, board); }
Bytes Sn(std::uint32_t first, std::uint32_t second) { return vmtest::SnBytes(first, second); }
Bytes Rom(std::size_t size, const Bytes& image = {}, const Bytes& isr = {}, const Bytes& sn = {}) {
    return vmtest::TailRom(size, image, isr, sn);
}

struct Rig {
    CTevUI ui;
    CFlashCmd cmd{nullptr, 0};
    FakeFlash* flash = nullptr;
    FakeBoard* board = nullptr;

    explicit Rig(Bytes rom) {
        delete cmd.engine;
        flash = new FakeFlash;
        cmd.engine = flash;
        FakeBoard b;
        b.rom = std::move(rom);
        flash->boards.push_back(b);
        board = &flash->boards.back();
        ui.cmd = &cmd;
    }
    // The loaded image, with stale bytes after it as an earlier command
    // could have left them.
    void Load(const Bytes& image) {
        std::memset(ui.image, 0xA5, kRomBufferSize);
        std::memcpy(ui.image, image.data(), image.size());
        ui.imageLength = std::uint32_t(image.size());
    }
    Bytes Image(std::size_t from, std::size_t to) const { return Bytes(ui.image + from, ui.image + to); }
    int Command(int (CFlashUI::*handler)(int, char**), std::vector<std::string> words, std::string* out) {
        std::vector<char*> args;
        for (auto& w : words) args.push_back(w.data());
        CaptureStdout();
        const int r = (ui.*handler)(int(args.size()), args.data());
        *out = GetCapturedStdout();
        return r;
    }
    int Prepare(std::uint32_t* length, std::string* out) {
        CaptureStdout();
        const int r = ui.PrepareProgramImage(0, *length);
        *out = GetCapturedStdout();
        return r;
    }
};

TEST(TailBlockRomSize, BlocksOutsideTheRomOrTheBufferAreNotFoundAndNotWritten) {
    struct Case {
        const char* name;
        Bytes rom;
        int (CFlashUI::*handler)(int, char**);
        std::vector<std::string> args;
        int result;
        std::string out;
    };
    const Case cases[] = {
        {"ISR in a 30-byte ROM", Rom(30, {}, Isr(7, 8)), &CFlashUI::CmdIsr, {"0"}, CMD_OK, "ISR Number: 00007-0008\n"},
        {"SN needs 36 bytes", Rom(30, {}, Isr(7, 8)), &CFlashUI::CmdProd, {"0"}, CMD_FAILED,
         "Production SN Data not found on adapter 0\n"},
        {"ISR needs 20 bytes", Rom(16), &CFlashUI::CmdIsr, {"0"}, CMD_FAILED, "ISR Data not found on adapter 0\n"},
        {"4 MiB ROM: past the buffers", Rom(0x400000, {}, Isr(1, 2), Sn(3, 4)), &CFlashUI::CmdIsr, {"0"}, CMD_FAILED,
         "ISR Data not found on adapter 0\n"},
        {"4 MiB ROM check", Rom(0x400000, {}, Isr(1, 2), Sn(3, 4)), &CFlashUI::CmdCheckProdSn,
         {"0", "000003000004"}, CMD_FAILED, "Production SN Data not found on adapter 0\n"},
        {"SN write into 30 bytes", Rom(30), &CFlashUI::CmdProd, {"0", "000000000001"}, CMD_FAILED,
         "Can not write Production SN Data into a 0x1E length rom on adapter 0\n"},
        {"ISR write into 4 MiB", Rom(0x400000), &CFlashUI::CmdIsr, {"0", "1", "2"}, CMD_FAILED,
         "Can not write ISR Data into a 0x400000 length rom on adapter 0\n"},
    };
    for (const Case& c : cases) {
        Rig rig(c.rom);
        std::string out;
        EXPECT_EQ(rig.Command(c.handler, c.args, &out), c.result) << c.name;
        EXPECT_EQ(out, c.out) << c.name;
        // A refusal reads nothing and never touches the protection.
        if (c.result != CMD_OK) {
            EXPECT_EQ(rig.board->reads, 0) << c.name;
        }
        EXPECT_TRUE(rig.board->statusWrites.empty()) << c.name;
        EXPECT_EQ(rig.board->rom, c.rom) << c.name;
    }
}

TEST(PrepareProgramImage, CopiesTheOnBoardTrainingTable) {
    const Bytes onBoard = TrainingImage(0x700, 6, 0x40);
    Rig rig(Rom(0x10000, onBoard));
    rig.cmd.exclMemTrainTable = 1;
    Bytes image = TrainingImage(0x780, 6, 0x90);
    rig.Load(image);
    std::uint32_t length = 0;
    std::string out;
    ASSERT_EQ(rig.Prepare(&length, &out), CMD_OK) << out;
    EXPECT_EQ(length, image.size());
    EXPECT_EQ(rig.Image(0x780, 0x786), Bytes(onBoard.begin() + 0x700, onBoard.begin() + 0x706));

    // Only the table, the checksum byte and the CRC word changed; the
    // legacy image sums to 0 and carries its CRC again.
    Bytes expected = image;
    std::copy(onBoard.begin() + 0x700, onBoard.begin() + 0x706, expected.begin() + 0x780);
    vmtest::FixImageByHand(expected, 0x1000, 0x1F0);
    EXPECT_EQ(rig.Image(0, image.size()), expected);
    EXPECT_EQ(Sum8(rig.ui.image, 0x1000), 0);
    const std::uint32_t crc = expected[0x1F0] | expected[0x1F1] << 8 | expected[0x1F2] << 16 | std::uint32_t(expected[0x1F3]) << 24;

    char before[96];
    std::snprintf(before, sizeof before, "New BIOS data before flash: size=1000, checksum=%02x, crc=%08x\n",
                  unsigned(image[0x21]), 0u);
    std::string lines =
        "ROM header offset (on-board BIOS): 0100\nMaster data table offset (on-board BIOS): 0600\n"
        "MemoryTrainingInfo offset (on-board BIOS): 0700\ntable size (on-board BIOS): 0006\n"
        "ROM header offset (new BIOS): 0100\nMaster data table offset (new BIOS): 0600\n"
        "MemoryTrainingInfo offset (new BIOS): 0780\ntable size (new BIOS): 0006\n";
    for (std::size_t i = 0x700; i < 0x706; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "Copying from onboard BIOS to new BIOS: %04x\n", unsigned(onBoard[i]));
        lines += line;
    }
    char after[96];
    std::snprintf(after, sizeof after, "New BIOS data after flash: size=1000, checksum=%02x, crc=%08x\n",
                  unsigned(expected[0x21]), unsigned(crc));
    EXPECT_EQ(out, lines + before + after);
    EXPECT_EQ(rig.board->statusWrites.size(), 0u);
}

TEST(PrepareProgramImage, TrainingTableAbortsLeaveTheImageAlone) {
    struct Case {
        const char* name;
        Bytes onBoard, image;
        std::string lastLine;
    };
    const Case cases[] = {
        {"sizes differ", TrainingImage(0x700, 6, 0x40), TrainingImage(0x780, 8, 0x90),
         "Error: Memory training table sizes of onboard BIOS and new BIOS do not match.  Abort.\n"},
        // The table would run past the 4 KiB read and the 4 KiB image.
        {"table past the image", TrainingImage(0xFF0, 0x20, 0x40), TrainingImage(0xFF0, 0x20, 0x90),
         "Error: Memory training table lies outside the onboard BIOS or the new BIOS.  Abort.\n"},
    };
    for (const Case& c : cases) {
        Rig rig(Rom(0x10000, c.onBoard));
        rig.cmd.exclMemTrainTable = 1;
        rig.cmd.keepIsrSn = 1;
        rig.Load(c.image);
        std::uint32_t length = 0;
        std::string out;
        EXPECT_EQ(rig.Prepare(&length, &out), CMD_FAILED) << c.name;
        EXPECT_EQ(rig.cmd.status, CMD_FAILED) << c.name;
        ASSERT_GE(out.size(), c.lastLine.size()) << c.name;
        EXPECT_EQ(out.substr(out.size() - c.lastLine.size()), c.lastLine) << c.name;
        EXPECT_EQ(rig.Image(0, c.image.size()), c.image) << c.name;
        EXPECT_EQ(length, c.image.size()) << c.name;
    }
}

TEST(PrepareProgramImage, KeptBlocksLandAtTheEndOfTheProgrammedRom) {
    RomImageBuilder small;  // 2 KiB
    const Bytes image = small.Build();
    Bytes badSn = Sn(123, 456789);
    badSn[5] ^= 0x10;  // markers intact, sum no longer 0: still carried
    struct Case {
        const char* name;
        Bytes rom;
        std::uint16_t keepIsr, keepSn;
        int result;
        std::uint32_t length;
        Bytes isr, sn;  // expected at the end of the image; empty = 0xFF there
        std::string out;
    };
    const Bytes isr = Isr(1234, 56);
    const Case cases[] = {
        {"both blocks", Rom(0x10000, {}, isr, badSn), 1, 1, CMD_OK, 0x10000, isr, badSn, ""},
        {"ISR only", Rom(0x10000, {}, isr, badSn), 1, 0, CMD_OK, 0x10000, isr, {}, ""},
        {"absent blocks copy nothing", Rom(0x10000), 1, 1, CMD_OK, 0x10000, {}, {}, ""},
        // No room for the SN block: nothing to keep, the image alone.
        {"ROM too small for SN", Rom(0x20, {}, Isr(1, 2)), 0, 1, CMD_OK, std::uint32_t(image.size()), {}, {}, ""},
        // Longer than the ROM: programmed at its own length, so the size
        // check refuses it rather than cutting it.
        {"image longer than ROM", Rom(0x400, {}, isr), 1, 1, CMD_OK, std::uint32_t(image.size()), {}, {}, ""},
        {"4 MiB ROM refused", Rom(0x400000, {}, isr, badSn), 1, 1, CMD_FAILED, std::uint32_t(image.size()), {}, {},
         "Can not keep ISR/SN data of a 0x400000 length rom!\n"},
    };
    for (const Case& c : cases) {
        Rig rig(c.rom);
        rig.cmd.keepIsrSn = c.keepIsr;
        rig.cmd.keepProdSn = c.keepSn;
        rig.Load(image);
        std::uint32_t length = 0;
        std::string out;
        EXPECT_EQ(rig.Prepare(&length, &out), c.result) << c.name;
        EXPECT_EQ(out, c.out) << c.name;
        EXPECT_EQ(length, c.length) << c.name;
        EXPECT_EQ(rig.Image(0, image.size()), image) << c.name;
        if (c.length == image.size()) continue;
        // Erased bytes between the image and the blocks, never stale ones.
        Bytes tail = rig.Image(image.size(), c.length);
        Bytes want(tail.size(), 0xFF);
        if (!c.isr.empty()) std::copy(c.isr.begin(), c.isr.end(), want.end() - 20);
        if (!c.sn.empty()) std::copy(c.sn.begin(), c.sn.end(), want.end() - 36);
        EXPECT_EQ(tail, want) << c.name;
    }
}

TEST(PrepareProgramImage, KeptBlockInsideTheLegacyImageIsChecksummed) {
    // A 32 KiB legacy image filling a 32 KiB ROM: the blocks are part of it.
    RomImageBuilder b;
    b.n512 = 0x40;
    const Bytes image = b.Build();
    const Bytes isr = Isr(99, 7);
    Rig rig(Rom(0x8000, {}, isr, Sn(1, 2)));
    rig.cmd.keepIsrSn = 1;
    rig.Load(image);
    std::uint32_t length = 0;
    std::string out;
    ASSERT_EQ(rig.Prepare(&length, &out), CMD_OK);
    EXPECT_EQ(length, 0x8000u);
    EXPECT_EQ(rig.Image(0x8000 - 20, 0x8000), isr);
    EXPECT_EQ(rig.Image(0x8000 - 36, 0x8000 - 20), Bytes(image.end() - 36, image.end() - 20));
    Bytes expected = image;
    std::copy(isr.begin(), isr.end(), expected.end() - 20);
    vmtest::FixImageByHand(expected, 0x8000, 0x1F0);
    EXPECT_EQ(rig.Image(0, 0x8000), expected);
    EXPECT_EQ(Sum8(rig.ui.image, 0x8000), 0);
}

TEST(PrepareProgramImage, UnreadableRomStopsBeforeBlocksAreLost) {
    Rig rig(Rom(0x10000, {}, Isr(1, 2)));
    rig.board->shortOnRead = 1;
    rig.cmd.keepIsrSn = 1;
    rig.Load(RomImageBuilder().Build());
    std::uint32_t length = 0;
    std::string out;
    EXPECT_EQ(rig.Prepare(&length, &out), CMD_READ_FAILED);
    EXPECT_EQ(out, "Failed to read ROM\n");
}

}  // namespace
