// The rule every writing command keeps, on every kind of board: after the
// run the part holds what the command meant it to (exit 0), or, after a
// failure, the old ROM (nothing was erased) or that content in every cell
// that takes data. The faults sit at the start, middle and end of the part:
// a program operation that does not take once, a cell programmed wrong once
// (only an erase, or an EEPROM's rewrite, heals it), a cell that will not
// program and one that will not erase.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e/TailBlockFixtures.h"
#include "support/ParallelWiring.h"

using vmtest::Body;
using vmtest::Bytes;
using vmtest::E2e;

namespace {

using Args = std::vector<std::string>;

std::string Hex(unsigned v, const char* format = "0x%X") {
    char s[16];
    std::snprintf(s, sizeof s, format, v);
    return s;
}

std::string Fixture(const char* name) {
    return vmtest::ReadFile(std::string(VM_SOURCE_DIR "/tests/engine/fixtures/") + name);
}

// A board with the serial-EEPROM controller in its own registers, which
// only a text table names.
const char kDirectSepromTable[] =
    "format 1.0\ntype_table(1)\ntype_table_entry(0, 0, \"M25P10/C\", type_vosk_stm25p, 20000, 1, 1)\n"
    "asic(\"Vosk Board\", tev_halm, 1, 0, 0, 0, 0)\ndet_pcicmp(2, ffff, 7B00, 7B00, det_pass)\nend\n";

struct Board {
    const char* name;
    std::string machine;  // ends in the part's statement, which takes file= and the faults
    std::uint32_t size;
    std::uint16_t device;
    std::string table;    // quendrix.rom; empty: the built-in table
    bool bios;            // the part holds a PC BIOS (an EEPROM of an I2C board does not)
    bool edits;           // the part erases as a whole, which "-mi" and "-mb" need
    bool slow = false;    // slow to simulate: "-p" and "-mi" alone
};

const std::vector<Board>& Boards() {
    static const std::vector<Board> boards = {
        {"SPI, first generation", "spiboard 0000:01:00.0 orpane part=M25P10", 0x20000, 0x6780, "", true, true},
        {"SPI, third generation", "spiboard 0000:01:00.0 gethra part=W25X10", 0x20000, 0x6860, "", true, true},
        // A byte per program command is slow to simulate.
        {"SPI, byte-programmed part", "spiboard 0000:01:00.0 ombrel part=SST25VF512", 0x10000, 0x6640, "", true,
         true, true},
        {"serial EEPROM behind the bridge", "adapter 0000:01:00.0 nerrow strap=3\nseprom", 0x20000, 0x5A41, "", true,
         true},
        {"serial EEPROM, direct controller", "adapter 0000:01:00.0 quor device=0x7B00\nseprom part=M25P10", 0x20000,
         0x7B00, kDirectSepromTable, true, true},
        {"parallel, byte mode", "adapter 0000:01:00.0 quor device=0x4160\nparallelflash part=SST39SF010", 0x20000,
         0x4160, Fixture("parallel_boards.rom"), true, true},
        // Its table entry lets the engine try no write twice on its own.
        {"parallel, page mode", "adapter 0000:01:00.0 quor device=0x4161\nparallelflash part=AT29C010A", 0x20000,
         0x4161, Fixture("parallel_boards.rom"), true, false},
        {"I2C EEPROM on the engine", "adapter 0000:01:00.0 pardel\ni2ceeprom", 0x80, 0xAC00, "", false, false},
        {"I2C EEPROM on GPIO lines", "adapter 0000:01:00.0 quor device=0x4152\ni2ceeprom bus=gpio page=8", 0x100,
         0x4152, Fixture("gpio_i2c_board.rom"), false, false},
    };
    return boards;
}

// Where no BIOS is, byte 2 is data like any other: no checksum may change it.
Bytes Pattern(std::size_t size, unsigned seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = std::uint8_t(i * 13 + (i >> 8) + seed);
    return b;
}

// The board's ROM before the run: its BIOS (IDs at 0x76), a pattern, and
// the ISR and serial-number blocks at the end.
Bytes OldRom(const Board& b) {
    Bytes rom = Pattern(b.size, 1);
    if (b.bios) {
        vmtest::RomImageBuilder r;
        r.deviceId = b.device;
        r.Patch(0x76, {0x02, 0x10, 0x00, 0x0B});
        const Bytes bios = r.Build();
        std::copy(bios.begin(), bios.end(), rom.begin());
    }
    return vmtest::WithSn(vmtest::WithIsr(rom, vmtest::IsrBytes(1234, 56)), vmtest::SnBytes(123, 456789));
}

// The file "-p" writes: a newer 8 KiB BIOS and a pattern up to 32 KiB; an
// I2C board's EEPROM takes a pattern as large as itself.
Bytes NewImage(const Board& b) {
    if (!b.bios) return Pattern(b.size, 7);
    vmtest::RomImageBuilder r;
    r.n512 = 0x10;
    r.deviceId = b.device;
    r.strings[6] = "VER010.006.000.000";
    r.Patch(0x76, {0x02, 0x10, 0x00, 0x0B});
    Bytes image = r.Build();
    const Bytes tail = Pattern(0x8000, 3);
    image.insert(image.end(), tail.begin() + std::ptrdiff_t(image.size()), tail.end());
    return image;
}

// One board whose flash lives in flash.rom, with the files the commands read.
struct BoardRun : E2e {
    BoardRun(const Board& b, const Bytes& old, const Bytes& image, const std::string& faults) {
        vmtest::WriteBytes(File("flash.rom"), old);
        vmtest::WriteBytes(File("new.rom"), image);
        vmtest::WriteFile(File("ids.txt"), "ssid = 0B36\nsvid = 1043\n");
        if (!b.table.empty()) vmtest::WriteFile(File("quendrix.rom"), b.table);
        machine = b.machine + " file=flash.rom " + faults + "\n";
    }
    Bytes Flash() const { return vmtest::ReadBytes(File("flash.rom")); }
};

// What the part must hold after a command that worked.
Bytes Programmed(const Bytes& old, const Bytes& image) {
    Bytes rom = image;
    rom.resize(old.size(), 0xFF);
    return rom;
}
Bytes KeptBlocks(const Bytes& old, const Bytes& image) {
    Bytes rom = Programmed(old, image);
    std::copy(old.end() - 36, old.end(), rom.end() - 36);
    return rom;
}
Bytes Isr(const Bytes& old, const Bytes&) { return vmtest::WithIsr(old, vmtest::IsrBytes(7, 8)); }
Bytes Prod(const Bytes& old, const Bytes&) { return vmtest::WithSn(old, vmtest::SnBytes(777, 888999)); }

struct Command {
    const char* name;
    Args args;
    bool edit;         // edits the board's BIOS
    bool userRetries;  // only "-retries" lets it try again
    Bytes (*intended)(const Bytes& old, const Bytes& image);  // null: what a run without faults leaves
};

const Command kCommands[] = {
    {"-p", {"-p", "0", "new.rom"}, false, true, Programmed},
    {"-pa", {"-pa", "new.rom", "-padevid="}, false, true, Programmed},
    {"-p -keepisrsn -keepprodsn", {"-p", "0", "new.rom", "-keepisrsn", "-keepprodsn"}, false, false, KeptBlocks},
    // The edits themselves are pinned by the ModifyCommands tests.
    {"-mi", {"-mi", "0", "0B361043"}, true, false, nullptr},
    {"-mb", {"-mb", "0", "ids.txt"}, true, false, nullptr},
    {"-isr", {"-isr", "0", "7", "8"}, false, false, Isr},
    {"-prod", {"-prod", "0", "000777888999"}, false, false, Prod},
};

Args ArgsFor(const Command& c, const Board& b, bool heals) {
    Args args = c.args;
    if (args[0] == "-pa") args[2] += Hex(b.device, "%04X");
    if (!b.bios && (args[0] == "-p" || args[0] == "-pa")) args.push_back("-f");
    if (heals && c.userRetries) args.push_back("-retries=1");
    return args;
}

enum class Fault { FailsOnce, MisprogramsOnce, WontProgram, WontErase };
const Fault kFaults[] = {Fault::FailsOnce, Fault::MisprogramsOnce, Fault::WontProgram, Fault::WontErase};

struct Planted {
    Fault kind;
    std::uint32_t at;
    std::uint8_t bits;
};

// The fault near `at`, on a bit it holds against the data where it can: a
// bit stuck at 1 where the data has a 0, others where it has a 1. Looked
// for from `at` toward the middle of the part.
Planted Plant(Fault kind, std::uint32_t at, const Bytes& intended) {
    if (kind == Fault::FailsOnce) return {kind, at, 0};
    const bool down = at > intended.size() / 2;
    for (std::uint32_t step = 0; step < 64; ++step) {
        const std::uint32_t a = down ? at - step : at + step;
        const std::uint8_t bits = kind == Fault::WontProgram ? std::uint8_t(~intended[a]) : intended[a];
        if (bits) return {kind, a, std::uint8_t(bits & -bits)};
    }
    return {kind, at, 0x01};
}

std::string Option(const Planted& p) {
    switch (p.kind) {
    case Fault::FailsOnce: return "fail-program-at=" + Hex(p.at);
    case Fault::MisprogramsOnce: return "misprogram-at=" + Hex(p.at) + ":" + Hex(p.bits);
    case Fault::WontProgram: return "stuck=" + Hex(p.at) + ":" + Hex(p.bits) + ":0";
    case Fault::WontErase: return "stuck=" + Hex(p.at) + ":0:" + Hex(p.bits);
    }
    return {};
}

// The data in every cell that takes it.
Bytes Held(Bytes rom, const Planted& p) {
    if (p.kind == Fault::WontProgram) rom[p.at] = std::uint8_t(rom[p.at] | p.bits);
    if (p.kind == Fault::WontErase) rom[p.at] = std::uint8_t(rom[p.at] & ~p.bits);
    return rom;
}

// Empty when equal, else where and how much the part differs.
std::string Diff(const Bytes& part, const Bytes& want) {
    if (part.size() != want.size()) return "flash holds " + Hex(unsigned(part.size())) + " bytes";
    std::size_t first = part.size(), count = 0;
    for (std::size_t i = 0; i < part.size(); ++i)
        if (part[i] != want[i]) {
            first = std::min(first, i);
            ++count;
        }
    if (count == 0) return {};
    return Hex(unsigned(count)) + " bytes differ, the first at " + Hex(unsigned(first)) + ": " + Hex(part[first]) +
           " for " + Hex(want[first]);
}

std::string LastLines(const vmtest::RunResult& r) {
    const std::string body = Body(r);
    return body.substr(body.size() > 160 ? body.size() - 160 : 0);
}

// The remaining counts of the retry lines, in order ("1 0").
std::string RetryLines(const std::string& out) {
    const std::string line = "Auto retry after failure (";
    std::string counts;
    for (std::size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + 1)) {
        if (!counts.empty()) counts += ' ';
        counts += std::to_string(std::atoi(out.c_str() + at + line.size()));
    }
    return counts;
}

