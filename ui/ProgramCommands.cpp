// "-p" and "-pa": programming one adapter or every matching adapter.
#include "ui/Arguments.h"
#include "ui/CFlashUI.h"

// Not built yet: checks the arguments, then reports failure.
int CFlashUI::CmdProgram(int count, char** args) {
    return ArgumentsValid(count, args, 2, -1, true) ? CMD_FAILED : CMD_USAGE;
}
int CFlashUI::CmdProgramAll(int count, char** args) {
    return ArgumentsValid(count, args, 1, -1, false) ? CMD_FAILED : CMD_USAGE;
}
std::uint32_t CFlashUI::ParseFirmwareFile(FILE*) { return 0; }
int CFlashUI::CheckOldBoardVbios(int, char**) { return CMD_OK; }
