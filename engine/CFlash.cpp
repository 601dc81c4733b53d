// Engine object: lifetime, SPI engine choice and the ROM operations.
#include "engine/CFlash.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>

#include "engine/SharedProtocolObjects.h"
#include "protocols/CGenI2C.h"
#include "protocols/CGenSPI.h"
#include "protocols/CMibI2C.h"
#include "protocols/CNerrowSerial.h"
#include "protocols/CParallel.h"
#include "protocols/CQuorSPI.h"
#include "protocols/CSiI1930.h"
#include "protocols/CVoskSerial.h"
#include "protocols/PomvekSPI.h"
#include "protocols/SecureSPI.h"
#include "protocols/TarselSPI.h"

namespace {

// First ROM_SW data register of the base third-generation layout, probed on
// family-21 boards to tell the base layout from the family-22 one.
constexpr std::uint32_t kPomvekProbeRegister = 0x5A0B8;
constexpr std::uint32_t kPomvekProbePattern = 0xA5A5A5A5;
// Largest hardware-SPI transfer of a checksum.
constexpr std::uint32_t kChecksumChunk = 256;
// What a parallel bus nobody drives reads as for an ID.
constexpr std::uint16_t kNoParallelAnswer = 0xFFFF;
// Signature and length byte at the start of a BIOS image.
constexpr std::uint32_t kRomHeaderBytes = 3;

// Status-register bit a serial flash part holds while it programs or erases.
constexpr std::uint32_t kStatusWriteInProgress = 0x01;

// offset + length <= limit without wrapping.
bool RangeFits(std::uint32_t offset, std::uint32_t length, std::uint32_t limit) {
    return offset <= limit && length <= limit - offset;
}

}  // namespace

// ---------------------------------------------------------------- lifetime

CFlash::CFlash(FILE* typeTableText, std::uint32_t level) : ProtocolHost(nullptr, 0) {
    romImage = new (std::nothrow) std::uint8_t[kRomBufferSize];
    if (romImage) std::memset(romImage, 0xFF, kRomBufferSize);
    logLevel = level;
    // Register writes of an engine get the post-write read on the chips
    // that need it; no chip is selected yet.
    SetEngineDevice(0, 0);
    std::memset(&spiPartList, 0, sizeof spiPartList);

    AcquireSharedProtocols(this);
    delayMs = 1;
    retry = 1;
    if (typeTableText == nullptr) {
        UseBuiltinTable(*this);
        errorCode = FLASH_OK;
    } else {
        LoadTextTable(*this, typeTableText, errorCode, successFlag);
    }
    currentPart = nullptr;
    currentPartName[0] = '\0';
}

CFlash::~CFlash() {
    delete[] romImage;
    romImage = nullptr;
    CloseAccess();
    // The shared SPI objects outlive this engine: none may keep pointing into
    // its part list.
    SharedProtocolObjects& s = SharedProtocols();
    const std::less<const SpiPart*> before;
    auto drop = [&](CGenSPI* engine) {
        if (engine && engine->part && !before(engine->part, spiPartList.entries) &&
            before(engine->part, spiPartList.entries + kSpiPartListMax))
            engine->part = nullptr;
    };
    drop(s.genSpi);
    s.ForEachHardwareSpiEngine(drop);
    ReleaseSharedProtocols(this);
}

CFlash* CreateFlash(FILE* typeTableText, std::uint32_t logLevel) {
    CFlash* flash = new (std::nothrow) CFlash(typeTableText, logLevel);
    if (flash && flash->romImage == nullptr) {
        delete flash;
        return nullptr;
    }
    return flash;
}

// ---------------------------------------------------------------- type table

const TypeTableWord* CFlash::FindRecord(TypeTableWord opcode, const TypeTableWord* from, const TypeTableWord* end) {
    return FindTypeTableRecord(opcode, from, end);
}

std::uint32_t CFlash::ReadHexNumbers(TypeTableWord*& cursor, FILE* f, std::uint32_t count) {
    return TypeTableStore::ReadHexNumbers(*this, cursor, f, count);
}

void CFlash::DumpTypeTable(const TypeTableWord* table) { TypeTableStore::DumpTypeTable(*this, table); }

void CFlash::BuildSpiPartList() {
    TypeTableStore::BuildSpiPartList();
    currentPart = nullptr;
    currentPartName[0] = '\0';
}

// ---------------------------------------------------------------- SPI engine choice

bool CFlash::TestRegisterAccess(COsDepend* device) {
    if (!device) return false;
    const PomvekSPI* base = SharedProtocols().pomvekSpi[0];
    const std::uint32_t reg = base && base->firstDataReg ? *base->firstDataReg : kPomvekProbeRegister;
    (void)device->ReadRegister(reg);
    device->WriteRegister(reg, kPomvekProbePattern);
    device->Sleep(10);
    return device->ReadRegister(reg) == kPomvekProbePattern;
}

CGenSPI* CFlash::GetSpiEngine() {
    SharedProtocolObjects& s = SharedProtocols();
    BindSharedProtocols(this);
    if (flashType == TYPE_SWSPI) return s.genSpi;
    switch (asicFamily) {
    case KOV_FELSK_OMBREL:
    case KOV_FELSK_ULVANE:
    case KOV_GAVREL_WENMAR:
    case KOV_GAVREL_YESKEL:
    case KOV_HOLLIN_ZADRIN:
    case KOV_JESPA_ALDRUN:
    case KOV_JESPA_BEVRIN:
        return s.tarselSpi;
    case KOV_GETHRA:
        return TestRegisterAccess(this) ? s.pomvekSpi[0] : s.PomvekForFamily(KOV_HOBRAN);
    case KOV_HOBRAN:
    case KOV_IVREL:
    case KOV_CRESSA:
    case KOV_DORVEL:
    case KOV_ELMASK:
    case KOV_FYRAND:
        return s.PomvekForFamily(asicFamily);
    default:
        return s.quorSpi;
    }
}