Bytes Intended(const Board& b, const Command& c, const Bytes& old, const Bytes& image) {
    if (c.intended) return c.intended(old, image);
    BoardRun clean(b, old, image, "");
    const vmtest::RunResult r = clean.Sim(ArgsFor(c, b, false));
    EXPECT_EQ(r.exitCode, 0) << "without faults\n" << r.out;
    EXPECT_NE(clean.Flash(), old) << "without faults";
    return clean.Flash();
}

// Exit 0 only with the part holding exactly the intended content; a fault
// that heals must heal, and one that does not must leave the data in every
// other cell.
void ExpectRule(const vmtest::RunResult& r, const Bytes& part, const Bytes& intended, const Bytes& held) {
    if (held == intended) {
        EXPECT_EQ(r.exitCode, 0) << LastLines(r);
    } else {
        EXPECT_NE(r.exitCode, 0) << LastLines(r);
    }
    EXPECT_EQ(Diff(part, held), "") << LastLines(r);
}

class WriteRuleOn : public testing::TestWithParam<std::size_t> {};

TEST_P(WriteRuleOn, EveryCommandLeavesWhatThePartCanHold) {
    const Board& b = Boards()[GetParam()];
    const Bytes old = OldRom(b), image = NewImage(b);
    // Each fault sits at the start, the middle and the end of the part, on
    // a different command each time, so every place meets every fault.
    const std::uint32_t places[] = {0u, b.size / 2, b.size - 1};
    std::size_t turn = 0;
    for (const Command& c : kCommands) {
        if (c.edit && !b.edits) continue;
        if (b.slow && c.args[0] != "-p" && c.args[0] != "-mi") continue;
        SCOPED_TRACE(c.name);
        const Bytes intended = Intended(b, c, old, image);
        ++turn;
        for (std::size_t k = 0; k < std::size(kFaults); ++k) {
            const Planted p = Plant(kFaults[k], places[(turn + k) % std::size(places)], intended);
            const bool heals = p.kind == Fault::FailsOnce || p.kind == Fault::MisprogramsOnce;
            const Args args = ArgsFor(c, b, heals);
            SCOPED_TRACE(Option(p) + ", " + testing::PrintToString(args));
            BoardRun m(b, old, image, Option(p));
            const vmtest::RunResult r = m.Sim(args);
            ExpectRule(r, m.Flash(), intended, Held(intended, p));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Boards, WriteRuleOn, testing::Range<std::size_t>(0, Boards().size()),
                         [](const testing::TestParamInfo<std::size_t>& i) {
                             return vmtest::TestName(Boards()[i.param].name);
                         });

// Each step of a write has retries of its own: "-retries" for "-p", at
// least two for the commands that hold the board's only copy; a retry
// keeps the part type the user forced; the last attempt gives a page that
// failed one more write. An erase that fails needs a retry: the data
// written after it cannot heal it.
TEST(WriteRule, EachStepIsRetriedOnItsOwn) {
    // A bridge board whose strap names an AT25F1024.
    constexpr std::size_t kAtmelStrap = 100;
    Board atmelStrap = Boards()[3];
    atmelStrap.machine = "adapter 0000:01:00.0 nerrow strap=1\nseprom";
    struct Case {
        std::size_t board;
        std::string part;    // options of a run without faults too
        std::string faults;
        Args args;
        const char* retries = nullptr;  // the retry lines' remaining counts ("-mi" and "-mb" print none)
    };
    const Case cases[] = {
        {0, "", "fail-erases=1 fail-programs=1", {"-mi", "0", "0B361043"}},
        {0, "", "fail-erases=1 fail-programs=1", {"-mb", "0", "ids.txt"}},
        {0, "", "fail-programs=2", {"-mi", "0", "0B361043"}},
        {0, "", "fail-erases=2 fail-programs=1", {"-mi", "0", "0B361043", "-retries=2"}},
        {0, "", "fail-erases=2 fail-programs=1", {"-p", "0", "new.rom", "-retries=2"}},
        {0, "", "fail-programs=1", {"-isr", "0", "7", "8"}},
        {0, "", "fail-programs=1", {"-prod", "0", "000777888999"}},
        {0, "", "fail-programs=1", {"-p", "0", "new.rom", "-keepisrsn"}},
        {0, "", "fail-erases=2", {"-mi", "0", "0B361043"}},
        {0, "", "fail-erases=2", {"-mb", "0", "ids.txt"}},
        {0, "", "fail-erases=2", {"-isr", "0", "7", "8"}, "1 0"},
        {0, "", "fail-erases=2", {"-prod", "0", "000777888999"}, "1 0"},
        {0, "", "fail-erases=2", {"-p", "0", "new.rom", "-keepisrsn"}, "1 0"},
        {0, "", "fail-erases=1", {"-p", "0", "new.rom", "-keepprodsn"}, "1"},
        // The last attempt writes a page that failed once more before it is judged.
        {0, "", "fail-programs=1", {"-p", "0", "new.rom"}},
        {8, "", "fail-program-at=0x40", {"-p", "0", "new.rom", "-f"}},
        // The strap names an M25P10 (an AT25F1024 for "-st"); only the
        // forced type drives these parts, on the retry's erase too.
        {3, "part=SST25VF010", "fail-programs=1", {"-p", "0", "new.rom", "-sst", "-retries=1"}},
        {3, "part=AT25F1024", "fail-programs=1", {"-p", "0", "new.rom", "-atmel", "-retries=1"}},
        {3, "part=SST25VF010", "fail-erases=8", {"-p", "0", "new.rom", "-sst", "-retries=1"}, "0"},
        {3, "part=AT25F1024", "fail-erases=8", {"-p", "0", "new.rom", "-atmel", "-retries=1"}, "0"},
        {kAtmelStrap, "part=M25P10", "fail-erases=8", {"-p", "0", "new.rom", "-st", "-retries=1"}, "0"},
    };
    for (const Case& c : cases) {
        const Board& b = c.board == kAtmelStrap ? atmelStrap : Boards()[c.board];
        SCOPED_TRACE(std::string(b.name) + ", " + c.part + " " + c.faults + ", " + testing::PrintToString(c.args));
        const Bytes old = OldRom(b), image = NewImage(b);
        BoardRun clean(b, old, image, c.part);
        ASSERT_EQ(clean.Sim(c.args).exitCode, 0);
        BoardRun m(b, old, image, c.part + " " + c.faults);
        const vmtest::RunResult r = m.Sim(c.args);
        ExpectRule(r, m.Flash(), clean.Flash(), clean.Flash());
        if (c.retries) {
            EXPECT_EQ(RetryLines(r.out), c.retries) << LastLines(r);
        }
    }
}

// An erase that fails only at a cell that will not erase costs the write
// none of its attempts: a first page that fails twice, or a cell programmed
// wrong that only another erase heals, still ends holding the data.
TEST(WriteRule, AnUnerasableCellLeavesTheWriteItsAttempts) {
    const char* const weakStarts[] = {"fail-program-at=0x0:2", "misprogram-at=0x0:0xFF:1"};
    const Args commands[] = {{"-mi", "0", "0B361043"}, {"-p", "0", "new.rom", "-fa", "-fs", "-retries=3"}};
    for (std::size_t board : {0, 1, 3, 5}) {
        const Board& b = Boards()[board];
        const Bytes old = OldRom(b), image = NewImage(b);
        for (const Args& args : commands) {
            BoardRun clean(b, old, image, "");
            ASSERT_EQ(clean.Sim(args).exitCode, 0) << b.name;
            const Planted unerasable = Plant(Fault::WontErase, b.size - 0x100, clean.Flash());
            for (const char* weak : weakStarts) {
                SCOPED_TRACE(std::string(b.name) + ", " + weak + ", " + testing::PrintToString(args));
                BoardRun m(b, old, image, Option(unerasable) + " " + weak);
                const vmtest::RunResult r = m.Sim(args);
                EXPECT_NE(Body(r).find("ROM not erased"), std::string::npos) << LastLines(r);
                ExpectRule(r, m.Flash(), clean.Flash(), Held(clean.Flash(), unerasable));
            }
        }
        // A part blank already but for that cell: the erase changes nothing,
        // and the data still goes onto every other cell.
        Bytes blank(b.size, 0xFF);
        const Bytes intended = Programmed(blank, image);
        const Planted cell = Plant(Fault::WontErase, b.size - 0x100, intended);
        blank = Held(blank, cell);
        BoardRun m(b, blank, image, Option(cell));
        const vmtest::RunResult r = m.Sim({"-p", "0", "new.rom", "-f"});
        ExpectRule(r, m.Flash(), intended, Held(intended, cell));
    }
}

// A part that already holds what it is asked to hold is left alone, or
// taken as written: the board's own BIOS run again with the serial numbers
// at the end of its ROM, and a part smaller than its window, which shows
// itself twice there.
TEST(WriteRule, APartHoldingWhatWasAskedIsNotWrittenAgain) {
    const std::string parallel = Fixture("parallel_boards.rom");
    std::string sst512 = parallel;
    sst512.insert(sst512.rfind("end"), "parallel b4bf \"SST39SF512\" 20000 0\n");
    std::string page256 = parallel;
    page256.replace(page256.find("AT29C010A\" 20000"), 16, "AT29C010A\" 40000");
    page256.replace(page256.find("W29EE011\" 20000"), 15, "W29EE011\" 40000");
    vmtest::RomImageBuilder own, other;
    own.n512 = other.n512 = 0x38;
    own.Patch(0x76, {0x02, 0x10, 0x00, 0x0B});
    other.date = "06/30/25";
    const Bytes bios = own.Build(), newer = other.Build();
    auto rom = [](const Bytes& start, std::size_t size, bool blocks) {
        Bytes r = start;
        r.resize(size, 0xFF);
        if (blocks) r = vmtest::WithSn(vmtest::WithIsr(r, vmtest::IsrBytes(12345, 678)), vmtest::SnBytes(111, 222333));
        return r;
    };
    // A cell whose bit 6 programs to 0: the data wants it so, the filler not.
    std::size_t cleared = 0x1000;
    while (newer[cleared] & 0x40) ++cleared;
    char misprogrammedPage[160];
    std::snprintf(misprogrammedPage, sizeof misprogrammedPage,
                  "adapter 0000:01:00.0 quor device=0x4160 romsize=256K\n"
                  "parallelflash part=W29EE011 misprogram-at=0x%zx:0x40:1000000",
                  cleared);
    // Named in the table as a 128 KiB part: the window shows it twice.
    const std::string mirrored = "adapter 0000:01:00.0 quor device=0x4160\nparallelflash part=SST39SF512";
    const std::string mirroredIds =
        "adapter 0000:01:00.0 quor device=0x4160\nsubsystem 0x1002 0x0B00\nparallelflash part=SST39SF512";
    struct Case {
        const char* name;
        std::string machine, table;
        std::size_t size;  // of the part
        Args args;
        int exitCode;
        Bytes flash, after;
    };
    const Case cases[] = {
        {"SPI", "spiboard 0000:01:00.0 orpane part=M25P10", "", 0x20000, {"-p", "0", "new.rom"}, 2,
         rom(bios, 0x20000, true), rom(bios, 0x20000, true)},
        {"serial EEPROM", "adapter 0000:01:00.0 nerrow strap=3\nseprom", "", 0x20000, {"-p", "0", "new.rom"}, 2,
         rom(bios, 0x20000, true), rom(bios, 0x20000, true)},
        {"parallel", "adapter 0000:01:00.0 quor device=0x4160\nparallelflash part=SST39SF010", parallel, 0x20000,
         {"-p", "0", "new.rom"}, 2, rom(bios, 0x20000, true), rom(bios, 0x20000, true)},
        {"64 KiB part, own BIOS", mirrored, sst512, 0x10000, {"-p", "0", "new.rom"}, 2,
         rom(bios, 0x10000, true), rom(bios, 0x10000, true)},
        {"64 KiB part, new BIOS", mirrored, sst512, 0x10000, {"-p", "0", "newer.rom", "-fa"}, 0,
         rom(bios, 0x10000, true), rom(newer, 0x10000, false)},
        {"64 KiB part, blocks kept", mirrored, sst512, 0x10000,
         {"-p", "0", "newer.rom", "-keepisrsn", "-keepprodsn"}, 0, rom(bios, 0x10000, true),
         rom(newer, 0x10000, true)},
        {"64 KiB part, no blocks to keep", mirrored, sst512, 0x10000,
         {"-p", "0", "newer.rom", "-keepisrsn", "-keepprodsn"}, 0, Bytes(0x10000, 0xFF), rom(newer, 0x10000, false)},
        // Erased, a page part shows nothing of its size; the whole-ROM image
        // a keep switch writes must not wrap its erased end onto the data.
        {"page part listed at 256 KiB, erased, blocks kept",
         "adapter 0000:01:00.0 quor device=0x4160 romsize=256K\nparallelflash part=AT29C010A", page256, 0x20000,
         {"-p", "0", "newer.rom", "-keepisrsn", "-keepprodsn"}, 0, Bytes(0x20000, 0xFF), rom(newer, 0x20000, false)},
        // A filler page past the part's end that fails lies on data cells.
        {"page part listed at 256 KiB, a filler page fails", misprogrammedPage, page256, 0x20000,
         {"-p", "0", "newer.rom"}, 0, Bytes(0x20000, 0xFF), rom(newer, 0x20000, false)},
        {"64 KiB part, -isr", mirrored, sst512, 0x10000, {"-isr", "0", "12345", "678"}, 0,
         vmtest::WithSn(rom(bios, 0x10000, false), vmtest::SnBytes(111, 222333)), rom(bios, 0x10000, true)},
        // What the same edit leaves on the part named at its own size.
        {"64 KiB part, -mi", mirroredIds, sst512, 0x10000, {"-mi", "0", "0B361043"}, 0, rom(bios, 0x10000, true), {}},
        {"-sst on a strap naming 128 KiB", "adapter 0000:01:00.0 nerrow strap=3\nseprom part=SST25VF512", "", 0x10000,
         {"-p", "0", "newer.rom", "-sst"}, 0, rom(bios, 0x10000, true), rom(newer, 0x10000, false)},
        {"128-byte EEPROM under a 256-byte entry, -isr",
         "adapter 0000:01:00.0 quor device=0x4152\ni2ceeprom bus=gpio page=8 size=128", Fixture("gpio_i2c_board.rom"),
         0x80, {"-isr", "0", "7", "8"}, 0, Pattern(0x80, 5), vmtest::WithIsr(Pattern(0x80, 5), vmtest::IsrBytes(7, 8))},
        // An image longer than such a part would wrap onto its start: refused untouched.
        {"128-byte EEPROM, 133-byte image", "adapter 0000:01:00.0 quor device=0x4152\ni2ceeprom bus=gpio page=8 size=128",
         Fixture("gpio_i2c_board.rom"), 0x80, {"-p", "0", "long.rom", "-f"}, 1, Pattern(0x80, 5), Pattern(0x80, 5)},
    };
    auto run = [&](const Case& c, const std::string& table, Bytes* flash) {
        E2e m;
        vmtest::WriteBytes(m.File("flash.rom"), c.flash);
        vmtest::WriteBytes(m.File("new.rom"), bios);
        vmtest::WriteBytes(m.File("newer.rom"), newer);
        vmtest::WriteBytes(m.File("long.rom"), Pattern(0x85, 9));
        if (!table.empty()) vmtest::WriteFile(m.File("quendrix.rom"), table);
        m.machine = c.machine + " file=flash.rom\n";
        const vmtest::RunResult r = m.Sim(c.args);
        *flash = vmtest::ReadBytes(m.File("flash.rom"));
        return r;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes after = c.after, flash;
        if (after.empty()) {
            std::string exact = sst512;
            exact.replace(exact.find("20000 0\nend"), 5, "10000");
            ASSERT_EQ(run(c, exact, &after).exitCode, 0);
            ASSERT_NE(after, c.flash);
        }
        const vmtest::RunResult r = run(c, c.table, &flash);
        EXPECT_EQ(r.exitCode, c.exitCode) << LastLines(r);
        EXPECT_EQ(Body(r).find("Flash already programmed") != std::string::npos, c.exitCode == 2) << r.out;
        EXPECT_EQ(Diff(flash, after), "") << LastLines(r);
    }
    // A part that gives no ID, on the permuted wiring: its erase ends when
    // it stops answering with its status, and it then reads the image.
    E2e m;
    vmtest::WriteBytes(m.File("flash.rom"), rom(bios, 0x10000, true));
    vmtest::WriteBytes(m.File("newer.rom"), newer);
    vmtest::WriteFile(m.File("quendrix.rom"), parallel);
    m.machine = mirrored.substr(0, mirrored.find("SST39SF512")) + "AT49F512 swizzled fault=no-id file=flash.rom\n";
    EXPECT_EQ(m.Sim({"-p", "0", "newer.rom", "-fa"}).exitCode, 0);
    EXPECT_EQ(m.Sim({"-v", "0", "newer.rom"}).exitCode, 0);
    // Erased, it reads as no part at all: it still takes an image.
    vmtest::WriteBytes(m.File("flash.rom"), Bytes(0x10000, 0xFF));
    EXPECT_EQ(m.Sim({"-p", "0", "newer.rom"}).exitCode, 0);
    EXPECT_EQ(Diff(vmtest::ReadBytes(m.File("flash.rom")), vmtest::PermutedPartFile(rom(newer, 0x10000, false))), "");
    // Such a part erases only whole, and its table entry is larger than the
    // 64 KiB window: nothing is erased past what the window reaches.
    const Bytes unknown = rom(bios, 0x20000, true);
    vmtest::WriteBytes(m.File("flash.rom"), unknown);
    std::string large = parallel;
    large.replace(large.find("20000 1 1"), 5, "40000");
    vmtest::WriteFile(m.File("quendrix.rom"), large);
    m.machine = "adapter 0000:01:00.0 quor device=0x4160 romsize=64K\n"
                "parallelflash part=SST39SF010 swizzled fault=no-id file=flash.rom\n";
    const vmtest::RunResult r = m.Sim({"-isr", "0", "7", "8"});
    EXPECT_NE(Body(r).find("ROM not erased"), std::string::npos) << r.out;
    EXPECT_EQ(vmtest::ReadBytes(m.File("flash.rom")), unknown);
}

// "-retries" counts per board, and a retry that finds the part still busy
// fails as a first attempt would, never as an image too large for it.
TEST(WriteRule, RetriesCountPerBoardAndFindThePartAgain) {
    const Board& b = Boards()[0];
    const Bytes old = OldRom(b), image = NewImage(b);
    // The last attempt's second write heals a failed program; only a retry
    // heals a failed erase.
    for (const std::string fault : {"fail-programs=1", "fail-erases=1"}) {
        SCOPED_TRACE(fault);
        BoardRun m(b, old, image, fault);
        const std::string files[] = {"flash.rom", "b.rom", "c.rom"};
        for (int i = 1; i < 3; ++i) {
            vmtest::WriteBytes(m.File(files[i]), old);
            m.machine += "spiboard 0000:0" + std::to_string(i + 1) + ":00.0 orpane part=M25P10 file=" + files[i] +
                         " " + fault + "\n";
        }
        const vmtest::RunResult r = m.Sim({"-pa", "new.rom", "-padevid=6780", "-retries=1"});
        EXPECT_EQ(r.exitCode, 0) << LastLines(r);
        if (fault == "fail-erases=1") {
            EXPECT_EQ(RetryLines(r.out), "0 0 0") << r.out;
        }
        for (const std::string& name : files)
            EXPECT_EQ(Diff(vmtest::ReadBytes(m.File(name)), Programmed(old, image)), "") << name;
    }

    BoardRun stuck(b, old, Pattern(b.size, 9), "fault=program-stuck");
    const vmtest::RunResult r = stuck.Sim({"-p", "0", "new.rom", "-f", "-retries=2"});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_EQ(r.out.find("Can not flash"), std::string::npos) << r.out;
}

// The last attempt writes a unit that failed again one byte per program
// command where the part takes that: a part that programs a byte per
// command under a table that gives it two-byte pages takes the whole ROM on
// every generation; a page whose program fails twice misses only the cell
// that failed. A part where every program fails ends in bounded time.
TEST(WriteRule, AFailedUnitIsWrittenAgainByteByByte) {
    struct Case {
        Board board;
        std::string faults;
        Args args;
        const char* reference;  // the part of a run that gives the intended flash (null: this board's)
        std::int64_t lost;      // a cell that stays erased (-1: none, -2: every cell)
    };
    const Board& orpane = Boards()[0];
    const Board& nerrow = Boards()[3];
    auto sst = [](const char* kind, std::uint16_t device, const char* part = "SST25VF020B") {
        return Board{kind, std::string("spiboard 0000:01:00.0 ") + kind + " part=" + part, 0x40000, device, "", true,
                     true};
    };
    const Case cases[] = {
        {sst("wenmar", 0x6900), "", {"-p", "0", "new.rom"}, nullptr, -1},
        {sst("gethra", 0x6860), "", {"-mi", "0", "0B361043"}, "M25P20", -1},
        {sst("fyrand", 0x7380), "", {"-p", "0", "new.rom", "-retries=1"}, nullptr, -1},
        {orpane, "fail-program-at=0x1010:2", {"-p", "0", "new.rom"}, nullptr, 0x1010},
        {nerrow, "fail-program-at=0x1010:4", {"-p", "0", "new.rom"}, nullptr, 0x1010},
        {sst("orpane", 0x6780), "fail-programs=1000000", {"-p", "0", "new.rom"}, nullptr, -2},
        {Board{"hobran", "spiboard 0000:01:00.0 hobran part=W25Q80", 0x100000, 0x69A0, "", true, true},
         "fail-programs=1000000", {"-mi", "0", "0B361043"}, nullptr, -2},
    };
    for (const Case& c : cases) {
        const Board& b = c.board;
        SCOPED_TRACE(b.machine + " " + c.faults + ", " + testing::PrintToString(c.args));
        const Bytes old = OldRom(b), image = NewImage(b);
        Bytes intended = Programmed(old, image);
        if (c.args[0] != "-p") {
            const Board reference = c.reference ? sst(b.name, b.device, c.reference) : b;
            BoardRun clean(reference, old, image, "");
            ASSERT_EQ(clean.Sim(c.args).exitCode, 0);
            intended = clean.Flash();
        }
        Bytes held = intended;
        if (c.lost == -2) held.assign(held.size(), 0xFF);
        if (c.lost >= 0) {
            ASSERT_NE(intended[std::size_t(c.lost)], 0xFF);
            held[std::size_t(c.lost)] = 0xFF;
        }
        BoardRun m(b, old, image, c.faults);
        m.options.timeoutSeconds = 60;
        const vmtest::RunResult r = m.Sim(c.args);
        EXPECT_FALSE(r.timedOut);
        ExpectRule(r, m.Flash(), intended, held);
    }
}

// A serial EEPROM whose status register is locked by WP# with its top
// quarter protected: "-p" is refused before anything is erased.
TEST(WriteRule, ALockedSerialEepromIsRefusedBeforeTheErase) {
    const Board& b = Boards()[4];
    const Bytes old = OldRom(b);
    BoardRun m(b, old, NewImage(b), "wp status=0x84");
    vmtest::RunResult r = m.Sim({"-p", "0", "new.rom"});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_EQ(Diff(m.Flash(), old), "") << LastLines(r);
    r = m.Sim({"-rs", "0"});
    EXPECT_EQ(Body(r), "84h\n");
}

}  // namespace
