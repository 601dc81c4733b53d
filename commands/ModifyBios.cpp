// Editing the subsystem IDs, the BIOS part number and the boot message of
// the video BIOS already in an adapter's ROM, then writing the ROM back:
// two step functions that share their start and their erase, write and
// verify steps.
#include <algorithm>
#include <cstring>
#include <vector>

#include "commands/CFlashCmd.h"
#include "commands/RomImage.h"
#include "engine/CFlash.h"

namespace {

// Adapters whose images keep a 14-bit SSID in bits 16-29 of the ID dwords;
// bits 30-31 there belong to something else.
struct DeviceIdRange {
    std::uint16_t first;
    std::uint16_t last;
};
constexpr DeviceIdRange kNarrowSsidDeviceIds[] = {
    {0x5E48, 0x5E57}, {0x5648, 0x5653}, {0x3150, 0x3157}, {0x3E50, 0x3E57}, {0x5460, 0x5467}, {0x5B60, 0x5B67},
};

bool IsNarrowSsidDevice(std::uint16_t deviceId) {
    for (const DeviceIdRange& r : kNarrowSsidDeviceIds)
        if (deviceId >= r.first && deviceId <= r.last) return true;
    return false;
}

constexpr std::uint32_t kSsidHalf = 0xFFFF0000;
constexpr std::uint32_t kSvidHalf = 0x0000FFFF;
constexpr std::uint32_t kNarrowSsidBits = 0x3FFF0000;
constexpr std::uint32_t kNarrowIdBits = 0x3FFFFFFF;
constexpr std::uint32_t kNarrowTopBits = 0xC0000000;
constexpr std::uint16_t kNarrowSsidMax = 0x3FFF;

// Places of the IDs in the first image. The split form keeps each ID in
// bits 1-16 of its own dword.
constexpr std::uint32_t kIdsAt76 = 0x76;
constexpr std::uint32_t kIdsAt74 = 0x74;
constexpr std::uint32_t kIdsAt7C = 0x7C;
constexpr std::uint32_t kSplitSsidAt = 0x74;
constexpr std::uint32_t kSplitSvidAt = 0x80;
constexpr std::uint32_t kSplitField = 0x1FFFE;

constexpr std::uint32_t kVelkPartNumberRoom = 20;
constexpr std::uint32_t kPartNumberReadMax = 63;
constexpr std::size_t kTextMax = 127;  // characters of a 128-byte text

bool IsCrLf(std::uint8_t c) { return c == '\r' || c == '\n'; }

std::uint32_t Splice(std::uint32_t dword, std::uint32_t field, std::uint32_t value) {
    return (dword & ~field) | (value & field);
}

}  // namespace

struct CFlashCmd::IdPlace {
    bool split = false;       // bits 1-16 of the dwords at 0x74 (SSID) and 0x80 (SVID)
    std::uint32_t offset = 0; // the dword holding both IDs otherwise
};

// ---------------------------------------------------------------------------
// Entry points

int CFlashCmd::ModifyId(std::uint32_t adapter, std::uint32_t& value, std::uint16_t program) {
    if (status == CMD_CHECKS_PASSED || status == CMD_READY_TO_ERASE || status == CMD_ERASED)
        return EndIfFinished(adapter, ModifyContinue());
    return EndIfFinished(adapter, ModifyStart(adapter, value, false, program));
}

int CFlashCmd::ModifyBiosInfo(std::uint32_t adapter, std::uint32_t& value) {
    if (status == CMD_EDIT_READY) {
        const bool bootMessageRefused = modifyBootMessage == 1 && oldHeaderIsVelk != 1;
        if (ssidOverflow == 1 || bootMessageRefused || programAfterEdit != 1)
            return EndIfFinished(adapter, status = CMD_EDIT_STOPPED);
        return status = CMD_CHECKS_PASSED;
    }
    if (status == CMD_CHECKS_PASSED || status == CMD_READY_TO_ERASE || status == CMD_ERASED)
        return EndIfFinished(adapter, ModifyContinue());
    return EndIfFinished(adapter, ModifyStart(adapter, value, true, 0));
}

// ---------------------------------------------------------------------------
// Start step

