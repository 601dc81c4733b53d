// Programming state machine: one step per call, the state in `status`.
#include "commands/CFlashCmd.h"

// Not built yet.
int CFlashCmd::ProgramRom(std::uint32_t, std::uint8_t*, std::uint32_t) { return status = CMD_FAILED; }