CGenSPI* CFlash::SpiForOperation() {
    CGenSPI* engine = GetSpiEngine();
    // The part this engine identified (or none), also when another engine
    // has used the shared object since.
    if (engine) engine->part = currentPart;
    return engine;
}

int CFlash::SupportsTarget() {
    CGenSPI* engine = GetSpiEngine();
    return engine ? engine->SupportsTarget(this) : 1;
}

int CFlash::IsWriteAllowed() {
    CGenSPI* engine = GetSpiEngine();
    return engine ? engine->IsWriteAllowed() : 0;
}

int CFlash::FlashThroughSmu(const std::uint8_t* image, int length) {
    SecureSPI* secure = SharedProtocols().secureSpi;
    if (!secure) return 0;
    BindSharedProtocols(this);
    return secure->FlashThroughSmu(image, length);
}

// ---------------------------------------------------------------- operations by flash type

template <std::uint32_t (CVoskSerial::*erase)(),
          std::uint32_t (CVoskSerial::*write)(const std::uint8_t*, std::uint32_t, std::uint32_t)>
constexpr CFlash::TypeOps CFlash::SerialEepromRow(std::uint32_t type) {
    return {.type = type,
            .read = &CFlash::ReadSerial,
            .erase = &CFlash::EraseSerial<erase>,
            .write = &CFlash::WriteSerial<write>,
            .readStatus = &CFlash::ReadSerialStatus,
            .writeStatus = &CFlash::WriteSerialStatus};
}

// Hardware and bit-banged SPI: everything goes through the SPI engine.
constexpr CFlash::TypeOps CFlash::SpiEngineRow(std::uint32_t type) {
    return {.type = type,
            .needsAperture = false,
            .readHeader = &CFlash::ReadHeaderThroughSpi,
            .checkImage = &CFlash::CheckImageThroughSpi,
            .checksumRom = &CFlash::ChecksumThroughSpi,
            .compare = &CFlash::CompareThroughSpi,
            .read = &CFlash::ReadThroughSpi,
            .erase = &CFlash::EraseThroughSpi,
            .write = &CFlash::WriteThroughSpi,
            .readStatus = &CFlash::ReadSpiStatus,
            .writeStatus = &CFlash::WriteSpiStatus};
}

constexpr CFlash::TypeOps CFlash::kTypeOps[kFlashTypeCount] = {
    {.type = TYPE_NOROM, .noFlash = "board configured to no rom\n"},
    {.type = TYPE_NOFLASH, .noFlash = "board configured to no flash\n"},
    {.type = TYPE_NOT_SUPPORT, .noFlash = "no support for this flash type\n"},
    {.type = TYPE_PARALLEL,
     .read = &CFlash::ReadParallel,
     .erase = &CFlash::EraseParallel,
     .write = &CFlash::WriteParallel},
    SerialEepromRow<&CVoskSerial::EraseAT25F, &CVoskSerial::WriteAT25F>(TYPE_VOSK_AT25F),
    SerialEepromRow<&CVoskSerial::EraseSTM25P, &CVoskSerial::WriteSTM25P>(TYPE_VOSK_STM25P),
    // No driver for the ISSI part.
    {.type = TYPE_VOSK_ISSI, .write = &CFlash::WriteNotImplemented},
    SerialEepromRow<&CVoskSerial::EraseSST, &CVoskSerial::WriteSST>(TYPE_VOSK_SST),
    {.type = TYPE_MIBI2C, .read = &CFlash::ReadMibEeprom, .write = &CFlash::WriteMibEeprom},
    {.type = TYPE_UNKNOWN},
    {.type = TYPE_SI2C, .read = &CFlash::ReadGpioI2c, .write = &CFlash::WriteGpioI2c},
    // The SiI1930 checks its own range and sums on the device; its header
    // and BIOS check still look into the aperture.
    {.type = TYPE_SII1930,
     .checksWriteRange = false,
     .versionOnWrite = true,
     .checksumBuffer = &CFlash::ChecksumSiI1930Buffer,
     .checksumRom = &CFlash::ChecksumSiI1930,
     .compare = &CFlash::CompareSiI1930,
     .read = &CFlash::ReadSiI1930,
     .write = &CFlash::WriteSiI1930},
    SpiEngineRow(TYPE_SWSPI),
    SpiEngineRow(TYPE_QUORSPI),
    SpiEngineRow(TYPE_POMVEKSPI),
};

const CFlash::TypeOps& CFlash::Ops() const {
    static_assert(
        [] {
            for (std::uint32_t type = 0; type < kFlashTypeCount; ++type)
                if (kTypeOps[type].type != type) return false;
            return true;
        }(),
        "rows in flash-type order");
    // A type outside the table is handled as an unknown one.
    return kTypeOps[flashType < kFlashTypeCount ? flashType : std::uint32_t(TYPE_UNKNOWN)];
}

// ---------------------------------------------------------------- size, check, checksum

