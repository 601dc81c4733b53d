// "-p" and "-pa": programming one adapter or every matching adapter, the
// old-board warning before a forced "-p", and the SiI1930 firmware branch.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "commands/CFlashCmd.h"
#include "commands/TextTokens.h"
#include "engine/CFlash.h"
#include "ui/Arguments.h"
#include "ui/CFlashUI.h"
#include "ui/ImageFile.h"
#include "ui/Package.h"
#include "ui/WriteLoop.h"

namespace {

constexpr int kAny = -1;
constexpr std::uint32_t kFirmwareChunk = 1024;
constexpr std::uint16_t kNoFilter = 0xFFFF;
constexpr std::size_t kWorkText = 64;

std::uint32_t Adapter(char** args) {
    std::uint32_t n = 0;
    ParseDecimal(args[0], &n);
    return n;
}

// One "-p" run over the programming state machine.
class ProgramRun : public WriteLoop {
public:
    ProgramRun(CFlashUI& ui, std::uint32_t adapter, const char* fileName, std::uint32_t length)
        : WriteLoop(ui, adapter), fileName_(fileName), length_(length) {}

private:
    int Step() override { return cmd_.ProgramRom(adapter_, ui_.image, length_); }
    int Show(int state) override;
    int Report(int state) override;
    void PrintIdentity();
    // Prints the old and new word a check compared; false when it refused.
    bool ShowCheck(const char* what, unsigned oldValue, unsigned newValue, bool passed, const char* refusal) {
        ui_.Print(ui_.log, "Old %s: %04X\n", what, oldValue);
        ui_.Print(ui_.log, "New %s: %04X\n", what, newValue);
        if (!passed) ui_.Print(ui_.log, "%s", refusal);
        return passed;
    }
    int Firmware();
    int TransferFirmware(std::uint32_t size);

