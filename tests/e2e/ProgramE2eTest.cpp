// "-p" as a process on a machine file whose flash persists between runs:
// programming, reading back with "-s", and the old-board question answered
// through standard input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/E2eSupport.h"
#include "support/RomImageBuilder.h"

using vmtest::Body;
using vmtest::E2e;
using vmtest::RomImageBuilder;

namespace {

using Bytes = std::vector<std::uint8_t>;

RomImageBuilder Image(std::uint16_t device, const std::string& partNumber, const std::string& version) {
    RomImageBuilder b;
    b.deviceId = device;
    b.partNumber = partNumber;
    b.strings[6] = "VER" + version;
    return b;
}

vmtest::RunResult SimWithInput(E2e& e, const std::vector<std::string>& args, const std::string& input) {
    vmtest::WriteFile(e.File("machine.txt"), e.machine);
    vmtest::RunOptions opt;
    opt.cwd = e.dir.Path();
    opt.env["VORBANMILL_SIM_MACHINE"] = e.File("machine.txt");
    opt.stdinText = input;
    return vmtest::Run(vmtest::kVmSimExe, args, opt);
}

TEST(ProgramE2e, ProgramThenSaveReadsTheImageBack) {
    E2e e;
    const Bytes old = Image(0x6780, "113-TEST01-100", "010.005.000.000").Build();
    Bytes flash(0x20000, 0x5A);
    std::copy(old.begin(), old.end(), flash.begin());
    vmtest::WriteBytes(e.File("flash.rom"), flash);
    e.machine = "spiboard 0000:01:00.0 orpane part=M25P10 file=flash.rom\n";
    const Bytes image = Image(0x6780, "113-TEST01-100", "010.006.000.000").Build();
    vmtest::WriteBytes(e.File("new.rom"), image);

    vmtest::RunResult r = e.Sim({"-p", "0", "new.rom"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(Body(r).find("800/800h bytes verified\n"), std::string::npos) << r.out;
    Bytes expected(0x20000, 0xFF);
    std::copy(image.begin(), image.end(), expected.begin());
    EXPECT_EQ(vmtest::ReadBytes(e.File("flash.rom")), expected);

    r = e.Sim({"-s", "0", "back.rom", "800"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(vmtest::ReadBytes(e.File("back.rom")), image);
}

// A forced "-p" on the first-generation boards of this family warns about
// old images and asks; anything but "n" ends the program.
TEST(ProgramE2e, OldBoardQuestionThroughStandardInput) {
    const Bytes image = Image(0x66A0, "113-W27201-005", "001.000.000.000").Build();
    struct Case {
        std::vector<std::string> args;
        std::string input;
        bool asked;
        int exitCode;
        bool programmed;
    } cases[] = {
        {{"-p", "0", "new.rom", "-f"}, "y\n", true, 26, false},
        {{"-p", "0", "new.rom", "-f"}, "", true, 26, false},
        {{"-p", "0", "new.rom", "-f"}, "n\n", true, 0, true},
        {{"-p", "0", "new.rom", "-f"}, "N\n", true, 0, true},
        // Only a "-p" typed first brings the question.
        {{"-f", "-p", "0", "new.rom"}, "y\n", false, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " with '" + c.input + "'");
        E2e e;
        const Bytes flash(0x80000, 0xFF);
        vmtest::WriteBytes(e.File("flash.rom"), flash);
        vmtest::WriteBytes(e.File("new.rom"), image);
        e.machine = "spiboard 0000:01:00.0 fyrand part=M25P40 file=flash.rom device=0x66A0\n";
        vmtest::RunResult r = SimWithInput(e, c.args, c.input);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
        const std::string question =
            "Bios P/N in file new.rom is   :    113-W27201-005 \n"
            "Bios P/N on ROM is       :                   \n"
            "!!!!!!\n";
        EXPECT_EQ(r.out.find(question) != std::string::npos, c.asked) << r.out;
        EXPECT_EQ(r.out.find("Exiting the program rom command.\n") != std::string::npos, !c.programmed) << r.out;
        Bytes expected = flash;
        if (c.programmed) std::copy(image.begin(), image.end(), expected.begin());
        EXPECT_EQ(vmtest::ReadBytes(e.File("flash.rom")), expected);
    }
}

// The warning looks at the board the command names, whichever board the
// scan finds first: a W272 image forced onto the Ivrel board is asked
// about, the same image forced onto the other board is not.
TEST(ProgramE2e, OldBoardQuestionAsksOnlyForTheIvrelBoardNamed) {
    const Bytes image = Image(0x66A0, "113-W27201-005", "001.000.000.000").Build();
    const Bytes ivrelRom = Image(0x66A0, "113-W27201-004", "000.900.000.000").Build();
    const std::string ivrel = "spiboard 0000:%s.0 fyrand part=M25P40 file=ivrel.rom device=0x66A0\n";
    const std::string other = "spiboard 0000:%s.0 orpane part=M25P10 file=other.rom\n";
    struct Case {
        bool ivrelFirst;
        const char* adapter;
        bool asked;  // and the default answer ends the run
    } cases[] = {{false, "1", true}, {false, "0", false}, {true, "0", true}, {true, "1", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.ivrelFirst ? "Ivrel first, -p " : "Ivrel second, -p ") + c.adapter);
        E2e e;
        Bytes ivrelFlash = ivrelRom, otherFlash = Image(0x6780, "113-TEST01-100", "010.005.000.000").Build();
        ivrelFlash.resize(0x80000, 0xFF);
        otherFlash.resize(0x20000, 0xFF);
        vmtest::WriteBytes(e.File("ivrel.rom"), ivrelFlash);
        vmtest::WriteBytes(e.File("other.rom"), otherFlash);
        vmtest::WriteBytes(e.File("new.rom"), image);
        auto at = [](std::string line, const char* slot) { return line.replace(line.find("%s"), 2, slot); };
        e.machine = c.ivrelFirst ? at(ivrel, "01:00") + at(other, "02:00") : at(other, "01:00") + at(ivrel, "02:00");
        vmtest::RunResult r = SimWithInput(e, {"-p", c.adapter, "new.rom", "-f"}, "");
        EXPECT_EQ(r.exitCode, c.asked ? 26 : 0) << r.out;
        EXPECT_EQ(r.out.find("Bios P/N on ROM is       :    113-W27201-004 \n") != std::string::npos, c.asked) << r.out;
        EXPECT_EQ(r.out.find("!!!!!!") != std::string::npos, c.asked) << r.out;
        // The Ivrel board is never written; the other one is when named.
        EXPECT_EQ(vmtest::ReadBytes(e.File("ivrel.rom")), ivrelFlash);
        Bytes expected = otherFlash;
        if (!c.asked) {
            expected.assign(0x20000, 0xFF);
            std::copy(image.begin(), image.end(), expected.begin());
        }
        EXPECT_EQ(vmtest::ReadBytes(e.File("other.rom")), expected);
    }
}

// A one-board machine whose flash holds `rom` followed by `fill`, and the
// image in new.rom. Programmed() tells whether the flash now holds the
// image; otherwise it must hold what it held.
struct ProgramCase {
    E2e e;
    Bytes flash;
    ProgramCase(const Bytes& rom, std::uint8_t fill, const Bytes& image) : flash(0x20000, fill) {
        std::copy(rom.begin(), rom.end(), flash.begin());
        vmtest::WriteBytes(e.File("flash.rom"), flash);
        vmtest::WriteBytes(e.File("new.rom"), image);
        e.machine = "spiboard 0000:01:00.0 orpane part=M25P10 file=flash.rom\n";
    }
    bool Programmed(const Bytes& image) {
        Bytes expected(0x20000, 0xFF);
        std::copy(image.begin(), image.end(), expected.begin());
        const Bytes now = vmtest::ReadBytes(e.File("flash.rom"));
        if (now != expected) {
            EXPECT_EQ(now, flash) << "neither the image nor the old flash";
        }
        return now == expected;
    }
};

// The board's own BIOS is judged whatever the image's length: a foreign
// BIOS shorter or longer than it meets the same check, and the old lines
// show the board. A board BIOS that fails its own check has nothing to
// judge: the retry of a write that left one byte wrong goes through.
TEST(ProgramE2e, TheBoardsOwnBiosIsJudgedAtAnyImageLength) {
    RomImageBuilder board = Image(0x6780, "113-DEMO01-100", "008.012.000.004");
    board.n512 = 0x70;
    board.strings[3] = "\r\nDEMO BOARD\r\n";
    RomImageBuilder foreign = Image(0x6780, "113-OTHER9-100", "007.000.000.000");
    foreign.ssid = 0x1234;
    foreign.strings[3] = "\r\nOTHER BOARD\r\n";
    Bytes damaged = board.Build();
    damaged[0x400] ^= 0x01;
    const std::string shown =
        "Old Product Name: DEMO BOARD\nNew Product Name: OTHER BOARD\nOld BIOS Version: 008.012.000.004\n";
    const struct {
        bool damagedBoard;
        std::vector<std::string> switches;
        int exitCode;
        std::string line;
    } cases[] = {
        {false, {}, 1, "Newer ROM version already programmed\n"},
        {false, {"-fv"}, 1, "SSID mismatched\n"},
        {false, {"-fv", "-fs"}, 1, "P/N mismatched\n"},
        {false, {"-fv", "-fs", "-fp"}, 0, shown},
        {true, {}, 0, "bytes verified\n"},
        {true, {"-fv", "-fs", "-fp", "-fm"}, 0, "bytes verified\n"},
        {true, {"-f"}, 0, "bytes verified\n"},
    };
    for (unsigned n512 : {0x60u, 0x78u}) {
        foreign.n512 = n512;
        const Bytes image = foreign.Build();
        for (const auto& c : cases) {
            SCOPED_TRACE(std::to_string(n512) + (c.switches.empty() ? "" : " " + c.switches.back()));
            ProgramCase run(c.damagedBoard ? damaged : board.Build(), 0x5A, image);
            std::vector<std::string> args = {"-p", "0", "new.rom"};
            args.insert(args.end(), c.switches.begin(), c.switches.end());
            const vmtest::RunResult r = run.e.Sim(args);
            EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
            EXPECT_NE(Body(r).find(c.line), std::string::npos) << r.out;
            EXPECT_EQ(run.Programmed(image), c.exitCode == 0);
        }
    }
}

// Already programmed only when the part holds the image and erased bytes
// after it: the legacy image of a hybrid ROM alone drops its EFI image.
TEST(ProgramE2e, AlreadyProgrammedOnlyWhenOnlyErasedBytesFollow) {
    RomImageBuilder b = Image(0x6780, "113-TEST01-100", "010.005.000.000");
    b.efiImages = {0x20};
    const Bytes hybrid = b.Build();
    const Bytes legacy(hybrid.begin(), hybrid.begin() + std::ptrdiff_t(b.LegacySize()));
    const struct {
        const Bytes& rom;
        const Bytes& image;
        int exitCode;
    } cases[] = {{hybrid, legacy, 0}, {hybrid, hybrid, 2}, {legacy, legacy, 2}};
    for (const auto& c : cases) {
        ProgramCase run(c.rom, 0xFF, c.image);
        const vmtest::RunResult r = run.e.Sim({"-p", "0", "new.rom"});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
        EXPECT_EQ(Body(r).find("Flash already programmed\n") != std::string::npos, c.exitCode == 2) << r.out;
        EXPECT_TRUE(run.Programmed(c.image));
    }
}

}  // namespace
