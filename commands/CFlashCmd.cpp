#include "commands/CFlashCmd.h"

#include "engine/CFlash.h"

CFlashCmd::CFlashCmd(FILE* typeTableText, std::uint32_t verbose) {
    engine = CreateFlash(typeTableText, verbose);
    debugPrints = std::uint8_t(verbose);
    if (engine) {
        engine->siiResetPin = -1;
        engine->siiProgramPin = -1;
    }
}

CFlashCmd::~CFlashCmd() { delete engine; }
