#include "sim/SimSmuFirmware.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <sstream>

namespace {

constexpr std::uint32_t kSetHigh = 0x258;
constexpr std::uint32_t kSetLow = 0x259;
constexpr std::uint32_t kFlash = 0x25A;
constexpr std::uint32_t kTrailerBytes = 20;
constexpr std::uint32_t kEntryBytes = 12;
constexpr std::uint8_t kReadOpcode = 0x03;
// Frames handed out start above 4 GiB and skip one between pages.
constexpr std::uint64_t kFirstFrame = 0x3A5001;
constexpr std::uint64_t kFrameStep = 2;
constexpr std::uint64_t kPresent = 1ULL << 63;
constexpr std::uint64_t kSoftDirty = 1ULL << 55;
constexpr std::uint64_t kFrameMask = (1ULL << 55) - 1;
// Device time per status poll, and the firmware's own limits.
constexpr std::uint64_t kPollStepUs = 10;
constexpr std::uint64_t kEraseLimitUs = 60000000;
constexpr std::uint64_t kProgramLimitUs = 100000;

std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
std::uint16_t Le16(const std::uint8_t* p) { return std::uint16_t(p[0] | p[1] << 8); }
std::uint64_t Address(const std::uint8_t* p) { return std::uint64_t(Le32(p)) << 32 | Le32(p + 4); }

class MailboxHook : public SimRegisterHook {
public:
    explicit MailboxHook(SimSmuFirmware& f) : f_(f) {}
    std::uint32_t Read(std::uint32_t off) override { return f_.ReadMailbox(off); }
    void Write(std::uint32_t off, std::uint32_t value) override { f_.WriteMailbox(off, value); }

private:
    SimSmuFirmware& f_;
};

class IndirectHook : public SimRegisterHook {
public:
    explicit IndirectHook(SimSmuFirmware& f) : f_(f) {}
    std::uint32_t Read(std::uint32_t off) override { return f_.ReadIndirect(off); }
    void Write(std::uint32_t, std::uint32_t) override {}

private:
    SimSmuFirmware& f_;
};

// Keeps the firmware alive as long as one of its hooks is attached.
template <class Hook>
class Owning : public Hook {
public:
    explicit Owning(std::shared_ptr<SimSmuFirmware> f) : Hook(*f), owner_(std::move(f)) {}

private:
    std::shared_ptr<SimSmuFirmware> owner_;
};

}  // namespace

// ------------------------------------------------------------ physical map

SimFakePhysicalMap::SimFakePhysicalMap(std::uint64_t pageSize) : pageSize_(pageSize), nextFrame_(kFirstFrame) {}

int SimFakePhysicalMap::Answer(std::uint64_t fileOffset, std::uint64_t* entry) {
    const std::uint64_t page = fileOffset / 8;
    auto it = frameOfPage_.find(page);
    if (it == frameOfPage_.end()) {
        it = frameOfPage_.emplace(page, nextFrame_).first;
        pageOfFrame_[nextFrame_] = page;
        nextFrame_ += kFrameStep;
    }
    *entry = kPresent | kSoftDirty | it->second;
    return 8;
}

std::uint8_t* SimFakePhysicalMap::HostAddress(std::uint64_t phys) const {
    auto it = pageOfFrame_.find((phys / pageSize_) & kFrameMask);
    if (it == pageOfFrame_.end()) return nullptr;
    return reinterpret_cast<std::uint8_t*>(std::uintptr_t(it->second * pageSize_ + phys % pageSize_));
}

// ------------------------------------------------------------ firmware

SimSmuFirmware::SimSmuFirmware(SimHardware& hw, std::shared_ptr<SimSpiFlash> flash)
    : hw_(hw),
      flash_(std::move(flash)),
      map_(std::make_shared<SimFakePhysicalMap>(std::uint64_t(sysconf(_SC_PAGESIZE)))) {}

std::shared_ptr<SimSmuFirmware> SimSmuFirmware::Attach(SimHardware& hw, SimRegisterFile& regs,
                                                       SimRegisterFile& indirect,
                                                       std::shared_ptr<SimSpiFlash> flash) {
    auto f = std::make_shared<SimSmuFirmware>(hw, std::move(flash));
    auto mailbox = std::make_shared<Owning<MailboxHook>>(f);
    regs.Attach(kMessage, 8, mailbox);
    regs.Attach(kArgument, 4, mailbox);
    auto others = std::make_shared<Owning<IndirectHook>>(f);
    indirect.Attach(kState, 4, others);
    indirect.Attach(kVerdict, 4, others);
    indirect.Attach(kFuse, 4, others);
    std::shared_ptr<SimFakePhysicalMap> map = f->map_;
    hw.SetPagemapSource([map](std::uint64_t off, std::uint64_t* entry) { return map->Answer(off, entry); });
    return f;
}

