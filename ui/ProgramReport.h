// Lines the programming loops print after the state machine failed or
// finished: the engine's detail of a failed write and the final counts.
#pragma once

class CFlashUI;

// The engine's failure detail ("Write fail at ..."), from its error code.
void PrintEngineDetail(CFlashUI& ui);
// Programmed and verified counts; the restart advice only after a
// programming that succeeded, so a failure never reads as "update done".
void PrintProgramReport(CFlashUI& ui, int state);
