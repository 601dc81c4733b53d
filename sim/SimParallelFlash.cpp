#include "sim/SimParallelFlash.h"

namespace {

// The permuted board wiring: part line driven by each aperture line.
constexpr std::uint8_t kWiredData[8] = {0x01, 0x02, 0x04, 0x10, 0x20, 0x40, 0x80, 0x08};
constexpr std::uint16_t kWiredAddress[16] = {0x0002, 0x0004, 0x0008, 0x0010, 0x0020, 0x0040, 0x0080, 0x1000,
                                             0x4000, 0x2000, 0x0001, 0x0100, 0x8000, 0x0400, 0x0800, 0x0200};

// Command decoding of the part (its own address and data space).
constexpr std::uint32_t kCommandAddressMask = 0x7FFF;
constexpr std::uint32_t kUnlockAddress1 = 0x5555;
constexpr std::uint32_t kUnlockAddress2 = 0x2AAA;
constexpr std::uint8_t kUnlockData1 = 0xAA;
constexpr std::uint8_t kUnlockData2 = 0x55;
constexpr std::uint8_t kIdEntry = 0x90;
constexpr std::uint8_t kIdExit = 0xF0;
constexpr std::uint8_t kEraseSetup = 0x80;
constexpr std::uint8_t kChipErase = 0x10;
constexpr std::uint8_t kProgram = 0xA0;
constexpr std::uint8_t kDataPollBit = 0x80;  // DQ7
constexpr std::uint8_t kToggleBit = 0x40;    // DQ6

const SimParallelPartModel kParts[] = {
    {.name = "SST39SF010", .manufacturer = 0xBF, .device = 0xB5, .size = 0x20000, .pageSize = 0},
    {.name = "SST39SF512", .manufacturer = 0xBF, .device = 0xB4, .size = 0x10000, .pageSize = 0},
    {.name = "AT49F512", .manufacturer = 0x1F, .device = 0x03, .size = 0x10000, .pageSize = 0},
    {.name = "MX29F001", .manufacturer = 0xC2, .device = 0x18, .size = 0x20000, .pageSize = 0},
    {.name = "AT29C010A", .manufacturer = 0x1F, .device = 0xD5, .size = 0x20000, .pageSize = 0x80, .loadWindowUs = 150},
    {.name = "W29EE011", .manufacturer = 0xDA, .device = 0xC1, .size = 0x20000, .pageSize = 0x80, .loadWindowUs = 200},
    {.name = "AT29C020", .manufacturer = 0x1F, .device = 0xDA, .size = 0x40000, .pageSize = 0x100, .loadWindowUs = 150},
    {.name = "AT29C040A", .manufacturer = 0x1F, .device = 0xA4, .size = 0x80000, .pageSize = 0x100,
     .loadWindowUs = 150},
};

}  // namespace

const SimParallelPartModel* FindSimParallelPart(const std::string& name) {
    for (const SimParallelPartModel& p : kParts)
        if (p.name == name) return &p;
    return nullptr;
}

std::vector<std::string> SimParallelPartNames() {
    std::vector<std::string> names;
    for (const SimParallelPartModel& p : kParts) names.push_back(p.name);
    return names;
}

SimParallelFlash::SimParallelFlash(const SimParallelPartModel& model, std::shared_ptr<SimStorage> storage,
                                   bool swizzled, SimClocks* clocks)
    : model_(model), storage_(std::move(storage)), swizzled_(swizzled), clocks_(clocks) {
    if (!storage_) storage_ = std::make_shared<SimStorage>(model_.size);
    pageLatch_.assign(model_.pageSize, -1);
}

// ------------------------------------------------------------ wiring

std::uint32_t SimParallelFlash::PartAddress(std::uint32_t off) const {
    if (!swizzled_) return off;
    std::uint32_t address = off & ~0xFFFFu;
    for (unsigned j = 0; j < 16; ++j)
        if (off & (1u << j)) address |= kWiredAddress[j];
    return address;
}

std::uint8_t SimParallelFlash::PartData(std::uint8_t p) const {
    if (!swizzled_) return p;
    std::uint8_t d = 0;
    for (unsigned i = 0; i < 8; ++i)
        if (p & (1u << i)) d = std::uint8_t(d | kWiredData[i]);
    return d;
}

std::uint8_t SimParallelFlash::ApertureData(std::uint8_t b) const {
    if (!swizzled_) return b;
    std::uint8_t p = 0;
    for (unsigned i = 0; i < 8; ++i)
        if (b & kWiredData[i]) p = std::uint8_t(p | (1u << i));
    return p;
}

// ------------------------------------------------------------ bus side

std::uint8_t SimParallelFlash::ReadByte(std::uint32_t off) {
    if (absent_) return 0xFF;
    // A read does not end a page load: the array answers until the load
    // window has passed and the page write begins.
    EndLapsedLoad();
    std::uint8_t b;
    if (Busy()) {
        b = StatusByte();
    } else {
        const std::uint32_t address = Wrap(PartAddress(off));
        if (idMode_) b = (address & 1) ? model_.device : model_.manufacturer;
        else b = storage_->Bytes()[address];
    }
    return ApertureData(b);
}

