// Handlers of the ROM read, checksum and status-register commands.
#include <cstdio>
#include <cstdlib>

#include "commands/CFlashCmd.h"
#include "ui/Arguments.h"
#include "ui/CFlashUI.h"
#include "ui/ImageFile.h"

namespace {

constexpr int kAny = -1;

// Hexadecimal command-line numbers are taken as typed, without a check.
std::uint32_t Hex(const char* text) { return std::uint32_t(std::strtoul(text, nullptr, 16)); }

// Arguments checked by ArgumentsValid first, so the adapter number parses.
std::uint32_t Adapter(char** args) {
    std::uint32_t n = 0;
    ParseDecimal(args[0], &n);
    return n;
}

// The checksum commands' report: a failure other than a mismatch is an
// error; otherwise the sum, then the expected one when it was given.
int ReportChecksum(CFlashUI& ui, int r, const char* what, bool expectedGiven, std::uint16_t expected) {
    if (r != CMD_OK && r != CMD_FAILED) {
        ui.ReportError(r);
        return r;
    }
    ui.Print(ui.log, "%s Checksum = 0x%04X\n", what, unsigned(ui.cmd->romChecksum & 0xFFFF));
    if (!expectedGiven) return CMD_OK;
    ui.Print(ui.log, "Expected Checksum = 0x%04X\n", unsigned(expected));
    return r;
}

}  // namespace

int CFlashUI::CmdSave(int count, char** args) {
    if (!ArgumentsValid(count, args, 2, kAny, true)) return CMD_USAGE;
    const std::uint32_t length = count > 2 ? Hex(args[2]) : 0;
    int r = cmd->ReadRom(Adapter(args), length);
    if (r != CMD_OK) {
        ReportError(r);
        return r;
    }
    FILE* f = COsDepend::OpenOutputFile(args[1], false);
    if (!f) {
        Print(log, "Failed to open file %s\n", args[1]);
        return CMD_FILE_NOT_FOUND;
    }
    const std::size_t c = std::fwrite(cmd->romBuffer, 1, cmd->bytesRead, f);
    const bool regular = COsDepend::IsRegularFile(f);
    const bool closed = std::fclose(f) == 0;
    // A backup cut short must not be reported as saved, nor left behind
    // where it would later pass for a whole one (a device is left alone).
    if (c != cmd->bytesRead || !closed) {
        if (regular) std::remove(args[1]);
        Print(log, "Failed to write file %s\n", args[1]);
        return CMD_FAILED;
    }
    Print(log, "0x%X bytes saved, checksum = 0x%04X\n", unsigned(c), unsigned(cmd->romChecksum & 0xFFFF));
    return CMD_OK;
}

int CFlashUI::CmdVerify(int count, char** args) {
    if (!ArgumentsValid(count, args, 2, kAny, true)) return CMD_USAGE;
    int r = LoadImageFile(*this, args[1]);
    if (r != CMD_OK) return r;
    r = cmd->VerifyRom(Adapter(args), image, imageLength);
    if (r == CMD_OK || r == CMD_FAILED)
        Print(log, "0x%X/0x%X bytes verified\n", unsigned(cmd->bytesVerified), unsigned(imageLength));
    else
        ReportError(r);
    return r;
}

int CFlashUI::CmdFileChecksum(int count, char** args) {
    if (!ArgumentsValid(count, args, 1, kAny, false)) return CMD_USAGE;
    // The named file always, also in a package.
    FILE* f = COsDepend::OpenInputFile(args[0]);
    if (!f) {
        Print(log, "File %s not found.\n", args[0]);
        return CMD_FILE_NOT_FOUND;
    }
    std::uint32_t sum = 0;
    unsigned char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        for (std::size_t i = 0; i < n; ++i) sum += chunk[i];
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    // A file that fails while being read has no checksum.
    if (failed) {
        Print(log, "File %s not found.\n", args[0]);
        return CMD_FILE_NOT_FOUND;
    }
    Print(log, "File Checksum = 0x%04X\n", unsigned(sum & 0xFFFF));
    if (count < 2) return CMD_OK;
    const std::uint16_t expected = std::uint16_t(Hex(args[1]));
    Print(log, "Expected Checksum = 0x%04X\n", unsigned(expected));
    return (sum & 0xFFFF) == expected ? CMD_OK : CMD_FAILED;
}

