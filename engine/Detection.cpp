// Device selection and detection: the vendor and class checks, device
// mapping, the detection-programme interpreter, the init lists, strap
// decoding, sub-tables and part identification, opening and closing access.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/CFlash.h"
#include "engine/SharedProtocolObjects.h"
#include "platform/Bytes.h"
#include "platform/PciRegisters.h"
#include "protocols/CGenI2C.h"
#include "protocols/CGenSPI.h"
#include "protocols/CNerrowSerial.h"
#include "protocols/CParallel.h"
#include "protocols/CQuorSPI.h"
#include "protocols/TarselSPI.h"

namespace {

constexpr std::uint8_t kDisplayClass = 0x03;
// Bridge register the link fix-up rewrites on boards behind a bridge.
constexpr std::uint8_t kFixupRegister = 0x18;
// The detection programme saves registers here and restores them after it.
struct RegisterSaveList {
    std::uint32_t count = 0;
    RegisterSaveEntry entries[kRegisterSaveMax] = {};
};
RegisterSaveList g_registerSave;

std::uint32_t U32(TypeTableWord w) { return static_cast<std::uint32_t>(w); }

bool IsDetectionStep(TypeTableWord op) {
    return (op >= DET_PCIRMW && op <= DET_REGCMP) || (op >= DET_REGSAVE && op <= DET_SI2CW3CMP);
}

// The record at r fits before limit.
bool Fits(const TypeTableWord* r, const TypeTableWord* limit) {
    if (r >= limit) return false;
    const std::uint32_t words = TypeTableWordCount(*r);
    return words != 0 && words <= static_cast<std::uint64_t>(limit - r);
}

void CopyName(char* out, const char* name) { CopyBounded(out, kEngineNameMax + 1, name); }

// The first record of kind opcode whose id word equals id, searched from
// the start of the table; null when none.
const TypeTableWord* FindById(TypeTableWord opcode, TypeTableWord id, const TypeTableWord* table,
                              const TypeTableWord* limit) {
    for (const TypeTableWord* r : Records(opcode, table, limit))
        if (r[1] == id) return r;
    return nullptr;
}

}  // namespace

// ---------------------------------------------------------------- selection

bool CFlash::FamilyExcluded(std::uint32_t family) const {
    const std::uint32_t n = std::min(excludedFamilyCount, kExcludedFamilyMax);
    for (std::uint32_t i = 0; i < n; ++i)
        if (excludedFamilies[i] == family) return true;
    return false;
}

// Width by alignment: odd offsets are bytes, 2 mod 4 words, else dwords.
std::uint32_t CFlash::ReadConfigByAlignment(std::uint8_t offset) {
    if (offset & 1) return ReadPciConfigByte(pciSegment, pciBus, pciDevfn, offset);
    if (offset & 2) return ReadPciConfigWord(pciSegment, pciBus, pciDevfn, offset);
    return ReadPciConfigDword(pciSegment, pciBus, pciDevfn, offset);
}

void CFlash::WriteConfigByAlignment(std::uint8_t offset, std::uint32_t value) {
    if (offset & 1) WritePciConfigByte(pciSegment, pciBus, pciDevfn, offset, std::uint8_t(value));
    else if (offset & 2) WritePciConfigWord(pciSegment, pciBus, pciDevfn, offset, std::uint16_t(value));
    else WritePciConfigDword(pciSegment, pciBus, pciDevfn, offset, value);
}

std::int16_t CFlash::FailSelection(bool unmap) {
    if (unmap) {
        const BusFilter none;
        MapDevice(pciSegment, pciBus, pciDevfn, 0, none);
    }
    deviceSelected = 0;
    errorCode = FLASH_NOT_COMPLETED;
    successFlag = 0;
    return 0;
}

