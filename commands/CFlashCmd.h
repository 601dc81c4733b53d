// Command layer between the front end and the flash engine: owns the
// engine, keeps the adapter table and a buffer with the last ROM content
// read, and offers one operation per ROM task.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "commands/AdapterTable.h"
#include "commands/FlashCmdStatus.h"
#include "commands/RomImage.h"

class CFlash;

class CFlashCmd {
public:
    CFlashCmd(FILE* typeTableText, std::uint32_t verbose);

    // Prints the overflow message of the variable-length integers.
    virtual void ReportLengthOverflow();
    virtual ~CFlashCmd();
    CFlashCmd(const CFlashCmd&) = delete;
    CFlashCmd& operator=(const CFlashCmd&) = delete;

    // Rebuilds the adapter table from row 0; returns the number of rows.
    // skipAccess 1: identity columns only; readRom 1: read the ROM start,
    // classify it and take its strings.
    virtual std::uint32_t EnumerateAdapters(std::uint16_t segmentLimit, std::uint8_t busLimit, std::uint32_t maxCount,
                                            std::uint16_t skipAccess, std::uint16_t readRom);
    // 1 when the row exists (rescanning when needed); the engine has then
    // been told to select and open it. 0 otherwise.
    virtual std::int16_t SelectAdapter(std::uint32_t adapter, std::uint16_t segmentLimit, std::uint8_t busLimit);
    // Highest PCI segment and bus the adapter scan visits (0 without an engine).
    std::uint16_t ScanSegmentLimit() const;
    std::uint8_t ScanBusLimit() const;

    // ROM read, checksum and status operations.
    virtual std::uint32_t GetBiosSize(const std::uint8_t* buffer);  // null = romBuffer
    virtual int CheckBufferChecksum(const std::uint8_t* buffer, std::uint32_t length, std::uint16_t expected);
    virtual int CheckBiosChecksum(std::uint32_t adapter, std::uint16_t expected);
    virtual int CheckRomChecksum(std::uint32_t adapter, std::uint32_t length, std::uint16_t expected);
    virtual int ReadRom(std::uint32_t adapter, std::uint32_t length);  // 0 = automatic
    virtual int VerifyRom(std::uint32_t adapter, const std::uint8_t* data, std::uint32_t length);
    virtual int TestRomRead(std::uint32_t adapter);
    virtual int ReadStatus(std::uint32_t adapter, std::uint8_t* out);
    virtual int WriteStatus(std::uint32_t adapter, std::uint8_t value);
    virtual int LockHdcp(std::uint32_t adapter);
    virtual int LockRom(std::uint32_t adapter);
    virtual int UnlockRom(std::uint32_t adapter);
    virtual int CheckLock(std::uint32_t adapter, std::uint8_t* out);

    // Image accessors. `length` is the number of valid bytes at image; out
    // fields hold kRomStringSize bytes (GetPartNumber: max + 1).
    virtual std::uint32_t GetPartNumber(const std::uint8_t* image, std::size_t length, char* out, std::uint32_t max,
                                        std::int16_t mode);
    virtual std::uint32_t GetBiosVersion(const std::uint8_t* image, std::size_t length, char* out, char* configOut);
    virtual std::uint32_t GetProductName(const std::uint8_t* image, std::size_t length, char* out);
    virtual std::uint32_t GetBiosDate(const std::uint8_t* image, std::size_t length, char* out);
    virtual std::uint32_t GetConfigFileName(const std::uint8_t* image, std::size_t length, char* out);
    virtual std::uint16_t GetDeviceId(const std::uint8_t* image, std::size_t length);
    virtual std::uint16_t GetSubsystemId(const std::uint8_t* image, std::size_t length);
    virtual std::uint16_t GetSubsystemVendorId(const std::uint8_t* image, std::size_t length);
    // Fills fileImageInfo; returns 1.
    virtual int ParseFileImage(const std::uint8_t* image, std::size_t length);
    virtual std::uint16_t DecodeVarLength(const std::uint8_t* p, std::size_t available);
    virtual std::uint32_t VarLengthSize(const std::uint8_t* p, std::size_t available);

    // Checks the image's RSA signature, prints the verdict line and leaves
    // CMD_SIG_PASS or CMD_SIG_FAIL in status (also returned).
    virtual int VerifySignature(const std::uint8_t* image, std::uint32_t length);

