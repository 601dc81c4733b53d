// Writing commands on faulted boards, run as processes: a failure is never
// reported as a success, and a part is never left programmed over what an
// erase did not clear, or half-programmed where the part could not take the
// image at all.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/E2eSupport.h"
#include "support/ParallelWiring.h"
#include "support/RomImageBuilder.h"

using vmtest::Body;
using vmtest::E2e;

namespace {

using Bytes = std::vector<std::uint8_t>;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

Bytes Image(const std::string& version, std::size_t size, std::uint16_t device = 0x6780) {
    vmtest::RomImageBuilder b;
    b.deviceId = device;
    b.strings[6] = "VER" + version;
    Bytes rom = b.Build();
    rom.resize(size, 0xFF);
    return rom;
}

// "-pa" stops at the first failure, and its subsystem filters read the
// right word of each board even where the two boards' words cross.
TEST(WriteFaults, ProgramAllFiltersAndStopsAtAFailure) {
    struct Case {
        const char* name;
        std::string fault;  // on the first board
        std::string filter;
        int exitCode;
        bool programmed[2];
    };
    const Case cases[] = {
        {"SSID", "", "-passid=0B10", 0, {true, false}},
        {"SVID", "", "-pasvid=0B10", 0, {false, true}},
        {"first erase fails", "fault=erase-fails", "-padevid=6780", 1, {false, false}},
    };
    const Bytes image = Image("010.006.000.000", 0x800);
    for (const Case& c : cases) {
        E2e e;
        const Bytes old = Image("010.005.000.000", 0x20000);
        vmtest::WriteBytes(e.File("a.rom"), old);
        vmtest::WriteBytes(e.File("b.rom"), old);
        vmtest::WriteBytes(e.File("new.rom"), image);
        e.machine = "spiboard 0000:01:00.0 orpane part=M25P10 file=a.rom " + c.fault +
                    "\nsubsystem 0x1002 0x0B10\n"
                    "spiboard 0000:02:00.0 orpane part=M25P10 file=b.rom\nsubsystem 0x0B10 0x1002\n";
        vmtest::RunResult r = e.Sim({"-pa", "new.rom", c.filter});
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name << "\n" << r.out;
        const char* files[] = {"a.rom", "b.rom"};
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(vmtest::ReadBytes(e.File(files[i])), c.programmed[i] ? Image("010.006.000.000", 0x20000) : old)
                << c.name << " board " << i;
        if (c.exitCode != 0) {
            EXPECT_FALSE(Has(r.out, "Programming adapter number: 1\n")) << r.out;
        }
    }
}

// Parallel boards whose part cannot take the image: an erase that never
// ends (with a retry that must not count as a success), and two cells that
// will not program, where the failure names the first and every other
// byte still goes in, also on a page-mode part on the permuted wiring,
// which is written by the part's own pages.
TEST(WriteFaults, ParallelPartsThatCannotBeProgrammedFail) {
    const Bytes image = Image("010.006.000.000", 0x20000, 0x4160);
    // Cells whose bit 0 sticks at 1 where the image has it at 0: its byte 1 (0xAA) and one after 0x400.
    std::uint32_t second = 0x400;
    while (image[second] & 0x01) ++second;
    struct Case {
        const char* name;
        std::string flash;
        std::vector<std::string> args;
        std::vector<std::string> lines;
        std::vector<std::uint32_t> stuck = {};  // bit 0 stuck at 1 there; empty: the part keeps the old ROM
        bool permuted = false;
    };
    const Case cases[] = {
        {"erase never ends", "part=SST39SF010 fault=erase-stuck",
         {"-p", "0", "new.rom", "-retries=1", "-ps"},
         {"ROM not erased\n", "Auto retry after failure (0 retries remaining)...\n", "ROM not erased\n"}},
        {"erase never ends, ISR block", "part=SST39SF010 fault=erase-stuck",
         {"-isr", "0", "7", "8", "-retries=1"},
         {"ROM not erased\n", "Auto retry after failure (0 retries remaining)...\n", "ROM not erased\n"}},
        {"two cells that will not program", "part=SST39SF010", {"-p", "0", "new.rom", "-retries=1", "-ps"},
         {"Write fail at 00001\n", "Auto retry after failure (0 retries remaining)...\n", "Write fail at 00001\n",
          "1/20000h bytes programmed\n"},
         {1, second}},
        {"two cells that will not program, page part, permuted wiring", "part=AT29C010A swizzled",
         {"-p", "0", "new.rom", "-retries=1", "-ps"},
         {"Write fail at 00001\n", "Auto retry after failure (0 retries remaining)...\n", "Write fail at 00001\n",
          "1/20000h bytes programmed\n"},
         {1, second},
         true},
    };
    for (const Case& c : cases) {
        E2e e;
        e.options.timeoutSeconds = 120;
        vmtest::WriteFile(e.File("quendrix.rom"),
                          vmtest::ReadFile(VM_SOURCE_DIR "/tests/engine/fixtures/parallel_boards.rom"));
        Bytes old = Image("010.005.000.000", 0x20000, 0x4160);
        for (std::size_t i = 0x800; i < old.size(); ++i) old[i] = std::uint8_t(i * 13 + 5);
        const auto partFile = [&c](const Bytes& rom) { return c.permuted ? vmtest::PermutedPartFile(rom) : rom; };
        vmtest::WriteBytes(e.File("flash.rom"), partFile(old));
        vmtest::WriteBytes(e.File("new.rom"), image);
        std::string flash = c.flash;
        for (std::uint32_t at : c.stuck)
            flash += " stuck=" + std::to_string(c.permuted ? vmtest::PermutedPartAddress(at) : at) + ":" +
                     std::to_string(c.permuted ? vmtest::PermutedData(1, true) : 1) + ":0";
        e.machine = "adapter 0000:01:00.0 quor device=0x4160\nparallelflash file=flash.rom " + flash + "\n";
        vmtest::RunResult r = e.Sim(c.args);
        EXPECT_EQ(r.exitCode, 1) << c.name << "\n" << r.out;
        std::size_t at = 0;
        for (const std::string& line : c.lines) {
            const std::size_t found = r.out.find(line, at);
            EXPECT_NE(found, std::string::npos) << c.name << ": " << line << " in\n" << r.out;
            if (found != std::string::npos) at = found + line.size();
        }
        Bytes after = c.stuck.empty() ? old : image;
        for (std::uint32_t at : c.stuck) after[at] |= 0x01;
        EXPECT_EQ(vmtest::ReadBytes(e.File("flash.rom")), partFile(after)) << c.name;
        if (c.args.back() == "-ps") {
            EXPECT_EQ(vmtest::ReadFile(e.File("errorid.tmp")), "0FL01\n") << c.name;
        }
    }
}

// A part that never finishes its erase, on every interface: each attempt
// waits for it as an erase would, then fails with the erase's lines; the
// run ends in seconds, and the part holds the old ROM except what the erase
// it is still running has cleared. Nothing is written over it.
TEST(WriteFaults, APartThatStaysBusyEndsTheRunOnEveryInterface) {
    const std::string parallel = "adapter 0000:01:00.0 quor device=0x4160\nparallelflash ";
    const std::string stuck = " fault=erase-stuck";
    const std::string never = " erase-ms=10000000";
    using Lines = std::vector<std::string>;
    const std::string notErased = "ROM not erased\n";
    const Lines once = {notErased};
    const Lines twice = {notErased, "Auto retry after failure (0 retries remaining)...\n", notErased};
    const Lines thrice = {notErased, "Auto retry after failure (1 retries remaining)...\n", notErased,
                          "Auto retry after failure (0 retries remaining)...\n", notErased};
    auto after = [](const std::string& first, Lines lines) {
        lines.insert(lines.begin(), first);
        return lines;
    };
    struct Case {
        const char* name;
        std::string machine;  // ends in the part's statement
        bool textTable;
        std::size_t size;
        std::vector<std::string> args;
        Lines lines;          // in this order
        std::size_t cleared;  // bytes from 0 the erase still running has cleared
    };
    const Case cases[] = {
        {"parallel, permuted wiring, -isr", parallel + "part=SST39SF010 swizzled" + stuck, true, 0x20000,
         {"-isr", "0", "7", "8"}, thrice, 0},
        {"parallel, part the table does not know, keep switch", parallel + "part=MX29F001 swizzled" + stuck, true,
         0x20000, {"-p", "0", "new.rom", "-keepisrsn"}, thrice, 0},
        {"parallel, plain wiring, -retries", parallel + "part=SST39SF010" + stuck, true, 0x20000,
         {"-p", "0", "new.rom", "-retries=1"}, twice, 0},
        {"SPI chip erase, -retries", "spiboard 0000:01:00.0 orpane part=M25P10" + never, false, 0x20000,
         {"-p", "0", "new.rom", "-retries=1"},
         after("Error: bulk erase - read status register operation timeout\n", twice), 0x20000},
        {"SPI block erase", "spiboard 0000:01:00.0 gethra part=W25Q32BV/FV" + never, false, 0x400000,
         {"-p", "0", "new.rom"}, after("Error: sector erase - read status register operation timeout\n", once),
         0x10000},
        {"serial EEPROM behind the bridge, -prod", "adapter 0000:01:00.0 nerrow strap=3\nseprom" + never, false,
         0x20000, {"-prod", "0", "000111222333"}, thrice, 0x8000},
        {"serial EEPROM, direct controller, -mi", "adapter 0000:01:00.0 quor device=0x7B00\nseprom part=M25P10" + never,
         true, 0x20000, {"-mi", "0", "0B361043"}, once, 0x8000},
    };
    const std::string directSeprom =
        "format 1.0\ntype_table(1)\ntype_table_entry(0, 0, \"M25P10/C\", type_vosk_stm25p, 20000, 1, 1)\n"
        "asic(\"Vosk Board\", tev_halm, 1, 0, 0, 0, 0)\ndet_pcicmp(2, ffff, 7B00, 7B00, det_pass)\nend\n";
    for (const Case& c : cases) {
        E2e e;
        e.options.timeoutSeconds = 60;
        const bool onParallel = c.machine.rfind(parallel, 0) == 0;
        if (c.textTable)
            vmtest::WriteFile(e.File("quendrix.rom"),
                              onParallel ? vmtest::ReadFile(VM_SOURCE_DIR "/tests/engine/fixtures/parallel_boards.rom")
                                         : directSeprom);
        vmtest::RomImageBuilder b;
        b.Patch(0x76, {0x02, 0x10, 0x00, 0x0B});
        Bytes old = b.Build();
        old.resize(c.size, 0xFF);
        for (std::size_t i = 0x800; i < 0x1F000; ++i) old[i] = std::uint8_t(i * 13 + 5);
        // The file holds the part's own bytes, whatever the wiring.
        vmtest::WriteBytes(e.File("flash.rom"), old);
        vmtest::WriteBytes(e.File("new.rom"), Image("010.006.000.000", 0x20000));
        e.machine = c.machine + " file=flash.rom\n";
        vmtest::RunResult r = e.Sim(c.args);
        EXPECT_FALSE(r.timedOut) << c.name;
        EXPECT_EQ(r.exitCode, 1) << c.name << "\n" << r.out;
        std::size_t at = 0;
        for (const std::string& line : c.lines) {
            at = r.out.find(line, at);
            ASSERT_NE(at, std::string::npos) << c.name << ": " << line << " in\n" << r.out;
            at += line.size();
        }
        EXPECT_EQ(r.out.find(notErased, at), std::string::npos) << c.name << "\n" << r.out;
        Bytes left = old;
        std::fill(left.begin(), left.begin() + std::ptrdiff_t(c.cleared), 0xFF);
        EXPECT_TRUE(vmtest::ReadBytes(e.File("flash.rom")) == left) << c.name;
    }
}

// A serial-EEPROM controller that never finishes a command, or a part that
// never enables a write: a blank part needs no erase, and the write stops
// instead of paying a time-out for every byte.
TEST(WriteFaults, AWriteThatCannotStartEndsTheWrite) {
    const struct {
        const char* fault;
        const char* line;
    } cases[] = {
        {"fault=controller-stuck", "ASIC not idle after write enable\n0/20000h bytes programmed\n"},
        {"fault=wel-stuck", "Write enable not set\n0/20000h bytes programmed\n"},
    };
    for (const auto& c : cases) {
        E2e e;
        e.options.timeoutSeconds = 60;
        const Bytes blank(0x20000, 0xFF);
        vmtest::WriteBytes(e.File("flash.rom"), blank);
        vmtest::WriteBytes(e.File("new.rom"), Image("010.006.000.000", 0x20000, 0x5A41));
        e.machine = std::string("adapter 0000:01:00.0 nerrow strap=3\nseprom file=flash.rom ") + c.fault + "\n";
        const vmtest::RunResult r = e.Sim({"-p", "0", "new.rom"});
        EXPECT_FALSE(r.timedOut) << c.fault;
        EXPECT_EQ(r.exitCode, 1) << c.fault;
        EXPECT_NE(r.out.find(c.line), std::string::npos) << c.fault << "\n" << r.out;
        EXPECT_EQ(vmtest::ReadBytes(e.File("flash.rom")), blank) << c.fault;
    }
}

}  // namespace
