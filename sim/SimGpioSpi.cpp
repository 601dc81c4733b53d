#include "sim/SimGpioSpi.h"

SimGpioSpi::SimGpioSpi(SimRegisterFile& registers, const SimGpioSpiWiring& wiring,
                       std::shared_ptr<SimSpiSlave> slave)
    : registers_(registers), wiring_(wiring), slave_(std::move(slave)) {
    // Levels at power-up; the slave is selected only by a falling edge.
    cs_ = Level(wiring_.cs);
    clk_ = Level(wiring_.clk);
}

std::shared_ptr<SimGpioSpi> SimGpioSpi::Attach(SimRegisterFile& registers, const SimGpioSpiWiring& wiring,
                                               std::shared_ptr<SimSpiSlave> slave) {
    auto pads = std::make_shared<SimGpioSpi>(registers, wiring, std::move(slave));
    AttachToLineRegisters(registers, {&wiring.cs, &wiring.clk, &wiring.mosi, &wiring.miso}, pads);
    return pads;
}

void AttachToLineRegisters(SimRegisterFile& registers, std::initializer_list<const SimGpioLine*> lines,
                           const std::shared_ptr<SimRegisterHook>& hook) {
    std::vector<std::uint32_t> regs;
    for (const SimGpioLine* l : lines) {
        std::uint32_t r = l->reg & ~3u;
        bool seen = false;
        for (std::uint32_t x : regs) seen = seen || x == r;
        if (!seen) regs.push_back(r);
    }
    for (std::uint32_t r : regs) registers.Attach(r, 4, hook);
}

bool SimGpioSpi::Level(const SimGpioLine& line) const {
    bool bit = ((registers_.Peek(line.reg) >> (line.bit & 31)) & 1) != 0;
    return bit != line.inverted;
}

std::uint32_t SimGpioSpi::Read(std::uint32_t off) {
    std::uint32_t v = registers_.Peek(off);
    if (off == (wiring_.miso.reg & ~3u)) {
        std::uint32_t m = 1u << (wiring_.miso.bit & 31);
        bool bit = miso_ != wiring_.miso.inverted;
        v = (v & ~m) | (bit ? m : 0);
    }
    return v;
}

void SimGpioSpi::Write(std::uint32_t off, std::uint32_t value) {
    registers_.Poke(off, value);
    Evaluate();
}

void SimGpioSpi::Evaluate() {
    bool cs = Level(wiring_.cs);
    bool clk = Level(wiring_.clk);
    if (cs != cs_) {
        cs_ = cs;
        clk_ = clk;  // a clock change in the same write is not an edge
        if (!cs) {
            selected_ = true;
            clocked_ = false;
            bitIndex_ = 0;
            inShift_ = 0;
            if (slave_) slave_->Select();
            outByte_ = slave_ ? slave_->NextOutByte() : 0xFF;
            miso_ = (outByte_ & 0x80) != 0;
        } else if (selected_) {
            selected_ = false;
            if (slave_) slave_->Deselect();
            if (clocked_) ++frames_;
            miso_ = true;
        }
        return;
    }
    if (!selected_ || clk == clk_) {
        clk_ = clk;
        return;
    }
    clk_ = clk;
    if (clk) {
        inShift_ = std::uint8_t((inShift_ << 1) | (Level(wiring_.mosi) ? 1 : 0));
        clocked_ = true;
        return;
    }
    if (++bitIndex_ == 8) {
        if (slave_) slave_->InByte(inShift_);
        ++bytes_;
        bitIndex_ = 0;
        inShift_ = 0;
        outByte_ = slave_ ? slave_->NextOutByte() : 0xFF;
    }
    miso_ = ((outByte_ >> (7 - bitIndex_)) & 1) != 0;
}
