// Flash engine: one per command layer. It holds the type table, the
// selected device and what detection found out about it, the register
// lists, the option fields the command-line switches set, the error code and
// a 1 MiB ROM buffer. Its ROM operations call through the row of operations
// of the current flash type, which drive the shared protocol objects.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "engine/InitLists.h"
#include "engine/RomBuffer.h"
#include "engine/TypeTable.h"
#include "platform/COsDepend.h"
#include "platform/PciRegisters.h"  // the offsets ReadPciConfig* take
#include "protocols/ProtocolHost.h"

class CGenI2C;
class CGenSPI;
class CParallel;
class CVoskSerial;

// Length of names copied into the engine (the buffers hold one more byte).
inline constexpr std::uint32_t kEngineNameMax = 127;
// Capacity of the list of chip families device selection skips.
inline constexpr std::uint32_t kExcludedFamilyMax = 32;
// PCI vendor ids of the adapters the engine selects (the second only with
// "-KOV").
inline constexpr std::uint16_t kVendorTev = 0x1002;
inline constexpr std::uint16_t kVendorKov = 0x1022;

class CFlash : public ProtocolHost, public TypeTableStore {
public:
    CFlash(FILE* typeTableText, std::uint32_t logLevel);
    ~CFlash() override;

    // Device selection and access (register lists, detection).
    virtual std::int16_t WriteEnable();
    virtual std::int16_t WriteDisable();
    virtual int IsWriteAllowed();
    virtual int FlashThroughSmu(const std::uint8_t* image, int length);
    virtual std::int16_t SelectDevice(std::uint16_t segment, std::uint8_t bus, std::uint8_t devfn,
                                      int matchIndex);
    virtual std::int16_t OpenAccess();
    virtual std::int16_t CloseAccess();
    virtual std::int16_t DetectType();

    // ROM operations.
    virtual std::uint32_t BulkErase();
    virtual std::uint32_t Read(std::uint32_t offset, std::uint32_t length, std::uint8_t* buffer);
    virtual std::uint32_t Write(std::uint32_t offset, std::uint32_t length, const std::uint8_t* data);
    // Write that goes on past the units (pages, bytes) that do not take the
    // data, so the part ends with every byte it can hold. On the last
    // attempt each failed unit is written once more, one byte per program
    // command where the part allows, before it is judged. Returns the bytes
    // before the first failure, whose error code and address it keeps.
    std::uint32_t WriteAll(std::uint32_t offset, std::uint32_t length, const std::uint8_t* data,
                           bool lastAttempt);
    // The part is still busy (or silent) after a failed step and takes no
    // command now.
    bool PartStaysBusy();
    // Waits for a busy part as long as its erase is waited for: true when
    // it is ready (or nothing identified answers to ask), false when it is
    // still busy then.
    bool WaitWhileBusy();
    // A parallel part that gives no ID where it never answered is missing,
    // or erased (a part that gives none reads its cells instead): a read
    // takes it for the erased one only while acceptSilentPart is set.
    bool PartSilent() const;
    bool acceptSilentPart = false;
    virtual std::uint32_t BIOSSize(std::uint32_t offset, const std::uint8_t* buffer);
    virtual std::uint32_t Checksum(std::uint32_t offset, std::uint32_t length, const std::uint8_t* buffer);
    virtual std::uint8_t IsSiI1930ChecksumReady();
    virtual std::uint32_t ReadSiI1930Version();
    virtual std::uint32_t Compare(std::uint32_t offset, std::uint32_t length, const std::uint8_t* buffer);
    virtual std::int16_t BIOSCheck(std::uint32_t offset, std::uint32_t length, const std::uint8_t* buffer);
    virtual std::uint32_t ReadStatus();
    virtual std::uint32_t WriteStatus(std::uint32_t value);
    virtual bool TestRegisterAccess(COsDepend* device);
    virtual std::uint32_t ChecksumBuffer(const std::uint8_t* buffer, std::uint32_t length);

    // Status-register bits that carry the write protection of the part in
    // use (its write-protect mask pairs); valid while access is open.
    std::uint8_t StatusProtectionMask();
    // The block-protection bits alone (no status-register lock): while one
    // reads set, part of the array takes no erase or write.
    std::uint8_t BlockProtectionMask();

