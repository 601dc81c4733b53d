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

    std::uint8_t b[3];
    if (buffer) {
        std::memcpy(b, buffer + offset, 3);
    } else if (IsSpiType(flashType)) {
        CGenSPI* engine = SpiForOperation();
        if (!engine || engine->ReadRange(b, offset, 3, 0) < 3) return 0;
    } else {
        if (!IsRomMapped() || offset >= romSize || romSize - offset <= 2) return 0;
        for (std::uint32_t i = 0; i < 3; ++i) b[i] = std::uint8_t(ReadRomByte(offset + i));
    }
    successFlag = 1;
    Log(1, "CFlash::BiosSize() ends\n");
    if (b[0] == 0x55 && b[1] == 0xAA) return std::uint32_t(b[2]) * 512;
    return 0;
}

std::int16_t CFlash::BIOSCheck(std::uint32_t offset, std::uint32_t length, const std::uint8_t* buffer) {
    Log(1, "CFlash::BIOSCheck() begins\n");
    const std::uint32_t size = BIOSSize(offset, buffer);
    if (successFlag != 1) return 0;
    successFlag = 0;

    if (buffer) {
        if (length < size || size == 0) return 0;
        if ((ChecksumBuffer(buffer + offset, size) & 0xFF) != 0) return 0;
    } else if (IsSpiType(flashType)) {
        if (length < size || size == 0) return 0;
        if ((Checksum(offset, size, nullptr) & 0xFF) != 0) return 0;
        successFlag = 1;
        return 1;
    } else {
        if (!IsRomMapped() || offset >= romSize || !RangeFits(offset, length, romSize)) return 0;
        if (length < size || size == 0) return 0;
        std::uint32_t sum = 0;
        for (std::uint32_t i = 0; i < size; ++i) sum += std::uint32_t(ReadRomByte(offset + i));
        if ((sum & 0xFF) != 0) return 0;
    }
    Log(1, "CFlash::BIOSCheck() ends\n");
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
    if (flashType == TYPE_SII1930) {
        CSiI1930* sii = SharedProtocols().sii1930;
        if (buffer) {
            sum = sii->Adler32(buffer + offset, length);
        } else {
            if (!RangeFits(offset, length, romSize)) return 0;
            sum = sii->DeviceChecksum(offset, length ? length : romSize - offset);
        }
    } else if (buffer) {
        sum = ChecksumBuffer(buffer + offset, length);
    } else if (IsSpiType(flashType)) {
        if (length == 0 || !engine) return 0;
        std::uint8_t chunk[kChecksumChunk];
        for (std::uint32_t done = 0; done < length;) {
            const std::uint32_t n = std::min(kChecksumChunk, length - done);
            if (engine->ReadRange(chunk, offset + done, n, 0) < n) return 0;
            for (std::uint32_t i = 0; i < n; ++i) sum += chunk[i];
            done += n;
        }
    } else {
        if (!IsRomMapped() || !RangeFits(offset, length, romSize)) return 0;
        if (length == 0) length = romSize - offset;
        for (std::uint32_t i = 0; i < length; ++i) sum += std::uint32_t(ReadRomByte(offset + i));
    }
    successFlag = 1;
    Log(1, "CFlash::Checksum() ends\n");
    return sum;
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
    std::uint32_t equal = 0;
    if (flashType == TYPE_SII1930) {
        equal = SharedProtocols().sii1930->Compare(buffer + offset, offset, length);
    } else if (IsSpiType(flashType)) {
        equal = engine ? engine->ReadRange(const_cast<std::uint8_t*>(buffer + offset), offset, length, 1) : 0;
    } else {
        while (equal < length && ReadRomByte(offset + equal) == buffer[offset + equal]) ++equal;
    }
    if (equal >= length) successFlag = 1;
    Log(1, "CFlash::Compare() ends\n");
    return equal;
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
        // Identification may give a smaller part than the size already known.
        const std::uint32_t known = typeDetected ? romSize : 0;
        if (!DetectType()) return false;
        romSize = std::max(known, romSize);
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

    std::uint32_t result = 0;
    if (flashType == TYPE_PARALLEL) {
        CParallel* p = ParallelForOperation();
        result = p->ChipErase();
        retried = p->retryCount;
    } else if (IsDrivenSerialEepromType(flashType)) {
        CVoskSerial* serial = SerialForOperation();
        if (flashType == TYPE_VOSK_AT25F) result = serial->EraseAT25F();
        else if (flashType == TYPE_VOSK_STM25P) result = serial->EraseSTM25P();
        else result = serial->EraseSST();
        retried = serial->retryCount;
    } else if (IsSpiType(flashType)) {
        CGenSPI* engine = SpiForOperation();
        // Nothing to erase without an identified part.
        if (engine && currentPart) {
            engine->retryLimit = retry;
            // Blank-checked over the ROM size, which the command layer may
            // have set to the image length.
            result = engine->ChipErase(1, romSize);
            retried = engine->retryCount;
        }
    } else {
        Log(1, "cannot erase\n");
        errorCode = FLASH_NOT_SUPPORTED;
    }

    // Nothing erased is no success, also on a ROM of size 0.
    successFlag = (result > 0 && result >= romSize) ? 1 : 0;
    Log(1, "  %X/%X bytes erased\n", result, romSize);
    Log(1, "  retried = %d\n", int(retried));
    Log(1, "CFlash::BulkErase() ends\n");
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
        if (flashType != TYPE_SII1930 && !CheckWriteRange(offset, length)) return 0;
        // The SiI1930's version query rides on a write and ends here.
        if (flashType == TYPE_SII1930 && SharedProtocols().sii1930->identifyOnly)
            return WriteSiI1930(data, offset, length);
        result = WriteByType(data, offset, length);
    }

    successFlag = result >= length ? 1 : 0;
    Log(1, "  %X/%X bytes written\n", result, length);
    Log(1, "  retried = %d\n", int(retried));
    Log(1, "CFlash::Write() ends\n");
    return result;
}

