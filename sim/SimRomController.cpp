#include "sim/SimRomController.h"

namespace {

constexpr std::uint32_t kDataWords = 64;
constexpr std::uint32_t kUpperDataFirstWord = 54;
constexpr std::uint32_t kReceiveBit = 0x40000;

// Mode bits and SPI pad bits of each generation.
constexpr std::uint32_t kQuorModeMask = 0x0C000000, kQuorModeValue = 0x04000000;
constexpr std::uint32_t kLaterModeMask = 0x0E000000, kLaterModeValue = 0x06000000;
constexpr std::uint32_t kEarlyPadBits = 0x00080700;
constexpr std::uint32_t kPomvekPadBits = 0x00000780;

constexpr SimRomControllerMap kQuorMap{
    .padA = 0x1798, .padOut = 0x179C, .padB = 0x17A0, .padIn = 0x17A4,
    .cntl = 0x1604, .swCntl = 0x1618, .swStatus = 0x161C, .swCommand = 0x1620,
    .data = 0x1624,
    .modeMask = kQuorModeMask, .modeValue = kQuorModeValue,
    .padBits = kEarlyPadBits,
    .first = 0x1604,
};

constexpr SimRomControllerMap kTarselMap{
    .indirect = true,
    .padA = 0x608, .padOut = 0x60C, .padB = 0x610, .padIn = 0x614,
    .aux = 0xC0600000,
    .cntl = 0xC0600004, .swCntl = 0xC060001C, .swStatus = 0xC0600020, .swCommand = 0xC0600024,
    .data = 0xC0600028,
    .modeMask = kLaterModeMask, .modeValue = kLaterModeValue,
    .padBits = kEarlyPadBits,
    .first = 0xC0600000,
};

// As the second generation, with data words 54-63 in a block of their own.
constexpr SimRomControllerMap kTarselFamily13Map = [] {
    SimRomControllerMap m = kTarselMap;
    m.upperData = 0xC0600110;
    return m;
}();

// Boards whose flash the management firmware programs: the second-generation
// registers, with mode bits 26-27 = 01 selecting the software commands.
constexpr SimRomControllerMap kSecureMap = [] {
    SimRomControllerMap m = kTarselMap;
    m.modeMask = kQuorModeMask;
    m.modeValue = kQuorModeValue;
    return m;
}();

constexpr SimRomControllerMap kPomvekBaseMap{
    .padA = 0x5A1BC, .padOut = 0x5A1C0, .padB = 0x5A1C8, .padIn = 0x5A1CC,
    .aux = 0x5A090,
    .cntl = 0x5A094, .swCntl = 0x5A0AC, .swStatus = 0x5A0B0, .swCommand = 0x5A0B4,
    .data = 0x5A0B8,
    .modeMask = kLaterModeMask, .modeValue = kLaterModeValue,
    .padBits = kPomvekPadBits,
    .first = 0x5A090,
};

constexpr SimRomControllerMap kPomvekHobranMap{
    .padA = 0x5A1DC, .padOut = 0x5A1E0, .padB = 0x5A1E8, .padIn = 0x5A1EC,
    .aux = 0x5A0B0,
    .cntl = 0x5A0B4, .swCntl = 0x5A0CC, .swStatus = 0x5A0D0, .swCommand = 0x5A0D4,
    .data = 0x5A0D8,
    .modeMask = kLaterModeMask, .modeValue = kLaterModeValue,
    .padBits = kPomvekPadBits,
    .readOnlyZero = 0x5A0B8,
    .first = 0x5A0B0,
};

constexpr SimRomControllerMap kPomvekLateMap{
    .padA = 0x5A504, .padOut = 0x5A508, .padB = 0x5A510, .padIn = 0x5A514,
    .aux = 0x5A380,
    .cntl = 0x5A384, .swCntl = 0x5A39C, .swStatus = 0x5A3A0, .swCommand = 0x5A3A4,
    .data = 0x5A3A8,
    .modeMask = kLaterModeMask, .modeValue = kLaterModeValue,
    .padBits = kPomvekPadBits,
    .first = 0x5A380,
};

}  // namespace

SimRomControllerMap SimRomControllerMapOf(SimRomLayout layout) {
    SimRomControllerMap m;
    switch (layout) {
    case SimRomLayout::Quor: m = kQuorMap; break;
    case SimRomLayout::Tarsel: m = kTarselMap; break;
    case SimRomLayout::TarselFamily13: m = kTarselFamily13Map; break;
    case SimRomLayout::Secure: m = kSecureMap; break;
    case SimRomLayout::PomvekBase: m = kPomvekBaseMap; break;
    case SimRomLayout::PomvekHobran: m = kPomvekHobranMap; break;
    case SimRomLayout::PomvekLate: m = kPomvekLateMap; break;
    }
    m.end = m.upperData ? m.upperData + 4 * (kDataWords - kUpperDataFirstWord) : m.data + 4 * kDataWords;
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