    // What the program reaches of the ROM: the ROM window for the parts
    // behind the aperture (parallel, serial EEPROM), else no limit.
    std::uint32_t ReachableSize();
    // The bytes BulkErase erases and checks blank, from 0: the ROM size as
    // far as the program reaches and a command can hold it. A part larger
    // than that is erased block by block over it, or not at all
    // (FLASH_BEYOND_REACH).
    std::uint32_t EraseSpan();
    // The size of an identified SPI part: its record's, or more where its
    // JEDEC ID names more (asked of the part); 0 for other types.
    std::uint32_t SpiPartCapacity();

    // The SPI engine for the current flash type and family.
    CGenSPI* GetSpiEngine();
    int SupportsTarget();
    std::uint16_t TargetDeviceId() const override { return targetDeviceId; }
    std::uint8_t TargetRevision() const override { return targetRevision; }
    void SetErrorCode(FlashStatusCode code) override { errorCode = code; }
    void SetErrorAddress(std::uint32_t address) override { errorAddress = address; }
    void SetVerifyError(std::uint32_t address, std::uint32_t written, std::uint32_t read) override {
        errorAddress = address;
        errorWritten = written;
        errorRead = read;
    }

    // Type-table members.
    static const TypeTableWord* FindRecord(TypeTableWord opcode, const TypeTableWord* from,
                                           const TypeTableWord* end);
    std::uint32_t ReadHexNumbers(TypeTableWord*& cursor, FILE* f, std::uint32_t count);
    void DumpTypeTable(const TypeTableWord* table);
    void BuildSpiPartList();

    // --- fields ---
    std::int32_t errorCode = FLASH_OK;
    std::uint32_t errorAddress = 0;
    std::uint32_t errorWritten = 0;
    std::uint32_t errorRead = 0;
    // Target of the SPI target check (set only by the command layer).
    std::uint16_t targetDeviceId = 0xFFFF;
    std::uint8_t targetRevision = 0xFF;
    // ROM window that "-retain_offset" keeps across programming, inclusive;
    // buffer checksums always leave it out.
    std::uint32_t retainStart = 0x1FF00;
    std::uint32_t retainEnd = 0x1FFFF;
    std::uint8_t retainedBytes[256] = {};
    std::uint8_t retainEnabled = 0;

    std::uint32_t strapRegister = 0;
    std::uint32_t strapShift = 0;
    std::uint32_t strapMask = 0;
    InitList pinit;
    InitList sinit;
    InitList cinit;
    WriteEnableList wrena;
    WriteEnableList wrdis;

    std::int16_t successFlag = 0;
    // Highest PCI segment and bus the adapter scan visits.
    std::uint16_t maxSegmentToScan = 1;
    std::uint8_t maxBusToScan = 0xFF;
    std::int16_t accessOpen = 0;
    std::int16_t deviceSelected = 0;
    std::int16_t typeDetected = 0;
    std::int16_t bulkEraseOnly = 0;
    std::uint32_t retried = 0;
    // Bus filters of the adapter scan.
    std::int16_t optNoPci = 0;
    std::int16_t optPciOnly = 0;
    std::int16_t optAgp = 0;
    std::int16_t optNoAgp = 0;
    std::int16_t optPcie = 0;
    std::int16_t optNoPcie = 0;
    std::int16_t optPci = 0;
    std::int16_t softI2cDetect = 1;
    std::int16_t capabilityFixup = 0;
    // Chip families that device selection skips; the DDC family by default.
    std::uint32_t excludedFamilyCount = 1;
    std::uint32_t excludedFamilies[kExcludedFamilyMax] = {TEV_DDC};
    std::int16_t acceptKovVendor = 0;

