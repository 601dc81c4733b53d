#include "sim/SimAdapters.h"

#include <algorithm>

#include "sim/SimMibI2c.h"

namespace {

constexpr std::uint32_t k256K = 0x40000;
constexpr std::uint32_t k512K = 0x80000;
constexpr std::uint8_t kPcie = 0x10;
constexpr std::uint8_t kAgp = 0x02;
constexpr std::uint32_t kProbeRegister = 0x5A0B8;
constexpr std::uint32_t kRomAuxCntl = 0xC0600000;

using CA = SimControllerAccess;

const std::vector<SimAdapterModel>& Models() {
    static const std::vector<SimAdapterModel> models = {
        // Companion-chip boards: the ROM is an I2C EEPROM, no ROM BAR.
        {"pardel", "Pardel", 6, 0xAC00, 0x00, k256K, 0, 0, false, false, 0, CA::None},
        {"pirsen", "Pirsen", 6, 0x4D10, 0x00, k256K, 0, 0, false, false, 0, CA::None},
        // Bridge boards.
        {"nerrow", "Nerrow", 7, 0x5A41, 0x00, k256K, 0, 0, true, true, 0, CA::None},
        {"nerrow-agp", "Nerrow-AGP", 7, 0x7A7A, 0x00, k256K, 0, 0, true, true, kAgp, CA::None},
        // First generation: controller in the register aperture.
        {"quor", "Quor", 5, 0x9400, 0x00, k256K, 0, 0, false, true, kPcie, CA::Direct},
        {"nivarch", "Nivarch", 5, 0x6610, 0x00, k256K, 0x541C, 0x100, false, true, kPcie, CA::Direct},
        {"garvelin", "Garvelin/Tiln", 5, 0x9440, 0x00, k256K, 0x541C, 0x2000, false, true, kPcie, CA::Direct},
        {"lendrin", "Lendrin/Tobb", 5, 0x9500, 0x00, k256K, 0x541C, 0x10000, false, true, kPcie, CA::Direct},
        // Second generation: controller behind the indirect pair.
        {"ombrel", "Ombrel", 13, 0x6640, 0x00, k256K, 0x541C, 0x200, false, true, kPcie, CA::Indirect},
        {"ulvane", "Ulvane", 14, 0x67A0, 0x00, k256K, 0x541C, 0x200, false, true, kPcie, CA::Indirect},
        {"wenmar", "Wenmar", 16, 0x6900, 0x00, k256K, 0x541C, 0x10, false, true, kPcie, CA::Indirect},
        {"sardon", "Sardon", 19, 0x67C0, 0x00, k256K, 0x541C, 0x10, false, true, kPcie, CA::Indirect},
        {"syrell", "Syrell", 20, 0x6940, 0x00, k256K, 0x541C, 0x10, false, true, kPcie, CA::Indirect},
        // Third generation: controller in a 512 KiB register aperture.
        {"gethra", "Gethra", 21, 0x6860, 0x00, k512K, 0x3480, 0x4, false, true, kPcie, CA::Direct},
        {"hobran", "Hobran", 22, 0x69A0, 0x00, k512K, 0x3480, 0x4, false, true, kPcie, CA::Direct},
        {"ivrel", "Ivrel", 23, 0x66A0, 0x00, k512K, 0x3480, 0x4, false, true, kPcie, CA::Direct},
        {"cressa", "Cressa", 24, 0x7310, 0x00, k512K, 0x3480, 0x4, false, true, kPcie, CA::Direct},
        {"dorvel", "Dorvel", 25, 0x7340, 0x00, k512K, 0x3480, 0x4, false, true, kPcie, CA::Direct},
        {"elmask", "Elmask", 26, 0x7360, 0x00, k512K, 0x3480, 0x4, false, true, kPcie, CA::Direct},
        {"fyrand", "Fyrand", 27, 0x7380, 0x00, k512K, 0x3480, 0x4, false, true, kPcie, CA::Direct},
    };
    return models;
}

// Companion-chip boards: pad and control values the firmware leaves.
constexpr std::pair<std::uint32_t, std::uint32_t> kMibFirmwareRegisters[] = {
    {0x8B0, 0x0000C000}, {0x8B4, 0x0000C000}, {0x8B8, 0x00000003}, {0x8BC, 0x00000003},
    {0x8C0, 0x00001F00}, {0x8C4, 0x00001F00}, {0x8C8, 0x00000100}, {0x8CC, 0x00000100},
    {0x8D0, 0x00000010}, {0x8D4, 0x00000010}, {0x808, 0x00000011}, {0x804, 0x0000001F},
    {0x008, 0x00000001},
};

bool Fail(std::string* error, const std::string& text) {
    if (error) *error = text;
    return false;
}

// Slot of a function in the physical address plan: bus and device.
constexpr std::uint64_t kFrameBufferSize = 8ull << 20;

// Up to 256 boards get disjoint windows: two segments, 16 buses, 8 devices.
std::uint64_t Slot(const SimPciAddress& a) {
    return (std::uint64_t(a.seg & 1) << 7) | (std::uint64_t(a.bus & 0x0F) << 3) | (a.dev & 7);
}

}  // namespace

