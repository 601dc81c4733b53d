// Programming state machine: one step per call, the state in `status`.
// The caller reacts to each state (prints, stops, retries) and calls again.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "commands/CFlashCmd.h"
#include "commands/RomDirectory.h"
#include "commands/TailBlock.h"
#include "commands/TextTokens.h"
#include "engine/CFlash.h"

namespace {

constexpr std::uint32_t kRetainWindow = 256;
// A TEV_MIB board whose read-back differs holds this many bytes.
constexpr std::uint32_t kMibDeviceBytes = 128;
// Indirect register pair and the register holding the board's strap bits.
constexpr std::uint32_t kIndexRegister = 0x100;
constexpr std::uint32_t kDataRegister = 0x104;
constexpr std::uint32_t kStrapRegister = 0x20C;
constexpr std::uint32_t kStrapShift = 9;
// Families up to this one carry no signed images.
constexpr std::uint32_t kLastUnsignedFamily = KOV_JESPA_BEVRIN;
constexpr std::size_t kVersionTokens = 10;
constexpr std::size_t kPartNumberCompared = 10;

// What the ROM must hold at i after programming: the image, erased past it.
std::uint8_t Expected(const std::uint8_t* image, std::uint32_t length, std::uint32_t i) {
    return i < length ? image[i] : 0xFF;
}

bool StrapDevice(std::uint16_t id) {
    return (id >= 0x6600 && id <= 0x663F) || (id >= 0x6780 && id <= 0x679F) || (id >= 0x6800 && id <= 0x681F);
}

bool HeaderIsVelk(const std::uint8_t* buffer, std::uint32_t header) {
    return std::uint64_t(header) + VelkRomHeader::kSignature + 4 <= kRomBufferSize &&
           std::memcmp(buffer + header + VelkRomHeader::kSignature, "VELK", 4) == 0;
}

std::uint16_t HeaderOffset(const std::uint8_t* buffer) {
    return RomImage::ReadU16(buffer, kRomBufferSize, PciExpansionRomHeader::kVelkHeaderOffset);
}

// True when the new version is older than the old one, token by token; a
// token missing on the ROM side accepts, one missing in the file refuses.
bool VersionIsOlder(const char* oldVersion, const char* newVersion) {
    char oldCopy[kRomStringSize], newCopy[kRomStringSize];
    const char* oldTokens[kVersionTokens] = {};
    const char* newTokens[kVersionTokens] = {};
    const std::size_t oldCount = SplitTokens(oldVersion, '.', oldCopy, sizeof oldCopy, oldTokens, kVersionTokens);
    const std::size_t newCount = SplitTokens(newVersion, '.', newCopy, sizeof newCopy, newTokens, kVersionTokens);
    for (std::size_t i = 0; i < kVersionTokens; ++i) {
        if (i >= oldCount) return false;
        if (i >= newCount) return true;
        const std::int32_t o = std::int32_t(std::strtol(oldTokens[i], nullptr, 10));
        const std::int32_t n = std::int32_t(std::strtol(newTokens[i], nullptr, 10));
        if (o != n) return o > n;
    }
    return false;
}

// The part number as the P/N check sees it: the line at the word 0x6E
// points to (0x80 when 0), NULs included, cut to the "1xx-" form.
void ExtractPartNumber(const std::uint8_t* buffer, char (&out)[32]) {
    std::memset(out, 0, sizeof out);
    std::uint32_t p = RomImage::ReadU16(buffer, kRomBufferSize, PciExpansionRomHeader::kPartNumberOffset);
    if (p == 0) p = PciExpansionRomHeader::kDefaultPartNumber;
    auto lineEnd = [&](std::uint32_t i) { return buffer[i] == '\r' || buffer[i] == '\n'; };
    if (lineEnd(p)) {
        ++p;
        if (lineEnd(p)) ++p;
    }
    std::size_t n = 0;
    while (n < sizeof out - 1 && p < kRomBufferSize && !lineEnd(p)) out[n++] = char(buffer[p++]);
    out[n] = '\0';
    if (n <= 3) return;
    for (std::size_t i = 0; i + 4 <= n; ++i) {
        if (out[i] != '1' || out[i + 3] != '-') continue;
        std::size_t k = 0;
        while (i + k < n && out[i + k] != '\0' && out[i + k] != ' ') {
            out[k] = out[i + k];
            ++k;
        }
        out[k] = '\0';
        return;
    }
}

}  // namespace