bool CFlash::HasFlashToWrite() {
    const char* none = flashType == TYPE_NOROM        ? "board configured to no rom\n"
                       : flashType == TYPE_NOFLASH    ? "board configured to no flash\n"
                       : flashType == TYPE_NOT_SUPPORT ? "no support for this flash type\n"
                                                       : nullptr;
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
    return WriteEnable() == 1;
}

std::uint32_t CFlash::WriteSiI1930(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    CSiI1930* sii = SharedProtocols().sii1930;
    if (sii->resetPin == -1) sii->resetPin = siiResetPin;
    if (sii->programPin == -1) sii->programPin = siiProgramPin;
    return sii->Program(data, offset, length);
}

std::uint32_t CFlash::WriteByType(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    SharedProtocolObjects& s = SharedProtocols();
    if (flashType == TYPE_PARALLEL) {
        CParallel* p = ParallelForOperation();
        const std::uint32_t result = p->Write(data, offset, length);
        retried = p->retryCount;
        return result;
    }
    if (IsDrivenSerialEepromType(flashType)) {
        CVoskSerial* serial = SerialForOperation();
        std::uint32_t result;
        if (flashType == TYPE_VOSK_AT25F) result = serial->WriteAT25F(data, offset, length);
        else if (flashType == TYPE_VOSK_STM25P) result = serial->WriteSTM25P(data, offset, length);
        else result = serial->WriteSST(data, offset, length);
        retried = serial->retryCount;
        return result;
    }
    if (IsSpiType(flashType)) {
        CGenSPI* engine = SpiForOperation();
        if (!engine || !currentPart) return 0;
        engine->retryLimit = retry;
        const std::uint32_t result = engine->ProgramRange(data, offset, length, 1);
        retried = engine->retryCount;
        return result;
    }
    switch (flashType) {
    case TYPE_VOSK_ISSI:
        Log(1, "not implemented\n");
        errorCode = FLASH_NOT_SUPPORTED;
        return 0;
    case TYPE_MIBI2C:
        // The EEPROM is addressed from its start only: an offset would land at 0.
        if (offset != 0) return 0;
        return s.mibI2c->WriteEeprom(data, length);
    case TYPE_SI2C:
        return s.genI2c->Write(data, offset, length, 1);
    case TYPE_SII1930:
        return WriteSiI1930(data, offset, length);
    default:
        return 0;
    }
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
    if (IsRomMapped() || IsSpiType(flashType)) return true;
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

    SharedProtocolObjects& s = SharedProtocols();
    switch (flashType) {
    case TYPE_PARALLEL:
        s.parallel->romSize = romSize;
        return s.parallel->Read(buffer, offset, length);
    case TYPE_VOSK_AT25F:
    case TYPE_VOSK_STM25P:
    case TYPE_VOSK_SST: {
        return SerialForOperation()->Read(buffer, offset, length);
    }
    case TYPE_MIBI2C:
        // Only reads from the start; an EEPROM that did not answer read nothing.
        if (offset != 0) return 0;
        return s.mibI2c->ReadEeprom(buffer, length) ? length : 0;
    case TYPE_SI2C:
        s.genI2c->romSize = romSize;
        return s.genI2c->Read(buffer, offset, length, 0);
    case TYPE_SII1930:
        return s.sii1930->Compare(buffer, offset, length);
    case TYPE_SWSPI:
    case TYPE_QUORSPI:
    case TYPE_POMVEKSPI: {
        CGenSPI* engine = SpiForOperation();
        return engine ? engine->ReadRange(buffer, offset, length, 0) : 0;
    }
    default:
        // No read path: reporting the length would pass 0xFF filler off as
        // the ROM's content.
        Log(1, "no support for this flash type\n");
        errorCode = FLASH_NOT_SUPPORTED;
        return 0;
    }
}

std::uint32_t CFlash::ReadStatus() {
    if (OpenAccess() != 1) return 0xFFFFFFFF;
    errorCode = FLASH_OK;
    successFlag = 0;
    if (!RomReachable()) return 0xFFFFFFFF;
    if (IsDrivenSerialEepromType(flashType)) return SerialForOperation()->ReadStatus();
    if (IsSpiType(flashType)) {
        CGenSPI* engine = SpiForOperation();
        // Without a part there is no status to report.
        if (!engine || !currentPart) return 0xFFFFFFFF;
        return engine->ReadStatus();
    }
    return 0xFFFFFFFF;
}

std::uint32_t CFlash::WriteStatus(std::uint32_t value) {
    if (OpenAccess() != 1) return 0;
    errorCode = FLASH_OK;
    successFlag = 0;
    if (!RomReachable()) return 0;
    if (WriteEnable() != 1) return 0;
    if (IsDrivenSerialEepromType(flashType)) {
        return std::uint32_t(SerialForOperation()->WriteStatusRegister(std::uint8_t(value & 0xFF)));
    }
    if (IsSpiType(flashType)) {
        CGenSPI* engine = SpiForOperation();
        // A status write without a part did not happen.
        if (!engine || !currentPart) return 0;
        return engine->WriteStatus(value & 0xFF) ? 1 : 0;
    }
    return 0;
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