std::int16_t CFlash::SelectDevice(std::uint16_t segment, std::uint8_t bus, std::uint8_t devfn, int matchIndex) {
    CloseAccess();
    ClearSelection();
    Log(1, "CFlash::SelectDevice(%04X,%02X,%02X,%02X)\n", segment, bus, devfn, unsigned(std::uint8_t(matchIndex)));
    if (!IsSelectableFunction(segment, bus, devfn)) {
        errorCode = FLASH_NOT_COMPLETED;
        successFlag = 0;
        return 0;
    }

    pciSegment = segment;
    pciBus = bus;
    pciDevfn = devfn;
    deviceId = ReadPciConfigWord(segment, bus, devfn, kPciDeviceId);
    revisionId = ReadPciConfigByte(segment, bus, devfn, kPciClassRevision);
    // Window size and the post-write read follow the selected chip.
    SetEngineDevice(deviceId, revisionId);
    if (capabilityFixup == 1 && bus != 0) FixupLinkCapability();

    if (MapDevice(segment, bus, devfn, 1, ScanBusFilter()) != 1) {
        successFlag = 0;
        return 0;
    }

    AsicRecord asic;
    if (!FindAsic(matchIndex, asic) || (asicFamily == TEV_MIB && std::uint8_t(matchIndex) != 0)) {
        Log(1, "no information found for device ID %04X\n", deviceId);
        return FailSelection(true);
    }

    SharedProtocols().tarselSpi->SetFamily(std::int32_t(asicFamily));
    CollectInitLists(asic.next, TableLimit());
    if (!FindTypeEntries(asic.typeTableId)) return FailSelection(true);
    if (asic.preserveTableId != 0 && !CollectPreserveList(asic.preserveTableId)) return FailSelection(true);

    deviceSelected = 1;
    successFlag = 1;
    return 1;
}

void CFlash::ClearSelection() {
    deviceSelected = 0;
    preserveCount = 0;
    pinit.count = 0;
    sinit.count = 0;
    cinit.count = 0;
    wrena.count = 0;
    wrdis.count = 0;

    BindSharedProtocols(this);
    SharedProtocols().ForEachHardwareSpiEngine([this](CQuorSPI* engine) {
        engine->forceBitbangTransfer = std::uint16_t(forceSoftSpi);
        engine->forceBitbangRead = std::uint16_t(noAperture);
    });
}

bool CFlash::IsSelectableFunction(std::uint16_t segment, std::uint8_t bus, std::uint8_t devfn) {
    const std::uint16_t vendor = ReadPciConfigWord(segment, bus, devfn, kPciVendorId);
    if (!(vendor == kVendorTev || (vendor == kVendorKov && acceptKovVendor == 1))) {
        Log(1, "non-TEV device\n");
        return false;
    }
    if ((ReadPciConfigDword(segment, bus, devfn, kPciClassRevision) >> 24) != kDisplayClass) {
        Log(1, "non-Display device!\n");
        return false;
    }
    return true;
}

void CFlash::FixupLinkCapability() {
    static constexpr std::uint8_t kLinkCapabilities[] = {kPciCapPcie, kPciCapAgp};
    if (FindPciCapability(pciSegment, pciBus, pciDevfn, kLinkCapabilities, 2, 0) == 0) return;
    const std::uint32_t v = ReadPciConfigDword(pciSegment, pciBus, pciDevfn, kFixupRegister);
    if ((v & 0x70000) != 0 && (v & 0x9) == 0)
        WritePciConfigDword(pciSegment, pciBus, pciDevfn, kFixupRegister, (v & 0xFFF8FFFF) ^ 0x80000);
}

BusFilter CFlash::ScanBusFilter() const {
    BusFilter filter;
    filter.noPci = optNoPci;
    filter.noAgp = optNoAgp;
    filter.noPcie = optNoPcie;
    filter.pciOnly = optPciOnly;
    filter.pci = optPci;
    filter.agp = optAgp;
    filter.pcie = optPcie;
    return filter;
}

