#include "sim/SimSeprom.h"

#include <algorithm>

#include "sim/SimSpiBoard.h"

namespace {

constexpr std::uint8_t kSpiRead = 0x03;
constexpr std::uint8_t kSpiProgram = 0x02;
constexpr std::uint32_t kBusyBits = 0x1100;
constexpr std::uint32_t kBurst = 0x200;
constexpr std::uint32_t kSectorErase = 0x2000;
constexpr std::uint32_t kFlags = 0x1F;
constexpr std::uint32_t kOpcodeOnly = 0x01;
constexpr std::uint32_t kWriteDisable = 0x02;
constexpr std::uint32_t kWriteStatus = 0x08;
constexpr std::uint32_t kReadStatus = 0x10;
// Bridge register whose bit 7 lets aperture writes through.
constexpr std::uint32_t kBridgeWriteEnable = 0x30;

}  // namespace

// ---------------------------------------------------------------- controller

std::vector<std::uint8_t> SimSepromController::Frame(const std::vector<std::uint8_t>& out) {
    ++commands_;
    std::vector<std::uint8_t> in(out.size(), 0xFF);
    if (!part_) return in;
    part_->Select();
    for (std::size_t i = 0; i < out.size(); ++i) {
        in[i] = part_->NextOutByte();
        part_->InByte(out[i]);
    }
    part_->Deselect();
    return in;
}

void SimSepromController::Address(std::vector<std::uint8_t>& frame, std::uint32_t address) {
    frame.push_back(std::uint8_t(address >> 16));
    frame.push_back(std::uint8_t(address >> 8));
    frame.push_back(std::uint8_t(address));
}

std::uint32_t SimSepromController::Read(std::uint32_t off) {
    if (off == kCntl2) return cntl2_;
    if (off != kCntl1) return 0;
    bool busy = busyForever_;
    if (busyLeft_ > 0) {
        --busyLeft_;
        busy = true;
    }
    return cntl1_ | (busy ? kBusyBits : 0);
}

void SimSepromController::Write(std::uint32_t off, std::uint32_t value) {
    if (off == kCntl2) {
        cntl2_ = value;
        return;
    }
    if (off != kCntl1) return;
    cntl1_ = value & ~kBusyBits;
    plain_ = Plain::Armed;
    burst_.clear();
    burstOpen_ = Valid() && (cntl1_ & kBurst) != 0;
}

std::uint8_t SimSepromController::ReadByte(std::uint32_t off) {
    if (Valid() && (cntl1_ & kFlags) == kReadStatus && off == 0) return Frame({Opcode(), 0})[1];
    // The first read after arming plain mode flushes the pipeline.
    plain_ = Plain::Spent;
    std::vector<std::uint8_t> frame{kSpiRead};
    Address(frame, off);
    frame.push_back(0);
    return Frame(frame)[4];
}

void SimSepromController::BurstByte(std::uint32_t off, std::uint8_t value) {
    if (!burstOpen_) return;
    if (burst_.empty()) burstStart_ = off;
    if (off != burstStart_ + burst_.size()) {
        // Out of order: the burst is dropped.
        burst_.clear();
        burstOpen_ = false;
        return;
    }
    burst_.push_back(value);
    const std::size_t length = ((cntl1_ >> 16) & 0xFF) + 1;
    if (burst_.size() < length) return;
    std::vector<std::uint8_t> frame{kSpiProgram};
    Address(frame, burstStart_);
    frame.insert(frame.end(), burst_.begin(), burst_.end());
    Frame(frame);
    burst_.clear();
    burstOpen_ = false;
    Busy();
}

void SimSepromController::Command(std::uint8_t value) {
    const std::uint32_t flags = cntl1_ & kFlags;
    if ((cntl1_ & kSectorErase) && flags == 0) {
        std::vector<std::uint8_t> frame{Opcode()};
        Address(frame, ((cntl2_ >> 24) & 0x0F) * kSectorSize);
        Frame(frame);
    } else if (flags == kOpcodeOnly || flags == kWriteDisable) {
        Frame({Opcode()});
    } else if (flags == kWriteStatus) {
        Frame({Opcode(), value});
    } else {
        return;  // no command, or flags the controller does not know
    }
    Busy();
}

void SimSepromController::WriteByte(std::uint32_t off, std::uint8_t value) {
    if (!Valid() || (gate_ && !gate_())) return;
    if (cntl1_ & kBurst) {
        BurstByte(off, value);
        return;
    }
    if ((cntl1_ & (kFlags | kSectorErase)) != 0) {
        if (off == 0) Command(value);
        return;
    }
    if (plain_ != Plain::Armed) return;
    plain_ = Plain::Spent;
    std::vector<std::uint8_t> frame{kSpiProgram};
    Address(frame, off);
    frame.push_back(value);
    Frame(frame);
    Busy();
}

