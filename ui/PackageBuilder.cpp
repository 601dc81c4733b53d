// "-pak": building a self-updating package from a configuration file.
#include "ui/Arguments.h"
#include "ui/CFlashUI.h"

// Not built yet: checks the arguments, then reports failure.
int CFlashUI::CmdPackage(int count, char** args) {
    return ArgumentsValid(count, args, 1, 1, false) ? CMD_FAILED : CMD_USAGE;
}