bool CFlash::FindAsic(int matchIndex, AsicRecord& found) {
    // The ASIC records in table order, each with its detection programme.
    const TypeTableWord* limit = TableLimit();
    const TypeTableWord* at = Table();
    std::uint32_t matches = 0;
    for (const TypeTableWord* asic = FindRecord(ASIC, at, limit); asic != nullptr;
         asic = FindRecord(ASIC, at, limit)) {
        at = asic + TypeTableWordCount(ASIC);
        CopyName(asicName, TypeTableName(asic[1]));
        asicFamily = U32(asic[2]);
        found.typeTableId = U32(asic[3]);
        strapRegister = U32(asic[4]);
        strapShift = U32(asic[5]);
        strapMask = U32(asic[6]);
        found.preserveTableId = U32(asic[7]);
        if (FamilyExcluded(asicFamily)) continue;

        Log(1, "  check for %s ", asicName);
        g_registerSave.count = 0;
        const Programme outcome = RunDetection(at, limit, matchIndex, matches);
        Log(1, "\n");
        RestoreSavedRegisters();
        if (outcome == Programme::Selected) {
            found.next = at;
            return true;
        }
    }
    return false;
}

void CFlash::RestoreSavedRegisters() {
    for (std::uint32_t i = 0; i < g_registerSave.count; ++i) {
        const RegisterSaveEntry& e = g_registerSave.entries[i];
        WriteRegister(e.reg, (e.saved & e.andMask) | e.orValue);
    }
    g_registerSave.count = 0;
}

CFlash::Programme CFlash::RunDetection(const TypeTableWord*& step, const TypeTableWord* limit, int matchIndex,
                                       std::uint32_t& matches) {
    for (;;) {
        Log(1, ".");
        const TypeTableWord* r = step;
        if (!Fits(r, limit) || !IsDetectionStep(*r)) return Programme::NoMatch;
        step = r + TypeTableWordCount(*r);

        switch (RunDetectionStep(r)) {
        case Step::Next:
            continue;
        case Step::NoMatch:
            return Programme::NoMatch;
        case Step::Selected:
            return Programme::Selected;
        case Step::Match:
            break;
        }
        // A match: the (index + 1)-th one selects, a companion-chip record
        // its first one.
        const bool selects = std::uint8_t(matches) == std::uint8_t(matchIndex) || asicFamily == TEV_MIB;
        ++matches;
        return selects ? Programme::Selected : Programme::Match;
    }
}

CFlash::Step CFlash::RunDetectionStep(const TypeTableWord* r) {
    switch (*r) {
    case DET_PCIRMW: return StepPciRmw(r);
    case DET_REGRMW: return StepRegRmw(r);
    case DET_REGSAVE: return StepRegSave(r);
    case DET_SI2CCFG: return StepSoftI2cConfig(r);
    case DET_PCICMP: return StepPciCompare(r);
    case DET_REGCMP: return StepRegCompare(r);
    default: return StepSoftI2cCompare(r);  // DET_SI2CW1CMP .. DET_SI2CW3CMP
    }
}

CFlash::Step CFlash::StepPciRmw(const TypeTableWord* r) {
    const std::uint8_t off = std::uint8_t(r[1]);
    const std::uint32_t v = ReadConfigByAlignment(off);
    WriteConfigByAlignment(off, ((v & U32(r[2])) | U32(r[3])) ^ U32(r[4]));
    return Step::Next;
}

CFlash::Step CFlash::StepRegRmw(const TypeTableWord* r) {
    const std::uint32_t reg = U32(r[1]);
    const unsigned s = 8 * (reg & 3);
    const std::uint32_t v = ReadRegister(reg);
    // Literal byte arithmetic: for an unaligned register the bytes below the
    // target byte are cleared.
    WriteRegister(reg, ((v & (U32(r[2]) << s)) | (U32(r[3]) << s)) ^ (U32(r[4]) << s));
    return Step::Next;
}

CFlash::Step CFlash::StepRegSave(const TypeTableWord* r) {
    if (g_registerSave.count < kRegisterSaveMax) {
        const std::uint32_t reg = U32(r[1]);
        g_registerSave.entries[g_registerSave.count++] = {reg, U32(r[2]), U32(r[3]), ReadRegister(reg)};
    }
    return Step::Next;
}

CFlash::Step CFlash::StepSoftI2cConfig(const TypeTableWord* r) {
    if (softI2cDetect != 1) return Step::NoMatch;
    CGenI2C* i2c = SharedProtocols().genI2c;
    i2c->sclOut = {U32(r[1]), U32(r[2])};
    i2c->sdaOut = {U32(r[3]), U32(r[4])};
    i2c->sclIn = {U32(r[5]), U32(r[6])};
    i2c->sdaIn = {U32(r[7]), U32(r[8])};
    i2c->delay = 500;
    i2c->readAlign = 1;
    i2c->readPage = 256;
    i2c->romSize = 256;
    return Step::Next;
}

