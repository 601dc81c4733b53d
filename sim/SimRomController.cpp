#include "sim/SimRomController.h"

namespace {

constexpr std::uint32_t kDataWords = 64;
constexpr std::uint32_t kUpperDataFirstWord = 54;
constexpr std::uint32_t kReceiveBit = 0x40000;

}  // namespace

SimRomControllerMap SimRomControllerMapOf(SimRomLayout layout) {
    SimRomControllerMap m;
    switch (layout) {
    case SimRomLayout::Quor:
        m.padA = 0x1798;
        m.padOut = 0x179C;
        m.padB = 0x17A0;
        m.padIn = 0x17A4;
        m.cntl = 0x1604;
        m.swCntl = 0x1618;
        m.swStatus = 0x161C;
        m.swCommand = 0x1620;
        m.data = 0x1624;
        m.modeMask = 0x0C000000;
        m.modeValue = 0x04000000;
        m.padBits = 0x00080700;
        m.first = 0x1604;
        break;
    case SimRomLayout::Tarsel:
    case SimRomLayout::TarselFamily13:
    case SimRomLayout::Secure:
        m.indirect = true;
        m.padA = 0x608;
        m.padOut = 0x60C;
        m.padB = 0x610;
        m.padIn = 0x614;
        m.aux = 0xC0600000;
        m.cntl = 0xC0600004;
        m.swCntl = 0xC060001C;
        m.swStatus = 0xC0600020;
        m.swCommand = 0xC0600024;
        m.data = 0xC0600028;
        if (layout == SimRomLayout::TarselFamily13) m.upperData = 0xC0600110;
        m.modeMask = 0x0E000000;
        m.modeValue = 0x06000000;
        m.padBits = 0x00080700;
        m.first = 0xC0600000;
        break;
    case SimRomLayout::PomvekBase:
        m.padA = 0x5A1BC;
        m.padOut = 0x5A1C0;
        m.padB = 0x5A1C8;
        m.padIn = 0x5A1CC;
        m.aux = 0x5A090;
        m.cntl = 0x5A094;
        m.swCntl = 0x5A0AC;
        m.swStatus = 0x5A0B0;
        m.swCommand = 0x5A0B4;
        m.data = 0x5A0B8;
        m.first = 0x5A090;
        break;
    case SimRomLayout::PomvekHobran:
        m.padA = 0x5A1DC;
        m.padOut = 0x5A1E0;
        m.padB = 0x5A1E8;
        m.padIn = 0x5A1EC;
        m.aux = 0x5A0B0;
        m.cntl = 0x5A0B4;
        m.swCntl = 0x5A0CC;
        m.swStatus = 0x5A0D0;
        m.swCommand = 0x5A0D4;
        m.data = 0x5A0D8;
        m.readOnlyZero = 0x5A0B8;
        m.first = 0x5A0B0;
        break;
    case SimRomLayout::PomvekLate:
        m.padA = 0x5A504;
        m.padOut = 0x5A508;
        m.padB = 0x5A510;
        m.padIn = 0x5A514;
        m.aux = 0x5A380;
        m.cntl = 0x5A384;
        m.swCntl = 0x5A39C;
        m.swStatus = 0x5A3A0;
        m.swCommand = 0x5A3A4;
        m.data = 0x5A3A8;
        m.first = 0x5A380;
        break;
    }
    if (layout == SimRomLayout::PomvekBase || layout == SimRomLayout::PomvekHobran ||
        layout == SimRomLayout::PomvekLate) {
        m.modeMask = 0x0E000000;
        m.modeValue = 0x06000000;
        m.padBits = 0x00000780;
    }
    if (layout == SimRomLayout::Secure) {
        m.modeMask = 0x0C000000;
        m.modeValue = 0x04000000;
    }
    std::uint32_t last = m.upperData ? m.upperData + 4 * (kDataWords - kUpperDataFirstWord)
                                     : m.data + 4 * kDataWords;
    m.end = last;
    return m;
}

// --------------------------------------------------------------- controller

SimRomController::SimRomController(SimRomLayout layout, SimRegisterFile& pads, SimRegisterFile& space,
                                   std::shared_ptr<SimSpiSlave> slave)
    : layout_(layout), map_(SimRomControllerMapOf(layout)), pads_(pads), space_(space), slave_(std::move(slave)) {}

std::shared_ptr<SimRomController> SimRomController::Attach(SimPciFunction& function, SimRomLayout layout,
                                                           std::shared_ptr<SimSpiSlave> slave,
                                                           std::shared_ptr<SimIndirectPair> pair) {
    SimRegisterFile& regs = function.Registers();
    SimRomControllerMap map = SimRomControllerMapOf(layout);
    SimRegisterFile* space = &regs;
    if (map.indirect) {
        if (!pair) {
            pair = std::make_shared<SimIndirectPair>();
            pair->SetIndex(map.aux);
            regs.Attach(SimIndirectPair::kIndex, 8, pair);
        }
        space = &pair->Space();
    }
    auto controller = std::make_shared<SimRomController>(layout, regs, *space, std::move(slave));
    space->Attach(map.first, map.end - map.first, controller);
    return controller;
}