bool CFlash::FitEngineBuffer(std::uint32_t offset, std::uint32_t& length) const {
    // The engine buffer holds kRomBufferSize bytes (1 MiB).
    if (offset >= kRomBufferSize || !romImage) return false;
    length = std::min(length, kRomBufferSize - offset);
    return true;
}

std::uint32_t CFlash::BIOSSize(std::uint32_t offset, const std::uint8_t* buffer) {
    successFlag = 0;
    Log(1, "CFlash::BIOSSize() begins\n");
    if (asicFamily == TEV_MIB) {
        successFlag = 1;
        // The I2C EEPROM has no aperture to look into without a buffer.
        if (buffer && buffer[0] == 0xAA && buffer[1] == 0x55) return romSize;
        return 0;
    }

    std::uint8_t b[kRomHeaderBytes];
    if (buffer) std::memcpy(b, buffer + offset, kRomHeaderBytes);
    else if (!(this->*Ops().readHeader)(offset, b)) return 0;
    successFlag = 1;
    Log(1, "CFlash::BiosSize() ends\n");
    if (b[0] == 0x55 && b[1] == 0xAA) return std::uint32_t(b[2]) * 512;
    return 0;
}

bool CFlash::ReadHeaderFromAperture(std::uint32_t offset, std::uint8_t* header) {
    if (!IsRomMapped() || offset >= romSize || romSize - offset < kRomHeaderBytes) return false;
    for (std::uint32_t i = 0; i < kRomHeaderBytes; ++i) header[i] = std::uint8_t(ReadRomByte(offset + i));
    return true;
}

bool CFlash::ReadHeaderThroughSpi(std::uint32_t offset, std::uint8_t* header) {
    CGenSPI* engine = SpiForOperation();
    return engine && engine->ReadRange(header, offset, kRomHeaderBytes, 0) >= kRomHeaderBytes;
}

std::int16_t CFlash::BIOSCheck(std::uint32_t offset, std::uint32_t length, const std::uint8_t* buffer) {
    Log(1, "CFlash::BIOSCheck() begins\n");
    const std::uint32_t size = BIOSSize(offset, buffer);
    if (successFlag != 1) return 0;
    successFlag = 0;

    if (!buffer) return (this->*Ops().checkImage)(offset, length, size);
    if (length < size || size == 0) return 0;
    if ((ChecksumBuffer(buffer + offset, size) & 0xFF) != 0) return 0;
    return PassBiosCheck();
}

std::int16_t CFlash::PassBiosCheck() {
    Log(1, "CFlash::BIOSCheck() ends\n");
    successFlag = 1;
    return 1;
}

std::int16_t CFlash::CheckImageInAperture(std::uint32_t offset, std::uint32_t length, std::uint32_t size) {
    if (!IsRomMapped() || offset >= romSize || !RangeFits(offset, length, romSize)) return 0;
    if (length < size || size == 0) return 0;
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < size; ++i) sum += std::uint32_t(ReadRomByte(offset + i));
    if ((sum & 0xFF) != 0) return 0;
    return PassBiosCheck();
}

std::int16_t CFlash::CheckImageThroughSpi(std::uint32_t offset, std::uint32_t length, std::uint32_t size) {
    if (length < size || size == 0) return 0;
    // A ROM that stopped answering part-way holds no valid image.
    const std::uint32_t sum = Checksum(offset, size, nullptr);
    if (successFlag != 1 || (sum & 0xFF) != 0) return 0;
    // Passes without the closing trace line.
    successFlag = 1;
    return 1;
}

std::uint32_t CFlash::ChecksumBuffer(const std::uint8_t* buffer, std::uint32_t length) {
    if (!buffer) return 0;
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < length; ++i)
        if (i < retainStart || i > retainEnd) sum += buffer[i];
    return sum;
}

std::uint32_t CFlash::Checksum(std::uint32_t offset, std::uint32_t length, const std::uint8_t* buffer) {
    CGenSPI* engine = SpiForOperation();
    Log(1, "CFlash::Checksum() begins\n");
    successFlag = 0;

    std::uint32_t sum = 0;
    if (buffer) sum = (this->*Ops().checksumBuffer)(buffer + offset, length);
    else if (!(this->*Ops().checksumRom)(engine, offset, length, sum)) return 0;
    successFlag = 1;
    Log(1, "CFlash::Checksum() ends\n");
    return sum;
}

bool CFlash::ChecksumAperture(CGenSPI*, std::uint32_t offset, std::uint32_t length, std::uint32_t& sum) {
    if (!IsRomMapped() || !RangeFits(offset, length, romSize)) return false;
    if (length == 0) length = romSize - offset;
    for (std::uint32_t i = 0; i < length; ++i) sum += std::uint32_t(ReadRomByte(offset + i));
    return true;
}

bool CFlash::ChecksumThroughSpi(CGenSPI* engine, std::uint32_t offset, std::uint32_t length, std::uint32_t& sum) {
    if (length == 0 || !engine) return false;
    std::uint8_t chunk[kChecksumChunk];
    for (std::uint32_t done = 0; done < length;) {
        const std::uint32_t n = std::min(kChecksumChunk, length - done);
        if (engine->ReadRange(chunk, offset + done, n, 0) < n) return false;
        for (std::uint32_t i = 0; i < n; ++i) sum += chunk[i];
        done += n;
    }
    return true;
}

std::uint32_t CFlash::ChecksumSiI1930Buffer(const std::uint8_t* buffer, std::uint32_t length) {
    return SharedProtocols().sii1930->Adler32(buffer, length);
}