    const char* fileName_;
    std::uint32_t length_;
};

void ProgramRun::PrintIdentity() {
    const AdapterEntry& row = cmd_.adapters[cmd_.currentAdapter];
    const FileImageInfo& file = cmd_.fileImageInfo;
    ui_.Print(ui_.log, "Old DeviceID: %X\n", unsigned(row.deviceId));
    ui_.Print(ui_.log, "New DeviceID: %X\n", unsigned(file.deviceId));
    ui_.Print(ui_.log, "Old Product Name: %s\n", row.productName);
    ui_.Print(ui_.log, "New Product Name: %s\n", file.productName);
    ui_.Print(ui_.log, "Old BIOS Version: %s\n", row.biosVersion);
    ui_.Print(ui_.log, "New BIOS Version: %s\n", file.biosVersion);
    ui_.Print(ui_.log, "Flash type: %s\n", row.flashName);
    if (cmd_.preserveApplied == 1) ui_.Print(ui_.log, "Preserve ROM settings\n");
}

int ProgramRun::Show(int state) {
    switch (state) {
    case CMD_CHECKS_PASSED: PrintIdentity(); return kNextStep;
    case CMD_READY_TO_ERASE:
    case CMD_SIG_PASS: return kNextStep;
    case CMD_MEM_OK:
    case CMD_MEM_MISMATCH:
        return ShowCheck("mem setting", cmd_.oldMemSetting, cmd_.newMemSetting, state == CMD_MEM_OK,
                         "Mem setting mismatched\n")
                   ? kNextStep
                   : state;
    case CMD_SSID_OK:
    case CMD_SSID_MISMATCH:
        return ShowCheck("SSID", cmd_.oldSsid, cmd_.newSsid, state == CMD_SSID_OK, "SSID mismatched\n") ? kNextStep
                                                                                                          : state;
    case CMD_PN_OK:
    case CMD_PN_MISMATCH:
        ui_.Print(ui_.log, "Old P/N: %s\n", cmd_.oldPartNumber);
        ui_.Print(ui_.log, "New P/N: %s\n", cmd_.newPartNumber);
        if (state == CMD_PN_OK) return kNextStep;
        ui_.Print(ui_.log, "P/N mismatched\n");
        return state;
    case CMD_INVALID_IMAGE: ui_.Print(ui_.log, "Invalid PC BIOS image\n"); return state;
    case CMD_SIG_FAIL: ui_.Print(ui_.log, "BIOS authentication signature mismatched\n"); return state;
    case CMD_FW_START: return Firmware();
    default: ui_.ReportError(state); return state;
    }
}

int ProgramRun::Report(int state) {
    if (cmd_.adapters[cmd_.currentAdapter].flashType != TYPE_SII1930) {
        PrintProgramReport(ui_, state);
        return state;
    }
    if (cmd_.engine->IsSiI1930ChecksumReady() == 1) {
        ui_.Print(ui_.log, "\n%X bytes programmed\n", cmd_.bytesProgrammed);
    } else {
        ui_.Print(ui_.log, "Hardware CRC = %Xh , Software CRC = %Xh.\n", cmd_.romChecksum, cmd_.softwareCrc);
        if (cmd_.romChecksum == cmd_.softwareCrc && cmd_.bytesProgrammed == length_)
            ui_.Print(ui_.log, "%X/%Xh Bytes Verified\n", cmd_.bytesProgrammed, cmd_.bytesProgrammed);
    }
    if (ui_.rebootAfter != 1 && state == CMD_OK) ui_.Print(ui_.log, "\nRestart System To Complete VBIOS Update.\n");
    return state;
}

int ProgramRun::Firmware() {
    FILE* f = nullptr;
    if (ui_.cmdDataLength != 0) {
        const char* self = packageDescriptor.exePath ? packageDescriptor.exePath : "";
        f = COsDepend::OpenOwnExecutable();
        if (f && std::fseek(f, long(packageDescriptor.dataOffset), SEEK_SET) != 0) {
            std::fclose(f);
            f = nullptr;
        }
        if (!f) {
            ui_.Print(ui_.log, "File %s not found\n", self);
            return cmd_.EndWriteRun(adapter_, CMD_FILE_NOT_FOUND);
        }
    } else {
        ui_.Print(ui_.log, "Reading Firmware Data File.\n");
        f = std::fopen(fileName_, "rb");
        if (!f) {
            ui_.Print(ui_.log, "File %s not found\n", fileName_);
            return cmd_.EndWriteRun(adapter_, CMD_FILE_NOT_FOUND);
        }
    }
    const std::uint32_t size = ui_.ParseFirmwareFile(f);
    std::fclose(f);
    if (size == 0) {
        ui_.Print(ui_.log, "Fail To Parse Frameware File %s.\n", fileName_);
        return cmd_.EndWriteRun(adapter_, CMD_FAILED);
    }
    return TransferFirmware(size);
}

int ProgramRun::TransferFirmware(std::uint32_t size) {
    const CFlash& engine = *cmd_.engine;
    if (engine.siiResetPin != -1 && engine.siiProgramPin != -1)
        ui_.Print(ui_.log, "Using GPIO %d For SiI Reset Pin & GPIO %d For SiI Microcontroller Program Pin\n",
                  int(engine.siiResetPin), int(engine.siiProgramPin));
    else if (engine.siiResetPin != -1)
        ui_.Print(ui_.log, "Using GPIO %d For SiI Reset Pin\n", int(engine.siiResetPin));
    else if (engine.siiProgramPin != -1)
        ui_.Print(ui_.log, "Using GPIO %d For SiI Microcontroller Program Pin\n", int(engine.siiProgramPin));
    ui_.Print(ui_.log, "Firmware Update In Process.\n");
    const std::uint64_t start = COsDepend::ProcessorMicros();
    int state = CMD_FW_START;
    do {
        const std::uint32_t percent = std::uint32_t(std::uint64_t(cmd_.bytesProgrammed) * 100 / size);
        const unsigned long elapsed = static_cast<unsigned long>((COsDepend::ProcessorMicros() - start) / 1000000);
        const unsigned long remaining = percent == 0 ? 999 : elapsed * 100 / percent - elapsed;
        ui_.Print(ui_.log, "Completed %d%% Transferred %Xh of %Xh Bytes, Time Remaining %lu Seconds   \r", int(percent),
                  cmd_.bytesProgrammed, size, remaining);
        length_ = std::min(size - cmd_.bytesProgrammed, kFirmwareChunk);
        if (cmd_.bytesProgrammed == size) break;
        cmd_.status = CMD_FW_WRITE;
        state = cmd_.ProgramRom(adapter_, ui_.image, length_);
    } while (state == CMD_FW_WRITE);
    if (state != CMD_FW_WRITE && state != CMD_FW_START) return Report(state);
    if (cmd_.engine->IsSiI1930ChecksumReady() == 1) {
        cmd_.status = CMD_FW_DONE;
    } else {
        ui_.Print(ui_.log, "\nPreforming Firmware CRC Check. This Will Take Approximately %d Seconds.\n",
                  int(double(cmd_.bytesProgrammed / 1024 + 1) * 1.8));
        cmd_.status = CMD_FW_VERIFY;
    }
    length_ = size;
    return Report(cmd_.ProgramRom(adapter_, ui_.image, length_));
}

// A filter of three '-' tokens, each "*" or equal to the row's token.
bool WildcardMatch(const char* filter, const char* partNumber) {
    char filterCopy[kWorkText], rowCopy[kWorkText];
    const char* f[4] = {};
    const char* r[4] = {};
    if (SplitTokens(filter, '-', filterCopy, sizeof filterCopy, f, 4) != 3) return false;
    const std::size_t rowTokens = SplitTokens(partNumber, '-', rowCopy, sizeof rowCopy, r, 4);
    if (rowTokens < 3) return false;
    for (int i = 0; i < 3; ++i)
        if (std::strcmp(f[i], "*") != 0 && strcasecmp(f[i], r[i]) != 0) return false;
    return true;
}

// Whether the "-pa" filters select the row, with a line per filter tried.
bool MatchesFilters(CFlashUI& ui, const AdapterEntry& row) {
    CFlashCmd& cmd = *ui.cmd;
    CFlash& engine = *cmd.engine;
    bool selected = true;
    auto report = [&](bool matched, unsigned id, const char* what) {
        ui.Print(ui.log, "\nFlashing adapter at BN=%02X DN=%02X ID=%04X (%s %smatched)...\n", unsigned(row.bus),
                 unsigned(row.devfn), id, what, matched ? "" : "not ");
        selected = selected && matched;
    };
    if (cmd.filterDeviceId != kNoFilter) report(row.deviceId == cmd.filterDeviceId, row.deviceId, "Dev ID");
    // The subsystem words are read from the adapter now, not from the scan.
    if (cmd.filterSsid != kNoFilter) {
        const std::uint16_t ssid = engine.ReadPciConfigWord(row.segment, row.bus, row.devfn, kPciSubsystemId);
        report(ssid == cmd.filterSsid, row.subsystem >> 16, "SSID");
    }
    if (cmd.filterSvid != kNoFilter) {
        const std::uint16_t svid = engine.ReadPciConfigWord(row.segment, row.bus, row.devfn, kPciSubsystem);
        report(svid == cmd.filterSvid, row.subsystem & 0xFFFF, "SVID");
    }
    if (cmd.filterPartNumber[0]) {
        char filter[kWorkText], partNumber[kWorkText];
        std::snprintf(filter, sizeof filter, "%s", cmd.filterPartNumber);
        std::snprintf(partNumber, sizeof partNumber, "%s", row.partNumber);
        if (strcasecmp(filter, partNumber) == 0) {
            report(true, row.deviceId, "BIOS P/N");
        } else if (!WildcardMatch(filter, partNumber)) {
            ui.Print(ui.log, "\nFlashing adapter at BN=%02X DN=%02X BIOS P/N=%s (BIOS P/N not matched)...\n",
                     unsigned(row.bus), unsigned(row.devfn), partNumber);
            selected = false;
        }
    }
    return selected;
}

}  // namespace

