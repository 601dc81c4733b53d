// ROM read, checksum and flash status-register operations of the command
// layer.
#include <algorithm>

#include "commands/CFlashCmd.h"
#include "engine/CFlash.h"

namespace {

// Status-register patterns of the serial-flash parts.
constexpr std::uint8_t kStatusLocked = 0x84;      // lock bit and block protection
constexpr std::uint8_t kStatusLockMask = 0x8C;
constexpr std::uint8_t kStatusProtectAll = 0xFC;
constexpr std::uint8_t kStatusUnprotected = 0x00;

constexpr std::uint32_t kHeaderReadLength = 256;
constexpr std::uint32_t kSmallRom = 0x10000;
constexpr std::uint32_t kTestReadLength = 1024;

}  // namespace

int CFlashCmd::SelectWithRom(std::uint32_t adapter) {
    if (!engine || SelectAdapter(adapter, engine->maxSegmentToScan, engine->maxBusToScan) == 0) return CMD_NO_ADAPTER;
    if (engine->romSize == 0) {
        engine->CloseAccess();
        return CMD_NO_ROM;
    }
    return CMD_OK;
}

int CFlashCmd::ReadIntoBuffer(std::uint32_t length) {
    const std::uint32_t n = std::min(length, kRomBufferSize);
    // The engine bounds reads by the ROM size; allow the whole buffer.
    engine->romSize = kRomBufferSize;
    bytesRead = engine->Read(0, n, romBuffer);
    if (bytesRead != n && readsBeforeWrite != 0) SilentPartAsBlank(n);
    engine->acceptSilentPart = false;
    engine->CloseAccess();
    return bytesRead == n ? CMD_OK : CMD_READ_FAILED;
}

int CFlashCmd::ReadRomHeader() {
    const std::uint32_t n = std::min(kHeaderReadLength, engine->romSize);
    bytesRead = engine->Read(0, n, romBuffer);
    if (bytesRead == n) return CMD_OK;
    engine->CloseAccess();
    return CMD_READ_FAILED;
}

CFlashCmd::RomReach CFlashCmd::ReachOfRom(std::uint32_t wanted) {
    // Opening access cut the ROM size to the window where one limits it.
    std::uint32_t rom = engine->romSize;
    const ReachLimit limit = rom == engine->ReachableSize() ? ReachLimit::Window : ReachLimit::Rom;
    // An SPI part may hold more than its record says: only a longer read asks it.
    if (wanted > rom) rom = std::max(rom, engine->SpiPartCapacity());
    if (rom > kRomBufferSize) return {kRomBufferSize, ReachLimit::Buffer};
    return {rom, limit};
}

bool CFlashCmd::WithinReach(std::uint32_t length) {
    romReach = ReachOfRom(length);
    lengthAsked = length;
    if (length <= romReach.length) return true;
    engine->CloseAccess();
    return false;
}

std::uint32_t CFlashCmd::GetBiosSize(const std::uint8_t* buffer) {
    if (!engine) return 0;
    return engine->BIOSSize(0, buffer ? buffer : romBuffer);
}

int CFlashCmd::CheckBufferChecksum(const std::uint8_t* buffer, std::uint32_t length, std::uint16_t expected) {
    if (!engine) return CMD_FAILED;
    return (engine->ChecksumBuffer(buffer, length) & 0xFFFF) == expected ? CMD_OK : CMD_FAILED;
}

int CFlashCmd::CheckBiosChecksum(std::uint32_t adapter, std::uint16_t expected) {
    romChecksum = 0;
    int r = SelectWithRom(adapter);
    if (r == CMD_OK) r = ReadRomHeader();
    if (r != CMD_OK) return r;
    // A BIOS image the ROM cannot hold has no checksum to show.
    const std::uint32_t size = GetBiosSize(romBuffer);
    if (!WithinReach(size)) return CMD_BEYOND_REACH;
    r = ReadIntoBuffer(size);
    if (r != CMD_OK) return r;
    romChecksum = engine->ChecksumBuffer(romBuffer, bytesRead);
    return (romChecksum & 0xFFFF) == expected ? CMD_OK : CMD_FAILED;
}

int CFlashCmd::CheckRomChecksum(std::uint32_t adapter, std::uint32_t length, std::uint16_t expected) {
    romChecksum = 0;
    int r = SelectWithRom(adapter);
    if (r != CMD_OK) return r;
    if (length == 0) {
        const std::uint32_t whole = std::min<std::uint32_t>(std::uint32_t(engine->romSize), kRomBufferSize);
        bytesRead = engine->Read(0, whole, romBuffer);
        if (bytesRead != whole) {
            engine->CloseAccess();
            return CMD_READ_FAILED;
        }
        // The BIOS image rounded up to whole 64 KiB blocks, as far as the ROM goes.
        length = (GetBiosSize(romBuffer) + 0xFFFF) & ~0xFFFFu;
        length = std::min(length, ReachOfRom(length).length);
    } else if (!WithinReach(length)) {
        return CMD_BEYOND_REACH;
    }
    r = ReadIntoBuffer(length);
    if (r != CMD_OK) return r;
    romChecksum = engine->ChecksumBuffer(romBuffer, bytesRead);
    return (romChecksum & 0xFFFF) == expected ? CMD_OK : CMD_FAILED;
}