bool CFlash::ChecksumSiI1930(CGenSPI*, std::uint32_t offset, std::uint32_t length, std::uint32_t& sum) {
    if (!RangeFits(offset, length, romSize)) return false;
    sum = SharedProtocols().sii1930->DeviceChecksum(offset, length ? length : romSize - offset);
    return true;
}

std::uint32_t CFlash::Compare(std::uint32_t offset, std::uint32_t length, const std::uint8_t* buffer) {
    CGenSPI* engine = SpiForOperation();
    Log(1, "CFlash::Compare() begins\n");
    successFlag = 0;

    if (!buffer) {
        if (!RangeFits(offset, length, romSize)) return 0;
        if (length == 0) length = romSize - offset;
        if (!FitEngineBuffer(offset, length)) return 0;
        buffer = romImage;
    }

    // The buffer is indexed by ROM position.
    const std::uint32_t equal = (this->*Ops().compare)(engine, buffer, offset, length);
    if (equal >= length) successFlag = 1;
    Log(1, "CFlash::Compare() ends\n");
    return equal;
}

std::uint32_t CFlash::CompareAperture(CGenSPI*, const std::uint8_t* buffer, std::uint32_t offset,
                                      std::uint32_t length) {
    std::uint32_t equal = 0;
    while (equal < length && ReadRomByte(offset + equal) == buffer[offset + equal]) ++equal;
    return equal;
}

std::uint32_t CFlash::CompareThroughSpi(CGenSPI* engine, const std::uint8_t* buffer, std::uint32_t offset,
                                        std::uint32_t length) {
    return engine ? engine->ReadRange(const_cast<std::uint8_t*>(buffer + offset), offset, length, 1) : 0;
}

std::uint32_t CFlash::CompareSiI1930(CGenSPI*, const std::uint8_t* buffer, std::uint32_t offset,
                                     std::uint32_t length) {
    return SharedProtocols().sii1930->Compare(buffer + offset, offset, length);
}

// ---------------------------------------------------------------- erase and write

CParallel* CFlash::ParallelForOperation() {
    CParallel* p = SharedProtocols().parallel;
    p->swizzle = parallelMethod;
    p->romSize = romSize;
    p->pageSize = sectorSize;
    p->eraseSize = eraseSize;
    p->delay = delayMs;
    p->retryLimit = retry;
    return p;
}

CVoskSerial* CFlash::SerialForOperation() {
    SharedProtocolObjects& s = SharedProtocols();
    CVoskSerial* serial = asicFamily == TEV_NERROW ? s.nerrowSerial : s.voskSerial;
    serial->romSize = romSize;
    serial->pageSize = sectorSize;
    serial->postProgramSleep = delayMs;
    serial->retryLimit = retry;
    serial->statusWriteNeedsEwsr = flashType == TYPE_VOSK_SST;
    return serial;
}

void CFlash::LogParameters() {
    Log(1, "  rom_size      = %08X\n", romSize);
    Log(1, "  sec_size      = %08X\n", sectorSize);
    Log(1, "  erase_size    = %08X\n", eraseSize);
    Log(1, "  delay_ms      = %d\n", int(delayMs));
    Log(1, "  retry         = %d\n", int(retry));
    Log(1, "  type_detected = %d\n", int(typeDetected));
    Log(1, "  cfg_type      = %d\n", int(flashType));
}

bool CFlash::DetectBeforeWrite() {
    if (flashType == TYPE_PARALLEL) {
        // Identification may give a smaller part than the size already known,
        // or none for a part nobody knows: what the part holds past the
        // window stays known, so an erase of the whole chip is refused.
        const std::uint32_t known = typeDetected ? romSize : 0;
        const std::uint32_t capacity = typeDetected ? partCapacity : 0;
        if (!DetectType()) return false;
        romSize = std::max(known, romSize);
        partCapacity = std::max(capacity, partCapacity);
        return true;
    }
    return typeDetected || DetectType();
}

std::uint32_t CFlash::BulkErase() {
    errorCode = FLASH_NOT_COMPLETED;
    retried = 0;
    Log(1, "CFlash::BulkErase() begins\n");
    LogParameters();
    if (!DetectBeforeWrite()) return 0;
    if (WriteEnable() != 1) return 0;
    LogParameters();

    const std::uint32_t result = (this->*Ops().erase)();
    // Nothing erased is no success, also on a ROM of size 0.
    const std::uint32_t span = EraseSpan();
    successFlag = (result > 0 && result >= span) ? 1 : 0;
    Log(1, "  %X/%X bytes erased\n", result, span);
    Log(1, "  retried = %d\n", int(retried));
    Log(1, "CFlash::BulkErase() ends\n");
    return result;
}

std::uint32_t CFlash::ReachableSize() {
    const std::uint32_t window = RomWindowSize();
    const bool behindAperture = flashType == TYPE_PARALLEL || IsSerialEepromType(flashType);
    return behindAperture && window != 0 ? window : 0xFFFFFFFF;
}

std::uint32_t CFlash::EraseSpan() { return std::min({romSize, ReachableSize(), kRomBufferSize}); }

std::uint32_t CFlash::SpiPartCapacity() {
    if (!IsSpiType(flashType) || !currentPart) return 0;
    CGenSPI* engine = SpiForOperation();
    return engine ? std::max(currentPart->size, engine->JedecCapacity()) : currentPart->size;
}

