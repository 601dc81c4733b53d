#include "commands/CFlashCmd.h"

#include <algorithm>
#include <cstring>

#include "commands/RomDirectory.h"
#include "engine/CFlash.h"
#include "platform/Bytes.h"

namespace {

constexpr std::uint32_t kScanReadLength = 1024;
constexpr std::uint32_t kMibReadLength = 512;

bool AllBytes(const std::uint8_t* p, std::uint32_t n, std::uint8_t value) {
    for (std::uint32_t i = 0; i < n; ++i)
        if (p[i] != value) return false;
    return true;
}

}  // namespace

CFlashCmd::CFlashCmd(FILE* typeTableText, std::uint32_t verbose) : adapterRomInfo(kMaxAdapters) {
    engine = CreateFlash(typeTableText, verbose);
    debugPrints = std::uint8_t(verbose);
    romBuffer = new std::uint8_t[kRomBufferSize];
    // Known content, so nothing reads indeterminate bytes past a short read.
    std::memset(romBuffer, 0xFF, kRomBufferSize);
    if (engine) {
        engine->siiResetPin = -1;
        engine->siiProgramPin = -1;
    }
}

CFlashCmd::~CFlashCmd() {
    delete engine;
    delete[] romBuffer;
}

void CFlashCmd::ReportLengthOverflow() { RomImage::ReportLengthOverflow(); }

AdapterRomInfo& CFlashCmd::GetAdapterRomInfo(std::uint8_t index) {
    if (index < adapterRomInfo.size()) return adapterRomInfo[index];
    outsideTable_ = AdapterRomInfo{};
    return outsideTable_;
}

int CFlashCmd::SetSpiTarget(std::uint16_t deviceId, std::uint8_t revisionLow, std::uint8_t revisionHigh) {
    if (!engine) return 0;
    engine->targetDeviceId = deviceId;
    engine->targetRevision = std::uint8_t((revisionLow & 0x0F) | (revisionHigh << 4));
    return engine->SupportsTarget();
}

// ---------------------------------------------------------------------------
// Adapter scan and selection

std::uint16_t CFlashCmd::ScanSegmentLimit() const { return engine ? engine->maxSegmentToScan : 0; }

std::uint8_t CFlashCmd::ScanBusLimit() const { return engine ? engine->maxBusToScan : 0; }

std::uint32_t CFlashCmd::EnumerateAdapters(std::uint16_t segmentLimit, std::uint8_t busLimit, std::uint32_t maxCount,
                                           std::uint16_t skipAccess, std::uint16_t readRom) {
    const std::uint32_t limit = maxCount == 0 ? 1 : std::min(maxCount, kMaxAdapters);
    currentAdapter = 0;
    adapterCount = 0;
    if (!engine) return 0;
    const std::int16_t savedForceSelect = engine->forceSelectOnI2cFail;

    std::vector<int> segments;
    engine->GetPciSegments(segmentLimit, segments);
    std::uint32_t lastFunction = 0;
    const std::uint32_t functions = (std::uint32_t(busLimit) + 1) * 256;
    for (int seg : segments) {
        const std::uint16_t segment = std::uint16_t(seg);
        for (std::uint32_t i = 0; i < functions && adapterCount < limit; ++i) {
            const std::uint8_t bus = std::uint8_t(i >> 8);
            const std::uint8_t devfn = std::uint8_t(i & 0xFF);
            const std::uint16_t vendor = engine->ReadPciConfigWord(segment, bus, devfn, kPciVendorId);
            if (vendor != kVendorTev && vendor != kVendorKov) continue;
            // The limit is checked before every ordinal, so one function
            // carrying several matches cannot overfill the table.
            for (std::uint32_t m = 0; m < 256 && adapterCount < limit; ++m) {
                // Re-armed before a function's first ordinal: a device that
                // never answers its I2C detection is then selected once, and
                // the next such function can still be selected.
                if (m == 0 && i != lastFunction) {
                    engine->forceSelectOnI2cFail = savedForceSelect;
                    lastFunction = i;
                }
                if (engine->SelectDevice(segment, bus, devfn, std::uint8_t(m)) != 1) break;
                FillRow(adapterCount, std::uint8_t(m), skipAccess, readRom);
            }
        }
        if (adapterCount >= limit) break;
    }
    engine->forceSelectOnI2cFail = savedForceSelect;
    return adapterCount;
}

void CFlashCmd::CopyFlashName(AdapterEntry& row) {
    const char* name = IsSpiType(engine->flashType) ? engine->currentPartName : engine->flashTypeName;
    CopyBounded(row.flashName, sizeof row.flashName, name);
}

