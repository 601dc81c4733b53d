// The write rule on random cases: each case draws a board (every flash
// interface of the simulator), its part and ROM window, the board's ROM, an
// image, a writing command with its switches and up to two faults, runs it
// through vorbanmill-sim and judges the part's file and the exit code with
// an oracle of its own. VM_RULE_SEED=S VM_RULE_CASES=N run N cases from
// seed S instead of the fixed set, VM_RULE_TIMEOUT=T bounds each run (s),
// and VM_RULE_KEEP=DIR keeps each case's files in DIR/SEED to run by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "e2e/TailBlockFixtures.h"
#include "sim/SimAdapters.h"
#include "sim/SimParallelFlash.h"
#include "sim/SimSpiBoard.h"
#include "sim/SimSpiFlash.h"
#include "support/ParallelWiring.h"

using vmtest::Bytes;

namespace {

std::string Hex(std::uint64_t v, const char* format = "0x%llX") {
    char s[24];
    std::snprintf(s, sizeof s, format, static_cast<unsigned long long>(v));
    return s;
}

struct Draw {
    std::mt19937_64 rng;
    std::uint32_t Below(std::uint64_t n) { return n ? std::uint32_t(rng() % n) : 0; }
    bool Chance(unsigned percent) { return Below(100) < percent; }
    template <class T>
    T Pick(const std::vector<T>& v) {
        return v[Below(v.size())];
    }
    Bytes Noise(std::size_t n) {
        Bytes b(n);
        for (auto& x : b) x = std::uint8_t(rng());
        return b;
    }
};

enum class Bus { Spi, Bridge, Seprom, Parallel, I2cEngine, I2cGpio };

struct Board {
    Bus bus = Bus::Spi;
    std::string head, part, after;  // statements before, of and after the part (file= and faults follow it)
    std::string table, note;        // quendrix.rom (empty: the built-in table), and what it says of the part
    std::uint32_t partSize = 0, window = 0x1000000, reach = 0, minErase = 0;
    std::uint64_t tableSize = 0;  // the ROM size the program's table names
    std::uint16_t device = 0;
    bool swizzled = false, eeprom = false, pagePart = false, preserve = false, signedImages = false;
    unsigned strap = 0;  // strap bits the program copies into an image
    std::string sst;     // the switch a strap that names another part needs
    const SimSpiPartModel* spi = nullptr;
    std::string status;  // the part's status as its .status file holds it
    bool statusFile = false, locked = false;
    std::uint32_t page = 0;  // a parallel part's program page (0: byte programmed)
};

// The built-in table's entries that name another size than the part's own.
std::uint64_t BuiltinSize(const SimSpiPartModel& p) {
    return p.name == "F25L01PA" ? 0x10000 : p.name == "IS25LP016D" ? 0x100000 : p.size;
}

void SetSpiPart(Board& b, const std::string& name) {
    b.spi = FindSimSpiPart(name);
    b.partSize = b.minErase = b.spi->size;
    for (const auto& e : b.spi->blockErases) b.minErase = std::min(b.minErase, e.size);
}

// A status register that may lock the part; the SST parts keep none.
void DrawStatus(Draw& d, Board& b) {
    if (b.spi->volatileStatus) return;
    unsigned v = b.spi->initialStatus;
    b.statusFile = d.Chance(40);
    if (b.statusFile) v = d.Pick<unsigned>({0x00, 0x04, 0x0C, 0x1C, 0x8C, 0x9C}) & b.spi->writableStatus;
    b.status = Hex(v & 0xFC, "0x%02llX\n");
    const bool wp = d.Chance(20);
    if (wp) b.part += " wp";
    b.locked = wp && (v & 0x80) && (v & 0x1C);
}

std::string Asic(const char* name, const char* family, bool preserve, unsigned device) {
    char s[160];
    std::snprintf(s, sizeof s, "asic \"%s\" %s 1 0 0 0 %u\ndet_pcicmp 2 ffff %04X %04X det_pass\n%s", name, family,
                  preserve ? 1u : 0u, device, device,
                  preserve ? "preserve_table 1\npreserve_byte 7a 3\npreserve_byte 7b f0\n" : "");
    return s;
}

Board SpiBoard(Draw& d) {
    static const std::vector<std::string> kinds = {"orpane", "tovarne",       "ombrel", "ulvane", "wenmar",
                                                   "gethra", "gethra-hobran", "hobran", "fyrand"};
    Board b;
    const std::string kind = d.Pick(kinds);
    SetSpiPart(b, d.Pick(SimSpiPartNames()));
    b.tableSize = BuiltinSize(*b.spi);
    b.device = FindSimSpiBoard(kind)->device;
    b.signedImages = kind.find("gethra") == 0 || kind == "hobran" || kind == "fyrand";
    b.part = "spiboard 0000:01:00.0 " + kind + " part=" + b.spi->name;
    DrawStatus(d, b);
    if (kind == "orpane" && d.Chance(40)) {
        b.strap = 1 + d.Below(3);
        b.after = "reg 0x20C=" + Hex(b.strap << 9) + "\n";
    }
    return b;
}

std::uint32_t DrawWindow(Draw& d) { return d.Pick<std::uint32_t>({0x8000, 0x10000, 0x20000, 0x20000, 0x40000}); }

// Serial EEPROMs: behind the bridge, whose strap names the part's type and
// size, or on a board's own controller, which only a text table names.
Board SepromBoard(Draw& d, bool bridge) {
    static const std::vector<std::string> parts = {"M25P05",     "M25P10",     "M25P20",    "M25P40",    "M25P80",
                                                   "AT25F512",   "AT25F1024",  "AT25F2048", "AT25F4096", "SST25VF512",
                                                   "SST25VF010", "SST25VF020", "SST25VF040"};
    Board b;
    b.bus = bridge ? Bus::Bridge : Bus::Seprom;
    SetSpiPart(b, d.Pick(parts));
    b.window = DrawWindow(d);
    const bool atmel = b.spi->name.rfind("AT", 0) == 0, sst = b.spi->name.rfind("SST", 0) == 0;
    // Nothing identifies the part behind these controllers: the program
    // counts the widest sector its command set erases.
    b.minErase = sst ? 0x8000 : 0x10000;
    if (bridge) {
        const unsigned strap = atmel ? 1 : d.Pick<unsigned>({2, 3});
        b.tableSize = strap == 2 ? 0x10000 : 0x20000;
        b.device = FindSimAdapterModel("nerrow")->device;
        b.head = "adapter 0000:01:00.0 nerrow strap=" + std::to_string(strap) + " romsize=" + Hex(b.window) + "\n";
        if (sst) b.sst = "-sst";
    } else {
        b.tableSize = d.Pick<std::uint64_t>({0x10000, 0x20000, 0x40000});
        b.device = 0x7B00;
        b.preserve = d.Chance(30);
        b.head = "adapter 0000:01:00.0 quor device=0x7B00 romsize=" + Hex(b.window) + "\n";
        b.note = std::string(atmel ? "type_vosk_at25f "
                             : sst ? "type_vosk_sst "
                                   : "type_vosk_stm25p ") +
                 Hex(b.tableSize, "%llx");
        b.table = "format 1.0\ntype_table 1\ntype_table_entry 0 0 \"Serial\" " + b.note + " 1 1\n" +
                  Asic("Vosk Board", "tev_halm", b.preserve, 0x7B00) + "end\n";
    }
    b.part = "seprom part=" + b.spi->name;
    DrawStatus(d, b);
    return b;
}

// Parallel parts, listed in the text table, sometimes one under twice its
// size (it then shows twice in what the program reads).
Board ParallelBoard(Draw& d, std::uint64_t* entrySize) {
    Board b;
    b.bus = Bus::Parallel;
    const SimParallelPartModel* p = FindSimParallelPart(d.Pick(SimParallelPartNames()));
    b.partSize = p->size;
    b.pagePart = p->pageSize != 0;
    b.page = p->pageSize;
    b.window = DrawWindow(d);
    b.swizzled = d.Chance(50);
    b.device = 0x4160;
    b.preserve = d.Chance(30);
    b.tableSize = p->size < 0x40000 && d.Chance(20) ? p->size * 2 : p->size;
    // What stands when the part gives no ID: never less than the part, or
    // the program could not know what an erase of the whole chip reaches.
    *entrySize = p->size << d.Below(p->size < 0x40000 ? 2 : 1);
    b.head = "adapter 0000:01:00.0 quor device=0x4160 romsize=" + Hex(b.window) + "\n";
    b.part = "parallelflash part=" + p->name + (b.swizzled ? " swizzled" : "");
    b.note = "entry " + Hex(*entrySize) + ", part listed " + Hex(b.tableSize);
    b.table = "format 1.0\ntype_table 1\ntype_table_entry 0 0 \"Parallel\" type_parallel " + Hex(*entrySize, "%llx") +
              " 1 " + std::to_string(d.Below(2)) + "\n" + Asic("Oskel Parallel", "tev_oskel", b.preserve, 0x4160);
    for (const std::string& name : SimParallelPartNames()) {
        const SimParallelPartModel* q = FindSimParallelPart(name);
        char line[96];
        std::snprintf(line, sizeof line, "parallel %02x%02x \"%s\" %x %x\n", q->device, q->manufacturer, name.c_str(),
                      unsigned(q == p ? b.tableSize : q->size), q->pageSize);
        b.table += line;
    }
    b.table += "end\n";
    return b;
}

Board I2cBoard(Draw& d, bool gpio) {
    Board b;
    b.bus = gpio ? Bus::I2cGpio : Bus::I2cEngine;
    b.eeprom = true;
    b.partSize = d.Pick<std::uint32_t>({128, 256});
    b.tableSize = gpio ? 0x100 : 0x80;
    const std::string size =
        " size=" + std::to_string(b.partSize) + " page=" + std::to_string(d.Pick<unsigned>({8, 16}));
    b.device = gpio ? 0x4152 : FindSimAdapterModel("pardel")->device;
    b.head = gpio ? "adapter 0000:01:00.0 quor device=0x4152\n" : "adapter 0000:01:00.0 pardel\n";
    b.part = (gpio ? "i2ceeprom bus=gpio" : "i2ceeprom") + size;
    if (gpio) b.table = vmtest::ReadFile(VM_SOURCE_DIR "/tests/engine/fixtures/gpio_i2c_board.rom");
    if (gpio) b.note = "gpio_i2c_board.rom";
    return b;
}

void SetReach(Board& b, std::uint64_t tableSize) {
    b.tableSize = tableSize;
    b.reach = std::uint32_t(std::min<std::uint64_t>({b.partSize, tableSize, b.window, 0x100000}));
}

// The part's file holds bytes in the part's own space.
std::uint32_t PartAddress(const Board& b, std::uint32_t at) { return b.swizzled ? vmtest::PermutedPartAddress(at) : at; }
std::uint8_t Wire(const Board& b, std::uint8_t v, bool toPart) {
    return b.swizzled ? vmtest::PermutedData(v, toPart) : v;
}
Bytes ToFile(const Board& b, const Bytes& rom) { return b.swizzled ? vmtest::PermutedPartFile(rom) : rom; }
Bytes FromFile(const Board& b, const Bytes& f) {
    Bytes rom(f);
    for (std::uint32_t i = 0; i < rom.size() && f.size() == b.partSize; ++i)
        rom[i] = Wire(b, f[PartAddress(b, i)], false);
    return rom;
}

std::uint32_t Le16(const Bytes& b, std::size_t at) { return at + 2 <= b.size() ? b[at] | b[at + 1] << 8 : 0; }
std::uint32_t Le32(const Bytes& b, std::size_t at) { return Le16(b, at) | Le16(b, at + 2) << 16; }

// A PC BIOS image as the program's check sees one: signature, size, sum 0.
bool Valid(const Bytes& b, std::size_t length) {
    const std::size_t n = length >= 3 ? std::size_t(b[2]) * 512 : 0;
    return n && b[0] == 0x55 && b[1] == 0xAA && n <= length && vmtest::Sum8(b.data(), n) == 0;
}
bool LegacyFirst(const Bytes& b) {
    const std::uint32_t p = Le16(b, 0x18);
    return b.size() > 2 && b[0] == 0x55 && b[1] == 0xAA && p + 0x18 <= b.size() &&
           std::equal(b.begin() + p, b.begin() + p + 4, "PCIR") && b[p + 0x14] == 0;
}

// Legacy images are at most 16 KiB, so the tail blocks of a ROM of 32 KiB
// or more never fall inside them: the keep switches and "-isr"/"-prod"
// leave an image's CRC as it is.
Bytes Bios(std::uint16_t device, unsigned n512, const char* version, bool foreign, bool efi) {
    vmtest::RomImageBuilder r;
    r.n512 = n512;
    r.deviceId = device;
    r.strings[6] = version;
    r.Patch(0x76, {0x02, 0x10, 0x00, std::uint8_t(foreign ? 0x0C : 0x0B)});
    if (foreign) r.ssid = 0x0C00, r.partNumber = "113-OTHER9-100";
    if (efi) r.efiImages = {8};
    return r.Build();
}

bool BlockValid(const Bytes& rom, std::uint32_t at, bool isr, bool sumToo = true) {
    const std::string mark = isr ? "ISR" : "SN";
    return at + 16 <= rom.size() && std::equal(mark.begin(), mark.end(), rom.begin() + at) &&
           std::equal(mark.begin(), mark.end(), rom.begin() + at + 14) &&
           (!sumToo || vmtest::Sum8(rom.data() + at, isr ? 20 : 16) == 0);
}

enum class Mark { Stuck, Misprogram, NoTake, Unerased };
struct Cell {
    std::uint32_t at;
    Mark mark;
    std::uint8_t high = 0, low = 0;  // ROM-side bits
};

struct Faults {
    std::vector<std::string> options;
    std::vector<Cell> cells;   // cells a fault keeps from their data, for a while or for good
    bool lasting = false;      // a fault no count of attempts outlasts
    bool uncertain = false;    // no count of attempts is known to outlast it
    bool dead = false;         // the part stops taking data: any cell may keep its old or erased value
    bool eraseDefect = false;  // a cell that will not erase: a run may fail though the data took
    bool noId = false;
    bool blind = false;  // the program cannot read the part as it stands
    unsigned eraseFails = 0, writeFails = 0, misprograms = 0;
    bool Has(const std::string& key) const {
        return std::any_of(options.begin(), options.end(), [&](const std::string& o) { return o.rfind(key, 0) == 0; });
    }
    void Add(const std::string& key, const std::string& value) {
        for (auto& o : options)
            if (key == "fault" && o.rfind("fault=", 0) == 0) return void(o += "," + value);
        options.push_back(key + "=" + value);
    }
};

enum class Cmd { P, Pa, Keep, Mi, Mb, Isr, Prod };

struct Case {
    std::uint64_t seed = 0;
    Board board;
    Bytes old, original, image;  // ROM views; `original` is the board's ROM as its backup holds it
    std::string romKind, imageKind;
    Cmd cmd = Cmd::P;
    std::vector<std::string> args;
    bool foreign = false, force = false, fa = false, fv = false, fs = false, fp = false, retain = false;
    bool padevOk = true, keepIsr = false, keepSn = false;
    unsigned attempts = 1;
    Faults faults;

