#include "protocols/CVoskSerial.h"

#include <algorithm>

#include "protocols/ProtocolHost.h"
#include "protocols/SpiPart.h"

CVoskSerial::CVoskSerial(ProtocolHost* owner) : flash(owner) {}

CVoskSerial::~CVoskSerial() = default;

// Controller registers in the register aperture.
std::uint32_t CVoskSerial::RdSepromCntl1() { return flash->ReadRegister(kSepromCntl1); }
std::uint32_t CVoskSerial::RdSepromCntl2() { return flash->ReadRegister(kSepromCntl2); }
void CVoskSerial::WrSepromCntl1(std::uint32_t value) { flash->WriteRegister(kSepromCntl1, value); }
void CVoskSerial::WrSepromCntl2(std::uint32_t value) { flash->WriteRegister(kSepromCntl2, value); }

// ---------------------------------------------------------------- commands

void CVoskSerial::ControllerWait() {
    flash->StartTimeout(timeoutSeconds);
    while ((RdSepromCntl1() & kSepromBusy) != 0 && !flash->IsTimedOut()) {
    }
}

std::uint32_t CVoskSerial::RunControllerCommand(const SepromCommand& command) {
    const std::uint32_t saved1 = RdSepromCntl1();
    const std::uint32_t saved2 = RdSepromCntl2();
    if (command.plainAccessFirst) {
        WrSepromCntl1(kSepromBase | Kept(saved1));
        flash->ReadRomByte(0);
        if (!command.bridge) flash->WriteRomByte(0, 0);
    }
    WrSepromCntl1(kSepromBase | Kept(saved1) | command.mode);
    WrSepromCntl2((saved2 & ~command.fieldMask) | command.fields);
    RdSepromCntl2();
    if (command.bridge) flash->IoDelay();
    flash->WriteRomByte(0, command.trigger);
    ControllerWait();
    // In reverse order of saving, so the mode goes back last.
    WrSepromCntl2(saved2);
    WrSepromCntl1(saved1);
    return RdSepromCntl1() & kSepromBusy;
}

std::int16_t CVoskSerial::RunCommand(std::uint8_t flags, std::uint8_t opcode, bool bridge, const char* name) {
    flash->Log(1, "%s::ExeCommand(%X,%X) begins\n", name, flags, opcode);
    // A status write keeps the enable-write-status command right before it.
    const bool statusWrite = flags == kSepromWriteStatus && opcode == kSpiWrsr;
    const std::uint32_t busy = RunControllerCommand({.mode = flags,
                                                     .fieldMask = kSepromOpcodeMask,
                                                     .fields = std::uint32_t(opcode) << 16,
                                                     .plainAccessFirst = !statusWrite,
                                                     .bridge = bridge});
    flash->Log(1, "%s::ExeCommand() %X ends\n", name, busy);
    return busy == 0 ? 1 : 0;
}

std::int16_t CVoskSerial::ExeCommand(std::uint8_t flags, std::uint8_t opcode) {
    return RunCommand(flags, opcode, false, "CVoskSerial");
}

std::uint8_t CVoskSerial::PollStatus(std::uint8_t expected, std::uint8_t mask) {
    flash->Log(1, "CVoskSerial::PollStatus(%X,%X) begins\n", expected, mask);
    const std::uint32_t saved1 = RdSepromCntl1();
    const std::uint32_t saved2 = RdSepromCntl2();
    flash->ReadRomByte(0);
    const std::uint32_t mode = kSepromBase | Kept(saved1) | kSepromReadStatus;
    WrSepromCntl1(mode);
    WrSepromCntl2((saved2 & ~kSepromOpcodeMask) | std::uint32_t(kSpiRdsr) << 16);
    RdSepromCntl2();
    flash->StartTimeout(timeoutSeconds);
    std::uint8_t status = 0;
    for (;;) {
        status = std::uint8_t(flash->ReadRomByte(0));
        if (((status ^ expected) & mask) == 0 || flash->IsTimedOut()) break;
        WrSepromCntl1(mode);
        RdSepromCntl1();
    }
    WrSepromCntl1(saved1);
    WrSepromCntl2(saved2);
    RdSepromCntl2();
    flash->Log(1, "CVoskSerial::PollStatus() %X ends\n", status);
    return status;
}

std::uint8_t CVoskSerial::ReadStatus() { return PollStatus(0, 0); }

std::uint8_t CVoskSerial::GetBlockProtect() { return (ReadStatus() >> 2) & 3; }