int CFlashUI::CmdProgram(int count, char** args) {
    if (!ArgumentsValid(count, args, 2, kAny, true)) return CMD_USAGE;
    const std::uint32_t adapter = Adapter(args);
    int r = LoadImageFile(*this, args[1]);
    if (r != CMD_OK) return r;
    if (imageLength == 0) return CMD_FILE_NOT_FOUND;
    std::uint32_t programLength = imageLength;
    r = PrepareProgramImage(adapter, programLength);
    if (r != CMD_OK) return r;
    // The image and ROM buffers hold 1 MiB; nothing longer is programmed.
    if (programLength > kRomBufferSize) {
        Print(log, "Can not program 0x%X bytes: more than 0x%X\n", programLength, kRomBufferSize);
        return CMD_FAILED;
    }
    // The state machine lifts the write protection once it knows the image
    // fits the ROM.
    cmd->status = CMD_FAILED;
    return ProgramRun(*this, adapter, args[1], programLength).Run();
}

int CFlashUI::CmdProgramAll(int count, char** args) {
    if (!ArgumentsValid(count, args, 1, kAny, false)) return CMD_USAGE;
    const char* file = args[0];
    int r = LoadImageFile(*this, file);
    if (r != CMD_OK) return r;
    if (imageLength == 0) return CMD_FILE_NOT_FOUND;
    if (cmdDataLength == 0) Print(log, "BIOS file: %s\n", file);

    if (cmd->checkPartNumber == 1 && !cmd->force) {
        cmd->ParseFileImage(image, imageLength);
        if (cmd->fileImageInfo.partNumber[0] == '\0') {
            Print(log, "BIOS P/N not found in %s\n", file);
            return CMD_FAILED;
        }
        Print(log, "update adapters with BIOS P/N %s\n",
              cmd->filterPartNumber[0] ? cmd->filterPartNumber : cmd->fileImageInfo.partNumber);
    }
    if (cmd->filterDeviceId != kNoFilter) Print(log, "update adapters with PCI device ID %04X\n", cmd->filterDeviceId);
    if (cmd->filterSsid != kNoFilter) Print(log, "update adapters with SSID %04X\n", cmd->filterSsid);
    if (cmd->filterSvid != kNoFilter) Print(log, "update adapters with SVID %04X\n", cmd->filterSvid);

    const CFlash& engine = *cmd->engine;
    const std::uint32_t n = cmd->EnumerateAdapters(engine.maxSegmentToScan, engine.maxBusToScan, kMaxAdapters, 0, 1);
    int status = CMD_NO_ADAPTER;
    std::uint32_t updated = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        Print(log, "Programming adapter number: %d\n", int(i));
        const AdapterEntry& row = cmd->adapters[i];
        const bool anyFilter = cmd->filterSsid != kNoFilter || cmd->filterSvid != kNoFilter || cmd->filterPartNumber[0];
        if (cmd->checkPartNumber == 1 && cmd->filterDeviceId == kNoFilter && !anyFilter) {
            Print(log, "\nchecking parameters is missing\n");
            break;
        }
        if (!MatchesFilters(*this, row)) continue;
        char number[16];
        std::snprintf(number, sizeof number, "%u", unsigned(i));
        char* programArgs[] = {number, const_cast<char*>(file), nullptr};
        status = CmdProgram(2, programArgs);
        if (status != CMD_OK && status != CMD_SAME_IMAGE) break;
        ++updated;
    }
    Print(log, "\n%d adapters updated\n", int(updated));
    if (updated == 0) ReportError(status);
    return status;
}

