#include "protocols/CGenSPI.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "protocols/ProtocolHost.h"

namespace {

constexpr char kSectorEraseTimeout[] = "Error: sector erase - read status register operation timeout";

}  // namespace

CGenSPI::CGenSPI(ProtocolHost* owner) : flash(owner) {}

CGenSPI::~CGenSPI() = default;

// ------------------------------------------------------------------ lines

std::uint32_t CGenSPI::SetLine(const SpiLine& line, int level) {
    std::uint32_t m = 1u << (line.bit & 31);
    std::uint32_t v = flash->ReadRegister(line.reg);
    v = (v & ~m) | (level != 0 ? m : 0);
    if (line.invert) v ^= m;
    flash->WriteRegister(line.reg, v);
    return flash->ReadRegister(line.reg);
}

std::uint32_t CGenSPI::SetChipSelect(int level) { return SetLine(csLine, level); }

std::uint32_t CGenSPI::SetClock(int level) { return SetLine(clkLine, level); }

std::uint32_t CGenSPI::SetDataOut(int level) { return SetLine(doutLine, level); }

int CGenSPI::ReadDataIn() {
    int bit = int((flash->ReadRegister(dinLine.reg) >> (dinLine.bit & 31)) & 1);
    return dinLine.invert ? bit ^ 1 : bit;
}

// ---------------------------------------------------------------- transfer

std::uint32_t CGenSPI::Transfer(std::uint32_t cmdLen, const std::uint8_t* cmd, std::uint32_t txLen,
                                const std::uint8_t* tx, std::uint32_t rxLen, std::uint8_t* rx,
                                std::int16_t verify) {
    if ((cmdLen && !cmd) || (txLen && !tx) || (rxLen && !rx)) return 0;
    if (verify != 1 && rxLen) std::memset(rx, 0xFF, rxLen);

    SetChipSelect(1);
    SetClock(0);
    SetChipSelect(0);
    auto sendBytes = [this](const std::uint8_t* bytes, std::uint32_t n) {
        for (std::uint32_t i = 0; i < n; ++i)
            for (int b = 7; b >= 0; --b) {
                SetDataOut((bytes[i] >> b) & 1);
                SetClock(1);
                SetClock(0);
            }
        SetDataOut(0);
    };
    sendBytes(cmd, cmdLen);
    sendBytes(tx, txLen);

    std::uint32_t got = 0;
    for (std::uint32_t i = 0; i < rxLen; ++i) {
        std::uint8_t byte = 0;
        for (int b = 7; b >= 0; --b) {
            SetClock(1);
            byte = std::uint8_t(byte | (ReadDataIn() << b));
            SetClock(0);
        }
        if (verify == 1) {
            if (byte != rx[i]) break;
        } else {
            rx[i] = byte;
        }
        ++got;
    }
    SetChipSelect(1);
    return cmdLen + txLen + got;
}

std::uint32_t CGenSPI::BuildCommand(std::uint8_t* buffer, const SpiCommand& command, std::uint32_t address) {
    std::uint32_t n = command.addressBytes;
    std::uint32_t d = command.dummyBytes;
    std::uint32_t length = 1 + n + d;
    if (length > kSpiCommandBufferSize) return 0;
    std::uint32_t k = 0;
    buffer[k++] = command.opcode;
    // Address bytes beyond the 32-bit address are 0.
    for (std::uint32_t i = n; i > 0; --i) buffer[k++] = std::uint8_t(std::uint64_t(address) >> (8 * (i - 1)));
    for (std::uint32_t i = 0; i < d; ++i) buffer[k++] = 0;
    return length;
}

