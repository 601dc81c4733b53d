#include "sim/SimSpiBoard.h"

#include <algorithm>
#include <sstream>
#include <vector>

namespace {

const SimSpiBoardInfo kBoards[] = {
    {SimSpiBoardKind::Orpane, "orpane", "nivarch", 0x6780, SimRomLayout::Quor, true},
    {SimSpiBoardKind::Tovarne, "tovarne", "nivarch", 0x6700, SimRomLayout::Quor, true},
    {SimSpiBoardKind::Ombrel, "ombrel", "ombrel", 0x6640, SimRomLayout::TarselFamily13, true},
    {SimSpiBoardKind::Ulvane, "ulvane", "ulvane", 0x67A0, SimRomLayout::Tarsel, true},
    {SimSpiBoardKind::Wenmar, "wenmar", "wenmar", 0x6900, SimRomLayout::Tarsel, true},
    {SimSpiBoardKind::Gethra, "gethra", "gethra", 0x6860, SimRomLayout::PomvekBase, true},
    {SimSpiBoardKind::GethraHobran, "gethra-hobran", "gethra", 0x6860, SimRomLayout::PomvekHobran, false},
    {SimSpiBoardKind::Hobran, "hobran", "hobran", 0x69A0, SimRomLayout::PomvekHobran, false},
    {SimSpiBoardKind::Fyrand, "fyrand", "fyrand", 0x7380, SimRomLayout::PomvekLate, true},
    // A device no built-in record knows: only a text table describes it.
    {SimSpiBoardKind::SoftSpi, "swspi", "quor", 0x7A00, std::nullopt, true},
};

constexpr std::uint32_t kRomBarSize = 128u << 10;

bool ParseLayout(const std::string& word, std::optional<SimRomLayout>* out) {
    static const struct {
        const char* name;
        SimRomLayout layout;
    } kLayouts[] = {
        {"quor", SimRomLayout::Quor},          {"tarsel", SimRomLayout::Tarsel},
        {"tarsel13", SimRomLayout::TarselFamily13}, {"pomvek", SimRomLayout::PomvekBase},
        {"hobran", SimRomLayout::PomvekHobran}, {"pomvek-late", SimRomLayout::PomvekLate},
    };
    if (word == "none") {
        *out = std::nullopt;
        return true;
    }
    for (const auto& l : kLayouts)
        if (word == l.name) {
            *out = l.layout;
            return true;
        }
    return false;
}

bool ParseLine(const std::string& text, SimGpioLine* line) {
    std::vector<std::string> parts = SplitSimValue(text, ':');
    if (parts.size() < 2 || parts.size() > 3) return false;
    std::uint64_t reg = 0;
    std::uint64_t bit = 0;
    if (!ParseSimNumber(parts[0], 0xFFFFFFFF, &reg) || !ParseSimNumber(parts[1], 31, &bit)) return false;
    bool inv = false;
    if (parts.size() == 3) {
        if (parts[2] != "inv") return false;
        inv = true;
    }
    *line = SimGpioLine{std::uint32_t(reg), int(bit), inv};
    return true;
}

// The part, its backing file and its wiring.
bool ParseSpiPartAndWiring(SimMachineLine& line, SimSpiFlashConfig* c, std::string* error) {
    std::string v;
    if (line.TakeOption("part", &v)) {
        if (!FindSimSpiPart(v)) return SimFail(error, SimUnknownPartMessage("SPI", v, SimSpiPartNames()));
        c->part = v;
    }
    if (line.TakeOption("file", &v)) {
        if (v.empty()) return SimFail(error, "'file=' needs a path");
        c->file = v;
    }
    if (line.TakeOption("gpio", &v)) {
        if (v != "on" && v != "off") return SimFail(error, "'gpio=' takes on or off");
        c->gpio = v == "on";
    }
    struct {
        const char* key;
        SimGpioLine* line;
    } lines[] = {{"cs", &c->wiring.cs}, {"clk", &c->wiring.clk}, {"mosi", &c->wiring.mosi}, {"miso", &c->wiring.miso}};
    for (auto& l : lines) {
        if (!line.TakeOption(l.key, &v)) continue;
        if (!ParseLine(v, l.line)) return SimFail(error, std::string("'") + l.key + "=' needs REG:BIT or REG:BIT:inv");
        c->linesGiven = true;
    }
    return true;
}

// The status register at power-up, the WP# pin and the busy times.
bool ParseSpiStatusAndTiming(SimMachineLine& line, SimSpiFlashConfig* c, std::string* error) {
    std::string v;
    if (line.TakeOption("status", &v)) {
        std::uint64_t n = 0;
        if (!ParseSimNumber(v, 0xFF, &n)) return SimFail(error, "'status=' needs a byte");
        c->status = std::uint8_t(n);
    }
    c->wp = line.TakeFlag("wp");
    if (line.TakeOption("busy-polls", &v)) {
        std::vector<std::string> p = SplitSimValue(v, ':');
        if (p.size() != 3) return SimFail(error, "'busy-polls=' needs PROGRAM:ERASE:WRITE");
        for (int i = 0; i < 3; ++i) {
            std::uint64_t n = 0;
            if (!ParseSimNumber(p[std::size_t(i)], 1000000, &n)) return SimFail(error, "bad number in 'busy-polls='");
            c->polls[i] = unsigned(n);
        }
    }
    if (line.TakeOption("erase-ms", &v)) {
        std::uint64_t n = 0;
        if (!ParseSimNumber(v, 10000000, &n)) return SimFail(error, "'erase-ms=' needs milliseconds");
        c->chipEraseMs = n;
    }
    return true;
}

// Injected faults: named faults, stuck bits and failing programs.
bool ParseSpiFaults(SimMachineLine& line, SimSpiFlashConfig* c, std::string* error,
                    const std::vector<std::string>& otherFaults) {
    std::string v;
    if (line.TakeOption("fault", &v)) {
        for (const std::string& f : SplitSimValue(v, ',')) {
            if (f == "busy-stuck") c->busyStuck = true;
            else if (f == "wel-stuck") c->welStuck = true;
            else if (f == "unknown-id") c->unknownId = true;
            else if (f == "erase-fails") c->eraseFails = true;
            else if (f == "program-stuck") c->programStuck = true;
            else if (f == "status-never") c->statusNever = true;
            else if (f == "status-stuck") c->statusStuck = true;
            else if (std::find(otherFaults.begin(), otherFaults.end(), f) != otherFaults.end()) c->otherFaults.push_back(f);
            else return SimFail(error, "unknown fault '" + f + "'");
        }
    }
    while (line.TakeOption("stuck", &v)) {
        SimSpiFlashConfig::Stuck st{};
        if (!ParseSimStuckBits(v, &st.address, &st.high, &st.low)) return SimFail(error, "'stuck=' needs ADDRESS:HIGH:LOW");
        c->stuck.push_back(st);
    }
    if (!TakeSimProgramFaults(line, &c->programFaults, error)) return false;
    if (line.TakeOption("fail-erases", &v)) {
        std::uint64_t n = 0;
        if (!ParseSimNumber(v, 1000000, &n)) return SimFail(error, "'fail-erases=' needs a count");
        c->failErases = unsigned(n);
    }
    return true;
}

}  // namespace