CFlash::Step CFlash::StepPciCompare(const TypeTableWord* r) {
    const std::uint32_t x = ReadConfigByAlignment(std::uint8_t(r[1])) & U32(r[2]);
    const bool inRange = x >= r[3] && x <= r[4];
    const std::uint32_t result = U32(r[5]);
    // A failing compare ends the programme on a hit, a range compare on a
    // miss; a passing one matches on a hit.
    if (result == DET_FAIL) return inRange ? Step::NoMatch : Step::Next;
    if (result == DET_RANGE) return inRange ? Step::Next : Step::NoMatch;
    if (result != DET_PASS || !inRange) return Step::Next;
    Log(1, "\n  pcicmp(%x %x %x %x %x) match", U32(r[1]), U32(r[2]), U32(r[3]), U32(r[4]), 1u);
    return Step::Match;
}

CFlash::Step CFlash::StepRegCompare(const TypeTableWord* r) {
    Sleep(1);
    const std::uint32_t reg = U32(r[1]);
    const std::uint32_t x = (ReadRegister(reg) >> (8 * (reg & 3))) & U32(r[2]);
    if (!(x >= r[3] && x <= r[4])) return Step::Next;
    if (U32(r[5]) != DET_PASS) return Step::NoMatch;
    Log(1, "\n  pcicmp(%x %x %x %x %x) match", reg, U32(r[2]), U32(r[3]), U32(r[4]), 1u);
    return Step::Match;
}

CFlash::Step CFlash::StepSoftI2cCompare(const TypeTableWord* r) {
    if (softI2cDetect != 1) return Step::NoMatch;
    // The opcode carries the header length (1 to 4 bytes).
    const std::uint32_t n = std::min<std::uint32_t>(std::uint32_t(*r - DET_SI2CW1CMP + 1), kI2cHeaderMax);
    CGenI2C* i2c = SharedProtocols().genI2c;
    i2c->readHeaderLength = n;
    for (std::uint32_t i = 0; i < n; ++i) {
        i2c->readHeader[i] = std::uint8_t(r[1 + i]);
        i2c->readStartAfter[i] = 0;
        i2c->readStopAfter[i] = 0;
    }
    std::uint8_t byte = 0xFF;
    if (i2c->Read(&byte, 0, 1, 0) == 0) {
        if (forceSelectOnI2cFail != 1) return Step::Next;
        forceSelectOnI2cFail = 0;
        return Step::Selected;
    }
    const TypeTableWord* cmp = r + 1 + n;  // mask, min, max, result
    const std::uint32_t x = byte & U32(cmp[0]);
    if (!(x >= cmp[1] && x <= cmp[2])) return Step::Next;
    if (U32(cmp[3]) != DET_PASS) return Step::NoMatch;
    Log(1, "\n  si2cw%dcmp(%x %x %x %x %x", int(n), U32(r[1]), U32(r[2]), U32(r[3]), U32(r[4]), U32(r[5]));
    for (std::uint32_t i = 6; i <= n + 4; ++i) Log(1, " %x", U32(r[i]));
    Log(1, ") match");
    return Step::Match;
}

