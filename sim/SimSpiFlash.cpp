#include "sim/SimSpiFlash.h"

#include <algorithm>

namespace {

constexpr std::uint8_t kWren = 0x06;
constexpr std::uint8_t kWrdi = 0x04;
constexpr std::uint8_t kRdsr = 0x05;
constexpr std::uint8_t kWrsr = 0x01;
constexpr std::uint8_t kRead = 0x03;
constexpr std::uint8_t kProgram = 0x02;
// What an ID command of a part nobody knows answers.
constexpr std::uint8_t kUnknownIdByte = 0x7E;
constexpr std::size_t kHeaderBytes = 16;

SimSpiIdAnswer Jedec(std::uint8_t maker, std::uint8_t type, std::uint8_t capacity) {
    return SimSpiIdAnswer{0x9F, 0, false, {maker, type, capacity}};
}
// Manufacturer/device ID (0x90 and a 24-bit address).
SimSpiIdAnswer Rems(std::uint8_t maker, std::uint8_t device, std::uint8_t opcode = 0x90) {
    return SimSpiIdAnswer{opcode, 3, true, {maker, device}};
}
// Release from deep power-down / electronic signature (0xAB and three dummies).
SimSpiIdAnswer Signature(std::vector<std::uint8_t> bytes) { return SimSpiIdAnswer{0xAB, 3, false, std::move(bytes)}; }
// Older Atmel AT25F identification (0x15, no address).
SimSpiIdAnswer AtmelId(std::uint8_t maker, std::uint8_t device) { return SimSpiIdAnswer{0x15, 0, false, {maker, device}}; }

// Sector and block erases as the datasheets list them.
using Erases = std::vector<SimSpiErase>;
const Erases kSectors32K{{0xD8, 0x8000}};
const Erases kSectors64K{{0xD8, 0x10000}};
// 4 KiB sectors and 64 KiB blocks.
const Erases k4K64K{{0x20, 0x1000}, {0xD8, 0x10000}};
// 4 KiB sectors, 32 KiB and 64 KiB blocks.
const Erases k4K32K64K{{0x20, 0x1000}, {0x52, 0x8000}, {0xD8, 0x10000}};

// eraseMs: the datasheet's typical chip-erase time.
SimSpiPartModel Part(const char* name, std::uint32_t size, Erases erases, std::uint32_t eraseMs,
                     std::vector<SimSpiIdAnswer> ids, std::uint8_t writable = 0x9C) {
    SimSpiPartModel m;
    m.name = name;
    m.size = size;
    m.blockErases = std::move(erases);
    m.chipEraseUs = std::uint64_t(eraseMs) * 1000;
    m.ids = std::move(ids);
    m.writableStatus = writable;
    return m;
}

// SST25VF parts: byte program, chip erase 0x60 or 0xC7, 4 KiB sectors and
// 32 KiB blocks (the B parts 64 KiB blocks too), block-protected at
// power-up, a status write only right after EWSR.
// SST parts program one byte per 0x02 command (whole runs only through
// their auto-address-increment command).
SimSpiPartModel Sst(const char* name, std::uint32_t size, std::uint8_t device,
                    Erases erases = {{0x20, 0x1000}, {0x52, 0x8000}}) {
    SimSpiPartModel m =
        Part(name, size, std::move(erases), 70, {Rems(0xBF, device, 0x90), Rems(0xBF, device, 0xAB)}, 0x8C);
    m.pageSize = 1;
    m.byteProgram = true;
    m.chipEraseOpcodes = {0x60, 0xC7};
    m.ewsrOpcode = 0x50;
    m.statusWriteNeedsEwsr = true;
    m.initialStatus = 0x0C;
    m.volatileStatus = true;
    return m;
}

// The B parts also answer the JEDEC ID, have 64 KiB blocks, erase faster
// and take a status write after EWSR or WREN.
SimSpiPartModel SstB(const char* name, std::uint32_t size, std::uint8_t device) {
    SimSpiPartModel m = Sst(name, size, device, k4K32K64K);
    m.ids.push_back(Jedec(0xBF, 0x25, device));
    m.chipEraseUs = 35000;
    m.statusWriteNeedsEwsr = false;
    return m;
}

// Atmel AT25F: chip erase 0x62, sector erase 0x52 (32 KiB sectors up to
// 1 Mbit, 64 KiB above), two protect bits and WPEN.
SimSpiPartModel AtmelF(const char* name, std::uint32_t size, std::uint8_t device, std::uint32_t eraseMs) {
    const std::uint32_t sector = size > 0x20000 ? 0x10000 : 0x8000;
    SimSpiPartModel m = Part(name, size, {{0x52, sector}}, eraseMs, {AtmelId(0x1F, device)}, 0x8C);
    m.chipEraseOpcodes = {0x62};
    return m;
}

// Parts that take either chip-erase opcode.
SimSpiPartModel BothChipErases(SimSpiPartModel m) {
    m.chipEraseOpcodes = {0xC7, 0x60};
    return m;
}

SimSpiPartModel Paged(SimSpiPartModel m, std::uint32_t pageSize) {
    m.pageSize = pageSize;
    return m;
}

// Every modelled part, in the order SimSpiPartNames lists them.
const std::vector<SimSpiPartModel> kCatalogue = {
    // ST serial flash: JEDEC ID and the electronic signature.
    Part("M25P05", 0x10000, kSectors32K, 1000, {Jedec(0x20, 0x20, 0x10), Signature({0x05})}, 0x8C),
    Part("M25P10", 0x20000, kSectors32K, 2000, {Jedec(0x20, 0x20, 0x11), Signature({0x10})}, 0x8C),
    Part("M25P20", 0x40000, kSectors64K, 3000, {Jedec(0x20, 0x20, 0x12), Signature({0x11})}),
    Part("M25P40", 0x80000, kSectors64K, 4500, {Jedec(0x20, 0x20, 0x13), Signature({0x12})}),
    Part("M25P80", 0x100000, kSectors64K, 8000, {Jedec(0x20, 0x20, 0x14), Signature({0x13})}),
    // Early ST parts without the JEDEC command.
    Part("M25P05/c", 0x10000, kSectors32K, 1000, {Signature({0x05})}, 0x8C),
    Part("M25P10/c", 0x20000, kSectors32K, 2000, {Signature({0x10})}, 0x8C),
    Part("M25P20/c", 0x40000, kSectors64K, 3000, {Signature({0x11})}),
    Part("M25P40/c", 0x80000, kSectors64K, 4500, {Signature({0x12})}),
    Part("S25FL001", 0x20000, kSectors64K, 2000, {Jedec(0x01, 0x02, 0x10), Signature({0x10})}),
    Part("S25FL002", 0x40000, kSectors64K, 3000, {Jedec(0x01, 0x02, 0x11), Signature({0x11})}),
    Part("S25FL004", 0x80000, kSectors64K, 4000, {Jedec(0x01, 0x02, 0x12), Signature({0x12})}),
    BothChipErases(Part("MX25L512", 0x10000, k4K64K, 1000, {Jedec(0xC2, 0x20, 0x10), Rems(0xC2, 0x04)})),
    BothChipErases(Part("MX25L1005", 0x20000, k4K64K, 1500, {Jedec(0xC2, 0x20, 0x11), Rems(0xC2, 0x10)})),
    BothChipErases(Part("MX25L2026E", 0x40000, k4K64K, 2000, {Jedec(0xC2, 0x20, 0x12), Rems(0xC2, 0x11)})),
    BothChipErases(Part("MX25L4006E", 0x80000, k4K64K, 3500, {Jedec(0xC2, 0x20, 0x13), Rems(0xC2, 0x12)})),
    BothChipErases(Part("MX25L8006E", 0x100000, k4K64K, 7000, {Jedec(0xC2, 0x20, 0x14), Rems(0xC2, 0x13)})),
    Paged(BothChipErases(Part("MX25L5121E", 0x10000, k4K32K64K, 500, {Jedec(0xC2, 0x22, 0x10)})), 32),
    Paged(BothChipErases(Part("MX25L102lE", 0x20000, k4K32K64K, 1000, {Jedec(0xC2, 0x22, 0x11)})), 32),
    BothChipErases(Part("MX25V4035F", 0x80000, k4K32K64K, 2000, {Jedec(0xC2, 0x23, 0x13)})),
    BothChipErases(Part("MX25V8035F", 0x100000, k4K32K64K, 4000, {Jedec(0xC2, 0x23, 0x14)})),
    BothChipErases(Part("IS25LP016D", 0x200000, k4K32K64K, 5000, {Jedec(0x9D, 0x60, 0x15), Rems(0x9D, 0x14)})),
    // Winbond: JEDEC ID, manufacturer/device ID and the signature byte.
    BothChipErases(Part("W25X10", 0x20000, k4K64K, 1000, {Jedec(0xEF, 0x30, 0x11), Rems(0xEF, 0x10), Signature({0x10})})),
    BothChipErases(Part("W25X20", 0x40000, k4K64K, 2000, {Jedec(0xEF, 0x30, 0x12), Rems(0xEF, 0x11), Signature({0x11})})),
    BothChipErases(Part("W25X40", 0x80000, k4K64K, 4000, {Jedec(0xEF, 0x30, 0x13), Rems(0xEF, 0x12), Signature({0x12})})),
    BothChipErases(Part("W25X80", 0x100000, k4K64K, 8000, {Jedec(0xEF, 0x30, 0x14), Rems(0xEF, 0x13), Signature({0x13})})),
    BothChipErases(Part("W25P10", 0x20000, kSectors64K, 1000, {Rems(0xEF, 0x10), Signature({0x10})})),
    BothChipErases(Part("W25P20", 0x40000, kSectors64K, 2000, {Rems(0xEF, 0x11), Signature({0x11})})),
    BothChipErases(Part("W25P40", 0x80000, kSectors64K, 4000, {Rems(0xEF, 0x12), Signature({0x12})})),
    BothChipErases(Part("W25Q32BV/FV", 0x400000, k4K32K64K, 10000, {Jedec(0xEF, 0x40, 0x16), Rems(0xEF, 0x15), Signature({0x15})})),
    BothChipErases(Part("W25Q40", 0x80000, k4K32K64K, 2000, {Jedec(0xEF, 0x40, 0x13), Rems(0xEF, 0x12), Signature({0x12})})),
    BothChipErases(Part("W25Q80", 0x100000, k4K32K64K, 3000, {Jedec(0xEF, 0x40, 0x14), Rems(0xEF, 0x13), Signature({0x13})})),
    Sst("SST25VF512", 0x10000, 0x48),
    Sst("SST25VF010", 0x20000, 0x49),
    Sst("SST25VF020", 0x40000, 0x43),
    Sst("SST25VF040", 0x80000, 0x44),
    SstB("SST25VF020B", 0x40000, 0x8C),
    Part("PM25LV512", 0x10000, Erases{{0xD7, 0x1000}, {0xD8, 0x8000}}, 500, {Signature({0x9D, 0x7B, 0x7F})}, 0x8C),
    Part("PM25LV010", 0x20000, Erases{{0xD7, 0x1000}, {0xD8, 0x8000}}, 800, {Signature({0x9D, 0x7C, 0x7F})}, 0x8C),
    BothChipErases(Part("GD25Q512TCP", 0x10000, k4K32K64K, 500, {Jedec(0xC8, 0x40, 0x10), Rems(0xC8, 0x09)})),
    BothChipErases(Part("GD25Q10TCP", 0x20000, k4K32K64K, 1000, {Jedec(0xC8, 0x40, 0x11), Rems(0xC8, 0x10)})),
    BothChipErases(Part("GD25Q21B", 0x40000, k4K32K64K, 1500, {Jedec(0xC8, 0x40, 0x12), Rems(0xC8, 0x11)})),
    BothChipErases(Part("GD25Q41B", 0x80000, k4K32K64K, 2000, {Jedec(0xC8, 0x40, 0x13), Rems(0xC8, 0x12)})),
    BothChipErases(Part("GD25Q80C", 0x100000, k4K32K64K, 3000, {Jedec(0xC8, 0x40, 0x14), Rems(0xC8, 0x13)})),
    AtmelF("AT25F512", 0x10000, 0x65, 1000),
    AtmelF("AT25F1024", 0x20000, 0x60, 2000),
    AtmelF("AT25F2048", 0x40000, 0x63, 3000),
    AtmelF("AT25F4096", 0x80000, 0x64, 5000),
    BothChipErases(Part("AT25F512B", 0x10000, k4K32K64K, 500, {Jedec(0x1F, 0x65, 0x01)})),
    BothChipErases(Part("AT25S010N", 0x20000, k4K32K64K, 1000, {Jedec(0x1F, 0x66, 0x01)})),
    BothChipErases(Part("F25L01PA", 0x20000, k4K64K, 1000, {Jedec(0x8C, 0x30, 0x11)})),
    BothChipErases(Part("FM25Q08A", 0x100000, k4K32K64K, 3000, {Jedec(0xA1, 0x40, 0x14), Rems(0xA1, 0x13)})),
    BothChipErases(Part("P25Q80H", 0x100000, k4K32K64K, 20, {Jedec(0x85, 0x60, 0x14), Rems(0x85, 0x13)})),
};

}  // namespace