    std::uint32_t R() const { return board.reach; }
    std::string Machine() const {
        std::string m = board.head + board.part + " file=flash.rom";
        for (const auto& o : faults.options) m += " " + o;
        return m + "\n" + board.after;
    }
};

void DrawRom(Draw& d, Case& c) {
    const std::uint32_t R = c.R();
    c.old = d.Noise(c.board.partSize);
    if (c.board.eeprom) {
        c.romKind = d.Chance(30) ? "blank" : "data";
        if (c.romKind == "blank") std::fill(c.old.begin(), c.old.end(), 0xFF);
        c.old[0] = 0x12;  // neither a BIOS nor a record area
        c.old[2] = 0;
    } else {
        c.romKind = d.Pick<std::string>({"bios", "bios", "bios+efi", "blank", "damaged", "data", "efi"});
        if (c.romKind != "data" && d.Chance(60)) std::fill(c.old.begin(), c.old.begin() + R, 0xFF);
        if (c.romKind != "blank" && c.romKind != "data") {
            Bytes bios = Bios(c.board.device, d.Pick<unsigned>({8, 16, 32}), "VER010.005.000.000", false,
                              c.romKind != "bios" && c.romKind != "damaged");
            bios[0x7A] = 0x5A;  // settings the preserve list keeps
            bios[0x7B] = 0xC3;
            vmtest::RomImageBuilder::FixChecksum(bios, bios[2] * 512u);
            if (c.romKind == "efi") bios.erase(bios.begin(), bios.begin() + bios[2] * 512);
            std::copy_n(bios.begin(), std::min<std::size_t>(bios.size(), R), c.old.begin());
        }
    }
    if (R >= 64 && d.Chance(40)) std::copy_n(vmtest::IsrBytes(1234, 56).begin(), 20, c.old.begin() + R - 20);
    if (R >= 64 && d.Chance(40)) std::copy_n(vmtest::SnBytes(123, 456789).begin(), 16, c.old.begin() + R - 36);
    c.original.assign(c.old.begin(), c.old.begin() + R);
    if (c.romKind == "damaged") c.old[0x40 + d.Below(0x100)] ^= 0x5A;
}

// Shorter, as long as or longer than the ROM: a newer BIOS, the board's
// own backup, a foreign BIOS; an EEPROM gets data.
void DrawImage(Draw& d, Case& c) {
    const std::uint32_t R = c.R();
    std::uint32_t length = std::max<std::uint32_t>(1 + d.Below(R), R / 8);
    if (d.Chance(25))
        length = R;
    else if (d.Chance(33))
        length = R + 1 + d.Below(d.Chance(50) ? 16 : R);
    if (c.board.eeprom) {
        c.imageKind = "data";
        c.image = d.Noise(length);
        c.image[0] = 0x34;
        if (length > 2) c.image[2] = 0;
        return;
    }
    c.imageKind = d.Pick<std::string>({"new", "new", "new+efi", "foreign", "same", "same"});
    if (c.imageKind == "same" && (c.romKind == "blank" || c.romKind == "data" || c.romKind == "efi"))
        c.imageKind = "new";
    c.foreign = c.imageKind == "foreign";
    if (c.imageKind == "same") {
        c.image = c.original;
        if (d.Chance(40)) length = std::min<std::uint32_t>(c.image[2] * 512u, R);  // the BIOS alone
    } else {
        c.image = Bios(std::uint16_t(c.board.device ^ (c.foreign ? 0x10 : 0)), d.Pick<unsigned>({4, 8, 16, 32}),
                       c.foreign ? "VER009.004.000.000" : "VER010.006.000.000", c.foreign, c.imageKind == "new+efi");
    }
    const Bytes tail = d.Noise(length);
    if (c.image.size() < length) c.image.insert(c.image.end(), tail.begin() + c.image.size(), tail.end());
    c.image.resize(std::min<std::uint32_t>(length, 0x100000));  // the program takes at most 1 MiB of a file
}

void DrawCommand(Draw& d, Case& c) {
    c.cmd = d.Pick<Cmd>({Cmd::P, Cmd::P, Cmd::P, Cmd::Pa, Cmd::Keep, Cmd::Keep, Cmd::Mi, Cmd::Mb, Cmd::Isr, Cmd::Prod});
    const bool program = c.cmd == Cmd::P || c.cmd == Cmd::Pa || c.cmd == Cmd::Keep;
    const std::uint16_t filter = std::uint16_t(c.board.device ^ (d.Chance(10) ? 1 : 0));
    c.padevOk = c.cmd != Cmd::Pa || filter == c.board.device;
    switch (c.cmd) {
    case Cmd::P:
    case Cmd::Keep: c.args = {"-p", "0", "new.rom"}; break;
    case Cmd::Pa: c.args = {"-pa", "new.rom", "-padevid=" + Hex(filter, "%04llX")}; break;
    case Cmd::Mi: c.args = {"-mi", "0", "0B361043"}; break;
    case Cmd::Mb: c.args = {"-mb", "0", "ids.txt"}; break;
    case Cmd::Isr: c.args = {"-isr", "0", "7", "8"}; break;
    case Cmd::Prod: c.args = {"-prod", "0", "000777888999"}; break;
    }
    if (c.cmd == Cmd::Keep) {
        const unsigned which = 1 + d.Below(3);
        c.keepIsr = which & 1, c.keepSn = which & 2;
        if (c.keepIsr) c.args.push_back("-keepisrsn");
        if (c.keepSn) c.args.push_back("-keepprodsn");
    }
    if (program) {
        // EEPROM contents are no BIOS: the BIOS checks are drawn on the flash boards.
        const std::pair<bool*, const char*> checks[] = {
            {&c.force, "-f"}, {&c.fa, "-fa"}, {&c.fv, "-fv"}, {&c.fs, "-fs"}, {&c.fp, "-fp"}};
        for (auto [flag, word] : checks)
            if (d.Chance(15) || (flag == &c.force && c.board.eeprom)) c.args.push_back(word), *flag = true;
        // The retain window and the tail blocks share a 128 KiB ROM's last
        // 256 bytes, and on a part that shows twice it would fall on a
        // mirror: the switch goes with "-p" and "-pa" on parts read once.
        const bool once = c.board.partSize >= std::min<std::uint64_t>(c.board.tableSize, c.board.window);
        c.retain = c.cmd != Cmd::Keep && once && d.Chance(15);
        if (c.retain) c.args.push_back("-retain_offset");
    }
    if (!c.board.sst.empty()) c.args.push_back(c.board.sst);
    unsigned retries = 0;
    if (d.Chance(50)) c.args.push_back("-retries=" + std::to_string(retries = d.Below(4)));
    // The commands that hold the board's only copy try each step twice more.
    c.attempts = 1 + (program && c.cmd != Cmd::Keep ? retries : std::max(retries, 2u));
}

// A place for a fault: in the image, at the IDs, in the tail blocks, in
// the retained window, past the image, past what the program reaches.
std::uint32_t DrawPlace(Draw& d, const Case& c) {
    const std::uint32_t R = c.R(), L = std::uint32_t(std::min<std::size_t>(c.image.size(), R)), size = c.board.partSize;
    switch (d.Below(7)) {
    case 0: return std::min<std::uint32_t>(0x76 + d.Below(4) + (d.Chance(50) ? 0xA2 : 0), size - 1);
    case 1: return R - 1 - d.Below(std::min<std::uint32_t>(36, R));
    case 2:
        if (size > 0x20000) return 0x1FF00 + d.Below(0x100);
        break;
    case 3:
        if (L < R) return L + d.Below(R - L);
        break;
    case 4:
        if (size > R) return R + d.Below(size - R);
        break;
    default: break;
    }
    return d.Below(L ? L : R);
}

// A count the attempts outlast, or one no run outlasts.
unsigned HealOrNever(Draw& d, unsigned outlast, unsigned* counter) {
    const unsigned n = outlast && d.Chance(60) ? 1 + d.Below(outlast) : 1000000;
    *counter += n;
    return n;
}

void DrawFault(Draw& d, Case& c) {
    const Board& b = c.board;
    Faults& f = c.faults;
    const std::uint32_t at = DrawPlace(d, c);
    const std::string where = Hex(PartAddress(b, at));
    const std::uint8_t bit = std::uint8_t(1u << d.Below(8));
    const unsigned slow = d.Chance(50) ? 1 + d.Below(2) : 0;  // waits that end, that retries may outlast, or none
    switch (d.Below(12)) {
    case 0:
    case 1: {  // a bit stuck at 1 or at 0, as the ROM holds it too
        if (b.eeprom && f.Has("stuck")) break;
        const std::uint8_t high = d.Chance(50) ? bit : 0, low = bit & ~high;
        c.old[at] = std::uint8_t((c.old[at] | high) & ~low);
        f.options.push_back("stuck=" + where + ":" + Hex(Wire(b, high, true)) + ":" + Hex(Wire(b, low, true)));
        f.cells.push_back({at, Mark::Stuck, high, low});
        f.lasting = true;
        f.eraseDefect |= low != 0;
        break;
    }
    case 2: {  // a program operation that loads the cell does not take
        const unsigned n = HealOrNever(d, c.attempts, &f.writeFails);
        // A part that takes a byte per command under a larger page programs
        // the cell only in the last attempt's byte-by-byte rewrite.
        f.uncertain |= b.spi && b.spi->byteProgram;
        f.options.push_back("fail-program-at=" + where + (n > 1 || d.Chance(50) ? ":" + std::to_string(n) : ""));
        f.cells.push_back({at, Mark::NoTake});
        f.lasting |= n >= 1000000;
        break;
    }
    case 3: {  // ... or clears a bit more there
        const unsigned n = HealOrNever(d, c.attempts - 1, &f.misprograms);
        f.uncertain |= b.spi && b.spi->byteProgram;
        f.options.push_back("misprogram-at=" + where + ":" + Hex(Wire(b, bit, true)) + ":" + std::to_string(n));
        f.cells.push_back({at, Mark::Misprogram, 0, bit});
        f.lasting |= n >= 1000000;
        break;
    }
    case 4: {  // no program operation takes: the part takes no data at all
        if (f.Has("fail-programs")) break;
        const unsigned n = HealOrNever(d, c.attempts, &f.writeFails);
        f.Add("fail-programs", std::to_string(n));
        f.dead |= n >= 1000000;
        break;
    }
    case 5:  // an EEPROM has no erase
        if (b.eeprom || f.Has("fail-erases")) break;
        f.Add("fail-erases", std::to_string(HealOrNever(d, c.attempts - 1, &f.eraseFails)));
        f.eraseDefect |= f.eraseFails >= 1000000;
        break;
    case 6:  // slow parts
        if (b.spi && !f.Has("erase-ms")) {
            f.Add("erase-ms", std::to_string(slow == 2 ? 600000 : slow ? 45000 : 50));
            f.Add("busy-polls", slow ? "3:100000:3" : "5:50:5");
        } else if (b.bus == Bus::Parallel && !f.Has("busy")) {
            f.Add("busy", slow == 2 ? "20:5000:100000000" : slow ? "20:5000:3000000" : "40:8000:300000");
        } else if (b.eeprom && !f.Has("busy-us")) {
            f.Add("busy-us", slow ? "2000000" : "9000");
        } else {
            break;
        }
        // An erase of 45 s outlasts what one attempt waits, not what three
        // wait; an EEPROM that takes seconds a page is written by no run.
        // The serial-EEPROM controllers erase sector by sector, each
        // sector slower than a wait, from the first sector again on every
        // attempt; a part that takes a byte per command spends every
        // attempt's write but the last, and each retry erases it anew.
        f.uncertain |= slow != 0;
        f.dead |= slow == 2 || (slow && (b.eeprom || b.bus == Bus::Bridge || b.bus == Bus::Seprom ||
                                          (b.spi && b.spi->byteProgram) || c.attempts < 3));
        break;
    case 7:
        if (b.bus == Bus::Parallel && !f.Has("unerased")) {
            f.options.push_back("unerased=" + where);
            f.cells.push_back({at, Mark::Unerased});
            f.lasting = true;
            f.eraseDefect = true;
        } else if ((b.bus == Bus::Bridge || b.bus == Bus::Seprom) && !f.Has("controller-busy")) {
            f.Add("controller-busy", slow ? "1000000" : "20");
            f.uncertain |= slow != 0;
            f.dead |= slow != 0;
            f.blind |= slow != 0;
        } else if (b.bus == Bus::I2cGpio && !f.Has("stretch")) {
            f.Add("stretch", "3");
        }
        break;
    case 8:
        // A page part that gives no ID is written as a byte part, which
        // leaves one byte of each page: only the byte parts go without it.
        if (b.bus == Bus::Parallel && !b.pagePart && !f.noId) f.Add("fault", "no-id"), f.noId = true;
        break;
    default: {  // a part or bus that stops working for good (a missing part is the reach test's)
        std::vector<std::string> kinds = {"erase-fails", "busy-stuck", "wel-stuck"};
        if (b.bus == Bus::Spi)
            kinds.insert(kinds.end(), {"program-stuck", "unknown-id", "status-never", "status-stuck"});
        if (b.bus == Bus::Bridge || b.bus == Bus::Seprom) kinds.push_back("controller-stuck");
        if (b.bus == Bus::Parallel) kinds = {"erase-stuck"};
        if (b.eeprom) kinds = {"busy-forever", "nack-data", "nack-read", b.bus == Bus::I2cGpio ? "scl-low" : "error"};
        if (b.bus == Bus::I2cGpio) kinds.push_back("sda-held");  // a glitch at power-up the program clocks out
        const std::string k = d.Pick(kinds);
        f.Add("fault", k);
        f.uncertain |= k != "sda-held";
        f.dead |= k == "program-stuck" || (b.eeprom && k != "sda-held");
        f.eraseDefect |= k == "erase-fails";
        f.blind |=
            k != "erase-fails" && k != "wel-stuck" && k != "program-stuck" && k != "erase-stuck" && k != "sda-held";
        break;
    }
    }
}

Case DrawCase(std::uint64_t seed) {
    Draw d{std::mt19937_64(seed)};
    Case c;
    c.seed = seed;
    std::uint64_t entrySize = 0;
    switch (d.Below(8)) {
    case 0:
    case 1:
    case 2: c.board = SpiBoard(d); break;
    case 3:
    case 4: c.board = SepromBoard(d, d.Chance(50)); break;
    case 5: c.board = ParallelBoard(d, &entrySize); break;
    default: c.board = I2cBoard(d, d.Chance(50)); break;
    }
    SetReach(c.board, c.board.tableSize);
    DrawCommand(d, c);
    DrawRom(d, c);
    DrawImage(d, c);
    for (unsigned i = d.Pick<unsigned>({0, 0, 1, 1, 1, 2, 2}); i > 0; --i) DrawFault(d, c);
    if (c.faults.noId) SetReach(c.board, entrySize);  // the table entry's size stands
    // A part that now shows twice keeps no window past its end apart from
    // its start (the retained window is drawn for parts that show once).
    if (c.retain && c.board.partSize < std::min<std::uint64_t>(c.board.tableSize, c.board.window)) {
        c.retain = false;
        c.args.erase(std::remove(c.args.begin(), c.args.end(), "-retain_offset"), c.args.end());
    }
    return c;
}

// The preserve list and the strap bits the program carries into an image,
// and the legacy checksum byte once either changed the legacy image.
void MergeSettings(const Case& c, Bytes& image) {
    const bool valid = Valid(image, image.size());
    const std::uint32_t legacy = image.size() > 2 ? image[2] * 512u : 0;
    bool changed = false;
    auto put = [&](std::uint32_t at, std::uint8_t v) {
        changed |= at < legacy && v != image[at];
        image[at] = v;
    };
    if (c.board.preserve && c.old[0] == 0x55 && c.old[1] == 0xAA)
        for (auto [at, mask] : {std::pair<std::uint32_t, std::uint8_t>{0x7A, 0x03}, {0x7B, 0xF0}})
            if (at < std::min<std::size_t>(image.size(), c.R()))
                put(at, std::uint8_t((mask & c.old[at]) | (~mask & image[at])));
    if (c.board.strap && LegacyFirst(image)) put(0xAD, std::uint8_t((image[0xAD] & 0xFC) | c.board.strap));
    if (changed && valid) vmtest::RomImageBuilder::FixChecksum(image, legacy);
}

// A ROM directory, whose signature the program checks on the newest
// families (the images drawn here are never signed).
// A ROM directory the signed families check; an image without the 55 AA of
// a legacy image has no header to hold one.
bool HasDirectory(const Case& c, const Bytes& image) {
    const std::uint32_t h = Le16(image, 0x48);
    return c.board.signedImages && image.size() >= 2 && image[0] == 0x55 && image[1] == 0xAA &&
           h + 0x28 <= image.size() && image[h + 2] > 1 && Le32(image, h + 0x24) != 0;
}

struct Expect {
    std::optional<Bytes> want;   // over [0, R): what the part must hold
    std::uint32_t untold = ~0u;  // a byte the oracle cannot tell
    bool accepted = true;        // the program's checks let the command write
    bool same = false;           // "Flash already programmed" is the answer
    bool feasible = true;        // the part can be written over what the program reaches
    bool wraps = false;          // an image longer than the part goes round it: nothing to tell
};

Expect ProgramExpect(const Case& c) {
    Expect e;
    const std::uint32_t R = c.R();
    const std::size_t L = c.image.size();
    // A keep switch writes the whole ROM, which a command holds up to 1 MiB.
    e.accepted = L <= R && !(c.cmd == Cmd::Keep && c.board.tableSize > 0x100000);
    // An erased part shows nothing of its size: an image longer than the
    // part but not than the window goes in, wraps onto the part's start
    // and fails its read-back.
    const Board& b = c.board;
    const std::uint64_t shown = std::min<std::uint64_t>({b.tableSize, b.window, 0x100000});
    if (!e.accepted && L <= shown && b.partSize < shown &&
        std::all_of(c.old.begin(), c.old.end(), [&](std::uint8_t v) { return v == c.old[0]; })) {
        e.accepted = true;
        e.feasible = false;
        e.wraps = true;
    }
    if (!e.accepted || e.wraps) return e;
    Bytes image = c.image;
    if (c.cmd == Cmd::Keep) {
        image.resize(R, 0xFF);
        if (c.keepIsr && BlockValid(c.old, R - 20, true, false))
            std::copy_n(c.old.begin() + R - 20, 20, image.begin() + R - 20);
        if (c.keepSn && BlockValid(c.old, R - 36, false, false))
            std::copy_n(c.old.begin() + R - 36, 16, image.begin() + R - 36);
    }
    const bool newValid =
        Valid(image, image.size()) || c.board.bus == Bus::I2cEngine;  // a keep switch checks all it writes
    MergeSettings(c, image);
    Bytes want(c.old.begin(), c.old.begin() + R);  // an EEPROM keeps its bytes past the image
    std::copy(image.begin(), image.end(), want.begin());
    if (!c.board.eeprom) std::fill(want.begin() + image.size(), want.end(), 0xFF);
    if (c.retain && R >= 0x20000) std::copy_n(c.old.begin() + 0x1FF00, 0x100, want.begin() + 0x1FF00);
    // The ROM already holds the image when it reads the image, then erased
    // bytes, with the valid tail blocks as they stand.
    bool same = !c.force && !c.fa && c.padevOk;
    for (std::uint32_t i = 0; i < R && same; ++i)
        same = c.old[i] == want[i] ||
               (i >= image.size() &&
                (i >= R - 20 ? BlockValid(c.old, R - 20, true) : i >= R - 36 && BlockValid(c.old, R - 36, false)));
    e.same = same;
    e.accepted = c.padevOk && !same && !HasDirectory(c, image) &&
                 (c.force || (newValid && !(Valid(c.old, R) && c.foreign && !(c.fv && c.fs && c.fp))));
    e.want = want;
    return e;
}

Expect EditExpect(const Case& c) {
    Expect e;
    const std::uint32_t R = c.R();
    Bytes rom(c.old.begin(), c.old.begin() + R);
    e.accepted = c.board.tableSize <= 0x100000;
    if (!e.accepted) return e;
    if (c.cmd == Cmd::Isr || c.cmd == Cmd::Prod) {
        const std::uint32_t at = c.cmd == Cmd::Isr ? R - 20 : R - 36;
        const Bytes block = c.cmd == Cmd::Isr ? vmtest::IsrBytes(7, 8) : vmtest::SnBytes(777, 888999);
        std::copy(block.begin(), block.end(), rom.begin() + at);
        // The checksum byte when the legacy image reaches the block; a ROM
        // without the signature has none, and one whose size passes the ROM
        // sums bytes the ROM does not hold.
        const std::uint32_t legacy = rom[2] * 512u;
        if (legacy >= at && rom[0] == 0x55 && rom[1] == 0xAA) {
            if (legacy <= R)
                vmtest::RomImageBuilder::FixChecksum(rom, legacy);
            else
                e.untold = 0x21;
        }
        MergeSettings(c, rom);
        e.accepted = !HasDirectory(c, rom);
        e.want = rom;
        return e;
    }
    const std::uint32_t header = Le16(rom, 0x48);
    const bool velk = header + 0x1C <= R && std::equal(rom.begin() + header + 4, rom.begin() + header + 8, "VELK");
    e.accepted = Valid(rom, R) && LegacyFirst(rom) && velk && ((Le32(rom, 0x76) ^ Le32(rom, header + 0x18)) >> 16) == 0;
    if (!e.accepted) return e;
    for (std::uint32_t at : {0x76u, header + 0x18}) vmtest::PutLe32(rom, at, 0x0B361043);
    vmtest::FixImageByHand(rom, rom[2] * 512u, Le16(rom, header + 0x0E));
    e.want = rom;
    e.feasible = !c.board.pagePart && !c.board.eeprom;  // the edits need a part erased as a whole
    return e;
}

Expect Expected(const Case& c) {
    const Board& b = c.board;
    Expect e = c.cmd == Cmd::P || c.cmd == Cmd::Pa || c.cmd == Cmd::Keep ? ProgramExpect(c) : EditExpect(c);
    // A part erased only as a whole is erased when neither it nor what the
    // table says of it reaches past the window.
    const bool erasable = b.spi
                              ? b.reach == b.partSize || b.reach % b.minErase == 0
                              : b.pagePart || b.eeprom || std::max<std::uint64_t>(b.partSize, b.tableSize) <= b.window;
    e.feasible = e.feasible && erasable && !b.locked;
    // A part that gives no ID tells the program nothing of its wiring: it
    // drives the permuted one, so a plainly wired part is not reached.
    if (c.faults.noId && !b.swizzled) e.feasible = false;
    // The permuted wiring puts the command address 0x2AAA at aperture 0xC255:
    // a smaller window reaches no command to the part.
    if (b.bus == Bus::Parallel && b.swizzled && b.window <= 0xC255) e.feasible = false;
    return e;
}

// Whether the part may hold `v` at i after a failure: the data, or what
// the fault at the cell leaves of it.
bool Takes(const Case& c, const Expect& e, std::uint32_t i, std::uint8_t v) {
    const std::uint8_t want = (*e.want)[i];
    std::uint8_t stuck = 0;
    for (const Cell& cell : c.faults.cells)
        if (cell.at == i && cell.mark == Mark::Stuck) stuck = std::uint8_t(stuck | cell.high | cell.low);
    auto near = [&](std::uint8_t t) { return ((v ^ t) & ~stuck) == 0; };
    if (near(want) || i == e.untold || (c.faults.dead && (near(0xFF) || near(c.old[i])))) return true;
    // A part whose erase does not take, blank but for a few cells (16 at
    // most), takes the data everywhere and programs it over those cells.
    if (c.faults.eraseDefect && v == (c.old[i] & want) &&
        std::count_if(c.old.begin(), c.old.begin() + c.R(), [](std::uint8_t b) { return b != 0xFF; }) <= 16)
        return true;
    // A page a page-mode part did not take keeps its old bytes whole; on the
    // permuted wiring its bytes lie anywhere in their 2 KiB block.
    const std::uint32_t page = c.board.swizzled ? 0x800 : c.board.page;
    if (c.board.pagePart && v == c.old[i] &&
        std::any_of(c.faults.cells.begin(), c.faults.cells.end(),
                    [&](const Cell& cell) { return cell.mark == Mark::NoTake && cell.at / page == i / page; }))
        return true;
    return std::any_of(c.faults.cells.begin(), c.faults.cells.end(), [&](const Cell& cell) {
        if (cell.at != i) return false;
        switch (cell.mark) {
        case Mark::Stuck: return false;
        case Mark::Misprogram: return ((v ^ want) & ~cell.low) == 0 && (v & ~want) == 0;
        case Mark::NoTake: return v == 0xFF || v == c.old[i];
        case Mark::Unerased: return (v & ~want) == 0;
        }
        return false;
    });
}

std::string FirstDiff(const Bytes& now, const Bytes& want, std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t i = from; i < to; ++i)
        if (now[i] != want[i]) return " (first at " + Hex(i) + ": " + Hex(now[i]) + " for " + Hex(want[i]) + ")";
    return "";
}