std::uint32_t CGenSPI::SendCommand(SpiCommandIndex index, std::uint32_t address, std::uint32_t txLen,
                                   const std::uint8_t* tx, std::uint32_t rxLen, std::uint8_t* rx,
                                   std::int16_t verify, std::uint32_t* cmdLenOut, const SpiCommand* instead) {
    std::uint8_t cmd[kSpiCommandBufferSize];
    std::uint32_t cmdLen = 0;
    const SpiCommand* command = instead ? instead : part ? &part->commands[index] : nullptr;
    if (command && command->opcode != 0) cmdLen = BuildCommand(cmd, *command, address);
    if (cmdLenOut) *cmdLenOut = cmdLen;
    if (cmdLen == 0) {
        if (verify != 1 && rxLen && rx) std::memset(rx, 0xFF, rxLen);
        return 0;
    }
    return Transfer(cmdLen, cmd, txLen, tx, rxLen, rx, verify);
}

std::uint8_t CGenSPI::ReadStatusByte() {
    std::uint8_t status = 0xFF;
    SendCommand(SPI_RDSR, 0, 0, nullptr, 1, &status, 0);
    return status;
}

std::uint8_t CGenSPI::PollStatus(const StatusPoll& poll) {
    // A limit of its own: the frames of the status reads may time their
    // controller too.
    const std::uint64_t until = flash->StartTimeoutMicros(poll.limitUs);
    for (;;) {
        const std::uint8_t status = ReadStatusByte();
        if (!Shows(status, part->busy) && !(poll.untilWelClear && Shows(status, part->wel))) return status;
        if (flash->IsTimedOut(until)) {
            if (poll.timeoutMessage) std::printf("%s\n", poll.timeoutMessage);
            return status;
        }
    }
}

int CGenSPI::RunWriteCommand(SpiCommandIndex index, std::uint32_t address, std::uint32_t txLen,
                             const std::uint8_t* tx, const StatusPoll& poll, const SpiCommand* instead) {
    const bool statusWrite = index == SPI_WRSR;
    if (statusWrite && part->commands[SPI_EWSR].opcode != 0) {
        // Enable-write-status sets no latch to check.
        SendCommand(SPI_EWSR, 0, 0, nullptr, 0, nullptr, 0);
    } else {
        SendCommand(SPI_WREN, 0, 0, nullptr, 0, nullptr, 0);
        if (!Shows(ReadStatusByte(), part->wel)) return -1;
    }
    std::uint32_t cmdLen = 0;
    const std::uint32_t sent = SendCommand(index, address, txLen, tx, 0, nullptr, 0, &cmdLen, instead);
    if (cmdLen == 0) return -1;
    // A status byte that did not go out whole changed nothing worth waiting for.
    if (statusWrite && sent < cmdLen + txLen) return -1;
    return PollStatus(poll);
}

int CGenSPI::RunEraseCommand(SpiCommandIndex index, std::uint32_t address, std::uint64_t limitUs,
                             const char* timeoutMessage, const SpiCommand* instead) {
    // A part still busy when the wait ends gets as long again before the
    // erase is judged; only then is the time-out told.
    const int status = RunWriteCommand(index, address, 0, nullptr, {false, limitUs, nullptr}, instead);
    if (status < 0 || !Shows(std::uint32_t(status), part->busy)) return status;
    return PollStatus({false, limitUs, timeoutMessage});
}

bool CGenSPI::WaitWhileBusy(std::uint64_t limitUs) {
    if (!part) return true;
    const std::uint8_t status = ReadStatusByte();
    // A status of all ones is a part that does not answer: nothing to wait for.
    if (status == 0xFF || !Shows(status, part->busy)) return true;
    for (int wait = 0; wait < 2; ++wait)
        if (!Shows(PollStatus({false, limitUs, nullptr}), part->busy)) return true;
    return false;
}

bool CGenSPI::IdleAfterWrite(int status) const {
    return status >= 0 && !Shows(std::uint32_t(status), part->busy) && !Shows(std::uint32_t(status), part->wel);
}

// ---------------------------------------------------------- identification