std::int16_t CVoskSerial::InlineEnable(bool setErrorAddress, const char* notSet) {
    if (!ExeCommand(kSepromOpcodeOnly, kSpiWren)) {
        flash->Log(1, "timeout polling ASIC idle after write enable\n");
        flash->SetErrorCode(FLASH_WREN_ASIC_TIMEOUT);
        return 0;
    }
    const std::uint8_t status = PollStatus(0x02, 0x03);
    if (status & 0x01) {
        flash->Log(1, "timeout polling ROM idle after write enable\n");
        flash->SetErrorCode(FLASH_WREN_ROM_TIMEOUT);
        return 0;
    }
    if (!(status & 0x02)) {
        flash->Log(1, notSet, status);
        flash->SetErrorCode(FLASH_WREN_NOT_SET);
        if (setErrorAddress) flash->SetErrorAddress(status);
        return 0;
    }
    return 1;
}

std::int16_t CVoskSerial::InlineDisable() {
    if (!ExeCommand(kSepromWriteDisable, kSpiWrdi)) {
        flash->Log(1, "ASIC not idle after write disable\n");
        flash->SetErrorCode(FLASH_WRDI_ASIC_BUSY);
        return 0;
    }
    const std::uint8_t status = PollStatus(0x00, 0x03);
    if (status & 0x01) {
        flash->Log(1, "ROM not idle after write disable\n");
        flash->SetErrorCode(FLASH_WRDI_ROM_BUSY);
        return 0;
    }
    if (status & 0x02) {
        flash->Log(1, "write enable not reset\n");
        flash->SetErrorCode(FLASH_WREN_NOT_RESET);
        return 0;
    }
    return 1;
}

std::int16_t CVoskSerial::WriteEnable() { return InlineEnable(true, "write enable not set (status = %02xh)\n"); }

std::int16_t CVoskSerial::WriteDisable() { return InlineDisable(); }

std::int16_t CVoskSerial::EnableStatusWrite() {
    if (ExeCommand(kSepromOpcodeOnly, kSpiEwsr)) return 1;
    flash->Log(1, "timeout polling ASIC idle after EWSR\n");
    flash->SetErrorCode(FLASH_WRSR_TIMEOUT);
    return 0;
}

std::int16_t CVoskSerial::WriteStatusRegister(std::uint8_t value) {
    flash->Log(1, "CVoskSerial::WriteStatusRegister(%X) begins\n", value);
    if (!WriteEnable()) return 0;
    // The SST parts take a status write only right after EWSR.
    if (statusWriteNeedsEwsr && !EnableStatusWrite()) return 0;
    const std::uint32_t busy = RunControllerCommand({.mode = kSepromWriteStatus,
                                                     .fieldMask = kSepromOpcodeMask,
                                                     .fields = std::uint32_t(kSpiWrsr) << 16,
                                                     .trigger = value});
    if (!WriteDisable()) return 0;
    flash->Log(1, "CVoskSerial::WriteStatusRegister %X ends\n", busy);
    // A value with the latch bit asks for the latch to stay set.
    if (value & 0x02) WriteEnable();
    return 1;
}

std::int16_t CVoskSerial::Unprotect() {
    if (GetBlockProtect() == 0) return 1;
    WriteStatusRegister(0);
    return GetBlockProtect() == 0 ? 1 : 0;
}

// ---------------------------------------------------------------- program

std::uint32_t CVoskSerial::VerifyBlock(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    flash->ReadRomByte(0);
    for (std::uint32_t i = 0; i < length; ++i) {
        const std::uint8_t want = data ? data[i] : 0xFF;
        if (std::uint8_t(flash->ReadRomByte(offset + i)) != want) return i;
    }
    return length;
}

std::int16_t CVoskSerial::ProgramBlock(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length,
                                       std::uint32_t control) {
    const std::uint32_t saved1 = RdSepromCntl1();
    WrSepromCntl1(control | Kept(saved1));
    RdSepromCntl1();
    flash->WriteRom(offset, data, int(length));
    RdSepromCntl1();
    if (postProgramSleep > 1) flash->Sleep(int(postProgramSleep));
    ControllerWait();
    WrSepromCntl1(saved1);
    return (RdSepromCntl1() & kSepromBusy) == 0 ? 1 : 0;
}