    // Selected PCI location.
    std::uint16_t pciSegment = 0;
    std::uint8_t pciBus = 0;
    std::uint8_t pciDevfn = 0;
    std::uint16_t deviceId = 0;
    std::uint8_t revisionId = 0;
    char asicName[kEngineNameMax + 1] = {};
    std::uint32_t asicFamily = 0;
    std::uint32_t strapValue = 0;
    std::uint32_t flashType = TYPE_UNKNOWN;
    char flashTypeName[kEngineNameMax + 1] = "unknown";
    // First entry of the selected chip's type table, and the sub-table in use.
    const TypeTableWord* typeEntries = nullptr;
    const TypeTableWord* subTable = nullptr;
    std::uint16_t parallelId = 0;
    char parallelName[kEngineNameMax + 1] = {};
    std::uint32_t parallelMethod = 0;
    SpiPart* currentPart = nullptr;
    char currentPartName[kEngineNameMax + 1] = {};
    // Copied into every hardware SPI engine at selection.
    std::int16_t forceSoftSpi = 0;
    std::int16_t noAperture = 0;
    std::uint32_t romSize = 0;
    // What the identified part holds by its record or type entry; romSize
    // may be less (the part of it the ROM window reaches).
    std::uint32_t partCapacity = 0;
    std::uint8_t* romImage = nullptr;  // kRomBufferSize bytes, owned
    std::uint32_t sectorSize = 0;
    std::uint32_t eraseSize = 0;
    // PreserveByte list of the selected chip.
    std::uint32_t preserveCount = 0;
    std::uint32_t preserveOffsets[kPreserveListMax] = {};
    std::uint8_t preserveMasks[kPreserveListMax] = {};
    std::uint32_t delayMs = 1;
    std::uint32_t retry = 1;
    // SiI1930 GPIO pins; -1 = not given.
    std::int32_t siiResetPin = -1;
    std::int32_t siiProgramPin = -1;
    // Select a device even when its I2C detection step fails ("-sst", "-atmel", "-scansii").
    std::int16_t forceSelectOnI2cFail = 0;

private:
    // Outcome of one detection programme, and of one of its steps.
    enum class Programme { NoMatch, Match, Selected };
    enum class Step { Next, NoMatch, Match, Selected };
    // The ASIC record detection selected: its ids and the record after its
    // programme.
    struct AsicRecord {
        std::uint32_t typeTableId = 0;
        std::uint32_t preserveTableId = 0;
        const TypeTableWord* next = nullptr;
    };
    // Steps of SelectDevice.
    void ClearSelection();
    bool IsSelectableFunction(std::uint16_t segment, std::uint8_t bus, std::uint8_t devfn);
    void FixupLinkCapability();
    BusFilter ScanBusFilter() const;
    bool FindAsic(int matchIndex, AsicRecord& found);
    void RestoreSavedRegisters();
    Programme RunDetection(const TypeTableWord*& step, const TypeTableWord* limit, int matchIndex,
                           std::uint32_t& matches);
    // One detection step per record kind.
    Step RunDetectionStep(const TypeTableWord* r);
    Step StepPciRmw(const TypeTableWord* r);
    Step StepRegRmw(const TypeTableWord* r);
    Step StepRegSave(const TypeTableWord* r);
    Step StepSoftI2cConfig(const TypeTableWord* r);
    Step StepPciCompare(const TypeTableWord* r);
    Step StepRegCompare(const TypeTableWord* r);
    Step StepSoftI2cCompare(const TypeTableWord* r);
    bool FamilyExcluded(std::uint32_t family) const;
    std::uint32_t ReadConfigByAlignment(std::uint8_t offset);
    void WriteConfigByAlignment(std::uint8_t offset, std::uint32_t value);
    void CollectInitLists(const TypeTableWord* from, const TypeTableWord* limit);
    bool FindTypeEntries(std::uint32_t typeTableId);
    bool CollectPreserveList(std::uint32_t preserveTableId);
    std::int16_t FailSelection(bool unmapped);

    // Strap decode and type entry, after the device check of opening
    // access and before its init lists; returns the sub-table id of the
    // matched entry.
    std::uint32_t DecodeStrap(bool trace);
    void ResetIdentification(bool spiEngines);
    void ApplySubTable(std::uint32_t subTableId, CGenSPI* engine);
    void ApplyI2cTable(std::uint32_t subTableId);
    void AppendI2cHeaderByte(CGenI2C& i2c, const TypeTableWord* sequence);
    void ApplySoftSpiTable(std::uint32_t subTableId, CGenSPI* engine);
    void IdentifySpiPart(CGenSPI* engine);
    void IdentifyParallelPart();
    void IdentifyParallelOnOpen();
    // The ROM size cut to the ROM window, where the part sits behind it.
    void FitRomToWindow();
    void ApplyInitList(InitList& list, const char* name);
    void RestoreInitList(const InitList& list, const char* name);
    std::int16_t ApplyWriteList(const WriteEnableList& list, const char* which);

