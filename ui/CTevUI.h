// The one concrete front end: program name, version, help text, the run
// loop, the result file, the log header and the restart.
#pragma once

#include "ui/CFlashUI.h"

constexpr const char* kProgramName = "vorbanmill";
constexpr const char* kProgramVersion = "4.64";
// Argument words used of a command line, the program path included.
constexpr int kMaxArguments = 32;

class CTevUI : public CFlashUI {
public:
    const char* GetProgramName() override;
    const char* GetVersion() override;
    const char* const* GetHelpLines() override;
    // Runs the command of the command line, or each command of a package;
    // returns the process exit code.
    int Run(int argc, char** argv, CFlashCmd* command) override;
    // Writes "errorid.tmp" when "-ps" was given; null means success. False
    // when the file was asked for and could not be written.
    virtual bool ReportResult(const char* errorId);
    virtual void RebootIfRequested();
    virtual void WriteLogHeader(int argc, char** argv);

private:
    // Loads the package record at *position into words[0..] after words[0]
    // and sets the embedded data; false when the record does not fit.
    bool LoadPackageRecord(std::uint32_t* position, char** words, int* count);
    // Steps of Run. Each returns the exit code that ends the run, or -1 to
    // go on; *result receives the command's result.
    int StartPackage(int* commandCount, std::uint32_t* recordPosition);
    int RunCommand(int argc, char** argv, char** words, int wordCount, int* result);
    int Dispatch(int wordCount, char** words, int* result);
    // Flushes the log; false (and a line on standard error) when a write
    // to it failed.
    bool LogWritten();
};
