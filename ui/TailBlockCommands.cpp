// ISR number and production serial number blocks at the end of the ROM.
#include <cstring>

#include "ui/CFlashUI.h"

// Not built yet: checks the arguments, then reports failure.
int CFlashUI::CmdIsr(int count, char**) { return count == 1 || count == 3 ? CMD_FAILED : CMD_USAGE; }
int CFlashUI::CmdProd(int count, char** args) {
    return count == 1 || (count == 2 && std::strlen(args[1]) == 12) ? CMD_FAILED : CMD_USAGE;
}
int CFlashUI::CmdCheckProdSn(int count, char** args) {
    return count == 2 && std::strlen(args[1]) == 12 ? CMD_FAILED : CMD_USAGE;
}
int CFlashUI::ShowIsrNumber(std::uint32_t) { return CMD_FAILED; }
int CFlashUI::ShowProductionSerial(std::uint32_t) { return CMD_FAILED; }

int CFlashUI::PrepareProgramImage(std::uint32_t, std::uint32_t&) { return CMD_OK; }