void SimParallelFlash::WriteByte(std::uint32_t off, std::uint8_t value) {
    if (absent_) return;
    EndLapsedLoad();
    if (Busy()) return;
    Command(Wrap(PartAddress(off)), PartData(value));
}

// ------------------------------------------------------------ command decoding

void SimParallelFlash::Reset() {
    cycle_ = Cycle::Ready;
    idMode_ = false;
}

void SimParallelFlash::Command(std::uint32_t address, std::uint8_t data) {
    const std::uint32_t at = address & kCommandAddressMask;
    switch (cycle_) {
    case Cycle::Ready:
        if (at == kUnlockAddress1 && data == kUnlockData1) cycle_ = Cycle::Unlocked1;
        else Reset();
        return;
    case Cycle::Unlocked1:
        if (at == kUnlockAddress2 && data == kUnlockData2) cycle_ = Cycle::Unlocked2;
        else Reset();
        return;
    case Cycle::Unlocked2:
        AfterUnlock(at, data);
        return;
    case Cycle::EraseArmed:
        if (at == kUnlockAddress1 && data == kUnlockData1) cycle_ = Cycle::EraseUnlocked1;
        else Reset();
        return;
    case Cycle::EraseUnlocked1:
        if (at == kUnlockAddress2 && data == kUnlockData2) cycle_ = Cycle::EraseUnlocked2;
        else Reset();
        return;
    case Cycle::EraseUnlocked2:
        if (at == kUnlockAddress1 && data == kChipErase) EraseChip();
        else Reset();
        return;
    case Cycle::ProgramArmed:
        cycle_ = Cycle::Ready;
        ProgramByte(address, data);
        return;
    case Cycle::PageLoad:
        LoadPage(address, data);
        return;
    }
}

void SimParallelFlash::AfterUnlock(std::uint32_t at, std::uint8_t data) {
    cycle_ = Cycle::Ready;
    if (at != kUnlockAddress1) {
        Reset();
        return;
    }
    switch (data) {
    case kIdEntry:
        if (!noId_) {
            idMode_ = true;
            ++idEntries_;
        }
        return;
    case kIdExit:
        idMode_ = false;
        return;
    case kEraseSetup:
        cycle_ = Cycle::EraseArmed;
        return;
    case kProgram:
        if (model_.pageSize == 0) {
            cycle_ = Cycle::ProgramArmed;
        } else {
            cycle_ = Cycle::PageLoad;
            pageLoaded_ = 0;
            pageLatch_.assign(model_.pageSize, -1);
        }
        return;
    default:
        Reset();
    }
}

// ------------------------------------------------------------ array operations

void SimParallelFlash::Store(std::uint32_t address, std::uint8_t value) {
    for (const Stuck& s : stuck_)
        if (s.address == address) value = std::uint8_t((value | s.high) & ~s.low);
    storage_->Bytes()[address] = value;
}

void SimParallelFlash::Program(const std::vector<std::uint32_t>& cells, const std::vector<std::uint8_t>& values) {
    std::vector<SimProgramFaults::Extra> extra;
    if (!programFaults_.Program(cells, &extra)) return;
    for (std::size_t i = 0; i < cells.size(); ++i) Store(cells[i], values[i]);
    for (const auto& e : extra) Store(e.address, std::uint8_t(storage_->Bytes()[e.address] & ~e.bits));
}

void SimParallelFlash::ProgramByte(std::uint32_t address, std::uint8_t data) {
    ++bytePrograms_;
    // Programming clears bits; only an erase sets them.
    Program({address}, {std::uint8_t(storage_->Bytes()[address] & data)});
    GoBusy(Now(), byteUs_, data);
}

void SimParallelFlash::LoadPage(std::uint32_t address, std::uint8_t data) {
    // The page address is taken from the first byte; a byte loaded again
    // replaces the one before. Only a pause ends the load.
    if (pageLoaded_ == 0) pageBase_ = address - address % model_.pageSize;
    pageLatch_[address % model_.pageSize] = data;
    ++pageLoaded_;
    lastLoadAt_ = Now();
}

void SimParallelFlash::EndLapsedLoad() {
    const std::uint64_t end = lastLoadAt_ + model_.loadWindowUs;
    if (cycle_ == Cycle::PageLoad && pageLoaded_ > 0 && Now() >= end) CommitPage(end);
}

void SimParallelFlash::CommitPage(std::uint64_t at) {
    cycle_ = Cycle::Ready;
    ++pageWrites_;
    int last = 0xFF;
    // The page write erases the whole page and programs what was loaded.
    std::vector<std::uint32_t> cells;
    std::vector<std::uint8_t> values;
    for (std::uint32_t k = 0; k < model_.pageSize; ++k) {
        const int loaded = pageLatch_[k];
        cells.push_back(pageBase_ + k);
        values.push_back(loaded < 0 ? 0xFF : std::uint8_t(loaded));
        if (loaded >= 0) last = loaded;
    }
    Program(cells, values);
    pageLoaded_ = 0;
    GoBusy(at, pageUs_, std::uint8_t(last));
}