std::uint32_t CFlashUI::ParseFirmwareFile(FILE*) {
    Print(log, "Unable To Parse The Image File.\n");
    return 0;
}

namespace {

// The board name at index 4 of a part number; false when the text is shorter.
bool IsW272(const char* partNumber) {
    return std::strlen(partNumber) >= 8 && std::strncmp(partNumber + 4, "W272", 4) == 0;
}

}  // namespace

int CFlashUI::CheckOldBoardVbios(int argc, char** argv) {
    if (argc < 4) return CMD_USAGE;
    CFlash& engine = *cmd->engine;
    // The board the command names, not the first one: the scan stops at its
    // row, so the engine is left on its family and the row holds its ROM's
    // part number. A number past the table names no board to warn about.
    const std::uint32_t adapter = std::uint32_t(std::strtoul(argv[2], nullptr, 10));
    if (adapter >= kMaxAdapters) return CMD_OK;
    cmd->EnumerateAdapters(engine.maxSegmentToScan, engine.maxBusToScan, adapter + 1, 0, 1);
    if (cmd->adapterCount <= adapter || engine.asicFamily != KOV_IVREL) return CMD_OK;

    const char* file = argv[3];
    if (LoadImageFile(*this, file) != CMD_OK || imageLength == 0) return CMD_FILE_NOT_FOUND;
    cmd->ParseFileImage(image, imageLength);
    const char* filePartNumber = cmd->fileImageInfo.partNumber;
    if (filePartNumber[0] == '\0') {
        Print(log, "BIOS P/N not found in %s\n", file);
        return CMD_FAILED;
    }
    const char* romPartNumber = cmd->adapters[adapter].partNumber;
    if (!IsW272(filePartNumber) && !IsW272(romPartNumber)) return CMD_OK;
    const unsigned long version = std::strlen(filePartNumber) > 13 ? std::strtoul(filePartNumber + 13, nullptr, 10) : 0;
    if (version > 5) return CMD_OK;

    Print(log, "Bios P/N in file %s is   :    %-15s\n", file, filePartNumber);
    Print(log, "Bios P/N on ROM is       :    %-15s\n", romPartNumber);
    Print(log, "!!!!!!\n");
    Print(log,
          "ATTENTION: any VBIOS older than 006 would brick the W272 board with SKIP_PCIE_PHY_UCODE_LOAD = 0.  "
          "Please verify the VBIOS version is newer than 006\n");
    Print(log, "!!!!!!\n");
    Print(log, "Do you want to exit y/n (default y):  ?  ");
    char answer = 'y';
    if (std::scanf("%c", &answer) != 1) answer = 'y';
    return answer == 'n' || answer == 'N' ? CMD_OK : CMD_FAILED;
}
