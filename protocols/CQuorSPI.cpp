#include "protocols/CQuorSPI.h"

#include <cstdio>
#include <cstring>

#include "protocols/ProtocolHost.h"

namespace {

// ROM_SW_CNTL: the frame receives its byte count instead of sending it.
constexpr std::uint32_t kSwCntlReceive = 0x40000;

// The first-generation controller, in the register aperture.
constexpr RomControllerRegisters kQuorRegisters{
    .padA = 0x1798, .padB = 0x17A0, .padOut = 0x179C, .padIn = 0x17A4, .aux = 0,
    .cntl = 0x1604, .swCntl = 0x1618, .swStatus = 0x161C, .swCommand = 0x1620, .data = 0x1624,
};
// The second-generation controller behind the indirect pair; its pads stay
// in the aperture.
constexpr RomControllerRegisters kIndirectRegisters{
    .padA = 0x608, .padB = 0x610, .padOut = 0x60C, .padIn = 0x614, .aux = 0xC0600000,
    .cntl = 0xC0600004, .swCntl = 0xC060001C, .swStatus = 0xC0600020, .swCommand = 0xC0600024, .data = 0xC0600028,
};

}  // namespace

CQuorSPI::CQuorSPI(ProtocolHost* owner) : CGenSPI(owner) {
    SetControllerRegisters(kQuorRegisters);
    BuildDataTable(kQuorRegisters.data);
    maxReadBurst = kRomControllerDataBytes;
    maxWriteBurst = kRomControllerDataBytes;
    SetLines(22, 1, 10, 9, 8);
}

CQuorSPI::~CQuorSPI() = default;

void CQuorSPI::BuildDataTable(std::uint32_t first) {
    for (std::uint32_t k = 0; k < kRomControllerDataBytes; ++k) ROM_SW_DATA[k] = first + k;
}

void CQuorSPI::SetControllerRegisters(const ControllerRegisters& r) {
    padRegA = r.padA;
    padRegB = r.padB;
    padOutReg = r.padOut;
    padInReg = r.padIn;
    ROM_AUX_CNTL = r.aux;
    ROM_CNTL = r.cntl;
    ROM_SW_CNTL = r.swCntl;
    ROM_SW_STATUS = r.swStatus;
    ROM_SW_COMMAND = r.swCommand;
}

void CQuorSPI::UseIndirectControllerRegisters() {
    SetControllerRegisters(kIndirectRegisters);
    BuildDataTable(kIndirectRegisters.data);
    indirectController = true;
}

void CQuorSPI::SetLines(std::int32_t csBit, std::uint16_t csInvert, std::int32_t clkBit, std::int32_t doutBit,
                        std::int32_t dinBit) {
    csLine = SpiLine{padOutReg, csBit, csInvert};
    clkLine = SpiLine{padOutReg, clkBit, 0};
    doutLine = SpiLine{padOutReg, doutBit, 0};
    dinLine = SpiLine{padInReg, dinBit, 0};
}

void CQuorSPI::SetFamily(std::int32_t value) { family = value; }

int CQuorSPI::SupportsTarget(ProtocolHost*) { return 1; }

std::uint32_t CQuorSPI::ReadController(std::uint32_t reg) {
    return indirectController ? flash->ReadIndirectRegister(reg) : flash->ReadRegister(reg);
}

void CQuorSPI::WriteController(std::uint32_t reg, std::uint32_t value) {
    if (indirectController)
        flash->WriteIndirectRegister(reg, value);
    else
        flash->WriteRegister(reg, value);
}

std::uint32_t CQuorSPI::Transfer(std::uint32_t cmdLen, const std::uint8_t* cmd, std::uint32_t txLen,
                                 const std::uint8_t* tx, std::uint32_t rxLen, std::uint8_t* rx,
                                 std::int16_t verify) {
    if (forceBitbangTransfer == 1) return CGenSPI::Transfer(cmdLen, cmd, txLen, tx, rxLen, rx, verify);
    static constexpr FrameStyle kStyle{.padMask = kPadMask,
                                       .modeClear = 0xF3FFFFFF,
                                       .modeSet = 0x04000000,
                                       .timeoutMessage = "Quor spi - read rom controller status timeout"};
    return ControllerTransfer(kStyle, cmdLen, cmd, txLen, tx, rxLen, rx, verify);
}

CQuorSPI::PadHandOver::PadHandOver(CQuorSPI& spi, std::uint32_t mask)
    : host(*spi.flash), regA(spi.padRegA), regB(spi.padRegB), regOut(spi.padOutReg) {
    savedA = host.ReadRegister(regA);
    savedB = host.ReadRegister(regB);
    savedOut = host.ReadRegister(regOut);
    host.WriteRegister(regA, savedA & mask);
    host.WriteRegister(regB, savedB & mask);
    host.WriteRegister(regOut, savedOut & mask);
}

CQuorSPI::PadHandOver::~PadHandOver() {
    host.WriteRegister(regOut, savedOut);
    host.WriteRegister(regA, savedA);
    host.WriteRegister(regB, savedB);
}