int CFlashCmd::ProgramRom(std::uint32_t adapter, std::uint8_t* image, std::uint32_t length) {
    switch (status) {
    case CMD_CHECKS_PASSED: status = CMD_READY_TO_ERASE; break;
    case CMD_READY_TO_ERASE: status = EraseForProgramming(adapter, image, length); break;
    case CMD_ERASED: status = WriteAndVerify(image, length); break;
    case CMD_MEM_OK: status = CheckSsid(image, length); break;
    case CMD_SSID_OK: status = CheckPartNumber(image, length); break;
    case CMD_PN_OK: status = CheckSignature(image, length); break;
    case CMD_SIG_PASS: status = CMD_CHECKS_PASSED; break;
    case CMD_FW_WRITE: status = WriteFirmwareChunk(image, length); break;
    case CMD_FW_VERIFY: status = FinishFirmware(image, length); break;
    case CMD_FW_DONE: status = CMD_OK; break;
    default: status = ProgramStart(adapter, image, length); break;
    }
    return EndIfFinished(adapter, status);
}

int CFlashCmd::ProgramStart(std::uint32_t adapter, std::uint8_t* image, std::uint32_t length) {
    // Both buffers hold 1 MiB: a longer run would read and write past them.
    if (!engine || !image || length > kRomBufferSize) return CMD_FAILED;
    bytesProgrammed = 0;
    bytesVerified = 0;
    newImageValid = 0;
    oldImageValid = 0;
    preserveApplied = 0;
    retainSaved_ = false;
    retainActive_ = false;
    eraseTried_ = false;
    partTouched_ = false;
    protectionFound_ = ProtectionFound::Untouched;
    if (SelectAdapter(adapter, engine->maxSegmentToScan, engine->maxBusToScan) != 1) return CMD_NO_ADAPTER;
    // An image the ROM cannot hold is refused before the erase, with the
    // protection left as it was found.
    if (length <= GetAdapterRomInfo(std::uint8_t(adapter)).romSize) {
        UnprotectRom(adapter);
        if (SelectAdapter(adapter, engine->maxSegmentToScan, engine->maxBusToScan) != 1) return CMD_NO_ADAPTER;
    }
    if (engine->flashType == TYPE_SII1930) return CMD_FW_START;
    if (engine->romSize == 0) {
        engine->CloseAccess();
        return CMD_NO_ROM;
    }

    ApplyForcedSerialType();

    // The checks see the ROM as far as it reaches: the board's own BIOS
    // whatever the image's length, and what lies past the image.
    const std::uint32_t judged =
        engine->asicFamily == TEV_MIB ? length : std::max(length, std::min(engine->romSize, kRomBufferSize));
    engine->romSize = judged;
    bytesRead = engine->Read(0, judged, romBuffer);
    if (bytesRead != judged && !SilentPartAsBlank(judged)) {
        engine->CloseAccess();
        return CMD_READ_FAILED;
    }
    if (engine->asicFamily == TEV_MIB) {
        newImageValid = 1;
    } else {
        InspectImages(image, length);
        MergeRomSettings(image, length);
    }
    // The engine works on the image's length from here on; the ROM buffer
    // keeps the wider read for the checks.
    engine->romSize = length;
    bytesRead = length;
    romReadLength_ = judged;
    return ProgramChecks(adapter, image, length, judged);
}

