// The loop every writing command runs over its state machine: one step
// per call, the command's own lines between the steps, the failure lines
// and retries the write sequence decides on, and the final report.
#pragma once

#include <cstdint>

class CFlashCmd;
class CFlashUI;

// Programmed and verified counts; the restart advice only after a
// programming that succeeded, so a failure never reads as "update done".
void PrintProgramReport(CFlashUI& ui, int state);

class WriteLoop {
public:
    WriteLoop(CFlashUI& ui, std::uint32_t adapter);
    virtual ~WriteLoop() = default;
    WriteLoop(const WriteLoop&) = delete;
    WriteLoop& operator=(const WriteLoop&) = delete;

    // Steps to the end; the result of the command. The command layer puts
    // the protection back when its state machine ends.
    int Run();

protected:
    // Show() goes on with the next step.
    static constexpr int kNextStep = -1;

    // The lines of a failed erase or write. The editing commands name no
    // failed erase sector and print them even with "-suppress".
    struct FailureTexts {
        const char* notErased = "ROM not erased\n";
        const char* writeFail = "\nWrite fail\n";
        bool eraseSectorLine = true;
        bool suppressible = true;
    };

    // One call of the command's state machine.
    virtual int Step() = 0;
    // A state of the command's own (checks, plans, refusals): its lines,
    // then kNextStep or the result to end with.
    virtual int Show(int state) = 0;
    // The final lines after the write succeeded or failed for good.
    virtual int Report(int state) = 0;

    CFlashUI& ui_;
    CFlashCmd& cmd_;
    std::uint32_t adapter_;
    FailureTexts texts_;

private:
    // Says why a step failed; true when the sequence tries it again.
    bool RetryFailedStep(int state);
    void PrintEngineDetail();
};
