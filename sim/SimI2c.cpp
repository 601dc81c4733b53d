#include "sim/SimI2c.h"

#include <cstdio>

#include "sim/SimMachineFile.h"

namespace {

std::string Hex2(std::uint8_t v) {
    char s[4];
    std::snprintf(s, sizeof s, "%02X", unsigned(v));
    return s;
}

}  // namespace

// ---------------------------------------------------------------- bus

void SimI2cBus::Start() {
    log_.push_back("S");
    active_ = true;
    // A repeated start ends the slave's current transfer.
    if (current_) current_->Restarted();
    current_ = nullptr;
    started_ = true;
    reading_ = false;
}

void SimI2cBus::Stop() {
    // A stop on an idle bus (lines coming up at power-on) is no event.
    if (active_) log_.push_back("P");
    active_ = false;
    if (current_) current_->Stop();
    current_ = nullptr;
    started_ = false;
    reading_ = false;
}

bool SimI2cBus::Write(std::uint8_t byte) {
    bool ack = false;
    if (started_) {
        started_ = false;
        for (const auto& s : slaves_) {
            if (!s->Owns(byte & 0xFE)) continue;
            if (s->Address(byte)) {
                current_ = s.get();
                reading_ = (byte & 1) != 0;
                ack = true;
            }
            break;
        }
    } else if (current_ && !reading_) {
        ack = current_->Written(byte);
    }
    log_.push_back(Hex2(byte) + (ack ? "+" : "-"));
    return ack;
}

std::uint8_t SimI2cBus::Read() {
    lastRead_ = (current_ && reading_) ? current_->NextRead() : 0xFF;
    return lastRead_;
}

void SimI2cBus::MasterAck(bool ack) {
    std::string entry(1, '<');
    entry += Hex2(lastRead_);
    entry += ack ? '+' : '-';
    log_.push_back(entry);
    if (current_ && reading_) current_->ReadAcknowledged(ack);
}

std::string SimI2cBus::LogText() const {
    std::string out;
    for (const std::string& t : log_) out += (out.empty() ? "" : " ") + t;
    return out;
}

// ---------------------------------------------------------------- EEPROM

SimI2cEeprom::SimI2cEeprom(const SimI2cEepromConfig& config, std::shared_ptr<SimStorage> storage,
                           const SimClocks* clocks)
    : config_(config), storage_(std::move(storage)), clocks_(clocks) {
    if (config_.size == 0) config_.size = 128;
    if (config_.page == 0) config_.page = 1;
    if (!storage_) storage_ = std::make_shared<SimStorage>(config_.size);
}

bool SimI2cEeprom::Owns(std::uint8_t address) const { return address == config_.address; }

bool SimI2cEeprom::Busy() {
    if (stuckBusy_) return true;
    if (busyLeft_ > 0) {
        --busyLeft_;
        return true;
    }
    return clocks_ && clocks_->DeviceMicros() < busyUntil_;
}

bool SimI2cEeprom::Address(std::uint8_t addressByte) {
    if (config_.absent || Busy() || (config_.nackRead && (addressByte & 1))) {
        ++refused_;
        return false;
    }
    writing_ = (addressByte & 1) == 0;
    haveWordAddress_ = false;
    anyLoaded_ = false;
    return true;
}

bool SimI2cEeprom::Written(std::uint8_t byte) {
    if (!writing_) return false;
    const std::uint32_t size = std::uint32_t(storage_->Size());
    if (!haveWordAddress_) {
        pointer_ = byte & (size - 1);
        haveWordAddress_ = true;
        pageBase_ = pointer_ - pointer_ % config_.page;
        pending_.assign(config_.page, 0xFF);
        loaded_.assign(config_.page, false);
        return true;
    }
    if (config_.nackData) return false;
    // Page buffer: the address rolls over within the page.
    const std::uint32_t at = (pointer_ - pageBase_) % config_.page;
    pending_[at] = byte;
    loaded_[at] = true;
    anyLoaded_ = true;
    pointer_ = pageBase_ + (at + 1) % config_.page;
    return true;
}

std::uint8_t SimI2cEeprom::Cell(std::uint32_t at, std::uint8_t v) const {
    if (int(at) == config_.stuckAddress) v = std::uint8_t((v | config_.stuckHigh) & ~config_.stuckLow);
    return v;
}