const std::vector<SimAdapterModel>& SimAdapterModels() { return Models(); }

const SimAdapterModel* FindSimAdapterModel(const std::string& keyword) {
    for (const SimAdapterModel& m : Models())
        if (keyword == m.keyword) return &m;
    return nullptr;
}

// ---------------------------------------------------------------- bridge pair

SimBridgePair::SimBridgePair(std::uint32_t strap) : strapWord_((strap & 3) << 11) {
    // Bit 1 of bridge register 0x70 is set until a tool clears it.
    bridge_.Poke(0x70, 0x00000003);
}

void SimBridgePair::SetStrap(std::uint32_t strap) { strapWord_ = (strap & 3) << 11; }

std::uint32_t SimBridgePair::Read(std::uint32_t off) {
    if (off == kIndex) return index_;
    if (off != kData) return 0;
    if (index_ == 0x00) return kSignature;
    if (index_ == 0xC0) return (bridge_.ReadRegister(0xC0) & ~0x1800u) | strapWord_;
    return bridge_.ReadRegister(index_);
}

void SimBridgePair::Write(std::uint32_t off, std::uint32_t value) {
    if (off == kIndex) {
        index_ = value;
        return;
    }
    if (off != kData || index_ == 0x00) return;
    if (index_ == 0xC0) value &= ~0x1800u;
    bridge_.WriteRegister(index_, value);
}

// ---------------------------------------------------------------- indirect pair

std::uint32_t SimIndirectPair::Read(std::uint32_t off) {
    if (off == kIndex) return index_;
    if (off == kData) return space_.ReadRegister(index_);
    return 0;
}

void SimIndirectPair::Write(std::uint32_t off, std::uint32_t value) {
    if (off == kIndex) index_ = value;
    else if (off == kData) space_.WriteRegister(index_, value);
}

// ---------------------------------------------------------------- adapters

SimAdapter AddSimAdapter(SimHardware& hw, const SimPciAddress& address, const std::string& modelName,
                         const SimAdapterOptions& o, std::string* error) {
    SimAdapter a;
    const SimAdapterModel* m = FindSimAdapterModel(modelName);
    if (!m) {
        Fail(error, "unknown adapter model '" + modelName + "'");
        return a;
    }
    const std::uint16_t device = o.device >= 0 ? std::uint16_t(o.device) : m->device;
    SimPciFunction* f = hw.AddFunction(address, o.vendor, device);
    if (!f) {
        Fail(error, "PCI address " + address.Name() + " is already taken");
        return a;
    }
    f->SetRevision(o.revision >= 0 ? std::uint8_t(o.revision) : m->revision);
    f->SetClassCode(o.classCode);
    f->SetSubsystem(o.subsystemVendor, o.subsystemId);

    const std::uint64_t slot = Slot(address);
    const std::uint64_t fbBase = 0x40000000ull + slot * kFrameBufferSize;     // 0x40000000-0xBFFFFFFF
    const std::uint64_t regBase = 0xE0000000ull + slot * 0x100000ull;      // 1 MiB apart
    const std::uint64_t romBase = 0xD0000000ull + slot * 0x100000ull;
    std::string why;
    if (!f->AddBar(0, SimBarKind::Mem64, kFrameBufferSize, true, fbBase, SimBarRole::Memory, &why) ||
        !f->AddBar(2, SimBarKind::Mem32, m->registerWindow, false, regBase, SimBarRole::Registers, &why)) {
        Fail(error, why);
        return a;
    }
    const int cap = o.capability >= 0 ? o.capability : m->capability;
    if (cap != 0) f->AddCapability(std::uint8_t(cap));

    if (m->romBar && !o.noRomBar) {
        if (!f->SetRomBar(o.romSize, o.romOverFrameBuffer ? 0 : std::uint32_t(romBase), &why)) {
            Fail(error, why);
            return a;
        }
        a.rom = std::make_shared<SimStorage>(o.romSize);
        std::vector<std::uint8_t> bytes(o.romSize, 0xFF);
        std::copy_n(o.romContent.begin(), std::min<std::size_t>(o.romContent.size(), bytes.size()), bytes.begin());
        a.rom->SetInitial(bytes);
        f->SetRomModel(std::make_shared<SimRomBytes>(a.rom));
    }

    SimRegisterFile& regs = f->Registers();
    if (m->strapRegister != 0 && o.slave) regs.Poke(m->strapRegister, m->strapBit);
    if (m->bridge) {
        a.bridge = std::make_shared<SimBridgePair>(o.bridgeStrap);
        regs.Attach(SimBridgePair::kIndex, 8, a.bridge);
    }
    if (m->controller == SimControllerAccess::Indirect) {
        a.indirect = std::make_shared<SimIndirectPair>();
        // Left pointing at ROM_AUX_CNTL by the firmware.
        a.indirect->SetIndex(kRomAuxCntl);
        regs.Attach(SimIndirectPair::kIndex, 8, a.indirect);
    }
    if (m->family == 6) {
        for (const auto& [reg, value] : kMibFirmwareRegisters) regs.Poke(reg, value);
        SimI2cEepromConfig eeprom;
        eeprom.busyMicros = kSimMibEepromWriteCycle;
        a.eeprom = AttachMibEeprom(regs, eeprom, nullptr, &hw.Clocks());
    }
    if (!o.probeRegisterWritable) regs.Attach(kProbeRegister, 4, std::make_shared<SimFixedRegister>(0));

    a.function = f;
    a.model = m;
    return a;
}

