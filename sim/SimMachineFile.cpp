#include "sim/SimMachineFile.h"
#include "sim/SimAdapters.h"
#include "sim/SimParallelFlash.h"
#include "sim/SimSeprom.h"
#include "sim/SimGpioI2c.h"
#include "sim/SimSpiBoard.h"
#include "sim/SimSmuFirmware.h"
#include "sim/SimSiI1930.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

// ---------------------------------------------------------------- lines

SimMachineLine::SimMachineLine(const std::string& keyword, const std::vector<std::string>& words) : keyword_(keyword) {
    for (const std::string& w : words) {
        Word word;
        std::size_t eq = w.find('=');
        if (eq != std::string::npos && eq > 0) {
            word.key = w.substr(0, eq);
            word.value = w.substr(eq + 1);
        } else {
            word.value = w;
        }
        words_.push_back(word);
    }
}

bool SimMachineLine::TakeWord(std::string* word) {
    for (Word& w : words_) {
        if (!w.used && w.key.empty()) {
            w.used = true;
            *word = w.value;
            return true;
        }
    }
    return false;
}

bool SimMachineLine::TakeFlag(const std::string& flag) {
    for (Word& w : words_) {
        if (!w.used && w.key.empty() && w.value == flag) {
            w.used = true;
            return true;
        }
    }
    return false;
}

bool SimMachineLine::TakeOption(const std::string& key, std::string* value) {
    for (Word& w : words_) {
        if (!w.used && w.key == key) {
            w.used = true;
            *value = w.value;
            return true;
        }
    }
    return false;
}

std::vector<std::pair<std::string, std::string>> SimMachineLine::TakeAllOptions() {
    std::vector<std::pair<std::string, std::string>> out;
    for (Word& w : words_) {
        if (!w.used && !w.key.empty()) {
            w.used = true;
            out.emplace_back(w.key, w.value);
        }
    }
    return out;
}

std::string SimMachineLine::Leftover() const {
    for (const Word& w : words_)
        if (!w.used) return w.key.empty() ? w.value : w.key + "=" + w.value;
    return {};
}

bool ParseSimNumber(const std::string& text, std::uint64_t max, std::uint64_t* out) {
    std::string digits = text;
    std::uint64_t scale = 1;
    if (!digits.empty()) {
        switch (digits.back()) {
        case 'K': case 'k': scale = 1ull << 10; break;
        case 'M': case 'm': scale = 1ull << 20; break;
        case 'G': case 'g': scale = 1ull << 30; break;
        default: break;
        }
        if (scale != 1) digits.pop_back();
    }
    unsigned base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits = digits.substr(2);
    }
    if (digits.empty()) return false;
    std::uint64_t v = 0;
    for (char c : digits) {
        unsigned d;
        if (c >= '0' && c <= '9') d = unsigned(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') d = unsigned(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F') d = unsigned(c - 'A' + 10);
        else return false;
        if (v > (~0ull - d) / base) return false;
        v = v * base + d;
    }
    if (v > ~0ull / scale) return false;
    v *= scale;
    if (v > max) return false;
    *out = v;
    return true;
}

// -------------------------------------------------------------- context

std::string SimMachineContext::ResolvePath(const std::string& path) const {
    if (path.empty() || path[0] == '/' || baseDir.empty()) return path;
    return baseDir + "/" + path;
}

std::shared_ptr<SimStorage> SimMachineContext::Storage(const std::string& path, std::size_t size, std::string* error) {
    std::string full = ResolvePath(path);
    for (auto& s : storages) {
        if (s->Path() != full) continue;
        if (size != 0 && size != s->Size()) {
            *error = "'" + path + "' is already used with size " + std::to_string(s->Size());
            return nullptr;
        }
        return s;
    }
    std::shared_ptr<SimStorage> s = SimStorage::LoadLocked(full, size, error);
    if (!s) return nullptr;
    storages.push_back(s);
    hw->AddStorage(s);
    return s;
}

