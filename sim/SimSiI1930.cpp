#include "sim/SimSiI1930.h"

#include <algorithm>

#include "sim/SimCommon.h"
#include "sim/SimGpioI2c.h"
#include "sim/SimPciFunction.h"

namespace {

constexpr std::uint8_t kRegVersionHigh = 0x1D;
constexpr std::uint8_t kRegVersionLow = 0x1E;
constexpr std::uint8_t kRegData = 0x40;
constexpr std::uint8_t kRegStatus = 0x49;
constexpr std::uint8_t kRegAddressLow = 0x4A;
constexpr std::uint8_t kRegAddressHigh = 0x4B;
constexpr std::uint8_t kRegRange = 0x50;
constexpr std::uint8_t kRegSum = 0x54;
constexpr std::uint8_t kDone = 4;
constexpr std::uint8_t kRefused = 1;
constexpr std::uint8_t kBusy = 0xFF;
constexpr std::uint32_t kSectorBytes = 128;
constexpr std::uint32_t kRangeBase = 0x4000;
constexpr std::uint32_t kFinishBusyReads = 3;

class PinRegisters : public SimRegisterHook {
public:
    PinRegisters(SimRegisterFile& regs, std::uint32_t first, std::shared_ptr<SimSiI1930> device)
        : regs_(regs), first_(first), device_(std::move(device)) {}
    std::uint32_t Read(std::uint32_t off) override { return regs_.Peek(off); }
    void Write(std::uint32_t off, std::uint32_t value) override {
        regs_.Poke(off, value);
        device_->PinsChanged(regs_.Peek(first_), regs_.Peek(first_ + 4), regs_.Peek(first_ + 8));
    }

private:
    SimRegisterFile& regs_;
    std::uint32_t first_;
    std::shared_ptr<SimSiI1930> device_;
};

std::uint32_t Adler32(const std::uint8_t* p, std::size_t n) {
    std::uint32_t a = 1, b = 0;
    for (std::size_t i = 0; i < n; ++i) {
        a = (a + p[i]) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

}  // namespace

SimSiI1930::SimSiI1930(const SimSiI1930Config& config) : config_(config), flash_(config.flashSize, 0xFF) {
    regs_[kRegVersionHigh] = std::uint8_t(config.version >> 8);
    regs_[kRegVersionLow] = std::uint8_t(config.version);
    // Undriven lines are pulled high: running, not in program mode.
    resetHigh_ = true;
}

std::shared_ptr<SimSiI1930> SimSiI1930::Attach(SimRegisterFile& registers, const SimSiI1930Config& config) {
    auto device = std::make_shared<SimSiI1930>(config);
    const std::uint32_t first = config.setB ? 0xC54 : 0x198;
    registers.Attach(first, 12, std::make_shared<PinRegisters>(registers, first, device));
    return device;
}

void SimSiI1930::PinsChanged(std::uint32_t first, std::uint32_t level, std::uint32_t third) {
    auto high = [&](std::uint32_t bit) {
        const std::uint32_t m = 1u << bit;
        const bool driven = (first & m) && (third & m);
        return !driven || (level & m) != 0;
    };
    const bool reset = high(config_.resetBit);
    if (reset && !resetHigh_) {
        ++resetPulses_;
        pointer_ = 0;
        regs_[kRegStatus] = 0;
        busyReads_ = 0;
    }
    resetHigh_ = reset;
    programMode_ = !high(config_.programBit);
}

bool SimSiI1930::Address(std::uint8_t addressByte) {
    if (config_.nack || !Answering()) return false;
    writing_ = (addressByte & 1) == 0;
    pointerSet_ = false;
    commandWritten_ = false;
    return true;
}

bool SimSiI1930::Written(std::uint8_t byte) {
    if (!pointerSet_) {
        pointer_ = byte;
        pointerSet_ = true;
        return true;
    }
    if (pointer_ != kRegVersionHigh && pointer_ != kRegVersionLow) regs_[pointer_] = byte;
    if (pointer_ == kRegStatus) commandWritten_ = true;
    ++pointer_;
    return true;
}

std::uint8_t SimSiI1930::NextRead() {
    const std::uint8_t reg = pointer_++;
    if (reg == kRegStatus && busyReads_ > 0) {
        --busyReads_;
        if (busyReads_ == 0 && !config_.neverDone) regs_[kRegStatus] = kDone;
        return kBusy;
    }
    return regs_[reg];
}

void SimSiI1930::Stop() {
    if (writing_ && commandWritten_) Execute(regs_[kRegStatus]);
    commandWritten_ = false;
    writing_ = false;
}

void SimSiI1930::Execute(std::uint8_t command) {
    const std::uint32_t address = regs_[kRegAddressLow] | (std::uint32_t(regs_[kRegAddressHigh]) << 8);
    std::uint8_t status = kRefused;
    if (command == 0x81) {
        if (programMode_ && address + kSectorBytes <= flash_.size()) {
            std::fill_n(flash_.begin() + address, kSectorBytes, 0xFF);
            status = kDone;
        }
    } else if (command == 0x82) {
        const std::uint32_t start = (regs_[kRegRange] | (std::uint32_t(regs_[kRegRange + 1]) << 8));
        const std::uint32_t end = (regs_[kRegRange + 2] | (std::uint32_t(regs_[kRegRange + 3]) << 8));
        if (start >= kRangeBase && end >= start && end - kRangeBase < flash_.size()) {
            std::uint32_t sum = Adler32(flash_.data() + (start - kRangeBase), end - start + 1);
            if (config_.badChecksum) sum ^= 1;
            for (int i = 0; i < 4; ++i) regs_[kRegSum + i] = std::uint8_t(sum >> (8 * i));
            status = kDone;
        }
    } else if ((command & 0x0F) == 0x0B) {
        const std::uint32_t n = (command >> 4) & 7 ? (command >> 4) & 7 : 8;
        if (programMode_ && address + n <= flash_.size()) {
            for (std::uint32_t i = 0; i < n; ++i) flash_[address + i] &= regs_[kRegData + i];
            status = kDone;
        }
    } else if (command == 0x07) {
        if (programMode_) {
            // Never done: busy for good.
            busyReads_ = config_.neverDone ? ~0u : kFinishBusyReads;
            regs_[kRegStatus] = kBusy;
            return;
        }
    }
    if (config_.neverDone && status == kDone) status = 0;
    regs_[kRegStatus] = status;
}

bool SimSiI1930Statement(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    SimGpioI2cWiring wiring;
    if (!ParseSimGpioI2cWiring(line, &wiring, error)) return false;
    SimSiI1930Config c;
    std::string v;
    std::uint64_t n = 0;
    if (line.TakeOption("pins", &v)) {
        if (v != "a" && v != "b") return SimFail(error, "'pins=' takes a or b");
        c.setB = v == "b";
    }
    if (line.TakeOption("reset", &v)) {
        if (!ParseSimNumber(v, 31, &n)) return SimFail(error, "bad number in 'reset='");
        c.resetBit = std::uint32_t(n);
    }
    if (line.TakeOption("program", &v)) {
        if (!ParseSimNumber(v, 31, &n)) return SimFail(error, "bad number in 'program='");
        c.programBit = std::uint32_t(n);
    }
    if (line.TakeOption("version", &v)) {
        if (!ParseSimNumber(v, 0xFFFF, &n)) return SimFail(error, "bad number in 'version='");
        c.version = std::uint16_t(n);
    }
    if (line.TakeOption("answer", &v)) {
        if (v != "always" && v != "after-reset") return SimFail(error, "'answer=' takes always or after-reset");
        c.answerAtPowerUp = v == "always";
    }
    while (line.TakeOption("fault", &v)) {
        if (v == "nack") c.nack = true;
        else if (v == "never-done") c.neverDone = true;
        else if (v == "bad-checksum") c.badChecksum = true;
        else return SimFail(error, "unknown fault '" + v + "'");
    }
    SimRegisterFile& regs = ctx.function->Registers();
    auto device = SimSiI1930::Attach(regs, c);
    SimGpioI2cBusFor(ctx, wiring)->Bus().AddSlave(device);
    return true;
}