bool ParseSimSpiFlashOptions(SimMachineLine& line, SimSpiFlashConfig* c, std::string* error,
                             const std::vector<std::string>& otherFaults) {
    return ParseSpiPartAndWiring(line, c, error) && ParseSpiStatusAndTiming(line, c, error) &&
           ParseSpiFaults(line, c, error, otherFaults);
}

void ApplySimSpiFlashConfig(SimSpiFlash& flash, const SimSpiFlashConfig& c) {
    if (c.status) flash.SetPowerUpStatus(*c.status);
    flash.SetWriteProtectPin(c.wp);
    if (c.polls[0]) flash.SetBusyPolls(*c.polls[0], *c.polls[1], *c.polls[2]);
    if (c.chipEraseMs) flash.SetChipEraseMicros(*c.chipEraseMs * 1000);
    flash.FailBusyNeverClears(c.busyStuck);
    flash.FailWelNeverSets(c.welStuck);
    flash.FailUnknownId(c.unknownId);
    flash.FailErase(c.eraseFails);
    flash.FailProgramHangs(c.programStuck);
    for (const auto& s : c.stuck) flash.AddStuckBits(s.address, s.high, s.low);
    flash.ProgramFaults() = c.programFaults;
    flash.FailNextErases(c.failErases);
}