void CFlashCmd::FillRow(std::uint32_t r, std::uint8_t match, std::uint16_t skipAccess, std::uint16_t readRom) {
    currentAdapter = r;
    AdapterEntry& row = adapters[r];
    row.segment = engine->pciSegment;
    row.bus = engine->pciBus;
    row.devfn = engine->pciDevfn;
    row.matchIndex = match;
    row.deviceId = engine->deviceId;
    row.vendorId = engine->ReadPciConfigWord(row.segment, row.bus, row.devfn, kPciVendorId);
    row.subsystem = engine->ReadPciConfigDword(row.segment, row.bus, row.devfn, kPciSubsystem);
    CopyBounded(row.asicName, sizeof row.asicName, engine->asicName);
    row.partNumber[0] = '\0';
    row.productName[0] = '\0';
    row.biosVersion[0] = '\0';
    row.biosDate[0] = '\0';

    if (skipAccess != 1) {
        if (engine->OpenAccess() != 1 && debugPrints) std::printf("  OpenAcess errmsg: %d\n", int(engine->errorCode));
        // Closing access forgets the part name, so copy it first.
        CopyFlashName(row);
        adapterRomInfo[r].romSize = engine->romSize;
        row.flashType = engine->flashType;
        row.romStatus = CMD_OK;
        row.siiFirmwareVersion = -1;
        if (row.flashType == TYPE_SII1930) row.siiFirmwareVersion = std::int16_t(engine->ReadSiI1930Version());
        if (readRom == 1) ReadRomStart(r);
        engine->CloseAccess();
    }
    adapterCount = r + 1;
}

void CFlashCmd::ReadRomStart(std::uint32_t r) {
    AdapterEntry& row = adapters[r];
    // Nothing of an earlier scan of this row may show if this ROM has no image now.
    row.hasImage = 0;
    row.configFileName[0] = '\0';
    adapterRomInfo[r].images.clear();

    std::uint32_t n;
    if (engine->asicFamily != TEV_MIB) {
        n = std::min<std::uint32_t>(std::uint32_t(engine->romSize), kScanReadLength);
        bytesRead = engine->Read(0, n, romBuffer);
    } else {
        bytesRead = engine->Read(0, kMibReadLength, romBuffer);
        const std::uint32_t valid = std::min(bytesRead, kMibReadLength);
        if (valid >= 2 && romBuffer[0] == 0xAA && romBuffer[1] == 0x55) {
            MibIdentity id = RomImage::FindMibIdentity(romBuffer, valid, [this] { ReportLengthOverflow(); });
            if (id.found) {
                engine->romSize = std::uint32_t(id.romSizeUnits) * 128;
                CopyBounded(row.partNumber, sizeof row.partNumber, id.partNumber);
            }
        }
        n = std::uint16_t(engine->romSize);
        bytesRead = engine->Read(0, n, romBuffer);
    }
    const std::uint32_t reference = engine->Checksum(0, n, romBuffer);

    const int rereads = IsGpioI2cType(row.flashType) ? 1 : 3;
    for (int k = 0; k < rereads; ++k) {
        bytesRead = engine->Read(0, n, romBuffer);
        if (bytesRead != n || engine->Checksum(0, n, romBuffer) != reference) {
            row.romStatus = CMD_FAILED;
            break;
        }
    }
    const std::uint32_t valid = std::min(bytesRead, kRomBufferSize);
    if (row.romStatus == CMD_OK) {
        if (valid == 0 || AllBytes(romBuffer, valid, 0xFF))
            row.romStatus = CMD_ROM_BLANK;
        else if (AllBytes(romBuffer, valid, 0x00))
            row.romStatus = CMD_ROM_ZERO;
    }
    if (row.romStatus != CMD_OK || engine->asicFamily == TEV_MIB) return;

    row.hasImage = (valid >= 2 && romBuffer[0] == 0x55 && romBuffer[1] == 0xAA) ? 1 : 0;
    TakeRowStrings(row, romBuffer, valid);

    if (listImages) {
        const std::uint32_t whole = std::min<std::uint32_t>(std::uint32_t(engine->romSize), kRomBufferSize);
        bytesRead = engine->Read(0, whole, romBuffer);
        ParseImageChain(adapterRomInfo[r].images, romBuffer, std::min(bytesRead, kRomBufferSize));
    }
}

void CFlashCmd::TakeRowStrings(AdapterEntry& row, const std::uint8_t* rom, std::uint32_t valid) {
    std::uint32_t len = GetPartNumber(rom, valid, row.partNumber, kRomStringSize - 1, 0);
    row.partNumber[std::min(len, kPartNumberMaxChars)] = '\0';
    len = GetBiosDate(rom, valid, row.biosDate);
    row.biosDate[std::min(len, kBiosDateMaxChars)] = '\0';
    // Without a configuration name of its own the version line may supply one.
    if (GetConfigFileName(rom, valid, row.configFileName) == 0)
        GetBiosVersion(rom, valid, row.biosVersion, row.configFileName);
    else
        GetBiosVersion(rom, valid, row.biosVersion, nullptr);
    GetProductName(rom, valid, row.productName);
}