std::uint32_t SimSmuFirmware::ReadMailbox(std::uint32_t off) {
    switch (off) {
    case kArgument: return argument_;
    case kMessage: return message_;
    case kResponse:
        if (answering_) {
            if (pendingReads_ == 0) {
                answering_ = false;
                response_ = 1;
            } else {
                --pendingReads_;
            }
        }
        return response_;
    default: return 0;
    }
}

void SimSmuFirmware::WriteMailbox(std::uint32_t off, std::uint32_t value) {
    switch (off) {
    case kArgument: argument_ = value; break;
    case kMessage: Post(value); break;
    case kResponse: response_ = value; break;
    default: break;
    }
}

std::uint32_t SimSmuFirmware::ReadIndirect(std::uint32_t off) {
    switch (off) {
    case kState: return running_ ? 1 : 0;
    case kVerdict: return verdict_;
    case kFuse: return fuse_;
    default: return 0;
    }
}

void SimSmuFirmware::Post(std::uint32_t message) {
    message_ = message;
    messages_.push_back({message, argument_});
    response_ = 0;
    answering_ = false;
    if (!running_) return;
    switch (message) {
    case kSetHigh: headerHigh_ = argument_; break;
    case kSetLow: headerLow_ = argument_; break;
    case kFlash:
        verdict_ = 0;
        refusal_.clear();
        if (refuse_) {
            Refuse("image refused");
        } else if (ReadRequest(argument_) && Program()) {
            verdict_ = 1;
            ++imagesFlashed_;
        }
        break;
    default: break;
    }
    if (std::find(noAnswer_.begin(), noAnswer_.end(), message) != noAnswer_.end()) return;
    answering_ = true;
    pendingReads_ = answerDelay_;
}

bool SimSmuFirmware::Refuse(const std::string& why) {
    refusal_ = why;
    return false;
}

bool SimSmuFirmware::ReadPhysical(std::uint64_t phys, std::uint64_t length, std::uint8_t* out) {
    const std::uint64_t page = map_->PageSize();
    while (length) {
        const std::uint64_t n = std::min(length, page - phys % page);
        std::uint8_t* host = map_->HostAddress(phys);
        if (!host) {
            std::ostringstream s;
            s << "no memory at physical 0x" << std::hex << phys;
            return Refuse(s.str());
        }
        // Unlocked memory may move while the firmware reads it.
        if (!hw_.IsLocked(host, n)) return Refuse("unlocked memory");
        std::memcpy(out, host, n);
        out += n;
        phys += n;
        length -= n;
    }
    return true;
}

bool SimSmuFirmware::ReadRequest(std::uint32_t length) {
    request_ = SimSmuRequest{};
    std::uint8_t h[64];
    if (!ReadPhysical(std::uint64_t(headerHigh_) << 32 | headerLow_, sizeof h, h)) return false;
    for (int i = 0; i < 16; ++i) request_.header[i] = Le32(h + 4 * i);
    if (Le32(h) != 1 || Le32(h + 4) != 2 || Le16(h + 8) != 12 || Le16(h + 10) != 2 || Le16(h + 36) != 36 ||
        Le16(h + 38) != 3)
        return Refuse("bad header");
    if (!ReadPhysical(Address(h + 40), sizeof request_.params, request_.params)) return false;
    const std::uint32_t n = Le32(h + 28);
    if (std::uint64_t(n) * kEntryBytes > map_->PageSize()) return Refuse("page list too long");
    std::vector<std::uint8_t> list(std::size_t(n) * kEntryBytes);
    if (n && !ReadPhysical(Address(h + 12), list.size(), list.data())) return false;
    request_.trailer.resize(kTrailerBytes);
    if (!ReadPhysical(Address(h + 20), kTrailerBytes, request_.trailer.data())) return false;
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint8_t* e = list.data() + kEntryBytes * i;
        SimSmuRequest::Entry entry{Address(e), Le32(e + 8)};
        if (entry.length > map_->PageSize()) return Refuse("page entry too long");
        request_.entries.push_back(entry);
        const std::size_t at = request_.image.size();
        request_.image.resize(at + entry.length);
        if (!ReadPhysical(entry.address, entry.length, request_.image.data() + at)) return false;
    }
    if (request_.image.size() != length) return Refuse("page list does not hold the image length");
    if (!flash_ || length > flash_->Model().size) return Refuse("image larger than the flash");
    return true;
}

void SimSmuFirmware::Frame(const std::vector<std::uint8_t>& bytes) {
    flash_->Select();
    for (std::uint8_t b : bytes) {
        flash_->NextOutByte();
        flash_->InByte(b);
    }
    flash_->Deselect();
}

std::uint8_t SimSmuFirmware::Status(std::uint8_t rdsr) {
    flash_->Select();
    flash_->NextOutByte();
    flash_->InByte(rdsr);
    const std::uint8_t s = flash_->NextOutByte();
    flash_->InByte(0);
    flash_->Deselect();
    return s;
}

bool SimSmuFirmware::WriteEnabled() {
    const std::uint8_t* p = request_.params;
    Frame({p[2]});
    return (Status(p[1]) & p[6]) == p[7];
}

