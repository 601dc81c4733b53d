#include "sim/SimMibI2c.h"

namespace {

constexpr std::uint32_t kDone = 0x01;
constexpr std::uint32_t kNack = 0x02;
constexpr std::uint32_t kError = 0x04;
constexpr std::uint32_t kReset = 0x20;
constexpr std::uint32_t kStart = 0x100;
constexpr std::uint32_t kStop = 0x200;
constexpr std::uint32_t kRead = 0x400;
constexpr std::uint32_t kGo = 0x1000;
constexpr std::uint32_t kAddressByte = 0x100;
constexpr std::size_t kFifoDepth = 16;
// Bits the register keeps: enables, start/stop/direction, prescale.
constexpr std::uint32_t kStoredBits = 0xFFFF0FC0;

}  // namespace

SimMibI2c::SimMibI2c() = default;

std::shared_ptr<SimMibI2c> SimMibI2c::Attach(SimRegisterFile& registers) {
    auto engine = std::make_shared<SimMibI2c>();
    registers.Attach(kControl, 12, engine);
    return engine;
}

std::uint32_t SimMibI2c::Read(std::uint32_t off) {
    if (off == kControl) return (control_ & kStoredBits & ~kGo) | status_;
    if (off == kSetup) return setup_;
    if (off == kData) {
        if (rx_.empty()) return 0xFF;
        const std::uint8_t b = rx_.front();
        rx_.pop_front();
        return b;
    }
    return 0;
}

void SimMibI2c::Write(std::uint32_t off, std::uint32_t value) {
    if (off == kSetup) {
        setup_ = value;
    } else if (off == kData) {
        if (tx_.size() >= kFifoDepth) overflow_ = true;
        else tx_.push_back(std::uint8_t(value));
    } else if (off == kControl) {
        status_ &= ~(value & (kDone | kNack | kError));
        control_ = value & kStoredBits;
        if (value & kReset) Reset();
        if (value & kGo) Run();
    }
}

void SimMibI2c::Reset() {
    status_ = 0;
    tx_.clear();
    rx_.clear();
    overflow_ = false;
}

void SimMibI2c::Run() {
    ++transactions_;
    status_ = 0;
    if (errorFault_ || overflow_) {
        status_ = kError;
        tx_.clear();
        return;
    }
    const bool start = (control_ & kStart) != 0;
    const bool stop = (control_ & kStop) != 0;
    if (!start && !bus_.Addressed()) {
        status_ = kError;
        tx_.clear();
        return;
    }
    if (start) bus_.Start();
    auto nack = [&] {
        bus_.Stop();
        tx_.clear();
        status_ = kNack;
    };
    if (control_ & kRead) {
        if (setup_ & kAddressByte) {
            const std::uint8_t address = tx_.empty() ? 0xFF : tx_.front();
            if (!tx_.empty()) tx_.pop_front();
            if (!bus_.Write(address)) return nack();
        }
        const std::uint32_t count = setup_ & 0xFF;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint8_t b = bus_.Read();
            // The last byte before a stop is not acknowledged.
            bus_.MasterAck(!(stop && i + 1 == count));
            if (rx_.size() < kFifoDepth) rx_.push_back(b);
        }
    } else {
        const std::uint32_t count = (setup_ & 0xFF) + 1;
        for (std::uint32_t i = 0; i < count; ++i) {
            if (tx_.empty()) {
                status_ = kError;
                return;
            }
            const std::uint8_t b = tx_.front();
            tx_.pop_front();
            if (!bus_.Write(b)) return nack();
        }
    }
    if (stop) bus_.Stop();
    status_ = kDone;
}

std::shared_ptr<SimI2cEeprom> AttachMibEeprom(SimRegisterFile& registers, const SimI2cEepromConfig& config,
                                              std::shared_ptr<SimStorage> storage, const SimClocks* clocks,
                                              std::shared_ptr<SimMibI2c>* engineOut) {
    auto engine = SimMibI2c::Attach(registers);
    auto eeprom = std::make_shared<SimI2cEeprom>(config, std::move(storage), clocks);
    engine->Bus().AddSlave(eeprom);
    if (engineOut) *engineOut = engine;
    return eeprom;
}