    // The SPI engine for a ROM operation, holding this engine's part.
    CGenSPI* SpiForOperation();
    // The parallel and serial objects, loaded with this engine's parameters.
    CParallel* ParallelForOperation();
    CVoskSerial* SerialForOperation();
    // Hardware-SPI ROMs are read by commands; every other type needs the
    // ROM aperture (error code 17 and its trace line when it is missing).
    bool RomReachable();
    // Sector and erase sizes of the serial-EEPROM types; false for others.
    bool ApplySerialEepromGeometry();
    // Detection before BulkErase and Write.
    bool DetectBeforeWrite();
    // Operations on the engine buffer: false when offset lies past its end
    // (or there is no buffer), otherwise length is cut to the end.
    bool FitEngineBuffer(std::uint32_t offset, std::uint32_t& length) const;
    // How the current type programs: `unit` bytes are programmed and
    // verified together (0 when a write cannot start past a failed unit),
    // and one program command takes as few as `smallest` bytes.
    struct WriteUnitSizes {
        std::uint32_t unit = 0;
        std::uint32_t smallest = 0;
    };
    WriteUnitSizes WriteUnits();
    // The error a write reported at its first failure.
    struct FailedUnit {
        std::int32_t code;
        std::uint32_t address, wrote, read;
    };
    FailedUnit LastFailure() const { return {errorCode, errorAddress, errorWritten, errorRead}; }
    // Writes on from the unit after each one that fails, on the last
    // attempt writing each failed unit again first. The bytes before the
    // first unit that still fails; `reported` takes its error.
    std::uint32_t WritePastFailedUnits(std::uint32_t offset, std::uint32_t length, const std::uint8_t* data,
                                       std::uint32_t written, WriteUnitSizes units, bool lastAttempt,
                                       FailedUnit& reported);
    // Writes the n bytes at start again in pieces of `piece` bytes (n: at
    // once), those that do not read back right yet. The bytes before the
    // first one that still fails (n when none does); `failure` takes its
    // error.
    std::uint32_t RewriteUnit(std::uint32_t start, std::uint32_t n, const std::uint8_t* data, std::uint32_t piece,
                              FailedUnit& failure);
    // The parallel ID read, and where a parallel part last answered with
    // one: an ID of all ones there later is the part erased, not missing.
    void NoteParallelId(std::uint16_t id);
    std::uint32_t PciLocation() const;
    std::uint32_t parallelAnsweredAt_ = 0xFFFFFFFF;
    // The last write failed in the controller, not at the part; or in the
    // part's write enable, whatever it was to write.
    bool ControllerStopped() const;
    bool WriteEnableFailed() const;
    // Set while WriteAll goes on past a failed unit.
    bool continuingWrite_ = false;
    // Steps of Write: refusal of the types without flash, and the range and
    // write-enable check.
    bool HasFlashToWrite();
    bool CheckWriteRange(std::uint32_t offset, std::uint32_t length);
    // The end of a BIOS check that passed.
    std::int16_t PassBiosCheck();

    // One row of operations per flash type. A field a row leaves out keeps
    // its default: the ROM aperture for the image operations (header,
    // check, checksum, compare), and for the others the named operation
    // that fails the way an unsupported type fails.
    struct TypeOps {
        std::uint32_t type = TYPE_UNKNOWN;
        // Trace line of a type without flash: its writes stop before they start.
        const char* noFlash = nullptr;
        // Read and the status operations need the ROM aperture.
        bool needsAperture = true;
        // Writes pass the range and write-enable check first.
        bool checksWriteRange = true;
        // A write asked for the version only returns the version.
        bool versionOnWrite = false;
        bool (CFlash::*readHeader)(std::uint32_t offset, std::uint8_t* header) = &CFlash::ReadHeaderFromAperture;
        std::int16_t (CFlash::*checkImage)(std::uint32_t offset, std::uint32_t length,
                                           std::uint32_t size) = &CFlash::CheckImageInAperture;
        std::uint32_t (CFlash::*checksumBuffer)(const std::uint8_t* buffer,
                                                std::uint32_t length) = &CFlash::ChecksumBuffer;
        // engine: the SPI engine Checksum and Compare pick as they start;
        // picking it again would repeat its register probe on some families.
        bool (CFlash::*checksumRom)(CGenSPI* engine, std::uint32_t offset, std::uint32_t length,
                                    std::uint32_t& sum) = &CFlash::ChecksumAperture;
        std::uint32_t (CFlash::*compare)(CGenSPI* engine, const std::uint8_t* buffer, std::uint32_t offset,
                                         std::uint32_t length) = &CFlash::CompareAperture;
        std::uint32_t (CFlash::*read)(std::uint8_t* buffer, std::uint32_t offset,
                                      std::uint32_t length) = &CFlash::ReadNotSupported;
        std::uint32_t (CFlash::*erase)() = &CFlash::EraseNotSupported;
        std::uint32_t (CFlash::*write)(const std::uint8_t* data, std::uint32_t offset,
                                       std::uint32_t length) = &CFlash::WriteNothing;
        std::uint32_t (CFlash::*readStatus)() = &CFlash::NoStatusToRead;
        std::uint32_t (CFlash::*writeStatus)(std::uint32_t value) = &CFlash::NoStatusToWrite;
    };
    static const TypeOps kTypeOps[kFlashTypeCount];
    // The rows the serial-EEPROM types and the SPI types share.
    template <std::uint32_t (CVoskSerial::*erase)(),
              std::uint32_t (CVoskSerial::*write)(const std::uint8_t*, std::uint32_t, std::uint32_t)>
    static constexpr TypeOps SerialEepromRow(std::uint32_t type);
    static constexpr TypeOps SpiEngineRow(std::uint32_t type);
    // The row of the current flash type, looked up at each use: opening
    // access and the command layer may change the type.
    const TypeOps& Ops() const;

