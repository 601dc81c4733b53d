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

}  // namespace