std::uint32_t SimRomController::DataRegister(unsigned w) const {
    if (map_.upperData && w >= kUpperDataFirstWord) return map_.upperData + 4 * (w - kUpperDataFirstWord);
    return map_.data + 4 * w;
}

int SimRomController::DataIndex(std::uint32_t off) const {
    if (map_.upperData && off >= map_.upperData && off < map_.upperData + 4 * (kDataWords - kUpperDataFirstWord))
        return int(kUpperDataFirstWord + (off - map_.upperData) / 4);
    std::uint32_t words = map_.upperData ? kUpperDataFirstWord : kDataWords;
    if (off >= map_.data && off < map_.data + 4 * words) return int((off - map_.data) / 4);
    return -1;
}

std::uint32_t SimRomController::Peek(std::uint32_t reg) const {
    int w = DataIndex(reg);
    if (w >= 0) return data_[w];
    if (reg == map_.swStatus) return notClearable_ ? (status_ ? status_ : 1) : status_;
    return space_.Peek(reg);
}

std::uint32_t SimRomController::Read(std::uint32_t off) {
    if (off == map_.swStatus) {
        if (notClearable_) return status_ ? status_ : 1;
        if (pending_) {
            if (pendingReads_ > 0) {
                --pendingReads_;
            } else {
                pending_ = false;
                status_ = 1;
            }
        }
        return status_;
    }
    if (map_.readOnlyZero && off == map_.readOnlyZero) return 0;
    int w = DataIndex(off);
    if (w >= 0) return data_[w];
    return space_.Peek(off);
}

void SimRomController::Write(std::uint32_t off, std::uint32_t value) {
    if (off == map_.swStatus) {
        if (!notClearable_) {
            status_ = value;
            pending_ = false;
        }
        return;
    }
    if (map_.readOnlyZero && off == map_.readOnlyZero) return;
    int w = DataIndex(off);
    if (w >= 0) {
        data_[w] = value;
        return;
    }
    space_.Poke(off, value);
    if (off == map_.swCntl) RunFrame(value);
}

bool SimRomController::Ready() const {
    if (!strict_) return true;
    if ((space_.Peek(map_.cntl) & map_.modeMask) != map_.modeValue) return false;
    // Pads are read as the program would see them (the GPIO block may sit there).
    for (std::uint32_t reg : {map_.padA, map_.padB, map_.padOut})
        if (pads_.ReadRegister(reg) & map_.padBits) return false;
    return true;
}

void SimRomController::RunFrame(std::uint32_t control) {
    if (!Ready()) {
        ++framesRefused_;
        return;
    }
    ++framesRun_;
    std::uint32_t cmdLen = ((control >> 16) & 3) + 1;
    std::uint32_t count = control & 0xFFFF;
    if (count > 4 * kDataWords) count = 4 * kDataWords;
    bool receive = (control & kReceiveBit) != 0;
    std::uint32_t cw = space_.Peek(map_.swCommand);
    const std::uint8_t wire[4] = {std::uint8_t(cw), std::uint8_t(cw >> 24), std::uint8_t(cw >> 16),
                                  std::uint8_t(cw >> 8)};
    SimRomFrame frame;
    frame.control = control;
    frame.command = cw;
    auto send = [&](std::uint8_t b) {
        if (slave_) {
            slave_->NextOutByte();
            slave_->InByte(b);
        }
        if (logFrames_) frame.sent.push_back(b);
    };
    if (slave_) slave_->Select();
    for (std::uint32_t i = 0; i < cmdLen; ++i) send(wire[i]);
    if (receive) {
        for (std::uint32_t j = 0; j < count; ++j) {
            std::uint8_t b = slave_ ? slave_->NextOutByte() : 0xFF;
            if (slave_) slave_->InByte(0x00);
            unsigned shift = 8 * (j % 4);
            data_[j / 4] = (data_[j / 4] & ~(0xFFu << shift)) | (std::uint32_t(b) << shift);
            if (logFrames_) frame.received.push_back(b);
        }
    } else {
        for (std::uint32_t j = 0; j < count; ++j) send(std::uint8_t(data_[j / 4] >> (24 - 8 * (j % 4))));
    }
    if (slave_) slave_->Deselect();
    if (logFrames_) frames_.push_back(std::move(frame));

    if (neverCompletes_) return;
    if (statusDelay_) {
        pending_ = true;
        pendingReads_ = statusDelay_;
    } else {
        status_ = 1;
    }
}