void CFlashCmd::InspectImages(std::uint8_t* image, std::uint32_t length) {
    newImageValid = std::uint16_t(engine->BIOSCheck(0, length, image) == 1);
    newBiosSize = GetBiosSize(image);
    oldImageValid = std::uint16_t(engine->BIOSCheck(0, bytesRead, romBuffer) == 1);
    oldBiosSize = GetBiosSize(romBuffer);

    if (oldBiosSize != 0 && oldImageValid == 1) {
        const std::uint16_t header = HeaderOffset(romBuffer);
        oldHeader = romBuffer + header;
        oldHeaderIsVelk = HeaderIsVelk(romBuffer, header);
        TakeRowStrings(adapters[currentAdapter], romBuffer, std::min(bytesRead, kRomBufferSize));
    }
    if (newBiosSize != 0 && newImageValid == 1) {
        const std::uint16_t header = HeaderOffset(image);
        ParseFileImage(image, length);
        newHeader = image + header;
        newHeaderIsVelk = HeaderIsVelk(image, header);
    } else {
        // Nothing of an earlier command's image may show as this one's.
        fileImageInfo = FileImageInfo{};
    }
}

void CFlashCmd::MergeRomSettings(std::uint8_t* image, std::uint32_t length) {
    const std::uint32_t legacy = LegacyLength(image, length);
    bool legacyChanged = false;
    if (romBuffer[0] == 0x55 && romBuffer[1] == 0xAA && newBios != 1 && engine->preserveCount > 0) {
        // Offsets come from a text table: only bytes both buffers hold.
        const std::uint32_t limit = std::min(length, bytesRead);
        const std::uint32_t count = std::min<std::uint32_t>(engine->preserveCount, kPreserveListMax);
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t at = engine->preserveOffsets[i];
            if (at >= limit) continue;
            const std::uint8_t mask = engine->preserveMasks[i];
            const std::uint8_t merged = std::uint8_t((mask & romBuffer[at]) | (~mask & image[at]));
            legacyChanged |= at < legacy && merged != image[at];
            image[at] = merged;
        }
        preserveApplied = 1;
    }
    std::vector<RomImageEntry> chain;
    ParseImageChain(chain, image, length);
    if (!chain.empty() && chain[0].imageType == IMAGE_LEGACY) {
        const std::uint8_t before = image[PciExpansionRomHeader::kStrapByte];
        ApplyStrapBits(engine->deviceId, image);
        legacyChanged |=
            PciExpansionRomHeader::kStrapByte < legacy && image[PciExpansionRomHeader::kStrapByte] != before;
    }
    // A changed byte would make a valid image fail the BIOS check once
    // programmed.
    if (legacyChanged && newImageValid == 1) FixLegacyChecksum(image, length);
}

int CFlashCmd::ApplyStrapBits(std::uint16_t deviceId, std::uint8_t* image) {
    if (!engine || !StrapDevice(deviceId)) return 0;
    engine->WriteRegister(kIndexRegister, kStrapRegister);
    const std::uint32_t strap = (engine->ReadRegister(kDataRegister) >> kStrapShift) & 3;
    if (strap == 0) return 0;
    std::uint8_t& b = image[PciExpansionRomHeader::kStrapByte];
    b = std::uint8_t((b & 0xFC) | strap);
    return 1;
}

int CFlashCmd::ProgramChecks(std::uint32_t adapter, const std::uint8_t* image, std::uint32_t length,
                             std::uint32_t judged) {
    if (!force) {
        if (checkIdentical == 1 && RomHoldsImage(image, length, judged)) {
            engine->CloseAccess();
            return CMD_SAME_IMAGE;
        }
        // An invalid image has no version to compare; it is refused as
        // invalid below, for the reason it really has. A ROM that is no
        // valid BIOS has no version either: nothing to be older than.
        const bool oldVersionKnown = oldImageValid == 1 || engine->asicFamily == TEV_MIB;
        if (checkVersion == 1 && newImageValid == 1 && oldVersionKnown &&
            VersionIsOlder(adapters[adapter].biosVersion, fileImageInfo.biosVersion)) {
            engine->CloseAccess();
            return CMD_OLDER_VERSION;
        }
        if (newImageValid != 1) return CMD_INVALID_IMAGE;
    }
    return CheckMemorySetting(image, length);
}