    // Row `index` of adapterRomInfo; an empty entry for rows outside the table.
    AdapterRomInfo& GetAdapterRomInfo(std::uint8_t index);
    // Sets the engine's SPI target (revision = low 4 bits of revisionLow |
    // revisionHigh << 4) and returns the engine's verdict.
    int SetSpiTarget(std::uint16_t deviceId, std::uint8_t revisionLow, std::uint8_t revisionHigh);
    // Write protection around programming and editing: UnprotectRom keeps
    // the status it found; the end of a programming or editing run locks
    // the part after an erase or a write and puts back the status found
    // for a run that changed nothing (locking when none could be read;
    // nothing when the protection was not lifted), then closes access.
    // The state machines end their runs themselves; a caller that stops
    // one at a state of its own ends it here. Returns `state`.
    int EndWriteRun(std::uint32_t adapter, int state);
    // After a failed erase or write: whether the write sequence tries the
    // failed step again, and how many more times it may.
    bool RetryPending() const { return retryPending_; }
    int RetriesRemaining() const { return retriesRemaining_; }
    // The size of the part behind a ROM read that shows it more than once
    // (RomImage::RepeatPeriod, down to the smallest part of this flash type).
    std::uint32_t PartShownIn(const std::uint8_t* rom, std::uint32_t size) const;
    // Starts the retry the sequence decided on.
    void BeginRetry() { status = CMD_CHECKS_PASSED; }
    int UnprotectRom(std::uint32_t adapter);

    // Programming state machine: performs one step per call and leaves the
    // next state in `status` (also returned). The step may change the image
    // (preserved bits, strap bits).
    virtual int ProgramRom(std::uint32_t adapter, std::uint8_t* image, std::uint32_t length);

    // Checksum fix-ups of an image buffer holding `length` valid bytes. The
    // full form rewrites the CRC word of a VELK header and the checksum byte
    // 0x21; the short form only the checksum byte. Both cover the legacy
    // image (size byte x 512, bounded by length).
    void ImageChecksumFixup(std::uint8_t* image, std::uint32_t length);
    void FixLegacyChecksum(std::uint8_t* image, std::uint32_t length);

    std::vector<AdapterRomInfo> adapterRomInfo;
    std::uint8_t debugPrints = 0;
    std::uint8_t force = 0;
    std::uint16_t keepIsrSn = 0;
    std::uint16_t keepProdSn = 0;
    std::uint16_t forceSst = 0;
    std::uint16_t forceSt = 0;
    std::uint16_t forceAtmel = 0;
    std::uint16_t newBios = 0;
    std::uint16_t suppressDetail = 0;
    std::uint16_t exclMemTrainTable = 0;

    // Header of the image last given to a header accessor.
    const std::uint8_t* newHeader = nullptr;
    std::uint16_t newHeaderIsVelk = 0;
    std::uint16_t newSsid = 0;

    std::uint8_t listImages = 0;  // "-ai": the scan records each ROM's image chain
    int status = CMD_OK;          // state word of the state machines
    CFlash* engine = nullptr;     // owned
    std::uint32_t currentAdapter = 0;
    std::uint32_t adapterCount = 0;
    AdapterEntry adapters[kMaxAdapters];
    FileImageInfo fileImageInfo;
    std::uint8_t* romBuffer = nullptr;  // owned, kRomBufferSize bytes
    std::uint32_t bytesRead = 0;
    std::uint32_t bytesProgrammed = 0;
    std::uint32_t bytesVerified = 0;
    std::uint32_t romChecksum = 0;
    // What a read from 0 of the selected ROM gives back as the ROM's own
    // bytes, and what ends it; past it a read shows filler or the part's
    // start again. Set with the length asked when a read is refused
    // (CMD_BEYOND_REACH).
    enum class ReachLimit { Rom, Window, Buffer };
    struct RomReach {
        std::uint32_t length = 0;
        ReachLimit limit = ReachLimit::Rom;
    };
    RomReach romReach;
    std::uint32_t lengthAsked = 0;

