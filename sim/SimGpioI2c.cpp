#include "sim/SimGpioI2c.h"

#include <map>
#include <vector>

#include "sim/SimMibI2c.h"

SimGpioI2c::SimGpioI2c(SimRegisterFile& registers, const SimGpioI2cWiring& wiring)
    : registers_(registers), wiring_(wiring) {
    scl_ = SclWire();
    sda_ = SdaWire();
}

std::shared_ptr<SimGpioI2c> SimGpioI2c::Attach(SimRegisterFile& registers, const SimGpioI2cWiring& wiring) {
    auto bus = std::make_shared<SimGpioI2c>(registers, wiring);
    AttachToLineRegisters(registers, {&wiring.sclOut, &wiring.sdaOut, &wiring.sclIn, &wiring.sdaIn}, bus);
    return bus;
}

void SimGpioI2c::SetFaults(const SimGpioI2cFaults& faults) {
    faults_ = faults;
    sdaHeldLeft_ = faults.sdaHeldPulses;
    sclHeld_ = faults.sclLowAfterBytes == 0;
    scl_ = SclWire();
    sda_ = SdaWire();
}

bool SimGpioI2c::Latch(const SimGpioLine& line) const {
    const bool bit = ((registers_.Peek(line.reg & ~3u) >> (line.bit & 31)) & 1) != 0;
    return bit != line.inverted;
}

bool SimGpioI2c::SclWire() const { return Latch(wiring_.sclOut) && !sclHeld_ && stretchLeft_ == 0; }

bool SimGpioI2c::SdaWire() const { return Latch(wiring_.sdaOut) && slaveSda_ && sdaHeldLeft_ == 0; }

std::uint32_t SimGpioI2c::Read(std::uint32_t off) {
    std::uint32_t v = registers_.Peek(off);
    auto wire = [&](const SimGpioLine& line, bool level) {
        if ((line.reg & ~3u) != off) return;
        const std::uint32_t m = 1u << (line.bit & 31);
        v = (v & ~m) | ((level != line.inverted) ? m : 0);
    };
    wire(wiring_.sclIn, SclWire());
    wire(wiring_.sdaIn, SdaWire());
    // A stretching slave lets go of the clock after a few looks at it.
    if ((wiring_.sclIn.reg & ~3u) == off && stretchLeft_ > 0 && --stretchLeft_ == 0) Evaluate();
    return v;
}

void SimGpioI2c::Write(std::uint32_t off, std::uint32_t value) {
    registers_.Poke(off, value);
    Evaluate();
}

void SimGpioI2c::Evaluate() {
    const bool scl = SclWire();
    const bool sda = SdaWire();
    if (scl == scl_) {
        if (scl && sda != sda_ && sdaHeldLeft_ == 0) {
            // Data moving while the clock is high: start or stop.
            if (!sda) {
                bus_.Start();
                phase_ = Phase::Receive;
            } else {
                bus_.Stop();
                phase_ = Phase::Idle;
            }
            bit_ = 0;
            shift_ = 0;
            slaveSda_ = true;
        }
        sda_ = SdaWire();
        return;
    }
    scl_ = scl;
    if (scl) OnRise(sda);
    else OnFall();
    sda_ = SdaWire();
}

void SimGpioI2c::OnRise(bool sda) {
    if (phase_ == Phase::Receive) {
        shift_ = std::uint8_t((shift_ << 1) | (sda ? 1 : 0));
        ++bit_;
    } else if (phase_ == Phase::AckIn) {
        masterAck_ = !sda;
    }
}

void SimGpioI2c::ByteAcknowledged() {
    ++bytesAcked_;
    stretchLeft_ = faults_.stretchReads;
    if (faults_.sclLowAfterBytes > 0 && bytesAcked_ >= std::uint32_t(faults_.sclLowAfterBytes)) sclHeld_ = true;
}

void SimGpioI2c::OnFall() {
    if (sdaHeldLeft_ > 0) {
        --sdaHeldLeft_;
        return;
    }
    switch (phase_) {
    case Phase::Receive:
        if (bit_ < 8) return;
        ackPending_ = bus_.Write(shift_);
        slaveSda_ = !ackPending_;
        phase_ = Phase::AckOut;
        return;
    case Phase::AckOut:
        slaveSda_ = true;
        if (!ackPending_) {
            phase_ = Phase::Ignore;
            return;
        }
        ByteAcknowledged();
        bit_ = 0;
        if (bus_.Reading()) {
            shift_ = bus_.Read();
            slaveSda_ = (shift_ & 0x80) != 0;
            phase_ = Phase::Send;
        } else {
            shift_ = 0;
            phase_ = Phase::Receive;
        }
        return;
    case Phase::Send:
        if (++bit_ == 8) {
            // Let go of data for the master's acknowledge.
            slaveSda_ = true;
            phase_ = Phase::AckIn;
        } else {
            slaveSda_ = ((shift_ >> (7 - bit_)) & 1) != 0;
        }
        return;
    case Phase::AckIn:
        bus_.MasterAck(masterAck_);
        if (!masterAck_) {
            phase_ = Phase::Ignore;
            slaveSda_ = true;
            return;
        }
        ByteAcknowledged();
        bit_ = 0;
        shift_ = bus_.Read();
        slaveSda_ = (shift_ & 0x80) != 0;
        phase_ = Phase::Send;
        return;
    default:
        return;
    }
}