// Empty when the run kept the rule, else what it broke.
std::string Judge(const Case& c, const vmtest::RunResult& r, const Bytes& now, const std::string& status) {
    const Board& b = c.board;
    const std::uint32_t R = c.R();
    const std::string exit = ", exit " + std::to_string(r.exitCode);
    if (r.timedOut) return "the run did not end in time";
    if (r.err.find("machine.txt:") != std::string::npos) return "the case's machine was refused: " + r.err;
    if (now.size() != b.partSize) return "the part's file holds " + Hex(now.size()) + " bytes";
    if (!std::equal(now.begin() + R, now.end(), c.old.begin() + R))
        return "changed past what the program reaches" + FirstDiff(now, c.old, R, b.partSize);
    const Expect e = Expected(c);
    const Faults& f = c.faults;
    const bool untouched = now == c.old, holds = e.want && std::equal(now.begin(), now.begin() + R, e.want->begin());
    const bool clean = e.accepted && e.feasible && !f.uncertain && !f.lasting && !f.dead && f.eraseFails < c.attempts &&
                       f.misprograms < c.attempts && f.writeFails + f.misprograms <= c.attempts;
    if (e.same && r.exitCode != 2 && !f.blind)
        return "the part already held the image" + exit + FirstDiff(now, c.old, 0, R);
    if (r.exitCode == 2) {
        if (!untouched || !e.same) return "\"Flash already programmed\" on a part that did not hold the image";
        return status == b.status ? "" : "the status register changed to " + status.substr(0, 4);
    }
    if (r.exitCode == 0) {
        if (!e.accepted) return "exit 0 for a command the program must refuse";
        return holds ? "" : "exit 0 with the part not holding what was asked" + FirstDiff(now, *e.want, 0, R);
    }
    if (untouched) {
        if (clean) return "refused or failed with the part untouched" + exit;
        if (!e.accepted && status != b.status)
            return "a refusal changed the status register from " + b.status.substr(0, 4) + " to " + status.substr(0, 4);
        return "";
    }
    if (!e.accepted) return "a refused command changed the part" + FirstDiff(now, c.old, 0, R);
    if (e.wraps) return r.exitCode == 0 ? "exit 0 for an image that does not fit the part" : "";
    if (holds && !f.eraseDefect) return "the part holds what was asked" + exit;
    for (std::uint32_t i = 0; i < R; ++i)
        if (!Takes(c, e, i, now[i]))
            return "after a failure the part holds neither the old ROM nor the data" + FirstDiff(now, *e.want, i, R) +
                   " (old " + Hex(c.old[i]) + ")" + exit;
    return clean ? "failed where nothing keeps the part from the data" + exit : "";
}