bool SimSmuFirmware::WaitIdle(std::uint64_t limitUs) {
    const std::uint8_t* p = request_.params;
    for (std::uint64_t waited = 0; waited <= limitUs; waited += kPollStepUs) {
        if ((Status(p[1]) & p[4]) != p[5]) return true;
        hw_.Clocks().AdvanceDevice(kPollStepUs);
    }
    return false;
}

bool SimSmuFirmware::Program() {
    const std::uint8_t* p = request_.params;
    const std::uint32_t page = Le16(p + 8);
    if (page == 0) return Refuse("part page size 0");
    if (!WriteEnabled()) return Refuse("write latch not set before erase");
    Frame({p[0]});
    if (!WaitIdle(kEraseLimitUs)) return Refuse("erase did not finish");
    const std::vector<std::uint8_t>& image = request_.image;
    for (std::uint32_t at = 0; at < image.size();) {
        const std::uint32_t n = std::min<std::uint32_t>(page - at % page, std::uint32_t(image.size()) - at);
        if (!WriteEnabled()) return Refuse("write latch not set before program");
        std::vector<std::uint8_t> frame{p[3], std::uint8_t(at >> 16), std::uint8_t(at >> 8), std::uint8_t(at)};
        frame.insert(frame.end(), image.begin() + at, image.begin() + at + n);
        Frame(frame);
        if (!WaitIdle(kProgramLimitUs)) return Refuse("program did not finish");
        at += n;
    }
    return Verify();
}

// A block-protected part ignores the erase and the programs without an
// error of its own; only reading it back shows what it holds.
bool SimSmuFirmware::Verify() {
    const std::vector<std::uint8_t>& image = request_.image;
    flash_->Select();
    for (std::uint8_t b : {kReadOpcode, std::uint8_t(0), std::uint8_t(0), std::uint8_t(0)}) {
        flash_->NextOutByte();
        flash_->InByte(b);
    }
    bool same = true;
    for (std::uint8_t expected : image) {
        if (flash_->NextOutByte() != expected) same = false;
        flash_->InByte(0);
    }
    flash_->Deselect();
    return same || Refuse("flash does not hold the image");
}

// ------------------------------------------------------------ boards

namespace {

SimSmuBoard AttachSmu(SimHardware& hw, SimPciFunction& function, const SimSpiPartModel& part,
                      std::shared_ptr<SimStorage> storage, std::shared_ptr<SimIndirectPair> pair) {
    SimSmuBoard b;
    if (!pair) {
        pair = std::make_shared<SimIndirectPair>();
        pair->SetIndex(SimRomControllerMapOf(SimRomLayout::Secure).aux);
        function.Registers().Attach(SimIndirectPair::kIndex, 8, pair);
    }
    b.spi = AttachSpiFlash(hw, function, part, std::move(storage), SimRomLayout::Secure, false, {}, pair);
    b.firmware = SimSmuFirmware::Attach(hw, function.Registers(), pair->Space(), b.spi.flash);
    return b;
}

}  // namespace

SimSmuBoard AddSmuBoard(SimHardware& hw, const SimPciAddress& address, const std::string& partName,
                        std::shared_ptr<SimStorage> storage) {
    const SimSpiPartModel* part = FindSimSpiPart(partName);
    if (!part) return {};
    SimAdapter adapter = AddSimAdapter(hw, address, "wenmar");
    if (!adapter.function) return {};
    SimSmuBoard b = AttachSmu(hw, *adapter.function, *part, std::move(storage), adapter.indirect);
    b.spi.adapter = adapter;
    return b;
}

bool SimSmuStatement(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    std::string v;
    std::string partName = "M25P40";
    if (line.TakeOption("part", &v)) partName = v;
    const SimSpiPartModel* part = FindSimSpiPart(partName);
    if (!part) {
        *error = SimUnknownPartMessage("SPI", partName, SimSpiPartNames());
        return false;
    }
    std::shared_ptr<SimStorage> storage;
    if (line.TakeOption("file", &v)) {
        if (v.empty()) {
            *error = "'file=' needs a path";
            return false;
        }
        storage = ctx.Storage(v, part->size, error);
        if (!storage) return false;
    }
    std::vector<std::string> faults;
    if (line.TakeOption("fault", &v)) {
        std::istringstream in(v);
        for (std::string f; std::getline(in, f, ',');) faults.push_back(f);
    }
    SimSmuBoard b = AttachSmu(*ctx.hw, *ctx.function, *part, storage, nullptr);
    for (const std::string& f : faults) {
        if (f == "stopped") {
            b.firmware->SetRunning(false);
        } else if (f == "refuse") {
            b.firmware->FailRefuse(true);
        } else if (f == "no-answer-hi") {
            b.firmware->FailNoAnswer(kSetHigh);
        } else if (f == "no-answer-lo") {
            b.firmware->FailNoAnswer(kSetLow);
        } else if (f == "no-answer-flash") {
            b.firmware->FailNoAnswer(kFlash);
        } else {
            *error = "unknown firmware fault '" + f + "'";
            return false;
        }
    }
    return true;
}
