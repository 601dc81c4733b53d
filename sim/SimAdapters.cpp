#include "sim/SimAdapters.h"

#include <algorithm>

#include "sim/SimMibI2c.h"

namespace {

constexpr std::uint32_t k256K = 0x40000;
constexpr std::uint32_t k512K = 0x80000;
constexpr std::uint8_t kPcie = 0x10;
constexpr std::uint8_t kAgp = 0x02;
constexpr std::uint32_t kProbeRegister = 0x5A0B8;

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

// Companion-chip boards: pad and control values the firmware leaves, none
// of them a value a tool would write.
constexpr std::pair<std::uint32_t, std::uint32_t> kMibFirmwareRegisters[] = {
    {0x8B0, 0x0000A3C5}, {0x8B4, 0x0000A3C6}, {0x8B8, 0x00000A17}, {0x8BC, 0x00000A18},
    {0x8C0, 0x00002E41}, {0x8C4, 0x00002E42}, {0x8C8, 0x00000253}, {0x8CC, 0x00000254},
    {0x8D0, 0x00000065}, {0x8D4, 0x00000066}, {0x808, 0x00000093}, {0x804, 0x0000004B},
    {0x008, 0x00000C0D},
};

// Bridge boards: what the bridge registers hold at power-up. Bit 7 of
// bridge register 0x30 (ROM writes) starts clear, as on any board at rest.
constexpr std::uint32_t kBridgePowerUpIndex = 0x3C;
constexpr std::pair<std::uint32_t, std::uint32_t> kBridgePowerUp[] = {
    {0x04, 0x02B00147}, {0x30, 0x0000A261}, {0x40, 0x0000C5D3}, {0x44, 0x2F1E0D5C},
    {0x48, 0x00007A32}, {0x4C, 0x0000E4B9}, {0x60, 0x1C3B5A79}, {0x64, 0x000004E6},
    {0x70, 0x00000003},
};

// Settings the firmware leaves in ROM control, pad and pad-drive registers
// of the generations that have them (registers past a board's window are
// not there). Every one has bits set that a tool opening the ROM would
// clear and bits clear that it would set, so a value left changed shows.
constexpr std::pair<std::uint32_t, std::uint32_t> kBoardPowerUp[] = {
    {0x00608, 0x08A10C35}, {0x0060C, 0x00080F21}, {0x00610, 0x00000D4B}, {0x00618, 0x00000E6A},
    {0x0061C, 0x00000C19}, {0x00620, 0x00000C27}, {0x00718, 0x00000C41}, {0x0071C, 0x00000C42},
    {0x00720, 0x00000C43}, {0x00724, 0x00000C44}, {0x00728, 0x00000C45}, {0x0072C, 0x00000C46},
    {0x00730, 0x00000C47}, {0x01600, 0x20000101}, {0x01798, 0x00000A05}, {0x0179C, 0x00080700},
    {0x017A0, 0x00000193}, {0x5A1BC, 0x00000395}, {0x5A1C0, 0x00000796}, {0x5A1C8, 0x00000397}, {0x5A1DC, 0x00000395},
    {0x5A1E0, 0x00000796}, {0x5A1E8, 0x00000397}, {0x5A504, 0x00000395}, {0x5A508, 0x00000796},
    {0x5A510, 0x00000397},
};
// Second generation: the indirect index as the firmware leaves it, not at
// ROM_AUX_CNTL.
constexpr std::uint32_t kIndirectPowerUpIndex = 0xC0600018;

// Address plan of the adapters: each kind of window in a region of its own,
// the first free place in it, so no two boards ever decode the same
// address. 0xF0000000 up stays free: a frame buffer moved out of the ROM's
// way goes there.
constexpr std::uint64_t kFrameBufferSize = 8ull << 20;
constexpr std::uint64_t kFrameBufferRegion = 0x40000000, kFrameBufferRegionEnd = 0xC0000000;
constexpr std::uint64_t kRomRegion = 0xD0000000, kRomRegionEnd = 0xE0000000;
constexpr std::uint64_t kRegisterRegion = 0xE0000000, kRegisterRegionEnd = 0xF0000000;

std::uint64_t PowerOfTwoAtLeast(std::uint64_t n) {
    std::uint64_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

}  // namespace

const std::vector<SimAdapterModel>& SimAdapterModels() { return Models(); }

const SimAdapterModel* FindSimAdapterModel(const std::string& keyword) {
    for (const SimAdapterModel& m : Models())
        if (keyword == m.keyword) return &m;
    return nullptr;
}

// ---------------------------------------------------------------- bridge pair

SimBridgePair::SimBridgePair(std::uint32_t strap) : index_(kBridgePowerUpIndex), strapWord_((strap & 3) << 11) {
    // Bit 1 of bridge register 0x70 is set until a tool clears it.
    for (const auto& [reg, value] : kBridgePowerUp) bridge_.Poke(reg, value);
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

// ---------------------------------------------------------------- index pair

namespace {

// First-generation devices whose strap register is reached through the pair.
bool HasMmIndexPair(std::uint16_t device) {
    return (device >= 0x6600 && device <= 0x663F) || (device >= 0x6780 && device <= 0x679F) ||
           (device >= 0x6800 && device <= 0x681F);
}

}  // namespace

std::uint32_t SimMmIndexPair::Read(std::uint32_t off) {
    if (off == kIndex) return index_;
    if (off != kData) return 0;
    return SelfAddressed() ? registers_.Peek(index_ & ~3u) : registers_.ReadRegister(index_ & ~3u);
}

void SimMmIndexPair::Write(std::uint32_t off, std::uint32_t value) {
    if (off == kIndex) {
        index_ = value;
    } else if (off == kData) {
        if (SelfAddressed()) registers_.Poke(index_ & ~3u, value);
        else registers_.WriteRegister(index_ & ~3u, value);
    }
}

// ---------------------------------------------------------------- adapters

namespace {

// The ROM BAR at romBase, answering with the adapter's ROM contents.
bool AttachRomBar(SimPciFunction& f, const SimAdapterOptions& o, std::uint64_t romBase, SimAdapter& a,
                  std::string* error) {
    std::string why;
    if (!f.SetRomBar(o.romSize, std::uint32_t(romBase), &why)) {
        SimFail(error, why);
        return false;
    }
    a.rom = std::make_shared<SimStorage>(o.romSize);
    std::vector<std::uint8_t> bytes(o.romSize, 0xFF);
    std::copy_n(o.romContent.begin(), std::min<std::size_t>(o.romContent.size(), bytes.size()), bytes.begin());
    a.rom->SetInitial(bytes);
    f.SetRomModel(std::make_shared<SimRomBytes>(a.rom));
    return true;
}

// The model's register-side devices: strap, index pairs, firmware EEPROM,
// board power-up values and the probe register.
void AttachBoardRegisters(SimHardware& hw, SimRegisterFile& regs, const SimAdapterModel& m,
                          const SimAdapterOptions& o, std::uint16_t device, SimAdapter& a) {
    if (m.strapRegister != 0 && o.slave) regs.Poke(m.strapRegister, m.strapBit);
    if (m.bridge) {
        a.bridge = std::make_shared<SimBridgePair>(o.bridgeStrap);
        regs.Attach(SimBridgePair::kIndex, 8, a.bridge);
    }
    if (m.controller == SimControllerAccess::Indirect) {
        a.indirect = std::make_shared<SimIndirectPair>();
        a.indirect->SetIndex(kIndirectPowerUpIndex);
        regs.Attach(SimIndirectPair::kIndex, 8, a.indirect);
    }
    if (m.family == 5 && HasMmIndexPair(device))
        regs.Attach(SimMmIndexPair::kIndex, 8, std::make_shared<SimMmIndexPair>(regs));
    if (m.family == 6) {
        for (const auto& [reg, value] : kMibFirmwareRegisters) regs.Poke(reg, value);
        SimI2cEepromConfig eeprom;
        eeprom.busyMicros = kSimMibEepromWriteCycle;
        a.eeprom = AttachMibEeprom(regs, eeprom, nullptr, &hw.Clocks());
    }
    if (m.controller != SimControllerAccess::None)
        for (const auto& [reg, value] : kBoardPowerUp)
            if (reg < m.registerWindow) regs.Poke(reg, value);
    if (!o.probeRegisterWritable) regs.Attach(kProbeRegister, 4, std::make_shared<SimFixedRegister>(0));
}

}  // namespace

SimAdapter AddSimAdapter(SimHardware& hw, const SimPciAddress& address, const std::string& modelName,
                         const SimAdapterOptions& o, std::string* error) {
    SimAdapter a;
    const SimAdapterModel* m = FindSimAdapterModel(modelName);
    if (!m) {
        SimFail(error, "unknown adapter model '" + modelName + "'");
        return a;
    }
    const std::uint16_t device = o.device >= 0 ? std::uint16_t(o.device) : m->device;
    const std::uint64_t fbBase = hw.FreeBase(kFrameBufferSize, kFrameBufferRegion, kFrameBufferRegionEnd);
    const std::uint64_t regBase = hw.FreeBase(m->registerWindow, kRegisterRegion, kRegisterRegionEnd);
    const bool romBar = m->romBar && !o.noRomBar;
    const std::uint64_t romBase =
        romBar && !o.romOverFrameBuffer ? hw.FreeBase(PowerOfTwoAtLeast(o.romSize), kRomRegion, kRomRegionEnd) : 0;
    if (fbBase == 0 || regBase == 0 || (romBar && !o.romOverFrameBuffer && romBase == 0)) {
        SimFail(error, "no free physical addresses left for " + address.Name());
        return a;
    }
    SimPciFunction* f = hw.AddFunction(address, o.vendor, device);
    if (!f) {
        SimFail(error, "PCI address " + address.Name() + " is already taken");
        return a;
    }
    f->SetRevision(o.revision >= 0 ? std::uint8_t(o.revision) : m->revision);
    f->SetClassCode(o.classCode);
    f->SetSubsystem(o.subsystemVendor, o.subsystemId);

    std::string why;
    if (!f->AddBar(0, SimBarKind::Mem64, kFrameBufferSize, true, fbBase, SimBarRole::Memory, &why) ||
        !f->AddBar(2, SimBarKind::Mem32, m->registerWindow, false, regBase, SimBarRole::Registers, &why)) {
        SimFail(error, why);
        return a;
    }
    const int cap = o.capability >= 0 ? o.capability : m->capability;
    if (cap != 0) f->AddCapability(std::uint8_t(cap));

    if (romBar && !AttachRomBar(*f, o, romBase, a, error)) return a;
    AttachBoardRegisters(hw, f->Registers(), *m, o, device, a);
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
    if (!ParseSimNumber(text, max, out)) return SimFail(error, std::string("bad number in '") + key + "=" + text + "'");
    return true;
}

}  // namespace

bool SimAdapterStatement(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    std::string where, kind;
    if (!line.TakeWord(&where)) return SimFail(error, "'adapter' needs a PCI address");
    SimPciAddress address;
    if (!SimPciAddress::Parse(where, &address)) return SimFail(error, "bad PCI address '" + where + "'");
    if (!line.TakeWord(&kind)) return SimFail(error, "'adapter' needs a model");
    if (!FindSimAdapterModel(kind)) {
        std::string names;
        for (const SimAdapterModel& m : SimAdapterModels()) names += std::string(names.empty() ? "" : ", ") + m.keyword;
        return SimFail(error, "unknown adapter model '" + kind + "' (one of " + names + ")");
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
            return SimFail(error, "'subsystem=' takes VENDOR:ID");
        o.subsystemVendor = std::uint16_t(sv);
        o.subsystemId = std::uint16_t(sid);
    }
    if (line.TakeOption("probe", &text)) {
        if (text != "rw" && text != "ro") return SimFail(error, "'probe=' takes rw or ro");
        o.probeRegisterWritable = text == "rw";
    }
    if (line.TakeOption("cap", &text)) {
        if (text == "pcie") o.capability = kPcie;
        else if (text == "agp") o.capability = kAgp;
        else if (text == "none") o.capability = 0;
        else return SimFail(error, "'cap=' takes pcie, agp or none");
    }
    o.slave = line.TakeFlag("slave");
    o.romOverFrameBuffer = line.TakeFlag("rom-over-fb");
    o.noRomBar = line.TakeFlag("no-rombar");

    SimAdapter a = AddSimAdapter(*ctx.hw, address, kind, o, error);
    if (!a.function) return false;
    ctx.function = a.function;
    ctx.adapterFunction = a.function;
    ctx.adapterBridge = a.bridge;
    if (a.rom) ctx.hw->AddStorage(a.rom);
    return true;
}