std::string Reproducer(const Case& c) {
    std::string m = c.Machine();
    std::replace(m.begin(), m.end(), '\n', ';');
    std::string line =
        "VM_RULE_SEED=" + std::to_string(c.seed) + " VM_RULE_CASES=1: " + m +
        (c.board.table.empty() ? "" : " [quendrix.rom: " + c.board.note + "]") + " rom=" + c.romKind +
        " image=" + c.imageKind + " " + Hex(c.image.size()) + " reach=" + Hex(c.R()) +
        (c.board.partSize < std::min<std::uint64_t>(c.board.tableSize, c.board.window) ? " (shows twice)" : "") +
        " $ vorbanmill-sim";
    for (const auto& a : c.args) line += " " + a;
    return line;
}

void WriteCase(const Case& c, const std::string& dir) {
    vmtest::WriteFile(dir + "/machine.txt", c.Machine());
    vmtest::WriteBytes(dir + "/flash.rom", ToFile(c.board, c.old));
    if (c.board.statusFile) vmtest::WriteFile(dir + "/flash.rom.status", c.board.status);
    vmtest::WriteBytes(dir + "/new.rom", c.image);
    vmtest::WriteFile(dir + "/ids.txt", "ssid = 0B36\nsvid = 1043\n");
    if (!c.board.table.empty()) vmtest::WriteFile(dir + "/quendrix.rom", c.board.table);
}

