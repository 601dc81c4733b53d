// Parallel flash boards, reachable through a text type table only: the
// listing shows the size of the identified part on either board wiring,
// "-s" saves the ROM as the board presents it, whatever the part holds in
// its own line order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/E2eSupport.h"
#include "sim/SimParallelFlash.h"
#include "support/ParallelWiring.h"
#include "support/RomImageBuilder.h"
#include "support/TailBlockBuilder.h"

using vmtest::Body;
using vmtest::E2e;

namespace {

using Bytes = std::vector<std::uint8_t>;

// A BIOS image followed by a pattern.
Bytes RomContents(std::size_t size, unsigned seed, std::uint16_t device = 0x4160) {
    vmtest::RomImageBuilder b;
    b.n512 = 0x70;
    b.deviceId = device;
    Bytes rom = b.Build();
    rom.resize(size);
    for (std::size_t i = 0xE000; i < size; ++i) rom[i] = std::uint8_t(i * 13 + (i >> 8) + seed);
    return rom;
}

// The part's array holding `rom` as seen through the board's wiring.
Bytes PartArray(const Bytes& rom, const SimParallelPartModel& model, bool swizzled) {
    SimParallelFlash wiring(model, std::make_shared<SimStorage>(model.size), swizzled);
    Bytes part(model.size, 0xFF);
    for (std::uint32_t o = 0; o < rom.size(); ++o) part[wiring.PartAddress(o) % model.size] = wiring.PartData(rom[o]);
    return part;
}

struct ParallelMachine : E2e {
    Bytes plainRom, swizzledRom;
    ParallelMachine() {
        vmtest::WriteFile(File("quendrix.rom"),
                          vmtest::ReadFile(VM_SOURCE_DIR "/tests/engine/fixtures/parallel_boards.rom"));
        plainRom = RomContents(0x20000, 1);
        swizzledRom = RomContents(0x10000, 2);
        vmtest::WriteBytes(File("plain.rom"), plainRom);
        vmtest::WriteBytes(File("swizzled.rom"), PartArray(swizzledRom, *FindSimParallelPart("AT49F512"), true));
        machine =
            "adapter 0000:01:00.0 quor device=0x4160\n"
            "parallelflash part=SST39SF010 file=plain.rom\n"
            "adapter 0000:02:00.0 quor device=0x4160\n"
            "parallelflash part=AT49F512 swizzled file=swizzled.rom\n";
    }
};

TEST(ParallelBoards, ListedWithThePartSizeAndSavedThroughEitherWiring) {
    ParallelMachine m;
    const Bytes swizzledPart = vmtest::ReadBytes(m.File("swizzled.rom"));
    vmtest::RunResult r = m.Sim({"-i"});
    EXPECT_EQ(r.exitCode, 0);
    const std::string body = Body(r);
    EXPECT_NE(body.find("   0    0000 01 00 4160 Oskel Parallel  Parallel         20000 pass "), std::string::npos)
        << body;
    EXPECT_NE(body.find("   1    0000 02 00 4160 Oskel Parallel  Parallel         10000 pass "), std::string::npos)
        << body;

    r = m.Sim({"-s", "0", "out0.rom"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Body(r).rfind("0x20000 bytes saved, ", 0), 0u) << Body(r);
    EXPECT_EQ(vmtest::ReadBytes(m.File("out0.rom")), m.plainRom);
    // A ROM of 64 KiB or less is saved as its BIOS image.
    r = m.Sim({"-s", "1", "out1.rom"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(vmtest::ReadBytes(m.File("out1.rom")), Bytes(m.swizzledRom.begin(), m.swizzledRom.begin() + 0xE000));

    // Identification talks to the parts; their arrays stay as they were.
    EXPECT_EQ(vmtest::ReadBytes(m.File("plain.rom")), m.plainRom);
    EXPECT_EQ(vmtest::ReadBytes(m.File("swizzled.rom")), swizzledPart);
}

// A byte-programmed part with
// other contents is chip-erased before it is programmed.
TEST(ParallelBoards, ProgramReplacesOtherContentsOnAByteModePart) {
    ParallelMachine m;
    const Bytes image = RomContents(0x20000, 7);
    vmtest::WriteBytes(m.File("new.rom"), image);
    vmtest::RunResult r = m.Sim({"-p", "0", "new.rom"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(vmtest::ReadBytes(m.File("plain.rom")), image);
    r = m.Sim({"-s", "0", "back.rom"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(vmtest::ReadBytes(m.File("back.rom")), image);
}

}  // namespace

// A shorter image leaves 0xFF to the end of the part, on a part erased as a
// whole and on one that erases only the pages it writes.
TEST(ParallelBoards, AShortImageLeavesTheRestOfThePartBlank) {
    for (const char* part : {"SST39SF010", "AT29C010A"}) {
        ParallelMachine m;
        m.machine = std::string("adapter 0000:01:00.0 quor device=0x4160\nparallelflash part=") + part +
                    " file=plain.rom\n";
        Bytes image = RomContents(0x10000, 7);
        vmtest::WriteBytes(m.File("new.rom"), image);
        vmtest::RunResult r = m.Sim({"-p", "0", "new.rom"});
        EXPECT_EQ(r.exitCode, 0) << part << r.out;
        image.resize(0x20000, 0xFF);
        EXPECT_EQ(vmtest::ReadBytes(m.File("plain.rom")), image) << part;
    }
}

// Page-programmed parts on the permuted wiring, where a part page spreads
// over 2 KiB of the aperture, are written by the part's own pages: each
// command leaves what was asked, told through the program's own "-v" (the
// part's file is in its own line order). On a board without retries a page
// that fails once is written again by the last attempt.
TEST(ParallelBoards, PagePartsOnThePermutedWiringTakeEveryWrite) {
    struct Case {
        std::string part;
        std::vector<std::string> args;
        std::string faults = "";
        int device = 0x4160;
    };
    std::vector<Case> cases;
    for (const char* part : {"AT29C010A", "W29EE011", "AT29C020", "AT29C040A"})
        for (const auto& args : std::vector<std::vector<std::string>>{
                 {"-p", "0", "new.rom"}, {"-isr", "0", "7", "8"}, {"-p", "0", "new.rom", "-keepisrsn"}})
            cases.push_back({part, args});
    // The page the board shows at 0xF000, past the BIOS, where the old ROM and the image differ.
    cases.push_back({"AT29C010A", {"-p", "0", "new.rom"},
                     " fail-program-at=" + std::to_string(vmtest::PermutedPartAddress(0xF000)), 0x4161});
    for (const Case& c : cases) {
        const std::uint32_t size = FindSimParallelPart(c.part)->size, rom = std::min<std::uint32_t>(size, 0x40000);
        E2e e;
        vmtest::WriteFile(e.File("quendrix.rom"),
                          vmtest::ReadFile(VM_SOURCE_DIR "/tests/engine/fixtures/parallel_boards.rom"));
        const std::uint16_t device = std::uint16_t(c.device);
        Bytes old = RomContents(size, 3, device), want = RomContents(0x10000, 9, device);
        vmtest::WriteBytes(e.File("new.rom"), want);
        const Bytes isr = vmtest::IsrBytes(1, 2), newIsr = vmtest::IsrBytes(7, 8);
        std::copy(isr.begin(), isr.end(), old.begin() + rom - 20);
        vmtest::WriteBytes(e.File("flash.rom"), vmtest::PermutedPartFile(old));
        want.resize(rom, 0xFF);
        if (c.args[0] == "-isr") want.assign(old.begin(), old.begin() + rom);
        // "-isr" writes its block, the keep switch keeps the old one.
        if (c.args.size() != 3) std::copy_n(c.args[0] == "-isr" ? newIsr.begin() : isr.begin(), 20, want.end() - 20);
        vmtest::WriteBytes(e.File("want.rom"), want);
        e.machine = "adapter 0000:01:00.0 quor device=" + std::to_string(c.device) +
                    " romsize=0x40000\nparallelflash part=" + c.part + " swizzled file=flash.rom" + c.faults + "\n";
        const vmtest::RunResult r = e.Sim(c.args);
        EXPECT_EQ(r.exitCode, 0) << c.part << " " << c.args[0] << c.faults << "\n" << r.out;
        EXPECT_EQ(e.Sim({"-v", "0", "want.rom"}).exitCode, 0) << c.part << " " << c.args.back() << c.faults;
    }
}