// ---------------------------------------------------------------- boards

namespace {

const char* PartForStrap(std::uint32_t strap) {
    switch (strap) {
    case 1: return "AT25F1024";
    case 2: return "M25P05";
    default: return "M25P10";
    }
}

bool IsSst(const SimSpiPartModel& m) { return m.ewsrOpcode != 0; }

}  // namespace

// The part the options name, else the one the bridge strap names.
std::string SimSepromPartName(const SimAdapter& adapter, const std::string& part) {
    if (!part.empty()) return part;
    std::uint32_t strap = 3;
    if (adapter.bridge) {
        // Read the strap word without disturbing the bridge index.
        const std::uint32_t index = adapter.bridge->IndexValue();
        adapter.bridge->Write(SimBridgePair::kIndex, 0xC0);
        strap = (adapter.bridge->Read(SimBridgePair::kData) >> 11) & 3;
        adapter.bridge->Write(SimBridgePair::kIndex, index);
    }
    return PartForStrap(strap);
}

SimSepromBoard AttachSeprom(SimHardware& hw, const SimAdapter& adapter, const SimSepromOptions& o, bool absent) {
    SimSepromBoard b;
    if (!adapter.function) return b;
    const SimSpiPartModel* found = FindSimSpiPart(SimSepromPartName(adapter, o.part));
    if (!found) return b;
    SimSpiPartModel model = *found;
    model.quarterProtection = true;
    if (!absent) {
        b.part = std::make_shared<SimSpiFlash>(model, o.storage, &hw.Clocks());
        const bool sst = IsSst(model);
        b.part->SetBusyMicros(o.busyUs[0].value_or(sst ? 20 : 1000), o.busyUs[1].value_or(sst ? 100000 : 500000),
                              o.busyUs[2].value_or(sst ? 0 : 5000));
        // Without an erase time of the file's own, a chip erase takes the part's.
        if (!o.busyUs[1]) b.part->SetChipEraseMicros(model.chipEraseUs);
        b.part->SetBusyPolls(1, 1, 1);
    }
    b.controller = std::make_shared<SimSepromController>(b.part);
    SimRegisterFile& regs = adapter.bridge ? adapter.bridge->Bridge() : adapter.function->Registers();
    regs.Attach(SimSepromController::kCntl1, 8, b.controller);
    if (adapter.bridge) {
        // The bridge owns the controller, so the file outlives the gate.
        SimRegisterFile* bridge = &adapter.bridge->Bridge();
        b.controller->SetWriteGate([bridge] { return (bridge->Peek(kBridgeWriteEnable) & 0x80) != 0; });
    }
    adapter.function->SetRomModel(b.controller);
    return b;
}

bool SimSepromStatement(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    SimSpiFlashConfig c;
    c.part.clear();
    if (!ParseSimSpiFlashOptions(line, &c, error, {"absent", "controller-stuck"})) return false;
    SimSepromOptions o;
    std::string v;
    if (line.TakeOption("busy-us", &v)) {
        std::size_t at = 0;
        for (int i = 0; i < 3; ++i) {
            const std::size_t colon = i < 2 ? v.find(':', at) : v.size();
            std::uint64_t n = 0;
            if (colon == std::string::npos || !ParseSimNumber(v.substr(at, colon - at), 100000000, &n))
                return SimFail(error, "'busy-us=' needs PROGRAM:ERASE:STATUS microseconds");
            o.busyUs[i] = n;
            at = colon + 1;
        }
    }
    std::uint64_t busyReads = 0;
    if (line.TakeOption("controller-busy", &v) && !ParseSimNumber(v, 1000000, &busyReads))
        return SimFail(error, "'controller-busy=' needs a number of reads");

    SimAdapter adapter;
    adapter.function = ctx.function;
    if (ctx.adapterFunction == ctx.function) adapter.bridge = ctx.adapterBridge;
    o.part = SimSepromPartName(adapter, c.part);
    const SimSpiPartModel* model = FindSimSpiPart(o.part);
    if (!model) return SimFail(error, SimUnknownPartMessage("SPI", o.part, SimSpiPartNames()));
    if (!c.file.empty()) {
        o.storage = ctx.Storage(c.file, model->size, error);
        if (!o.storage) return false;
    }
    const auto has = [&](const char* f) {
        return std::find(c.otherFaults.begin(), c.otherFaults.end(), f) != c.otherFaults.end();
    };
    SimSepromBoard b = AttachSeprom(*ctx.hw, adapter, o, has("absent"));
    if (!b.controller) return SimFail(error, "no serial EEPROM part for this board");
    if (b.part) ApplySimSpiFlashConfig(*b.part, c);
    b.controller->FailBusyForever(has("controller-stuck"));
    b.controller->SetBusyReads(unsigned(busyReads));
    return true;
}