std::uint32_t CGenSPI::DetectPart(SpiPart* parts, std::uint32_t count) {
    part = nullptr;
    if (!parts) return count;
    SpiCommand last{0, 0, 0};
    std::uint8_t id[4];
    std::memset(id, 0xFF, sizeof id);
    for (std::uint32_t i = 0; i < count; ++i) {
        const SpiCommand& c = parts[i].commands[SPI_READ_ID];
        // An entry without an identification command cannot be told apart
        // from any other part: never match it.
        if (c.opcode == 0) continue;
        if (c.opcode != last.opcode || c.addressBytes != last.addressBytes || c.dummyBytes != last.dummyBytes) {
            last = c;
            std::memset(id, 0xFF, sizeof id);
            std::uint8_t cmd[kSpiCommandBufferSize];
            std::uint32_t cmdLen = BuildCommand(cmd, c, 0);
            if (cmdLen) Transfer(cmdLen, cmd, 0, nullptr, 4, id, 0);
        }
        bool match = true;
        for (int k = 0; k < 4; ++k)
            if (parts[i].id[k] != 0 && parts[i].id[k] != id[k]) match = false;
        if (match) {
            part = &parts[i];
            return i;
        }
    }
    return count;
}

// ----------------------------------------------------------------- ranges

std::uint32_t CGenSPI::ChunkAt(std::uint32_t address, std::uint32_t end, std::uint32_t cap) const {
    std::uint64_t page = part->pageSize;
    if (page == 0) return 0;
    std::uint64_t chunk = page * (address / page + 1) - address;
    chunk = std::min<std::uint64_t>(chunk, end - address);
    if (cap) chunk = std::min<std::uint64_t>(chunk, cap);
    return std::uint32_t(chunk);
}

std::uint32_t CGenSPI::ReadRange(std::uint8_t* buffer, std::uint32_t address, std::uint32_t length,
                                 std::int16_t verify) {
    if (!part || !buffer || part->pageSize == 0) return 0;
    std::uint64_t end64 = std::uint64_t(address) + length;
    std::uint32_t end = end64 > 0xFFFFFFFFu ? 0xFFFFFFFFu : std::uint32_t(end64);
    std::uint32_t done = 0;
    while (address < end) {
        std::uint32_t chunk = ChunkAt(address, end, maxReadBurst);
        std::uint32_t cmdLen = 0;
        std::uint32_t r = SendCommand(SPI_READ, address, 0, nullptr, chunk, buffer + done, verify, &cmdLen);
        if (cmdLen == 0) return done;
        if (r < cmdLen + chunk) {
            if (r > cmdLen) done += r - cmdLen;
            return done;
        }
        address += chunk;
        done += chunk;
    }
    return done;
}

std::uint32_t CGenSPI::ProgramRange(const std::uint8_t* data, std::uint32_t address, std::uint32_t length,
                                    std::int16_t verify) {
    if (!part) return 0;
    if (announceBurst) std::printf("Burst size is %d \n", int(part->pageSize));
    if (!data || part->pageSize == 0) return 0;
    std::uint64_t end64 = std::uint64_t(address) + length;
    std::uint32_t end = end64 > 0xFFFFFFFFu ? 0xFFFFFFFFu : std::uint32_t(end64);
    std::uint32_t done = 0;
    while (address < end) {
        std::uint32_t chunk = ChunkAt(address, end, maxWriteBurst);
        // A frame that did not go out leaves WEL set, which the poll reports
        // as a time-out.
        static constexpr StatusPoll kPoll{true, kSpiPageProgramTimeoutUs,
                                          "Error: page program - read status register operation timeout"};
        if (!IdleAfterWrite(RunWriteCommand(SPI_PAGE_PROGRAM, address, chunk, data + done, kPoll))) return done;

        if (verify == 1) {
            std::uint32_t cmdLen = 0;
            std::uint32_t r = SendCommand(SPI_READ, address, 0, nullptr, chunk, const_cast<std::uint8_t*>(data + done), 1,
                            &cmdLen);
            if (cmdLen == 0) return done;
            if (r < cmdLen + chunk) return done + (r > cmdLen ? r - cmdLen : 0);
        }
        address += chunk;
        done += chunk;
    }
    return done;
}