int CFlashCmd::ReadRom(std::uint32_t adapter, std::uint32_t length) {
    romChecksum = 0;
    int r = SelectWithRom(adapter);
    if (r != CMD_OK) return r;
    if (length == 0) {
        const std::uint32_t romSize = std::uint32_t(engine->romSize);
        length = romSize;
        if (romSize <= kSmallRom) {
            // Small ROMs are saved as their BIOS image only.
            r = ReadRomHeader();
            if (r != CMD_OK) return r;
            length = GetBiosSize(romBuffer);
            // A blank or damaged ROM has no BIOS size; save all of it rather
            // than an empty file.
            if (length == 0) length = std::min(romSize, kRomBufferSize);
        }
        // No backup is longer than the ROM, whatever its header claims.
        length = std::min(length, ReachOfRom(length).length);
    } else if (!WithinReach(length)) {
        return CMD_BEYOND_REACH;
    }
    r = ReadIntoBuffer(length);
    if (r != CMD_OK) return r;
    romChecksum = engine->ChecksumBuffer(romBuffer, bytesRead);
    return CMD_OK;
}

int CFlashCmd::VerifyRom(std::uint32_t adapter, const std::uint8_t* data, std::uint32_t length) {
    bytesVerified = 0;
    int r = SelectWithRom(adapter);
    if (r != CMD_OK) return r;
    // Past the reach a file would be compared with filler.
    if (!WithinReach(length)) return CMD_BEYOND_REACH;
    const std::uint32_t n = std::min(length, kRomBufferSize);
    r = ReadIntoBuffer(n);
    if (r != CMD_OK) return r;
    std::uint32_t equal = 0;
    while (data && equal < n && romBuffer[equal] == data[equal]) ++equal;
    bytesVerified = equal;
    return equal == n ? CMD_OK : CMD_FAILED;
}

int CFlashCmd::TestRomRead(std::uint32_t adapter) {
    if (!engine || SelectAdapter(adapter, engine->maxSegmentToScan, engine->maxBusToScan) == 0) {
        status = CMD_NO_ADAPTER;
        return status;
    }
    if (engine->romSize == 0) {
        status = CMD_NO_ROM;
        return status;
    }
    std::uint32_t n = engine->asicFamily == TEV_MIB ? std::uint16_t(engine->romSize) : kTestReadLength;
    n = std::min(n, ReachOfRom(n).length);
    const int rereads = IsGpioI2cType(engine->flashType) ? 1 : 64;
    bytesRead = engine->Read(0, n, romBuffer);
    const std::uint32_t reference = engine->Checksum(0, n, romBuffer);
    for (int k = 0; k < rereads; ++k) {
        if (engine->Read(0, n, romBuffer) != n || engine->Checksum(0, n, romBuffer) != reference) {
            status = CMD_FAILED;
            return status;
        }
    }
    status = CMD_OK;
    return status;
}

int CFlashCmd::ReadStatus(std::uint32_t adapter, std::uint8_t* out) {
    int r = SelectWithRom(adapter);
    if (r != CMD_OK) return r;
    *out = std::uint8_t(engine->ReadStatus() & 0xFF);
    engine->CloseAccess();
    return *out == 0xFF ? CMD_READ_FAILED : CMD_OK;
}

int CFlashCmd::WriteStatus(std::uint32_t adapter, std::uint8_t value) {
    int r = SelectWithRom(adapter);
    if (r != CMD_OK) return r;
    // A forced SST type takes its status write the SST way.
    ApplyForcedSerialType();
    const std::uint32_t written = engine->WriteStatus(value);
    if ((written & 0xFFFF) == 0) {
        engine->CloseAccess();
        return CMD_READ_FAILED;
    }
    // A part may accept the command and keep its old status (write-protect
    // pin, a latch that never set): only the protection bits read back tell.
    const std::uint8_t mask = engine->StatusProtectionMask();
    const std::uint32_t now = engine->ReadStatus();
    engine->CloseAccess();
    // As for "rs", a status of all ones is no reading.
    if ((now & 0xFF) == 0xFF) return CMD_READ_FAILED;
    return ((now ^ value) & mask) == 0 ? CMD_OK : CMD_FAILED;
}

int CFlashCmd::LockHdcp(std::uint32_t adapter) { return WriteStatus(adapter, kStatusLocked); }