void CFlash::CollectInitLists(const TypeTableWord* from, const TypeTableWord* limit) {
    const TypeTableWord* p = from;
    while (Fits(p, limit) && (*p == ASIC || IsDetectionStep(*p))) p += TypeTableWordCount(*p);

    // Only words of the table itself, which ends with its END record.
    const TypeTableWord* tableEnd = Table();
    while (Fits(tableEnd, limit)) {
        const TypeTableWord op = *tableEnd;
        tableEnd += TypeTableWordCount(op);
        if (op == END) break;
    }
    if (LogEnabled(1)) {
        char line[96] = "  init table:";
        std::size_t used = std::strlen(line);
        for (std::ptrdiff_t i = 0; i < 5 && i < tableEnd - p; ++i)
            used += std::size_t(std::snprintf(line + used, sizeof line - used, " %08X", U32(p[i])));
        Log(1, "%s\n", line);
    }

    for (const TypeTableWord* r : RecordRun(p, limit, OpcodeSet({PINIT, SINIT, CINIT, WRENA, WRIS}))) {
        switch (*r) {
        case PINIT:
        case SINIT:
        case CINIT: {
            InitList& list = *r == PINIT ? pinit : *r == SINIT ? sinit : cinit;
            list.Append({U32(r[1]), 0, U32(r[2]), U32(r[3]), U32(r[4]), U32(r[5])});
            break;
        }
        case WRENA:
            wrena.Append({U32(r[1]), U32(r[2]), U32(r[3])});
            break;
        default:
            wrdis.Append({U32(r[1]), U32(r[2]), U32(r[3])});
            break;
        }
    }
}

bool CFlash::FindTypeEntries(std::uint32_t typeTableId) {
    typeEntries = nullptr;
    subTable = nullptr;
    Log(1, "  search for type table(%x)\n", typeTableId);
    for (const TypeTableWord* r : Records(TYPE_TABLE, Table(), TableLimit())) {
        Log(1, "    found type table(%x)\n", U32(r[1]));
        if (r[1] == typeTableId) {
            typeEntries = r + TypeTableWordCount(TYPE_TABLE);
            return true;
        }
    }
    return false;
}

bool CFlash::CollectPreserveList(std::uint32_t preserveTableId) {
    Log(1, "  search for preserve table(%x)\n", preserveTableId);
    const TypeTableWord* limit = TableLimit();
    for (const TypeTableWord* r : Records(PRESERVE_TABLE, Table(), limit)) {
        Log(1, "    found preserve table(%x)\n", U32(r[1]));
        if (r[1] != preserveTableId) continue;
        for (const TypeTableWord* b : RecordRun(r + TypeTableWordCount(PRESERVE_TABLE), limit, OpcodeSet({PRESERVE_BYTE}))) {
            if (preserveCount >= kPreserveListMax) break;
            preserveOffsets[preserveCount] = U32(b[1]);
            preserveMasks[preserveCount] = std::uint8_t(b[2] & 0xFF);
            ++preserveCount;
            Log(1, "      byte %X, %X\n", U32(b[1]), unsigned(b[2] & 0xFF));
        }
        return true;
    }
    return false;
}

// ---------------------------------------------------------------- opening

void CFlash::ResetIdentification(bool spiEngines) {
    typeDetected = 0;
    parallelId = 0;
    parallelName[0] = '\0';
    parallelMethod = 0;
    currentPart = nullptr;
    currentPartName[0] = '\0';
    if (spiEngines) {
        SharedProtocolObjects& s = SharedProtocols();
        if (s.genSpi) s.genSpi->part = nullptr;
        s.ForEachHardwareSpiEngine([](CQuorSPI* engine) { engine->part = nullptr; });
    }
    romSize = 0;
    partCapacity = 0;
    sectorSize = 0;
    eraseSize = 0;
    bulkEraseOnly = 0;
    subTable = nullptr;
}

std::uint32_t CFlash::DecodeStrap(bool trace) {
    std::uint32_t v;
    if (asicFamily == TEV_NERROW) {
        // The strap sits behind the bridge.
        WriteRegister(kBridgeIndexRegister, strapRegister);
        v = ReadRegister(kBridgeDataRegister);
    } else {
        v = ReadRegister(strapRegister);
    }
    strapValue = (v >> (strapShift & 31)) & strapMask;

    flashType = TYPE_UNKNOWN;
    std::strcpy(flashTypeName, "unknown");
    std::uint32_t subTableId = 0;
    if (!typeEntries) return 0;
    if (trace) Log(1, "  looking up type table");
    for (const TypeTableWord* e : RecordRun(typeEntries, TableLimit(), OpcodeSet({TYPE_TABLE_ENTRY, TYPE_TABLE_ENTRY2}))) {
        if (trace) Log(1, ".");
        if (((TypeTableWord(strapValue) ^ e[1]) & e[2]) != 0) continue;
        if (trace) Log(1, " match");
        CopyName(flashTypeName, TypeTableName(e[3]));
        flashType = U32(e[4]);
        romSize = U32(e[5]);
        delayMs = U32(e[6]);
        retry = U32(e[7]);
        subTableId = *e == TYPE_TABLE_ENTRY2 ? U32(e[8]) : 0;
        typeDetected = 1;
        break;
    }
    if (trace) Log(1, "\n");
    return subTableId;
}