int CFlashUI::CmdBiosChecksum(int count, char** args) {
    if (!ArgumentsValid(count, args, 1, kAny, true)) return CMD_USAGE;
    const std::uint16_t expected = count > 1 ? std::uint16_t(Hex(args[1])) : 0;
    const int r = cmd->CheckBiosChecksum(Adapter(args), expected);
    return ReportChecksum(*this, r, "BIOS", count > 1, expected);
}

int CFlashUI::CmdRomChecksum(int count, char** args) {
    if (!ArgumentsValid(count, args, 1, kAny, true)) return CMD_USAGE;
    const std::uint32_t length = count > 1 ? Hex(args[1]) : 0;
    const std::uint16_t expected = count > 2 ? std::uint16_t(Hex(args[2])) : 0;
    const int r = cmd->CheckRomChecksum(Adapter(args), length, expected);
    return ReportChecksum(*this, r, "ROM", count > 2, expected);
}

namespace {

// The shared shape of the test and status handlers.
int Report(CFlashUI& ui, int r, const char* success, const char* failure) {
    if (r == CMD_OK)
        ui.Print(ui.log, "%s", success);
    else if (r == CMD_FAILED)
        ui.Print(ui.log, "%s", failure);
    else
        ui.ReportError(r);
    return r;
}

}  // namespace

int CFlashUI::CmdTest(int count, char** args) {
    if (!ArgumentsValid(count, args, 1, kAny, true)) return CMD_USAGE;
    return Report(*this, cmd->TestRomRead(Adapter(args)), "Pass\n", "Fail\n");
}

int CFlashUI::CmdReadStatus(int count, char** args) {
    if (!ArgumentsValid(count, args, 1, kAny, true)) return CMD_USAGE;
    std::uint8_t b = 0;
    const int r = cmd->ReadStatus(Adapter(args), &b);
    if (r == CMD_OK) {
        Print(log, "%02xh\n", unsigned(b));
        return r;
    }
    return Report(*this, r, "", "Fail\n");
}

int CFlashUI::CmdWriteStatus(int count, char** args) {
    std::uint32_t value = 0;
    // A status byte that is not one would be written as some other byte.
    if (!ArgumentsValid(count, args, 2, 2, true) || !ParseFieldValue(args[1], 16, 0xFF, &value)) return CMD_USAGE;
    return Report(*this, cmd->WriteStatus(Adapter(args), std::uint8_t(value)), "Ok\n", "Fail\n");
}

int CFlashUI::CmdLockHdcp(int count, char** args) {
    if (!ArgumentsValid(count, args, 1, 1, true)) return CMD_USAGE;
    return Report(*this, cmd->LockHdcp(Adapter(args)), "Ok\n", "Fail\n");
}

int CFlashUI::CmdLockRom(int count, char** args) {
    if (!ArgumentsValid(count, args, 1, 1, true)) return CMD_USAGE;
    return Report(*this, cmd->LockRom(Adapter(args)), "ROM Locked\n", "ROM Lock Failed\n");
}

int CFlashUI::CmdUnlockRom(int count, char** args) {
    if (!ArgumentsValid(count, args, 1, 1, true)) return CMD_USAGE;
    return Report(*this, cmd->UnlockRom(Adapter(args)), "ROM Unlocked\n", "ROM Unlock Failed\n");
}

int CFlashUI::CmdCheckLock(int count, char** args) {
    if (!ArgumentsValid(count, args, 1, 1, true)) return CMD_USAGE;
    std::uint8_t b = 0;
    const int r = cmd->CheckLock(Adapter(args), &b);
    switch (r) {
    case CMD_SW_PROTECT_FAIL: Print(log, "SW protection fail (0x%02X)\n", unsigned(b)); break;
    case CMD_HW_PROTECT_FAIL: Print(log, "HW protection fail (0x%02X)\n", unsigned(b)); break;
    case CMD_OK: Print(log, "Pass (0x%02X)\n", unsigned(b)); break;
    default: ReportError(r); break;
    }
    return r;
}