// Selection and the whole ROM into romBuffer, checked to hold a legacy
// image; CMD_OK, or the ending result with access closed.
int CFlashCmd::ModifyReadRom(std::uint32_t adapter, bool writes) {
    if (!engine || SelectAdapter(adapter, engine->maxSegmentToScan, engine->maxBusToScan) != 1)
        return CMD_NO_ADAPTER;
    auto close = [this](int result) {
        engine->CloseAccess();
        return result;
    };
    if (engine->romSize == 0) return close(CMD_NO_ROM);
    ApplyForcedSerialType();

    const std::uint32_t wanted = std::min(engine->romSize, kRomBufferSize);
    bytesRead = engine->Read(0, wanted, romBuffer);
    if (bytesRead != wanted) return close(CMD_READ_FAILED);
    // Only the first MiB fits the buffer: erasing a larger part and writing
    // that back would lose the rest, so such a ROM is shown but not edited.
    if (writes && engine->romSize > kRomBufferSize) return close(CMD_READ_FAILED);

    std::vector<RomImageEntry> chain;
    ParseImageChain(chain, romBuffer, bytesRead);
    if (chain.empty() || chain.front().imageType == IMAGE_EFI) return close(CMD_INVALID_IMAGE);
    oldImageValid = std::uint16_t(engine->BIOSCheck(0, bytesRead, romBuffer));
    if (oldImageValid != 1) return close(CMD_INVALID_IMAGE);
    if (writes) editOriginal_.assign(romBuffer, romBuffer + bytesRead);
    return CMD_OK;
}

int CFlashCmd::ModifyStart(std::uint32_t adapter, std::uint32_t& value, bool biosInfo, std::uint16_t program) {
    UnprotectRom(adapter);
    partTouched_ = false;
    const std::uint32_t newValue = value;
    bytesProgrammed = 0;
    bytesVerified = 0;
    oldImageValid = 0;
    bootLineMissing = 0;
    if (biosInfo) ssidOverflow = 0;
    const int read = ModifyReadRom(adapter, biosInfo || program == 1);
    if (read != CMD_OK) return status = read;
    auto close = [this](int result) {
        engine->CloseAccess();
        return status = result;
    };

    const ImageHeaderEffect header = RomImage::ReadHeader(romBuffer, bytesRead);
    oldHeader = romBuffer + header.headerOffset;
    oldHeaderIsVelk = header.isVelk;
    const std::uint64_t idsAt =
        std::uint64_t(header.headerOffset) + (header.isVelk ? VelkRomHeader::kSvid : VelkRomHeader::kPlainSvid);
    editHeaderIdsAt_ = idsAt + 4 <= bytesRead ? std::uint32_t(idsAt) : 0;
    const std::uint32_t configDevice =
        engine->ReadPciConfigDword(engine->pciSegment, engine->pciBus, engine->pciDevfn, kPciVendorId);
    const std::uint32_t configIds =
        engine->ReadPciConfigDword(engine->pciSegment, engine->pciBus, engine->pciDevfn, kPciSubsystem);
    const std::uint32_t headerIds = editHeaderIdsAt_ ? RomImage::ReadU32(romBuffer, bytesRead, editHeaderIdsAt_) : 0;
    editNarrowSsid_ = IsNarrowSsidDevice(std::uint16_t(configDevice >> 16));

    // Left over from an earlier package command too, as the adapter cannot
    // take it either way.
    if (biosInfo && editNarrowSsid_ && modifySsidValue > kNarrowSsidMax) {
        ssidOverflow = 1;
        return status = CMD_EDIT_READY;
    }

    const std::uint32_t mask = !editNarrowSsid_ ? kSsidHalf : biosInfo ? kNarrowSsidBits : kNarrowIdBits;
    IdPlace place;
    if (!FindIdPlace(place, configIds, headerIds, mask)) return close(CMD_INVALID_IMAGE);
    if (!biosInfo || modifySsid == 1 || modifySvid == 1) EditIds(place, value, newValue, biosInfo);

    if (!biosInfo) {
        if (program != 1) return close(CMD_OK);
        FixEditedChecksum();
        return status = CMD_CHECKS_PASSED;
    }
    if (modifyPartNumber == 1 && EditPartNumber() != CMD_OK) return status = CMD_INVALID_IMAGE;
    if (modifyBootMessage == 1 && oldHeaderIsVelk == 1 && EditBootMessage() != CMD_OK) {
        bootLineMissing = 1;
        return close(CMD_INVALID_IMAGE);
    }
    if (modifySsid != 1 && modifySvid != 1 && modifyPartNumber != 1 && modifyBootMessage != 1) return close(CMD_OK);
    FixEditedChecksum();
    return status = CMD_EDIT_READY;
}