std::uint32_t CFlash::RefuseErase() {
    Log(1, "part larger than the rom that can be read back: not erased\n");
    errorCode = FLASH_BEYOND_REACH;
    return 0;
}

std::uint32_t CFlash::EraseNotSupported() {
    Log(1, "cannot erase\n");
    errorCode = FLASH_NOT_SUPPORTED;
    return 0;
}

std::uint32_t CFlash::EraseParallel() {
    CParallel* p = ParallelForOperation();
    p->romSize = EraseSpan();
    // The JEDEC set erases only the whole chip: not one the window shows only
    // part of. Parts programmed in pages get no erase command.
    if (p->pageSize == 0 && p->eraseSize == 0 && partCapacity > p->romSize) return RefuseErase();
    const std::uint32_t result = p->ChipErase();
    retried = p->retryCount;
    return result;
}

template <std::uint32_t (CVoskSerial::*erase)()>
std::uint32_t CFlash::EraseSerial() {
    CVoskSerial* serial = SerialForOperation();
    // Erased sector by sector over this span: what part sits behind the
    // controller, and how large, nothing here can tell.
    serial->romSize = EraseSpan();
    // Nor how much one sector erase clears: a span that is not whole
    // sectors of the widest the command set knows would lose what lies
    // past it.
    const std::uint32_t sector = flashType == TYPE_VOSK_SST ? kSstBlockBytes : kSepromWidestSector;
    if (serial->romSize % sector != 0) return RefuseErase();
    const std::uint32_t result = (serial->*erase)();
    retried = serial->retryCount;
    return result;
}

std::uint32_t CFlash::EraseThroughSpi() {
    CGenSPI* engine = SpiForOperation();
    // Nothing to erase without an identified part.
    if (!engine || !currentPart) return 0;
    engine->retryLimit = retry;
    // A chip erase only of a part whose every byte a command can read back
    // and write again; a larger one (its JEDEC ID may name more than its
    // record) is erased in blocks over the span, or not at all.
    const std::uint32_t span = EraseSpan();
    const std::uint32_t capacity = std::max(currentPart->size, engine->JedecCapacity());
    std::uint32_t result = 0;
    // Blank-checked over the ROM size, which the command layer may have set
    // to the image length.
    if (capacity <= span) result = engine->ChipErase(1, romSize);
    else if (engine->BlockEraseSize() != 0) result = engine->EraseBlocks(span);
    else result = RefuseErase();
    retried = engine->retryCount;
    return result;
}

std::uint32_t CFlash::Write(std::uint32_t offset, std::uint32_t length, const std::uint8_t* data) {
    errorCode = FLASH_NOT_COMPLETED;
    retried = 0;
    Log(1, "CFlash::Write(%X,%X,%X) begins\n", offset, length,
        unsigned(reinterpret_cast<std::uintptr_t>(data)));
    Log(1, "  sec_size = %X\n", sectorSize);
    if (!DetectBeforeWrite()) return 0;
    Log(1, "  cfg_type = %d\n", int(flashType));
    errorCode = FLASH_NOT_COMPLETED;
    successFlag = 0;

    std::uint32_t result = 0;
    if (HasFlashToWrite()) {
        if (!data) {
            data = romImage;
            if (length == 0) {
                offset = 0;
                length = romSize;
            }
            if (!FitEngineBuffer(offset, length)) length = 0;
        }
        // The check opens access when it is closed, which may change the type.
        if (Ops().checksWriteRange && !CheckWriteRange(offset, length)) return 0;
        // The SiI1930's version query rides on a write and ends here.
        if (Ops().versionOnWrite && SharedProtocols().sii1930->identifyOnly)
            return WriteSiI1930(data, offset, length);
        result = (this->*Ops().write)(data, offset, length);
    }

    successFlag = result >= length ? 1 : 0;
    Log(1, "  %X/%X bytes written\n", result, length);
    Log(1, "  retried = %d\n", int(retried));
    Log(1, "CFlash::Write() ends\n");
    return result;
}

std::uint32_t CFlash::WriteAll(std::uint32_t offset, std::uint32_t length, const std::uint8_t* data,
                               bool lastAttempt) {
    const std::uint32_t written = Write(offset, length, data);
    const WriteUnitSizes units = written < length && data ? WriteUnits() : WriteUnitSizes{};
    if (units.unit == 0) return written;
    // A part that gives up says why through its first failure.
    FailedUnit reported = LastFailure();
    continuingWrite_ = true;
    const std::uint32_t result = WritePastFailedUnits(offset, length, data, written, units, lastAttempt, reported);
    continuingWrite_ = false;
    if (result < length) {
        errorCode = reported.code;
        errorAddress = reported.address;
        errorWritten = reported.wrote;
        errorRead = reported.read;
    }
    successFlag = result >= length ? 1 : 0;
    return result;
}

