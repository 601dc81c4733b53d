// Handlers of the adapter listings ("-i", "-ai") and of the image-file
// information commands ("-biosfileinfo", "-checkpn").
#include <cstdlib>

#include "commands/CFlashCmd.h"
#include "engine/CFlash.h"
#include "ui/Arguments.h"
#include "ui/CFlashUI.h"
#include "ui/ImageFile.h"

namespace {

// First row to show and the scan for "-i" and "-ai"; CMD_OK when at least
// that row exists.
int ScanForListing(CFlashUI& ui, int count, char** args, std::uint32_t* first, std::uint32_t* rows) {
    std::uint32_t n = 0;
    std::uint32_t maxCount = kMaxAdapters;
    if (count >= 1) {
        if (!ParseDecimal(args[0], &n)) return CMD_USAGE;
        maxCount = n + 1;
    }
    CFlashCmd& cmd = *ui.cmd;
    *rows = cmd.EnumerateAdapters(cmd.ScanSegmentLimit(), cmd.ScanBusLimit(), maxCount, 0, 1);
    *first = n;
    if (n >= *rows) {
        ui.ReportError(CMD_NO_ADAPTER);
        return CMD_NO_ADAPTER;
    }
    return CMD_OK;
}

}  // namespace

int CFlashUI::CmdListAdapters(int count, char** args) {
    std::uint32_t first = 0;
    std::uint32_t rows = 0;
    int r = ScanForListing(*this, count, args, &first, &rows);
    if (r != CMD_OK) return r;

    Print(log, "\nadapter seg  bn dn dID       asic           flash      romsize test    bios p/n    ");
    Print(log, "\n======= ==== == == ==== =============== ============== ======= ==== ================\n");
    for (std::uint32_t i = first; i < rows; ++i) {
        const AdapterEntry& a = cmd->adapters[i];
        const unsigned long long size = cmd->GetAdapterRomInfo(std::uint8_t(i)).romSize;
        Print(log, "  %2d    %04X %02X %02X %04X %-15s %-14s", int(i), unsigned(a.segment), unsigned(a.bus),
              unsigned(a.devfn), unsigned(a.deviceId), a.asicName, a.flashName);
        if (a.flashType == TYPE_SII1930) {
            Print(log, " %7llX   -        -\n", size);
            continue;
        }
        if (size == 0) {
            Print(log, "    -      -        -\n");
            continue;
        }
        Print(log, " %7llX ", size);
        switch (a.romStatus) {
        case CMD_ROM_BLANK: Print(log, "ffff       -\n"); break;
        case CMD_ROM_ZERO: Print(log, "0000       -\n"); break;
        case CMD_OK:
            if (a.partNumber[0] == '\0')
                Print(log, "pass       -\n");
            else
                Print(log, "pass %-15s\n", a.partNumber);
            break;
        default: Print(log, "fail       -\n"); break;
        }
    }
    return CMD_OK;
}

int CFlashUI::CmdAdvancedInfo(int count, char** args) {
    std::uint32_t first = 0;
    std::uint32_t rows = 0;
    cmd->listImages = 1;
    int r = ScanForListing(*this, count, args, &first, &rows);
    cmd->listImages = 0;
    if (r != CMD_OK) return r;

    for (std::uint32_t i = first; i < rows; ++i) {
        const AdapterEntry& a = cmd->adapters[i];
        const AdapterRomInfo& info = cmd->GetAdapterRomInfo(std::uint8_t(i));
        Print(log, "Adapter %2d    SEG=%04X, BN=%02X, DN=%02X, PCIID=%04X%04X, SSID=%08X)\n", int(i),
              unsigned(a.segment), unsigned(a.bus), unsigned(a.devfn), unsigned(a.deviceId), unsigned(a.vendorId),
              unsigned(a.subsystem));
        Print(log, "    Asic Family        :  %-15s\n", a.asicName);
        Print(log, "    Flash Type         :  %-10s  (%2d KB)\n", a.flashName, int(info.romSize / 1024));
        if (info.romSize != 0 && a.flashType != TYPE_SII1930 && a.hasImage == 1) {
            Print(log, "    Product Name       :  %-15s\n", a.productName);
            Print(log, "    Bios Config File   :  %-15s\n", a.configFileName);
            if (a.partNumber[0] == '\0')
                Print(log, "    Bios P/N           :  P/N Not Available\n");
            else
                Print(log, "    Bios P/N           :  %-15s\n", a.partNumber);
            Print(log, "    Bios Version       :  %-15s\n", a.biosVersion);
            Print(log, "    Bios Date          :  %-15s\n", a.biosDate);
            if (!info.images.empty()) {
                Print(log, "    ROM Image Type     :  %s\n", GetImageSetTypeName(info.images).c_str());
                Print(log, "    ROM Image Details  :  \n");
                Print(log, "%s", DescribeImageList(info.images).c_str());
            }
        } else if (a.flashType == TYPE_SII1930 && a.siiFirmwareVersion != -1) {
            const unsigned v = std::uint16_t(a.siiFirmwareVersion);
            Print(log, "    Firmware Version   :  %X.%X\n", v >> 12, (v >> 8) & 0xF);
            Print(log, "    Firmware Variant   :  %X\n", (v >> 4) & 7);
        } else {
            Print(log, "    No VBIOS\n\n");
        }
    }
    return CMD_OK;
}

int CFlashUI::CmdBiosFileInfo(int count, char** args) {
    if (count != 1) return CMD_USAGE;
    int r = LoadImageFile(*this, args[0]);
    if (r != CMD_OK) return r;
    if (imageLength == 0) return CMD_FILE_NOT_FOUND;
    cmd->ParseFileImage(image, imageLength);
    bool found = false;
    Print(log, "%s", FormatBiosFileInfo(cmd->fileImageInfo, args[0], &found).c_str());
    return found ? CMD_OK : CMD_FAILED;
}

int CFlashUI::CmdCheckPn(int count, char** args) {
    if (count != 2) return CMD_USAGE;
    std::uint32_t adapter = 0;
    const bool fits = ParseAdapterLeniently(args[0], &adapter);
    const std::uint32_t rows = cmd->EnumerateAdapters(cmd->ScanSegmentLimit(), cmd->ScanBusLimit(), kMaxAdapters, 0, 1);
    if (!fits || adapter >= rows) {
        ReportError(CMD_NO_ADAPTER);
        return CMD_NO_ADAPTER;
    }
    int r = LoadImageFile(*this, args[1]);
    if (r != CMD_OK) return r;
    if (imageLength == 0) return CMD_FILE_NOT_FOUND;
    cmd->ParseFileImage(image, imageLength);
    PartNumberMatch match = PartNumberMatch::NotFound;
    Print(log, "%s", FormatCheckPn(cmd->fileImageInfo, args[1], cmd->adapters[adapter].partNumber, &match).c_str());
    return match == PartNumberMatch::Equal ? CMD_OK : CMD_FAILED;
}