std::int16_t CFlashCmd::SelectAdapter(std::uint32_t adapter, std::uint16_t segmentLimit, std::uint8_t busLimit) {
    if (!engine) return 0;
    if (adapter >= adapterCount) {
        EnumerateAdapters(segmentLimit, busLimit, adapter + 1, 1, 0);
        if (adapter >= adapterCount) return 0;
    }
    currentAdapter = adapter;
    AdapterEntry& row = adapters[adapter];
    if (debugPrints)
        std::printf("  adapter=%d, bn=%04X, bn=%02X, dn=%02X, dev=%02X, id=%04X\n", int(adapter), unsigned(row.bus),
                    unsigned(row.segment), unsigned(row.devfn), unsigned(row.matchIndex), unsigned(row.deviceId));
    engine->SelectDevice(row.segment, row.bus, row.devfn, row.matchIndex);
    engine->OpenAccess();
    CopyFlashName(row);
    adapterRomInfo[adapter].romSize = engine->romSize;
    row.flashType = engine->flashType;
    if (debugPrints) std::printf("  rom_size = %lX\n", static_cast<unsigned long>(adapterRomInfo[adapter].romSize));
    return 1;
}

// ---------------------------------------------------------------------------
// Image accessors: the model itself lives in RomImage; these keep the
// header state of the programming flow.

void CFlashCmd::NoteHeader(const ImageHeaderEffect& effect, const std::uint8_t* image) {
    if (!effect.set) return;
    newHeader = image + effect.headerOffset;
    newHeaderIsVelk = effect.isVelk;
    if (effect.ssidSet) newSsid = effect.ssid;
}

std::uint32_t CFlashCmd::GetPartNumber(const std::uint8_t* image, std::size_t length, char* out, std::uint32_t max,
                                       std::int16_t mode) {
    return RomImage::GetPartNumber(image, length, out, max, mode);
}

std::uint32_t CFlashCmd::GetBiosVersion(const std::uint8_t* image, std::size_t length, char* out, char* configOut) {
    ImageHeaderEffect effect;
    std::uint32_t n = RomImage::GetBiosVersion(image, length, out, kRomStringSize, configOut, kRomStringSize, &effect);
    NoteHeader(effect, image);
    return n;
}

std::uint32_t CFlashCmd::GetProductName(const std::uint8_t* image, std::size_t length, char* out) {
    ImageHeaderEffect effect;
    std::uint32_t n = RomImage::GetProductName(image, length, out, kRomStringSize, &effect);
    NoteHeader(effect, image);
    return n;
}

std::uint32_t CFlashCmd::GetBiosDate(const std::uint8_t* image, std::size_t length, char* out) {
    return RomImage::GetBiosDate(image, length, out, kRomStringSize);
}

std::uint32_t CFlashCmd::GetConfigFileName(const std::uint8_t* image, std::size_t length, char* out) {
    ImageHeaderEffect effect;
    std::uint32_t n = RomImage::GetConfigFileName(image, length, out, kRomStringSize, &effect);
    NoteHeader(effect, image);
    return n;
}

std::uint16_t CFlashCmd::GetDeviceId(const std::uint8_t* image, std::size_t length) {
    return RomImage::GetDeviceId(image, length);
}

std::uint16_t CFlashCmd::GetSubsystemId(const std::uint8_t* image, std::size_t length) {
    ImageHeaderEffect effect;
    std::uint16_t v = RomImage::GetSubsystemId(image, length, &effect);
    NoteHeader(effect, image);
    return v;
}

std::uint16_t CFlashCmd::GetSubsystemVendorId(const std::uint8_t* image, std::size_t length) {
    ImageHeaderEffect effect;
    std::uint16_t v = RomImage::GetSubsystemVendorId(image, length, &effect);
    NoteHeader(effect, image);
    return v;
}

int CFlashCmd::ParseFileImage(const std::uint8_t* image, std::size_t length) {
    ImageHeaderEffect effect;
    int r = RomImage::ParseFileImage(image, length, fileImageInfo, &effect);
    NoteHeader(effect, image);
    return r;
}

std::uint16_t CFlashCmd::DecodeVarLength(const std::uint8_t* p, std::size_t available) {
    bool overflow = false;
    std::uint16_t v = RomImage::DecodeVarLength(p, available, &overflow);
    if (overflow) ReportLengthOverflow();
    return v;
}

std::uint32_t CFlashCmd::VarLengthSize(const std::uint8_t* p, std::size_t available) {
    bool overflow = false;
    std::uint32_t v = RomImage::VarLengthSize(p, available, &overflow);
    if (overflow) ReportLengthOverflow();
    return v;
}

int CFlashCmd::VerifySignature(const std::uint8_t* image, std::uint32_t length) {
    status = SignatureVerdictPassed(ReportImageSignature(image, length)) ? CMD_SIG_PASS : CMD_SIG_FAIL;
    return status;
}

void CFlashCmd::ApplyForcedSerialType() {
    // "-sst", "-st" and "-atmel" name the serial EEPROM the strap cannot tell.
    if (!IsDrivenSerialEepromType(engine->flashType)) return;
    if (forceSst) {
        engine->flashType = TYPE_VOSK_SST;
        engine->sectorSize = 0;
    } else if (forceSt) {
        engine->flashType = TYPE_VOSK_STM25P;
        engine->sectorSize = 128;
    } else if (forceAtmel) {
        engine->flashType = TYPE_VOSK_AT25F;
        engine->sectorSize = 128;
    }
}