namespace {

void ApplyFaults(SimSpiBoard& b, const SimSpiFlashConfig& c) {
    ApplySimSpiFlashConfig(*b.flash, c);
    if (b.controller) {
        b.controller->FailStatusNeverCompletes(c.statusNever);
        b.controller->FailStatusNotClearable(c.statusStuck);
    }
}

bool LoadStorage(SimMachineContext& ctx, const SimSpiFlashConfig& c, std::shared_ptr<SimStorage>* out, std::string* error) {
    if (c.file.empty()) return true;
    const SimSpiPartModel* model = FindSimSpiPart(c.part);
    *out = ctx.Storage(c.file, model->size, error);
    return *out != nullptr;
}

// A fixed pattern for the ROM aperture, unlike any flash contents.
std::vector<std::uint8_t> AperturePattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = std::uint8_t(0xA5 ^ (i * 7));
    return bytes;
}

}  // namespace

SimSpiBoard AttachSpiFlash(SimHardware& hw, SimPciFunction& function, const SimSpiPartModel& part,
                           std::shared_ptr<SimStorage> storage, std::optional<SimRomLayout> layout, bool gpio,
                           const SimGpioSpiWiring& wiring, std::shared_ptr<SimIndirectPair> pair) {
    SimSpiBoard b;
    b.function = &function;
    if (!storage) storage = std::make_shared<SimStorage>(part.size);
    b.flash = std::make_shared<SimSpiFlash>(part, storage, &hw.Clocks());
    if (layout) b.controller = SimRomController::Attach(function, *layout, b.flash, std::move(pair));
    if (gpio) b.gpio = SimGpioSpi::Attach(function.Registers(), wiring, b.flash);
    return b;
}

SimGpioSpiWiring SimGenerationLines(SimRomLayout layout) {
    struct Pads {
        std::uint32_t out, in;
        SimGpioLine cs;  // register filled in below
        int clkBit;
    };
    // First generations: chip select on bit 22, active high at the register.
    const Pads first{0, 0, {0, 22, true}, 10};
    // Third generation: chip select on bit 10, clock on bit 7.
    const Pads third{0, 0, {0, 10, false}, 7};
    Pads p = first;
    switch (layout) {
    case SimRomLayout::Quor: p.out = 0x179C, p.in = 0x17A4; break;
    case SimRomLayout::Tarsel:
    case SimRomLayout::TarselFamily13:
    case SimRomLayout::Secure: p.out = 0x60C, p.in = 0x614; break;
    case SimRomLayout::PomvekBase: p = third, p.out = 0x5A1C0, p.in = 0x5A1CC; break;
    case SimRomLayout::PomvekHobran: p = third, p.out = 0x5A1E0, p.in = 0x5A1EC; break;
    case SimRomLayout::PomvekLate: p = third, p.out = 0x5A508, p.in = 0x5A514; break;
    }
    SimGpioSpiWiring w;
    w.cs = {p.out, p.cs.bit, p.cs.inverted};
    w.clk = {p.out, p.clkBit, false};
    w.mosi = {p.out, 9, false};
    w.miso = {p.in, 8, false};
    return w;
}

const SimSpiBoardInfo& SimSpiBoardInfoOf(SimSpiBoardKind kind) {
    for (const SimSpiBoardInfo& i : kBoards)
        if (i.kind == kind) return i;
    return kBoards[0];
}

const SimSpiBoardInfo* FindSimSpiBoard(const std::string& name) {
    for (const SimSpiBoardInfo& i : kBoards)
        if (name == i.name) return &i;
    return nullptr;
}