void SimParallelFlash::EraseChip() {
    cycle_ = Cycle::Ready;
    ++chipErases_;
    if (eraseStuck_) {
        busyForever_ = true;
        busyTarget_ = 0xFF;
        return;
    }
    std::vector<std::uint8_t>& bytes = storage_->Bytes();
    const bool erases = failErases_ == 0;
    if (!erases) --failErases_;
    for (std::uint32_t a = 0; a < bytes.size() && erases; ++a) {
        bool keep = false;
        for (std::uint32_t u : unerased_) keep = keep || u == a;
        if (!keep) Store(a, 0xFF);
    }
    GoBusy(Now(), eraseUs_, 0xFF);
}

// ------------------------------------------------------------ busy status

void SimParallelFlash::GoBusy(std::uint64_t from, std::uint64_t micros, std::uint8_t target) {
    busyUntil_ = from + micros;
    busyTarget_ = target;
}

bool SimParallelFlash::Busy() const { return busyForever_ || Now() < busyUntil_; }

std::uint8_t SimParallelFlash::StatusByte() {
    toggle_ = !toggle_;
    const std::uint8_t poll = (busyTarget_ & kDataPollBit) ? 0 : kDataPollBit;
    return std::uint8_t(poll | (toggle_ ? kToggleBit : 0));
}

void SimParallelFlash::SetBusyMicros(std::uint64_t byteProgram, std::uint64_t pageWrite, std::uint64_t chipErase) {
    byteUs_ = byteProgram;
    pageUs_ = pageWrite;
    eraseUs_ = chipErase;
}

void SimParallelFlash::AddStuckBits(std::uint32_t address, std::uint8_t high, std::uint8_t low) {
    stuck_.push_back({Wrap(address), high, low});
}

// ------------------------------------------------------------ attaching

std::shared_ptr<SimParallelFlash> AttachParallelFlash(SimHardware& hw, SimPciFunction& function,
                                                      const SimParallelPartModel& part,
                                                      std::shared_ptr<SimStorage> storage, bool swizzled) {
    auto flash = std::make_shared<SimParallelFlash>(part, std::move(storage), swizzled, &hw.Clocks());
    function.SetRomModel(flash);
    return flash;
}

bool SimParallelFlashStatement(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    std::string v;
    const SimParallelPartModel* part = FindSimParallelPart("SST39SF010");
    if (line.TakeOption("part", &v)) {
        part = FindSimParallelPart(v);
        if (!part) return SimFail(error, SimUnknownPartMessage("parallel", v, SimParallelPartNames()));
    }
    if (!ctx.function->HasRomBar()) return SimFail(error, "'parallelflash' needs a function with a 'rombar'");
    std::shared_ptr<SimStorage> storage;
    if (line.TakeOption("file", &v)) {
        if (v.empty()) return SimFail(error, "'file=' needs a path");
        storage = ctx.Storage(v, part->size, error);
        if (!storage) return false;
    }
    const bool swizzled = line.TakeFlag("swizzled");
    std::shared_ptr<SimParallelFlash> flash = AttachParallelFlash(*ctx.hw, *ctx.function, *part, storage, swizzled);
    if (line.TakeOption("fault", &v)) {
        for (const std::string& f : SplitSimValue(v, ',')) {
            if (f == "absent") flash->FailAbsent(true);
            else if (f == "no-id") flash->FailNoId(true);
            else if (f == "erase-stuck") flash->FailEraseNeverEnds(true);
            else return SimFail(error, "unknown fault '" + f + "'");
        }
    }
    while (line.TakeOption("stuck", &v)) {
        std::uint32_t address = 0;
        std::uint8_t high = 0, low = 0;
        if (!ParseSimStuckBits(v, &address, &high, &low)) return SimFail(error, "'stuck=' needs ADDRESS:HIGH:LOW");
        flash->AddStuckBits(address, high, low);
    }
    while (line.TakeOption("unerased", &v)) {
        std::uint64_t a = 0;
        if (!ParseSimNumber(v, part->size - 1, &a)) return SimFail(error, "'unerased=' needs a part address");
        flash->AddUnerasedByte(std::uint32_t(a));
    }
    if (line.TakeOption("fail-erases", &v)) {
        std::uint64_t n = 0;
        if (!ParseSimNumber(v, 1000000, &n)) return SimFail(error, "'fail-erases=' needs a count");
        flash->FailNextErases(unsigned(n));
    }
    if (!TakeSimProgramFaults(line, &flash->ProgramFaults(), error)) return false;
    if (line.TakeOption("busy", &v)) {
        std::vector<std::string> p = SplitSimValue(v, ':');
        std::uint64_t t[3] = {};
        if (p.size() != 3) return SimFail(error, "'busy=' needs BYTE:PAGE:ERASE");
        for (std::size_t i = 0; i < 3; ++i)
            if (!ParseSimNumber(p[i], 100000000, &t[i])) return SimFail(error, "bad number in 'busy='");
        flash->SetBusyMicros(t[0], t[1], t[2]);
    }
    return true;
}