std::vector<std::string> SplitSimValue(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::string item;
    std::istringstream in(text);
    while (std::getline(in, item, sep)) parts.push_back(item);
    if (!text.empty() && text.back() == sep) parts.push_back("");
    return parts;
}

std::string SimUnknownPartMessage(const std::string& kind, const std::string& name,
                                  const std::vector<std::string>& known) {
    std::string text = "unknown " + kind + " part '" + name + "' (known:";
    for (std::size_t i = 0; i < known.size(); ++i) text += (i ? ", " : " ") + known[i];
    return text + ")";
}

bool ParseSimStuckBits(const std::string& text, std::uint32_t* address, std::uint8_t* high, std::uint8_t* low) {
    std::vector<std::string> p = SplitSimValue(text, ':');
    std::uint64_t a = 0, h = 0, l = 0;
    if (p.size() != 3 || !ParseSimNumber(p[0], 0xFFFFFFFF, &a) || !ParseSimNumber(p[1], 0xFF, &h) ||
        !ParseSimNumber(p[2], 0xFF, &l))
        return false;
    *address = std::uint32_t(a);
    *high = std::uint8_t(h);
    *low = std::uint8_t(l);
    return true;
}

// ------------------------------------------------------------- keywords

namespace {

// A required number, either a positional word or an option.
bool NumberWord(SimMachineLine& line, const char* what, std::uint64_t max, std::uint64_t* out, std::string* error) {
    std::string w;
    if (!line.TakeWord(&w)) return SimFail(error, std::string("'") + line.Keyword() + "' needs " + what);
    if (!ParseSimNumber(w, max, out)) return SimFail(error, std::string("bad ") + what + " '" + w + "'");
    return true;
}

bool NumberOption(SimMachineLine& line, const char* key, std::uint64_t max, bool required, std::uint64_t* out,
                  std::string* error) {
    std::string w;
    if (!line.TakeOption(key, &w)) {
        if (required) return SimFail(error, std::string("'") + line.Keyword() + "' needs " + key + "=");
        return true;
    }
    if (!ParseSimNumber(w, max, out)) return SimFail(error, std::string("bad ") + key + " '" + w + "'");
    return true;
}

bool DoFunction(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    std::string where;
    if (!line.TakeWord(&where)) return SimFail(error, "'function' needs an address such as 0000:01:00.0");
    SimPciAddress address;
    if (!SimPciAddress::Parse(where, &address)) return SimFail(error, "bad PCI address '" + where + "'");
    std::uint64_t vendor = 0, device = 0;
    if (!NumberOption(line, "vendor", 0xFFFF, true, &vendor, error)) return false;
    if (!NumberOption(line, "device", 0xFFFF, true, &device, error)) return false;
    ctx.function = ctx.hw->AddFunction(address, std::uint16_t(vendor), std::uint16_t(device));
    if (!ctx.function) return SimFail(error, "function " + address.Name() + " is described twice");
    return true;
}

bool DoRevision(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    std::uint64_t v;
    if (!NumberWord(line, "a revision", 0xFF, &v, error)) return false;
    ctx.function->SetRevision(std::uint8_t(v));
    return true;
}

bool DoClass(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    std::uint64_t v;
    if (!NumberWord(line, "a class code", 0xFFFFFF, &v, error)) return false;
    ctx.function->SetClassCode(std::uint32_t(v));
    return true;
}

bool DoSubsystem(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    std::uint64_t vendor, id;
    if (!NumberWord(line, "a subsystem vendor", 0xFFFF, &vendor, error)) return false;
    if (!NumberWord(line, "a subsystem ID", 0xFFFF, &id, error)) return false;
    ctx.function->SetSubsystem(std::uint16_t(vendor), std::uint16_t(id));
    return true;
}

bool DoCommand(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    std::uint64_t v;
    if (!NumberWord(line, "a command value", 0xFFFF, &v, error)) return false;
    ctx.function->SetCommand(std::uint16_t(v));
    return true;
}

// Two functions decoding one address would both answer; a base of 0 is
// unassigned and claims nothing.
bool RangeIsFree(SimMachineContext& ctx, bool io, std::uint64_t base, std::uint64_t size, const std::string& what,
                 std::string* error) {
    std::string other;
    if (base == 0 || !ctx.hw->Overlaps(io, base, size, &other)) return true;
    char at[24];
    std::snprintf(at, sizeof at, "0x%llx", static_cast<unsigned long long>(base));
    return SimFail(error, what + " at " + at + " overlaps " + other);
}

bool DoBar(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    std::uint64_t index;
    if (!NumberWord(line, "a BAR index", 5, &index, error)) return false;
    std::string kindWord;
    if (!line.TakeWord(&kindWord)) return SimFail(error, "'bar' needs a kind: mem32, mem64 or io");
    SimBarKind kind;
    if (kindWord == "mem32") kind = SimBarKind::Mem32;
    else if (kindWord == "mem64") kind = SimBarKind::Mem64;
    else if (kindWord == "io") kind = SimBarKind::Io;
    else return SimFail(error, "unknown BAR kind '" + kindWord + "' (mem32, mem64 or io)");
    std::uint64_t size = 0, base = 0;
    if (!NumberOption(line, "size", ~0ull, true, &size, error)) return false;
    if (!NumberOption(line, "base", ~0ull, true, &base, error)) return false;
    bool prefetch = line.TakeFlag("prefetch");
    bool regs = line.TakeFlag("regs");
    bool memory = line.TakeFlag("memory");
    if (regs && memory) return SimFail(error, "a BAR is either 'regs' or 'memory'");
    SimBarRole role = regs ? SimBarRole::Registers
                      : memory ? SimBarRole::Memory
                      : prefetch ? SimBarRole::Memory : SimBarRole::Registers;
    if (!RangeIsFree(ctx, kind == SimBarKind::Io, base, size, "BAR " + std::to_string(index), error)) return false;
    return ctx.function->AddBar(int(index), kind, size, prefetch, base, role, error);
}

bool DoRomBar(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    if (line.TakeFlag("unimplemented")) {
        ctx.function->SetRomBarUnimplemented();
        return true;
    }
    std::uint64_t size = 0, base = 0;
    if (!NumberOption(line, "size", 0xFFFFFFFF, true, &size, error)) return false;
    if (!NumberOption(line, "base", 0xFFFFFFFF, true, &base, error)) return false;
    if (!RangeIsFree(ctx, false, base, size, "the ROM BAR", error)) return false;
    return ctx.function->SetRomBar(std::uint32_t(size), std::uint32_t(base), error);
}

bool DoCap(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    std::uint64_t id, at = 0, length = 0;
    if (!NumberWord(line, "a capability ID", 0xFF, &id, error)) return false;
    if (!NumberOption(line, "at", 0xFF, false, &at, error)) return false;
    if (!NumberOption(line, "length", 0xC0, false, &length, error)) return false;
    if (ctx.function->AddCapability(std::uint8_t(id), std::uint8_t(at), std::uint8_t(length)) == 0)
        return SimFail(error, "capability does not fit (offsets 0x40-0xFC, dword aligned)");
    return true;
}

bool DoCapLoop(SimMachineContext& ctx, SimMachineLine&, std::string*) {
    ctx.function->LoopCapabilities();
    return true;
}

// OFF=VALUE lists of 'config' and 'config-mask'.
bool ConfigList(SimMachineContext& ctx, SimMachineLine& line, bool mask, std::string* error) {
    std::uint64_t width = 4;
    if (!NumberOption(line, "width", 4, false, &width, error)) return false;
    if (width != 1 && width != 2 && width != 4) return SimFail(error, "width must be 1, 2 or 4");
    auto pairs = line.TakeAllOptions();
    if (pairs.empty()) return SimFail(error, "'" + line.Keyword() + "' needs OFFSET=VALUE");
    std::uint64_t maxValue = width == 4 ? 0xFFFFFFFFull : (1ull << (8 * width)) - 1;
    for (auto& [k, v] : pairs) {
        std::uint64_t off, value;
        if (!ParseSimNumber(k, 0x100 - width, &off)) return SimFail(error, "bad configuration offset '" + k + "'");
        if (!ParseSimNumber(v, maxValue, &value)) return SimFail(error, "bad value '" + v + "'");
        if (mask) ctx.function->SetConfigWriteMask(std::uint8_t(off), int(width), std::uint32_t(value));
        else ctx.function->PresetConfig(std::uint8_t(off), int(width), std::uint32_t(value));
    }
    return true;
}

bool DoConfig(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    return ConfigList(ctx, line, false, error);
}

bool DoConfigMask(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    return ConfigList(ctx, line, true, error);
}

bool DoReg(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    auto pairs = line.TakeAllOptions();
    if (pairs.empty()) return SimFail(error, "'reg' needs OFFSET=VALUE");
    for (auto& [k, v] : pairs) {
        std::uint64_t off, value;
        if (!ParseSimNumber(k, 0xFFFFFFFC, &off) || (off & 3))
            return SimFail(error, "bad register offset '" + k + "' (a multiple of 4)");
        if (!ParseSimNumber(v, 0xFFFFFFFF, &value)) return SimFail(error, "bad value '" + v + "'");
        ctx.function->Registers().Poke(std::uint32_t(off), std::uint32_t(value));
    }
    return true;
}

bool DoRom(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    std::uint64_t size = 0;
    if (!NumberOption(line, "size", 64ull << 20, false, &size, error)) return false;
    bool writable = line.TakeFlag("writable");
    std::string path;
    std::shared_ptr<SimStorage> storage;
    if (line.TakeOption("file", &path)) {
        if (path.empty()) return SimFail(error, "'file=' needs a path");
        // A missing file takes the ROM BAR size when no size is given.
        std::string full = ctx.ResolvePath(path);
        std::size_t want = std::size_t(size);
        if (want == 0) {
            std::FILE* probe = std::fopen(full.c_str(), "rb");
            if (probe) std::fclose(probe);
            else want = ctx.function->RomBarSize();
        }
        storage = ctx.Storage(path, want, error);
        if (!storage) return false;
    } else {
        std::size_t want = size ? std::size_t(size) : ctx.function->RomBarSize();
        if (want == 0) return SimFail(error, "'rom' needs size= (no ROM BAR size to take)");
        storage = std::make_shared<SimStorage>(want);
    }
    ctx.function->SetRomModel(std::make_shared<SimRomBytes>(storage, writable));
    return true;
}

bool DoRomIndex(SimMachineContext& ctx, SimMachineLine&, std::string*) {
    ctx.function->AddRomIndexRegisters();
    return true;
}

bool DoListing(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    std::vector<std::string> names;
    std::string w;
    while (line.TakeWord(&w)) names.push_back(w);
    for (auto& [k, v] : line.TakeAllOptions()) names.push_back(k + "=" + v);
    if (names.empty()) return SimFail(error, "'listing' needs at least one name");
    ctx.hw->AppendPciListing(names);
    return true;
}

bool DoListingUnreadable(SimMachineContext& ctx, SimMachineLine&, std::string*) {
    ctx.hw->SetPciListingUnreadable(true);
    return true;
}

bool DoLegacy(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    if (line.TakeFlag("unmappable")) {
        ctx.hw->SetLegacyUnmappable(true);
        return true;
    }
    std::string path;
    if (!line.TakeOption("file", &path) || path.empty()) return SimFail(error, "'legacy' needs file=PATH or unmappable");
    // Read-only content: loaded, never written back.
    std::shared_ptr<SimStorage> s = SimStorage::Load(ctx.ResolvePath(path), 0, error);
    if (!s) return false;
    if (s->Size() > kSimLegacySize) return SimFail(error, "'" + path + "' is larger than the 128K legacy window");
    ctx.hw->SetLegacyContent(s->Bytes());
    return true;
}

bool DoMapFail(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    std::uint64_t first, last;
    if (!NumberWord(line, "a first address", ~0ull, &first, error)) return false;
    if (!NumberWord(line, "a last address", ~0ull, &last, error)) return false;
    if (last < first) return SimFail(error, "the last address is below the first");
    ctx.hw->FailMappings(first, last);
    return true;
}

bool DoIopl(SimMachineContext& ctx, SimMachineLine& line, std::string* error) {
    if (!line.TakeFlag("fail")) return SimFail(error, "'iopl' takes the word 'fail'");
    ctx.hw->SetIoplFails(true);
    return true;
}

// Every statement of the format. New device models add their keywords here
// (their handlers may live with the model).
const SimMachineKeyword kKeywords[] = {
    {"function", false, DoFunction},
    {"revision", true, DoRevision},
    {"class", true, DoClass},
    {"subsystem", true, DoSubsystem},
    {"command", true, DoCommand},
    {"bar", true, DoBar},
    {"rombar", true, DoRomBar},
    {"cap", true, DoCap},
    {"cap-loop", true, DoCapLoop},
    {"config", true, DoConfig},
    {"config-mask", true, DoConfigMask},
    {"reg", true, DoReg},
    {"rom", true, DoRom},
    {"romindex", true, DoRomIndex},
    {"listing", false, DoListing},
    {"listing-unreadable", false, DoListingUnreadable},
    {"legacy", false, DoLegacy},
    {"mapfail", false, DoMapFail},
    {"iopl", false, DoIopl},
    {"adapter", false, SimAdapterStatement},
    {"seprom", true, SimSepromStatement},
};

const SimMachineKeyword* FindKeyword(const std::string& name) {
    for (const SimMachineKeyword& k : kKeywords)
        if (name == k.name) return &k;
    for (const SimMachineKeyword& k : kSimSpiKeywords)
        if (name == k.name) return &k;
    for (const SimMachineKeyword& k : kSimParallelKeywords)
        if (name == k.name) return &k;
    for (const SimMachineKeyword& k : kSimI2cKeywords)
        if (name == k.name) return &k;
    for (const SimMachineKeyword& k : kSimSmuKeywords)
        if (name == k.name) return &k;
    for (const SimMachineKeyword& k : kSimSiI1930Keywords)
        if (name == k.name) return &k;
    return nullptr;
}

std::vector<std::string> SplitWords(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

}  // namespace

// --------------------------------------------------------------- parsing

std::unique_ptr<SimHardware> ParseSimMachine(const std::string& text, const std::string& name,
                                             const std::string& baseDir, std::string* error) {
    auto hw = std::make_unique<SimHardware>();
    SimMachineContext ctx;
    ctx.hw = hw.get();
    ctx.baseDir = baseDir;
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    while (std::getline(in, raw)) {
        ++lineNo;
        std::size_t hash = raw.find('#');
        if (hash != std::string::npos) raw.erase(hash);
        std::vector<std::string> words = SplitWords(raw);
        if (words.empty()) continue;
        std::string keyword = words.front();
        words.erase(words.begin());
        auto fail = [&](const std::string& message) {
            *error = name + ":" + std::to_string(lineNo) + ": " + message;
            return nullptr;
        };
        const SimMachineKeyword* k = FindKeyword(keyword);
        if (!k) return fail("unknown statement '" + keyword + "'");
        if (k->needsFunction && !ctx.function) return fail("'" + keyword + "' must follow a 'function' line");
        SimMachineLine line(keyword, words);
        std::string message;
        if (!k->handler(ctx, line, &message)) return fail(message);
        std::string left = line.Leftover();
        if (!left.empty()) return fail("unexpected '" + left + "' in '" + keyword + "'");
    }
    return hw;
}

std::unique_ptr<SimHardware> LoadSimMachine(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read machine file '" + path + "': " + std::strerror(errno);
        return nullptr;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        *error = "cannot read machine file '" + path + "'";
        return nullptr;
    }
    std::size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
    return ParseSimMachine(text.str(), path, dir, error);
}

std::unique_ptr<SimHardware> CreateSimFromEnvironment(std::string* error) {
    const char* path = std::getenv("VORBANMILL_SIM_MACHINE");
    if (!path || !*path) return CreateDemoMachine();
    return LoadSimMachine(path, error);
}
