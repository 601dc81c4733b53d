// "-isr", "-prod" and "-checkprodsn": the ISR number and the production
// serial number kept at the end of the ROM.
#include <cstring>

#include "commands/CFlashCmd.h"
#include "commands/RomImage.h"
#include "commands/TailBlock.h"
#include "engine/CFlash.h"
#include "ui/Arguments.h"
#include "ui/CFlashUI.h"
#include "ui/WriteLoop.h"

namespace {

constexpr std::size_t kSerialLength = 12;

constexpr std::uint32_t kBlockNumberMax = 0xFFFFFFFFu;  // each number is a 32-bit field

bool SerialLengthValid(const char* serial) { return std::strlen(serial) == kSerialLength; }

// A serial number written to the ROM: twelve decimal digits, nothing else.
bool SerialDigitsValid(const char* serial) {
    return SerialLengthValid(serial) && std::strspn(serial, "0123456789") == kSerialLength;
}

// An adapter number too large for any adapter.
int NoSuchAdapter(CFlashUI& ui) {
    ui.ReportError(CMD_NO_ADAPTER);
    return CMD_NO_ADAPTER;
}

bool Select(CFlashCmd& cmd, std::uint32_t adapter) {
    return cmd.engine && cmd.SelectAdapter(adapter, cmd.engine->maxSegmentToScan, cmd.engine->maxBusToScan) == 1;
}

// Reads the whole ROM of the selected adapter; a ROM that cannot be read
// is named as "-rs" names it.
int ReadWholeRom(CFlashUI& ui, std::uint32_t adapter, std::uint32_t romSize) {
    const int r = ui.cmd->ReadRom(adapter, romSize);
    if (r == CMD_NO_ROM || r == CMD_READ_FAILED) ui.ReportError(r);
    return r;
}

// Selects the adapter, reads its ROM and checks the block: CMD_OK with the
// numbers, or the failure (its message printed).
int ReadTailBlock(CFlashUI& ui, const TailBlockFormat& format, std::uint32_t adapter, TailBlockNumbers* numbers) {
    CFlashCmd& cmd = *ui.cmd;
    if (!Select(cmd, adapter)) return NoSuchAdapter(ui);
    const std::uint32_t romSize = cmd.engine->romSize;
    // A ROM without room for the block, or beyond the 1 MiB buffer, has no
    // block to show; a ROM of size 0 is left to the read to report.
    if (romSize != 0 && !TailBlockFits(format, romSize)) {
        cmd.engine->CloseAccess();
        ui.Print(ui.log, format.notFound, int(adapter));
        return CMD_FAILED;
    }
    const int r = ReadWholeRom(ui, adapter, romSize);
    if (r != CMD_OK) return r;
    const std::uint8_t* block = cmd.romBuffer + romSize - format.distance;
    if (!TailBlockPresent(format, block)) {
        ui.Print(ui.log, format.notFound, int(adapter));
        return CMD_FAILED;
    }
    if (!TailBlockValid(format, block)) {
        ui.Print(ui.log, "%s", format.badChecksum);
        return CMD_FAILED;
    }
    *numbers = DecodeTailBlock(format, block);
    return CMD_OK;
}

int ShowTailBlock(CFlashUI& ui, const TailBlockFormat& format, std::uint32_t adapter) {
    TailBlockNumbers numbers;
    const int r = ReadTailBlock(ui, format, adapter, &numbers);
    if (r == CMD_OK) ui.Print(ui.log, format.shown, int(numbers.first), int(numbers.second));
    return r;
}

// Refusals of the state machine that stop a block write with a line of
// their own; null for the others.
const char* RefusalText(int state) {
    static constexpr struct {
        int state;
        const char* text;
    } kRefusals[] = {
        {.state = CMD_MEM_MISMATCH, .text = "Mem setting mismatched\n"},
        {.state = CMD_SSID_MISMATCH, .text = "SSID mismatched\n"},
        {.state = CMD_PN_MISMATCH, .text = "P/N mismatched\n"},
        {.state = CMD_SIG_FAIL, .text = "BIOS authentication signature mismatched\n"},
    };
    for (const auto& r : kRefusals)
        if (r.state == state) return r.text;
    return nullptr;
}

// Drives the programming state machine over the prepared image. The
// checks' refusals do not occur, since force is set.
class BlockWrite : public WriteLoop {
public:
    BlockWrite(CFlashUI& ui, std::uint32_t adapter, std::uint32_t length, const char* settingLine)
        : WriteLoop(ui, adapter), length_(length), settingLine_(settingLine) {}

private:
    int Step() override { return cmd_.ProgramRom(adapter_, ui_.image, length_); }
    int Show(int state) override {
        switch (state) {
        case CMD_CHECKS_PASSED:
        case CMD_MEM_OK:
        case CMD_SSID_OK:
        case CMD_PN_OK:
        case CMD_SIG_PASS: return kNextStep;
        case CMD_READY_TO_ERASE: ui_.Print(ui_.log, "%s", settingLine_); return kNextStep;
        default:
            if (const char* text = RefusalText(state)) ui_.Print(ui_.log, "%s", text);
            else ui_.ReportError(state);
            return state;
        }
    }
    int Report(int state) override {
        PrintProgramReport(ui_, state);
        return state;
    }