    // Safety checks of programming; each runs only while its word is 1.
    std::uint16_t checkIdentical = 1;
    std::uint16_t checkMemSetting = 1;
    std::uint16_t checkSsid = 1;
    std::uint16_t checkPartNumber = 1;
    std::uint16_t checkVersion = 1;
    // Filters of "-pa"; 0xFFFF = any.
    std::uint16_t filterDeviceId = 0xFFFF;
    std::uint16_t filterSsid = 0xFFFF;
    std::uint16_t filterSvid = 0xFFFF;
    char filterPartNumber[64] = {};
    // Attempts each failed step of a write gets again ("-retries"), per board.
    std::uint16_t retries = 0;
    // The write puts back the board's only copy of what it does not change
    // (a tail block): each step is tried again at least twice.
    std::uint16_t holdsOnlyCopy = 0;
    // The ROM is read for a command that writes it after: a part that reads
    // as nothing may be an erased one.
    std::uint16_t readsBeforeWrite = 0;

    // --- ID and BIOS-info editing ("-mi", "-mb") ---
    // Step functions: one step per call, the state in `status` (also
    // returned). `value` holds the new IDs (SSID << 16 | SVID) on entry to
    // the first step and receives the IDs found in the ROM.
    virtual int ModifyId(std::uint32_t adapter, std::uint32_t& value, std::uint16_t program);
    virtual int ModifyBiosInfo(std::uint32_t adapter, std::uint32_t& value);
    // Set by the modify-file parser; not cleared between package commands.
    std::uint16_t modifySsid = 0;
    std::uint16_t modifySvid = 0;
    std::uint16_t modifyPartNumber = 0;
    std::uint16_t modifyBootMessage = 0;
    std::uint16_t modifySsidValue = 0;
    std::uint16_t modifySvidValue = 0;
    char modifyPartNumberText[128] = {};
    char modifyBootMessageText[128] = {};
    std::uint16_t programAfterEdit = 0;  // decided by the "-mb" handler before programming
    std::uint16_t ssidOverflow = 0;      // a 16-bit SSID for an adapter that keeps 14 bits
    std::uint16_t bootLineMissing = 0;   // the image that refused the edit has no boot message line
    std::uint32_t partNumberRoom = 0;
    std::uint32_t bootMessageRoom = 0;
    char currentPartNumber[64] = {};
    char currentBootMessage[128] = {};

private:
    // Editing steps shared by ModifyId and ModifyBiosInfo.
    struct IdPlace;
    int ModifyStart(std::uint32_t adapter, std::uint32_t& value, bool biosInfo, std::uint16_t program);
    int ModifyReadRom(std::uint32_t adapter, bool writes);
    int ModifyContinue();
    bool FindIdPlace(IdPlace& place, std::uint32_t configIds, std::uint32_t headerIds, std::uint32_t mask);
    void EditIds(const IdPlace& place, std::uint32_t& value, std::uint32_t newValue, bool biosInfo);
    int EditPartNumber();
    int EditBootMessage();
    void FixEditedChecksum();
    std::uint32_t editHeaderIdsAt_ = 0;  // offset of the header's ID dword, 0 = outside the bytes read
    bool editNarrowSsid_ = false;
    // Erase (and the blank check) of an edit, with its retries.
    int EditErase();
    std::vector<std::uint8_t> editOriginal_;  // the ROM as read, before the edit