std::uint32_t CFlash::WritePastFailedUnits(std::uint32_t offset, std::uint32_t length, const std::uint8_t* data,
                                           std::uint32_t written, WriteUnitSizes units, bool lastAttempt,
                                           FailedUnit& reported) {
    // A run of units that all fail is a part that takes nothing more: each
    // failed unit costs its time-out. A unit that took its bytes once
    // written again breaks the run.
    constexpr std::uint32_t kFailedRunLimit = 256;
    // Units the part would not even enable a write for: a few in a row are
    // a part whose write enable does not work.
    constexpr std::uint32_t kUnenabledRunLimit = 8;
    const std::uint64_t end = std::uint64_t(offset) + length;
    std::uint64_t at = std::uint64_t(offset) + written;
    std::uint32_t held = length;
    for (std::uint32_t failedRun = 0, unenabledRun = 0;;) {
        const std::uint64_t unitStart = at / units.unit * units.unit;
        const std::uint64_t start = std::max<std::uint64_t>(unitStart, offset);
        const std::uint64_t stop = std::min<std::uint64_t>(unitStart + units.unit, end);
        // A program that failed once may take the data now, and a part that
        // takes fewer bytes per command than its unit takes them singly.
        // The bytes before `at` read back right already; the last attempt
        // counts a unit it cannot write again as failed from its start.
        FailedUnit failure = LastFailure();
        unenabledRun = WriteEnableFailed() ? unenabledRun + 1 : 0;
        std::uint64_t good = lastAttempt ? start : at;
        const std::uint32_t piece = std::max<std::uint32_t>(units.smallest, 1);
        const std::uint64_t from = piece >= units.unit ? start : std::max<std::uint64_t>(at / piece * piece, start);
        if (lastAttempt && !ControllerStopped() && !PartStaysBusy())
            good = from + RewriteUnit(std::uint32_t(from), std::uint32_t(stop - from), data + (from - offset),
                                      piece, failure);
        failedRun = good < stop ? failedRun + 1 : 0;
        if (good < stop && held == length) {
            held = std::uint32_t(good - offset);
            reported = failure;
        }
        at = stop;
        if (at >= end || failedRun >= kFailedRunLimit || unenabledRun >= kUnenabledRunLimit || ControllerStopped() ||
            PartStaysBusy())
            break;
        const std::uint32_t n = std::uint32_t(end - at);
        const std::uint32_t done = Write(std::uint32_t(at), n, data + (at - offset));
        if (done >= n) break;
        if (done >= units.unit) failedRun = 0;
        at += done;
    }
    return held;
}

std::uint32_t CFlash::RewriteUnit(std::uint32_t start, std::uint32_t n, const std::uint8_t* data,
                                  std::uint32_t piece, FailedUnit& failure) {
    // Pieces that hold their bytes already are left alone; bytes that
    // cannot be read are written.
    std::vector<std::uint8_t> now(n);
    const bool known = piece < n && Read(start, n, now.data()) == n;
    std::uint32_t good = n;
    for (std::uint32_t p = 0; p < n; p += piece) {
        const std::uint32_t m = std::min(piece, n - p);
        if (known && std::equal(data + p, data + p + m, now.begin() + p)) continue;
        const std::uint32_t done = Write(start + p, m, data + p);
        if (done >= m) continue;
        if (good == n) {
            good = p + done;
            failure = LastFailure();
        }
        // A write the part would not enable fails the same for one byte.
        if (ControllerStopped() || WriteEnableFailed() || PartStaysBusy()) break;
    }
    return good;
}

bool CFlash::WriteEnableFailed() const {
    return errorCode == FLASH_WREN_ROM_TIMEOUT || errorCode == FLASH_WREN_NOT_SET || errorCode == FLASH_WRDI_ROM_BUSY ||
           errorCode == FLASH_WREN_NOT_RESET;
}

void CFlash::NoteParallelId(std::uint16_t id) {
    parallelId = id;
    if (id != kNoParallelAnswer) parallelAnsweredAt_ = PciLocation();
}

std::uint32_t CFlash::PciLocation() const {
    return std::uint32_t(pciSegment) << 16 | std::uint32_t(pciBus) << 8 | pciDevfn;
}

bool CFlash::ControllerStopped() const {
    // The controller between the program and the part did not finish a
    // command: nothing more reaches the part, each try costs a time-out.
    return errorCode == FLASH_WREN_ASIC_TIMEOUT || errorCode == FLASH_WRDI_ASIC_BUSY ||
           errorCode == FLASH_WRITE_ASIC_BUSY;
}

bool CFlash::PartStaysBusy() {
    // A part still busy past its time-out, or one that no longer answers,
    // takes no further command. A parallel part at work toggles a data bit
    // on every read; an I2C EEPROM that acknowledged nothing through all its
    // retries is silent; other types without a status register go on.
    if (Ops().write == &CFlash::WriteParallel) return IsRomMapped() != 0 && ParallelForOperation()->IsBusy();
    if (Ops().write == &CFlash::WriteMibEeprom) return SharedProtocols().mibI2c->Silent();
    const std::uint32_t s = (this->*Ops().readStatus)();
    if (s == kSpiStatusFailed) return false;
    return (s & 0xFF) == 0xFF || (s & kStatusWriteInProgress) != 0;
}

bool CFlash::WaitWhileBusy() {
    // Only a part identified on open access can be asked; what answers
    // nothing is left to identification to judge.
    if (accessOpen != 1) return true;
    const auto write = Ops().write;
    if (write == &CFlash::WriteParallel) return IsRomMapped() == 0 || ParallelForOperation()->WaitWhileBusy();
    if (IsDrivenSerialEepromType(flashType)) return IsRomMapped() == 0 || SerialForOperation()->WaitWhileBusy();
    if (write != &CFlash::WriteThroughSpi) return true;
    CGenSPI* engine = SpiForOperation();
    if (!engine || !currentPart) return true;
    // As long as the erase this part gets: of the whole chip, or of one
    // block where a command cannot hold the part and it is erased block by
    // block.
    const bool byBlocks = currentPart->size > kRomBufferSize && engine->BlockEraseSize() != 0;
    return engine->WaitWhileBusy(byBlocks ? kSpiSectorEraseTimeoutUs
                                          : ChipEraseLimitUs(currentPart->size, kSpiChipEraseTimeoutUs));
}

