// Front end of the utility: switches, printing, help, the command handlers
// and the state shared by them.
#pragma once

#include <cstdint>
#include <cstdio>

#include "commands/FlashCmdStatus.h"
#include "platform/COsDepend.h"

class CFlashCmd;

class CFlashUI {
public:
    CFlashUI();
    virtual ~CFlashUI();
    CFlashUI(const CFlashUI&) = delete;
    CFlashUI& operator=(const CFlashUI&) = delete;

    virtual const char* GetProgramName() = 0;
    virtual const char* GetVersion() = 0;
    // Null-terminated; the entries "programname" and "nextpage" are markers.
    virtual const char* const* GetHelpLines() = 0;

    virtual void PrintBanner();
    virtual int ToExitCode(int code);
    // Prints the standard message of the code and returns its exit code.
    virtual int ReportError(int code);
    // The read the command layer refused: what was asked, what the ROM gives.
    void ReportBeyondReach();
    // Applies and removes the switches in argv[1..argc-1]; returns the new count.
    virtual int ParseOptions(int argc, char** argv);
    virtual int ParseModifyFile(FILE* file);
    virtual std::uint32_t ParseFirmwareFile(FILE* file);
    // Writes the formatted text to the log stream (when not null), then to
    // standard output, flushing both.
    virtual void Print(FILE* logStream, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Command handlers: count arguments after the command word; a FlashCmdStatus.
    virtual int CmdListAdapters(int count, char** args);
    virtual int CmdAdvancedInfo(int count, char** args);
    virtual int CmdFileChecksum(int count, char** args);
    virtual int CmdBiosChecksum(int count, char** args);
    virtual int CmdRomChecksum(int count, char** args);
    virtual int CmdSave(int count, char** args);
    virtual int CmdVerify(int count, char** args);
    virtual int CmdProgram(int count, char** args);
    virtual int CmdProgramAll(int count, char** args);
    virtual int CmdTest(int count, char** args);
    virtual int CmdModifyId(int count, char** args);
    virtual int CmdModifyBiosInfo(int count, char** args);
    virtual int CmdReadStatus(int count, char** args);
    virtual int CmdWriteStatus(int count, char** args);
    virtual int CmdLockHdcp(int count, char** args);
    virtual int CmdLockRom(int count, char** args);
    virtual int CmdUnlockRom(int count, char** args);
    virtual int CmdCheckLock(int count, char** args);
    virtual int CmdHelp(int count, char** args);
    virtual int CmdPackage(int count, char** args);
    virtual int CmdIsr(int count, char** args);
    virtual int ShowIsrNumber(std::uint32_t adapter);
    virtual int CmdProd(int count, char** args);
    virtual int ShowProductionSerial(std::uint32_t adapter);
    virtual int CmdBiosFileInfo(int count, char** args);
    virtual int CmdCheckProdSn(int count, char** args);
    virtual int CmdCheckPn(int count, char** args);
    virtual int CmdRsa(int count, char** args);
    // Warning step before a forced "-p" on old boards.
    virtual int CheckOldBoardVbios(int argc, char** argv);
    // Preparation of the loaded image before "-p" programs it: memory-training
    // table and tail blocks carried over from the adapter's ROM. Sets the
    // number of bytes to program; a result other than CMD_OK stops "-p".
    virtual int PrepareProgramImage(std::uint32_t adapter, std::uint32_t& programLength);

    virtual int Run(int argc, char** argv, CFlashCmd* command) = 0;

    std::uint16_t verbose = 0;           // "ROM erased" lines of the programming loops
    std::uint16_t writeErrorIdFile = 0;  // "-ps"
    std::uint16_t noWait = 0;            // "-nw"
    std::uint16_t rebootAfter = 0;       // "-reboot"
    std::uint16_t logOverwrite = 0;      // "-log"
    std::uint16_t logAppend = 0;         // "-logappend"
    std::uint16_t packageMode = 1;
    std::uint16_t packageValid = 0;
    std::uint8_t* packageImage = nullptr;  // owned, new[] of kPackageFileMax
    std::uint32_t packageImageSize = 0;
    std::uint8_t* cmdData = nullptr;       // embedded file data of the package command
    std::uint32_t cmdDataLength = 0;       // 0 = read the named file
    CFlashCmd* cmd = nullptr;              // not owned
    COsDepend tokenizer;
    std::uint8_t* image = nullptr;         // owned, new[] of kRomBufferSize
    std::uint32_t imageLength = 0;
    FILE* log = nullptr;
    std::uint16_t logOpenFailed = 0;       // "-log"/"-logappend" could not open the log
    std::uint16_t switchValueBad = 0;      // a switch value that must not be guessed at: usage error

protected:
    // Sets packageMode, packageImage, packageImageSize and packageValid.
    void DetectPackage();
    // Banner text of the package, "" when there is none.
    const char* PackageBanner() const;
};