// ----------------------------------------------------------------- erase

std::uint32_t CGenSPI::BlankCheck(std::uint32_t address, std::uint32_t length) {
    // Verify mode only compares; 128 bytes per read as the erase check always did.
    std::uint8_t blank[128];
    std::memset(blank, 0xFF, sizeof blank);
    std::uint32_t done = 0;
    while (done < length) {
        std::uint32_t n = std::min<std::uint32_t>(length - done, sizeof blank);
        std::uint32_t r = ReadRange(blank, address + done, n, 1);
        if (r < n) return done + r;
        done += n;
    }
    return done;
}

std::uint32_t CGenSPI::ChipErase(std::int16_t verify, std::uint32_t blankCheckLength) {
    if (!part) return 0;
    std::uint32_t length = blankCheckLength ? blankCheckLength : part->size;
    LiftPowerUpProtection();

    // The wait grows with the part.
    const int status = RunEraseCommand(SPI_CHIP_ERASE, 0, ChipEraseLimitUs(part->size, kSpiChipEraseTimeoutUs),
                                       "Error: bulk erase - read status register operation timeout");
    if (!IdleAfterWrite(status)) return 0;
    if (verify != 1) return length;
    return BlankCheck(0, length);
}

void CGenSPI::LiftPowerUpProtection() {
    if (part->commands[SPI_CHIP_ERASE].opcode == 0x60 && part->commands[SPI_EWSR].opcode == 0x50 &&
        TestStatusBits(part->wp[SPI_WP_UNPROTECT]) != 1)
        WriteStatus(0);
}

std::uint32_t CGenSPI::JedecCapacity() {
    if (!part) return 0;
    static constexpr SpiCommand kReadJedecId{0x9F, 0, 0};
    std::uint8_t cmd[kSpiCommandBufferSize];
    std::uint8_t id[3];
    const std::uint32_t cmdLen = BuildCommand(cmd, kReadJedecId, 0);
    if (Transfer(cmdLen, cmd, 0, nullptr, sizeof id, id, 0) < cmdLen + sizeof id) return 0;
    // Capacity codes from 64 KiB up; anything else (another maker's
    // answer, no answer, a code of another scheme) says nothing.
    constexpr std::uint8_t kSmallestCode = 0x10;
    constexpr std::uint8_t kLargestCode = 0x1F;
    if (id[0] != part->id[0] || id[2] < kSmallestCode || id[2] > kLargestCode) return 0;
    return 1u << id[2];
}

std::uint32_t CGenSPI::BlockEraseSize() const {
    constexpr std::uint32_t kSmallBlock = 0x8000;
    constexpr std::uint32_t kLargeBlock = 0x10000;
    if (!part) return 0;
    switch (part->commands[SPI_SECTOR_ERASE].opcode) {
    // 0xD8 erases 32 KiB where the record names 32 KiB sectors, else 64 KiB.
    case 0xD8: return part->sectorSize == kSmallBlock ? kSmallBlock : kLargeBlock;
    case 0x52: return kSmallBlock;
    default: return 0;
    }
}