    // --- the write sequence every writing command runs: identify, erase
    // with its blank check, write, verify; each step with its own attempts.
    enum SequenceStep { kIdentifyStep, kEraseStep, kWriteStep, kSequenceSteps };
    struct SequenceTarget {
        std::uint32_t holdLength = 0;    // bytes the part must hold from 0: what the program reaches
        std::uint32_t writeEnd = 0;      // bytes to write; an erased part holds 0xFF past them
        std::uint32_t windowFrom = 0;    // a second range to write past writeEnd (the retained window)
        std::uint32_t windowTo = 0;
        std::uint32_t reportLength = 0;  // the length the counts are reported against
        std::uint64_t partSize = 0;      // ROM size as identified on the first attempt
    };
    // `data` (romBuffer) holds what the part must hold over holdLength.
    void BeginSequence(std::uint32_t attempts, const SequenceTarget& target);
    // Attempts each step gets: "-retries", and at least two where the
    // command holds the board's only copy of its ROM.
    std::uint32_t SequenceAttempts(bool onlyCopy) const;
    // A step failed: decides whether it is tried again.
    void StepFailed(SequenceStep step);
    // Identification of a retry: the same part as the first attempt found.
    bool SequenceIdentify(std::uint32_t adapter);
    // The start of a retry after a failed erase: the part is waited for as
    // the erase was; false (the erase failed again) when it is still busy.
    bool EraseRetryReady();
    // On a retry: the part, no longer busy, reads blank over all it holds.
    bool ErasedBefore();
    // The part as found, read once before its first erase.
    bool SaveOriginal();
    // Protection lifted and the part as found read; otherwise the erase
    // step failed with nothing erased.
    bool ReadyToErase();
    // Erase and blank check of one attempt: CMD_ERASED or CMD_NOT_ERASED.
    int SequenceErase();
    // Writes the target's ranges, going on past failed units (on the last
    // attempt writing each once more); the bytes before the first failure.
    std::uint32_t WriteTarget(bool last);
    // Write of every unit that takes the data, then the read-back:
    // CMD_OK or CMD_FAILED.
    int SequenceWrite();
    // After the last failed erase the data goes onto every cell that takes
    // it, unless the part still holds its old ROM; true when the part then
    // holds all of the target.
    bool WriteOverFailedErase();
    // The last erase of a part still busy when it failed, waited for and
    // run on while it gets further: true when the part then reads blank.
    bool FinishSlowErase();
    // Erased bytes from the start of what the part holds (romSize set).
    std::uint32_t BlankLead();
    // The part, as its erase left it, reads erased but at a few cells.
    bool WasBlank(const std::vector<std::uint8_t>& part) const;
    // The write step's attempts over a part whose erase left `erased`.
    void WriteOverUnerasedCells(std::vector<std::uint8_t>& erased);
    // End of the bytes asked of the part beyond erased filler.
    std::uint32_t DataEnd(std::uint32_t end) const;
    // The read-back shows a smaller part that holds the target.
    bool SmallerPartHoldsTarget() const;
    bool HoldsTargetFolded(std::uint32_t part) const;
    SequenceTarget seq_;
    std::uint32_t stepAttemptsLeft_[kSequenceSteps] = {};
    SequenceStep failedStep_ = kIdentifyStep;  // the step a retry tries again
    bool retryPending_ = false;
    bool partTouched_ = false;
    int retriesRemaining_ = 0;
    std::vector<std::uint8_t> original_;      // the part before the first erase
    std::uint32_t romReadLength_ = 0;         // bytes of the ROM the programming checks read
    std::vector<std::uint8_t> verifyBuffer_;  // the part as read back after the write

    // Whether a run of the state machines has ended with this state, and
    // its end when it has.
    bool WriteRunEnded(int state) const;
    int EndIfFinished(std::uint32_t adapter, int state);
    int RelockRom(std::uint32_t adapter);
    int RestoreProtection(std::uint32_t adapter);

    // The serial-EEPROM type forced by "-sst", "-st" or "-atmel".
    void ApplyForcedSerialType();
    // Selects and identifies the adapter afresh (access closed first), as a
    // retry must: a failed attempt may have closed access and forgotten the
    // part. False without an adapter or a ROM.
    bool Reselect(std::uint32_t adapter);
    // The part's status still shows block protection (access open).
    bool BlockProtectionLeft();
    // Value of byte 0x21 that makes the legacy sum 0 (byte 0x21 must be 0).
    std::uint32_t LegacyChecksumByte(const std::uint8_t* image, std::uint32_t legacyLength);
    // Row from the engine's selected device.
    void FillRow(std::uint32_t row, std::uint8_t match, std::uint16_t skipAccess, std::uint16_t readRom);
    void ReadRomStart(std::uint32_t row);
    void CopyFlashName(AdapterEntry& row);
    void NoteHeader(const ImageHeaderEffect& effect, const std::uint8_t* image);
    // Selection and ROM-size test shared by the read operations.
    int SelectWithRom(std::uint32_t adapter);
    // Main read of the read operations: n = min(length, buffer) bytes.
    int ReadIntoBuffer(std::uint32_t length);
    // The first bytes of the ROM, where its BIOS size is.
    int ReadRomHeader();
    // The reach of the selected ROM (access open, as selection left it)
    // for a read of `wanted` bytes.
    RomReach ReachOfRom(std::uint32_t wanted);
    // A read of `length` bytes stays within the reach; otherwise access is
    // closed and romReach and lengthAsked say why.
    bool WithinReach(std::uint32_t length);