const SimSpiPartModel* FindSimSpiPart(const std::string& name) {
    for (const SimSpiPartModel& m : kCatalogue)
        if (m.name == name) return &m;
    return nullptr;
}

std::vector<std::string> SimSpiPartNames() {
    std::vector<std::string> names;
    for (const SimSpiPartModel& m : kCatalogue) names.push_back(m.name);
    return names;
}

// ------------------------------------------------------------------ part

SimSpiFlash::SimSpiFlash(const SimSpiPartModel& model, std::shared_ptr<SimStorage> storage, SimClocks* clocks)
    : model_(model), storage_(std::move(storage)), clocks_(clocks) {
    if (!storage_) storage_ = std::make_shared<SimStorage>(model_.size);
    if (model_.pageSize == 0) model_.pageSize = 1;
    chipEraseUs_ = model_.chipEraseUs;
    status_ = model_.initialStatus & 0xFC;
    const std::optional<std::uint8_t> saved = storage_->NonVolatileStatus();
    if (saved && !model_.volatileStatus) {
        status_ = *saved & 0xFC;
        restored_ = true;
    }
}

void SimSpiFlash::SetStatus(std::uint8_t value) {
    status_ = value & 0xFC;
    if (!model_.volatileStatus) storage_->SetNonVolatileStatus(status_);
}