std::uint8_t SimI2cEeprom::NextRead() {
    const std::uint32_t size = std::uint32_t(storage_->Size());
    const std::uint8_t v = storage_->Bytes()[pointer_ % size];
    pointer_ = (pointer_ + 1) % size;
    return v;
}

void SimI2cEeprom::Stop() {
    if (!writing_ || !anyLoaded_) {
        writing_ = false;
        return;
    }
    writing_ = false;
    anyLoaded_ = false;
    auto& bytes = storage_->Bytes();
    std::vector<std::uint32_t> cells;
    for (std::uint32_t i = 0; i < config_.page; ++i)
        if (loaded_[i] && pageBase_ + i < bytes.size()) cells.push_back(pageBase_ + i);
    std::vector<SimProgramFaults::Extra> extra;
    if (config_.programFaults.Program(cells, &extra)) {
        for (std::uint32_t a : cells) bytes[a] = Cell(a, pending_[a - pageBase_]);
        for (const auto& e : extra) bytes[e.address] = std::uint8_t(bytes[e.address] & ~e.bits);
    }
    ++commits_;
    busyLeft_ = config_.busyPolls;
    if (clocks_) busyUntil_ = clocks_->DeviceMicros() + config_.busyMicros;
    if (config_.busyForever) stuckBusy_ = true;
}

void SimI2cEeprom::Restarted() {
    // Only a stop starts the write cycle; the pointer stays where it is.
    writing_ = false;
    anyLoaded_ = false;
}

// ---------------------------------------------------------------- machine file

bool ParseSimI2cEepromOptions(SimMachineLine& line, SimI2cEepromConfig* c, std::string* file,
                              std::vector<std::string>* busFaults, std::string* error) {
    std::string v;
    std::uint64_t n = 0;
    if (line.TakeOption("address", &v)) {
        if (!ParseSimNumber(v, 0xFE, &n) || (n & 1)) return SimFail(error, "'address=' takes an even 8-bit address");
        c->address = std::uint8_t(n);
    }
    if (line.TakeOption("size", &v)) {
        if (!ParseSimNumber(v, 256, &n) || n == 0 || (n & (n - 1)))
            return SimFail(error, "'size=' takes a power of two up to 256");
        c->size = std::uint32_t(n);
    }
    if (line.TakeOption("page", &v)) {
        if (!ParseSimNumber(v, 256, &n) || n == 0 || (n & (n - 1)))
            return SimFail(error, "'page=' takes a power of two up to 256");
        c->page = std::uint32_t(n);
    }
    if (line.TakeOption("busy-polls", &v)) {
        if (!ParseSimNumber(v, 1000000, &n)) return SimFail(error, "bad number in 'busy-polls='");
        c->busyPolls = std::uint32_t(n);
    }
    if (line.TakeOption("busy-us", &v)) {
        if (!ParseSimNumber(v, 100000000, &n)) return SimFail(error, "bad number in 'busy-us='");
        c->busyMicros = n;
    }
    if (line.TakeOption("stuck", &v)) {
        std::uint64_t a = 0, hi = 0, lo = 0;
        const std::size_t p1 = v.find(':'), p2 = p1 == std::string::npos ? p1 : v.find(':', p1 + 1);
        if (p2 == std::string::npos || !ParseSimNumber(v.substr(0, p1), 255, &a) ||
            !ParseSimNumber(v.substr(p1 + 1, p2 - p1 - 1), 255, &hi) || !ParseSimNumber(v.substr(p2 + 1), 255, &lo))
            return SimFail(error, "'stuck=' takes ADDR:HIGH:LOW");
        c->stuckAddress = int(a);
        c->stuckHigh = std::uint8_t(hi);
        c->stuckLow = std::uint8_t(lo);
    }
    if (line.TakeOption("fault", &v)) {
        std::size_t at = 0;
        while (at <= v.size()) {
            const std::size_t comma = v.find(',', at);
            const std::string f = v.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
            if (f == "absent") c->absent = true;
            else if (f == "busy-forever") c->busyForever = true;
            else if (f == "nack-data") c->nackData = true;
            else if (f == "nack-read") c->nackRead = true;
            else busFaults->push_back(f);
            if (comma == std::string::npos) break;
            at = comma + 1;
        }
    }
    if (line.TakeOption("file", &v)) *file = v;
    return TakeSimProgramFaults(line, &c->programFaults, error);
}
