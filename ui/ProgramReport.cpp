#include "ui/ProgramReport.h"

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

void PrintEngineDetail(CFlashUI& ui, const char* fallback, bool eraseLine) {
    const CFlash* engine = ui.cmd->engine;
    const char* text = fallback;
    unsigned address = 0;
    if (engine) {
        address = engine->errorAddress;
        for (const EngineDetail& d : kEngineDetails)
            if (d.code == engine->errorCode && (eraseLine || d.code != FLASH_WRSR_TIMEOUT)) text = d.text;
    }
    char line[96];
    std::snprintf(line, sizeof line, text, address);
    ui.Print(ui.log, "%s", line);
}

void PrintProgramReport(CFlashUI& ui, int state) {
    const CFlashCmd& cmd = *ui.cmd;
    ui.Print(ui.log, "%X/%Xh bytes programmed\n", unsigned(cmd.bytesProgrammed), unsigned(cmd.bytesRead));
    if (cmd.bytesProgrammed != cmd.bytesRead) return;
    ui.Print(ui.log, "%X/%Xh bytes verified\n", unsigned(cmd.bytesVerified), unsigned(cmd.bytesProgrammed));
    if (state == CMD_OK && ui.rebootAfter == 0) ui.Print(ui.log, "\nRestart System To Complete VBIOS Update.\n");
}

bool RetryFailedStep(CFlashUI& ui, int state) {
    CFlashCmd& cmd = *ui.cmd;
    if (!cmd.suppressDetail) {
        if (state == CMD_NOT_ERASED) ui.Print(ui.log, "ROM not erased\n");
        else PrintEngineDetail(ui);
    }
    if (!cmd.RetryPending()) return false;
    if (!cmd.suppressDetail)
        ui.Print(ui.log, "Auto retry after failure (%d retries remaining)...\n", cmd.RetriesRemaining());
    cmd.BeginRetry();
    return true;
}