std::uint32_t CVoskSerial::WriteChunks(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length,
                                       bool inlineEnable) {
    timeoutSeconds = 1;
    retryCount = 0;
    const bool burst = pageSize > 1;
    const std::uint32_t page = burst ? pageSize : 1;
    const std::uint32_t mode = kSepromBase | (burst ? kSepromBurst : 0);
    std::uint32_t done = 0;
    while (done < length) {
        flash->SetErrorCode(FLASH_OK);
        const std::uint32_t addr = offset + done;
        // A chunk ends at the page boundary or at the caller's last byte.
        const std::uint32_t toBoundary = page - addr % page;
        const std::uint32_t n = toBoundary < length - done ? toBoundary : length - done;
        std::uint32_t verified = 0;
        bool ok = inlineEnable ? InlineEnable(false, "write enable not set\n") == 1 : WriteEnable() == 1;
        if (ok && !ProgramBlock(data + done, addr, n, mode | (burst ? (n - 1) << 16 : 0))) {
            flash->Log(1, "ASIC not idle after rom write\n");
            flash->SetErrorCode(FLASH_WRITE_ASIC_BUSY);
            flash->SetErrorAddress(addr);
            ok = false;
        }
        if (ok && (PollStatus(0x00, 0x01) & 0x01)) {
            flash->Log(1, "ROM not idle after write\n");
            flash->SetErrorCode(FLASH_WRITE_ROM_BUSY);
            flash->SetErrorAddress(addr);
            ok = false;
        }
        if (ok) {
            verified = VerifyBlock(data + done, addr, n);
            if (verified >= n) {
                done += n;
                continue;
            }
            flash->SetErrorCode(FLASH_VERIFY_ERROR);
            flash->Log(1, "seprom_cntl1 = %x, addr = %X\n", RdSepromCntl1(), addr);
            for (std::uint32_t i = 0; i < n; ++i)
                flash->Log(1, "%02X,%02X   ", data[done + i], std::uint8_t(flash->ReadRomByte(addr + i)));
            flash->Log(1, "\n");
            flash->FlushLog(1);
            const std::uint8_t wrote = data[done + verified];
            const std::uint8_t read = std::uint8_t(flash->ReadRomByte(addr + verified));
            flash->SetVerifyError(addr + verified, wrote, read);
            flash->Log(1, "write error at 0x%X, wr[%08X], rd[%08X]\n", addr + verified, wrote, read);
        }
        if (++retryCount > retryLimit) return done + verified;
    }
    for (;;) {
        flash->SetErrorCode(FLASH_OK);
        if ((inlineEnable ? InlineDisable() : WriteDisable()) == 1) break;
        if (++retryCount > retryLimit) break;
    }
    return done;
}

std::uint32_t CVoskSerial::Write(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    return WriteChunks(data, offset, length, false);
}

std::uint32_t CVoskSerial::WriteAT25F(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    return Write(data, offset, length);
}
std::uint32_t CVoskSerial::WriteSTM25P(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    return Write(data, offset, length);
}
std::uint32_t CVoskSerial::WriteSST(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    return Write(data, offset, length);
}

// ---------------------------------------------------------------- erase

std::uint32_t CVoskSerial::BlankAfterErase() {
    const std::uint32_t blank = VerifyBlock(nullptr, 0, romSize);
    if (blank < romSize) {
        flash->Log(1, "data not erased\n");
        flash->SetErrorCode(FLASH_NOT_ERASED);
    }
    return blank;
}

std::uint32_t CVoskSerial::EraseRom(std::uint8_t opcode) {
    flash->SetErrorCode(FLASH_OK);
    for (std::uint32_t at = 0; at < romSize; at += kSepromSectorBytes) {
        // A sector an earlier attempt erased is not erased again: on a part
        // slower than the wait, each attempt then gets further.
        const std::uint32_t n = std::min(kSepromSectorBytes, romSize - at);
        if (!(ReadStatus() & 0x01) && VerifyBlock(nullptr, at, n) == n) continue;
        timeoutSeconds = 1;
        if (!WriteEnable()) return 0;
        if (SectorEraseCommand(std::uint8_t(at / kSepromSectorBytes), opcode) != 0) {
            flash->Log(1, "timeout polling ASIC idle after bulk erase\n");
            flash->SetErrorCode(FLASH_ERASE_ASIC_TIMEOUT);
            return 0;
        }
        if (BusyAfterEraseWaits()) {
            flash->Log(1, "timeout polling ROM idle after bulk erase\n");
            flash->SetErrorCode(FLASH_ERASE_ROM_TIMEOUT);
            return 0;
        }
    }
    return BlankAfterErase();
}