bool CFlashCmd::FindIdPlace(IdPlace& place, std::uint32_t configIds, std::uint32_t headerIds, std::uint32_t mask) {
    auto at = [this](std::uint32_t offset) { return RomImage::ReadU32(romBuffer, bytesRead, offset); };
    const std::uint32_t targets[] = {configIds, headerIds};
    for (std::uint32_t target : targets)
        if (((at(kIdsAt76) ^ target) & mask) == 0) {
            place.offset = kIdsAt76;
            return true;
        }
    for (std::uint32_t offset : {kIdsAt74, kIdsAt7C})
        for (std::uint32_t target : targets)
            if (at(offset) == target) {
                place.offset = offset;
                return true;
            }
    const std::uint32_t split = ((at(kSplitSsidAt) & kSplitField) << 15) | ((at(kSplitSvidAt) & kSplitField) >> 1);
    if (split == headerIds || split == configIds) {
        place.split = true;
        return true;
    }
    return false;
}

void CFlashCmd::EditIds(const IdPlace& place, std::uint32_t& value, std::uint32_t newValue, bool biosInfo) {
    std::uint32_t halves = kSsidHalf | kSvidHalf;
    if (biosInfo) halves = (modifySsid == 1 ? kSsidHalf : 0) | (modifySvid == 1 ? kSvidHalf : 0);
    auto load = [this](std::uint32_t offset) { return RomImage::ReadU32(romBuffer, bytesRead, offset); };
    auto store = [this](std::uint32_t offset, std::uint32_t v) { RomImage::WriteU32(romBuffer, bytesRead, offset, v); };

    if (place.split) {
        std::uint32_t ssidWord = load(kSplitSsidAt);
        std::uint32_t svidWord = load(kSplitSvidAt);
        value = ((ssidWord & kSplitField) << 15) | ((svidWord & kSplitField) >> 1);
        if (halves & kSsidHalf) store(kSplitSsidAt, Splice(ssidWord, kSplitField, (newValue >> 16) << 1));
        if (halves & kSvidHalf) store(kSplitSvidAt, Splice(svidWord, kSplitField, (newValue & kSvidHalf) << 1));
    } else {
        std::uint32_t ids = load(place.offset);
        const std::uint32_t ssidBits = editNarrowSsid_ ? kNarrowSsidBits : kSsidHalf;
        value = ids & (ssidBits | kSvidHalf);
        std::uint32_t written = Splice(ids, halves & ssidBits, newValue);
        written = Splice(written, halves & kSvidHalf, newValue);
        // The top two bits of a 16-bit SSID are kept in the bits the
        // adapter uses for itself ("-mi" only).
        if (editNarrowSsid_ && !biosInfo) written |= newValue & kNarrowTopBits;
        store(place.offset, written);
    }
    if (editHeaderIdsAt_) {
        const std::uint32_t headerIds = load(editHeaderIdsAt_);
        store(editHeaderIdsAt_, Splice(headerIds, halves, newValue));
    }
}

void CFlashCmd::FixEditedChecksum() {
    // Without this the edited ROM fails the BIOS check: the next edit or
    // "-p" would take it for an invalid image.
    if (oldHeaderIsVelk == 1)
        ImageChecksumFixup(romBuffer, bytesRead);
    else
        FixLegacyChecksum(romBuffer, bytesRead);
}

// ---------------------------------------------------------------------------
// Part number and boot message

int CFlashCmd::EditPartNumber() {
    char raw[kPartNumberReadMax + 1];
    partNumberRoom = GetPartNumber(romBuffer, bytesRead, raw, kPartNumberReadMax, 1);
    GetPartNumber(romBuffer, bytesRead, currentPartNumber, kPartNumberReadMax, 0);
    if (oldHeaderIsVelk == 1) partNumberRoom = kVelkPartNumberRoom;
    if (!RomImage::IsImage(romBuffer, bytesRead)) return CMD_INVALID_IMAGE;

    const std::size_t length = std::strlen(modifyPartNumberText);
    auto put = [this](std::uint64_t at, std::uint8_t c) {
        if (at < bytesRead) romBuffer[at] = c;
    };
    if (oldHeaderIsVelk == 1) {
        const std::uint32_t pos = RomImage::ReadU16(romBuffer, bytesRead, PciExpansionRomHeader::kPartNumberOffset);
        const std::uint32_t start = pos ? pos : PciExpansionRomHeader::kDefaultPartNumber;
        if (pos != 0) {
            std::uint32_t end = start;
            while (end < bytesRead && end - start < kVelkPartNumberRoom && romBuffer[end] != 0) ++end;
            while (end < bytesRead && end - start < kVelkPartNumberRoom && romBuffer[end] == 0) ++end;
            partNumberRoom = end - start;
        }
        for (std::uint32_t i = 0; i < partNumberRoom; ++i) {
            std::uint8_t c = 0;
            if (i < length) c = std::uint8_t(modifyPartNumberText[i]);
            else if (pos != 0 && i + 1 < partNumberRoom) c = ' ';
            put(std::uint64_t(start) + i, c);
        }
        return CMD_OK;
    }
    const std::uint32_t start = PciExpansionRomHeader::kPlainProductName;
    put(PciExpansionRomHeader::kDefaultPartNumber, '\r');
    put(PciExpansionRomHeader::kDefaultPartNumber + 1, '\n');
    for (std::uint32_t i = 0; i < partNumberRoom; ++i)
        put(std::uint64_t(start) + i, i < length ? std::uint8_t(modifyPartNumberText[i]) : std::uint8_t(' '));
    return CMD_OK;
}