void SimSpiFlash::SetPowerUpStatus(std::uint8_t value) {
    if (!restored_) SetStatus(value);
}

void SimSpiFlash::SetBusyPolls(unsigned program, unsigned erase, unsigned statusWrite) {
    programPolls_ = program;
    erasePolls_ = erase;
    statusPolls_ = statusWrite;
}

void SimSpiFlash::SetBusyMicros(std::uint64_t program, std::uint64_t erase, std::uint64_t statusWrite) {
    programUs_ = program;
    eraseUs_ = erase;
    chipEraseUs_ = erase;
    statusUs_ = statusWrite;
}

void SimSpiFlash::AddStuckBits(std::uint32_t address, std::uint8_t stuckHigh, std::uint8_t stuckLow) {
    stuck_.push_back(Stuck{address, stuckHigh, stuckLow});
}

bool SimSpiFlash::EraseFails() {
    if (eraseFails_) return true;
    if (failErases_ == 0) return false;
    --failErases_;
    return true;
}

void SimSpiFlash::ClearCounts() { std::fill(std::begin(counts_), std::end(counts_), 0u); }

bool SimSpiFlash::Busy() {
    if (op_ == Op::None) return false;
    if (busyStuck_ || (programHangs_ && op_ == Op::Program) || pollsLeft_ > 0 || Now() < busyUntil_) return true;
    // The cycle is over: the part leaves busy and resets its write-enable
    // latch; a status write's non-volatile bits are programmed by then.
    if (op_ == Op::StatusWrite) SetStatus(newStatus_);
    op_ = Op::None;
    wel_ = false;
    return false;
}

