// Lines the programming loops print after the state machine failed or
// finished: the engine's detail of a failed write and the final counts.
#pragma once

class CFlashUI;

// The engine's failure detail ("Write fail at ..."), from its error code;
// `fallback` for a code without a line of its own. The editing commands
// have no erase-failure line.
void PrintEngineDetail(CFlashUI& ui, const char* fallback = "\nWrite fail\n", bool eraseLine = true);
// Programmed and verified counts; the restart advice only after a
// programming that succeeded, so a failure never reads as "update done".
void PrintProgramReport(CFlashUI& ui, int state);
// A failed erase (not-erased state) or write of a programming loop: says
// why, then starts the retry the write sequence decided on. False when it
// decided on none.
bool RetryFailedStep(CFlashUI& ui, int state);