// ---------------------------------------------------------------- machine file

namespace {

bool ParseLine(const std::string& text, SimGpioLine* line) {
    const std::size_t c1 = text.find(':');
    if (c1 == std::string::npos) return false;
    const std::size_t c2 = text.find(':', c1 + 1);
    std::uint64_t reg = 0, bit = 0;
    if (!ParseSimNumber(text.substr(0, c1), 0xFFFFFFFC, &reg) ||
        !ParseSimNumber(text.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1), 31, &bit))
        return false;
    if (c2 != std::string::npos && text.substr(c2 + 1) != "inv") return false;
    *line = SimGpioLine{std::uint32_t(reg), int(bit), c2 != std::string::npos};
    return true;
}

bool SameWiring(const SimGpioI2cWiring& a, const SimGpioI2cWiring& b) {
    auto same = [](const SimGpioLine& x, const SimGpioLine& y) {
        return x.reg == y.reg && x.bit == y.bit && x.inverted == y.inverted;
    };
    return same(a.sclOut, b.sclOut) && same(a.sdaOut, b.sdaOut) && same(a.sclIn, b.sclIn) && same(a.sdaIn, b.sdaIn);
}

// Buses made by machine files, so later statements add slaves to them.
std::map<const SimPciFunction*, std::vector<std::weak_ptr<SimGpioI2c>>>& GpioBuses() {
    static std::map<const SimPciFunction*, std::vector<std::weak_ptr<SimGpioI2c>>> buses;
    return buses;
}

}  // namespace

bool ParseSimGpioI2cWiring(SimMachineLine& line, SimGpioI2cWiring* wiring, std::string* error) {
    const std::pair<const char*, SimGpioLine*> lines[] = {
        {"scl", &wiring->sclOut}, {"sda", &wiring->sdaOut}, {"scl-in", &wiring->sclIn}, {"sda-in", &wiring->sdaIn}};
    std::string v;
    for (const auto& [key, target] : lines)
        if (line.TakeOption(key, &v) && !ParseLine(v, target))
            return SimFail(error, std::string("'") + key + "=' takes REG:BIT or REG:BIT:inv");
    return true;
}

std::shared_ptr<SimGpioI2c> SimGpioI2cBusFor(SimMachineContext& ctx, const SimGpioI2cWiring& wiring) {
    auto& known = GpioBuses()[ctx.function];
    for (const auto& w : known)
        if (auto b = w.lock(); b && SameWiring(b->Wiring(), wiring)) return b;
    auto bus = SimGpioI2c::Attach(ctx.function->Registers(), wiring);
    known.push_back(bus);
    return bus;
}

bool SimI2cEepromStatement(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    std::string busName = "engine";
    line.TakeOption("bus", &busName);
    if (busName != "engine" && busName != "gpio") return SimFail(error, "'bus=' takes engine or gpio");
    const bool gpio = busName == "gpio";

    SimI2cEepromConfig c;
    if (gpio) c.size = 256;
    std::string file;
    std::vector<std::string> busFaults;
    if (!ParseSimI2cEepromOptions(line, &c, &file, &busFaults, error)) return false;

    SimGpioI2cWiring wiring;
    SimGpioI2cFaults faults;
    bool errorFault = false;
    for (const std::string& f : busFaults) {
        if (f == "error" && !gpio) errorFault = true;
        else if (f == "scl-low" && gpio) faults.sclLowAfterBytes = 0;
        else if (f == "sda-held" && gpio) faults.sdaHeldPulses = 3;
        else return SimFail(error, "unknown fault '" + f + "'");
    }
    std::string v;
    std::uint64_t n = 0;
    if (gpio) {
        if (!ParseSimGpioI2cWiring(line, &wiring, error)) return false;
        if (line.TakeOption("stretch", &v)) {
            if (!ParseSimNumber(v, 1000000, &n)) return SimFail(error, "bad number in 'stretch='");
            faults.stretchReads = std::uint32_t(n);
        }
        if (line.TakeOption("scl-low-after", &v)) {
            if (!ParseSimNumber(v, 1000000, &n)) return SimFail(error, "bad number in 'scl-low-after='");
            faults.sclLowAfterBytes = int(n);
        }
        if (line.TakeOption("sda-held", &v)) {
            if (!ParseSimNumber(v, 1000, &n)) return SimFail(error, "bad number in 'sda-held='");
            faults.sdaHeldPulses = std::uint32_t(n);
        }
    }
    std::shared_ptr<SimStorage> storage;
    if (!file.empty()) {
        storage = ctx.Storage(file, c.size, error);
        if (!storage) return false;
        if (storage->Size() != c.size) return SimFail(error, "'" + file + "' does not hold " + std::to_string(c.size) + " bytes");
    }
    SimRegisterFile& regs = ctx.function->Registers();
    auto eeprom = std::make_shared<SimI2cEeprom>(c, storage, &ctx.hw->Clocks());
    if (!gpio) {
        auto engine = SimMibI2c::Attach(regs);
        engine->SetErrorFault(errorFault);
        engine->Bus().AddSlave(eeprom);
        return true;
    }
    std::shared_ptr<SimGpioI2c> bus = SimGpioI2cBusFor(ctx, wiring);
    bus->SetFaults(faults);
    bus->Bus().AddSlave(eeprom);
    return true;
}