SimSpiBoard AddSpiBoard(SimHardware& hw, const SimPciAddress& address, SimSpiBoardKind kind,
                        const SimSpiBoardOptions& o) {
    const SimSpiBoardInfo& info = SimSpiBoardInfoOf(kind);
    const SimSpiPartModel* part = FindSimSpiPart(o.part);
    if (!part) return {};
    SimAdapterOptions ao;
    ao.device = o.device ? o.device : info.device;
    ao.revision = o.revision;
    ao.slave = o.slave;
    ao.probeRegisterWritable = info.probeWritable;
    ao.romSize = kRomBarSize;
    ao.romContent = AperturePattern(kRomBarSize);
    SimAdapter adapter = AddSimAdapter(hw, address, info.adapter, ao);
    if (!adapter.function) return {};
    const SimGpioSpiWiring lines = info.layout && !o.ownLines ? SimGenerationLines(*info.layout) : o.wiring;
    SimSpiBoard b = AttachSpiFlash(hw, *adapter.function, *part, o.storage, info.layout, o.gpio, lines,
                                   adapter.indirect);
    b.adapter = adapter;
    return b;
}

void AddDemoSpiBoards(SimHardware& hw, std::uint8_t firstBus) {
    static const struct {
        SimSpiBoardKind kind;
        const char* part;
    } kDemo[] = {
        {SimSpiBoardKind::Orpane, "M25P10"},     {SimSpiBoardKind::Ombrel, "SST25VF010"},
        {SimSpiBoardKind::Ulvane, "W25X40"},     {SimSpiBoardKind::Wenmar, "MX25L2026E"},
        {SimSpiBoardKind::Gethra, "M25P40"},     {SimSpiBoardKind::GethraHobran, "GD25Q41B"},
        {SimSpiBoardKind::Hobran, "W25Q80"},     {SimSpiBoardKind::Fyrand, "MX25L8006E"},
    };
    std::uint8_t bus = firstBus;
    for (const auto& d : kDemo) {
        SimSpiBoardOptions o;
        o.part = d.part;
        AddSpiBoard(hw, SimPciAddress{0, bus, 0, 0}, d.kind, o);
        ++bus;
    }
}

// ------------------------------------------------------- machine file

bool SimSpiBoardStatement(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    std::string where, kind;
    if (!line.TakeWord(&where)) return SimFail(error, "'spiboard' needs an address");
    SimPciAddress address;
    if (!SimPciAddress::Parse(where, &address)) return SimFail(error, "bad PCI address '" + where + "'");
    if (!line.TakeWord(&kind)) return SimFail(error, "'spiboard' needs a board kind");
    const SimSpiBoardInfo* info = FindSimSpiBoard(kind);
    if (!info) return SimFail(error, "unknown board kind '" + kind + "'");
    SimSpiFlashConfig c;
    if (!ParseSimSpiFlashOptions(line, &c, error)) return false;
    SimSpiBoardOptions o;
    o.part = c.part;
    o.gpio = c.gpio;
    o.wiring = c.wiring;
    o.ownLines = c.linesGiven;
    o.slave = line.TakeFlag("slave");
    std::string v;
    if (line.TakeOption("device", &v)) {
        std::uint64_t n = 0;
        if (!ParseSimNumber(v, 0xFFFF, &n)) return SimFail(error, "'device=' needs a 16-bit number");
        o.device = std::uint16_t(n);
    }
    if (!LoadStorage(ctx, c, &o.storage, error)) return false;
    SimSpiBoard b = AddSpiBoard(*ctx.hw, address, info->kind, o);
    if (!b.function) return SimFail(error, "function " + where + " is already there");
    ApplyFaults(b, c);
    ctx.function = b.function;
    return true;
}

bool SimSpiFlashStatement(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    SimSpiFlashConfig c;
    if (!ParseSimSpiFlashOptions(line, &c, error)) return false;
    std::optional<SimRomLayout> layout;
    std::string v;
    if (line.TakeOption("controller", &v) && !ParseLayout(v, &layout))
        return SimFail(error, "unknown controller layout '" + v + "'");
    std::shared_ptr<SimStorage> storage;
    if (!LoadStorage(ctx, c, &storage, error)) return false;
    const SimGpioSpiWiring lines = layout && !c.linesGiven ? SimGenerationLines(*layout) : c.wiring;
    SimSpiBoard b = AttachSpiFlash(*ctx.hw, *ctx.function, *FindSimSpiPart(c.part), storage, layout, c.gpio, lines);
    ApplyFaults(b, c);
    return true;
}