std::uint32_t CFlashCmd::BytesHoldingImage(std::uint32_t romSize, const std::uint8_t* image,
                                           std::uint32_t length) const {
    // Past the image a ROM of romSize bytes reads erased, except where it
    // holds a tail block "-isr" or "-prod" would show: that stands as it is.
    std::uint32_t blockFrom[2] = {}, blockTo[2] = {};
    const TailBlockFormat* formats[] = {&IsrBlock, &ProdSnBlock};
    for (int k = 0; k < 2; ++k) {
        const TailBlockFormat& f = *formats[k];
        if (!TailBlockFits(f, romSize) || romSize - f.distance < length) continue;
        if (!TailBlockValid(f, romBuffer + romSize - f.distance)) continue;
        blockFrom[k] = romSize - f.distance;
        blockTo[k] = blockFrom[k] + f.size;
    }
    auto asItStands = [&](std::uint32_t i) {
        return (i >= blockFrom[0] && i < blockTo[0]) || (i >= blockFrom[1] && i < blockTo[1]);
    };
    std::uint32_t equal = 0;
    while (equal < romSize && (romBuffer[equal] == Expected(image, length, equal) || asItStands(equal))) ++equal;
    return equal;
}

bool CFlashCmd::RomHoldsImage(const std::uint8_t* image, std::uint32_t length, std::uint32_t judged) {
    bytesProgrammed = BytesHoldingImage(judged, image, length);
    if (bytesProgrammed == judged) return true;
    // A smaller part shows itself again past its end: it is judged alone.
    const std::uint32_t part = PartShownIn(romBuffer, judged);
    return part < judged && part >= length && BytesHoldingImage(part, image, length) == part;
}

int CFlashCmd::CheckMemorySetting(const std::uint8_t* image, std::uint32_t length) {
    if (newBiosSize == 0 || newImageValid != 1) return CheckSignature(image, length);
    if (oldBiosSize == 0 || oldImageValid != 1 || oldHeaderIsVelk || newHeaderIsVelk) return CheckSsid(image, length);
    auto setting = [](const std::uint8_t* buffer) {
        const std::uint32_t at =
            RomImage::ReadU16(buffer, kRomBufferSize, HeaderOffset(buffer) + VelkRomHeader::kMemSetting);
        return RomImage::ReadU16(buffer, kRomBufferSize, at);
    };
    oldMemSetting = setting(romBuffer);
    newMemSetting = setting(image);
    if (oldMemSetting != newMemSetting && !force && checkMemSetting == 1) {
        engine->CloseAccess();
        return CMD_MEM_MISMATCH;
    }
    return CMD_MEM_OK;
}

int CFlashCmd::CheckSsid(const std::uint8_t* image, std::uint32_t length) {
    if (newBiosSize == 0 || newImageValid != 1) return CheckSignature(image, length);
    if (oldBiosSize == 0 || oldImageValid != 1) return CheckPartNumber(image, length);
    auto ssid = [](const std::uint8_t* buffer) {
        const std::uint32_t header = HeaderOffset(buffer);
        const std::uint32_t field = HeaderIsVelk(buffer, header) ? VelkRomHeader::kSsid : VelkRomHeader::kPlainSsid;
        return RomImage::ReadU16(buffer, kRomBufferSize, header + field);
    };
    oldSsid = ssid(romBuffer);
    newSsid = ssid(image);
    if (oldSsid != newSsid && !force && checkSsid == 1) {
        engine->CloseAccess();
        return CMD_SSID_MISMATCH;
    }
    return CMD_SSID_OK;
}

int CFlashCmd::CheckPartNumber(const std::uint8_t* image, std::uint32_t length) {
    if (newBiosSize == 0 || newImageValid != 1 || oldBiosSize == 0 || oldImageValid != 1)
        return CheckSignature(image, length);
    ExtractPartNumber(romBuffer, oldPartNumber);
    ExtractPartNumber(image, newPartNumber);
    const bool applies = oldPartNumber[0] == '1' && oldPartNumber[3] == '-' && !force && checkPartNumber == 1;
    if (applies) {
        for (std::size_t i = 0; i < kPartNumberCompared && oldPartNumber[i] != '\0'; ++i) {
            if (oldPartNumber[i] != newPartNumber[i]) {
                engine->CloseAccess();
                return CMD_PN_MISMATCH;
            }
        }
    }
    return CMD_PN_OK;
}