    // Operations of the rows.
    bool ReadHeaderFromAperture(std::uint32_t offset, std::uint8_t* header);
    bool ReadHeaderThroughSpi(std::uint32_t offset, std::uint8_t* header);
    std::int16_t CheckImageInAperture(std::uint32_t offset, std::uint32_t length, std::uint32_t size);
    std::int16_t CheckImageThroughSpi(std::uint32_t offset, std::uint32_t length, std::uint32_t size);
    std::uint32_t ChecksumSiI1930Buffer(const std::uint8_t* buffer, std::uint32_t length);
    bool ChecksumAperture(CGenSPI* engine, std::uint32_t offset, std::uint32_t length, std::uint32_t& sum);
    bool ChecksumThroughSpi(CGenSPI* engine, std::uint32_t offset, std::uint32_t length, std::uint32_t& sum);
    bool ChecksumSiI1930(CGenSPI* engine, std::uint32_t offset, std::uint32_t length, std::uint32_t& sum);
    std::uint32_t CompareAperture(CGenSPI* engine, const std::uint8_t* buffer, std::uint32_t offset,
                                  std::uint32_t length);
    std::uint32_t CompareThroughSpi(CGenSPI* engine, const std::uint8_t* buffer, std::uint32_t offset,
                                    std::uint32_t length);
    std::uint32_t CompareSiI1930(CGenSPI* engine, const std::uint8_t* buffer, std::uint32_t offset,
                                 std::uint32_t length);
    std::uint32_t ReadNotSupported(std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length);
    std::uint32_t ReadParallel(std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length);
    std::uint32_t ReadSerial(std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length);
    // A read of a part that does not answer: it would pass 0xFF off as the ROM.
    std::uint32_t NoAnswer();
    std::uint32_t ReadMibEeprom(std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length);
    std::uint32_t ReadGpioI2c(std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length);
    std::uint32_t ReadSiI1930(std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length);
    std::uint32_t ReadThroughSpi(std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length);
    std::uint32_t EraseNotSupported();
    std::uint32_t EraseParallel();
    template <std::uint32_t (CVoskSerial::*erase)()>
    std::uint32_t EraseSerial();
    std::uint32_t EraseThroughSpi();
    // An erase that would reach bytes no read can show: nothing is erased.
    std::uint32_t RefuseErase();
    std::uint32_t WriteNothing(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    std::uint32_t WriteNotImplemented(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    std::uint32_t WriteParallel(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    template <std::uint32_t (CVoskSerial::*write)(const std::uint8_t*, std::uint32_t, std::uint32_t)>
    std::uint32_t WriteSerial(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    std::uint32_t WriteThroughSpi(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    std::uint32_t WriteMibEeprom(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    std::uint32_t WriteGpioI2c(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    std::uint32_t WriteSiI1930(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    std::uint32_t NoStatusToRead();
    std::uint32_t ReadSerialStatus();
    std::uint32_t ReadSpiStatus();
    std::uint32_t NoStatusToWrite(std::uint32_t value);
    std::uint32_t WriteSerialStatus(std::uint32_t value);
    std::uint32_t WriteSpiStatus(std::uint32_t value);
    void LogParameters();
};

// Allocates and constructs an engine; null when that fails.
CFlash* CreateFlash(FILE* typeTableText, std::uint32_t logLevel);