CFlash::WriteUnitSizes CFlash::WriteUnits() {
    const auto write = Ops().write;
    if (write == &CFlash::WriteThroughSpi) {
        const CGenSPI* spi = SpiForOperation();
        if (!spi || !currentPart) return {};
        std::uint32_t unit = currentPart->pageSize;
        if (spi->maxWriteBurst != 0 && spi->maxWriteBurst < unit) unit = spi->maxWriteBurst;
        // A page program takes from one byte up.
        return {.unit = unit, .smallest = 1};
    }
    if (write == &CFlash::WriteParallel) {
        // A part written in pages programs (and clears) its page whole, and
        // on the permuted wiring a part page spreads over a larger block.
        const std::uint32_t unit = ParallelForOperation()->WriteBlockSize();
        return {.unit = unit, .smallest = unit};
    }
    if (write == &CFlash::WriteSerial<&CVoskSerial::WriteAT25F> ||
        write == &CFlash::WriteSerial<&CVoskSerial::WriteSTM25P> ||
        write == &CFlash::WriteSerial<&CVoskSerial::WriteSST>)
        return {.unit = std::max<std::uint32_t>(sectorSize, 1), .smallest = 1};
    if (write == &CFlash::WriteGpioI2c) {
        const CGenI2C* i2c = SharedProtocols().genI2c;
        const std::uint32_t align = std::max<std::uint32_t>(i2c->writeAlign, 1);
        return {.unit = std::max(i2c->writePage, align), .smallest = align};
    }
    if (write == &CFlash::WriteMibEeprom) return {.unit = kMibEepromPage, .smallest = 1};
    return {};
}

bool CFlash::HasFlashToWrite() {
    const char* none = Ops().noFlash;
    if (!none) return true;
    Log(1, "%s", none);
    errorCode = FLASH_NOT_SUPPORTED;
    return false;
}

bool CFlash::CheckWriteRange(std::uint32_t offset, std::uint32_t length) {
    if (length == 0) {
        Log(1, "size = 0\n");
        return false;
    }
    if (!RangeFits(offset, length, romSize)) {
        Log(1, "data size > rom size\n");
        return false;
    }
    // A write past the window is lost, and its command cycles may land as
    // data on bytes already written.
    if (!RangeFits(offset, length, ReachableSize())) {
        Log(1, "data size > rom window\n");
        return false;
    }
    return WriteEnable() == 1;
}

std::uint32_t CFlash::WriteNothing(const std::uint8_t*, std::uint32_t, std::uint32_t) { return 0; }

std::uint32_t CFlash::WriteNotImplemented(const std::uint8_t*, std::uint32_t, std::uint32_t) {
    Log(1, "not implemented\n");
    errorCode = FLASH_NOT_SUPPORTED;
    return 0;
}

std::uint32_t CFlash::WriteParallel(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    CParallel* p = ParallelForOperation();
    const std::uint32_t result = p->Write(data, offset, length);
    retried = p->retryCount;
    return result;
}

template <std::uint32_t (CVoskSerial::*write)(const std::uint8_t*, std::uint32_t, std::uint32_t)>
std::uint32_t CFlash::WriteSerial(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    CVoskSerial* serial = SerialForOperation();
    const std::uint32_t result = (serial->*write)(data, offset, length);
    retried = serial->retryCount;
    return result;
}

std::uint32_t CFlash::WriteThroughSpi(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    CGenSPI* engine = SpiForOperation();
    if (!engine || !currentPart) return 0;
    engine->retryLimit = retry;
    // A write going on past a failed page said its burst size already.
    engine->announceBurst = !continuingWrite_;
    const std::uint32_t result = engine->ProgramRange(data, offset, length, 1);
    engine->announceBurst = true;
    retried = engine->retryCount;
    return result;
}

std::uint32_t CFlash::WriteMibEeprom(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    return SharedProtocols().mibI2c->WriteEeprom(data, offset, length);
}

std::uint32_t CFlash::WriteGpioI2c(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    return SharedProtocols().genI2c->Write(data, offset, length, 1);
}

std::uint32_t CFlash::WriteSiI1930(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    CSiI1930* sii = SharedProtocols().sii1930;
    if (sii->resetPin == -1) sii->resetPin = siiResetPin;
    if (sii->programPin == -1) sii->programPin = siiProgramPin;
    return sii->Program(data, offset, length);
}

std::uint32_t CFlash::ReadSiI1930Version() {
    CSiI1930* sii = SharedProtocols().sii1930;
    sii->identifyOnly = 1;
    const std::uint32_t version = Write(0, 0, nullptr);
    sii->identifyOnly = 0;
    return version;
}

std::uint8_t CFlash::IsSiI1930ChecksumReady() {
    return flashType == TYPE_SII1930 ? SharedProtocols().sii1930->checksumReady : 0;
}

// ---------------------------------------------------------------- read and status

bool CFlash::RomReachable() {
    if (IsRomMapped() || !Ops().needsAperture) return true;
    Log(1, "rom pointer not allocated\n");
    errorCode = FLASH_NO_APERTURE;
    return false;
}