    std::uint32_t length_;
    const char* settingLine_;
};

// Puts a new block into the adapter's ROM: the whole ROM is read, the
// block placed in the copy, and the copy programmed.
int WriteTailBlock(CFlashUI& ui, const TailBlockFormat& format, std::uint32_t adapter, TailBlockNumbers numbers) {
    CFlashCmd& cmd = *ui.cmd;
    std::uint8_t block[TailBlockFormat::kMaxSize];
    EncodeTailBlock(format, numbers, block);
    if (!Select(cmd, adapter)) return NoSuchAdapter(ui);
    const std::uint32_t romSize = cmd.engine->romSize;
    if (romSize != 0 && !TailBlockFits(format, romSize)) {
        cmd.engine->CloseAccess();
        ui.Print(ui.log, format.cannotWrite, unsigned(romSize), int(adapter));
        return CMD_FAILED;
    }
    cmd.readsBeforeWrite = 1;
    const int r = ReadWholeRom(ui, adapter, romSize);
    cmd.readsBeforeWrite = 0;
    if (r != CMD_OK) return r;

    std::memcpy(ui.image, cmd.romBuffer, romSize);
    ui.imageLength = romSize;
    // A part smaller than the ROM read shows itself again past its end: the
    // block goes to the end of the part, and every copy shows it.
    const std::uint32_t part = cmd.PartShownIn(ui.image, romSize);
    const std::uint32_t at = part - format.distance;
    std::memcpy(ui.image + at, block, format.size);
    // Only a legacy image that reaches the block has its sum changed.
    if (LegacyImageReaches(ui.image, at)) cmd.FixLegacyChecksum(ui.image, part);
    RomImage::RepeatFirst(ui.image, romSize, part);

    cmd.force = 1;
    cmd.status = CMD_FAILED;
    char settingLine[80];
    std::snprintf(settingLine, sizeof settingLine, format.setting, int(numbers.first), int(numbers.second));
    // The copy in memory is the board's only copy of its ROM.
    cmd.holdsOnlyCopy = 1;
    const int result = BlockWrite(ui, adapter, romSize, settingLine).Run();
    cmd.holdsOnlyCopy = 0;
    return result;
}

}  // namespace

int CFlashUI::CmdIsr(int count, char** args) {
    if (count != 1 && count != 3) return CMD_USAGE;
    TailBlockNumbers numbers{};
    // Numbers stored in the ROM are taken only as typed in full.
    if (count == 3 && (!ParseFieldValue(args[1], 10, kBlockNumberMax, &numbers.first) ||
                       !ParseFieldValue(args[2], 10, kBlockNumberMax, &numbers.second)))
        return CMD_USAGE;
    std::uint32_t adapter = 0;
    if (!ParseAdapterLeniently(args[0], &adapter)) return NoSuchAdapter(*this);
    if (count == 1) return ShowIsrNumber(adapter);
    return WriteTailBlock(*this, IsrBlock, adapter, numbers);
}

int CFlashUI::CmdProd(int count, char** args) {
    if (count != 1 && (count != 2 || !SerialDigitsValid(args[1]))) return CMD_USAGE;
    std::uint32_t adapter = 0;
    if (!ParseAdapterLeniently(args[0], &adapter)) return NoSuchAdapter(*this);
    if (count == 1) return ShowProductionSerial(adapter);
    return WriteTailBlock(*this, ProdSnBlock, adapter, SplitSerialNumber(args[1]));
}

int CFlashUI::CmdCheckProdSn(int count, char** args) {
    if (count != 2 || !SerialLengthValid(args[1])) return CMD_USAGE;
    const TailBlockNumbers input = SplitSerialNumber(args[1]);
    TailBlockNumbers onRom;
    std::uint32_t adapter = 0;
    if (!ParseAdapterLeniently(args[0], &adapter)) return NoSuchAdapter(*this);
    const int r = ReadTailBlock(*this, ProdSnBlock, adapter, &onRom);
    if (r != CMD_OK) return r;
    const bool same = onRom.first == input.first && onRom.second == input.second;
    Print(log,
          same ? "Production Serial Number on Rom %06d%06d matched input Production Serial Number %06d%06d\n"
               : "Production Serial Number on Rom %06d%06d did not matched input Production Serial Number %06d%06d\n",
          int(onRom.first), int(onRom.second), int(input.first), int(input.second));
    return same ? CMD_OK : CMD_FAILED;
}

int CFlashUI::ShowIsrNumber(std::uint32_t adapter) { return ShowTailBlock(*this, IsrBlock, adapter); }

int CFlashUI::ShowProductionSerial(std::uint32_t adapter) { return ShowTailBlock(*this, ProdSnBlock, adapter); }