    AdapterRomInfo outsideTable_;

    // The status UnprotectRom found, for RestoreProtection.
    enum class ProtectionFound { Untouched, Read, Unread };
    ProtectionFound protectionFound_ = ProtectionFound::Untouched;
    std::uint8_t foundStatus_ = 0;

    // --- programming state (ProgramRom) ---
public:
    // Copies the board's strap bits into byte 0xAD of the image on the
    // device IDs that need it; 1 when it did.
    int ApplyStrapBits(std::uint16_t deviceId, std::uint8_t* image);

    std::int32_t lastWriteCount = 0;
    std::uint32_t softwareCrc = 0;
    std::uint32_t newBiosSize = 0;
    std::uint32_t oldBiosSize = 0;
    std::uint16_t newImageValid = 0;
    std::uint16_t oldImageValid = 0;
    const std::uint8_t* oldHeader = nullptr;
    std::uint16_t oldHeaderIsVelk = 0;
    std::uint16_t preserveApplied = 0;
    std::uint16_t oldMemSetting = 0;
    std::uint16_t newMemSetting = 0;
    std::uint16_t oldSsid = 0;
    char oldPartNumber[32] = {};
    char newPartNumber[32] = {};

private:
    // The "-retain_offset" window was saved in this programming run.
    bool retainSaved_ = false;
    // The window lies inside the ROM, so it is kept in this run.
    bool retainActive_ = false;
    // An erase or write was tried in this run: the next one is a retry.
    bool eraseTried_ = false;
    // Whether the retain window fits the ROM; says so once when it does not.
    bool RetainWindowFits(std::uint64_t romSize);
    // Steps of ProgramRom; `image` is a buffer of kRomBufferSize bytes
    // holding `length` image bytes.
    int ProgramStart(std::uint32_t adapter, std::uint8_t* image, std::uint32_t length);
    void InspectImages(std::uint8_t* image, std::uint32_t length);
    void MergeRomSettings(std::uint8_t* image, std::uint32_t length);
    // `judged` bytes of the ROM are in the ROM buffer.
    int ProgramChecks(std::uint32_t adapter, const std::uint8_t* image, std::uint32_t length, std::uint32_t judged);
    // The ROM read (judged bytes in romBuffer) already holds the image.
    bool RomHoldsImage(const std::uint8_t* image, std::uint32_t length, std::uint32_t judged);
    // Leading bytes of a ROM of romSize bytes that hold the image as it
    // would stand after programming.
    std::uint32_t BytesHoldingImage(std::uint32_t romSize, const std::uint8_t* image, std::uint32_t length) const;
    int CheckMemorySetting(const std::uint8_t* image, std::uint32_t length);
    int CheckSsid(const std::uint8_t* image, std::uint32_t length);
    int CheckPartNumber(const std::uint8_t* image, std::uint32_t length);
    int CheckSignature(const std::uint8_t* image, std::uint32_t length);
    int EraseForProgramming(std::uint32_t adapter, const std::uint8_t* image, std::uint32_t length);
    // A parallel part that gives no ID reads as nothing when erased: a
    // write may still go onto it, reading it as it reads. One that takes
    // nothing of the target is not there: the run ends as a failed read.
    bool SilentPartAsBlank(std::uint32_t n);
    bool NoSilentPartTook() const;
    // The line of an erase that failed: CMD_NOT_ERASED.
    int ReportNotErased();
    // What the part must hold, into romBuffer: the image, the retained
    // window, 0xFF to the end.
    void FillProgramTarget(const std::uint8_t* image, std::uint32_t length);
    int WriteAndVerify(const std::uint8_t* image, std::uint32_t length);
    void RecountMibDevice(const std::uint8_t* image, std::uint32_t length);
    int WriteFirmwareChunk(const std::uint8_t* image, std::uint32_t length);
    int FinishFirmware(const std::uint8_t* image, std::uint32_t length);
    // Bytes covered by the legacy image's size byte, bounded by length.
    static std::uint32_t LegacyLength(const std::uint8_t* image, std::uint32_t length);
    // Column strings of a row from ROM content of `valid` bytes.
    void TakeRowStrings(AdapterEntry& row, const std::uint8_t* rom, std::uint32_t valid);
};