std::uint32_t CFlash::Read(std::uint32_t offset, std::uint32_t length, std::uint8_t* buffer) {
    if (OpenAccess() != 1) return 0;
    errorCode = FLASH_OK;
    successFlag = 0;
    if (!RomReachable()) return 0;
    if (!buffer) {
        buffer = romImage;
        if (length == 0) {
            offset = 0;
            length = romSize;
        }
        if (!FitEngineBuffer(offset, length)) return 0;
    }
    return (this->*Ops().read)(buffer, offset, length);
}

std::uint32_t CFlash::ReadNotSupported(std::uint8_t*, std::uint32_t, std::uint32_t) {
    // Reporting the length would pass 0xFF filler off as the ROM's content.
    Log(1, "no support for this flash type\n");
    errorCode = FLASH_NOT_SUPPORTED;
    return 0;
}

std::uint32_t CFlash::NoAnswer() {
    Log(1, "no part answers\n");
    errorCode = FLASH_NOT_COMPLETED;
    return 0;
}

std::uint32_t CFlash::ReadParallel(std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length) {
    CParallel* p = SharedProtocols().parallel;
    // An ID of all ones: nothing drives the data lines, or a part that
    // gives no ID was erased when it was asked. Asked again, a part that
    // has taken data since answers with it; one that answered on this
    // board before is an erased part, not a missing one.
    if (parallelId == kNoParallelAnswer) {
        p->swizzle = parallelMethod;
        NoteParallelId(std::uint16_t(p->ReadId()));
    }
    if (parallelId == kNoParallelAnswer && parallelAnsweredAt_ != PciLocation() && !acceptSilentPart)
        return NoAnswer();
    p->romSize = romSize;
    return p->Read(buffer, offset, length);
}

bool CFlash::PartSilent() const {
    return Ops().write == &CFlash::WriteParallel && parallelId == kNoParallelAnswer &&
           parallelAnsweredAt_ != PciLocation();
}

std::uint32_t CFlash::ReadSerial(std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length) {
    CVoskSerial* serial = SerialForOperation();
    // A status of all ones: no part drives the data line.
    if (serial->ReadStatus() == kSepromNoAnswer) return NoAnswer();
    return serial->Read(buffer, offset, length);
}

std::uint32_t CFlash::ReadMibEeprom(std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length) {
    // Only reads from the start; an EEPROM that did not answer read nothing.
    if (offset != 0) return 0;
    return SharedProtocols().mibI2c->ReadEeprom(buffer, length) ? length : 0;
}

std::uint32_t CFlash::ReadGpioI2c(std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length) {
    CGenI2C* i2c = SharedProtocols().genI2c;
    i2c->romSize = romSize;
    return i2c->Read(buffer, offset, length, 0);
}

std::uint32_t CFlash::ReadSiI1930(std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length) {
    return SharedProtocols().sii1930->Compare(buffer, offset, length);
}

std::uint32_t CFlash::ReadThroughSpi(std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length) {
    CGenSPI* engine = SpiForOperation();
    return engine ? engine->ReadRange(buffer, offset, length, 0) : 0;
}

// A status that cannot be read reads as the SPI engine's own failure value.
std::uint32_t CFlash::ReadStatus() {
    if (OpenAccess() != 1) return kSpiStatusFailed;
    errorCode = FLASH_OK;
    successFlag = 0;
    if (!RomReachable()) return kSpiStatusFailed;
    return (this->*Ops().readStatus)();
}

std::uint32_t CFlash::NoStatusToRead() { return kSpiStatusFailed; }

std::uint32_t CFlash::ReadSerialStatus() { return SerialForOperation()->ReadStatus(); }

std::uint32_t CFlash::ReadSpiStatus() {
    CGenSPI* engine = SpiForOperation();
    // Without a part there is no status to report.
    if (!engine || !currentPart) return kSpiStatusFailed;
    return engine->ReadStatus();
}

std::uint32_t CFlash::WriteStatus(std::uint32_t value) {
    if (OpenAccess() != 1) return 0;
    errorCode = FLASH_OK;
    successFlag = 0;
    if (!RomReachable()) return 0;
    if (WriteEnable() != 1) return 0;
    return (this->*Ops().writeStatus)(value);
}

std::uint32_t CFlash::NoStatusToWrite(std::uint32_t) { return 0; }

std::uint32_t CFlash::WriteSerialStatus(std::uint32_t value) {
    return std::uint32_t(SerialForOperation()->WriteStatusRegister(std::uint8_t(value & 0xFF)));
}

std::uint32_t CFlash::WriteSpiStatus(std::uint32_t value) {
    CGenSPI* engine = SpiForOperation();
    // A status write without a part did not happen.
    if (!engine || !currentPart) return 0;
    return engine->WriteStatus(value & 0xFF) ? 1 : 0;
}

std::uint8_t CFlash::StatusProtectionMask() {
    // Lock bit and block protection: the bits of the serial EEPROMs and of
    // the built-in SPI command sets.
    constexpr std::uint8_t kLockAndBlockProtect = 0x8C;
    std::uint8_t mask = 0;
    if (IsSpiType(flashType) && currentPart)
        for (const SpiStatusBits& pair : currentPart->wp) mask |= pair.mask;
    return mask != 0 ? mask : kLockAndBlockProtect;
}

std::uint8_t CFlash::BlockProtectionMask() {
    constexpr std::uint8_t kBlockProtect = 0x0C;
    std::uint8_t mask = 0;
    if (IsSpiType(flashType) && currentPart)
        mask = currentPart->wp[SPI_WP_ALL].mask | currentPart->wp[SPI_WP_PARTIAL].mask;
    return mask != 0 ? mask : kBlockProtect;
}