bool CVoskSerial::BusyAfterEraseWaits() {
    // A part still busy when the wait ends gets as long again before the
    // erase is judged.
    timeoutSeconds = kEraseWaitSeconds;
    return (PollStatus(0x00, 0x01) & 0x01) && (PollStatus(0x00, 0x01) & 0x01);
}

bool CVoskSerial::WaitWhileBusy() {
    const std::uint8_t status = ReadStatus();
    // A status of all ones: no part drives the data line.
    if (status == kSepromNoAnswer || !(status & 0x01)) return true;
    return !BusyAfterEraseWaits();
}

bool CVoskSerial::StillErasing() {
    if (!(ReadStatus() & 0x01)) return false;
    flash->Log(1, "timeout polling ROM idle after bulk erase\n");
    flash->SetErrorCode(FLASH_ERASE_ROM_TIMEOUT);
    return true;
}

std::uint32_t CVoskSerial::SectorEraseCommand(std::uint8_t sector, std::uint8_t opcode) {
    return RunControllerCommand({.mode = kSepromSectorErase,
                                 .fieldMask = kSepromOpcodeMask | kSepromSectorMask,
                                 .fields = std::uint32_t(sector & 0x0F) << 24 | std::uint32_t(opcode) << 16});
}

std::int16_t CVoskSerial::SectorErase(std::uint8_t sector) {
    retryCount = 0;
    std::int16_t result = 0;
    do {
        flash->SetErrorCode(FLASH_OK);
        if (!WriteEnable()) continue;
        result = SectorEraseCommand(sector, kSpiSectorErase) == 0 ? 1 : 0;
        if (!BusyAfterEraseWaits() && WriteDisable()) return result;
    } while (++retryCount <= retryLimit);
    return result;
}

std::uint32_t CVoskSerial::EraseAT25F() {
    retryCount = 0;
    std::uint32_t result = 0;
    // Every pass erases, whatever the one before returned.
    for (std::uint32_t pass = 0; pass <= retryLimit; ++pass) {
        result = EraseRom(kAt25fSectorErase);
        ++retryCount;
    }
    return result;
}

std::uint32_t CVoskSerial::EraseSTM25P() {
    retryCount = 0;
    while (GetBlockProtect() == 0) {
        const std::uint32_t r = EraseRom(kSpiSectorErase);
        if (r == romSize) return r;
        if (++retryCount > retryLimit) return r;
    }
    std::uint32_t blank = 0;
    // A part still erasing reads as anything: it is not judged blank.
    if (romSize <= 0x10000) {
        SectorErase(0);
        SectorErase(1);
        return StillErasing() ? 0 : BlankAfterErase();
    }
    // Only the top sector may stay protected; it is left as it is.
    if (GetBlockProtect() != 1) return 0;
    SectorErase(0);
    SectorErase(1);
    SectorErase(2);
    if (StillErasing()) return 0;
    blank = VerifyBlock(nullptr, 0, romSize);
    if (blank >= romSize - 0x8000) return romSize;
    flash->Log(1, "data not erased\n");
    flash->SetErrorCode(FLASH_NOT_ERASED);
    return blank;
}

std::uint32_t CVoskSerial::EraseSST() {
    retryCount = 0;
    std::uint32_t result = 0;
    for (std::uint32_t pass = 0; pass <= retryLimit; ++pass) {
        flash->SetErrorCode(FLASH_OK);
        bool clear = (ReadStatus() & 0x0C) == 0;
        if (!clear && EnableStatusWrite()) {
            if (!ExeCommand(kSepromWriteStatus, kSpiWrsr)) {
                flash->Log(1, "timeout polling ASIC idle after WRSR\n");
                flash->SetErrorCode(FLASH_WRSR_TIMEOUT);
            } else if (ReadStatus() & 0x0C) {
                flash->Log(1, "cannot disable block protection\n");
                flash->SetErrorCode(FLASH_PROTECTION_STUCK);
            } else {
                clear = true;
            }
        }
        if (clear) result = EraseRom(kSstBlockErase);
    }
    return result;
}

// ---------------------------------------------------------------- read

// Block protect guards program and erase only: protected sectors read as
// they are, so a backup of a locked part holds all of it.
std::uint32_t CVoskSerial::Read(std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length) {
    if (offset > romSize || length > romSize - offset) return 0;
    flash->ReadRom(offset, buffer, int(length));
    return length;
}