std::string RunCase(const Case& c, int timeout) {
    vmtest::E2e m;
    m.options.timeoutSeconds = timeout;
    m.machine = c.Machine();
    WriteCase(c, m.dir.Path());
    if (const char* keep = std::getenv("VM_RULE_KEEP")) {
        const std::string dir = std::string(keep) + "/" + std::to_string(c.seed);
        if (std::system(("mkdir -p '" + dir + "'").c_str()) == 0) WriteCase(c, dir);
    }
    const vmtest::RunResult r = m.Sim(c.args);
    bool hasStatus = false;
    const std::string status = vmtest::ReadFile(m.File("flash.rom.status"), &hasStatus);
    const std::string why =
        Judge(c, r, FromFile(c.board, vmtest::ReadBytes(m.File("flash.rom"))), hasStatus ? status : c.board.status);
    if (why.empty()) return why;
    return why + "\n  " + Reproducer(c) +
           "\n  output ends: " + r.out.substr(r.out.size() > 300 ? r.out.size() - 300 : 0);
}

std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 0) : fallback;
}

constexpr unsigned kShards = 12;

class RandomWriteRule : public testing::TestWithParam<unsigned> {};

TEST_P(RandomWriteRule, EveryCaseKeepsTheRule) {
    const std::uint64_t seed = EnvNumber("VM_RULE_SEED", 1), cases = EnvNumber("VM_RULE_CASES", 480);
    const int timeout = int(EnvNumber("VM_RULE_TIMEOUT", 60));
    for (std::uint64_t k = GetParam(); k < cases; k += kShards) {
        const std::string why = RunCase(DrawCase(seed + k), timeout);
        if (!why.empty()) ADD_FAILURE() << "seed " << seed + k << ": " << why;
    }
}

INSTANTIATE_TEST_SUITE_P(Shards, RandomWriteRule, testing::Range(0u, kShards));

}  // namespace
