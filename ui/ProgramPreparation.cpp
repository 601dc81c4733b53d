// What "-p" does to a loaded image before programming it: the on-board
// memory-training table ("-excl_memtrain_dtable") and the ISR and serial
// number blocks ("-keepisrsn", "-keepprodsn") carried over from the ROM.
#include <cstring>

#include "commands/CFlashCmd.h"
#include "commands/RomImage.h"
#include "commands/TailBlock.h"
#include "engine/CFlash.h"
#include "ui/CFlashUI.h"

namespace {

// Offset of the training table's word inside the master data table.
constexpr std::uint32_t kTrainingTableOffset = 0x3E;

// Where a BIOS keeps its memory-training table, read through the bounded
// accessors (a word outside the valid bytes reads 0).
struct TrainingTable {
    std::uint16_t header = 0;
    std::uint16_t masterData = 0;
    std::uint16_t table = 0;
    std::uint16_t size = 0;  // the size word is part of the table
};

TrainingTable FindTrainingTable(CFlashUI& ui, const std::uint8_t* image, std::uint32_t length, const char* which) {
    TrainingTable t;
    t.header = RomImage::ReadU16(image, length, PciExpansionRomHeader::kVelkHeaderOffset);
    ui.Print(ui.log, "ROM header offset (%s): %04x\n", which, unsigned(t.header));
    t.masterData = RomImage::ReadU16(image, length, std::size_t(t.header) + VelkRomHeader::kMasterDataTable);
    ui.Print(ui.log, "Master data table offset (%s): %04x\n", which, unsigned(t.masterData));
    t.table = RomImage::ReadU16(image, length, std::size_t(t.masterData) + kTrainingTableOffset);
    ui.Print(ui.log, "MemoryTrainingInfo offset (%s): %04x\n", which, unsigned(t.table));
    t.size = RomImage::ReadU16(image, length, t.table);
    ui.Print(ui.log, "table size (%s): %04x\n", which, unsigned(t.size));
    return t;
}

void PrintChecksumState(CFlashUI& ui, const char* when) {
    const std::uint8_t* image = ui.image;
    const std::uint32_t length = ui.imageLength;
    const std::uint16_t header = RomImage::ReadU16(image, length, PciExpansionRomHeader::kVelkHeaderOffset);
    const std::uint16_t crcAt = RomImage::ReadU16(image, length, std::size_t(header) + VelkRomHeader::kCrcOffset);
    ui.Print(ui.log, "New BIOS data %s flash: size=%04x, checksum=%02x, crc=%08x\n", when,
             unsigned(image[PciExpansionRomHeader::kSize512]) * 512,
             unsigned(length > PciExpansionRomHeader::kChecksum ? image[PciExpansionRomHeader::kChecksum] : 0),
             unsigned(RomImage::ReadU32(image, length, crcAt)));
}

int CopyMemoryTrainingTable(CFlashUI& ui, std::uint32_t adapter) {
    CFlashCmd& cmd = *ui.cmd;
    int r = cmd.ReadRom(adapter, ui.imageLength);
    // An image longer than the ROM: the on-board table lies in what the ROM
    // holds, and the size check refuses the image later.
    if (r == CMD_BEYOND_REACH) r = cmd.ReadRom(adapter, cmd.romReach.length);
    if (r != CMD_OK) {
        ui.ReportError(r);
        return r;
    }
    const TrainingTable onboard = FindTrainingTable(ui, cmd.romBuffer, cmd.bytesRead, "on-board BIOS");
    const TrainingTable fresh = FindTrainingTable(ui, ui.image, ui.imageLength, "new BIOS");
    if (onboard.size != fresh.size) {
        ui.Print(ui.log, "Error: Memory training table sizes of onboard BIOS and new BIOS do not match.  Abort.\n");
        cmd.status = CMD_FAILED;
        return CMD_FAILED;
    }
    // Bytes past what was read, or past the new image, would be stale
    // buffer content rather than a table.
    if (std::uint32_t(onboard.table) + onboard.size > cmd.bytesRead ||
        std::uint32_t(fresh.table) + fresh.size > ui.imageLength) {
        ui.Print(ui.log, "Error: Memory training table lies outside the onboard BIOS or the new BIOS.  Abort.\n");
        cmd.status = CMD_FAILED;
        return CMD_FAILED;
    }
    for (std::uint32_t j = 0; j < onboard.size; ++j) {
        const std::uint8_t b = cmd.romBuffer[onboard.table + j];
        ui.image[fresh.table + j] = b;
        ui.Print(ui.log, "Copying from onboard BIOS to new BIOS: %04x\n", unsigned(b));
    }
    PrintChecksumState(ui, "before");
    cmd.ImageChecksumFixup(ui.image, ui.imageLength);
    PrintChecksumState(ui, "after");
    return CMD_OK;
}

// The tail blocks of the ROM, copied into the image at the same place;
// programLength becomes the ROM size when a block can be kept.
int KeepTailBlocks(CFlashUI& ui, std::uint32_t adapter, std::uint32_t romSize, std::uint32_t& programLength) {
    CFlashCmd& cmd = *ui.cmd;
    // The blocks of a ROM beyond the 1 MiB buffers cannot be carried, and
    // programming the image alone would lose them: refuse before any write.
    if (romSize > kRomBufferSize) {
        if (cmd.engine) cmd.engine->CloseAccess();
        ui.Print(ui.log, "Can not keep ISR/SN data of a 0x%X length rom!\n", unsigned(romSize));
        return CMD_FAILED;
    }
    // An image longer than the ROM is programmed at its own length, so the
    // size check refuses it instead of cutting it short.
    if (ui.imageLength > romSize) return CMD_OK;
    struct Kept {
        bool wanted;
        const TailBlockFormat& format;
    };
    const Kept kept[] = {{cmd.keepIsrSn != 0, IsrBlock}, {cmd.keepProdSn != 0, ProdSnBlock}};
    bool anyFits = false;
    for (const Kept& k : kept) anyFits = anyFits || (k.wanted && TailBlockFits(k.format, romSize));
    if (!anyFits) return CMD_OK;

    // Between the image and the blocks the ROM gets erased bytes, never
    // what an earlier command left in the buffer.
    std::memset(ui.image + ui.imageLength, 0xFF, romSize - ui.imageLength);
    cmd.readsBeforeWrite = 1;
    const int r = cmd.ReadRom(adapter, romSize);
    cmd.readsBeforeWrite = 0;
    // Programming on without the blocks would erase them.
    if (r != CMD_OK) {
        ui.ReportError(r);
        return r;
    }
    // A part smaller than the ROM read shows itself again past its end:
    // its blocks are at the end of the part.
    const std::uint32_t part = cmd.PartShownIn(cmd.romBuffer, romSize);
    if (part < romSize && ui.imageLength <= part) romSize = part;
    for (const Kept& k : kept) {
        if (!k.wanted || !TailBlockFits(k.format, romSize)) continue;
        const std::uint32_t at = romSize - k.format.distance;
        if (!TailBlockPresent(k.format, cmd.romBuffer + at)) continue;
        std::memcpy(ui.image + at, cmd.romBuffer + at, k.format.size);
        if (LegacyImageReaches(ui.image, at))
            cmd.ImageChecksumFixup(ui.image, romSize);
    }
    programLength = romSize;
    return CMD_OK;
}

}  // namespace

int CFlashUI::PrepareProgramImage(std::uint32_t adapter, std::uint32_t& programLength) {
    programLength = imageLength;
    if (!cmd->engine) return CMD_NO_ADAPTER;
    if (cmd->exclMemTrainTable) {
        const int r = CopyMemoryTrainingTable(*this, adapter);
        if (r != CMD_OK) return r;
    }
    const bool selected = cmd->SelectAdapter(adapter, cmd->engine->maxSegmentToScan, cmd->engine->maxBusToScan) == 1;
    // No adapter, no blocks to keep; programming then reports it.
    const std::uint32_t romSize = selected ? std::uint32_t(cmd->engine->romSize) : 0;
    if (!cmd->keepIsrSn && !cmd->keepProdSn) return CMD_OK;
    return KeepTailBlocks(*this, adapter, romSize, programLength);
}