std::uint32_t CQuorSPI::ControllerTransfer(const FrameStyle& style, std::uint32_t cmdLen, const std::uint8_t* cmd,
                                           std::uint32_t txLen, const std::uint8_t* tx, std::uint32_t rxLen,
                                           std::uint8_t* rx, std::int16_t verify) {
    if (verify != 1 && rxLen && rx) std::memset(rx, 0xFF, rxLen);
    // The command word holds 4 bytes and the data registers 256: a longer
    // request would run past them, so it is refused before any access.
    if (cmdLen == 0 || cmdLen > kRomControllerCommandBytes || !cmd || txLen > kRomControllerDataBytes ||
        rxLen > kRomControllerDataBytes || (txLen && !tx) || (rxLen && !rx))
        return 0;

    std::uint32_t result = 0;
    {
        PadHandOver pads(*this, style.padMask);
        const std::uint32_t savedCntl = ReadController(ROM_CNTL);
        WriteController(ROM_CNTL, (savedCntl & style.modeClear) | style.modeSet);
        ReadController(ROM_CNTL);

        WriteController(ROM_SW_STATUS, 0);
        const std::uint32_t status = ReadController(ROM_SW_STATUS);
        if (status != 0) {
            flash->Log(1, "  ROM_SW_STATUS not cleared %08x\n", status);
        } else {
            StartFrame(cmdLen, cmd, txLen, tx, rxLen);
            if (!WaitForFrame()) {
                if (style.timeoutMessage) std::printf("%s\n", style.timeoutMessage);
                WriteController(ROM_SW_STATUS, 0);
                flash->Log(1, "  ROM_SW_STATUS = %08x\n", 0u);
            } else {
                WriteController(ROM_SW_STATUS, 0);
                result = cmdLen + txLen + CollectReceived(rxLen, rx, verify);
            }
        }
        WriteController(ROM_CNTL, savedCntl);
    }
    ReadController(ROM_CNTL);
    return result;
}

void CQuorSPI::StartFrame(std::uint32_t cmdLen, const std::uint8_t* cmd, std::uint32_t txLen, const std::uint8_t* tx,
                          std::uint32_t rxLen) {
    std::uint8_t c[4] = {0, 0, 0, 0};
    std::memcpy(c, cmd, cmdLen);
    WriteController(ROM_SW_COMMAND, std::uint32_t(c[0]) | std::uint32_t(c[1]) << 24 | std::uint32_t(c[2]) << 16 |
                                        std::uint32_t(c[3]) << 8);
    for (std::uint32_t k = 0; k < txLen; k += 4) {
        std::uint32_t word = 0;
        for (std::uint32_t j = 0; j < 4; ++j)
            if (k + j < txLen) word |= std::uint32_t(tx[k + j]) << (24 - 8 * j);
        WriteController(ROM_SW_DATA[k], word);
    }
    ReadController(ROM_SW_CNTL);
    if (rxLen)
        WriteController(ROM_SW_CNTL, rxLen | kSwCntlReceive | (cmdLen - 1) << 16);
    else
        WriteController(ROM_SW_CNTL, txLen | (cmdLen - 1) << 16);
}

bool CQuorSPI::WaitForFrame() {
    const std::uint64_t until = flash->StartTimeoutMicros(kRomControllerStatusTimeoutUs);
    for (;;) {
        if (ReadController(ROM_SW_STATUS) != 0) return true;
        if (flash->IsTimedOut(until)) return false;
    }
}

std::uint32_t CQuorSPI::CollectReceived(std::uint32_t rxLen, std::uint8_t* rx, std::int16_t verify) {
    std::uint32_t got = 0;
    std::uint32_t word = 0;
    for (std::uint32_t k = 0; k < rxLen; ++k) {
        if (k % 4 == 0) word = ReadController(ROM_SW_DATA[k]);
        const std::uint8_t byte = std::uint8_t(word >> (8 * (k % 4)));
        if (verify == 1) {
            if (byte != rx[k]) break;
        } else {
            rx[k] = byte;
        }
        ++got;
    }
    return got;
}

std::uint32_t CQuorSPI::ReadRange(std::uint8_t* buffer, std::uint32_t address, std::uint32_t length,
                                  std::int16_t verify) {
    if (forceBitbangRead != 0) return CGenSPI::ReadRange(buffer, address, length, verify);
    // Nothing to copy from without an aperture: report it as nothing read.
    if (!buffer || !flash->IsRomMapped()) return 0;

    std::uint32_t result = 0;
    {
        PadHandOver pads(*this, kPadMask);
        flash->ReadRegister(padRegB);
        if (verify == 0) {
            // ReadRom takes an int length; copy in slices.
            std::uint32_t done = 0;
            while (done < length) {
                std::uint32_t n = length - done > 0x40000000u ? 0x40000000u : length - done;
                flash->ReadRom(address + done, buffer + done, int(n));
                done += n;
            }
            result = length;
        } else {
            while (result < length && flash->ReadRomByte(address + result) == buffer[result]) ++result;
        }
    }
    flash->ReadRegister(padRegB);
    return result;
}