void SimSpiFlash::StartOp(Op op, std::uint32_t erased) {
    op_ = op;
    switch (op) {
    case Op::Program:
        pollsLeft_ = programPolls_;
        busyUntil_ = Until(programUs_);
        break;
    case Op::Erase:
        pollsLeft_ = erasePolls_;
        busyUntil_ = Until(erased && model_.size ? chipEraseUs_ * erased / model_.size : eraseUs_);
        break;
    case Op::ChipErase:
        pollsLeft_ = erasePolls_;
        busyUntil_ = Until(chipEraseUs_);
        break;
    case Op::StatusWrite:
        pollsLeft_ = statusPolls_;
        busyUntil_ = Until(statusUs_);
        break;
    case Op::None:
        break;
    }
    Busy();
}

std::uint8_t SimSpiFlash::Status() {
    bool busy = Busy();
    return std::uint8_t((status_ & 0xFC) | (wel_ ? 0x02 : 0) | (busy ? 0x01 : 0));
}

std::uint32_t SimSpiFlash::Address() const {
    if (header_.size() < 4) return 0;
    return std::uint32_t(header_[1]) << 16 | std::uint32_t(header_[2]) << 8 | header_[3];
}

bool SimSpiFlash::IsOneOf(std::uint8_t opcode, const std::vector<std::uint8_t>& set) const {
    return std::find(set.begin(), set.end(), opcode) != set.end();
}