int CFlashCmd::CheckSignature(const std::uint8_t* image, std::uint32_t length) {
    if (engine->asicFamily <= kLastUnsignedFamily) return CMD_CHECKS_PASSED;
    // Without the 55 AA of a legacy image there is no header, and no ROM
    // directory: a blank ROM the tail-block commands write into is such.
    if (length < 2 || image[0] != 0x55 || image[1] != 0xAA) return CMD_SIG_PASS;
    switch (CheckImageSignature(image, length, stderr)) {
    case SignatureCheck::NoDirectory: return CMD_SIG_PASS;
    case SignatureCheck::Pass:
        std::printf("%s\n", SignatureVerdictLine(SignatureVerdict::Pass));
        std::fflush(stdout);
        return CMD_SIG_PASS;
    case SignatureCheck::Fail: break;
    }
    engine->CloseAccess();
    return CMD_SIG_FAIL;
}

int CFlashCmd::EraseForProgramming(std::uint32_t adapter, const std::uint8_t* image, std::uint32_t length) {
    retryPending_ = false;
    if (!eraseTried_) {
        const std::uint64_t romSize = GetAdapterRomInfo(std::uint8_t(adapter)).romSize;
        // A part smaller than the ROM read shows itself again past its end:
        // an image longer than that part cannot go in, unless it shows the
        // part's content again the same way.
        std::uint64_t part = romSize;
        if (romSize <= romReadLength_ && romSize <= kRomBufferSize && length <= romSize) {
            const std::uint32_t period = PartShownIn(romBuffer, std::uint32_t(romSize));
            if (!RomImage::Repeats(image, length, period)) part = period;
        }
        if (length > part) {
            std::printf("Can not flash a 0x%x length image into a 0x%lx length rom!\n", length,
                        static_cast<unsigned long>(part));
            std::fflush(stdout);
            engine->CloseAccess();
            return CMD_NOT_ERASED;
        }
        SequenceTarget target;
        target.holdLength = std::uint32_t(std::min<std::uint64_t>(romSize, kRomBufferSize));
        // An I2C EEPROM keeps its own bytes past a shorter image: it needs no
        // erase, and its table size may be larger than the part, whose
        // addresses then wrap.
        if (engine->asicFamily == TEV_MIB || IsI2cEepromType(engine->flashType))
            target.holdLength = std::min(target.holdLength, length);
        target.reportLength = length;
        target.partSize = romSize;
        BeginSequence(SequenceAttempts(keepIsrSn != 0 || keepProdSn != 0 || holdsOnlyCopy != 0), target);
        // The checks read the part as found already.
        if (romReadLength_ >= target.holdLength) original_.assign(romBuffer, romBuffer + target.holdLength);
        eraseTried_ = true;
    } else if (!EraseRetryReady()) {
        return ReportNotErased();
    } else if (!SequenceIdentify(adapter)) {
        // A retry that cannot find the part fails as the write it retries.
        bytesProgrammed = 0;
        return CMD_FAILED;
    }
    // The engine works on the image's length; the sequence widens it to
    // the whole part for each of its steps.
    engine->romSize = length;
    bytesRead = length;
    if (!ReadyToErase()) return CMD_NOT_ERASED;
    FillProgramTarget(image, length);
    if (engine->bulkEraseOnly != 1) return WriteAndVerify(image, length);
    return SequenceErase() == CMD_ERASED ? CMD_ERASED : ReportNotErased();
}

bool CFlashCmd::SilentPartAsBlank(std::uint32_t n) {
    if (!engine->PartSilent()) return false;
    engine->acceptSilentPart = true;
    bytesRead = engine->Read(0, n, romBuffer);
    return bytesRead == n;
}

int CFlashCmd::ReportNotErased() {
    std::printf("programmed = %x, romsize = %x\n", bytesProgrammed, seq_.holdLength);
    std::fflush(stdout);
    return CMD_NOT_ERASED;
}