void CFlash::ApplySubTable(std::uint32_t subTableId, CGenSPI* engine) {
    if (subTableId == 0) return;
    if (IsGpioI2cType(flashType)) ApplyI2cTable(subTableId);
    else if (IsSpiType(flashType) && engine) ApplySoftSpiTable(subTableId, engine);
}

void CFlash::ApplyI2cTable(std::uint32_t subTableId) {
    const TypeTableWord* limit = TableLimit();
    const TypeTableWord* t = FindById(I2C_TABLE, subTableId, Table(), limit);
    if (!t) return;
    subTable = t + TypeTableWordCount(I2C_TABLE);
    CGenI2C* i2c = SharedProtocols().genI2c;
    i2c->writeHeaderLength = 0;
    i2c->readHeaderLength = 0;
    for (std::uint32_t k = 0; k < kI2cAddressBits; ++k) {
        i2c->writeAddressMap[k] = -1;
        i2c->readAddressMap[k] = -1;
    }
    for (const TypeTableWord* r : RecordRun(subTable, limit, OpcodeSet({I2C_INFO, I2C_WSEQ, I2C_RSEQ}))) {
        if (*r == I2C_INFO) {
            i2c->writeAlign = U32(r[1]);
            i2c->writePage = U32(r[2]);
            i2c->readAlign = U32(r[3]);
            i2c->readPage = U32(r[4]);
            i2c->delay = U32(r[5]);
        } else {
            AppendI2cHeaderByte(*i2c, r);
        }
    }
}

void CFlash::AppendI2cHeaderByte(CGenI2C& i2c, const TypeTableWord* r) {
    const bool write = *r == I2C_WSEQ;
    std::uint32_t& length = write ? i2c.writeHeaderLength : i2c.readHeaderLength;
    if (length >= kI2cHeaderMax) return;
    std::uint8_t* header = write ? i2c.writeHeader : i2c.readHeader;
    std::int32_t* map = write ? i2c.writeAddressMap : i2c.readAddressMap;
    // Each bit source is 0, 1, or the ROM address bit that goes there.
    std::uint8_t byte = 0;
    for (std::uint32_t i = 0; i < 8; ++i) {
        const std::uint32_t bit = 7 - i;
        const TypeTableWord source = r[1 + i];
        if (source == 1) byte = std::uint8_t(byte | (1u << bit));
        else if (source > 1) map[source & 31] = std::int32_t(length * 8 + bit);
    }
    header[length] = byte;
    (write ? i2c.writeStopAfter : i2c.readStopAfter)[length] = r[9] != 0 ? 1 : 0;
    (write ? i2c.writeStartAfter : i2c.readStartAfter)[length] = r[10] != 0 ? 1 : 0;
    ++length;
}

void CFlash::ApplySoftSpiTable(std::uint32_t subTableId, CGenSPI* engine) {
    const TypeTableWord* limit = TableLimit();
    const TypeTableWord* t = FindById(SWSPI_TABLE, subTableId, Table(), limit);
    if (!t) return;
    subTable = t + TypeTableWordCount(SWSPI_TABLE);
    engine->csLine = {};
    engine->clkLine = {};
    engine->doutLine = {};
    engine->dinLine = {};
    engine->part = nullptr;
    for (const TypeTableWord* r : RecordRun(subTable, limit, OpcodeSet({SWSPI_REG, SWSPI_BIT, SWSPI_DELAY}))) {
        if (*r == SWSPI_REG) {
            engine->csLine.reg = U32(r[1]);
            engine->clkLine.reg = U32(r[2]);
            engine->doutLine.reg = U32(r[3]);
            engine->dinLine.reg = U32(r[4]);
        } else if (*r == SWSPI_BIT) {
            SpiLine* lines[4] = {&engine->csLine, &engine->clkLine, &engine->doutLine, &engine->dinLine};
            for (int i = 0; i < 4; ++i) {
                lines[i]->bit = std::int32_t(U32(r[1 + 2 * i]));
                lines[i]->invert = std::uint16_t(r[2 + 2 * i]);
            }
        } else {
            engine->bitDelay = U32(r[1]);
        }
    }
}