const SimSpiIdAnswer* SimSpiFlash::IdAnswer(std::uint8_t opcode) const {
    for (const SimSpiIdAnswer& a : model_.ids)
        if (a.opcode == opcode) return &a;
    return nullptr;
}

std::uint8_t SimSpiFlash::IdByte(const SimSpiIdAnswer& a) const {
    if (count_ < 1u + a.skipBytes || a.bytes.empty()) return 0xFF;
    if (unknownId_) return kUnknownIdByte;
    std::uint32_t n = count_ - 1 - a.skipBytes;
    if (a.alternate) {
        std::uint32_t start = a.skipBytes ? (header_[a.skipBytes] & 1) : 0;
        return a.bytes[(start + n) % a.bytes.size()];
    }
    return a.bytes[std::min<std::size_t>(n, a.bytes.size() - 1)];
}

void SimSpiFlash::Store(std::uint32_t address, std::uint8_t value) {
    std::size_t size = storage_->Size();
    if (size == 0) return;
    std::size_t index = address % size;
    for (const Stuck& s : stuck_)
        if (s.address % size == index) value = std::uint8_t((value | s.high) & ~s.low);
    storage_->Bytes()[index] = value;
}

bool SimSpiFlash::Protects(std::uint32_t address) const {
    if (!Protected()) return false;
    if (!model_.quarterProtection || model_.size == 0) return true;
    const unsigned field = (status_ >> 2) & 3;
    const std::uint32_t from = field == 1 ? model_.size - model_.size / 4 : field == 2 ? model_.size / 2 : 0;
    return address % model_.size >= from;
}

void SimSpiFlash::Select() {
    selected_ = true;
    header_.clear();
    count_ = 0;
    busyAtSelect_ = Busy();
    latch_.assign(model_.pageSize, -1);
}

std::uint8_t SimSpiFlash::NextOutByte() {
    if (!selected_ || count_ == 0) return 0xFF;
    std::uint8_t op = header_[0];
    if (op == kRdsr) return Status();
    // A busy part answers nothing but its status.
    if (busyAtSelect_) return 0xFF;
    if (op == kRead && count_ >= 4) {
        std::size_t size = storage_->Size();
        if (size == 0) return 0xFF;
        return storage_->Bytes()[(std::uint64_t(Address()) + (count_ - 4)) % size];
    }
    if (const SimSpiIdAnswer* a = IdAnswer(op)) return IdByte(*a);
    return 0xFF;
}

void SimSpiFlash::InByte(std::uint8_t b) {
    if (!selected_) return;
    std::uint32_t pos = count_;
    if (header_.size() < kHeaderBytes) header_.push_back(b);
    std::uint8_t op = header_[0];
    if (op == kRdsr && pos >= 1 && op_ != Op::None && pollsLeft_ > 0) --pollsLeft_;
    if (op == kProgram && pos >= 4 && !busyAtSelect_ && !(model_.byteProgram && pos > 4)) {
        std::uint32_t page = model_.pageSize;
        latch_[(Address() % page + (pos - 4)) % page] = b;
    }
    if (count_ < 0xFFFFFFFFu) ++count_;
}

