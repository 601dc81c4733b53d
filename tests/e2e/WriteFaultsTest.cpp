// Writing commands on faulted boards, run as processes: a failure is never
// reported as a success, and a part is never left programmed over what an
// erase did not clear, or half-programmed where the part could not take the
// image at all.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/E2eSupport.h"
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
// ends (with a retry that must not count as a success), a page-mode part
// on the permuted wiring, where a page load spans two part pages, and two
// cells that will not program, where the failure names the first.
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
    };
    const Case cases[] = {
        {"erase never ends", "part=SST39SF010 fault=erase-stuck",
         {"-p", "0", "new.rom", "-retries=1", "-ps"},
         {"ROM not erased\n", "Auto retry after failure (0 retries remaining)...\n", "ROM not erased\n"}},
        {"erase never ends, ISR block", "part=SST39SF010 fault=erase-stuck",
         {"-isr", "0", "7", "8", "-retries=1"},
         {"ROM not erased\n", "Auto retry after failure (0 retries remaining)...\n", "ROM not erased\n"}},
        {"page part, permuted wiring", "part=AT29C010A swizzled", {"-p", "0", "new.rom", "-ps"},
         {"Write fail at 00000\n", "0/20000h bytes programmed\n"}},
        {"two cells that will not program", "part=SST39SF010", {"-p", "0", "new.rom", "-retries=1", "-ps"},
         {"Write fail at 00001\n", "Auto retry after failure (0 retries remaining)...\n", "Write fail at 00001\n",
          "1/20000h bytes programmed\n"},
         {1, second}},
    };
    for (const Case& c : cases) {
        E2e e;
        e.options.timeoutSeconds = 120;
        vmtest::WriteFile(e.File("quendrix.rom"),
                          vmtest::ReadFile(VM_SOURCE_DIR "/tests/engine/fixtures/parallel_boards.rom"));
        Bytes old = Image("010.005.000.000", 0x20000, 0x4160);
        for (std::size_t i = 0x800; i < old.size(); ++i) old[i] = std::uint8_t(i * 13 + 5);
        vmtest::WriteBytes(e.File("flash.rom"), old);
        vmtest::WriteBytes(e.File("new.rom"), image);
        std::string flash = c.flash;
        for (std::uint32_t at : c.stuck) flash += " stuck=" + std::to_string(at) + ":1:0";
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
        EXPECT_EQ(vmtest::ReadBytes(e.File("flash.rom")), after) << c.name;
        if (c.args.back() == "-ps") {
            EXPECT_EQ(vmtest::ReadFile(e.File("errorid.tmp")), "0FL01\n") << c.name;
        }
    }
}

}  // namespace