void CFlash::IdentifySpiPart(CGenSPI* engine) {
    const std::uint32_t found = engine ? engine->DetectPart(spiPartList.entries, spiPartList.count) : 0;
    if (!engine || found >= spiPartList.count) {
        currentPart = nullptr;
        CopyName(currentPartName, flashTypeName);
        return;
    }
    SpiPart* part = &spiPartList.entries[found];
    engine->part = part;
    currentPart = part;
    CopyName(currentPartName, part->name);
    romSize = part->size;
    sectorSize = part->pageSize;
    if (part->commands[SPI_CHIP_ERASE].opcode != 0) {
        eraseSize = part->size;
        bulkEraseOnly = 1;
    } else {
        eraseSize = 0;
        bulkEraseOnly = 0;
    }
}

void CFlash::IdentifyParallelPart() {
    CParallel* parallel = SharedProtocols().parallel;
    romSize = 0;
    sectorSize = 0;
    bulkEraseOnly = 1;
    const TypeTableWord* table = Table();
    const TypeTableWord* limit = TableLimit();
    for (parallelMethod = 0; parallelMethod < 2; ++parallelMethod) {
        parallel->swizzle = parallelMethod;
        NoteParallelId(std::uint16_t(parallel->ReadId()));
        for (const TypeTableWord* r : Records(PARALLEL, table, limit)) {
            if (r[1] != parallelId) continue;
            CopyName(parallelName, TypeTableName(r[2]));
            romSize = U32(r[3]);
            sectorSize = U32(r[4]);
            if (sectorSize != 0) {
                eraseSize = sectorSize;
                bulkEraseOnly = 0;
            }
            break;
        }
        if (romSize != 0) break;
    }
}

void CFlash::IdentifyParallelOnOpen() {
    // Programming asks whether the part erases only as a whole before any
    // write identifies it, so a byte-programmed part must be known by now.
    // A part nobody knows keeps the size of the type entry.
    const std::uint32_t entrySize = romSize;
    IdentifyParallelPart();
    if (romSize == 0) romSize = entrySize;
}

void CFlash::FitRomToWindow() {
    partCapacity = romSize;
    // Past the window the aperture shows filler, and writes there are lost:
    // the ROM is what the window reaches.
    romSize = std::min(romSize, ReachableSize());
}

void CFlash::ApplyInitList(InitList& list, const char* name) {
    for (std::uint32_t i = 0; i < list.count; ++i) {
        InitEntry& e = list.entries[i];
        e.saved = ReadRegister(e.reg);
        Log(1, "  %s [%08X] = (%08X & %08X) | %08X\n", name, e.reg, e.saved, e.openAnd, e.openOr);
        WriteRegister(e.reg, (e.saved & e.openAnd) | e.openOr);
    }
}

void CFlash::RestoreInitList(const InitList& list, const char* name) {
    for (std::uint32_t i = 0; i < list.count; ++i) {
        const InitEntry& e = list.entries[i];
        // Entries with both close values 0 are left as opened; the others
        // (index registers of a pair included) are written in list order.
        if (InitEntrySkippedAtClose(e)) continue;
        Log(1, "  %s [%08X] = (%08X & %08X) | %08X\n", name, e.reg, e.saved, e.closeAnd, e.closeOr);
        WriteRegister(e.reg, (e.saved & e.closeAnd) | e.closeOr);
    }
}