void SimSpiFlash::Deselect() {
    if (!selected_) return;
    selected_ = false;
    if (count_ == 0) return;  // chip select pulsed without clocks
    std::uint8_t op = header_[0];
    ++counts_[op];
    if (logFrames_) frames_.push_back(SimSpiFrame{header_, count_});
    Execute();
}

void SimSpiFlash::Execute() {
    std::uint8_t op = header_[0];
    bool armed = ewsrArmed_;
    ewsrArmed_ = false;
    if (busyAtSelect_) return;  // commands are ignored during a cycle

    if (op == kWren) {
        if (count_ == 1 && !welStuck_) wel_ = true;
    } else if (op == kWrdi) {
        wel_ = false;
    } else if (model_.ewsrOpcode && op == model_.ewsrOpcode) {
        if (count_ == 1) ewsrArmed_ = true;
    } else if (op == kWrsr) {
        ExecuteStatusWrite(armed);
    } else if (op == kProgram) {
        ExecuteProgram();
    } else if (IsOneOf(op, model_.chipEraseOpcodes)) {
        ExecuteChipErase();
    } else if (const std::uint32_t block = BlockEraseSize(op)) {
        ExecuteSectorErase(block);
    }
}

void SimSpiFlash::ExecuteStatusWrite(bool ewsrArmed) {
    const bool enabled = ewsrArmed || (wel_ && !model_.statusWriteNeedsEwsr);
    if (count_ < 2 || !enabled) return;
    bool locked = (status_ & model_.writableStatus & 0x80) != 0;
    if (locked && wpAsserted_) {
        wel_ = false;
        return;
    }
    std::uint8_t w = model_.writableStatus & 0xFC;
    newStatus_ = std::uint8_t((status_ & ~w) | (header_[1] & w));
    StartOp(Op::StatusWrite);
}

void SimSpiFlash::ExecuteProgram() {
    if (count_ < 5 || !wel_) return;
    if (Protects(Address())) {
        wel_ = false;
        return;
    }
    const std::uint32_t page = model_.pageSize;
    const std::uint32_t base = Address() - Address() % page;
    const std::size_t size = storage_->Size();
    std::vector<std::uint32_t> cells;
    std::vector<std::uint8_t> data;
    for (std::uint32_t i = 0; i < page && size != 0; ++i) {
        if (latch_[i] < 0) continue;
        cells.push_back(std::uint32_t((base + i) % size));
        data.push_back(std::uint8_t(latch_[i]));
    }
    std::vector<SimProgramFaults::Extra> extra;
    if (programFaults_.Program(cells, &extra)) {
        for (std::size_t i = 0; i < cells.size(); ++i) Store(cells[i], std::uint8_t(storage_->Bytes()[cells[i]] & data[i]));
        for (const auto& e : extra) Store(e.address, std::uint8_t(storage_->Bytes()[e.address] & ~e.bits));
    }
    StartOp(Op::Program);
}

void SimSpiFlash::ExecuteChipErase() {
    if (count_ != 1 || !wel_) return;
    if (Protected()) {
        wel_ = false;
        return;
    }
    if (!EraseFails())
        for (std::uint32_t a = 0; a < storage_->Size(); ++a) Store(a, 0xFF);
    StartOp(Op::ChipErase);
}

std::uint32_t SimSpiFlash::BlockEraseSize(std::uint8_t opcode) const {
    for (const SimSpiErase& e : model_.blockErases)
        if (e.opcode == opcode) return e.size;
    return 0;
}

void SimSpiFlash::ExecuteSectorErase(std::uint32_t sector) {
    if (count_ < 4 || !wel_) return;
    if (Protects(Address())) {
        wel_ = false;
        return;
    }
    std::uint32_t base = Address() - Address() % sector;
    if (!EraseFails())
        for (std::uint32_t i = 0; i < sector; ++i) Store(base + i, 0xFF);
    StartOp(Op::Erase, sector);
}
