// "-mi" and "-mb": showing and editing subsystem IDs and BIOS strings.
#include "ui/Arguments.h"
#include "ui/CFlashUI.h"

// Not built yet: checks the arguments, then reports failure.
int CFlashUI::CmdModifyId(int count, char** args) {
    return ArgumentsValid(count, args, 1, -1, true) ? CMD_FAILED : CMD_USAGE;
}
int CFlashUI::CmdModifyBiosInfo(int count, char** args) {
    return ArgumentsValid(count, args, 2, -1, true) ? CMD_FAILED : CMD_USAGE;
}
int CFlashUI::ParseModifyFile(FILE*) { return CMD_FAILED; }