std::uint32_t CGenSPI::EraseBlocks(std::uint32_t length) {
    const std::uint32_t block = BlockEraseSize();
    if (block == 0 || length == 0) return 0;
    LiftPowerUpProtection();
    // The sets of the type table give the sector erase no address bytes.
    SpiCommand erase = part->commands[SPI_SECTOR_ERASE];
    erase.addressBytes = 3;
    for (std::uint64_t at = 0; at < length; at += block) {
        // A block an earlier attempt erased is not erased again: on a part
        // slower than the wait, each attempt then gets further.
        const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(block, length - at));
        if (!Shows(ReadStatusByte(), part->busy) && BlankCheck(std::uint32_t(at), n) == n) continue;
        const int status = RunEraseCommand(SPI_SECTOR_ERASE, std::uint32_t(at), kSpiSectorEraseTimeoutUs,
                                           kSectorEraseTimeout, &erase);
        if (IdleAfterWrite(status)) continue;
        // A block still erasing reads as anything: nothing is judged blank.
        if (status >= 0 && Shows(std::uint32_t(status), part->busy)) return 0;
        break;
    }
    // What reads blank counts, also after a block that failed.
    return BlankCheck(0, length);
}

std::uint32_t CGenSPI::SectorErase(std::uint32_t index, std::int16_t verify) {
    if (!part || part->sectorSize == 0 || part->commands[SPI_SECTOR_ERASE].opcode == 0) return 0;
    std::uint64_t address64 = std::uint64_t(index) * part->sectorSize;
    if (address64 > 0xFFFFFFFFu) return 0;
    std::uint32_t address = std::uint32_t(address64);

    if (!IdleAfterWrite(RunEraseCommand(SPI_SECTOR_ERASE, address, kSpiSectorEraseTimeoutUs, kSectorEraseTimeout)))
        return 0;
    if (verify != 1) return part->sectorSize;
    return BlankCheck(address, part->sectorSize);
}

// ---------------------------------------------------------------- status

std::uint32_t CGenSPI::ReadStatus() {
    if (!part) return kSpiStatusFailed;
    return ReadStatusByte();
}

std::uint32_t CGenSPI::WriteStatus(std::uint32_t value) {
    if (!part) return 0;
    const std::uint8_t byte = std::uint8_t(value);
    static constexpr StatusPoll kPoll{false, kSpiWriteStatusTimeoutUs,
                                      "Error: write status register - operation timeout"};
    const int status = RunWriteCommand(SPI_WRSR, 0, 1, &byte, kPoll);
    return status >= 0 && !Shows(std::uint32_t(status), part->busy) ? 1 : 0;
}

// ---------------------------------------------------------- write protect

int CGenSPI::SetStatusBits(const SpiStatusBits& pair) {
    if (!part || pair.mask == 0) return 0;
    std::uint32_t s = ReadStatus();
    WriteStatus(((s & ~std::uint32_t(pair.mask)) | pair.value) & 0xFF);
    return Shows(ReadStatus(), pair) ? 1 : 0;
}

int CGenSPI::TestStatusBits(const SpiStatusBits& pair) {
    if (!part || pair.mask == 0) return 0;
    return Shows(ReadStatus(), pair) ? 1 : 0;
}

int CGenSPI::ProtectAll() { return part ? SetStatusBits(part->wp[SPI_WP_ALL]) : 0; }

int CGenSPI::ProtectPartial() { return part ? SetStatusBits(part->wp[SPI_WP_PARTIAL]) : 0; }

int CGenSPI::LockStatusRegister() { return part ? SetStatusBits(part->wp[SPI_WP_LOCK]) : 0; }

int CGenSPI::IsWriteAllowed() { return 1; }

int CGenSPI::Unprotect() {
    if (!part) return 0;
    SetStatusBits(part->wp[SPI_WP_UNPROTECT]);
    return SetStatusBits(part->wp[SPI_WP_UNPROTECT]);
}

int CGenSPI::IsProtectedAll() { return part ? TestStatusBits(part->wp[SPI_WP_ALL]) : 0; }

int CGenSPI::IsProtectedPartial() { return part ? TestStatusBits(part->wp[SPI_WP_PARTIAL]) : 0; }

int CGenSPI::IsStatusRegisterLocked() { return part ? TestStatusBits(part->wp[SPI_WP_LOCK]) : 0; }

int CGenSPI::SupportsTarget(ProtocolHost*) { return 1; }