std::vector<std::uint32_t> SnapshotRegisters(const SimRegisterFile& file, std::uint32_t first, std::uint32_t length) {
    std::vector<std::uint32_t> out(length / 4);
    for (std::uint32_t i = 0; i < out.size(); ++i) out[i] = file.Peek(first + 4 * i);
    return out;
}

// ---------------------------------------------------------------- machine file

namespace {

bool NumberOption(SimMachineLine& line, const char* key, std::uint64_t max, std::uint64_t* out, bool* given,
                  std::string* error) {
    std::string text;
    *given = line.TakeOption(key, &text);
    if (!*given) return true;
    if (!ParseSimNumber(text, max, out)) return Fail(error, std::string("bad number in '") + key + "=" + text + "'");
    return true;
}

}  // namespace

bool SimAdapterStatement(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    std::string where, kind;
    if (!line.TakeWord(&where)) return Fail(error, "'adapter' needs a PCI address");
    SimPciAddress address;
    if (!SimPciAddress::Parse(where, &address)) return Fail(error, "bad PCI address '" + where + "'");
    if (!line.TakeWord(&kind)) return Fail(error, "'adapter' needs a model");
    if (!FindSimAdapterModel(kind)) {
        std::string names;
        for (const SimAdapterModel& m : SimAdapterModels()) names += std::string(names.empty() ? "" : ", ") + m.keyword;
        return Fail(error, "unknown adapter model '" + kind + "' (one of " + names + ")");
    }

    SimAdapterOptions o;
    std::uint64_t v = 0;
    bool given = false;
    if (!NumberOption(line, "device", 0xFFFF, &v, &given, error)) return false;
    if (given) o.device = int(v);
    if (!NumberOption(line, "revision", 0xFF, &v, &given, error)) return false;
    if (given) o.revision = int(v);
    if (!NumberOption(line, "vendor", 0xFFFF, &v, &given, error)) return false;
    if (given) o.vendor = std::uint16_t(v);
    if (!NumberOption(line, "class", 0xFFFFFF, &v, &given, error)) return false;
    if (given) o.classCode = std::uint32_t(v);
    if (!NumberOption(line, "strap", 3, &v, &given, error)) return false;
    if (given) o.bridgeStrap = std::uint32_t(v);
    if (!NumberOption(line, "romsize", 16ull << 20, &v, &given, error)) return false;
    if (given) o.romSize = std::uint32_t(v);
    std::string text;
    if (line.TakeOption("subsystem", &text)) {
        const std::size_t colon = text.find(':');
        std::uint64_t sv = 0, sid = 0;
        if (colon == std::string::npos || !ParseSimNumber(text.substr(0, colon), 0xFFFF, &sv) ||
            !ParseSimNumber(text.substr(colon + 1), 0xFFFF, &sid))
            return Fail(error, "'subsystem=' takes VENDOR:ID");
        o.subsystemVendor = std::uint16_t(sv);
        o.subsystemId = std::uint16_t(sid);
    }
    if (line.TakeOption("probe", &text)) {
        if (text != "rw" && text != "ro") return Fail(error, "'probe=' takes rw or ro");
        o.probeRegisterWritable = text == "rw";
    }
    if (line.TakeOption("cap", &text)) {
        if (text == "pcie") o.capability = kPcie;
        else if (text == "agp") o.capability = kAgp;
        else if (text == "none") o.capability = 0;
        else return Fail(error, "'cap=' takes pcie, agp or none");
    }
    o.slave = line.TakeFlag("slave");
    o.romOverFrameBuffer = line.TakeFlag("rom-over-fb");
    o.noRomBar = line.TakeFlag("no-rombar");

    SimAdapter a = AddSimAdapter(*ctx.hw, address, kind, o, error);
    if (!a.function) return false;
    ctx.function = a.function;
    if (a.rom) ctx.hw->AddStorage(a.rom);
    return true;
}