std::int16_t CFlash::OpenAccess() {
    Log(1, "CFlash::OpenAccess() begins\n");
    BindSharedProtocols(this);
    if (accessOpen == 1) {
        successFlag = 1;
        return 1;
    }
    ResetIdentification(true);
    if (deviceSelected != 1) {
        Log(1, "device not selected");
        errorCode = FLASH_NOT_COMPLETED;
        successFlag = 0;
        return 0;
    }

    const std::uint32_t subTableId = DecodeStrap(true);
    CGenSPI* engine = GetSpiEngine();

    if (!ApplySerialEepromGeometry()) ApplySubTable(subTableId, engine);

    ApplyInitList(cinit, "cinit");
    if (flashType == TYPE_PARALLEL) ApplyInitList(pinit, "pinit");
    else if (IsSerialEepromType(flashType)) ApplyInitList(sinit, "sinit");

    if (IsSpiType(flashType)) IdentifySpiPart(engine);
    if (flashType == TYPE_PARALLEL) IdentifyParallelOnOpen();
    FitRomToWindow();

    Log(1, "CFlash::openAccess() ends\n");
    accessOpen = 1;
    successFlag = 1;
    return 1;
}

bool CFlash::ApplySerialEepromGeometry() {
    if (!IsDrivenSerialEepromType(flashType)) return false;
    // The SST parts program byte by byte; the others in 128-byte pages.
    sectorSize = flashType == TYPE_VOSK_SST ? 0 : 128;
    eraseSize = 0;
    bulkEraseOnly = 1;
    return true;
}

std::int16_t CFlash::DetectType() {
    Log(1, "CFlash::DetectType() begins\n");
    strapValue = 0xFFFFFFFF;
    std::uint32_t subTableId = 0;
    if (accessOpen != 1) {
        if (OpenAccess() != 1) return 0;
    } else {
        BindSharedProtocols(this);
        ResetIdentification(false);
        subTableId = DecodeStrap(false);
    }
    CGenSPI* engine = GetSpiEngine();

    ApplySerialEepromGeometry();
    if (flashType == TYPE_PARALLEL) {
        IdentifyParallelPart();
    } else if (IsGpioI2cType(flashType)) {
        ApplySubTable(subTableId, engine);
    } else if (IsSpiType(flashType)) {
        IdentifySpiPart(engine);
    }
    FitRomToWindow();

    Log(1, "CFlash::DetectType() ends\n");
    successFlag = 1;
    return 1;
}

std::int16_t CFlash::CloseAccess() {
    Log(1, "CFlash::CloseAccess() begins\n");
    if (accessOpen == 1 && deviceSelected == 1) {
        WriteDisable();
        RestoreInitList(cinit, "cinit");
        if (flashType == TYPE_PARALLEL) RestoreInitList(pinit, "pinit");
        else if (IsSerialEepromType(flashType)) RestoreInitList(sinit, "sinit");

        // No SPI engine keeps pointing at the part of a closed device.
        ResetIdentification(true);
        accessOpen = 0;
        Log(1, "CFlash::CloseAccess() ends\n");
    }
    successFlag = 1;
    return 1;
}

std::int16_t CFlash::ApplyWriteList(const WriteEnableList& list, const char* which) {
    if (OpenAccess() != 1) return 0;
    for (std::uint32_t i = 0; i < list.count; ++i) {
        const WriteEnableEntry& e = list.entries[i];
        const std::uint32_t v = ReadRegister(e.reg);
        Log(1, "  %s [%08X] = (%08X & %08X) | %08X\n", which, e.reg, v, e.andMask, e.orValue);
        WriteRegister(e.reg, (v & e.andMask) | e.orValue);
    }
    Sleep(1);
    return 1;
}

std::int16_t CFlash::WriteEnable() {
    Log(1, "CFlash::WriteEnable() begins\n");
    Log(1, "  nwrena = %d\n", int(wrena.count));
    if (ApplyWriteList(wrena, "wrena") != 1) return 0;
    Log(1, "CFlash::WriteEnable() ends\n");
    successFlag = 1;
    return 1;
}

std::int16_t CFlash::WriteDisable() {
    Log(1, "CFlash::WriteDisable() begins\n");
    if (ApplyWriteList(wrdis, "wrdis") != 1) return 0;
    Log(1, "CFlash::WriteDisable() ends\n");
    successFlag = 1;
    return 1;
}
