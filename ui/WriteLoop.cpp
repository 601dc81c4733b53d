#include "ui/WriteLoop.h"

#include <cstdio>

#include "commands/CFlashCmd.h"
#include "engine/CFlash.h"
#include "ui/CFlashUI.h"

namespace {

struct EngineDetail {
    std::int32_t code;
    const char* text;  // may take the failing address
};

constexpr EngineDetail kEngineDetails[] = {
    {.code = FLASH_WREN_ASIC_TIMEOUT, .text = "ASIC not idle after write enable\n"},
    {.code = FLASH_WREN_ROM_TIMEOUT, .text = "ROM not idle after write enable\n"},
    {.code = FLASH_WREN_NOT_SET, .text = "Write enable not set\n"},
    {.code = FLASH_WRDI_ASIC_BUSY, .text = "ASIC not idle after write disable\n"},
    {.code = FLASH_WRDI_ROM_BUSY, .text = "ROM not idle after write disable\n"},
    {.code = FLASH_WREN_NOT_RESET, .text = "Write enable not reset\n"},
    {.code = FLASH_WRITE_ASIC_BUSY, .text = "ASIC not idle after write at %05X\n"},
    {.code = FLASH_WRITE_ROM_BUSY, .text = "ROM not idle after write at %05X\n"},
    {.code = FLASH_VERIFY_ERROR, .text = "Write fail at %05X\n"},
    {.code = FLASH_WRSR_TIMEOUT, .text = "ROM erase failed on sector %X\n"},
};

}  // namespace

void PrintProgramReport(CFlashUI& ui, int state) {
    const CFlashCmd& cmd = *ui.cmd;
    ui.Print(ui.log, "%X/%Xh bytes programmed\n", unsigned(cmd.bytesProgrammed), unsigned(cmd.bytesRead));
    if (cmd.bytesProgrammed != cmd.bytesRead) return;
    ui.Print(ui.log, "%X/%Xh bytes verified\n", unsigned(cmd.bytesVerified), unsigned(cmd.bytesProgrammed));
    if (state == CMD_OK && ui.rebootAfter == 0) ui.Print(ui.log, "\nRestart System To Complete VBIOS Update.\n");
}

WriteLoop::WriteLoop(CFlashUI& ui, std::uint32_t adapter) : ui_(ui), cmd_(*ui.cmd), adapter_(adapter) {}

int WriteLoop::Run() {
    for (;;) {
        const int state = Step();
        switch (state) {
        case CMD_ERASED:
            if (ui_.verbose == 1) ui_.Print(ui_.log, "ROM erased\n");
            break;
        case CMD_NOT_ERASED:
            if (!RetryFailedStep(state)) return state;
            break;
        case CMD_FAILED:
            if (!RetryFailedStep(state)) return Report(state);
            break;
        case CMD_OK: return Report(state);
        default: {
            const int result = Show(state);
            if (result != kNextStep) return result;
        }
        }
    }
}

void WriteLoop::PrintEngineDetail() {
    const CFlash* engine = cmd_.engine;
    const char* text = texts_.writeFail;
    unsigned address = 0;
    if (engine) {
        address = engine->errorAddress;
        for (const EngineDetail& d : kEngineDetails)
            if (d.code == engine->errorCode && (texts_.eraseSectorLine || d.code != FLASH_WRSR_TIMEOUT)) text = d.text;
    }
    char line[96];
    std::snprintf(line, sizeof line, text, address);
    ui_.Print(ui_.log, "%s", line);
}

bool WriteLoop::RetryFailedStep(int state) {
    const bool quiet = texts_.suppressible && cmd_.suppressDetail;
    if (!quiet) {
        if (state == CMD_NOT_ERASED) ui_.Print(ui_.log, "%s", texts_.notErased);
        else PrintEngineDetail();
    }
    if (!cmd_.RetryPending()) return false;
    if (!quiet) ui_.Print(ui_.log, "Auto retry after failure (%d retries remaining)...\n", cmd_.RetriesRemaining());
    cmd_.BeginRetry();
    return true;
}