int CFlashCmd::LockRom(std::uint32_t adapter) {
    const int r = WriteStatus(adapter, kStatusProtectAll);
    std::uint8_t readBack = 0;
    const int rr = ReadStatus(adapter, &readBack);
    // A lock that did not happen is not reported as done: the write must
    // succeed and the lock bit and block protection must read back set.
    if (r != CMD_OK) return r;
    if (rr != CMD_OK) return rr;
    return (readBack & kStatusLockMask) == kStatusLockMask ? CMD_OK : CMD_FAILED;
}

int CFlashCmd::UnlockRom(std::uint32_t adapter) { return WriteStatus(adapter, kStatusUnprotected); }

int CFlashCmd::CheckLock(std::uint32_t adapter, std::uint8_t* out) {
    *out = 0;
    const int r = ReadStatus(adapter, out);
    if (r != CMD_OK) return r;
    const std::uint8_t s = *out;
    if ((s & kStatusLockMask) != kStatusLocked) return CMD_SW_PROTECT_FAIL;
    // Try to clear the register: with the write-protect pin holding the
    // lock, the write does not take.
    WriteStatus(adapter, kStatusUnprotected);
    ReadStatus(adapter, out);
    WriteStatus(adapter, s);
    return (*out & kStatusLockMask) == kStatusLocked ? CMD_OK : CMD_HW_PROTECT_FAIL;
}

int CFlashCmd::RelockRom(std::uint32_t adapter) {
    protectionFound_ = ProtectionFound::Untouched;
    return LockRom(adapter);
}

int CFlashCmd::UnprotectRom(std::uint32_t adapter) {
    // Kept so that a run which then changes nothing can put it back.
    std::uint8_t found = 0;
    protectionFound_ = ReadStatus(adapter, &found) == CMD_OK ? ProtectionFound::Read : ProtectionFound::Unread;
    foundStatus_ = found;
    return UnlockRom(adapter);
}

int CFlashCmd::RestoreProtection(std::uint32_t adapter) {
    const ProtectionFound found = protectionFound_;
    protectionFound_ = ProtectionFound::Untouched;
    switch (found) {
    case ProtectionFound::Untouched: return CMD_OK;
    case ProtectionFound::Read: return WriteStatus(adapter, foundStatus_);
    case ProtectionFound::Unread: break;
    }
    // Nothing known to put back: protected, as after a write.
    return LockRom(adapter);
}

std::uint32_t CFlashCmd::PartShownIn(const std::uint8_t* rom, std::uint32_t size) const {
    // The smallest EEPROMs hold 128 bytes; no flash part holds less than
    // 32 KiB, and a ROM whose content merely repeats a pattern is no part.
    constexpr std::uint32_t kSmallestEeprom = 0x80;
    constexpr std::uint32_t kSmallestFlash = 0x8000;
    const bool eeprom = engine && IsI2cEepromType(engine->flashType);
    return RomImage::RepeatPeriod(rom, size, eeprom ? kSmallestEeprom : kSmallestFlash);
}

bool CFlashCmd::WriteRunEnded(int state) const {
    switch (state) {
    case CMD_CHECKS_PASSED:
    case CMD_EDIT_READY:
    case CMD_READY_TO_ERASE:
    case CMD_ERASED:
    case CMD_MEM_OK:
    case CMD_SSID_OK:
    case CMD_PN_OK:
    case CMD_SIG_PASS:
    case CMD_FW_START:
    case CMD_FW_WRITE:
    case CMD_FW_VERIFY:
    case CMD_FW_DONE: return false;
    case CMD_NOT_ERASED:
    case CMD_FAILED: return !retryPending_;
    default: return true;
    }
}

int CFlashCmd::EndWriteRun(std::uint32_t adapter, int state) {
    if (!engine) return state;
    // The failure the run ends with is told after this, from the engine's
    // error: the status writes must not replace it.
    const std::int32_t code = engine->errorCode;
    const std::uint32_t address = engine->errorAddress;
    // A run that erased or wrote the part leaves it protected; one that
    // changed nothing puts back the protection it found.
    if (partTouched_) RelockRom(adapter);
    else RestoreProtection(adapter);
    engine->acceptSilentPart = false;
    engine->CloseAccess();
    engine->errorCode = code;
    engine->errorAddress = address;
    return state;
}

int CFlashCmd::EndIfFinished(std::uint32_t adapter, int state) {
    if (WriteRunEnded(state)) EndWriteRun(adapter, state);
    return state;
}

bool CFlashCmd::Reselect(std::uint32_t adapter) {
    engine->CloseAccess();
    if (SelectAdapter(adapter, engine->maxSegmentToScan, engine->maxBusToScan) != 1 || engine->romSize == 0)
        return false;
    ApplyForcedSerialType();
    return true;
}

bool CFlashCmd::BlockProtectionLeft() {
    const std::uint32_t s = engine->ReadStatus();
    // No status register, or a status of all ones (no reading): nothing to go by.
    if (s == 0xFFFFFFFF || (s & 0xFF) == 0xFF) return false;
    return (s & engine->BlockProtectionMask()) != 0;
}