int CFlashCmd::EditBootMessage() {
    const std::uint32_t pos = RomImage::ReadU16(romBuffer, bytesRead, PciExpansionRomHeader::kPartNumberOffset);
    std::uint32_t at = PciExpansionRomHeader::kDefaultStringArea;
    if (pos != 0) {
        at = pos;
        while (at < bytesRead && romBuffer[at] != 0) ++at;
        while (at < bytesRead && romBuffer[at] == 0) ++at;
        at = std::min(at, pos + kVelkPartNumberRoom);
    }
    // Three NUL bytes, wherever they stand, come before the message line.
    for (int nuls = 0; nuls < 3; ++at) {
        if (at >= bytesRead) return CMD_INVALID_IMAGE;
        if (romBuffer[at] == 0) ++nuls;
    }
    while (at < bytesRead && IsCrLf(romBuffer[at])) ++at;
    std::uint32_t end = at;
    while (end < bytesRead && !IsCrLf(romBuffer[end])) ++end;
    if (end >= bytesRead) return CMD_INVALID_IMAGE;

    bootMessageRoom = end - at;
    const std::size_t shown = std::min<std::size_t>(bootMessageRoom, kTextMax);
    std::memcpy(currentBootMessage, romBuffer + at, shown);
    currentBootMessage[shown] = '\0';
    if (char* blanks = std::strstr(currentBootMessage, "  ")) *blanks = '\0';

    const std::size_t length = std::strlen(modifyBootMessageText);
    for (std::uint32_t i = 0; i < bootMessageRoom; ++i)
        romBuffer[at + i] = i < length ? std::uint8_t(modifyBootMessageText[i]) : std::uint8_t(' ');
    return CMD_OK;
}

// ---------------------------------------------------------------------------
// Erase, write and verify

int CFlashCmd::ModifyContinue() {
    if (status == CMD_CHECKS_PASSED) {
        // A part smaller than the ROM read shows itself again past its end:
        // the edit goes to every copy, as they are the same cells.
        if (editOriginal_.size() == bytesRead)
            RomImage::RepeatFirst(romBuffer, bytesRead, PartShownIn(editOriginal_.data(), bytesRead));
        // The ROM exists only in memory now: each failed step is tried again.
        SequenceTarget target;
        target.holdLength = bytesRead;
        target.writeEnd = bytesRead;
        target.reportLength = bytesRead;
        target.partSize = GetAdapterRomInfo(std::uint8_t(currentAdapter)).romSize;
        BeginSequence(SequenceAttempts(true), target);
        original_ = editOriginal_;
        return status = CMD_READY_TO_ERASE;
    }
    // Only parts that erase as a whole are rewritten here; access stays
    // open for the handler.
    if (status == CMD_READY_TO_ERASE)
        return status = engine->bulkEraseOnly == 1 ? EditErase() : CMD_NOT_ERASED;
    for (;;) {
        const int written = SequenceWrite();
        if (written == CMD_OK || !retryPending_) {
            engine->CloseAccess();
            return status = written;
        }
        // Erased again from a fresh identification, then written again.
        if (!SequenceIdentify(currentAdapter)) return status = CMD_FAILED;
        if (EditErase() != CMD_ERASED) return status = CMD_NOT_ERASED;
    }
}

int CFlashCmd::EditErase() {
    for (;;) {
        if (ReadyToErase() && SequenceErase() == CMD_ERASED) return CMD_ERASED;
        do {
            if (!retryPending_) return CMD_NOT_ERASED;
        } while (!EraseRetryReady());
        if (!SequenceIdentify(currentAdapter)) return CMD_NOT_ERASED;
    }
}