void CFlashCmd::FillProgramTarget(const std::uint8_t* image, std::uint32_t length) {
    const std::uint32_t hold = seq_.holdLength;
    for (std::uint32_t i = 0; i < hold; ++i) romBuffer[i] = Expected(image, length, i);
    // The window is taken from the part as found, once per run: a retry
    // after a failed erase would take blank bytes.
    if (engine->retainEnabled && !retainSaved_) {
        retainSaved_ = true;
        retainActive_ = RetainWindowFits(hold);
        if (retainActive_)
            std::copy_n(original_.begin() + engine->retainStart, kRetainWindow, engine->retainedBytes);
    }
    seq_.windowFrom = seq_.windowTo = 0;
    if (engine->retainEnabled && retainActive_) {
        const std::uint32_t from = engine->retainStart, to = from + kRetainWindow;
        std::copy_n(engine->retainedBytes, kRetainWindow, romBuffer + from);
        // The part of the window the image does not cover goes in after it.
        seq_.windowFrom = std::max(from, length);
        seq_.windowTo = std::max(to, length);
    }
    // A part that erases only what it writes gets 0xFF written to its end.
    seq_.writeEnd = length;
    if (engine->bulkEraseOnly != 1) {
        seq_.writeEnd = hold;
        seq_.windowFrom = seq_.windowTo = 0;
    }
}

bool CFlashCmd::RetainWindowFits(std::uint64_t romSize) {
    const std::uint64_t end = std::uint64_t(engine->retainStart) + kRetainWindow;
    if (end <= romSize) return true;
    std::printf("Retain window %X-%X lies outside the 0x%lx length rom: not kept\n", engine->retainStart,
                unsigned(end - 1), static_cast<unsigned long>(romSize));
    std::fflush(stdout);
    return false;
}

int CFlashCmd::WriteAndVerify(const std::uint8_t* image, std::uint32_t length) {
    const int result = SequenceWrite();
    if (result != CMD_OK && engine->asicFamily == TEV_MIB) RecountMibDevice(image, length);
    if (!retryPending_) engine->CloseAccess();
    return result;
}

void CFlashCmd::RecountMibDevice(const std::uint8_t* image, std::uint32_t length) {
    // The device holds 128 bytes: the image's last 128 went to it.
    engine->romSize = kMibDeviceBytes;
    bytesProgrammed = kMibDeviceBytes;
    // An image shorter than the device has no last 128 bytes to compare.
    if (length >= kMibDeviceBytes && verifyBuffer_.size() >= kMibDeviceBytes) {
        const std::uint32_t base = length - kMibDeviceBytes;
        bytesVerified = 0;
        while (bytesVerified < kMibDeviceBytes && verifyBuffer_[bytesVerified] == image[base + bytesVerified])
            ++bytesVerified;
    }
    bytesRead = kMibDeviceBytes;
}

int CFlashCmd::WriteFirmwareChunk(const std::uint8_t* image, std::uint32_t length) {
    partTouched_ = true;
    lastWriteCount = std::int32_t(engine->Write(bytesProgrammed, length, image));
    bytesProgrammed += std::uint32_t(lastWriteCount);
    if (std::uint32_t(lastWriteCount) == length) return CMD_FW_WRITE;
    engine->CloseAccess();
    return CMD_FAILED;
}

int CFlashCmd::FinishFirmware(const std::uint8_t* image, std::uint32_t length) {
    lastWriteCount = 0;
    const std::uint8_t ready = engine->IsSiI1930ChecksumReady();
    if (ready != 1) {
        romChecksum = engine->Checksum(0, bytesProgrammed, nullptr);
        softwareCrc = engine->Checksum(0, bytesProgrammed, image);
    }
    int result = CMD_FAILED;
    if (force || romChecksum == softwareCrc || ready == 1) {
        // The finishing write starts the new firmware.
        lastWriteCount = std::int32_t(engine->Write(0xFFFF, length, image));
        result = std::uint32_t(lastWriteCount) == length ? CMD_OK : CMD_FAILED;
    }
    engine->CloseAccess();
    return result;
}
