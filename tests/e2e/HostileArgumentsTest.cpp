// Arguments that must not be taken as something else: values that do not
// fit what they are written to, adapter numbers that would wrap onto
// another adapter, a retry count that is no small number, and a log file
// that takes no writes. Nothing reaches either board's flash.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "e2e/E2eSupport.h"
#include "support/RomImageBuilder.h"

using vmtest::Body;
using vmtest::E2e;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Flash(std::uint16_t ssid) {
    vmtest::RomImageBuilder b;
    b.ssid = ssid;
    b.totalLength = 0x20000;
    return b.Build();
}

// Adapters 0 and 1, each with its own flash file.
struct TwoBoards : E2e {
    Bytes flash[2] = {Flash(0x0B00), Flash(0x0B01)};
    TwoBoards() {
        for (int i = 0; i < 2; ++i) vmtest::WriteBytes(File("flash" + std::to_string(i) + ".rom"), flash[i]);
        vmtest::WriteBytes(File("image.rom"), Flash(0x0B36));
        machine = "spiboard 0000:01:00.0 gethra part=M25P10 file=flash0.rom\n"
                  "spiboard 0000:02:00.0 gethra part=M25P10 file=flash1.rom\n";
    }
    bool Untouched() const {
        return vmtest::ReadBytes(File("flash0.rom")) == flash[0] && vmtest::ReadBytes(File("flash1.rom")) == flash[1];
    }
};

TEST(HostileArguments, ValuesThatDoNotFitWriteNothing) {
    const std::string mi = "Format: vorbanmill -mi <adapter num> [ssid]\n";
    const std::string isr = "Format: vorbanmill -isr <adapter num> [build number] [board number]\n";
    const std::string prod = "Format: vorbanmill -prod <adapter num> [12 Digit Serial Number]\n";
    const struct {
        std::vector<std::string> args;
        std::string out;
    } kCases[] = {
        {{"-mi", "0", "zz"}, mi},
        {{"-mi", "0", "0B36-1002"}, mi},
        {{"-mi", "0", "10B361002"}, mi},
        {{"-ws", "0", "1FF"}, "Format: vorbanmill \n"},
        {{"-ws", "0", ""}, "Format: vorbanmill \n"},
        {{"-isr", "0", "7x", "8"}, isr},
        {{"-isr", "0", "7", "8x"}, isr},
        {{"-isr", "0", "1a", "8"}, isr},
        {{"-isr", "0", "7", "4294967296"}, isr},
        {{"-prod", "0", "00012345678a"}, prod},
        {{"-p", "0", "image.rom", "-retries=-1"}, "Format: vorbanmill -p <adapter num> <filename>\n"},
        {{"-p", "0", "image.rom", "-retries=100"}, "Format: vorbanmill -p <adapter num> <filename>\n"},
        {{"-p", "0", "image.rom", "-retries=1a"}, "Format: vorbanmill -p <adapter num> <filename>\n"},
        // 2^32 + 1 and 2^32 would be adapters 1 and 0, -1 the last one.
        {{"-isr", "4294967297", "7", "8"}, "Adapter not found\n"},
        {{"-prod", "4294967296", "000123456789"}, "Adapter not found\n"},
        {{"-isr", "-1", "7", "8"}, "Adapter not found\n"},
        {{"-prod", "-1", "000123456789"}, "Adapter not found\n"},
        {{"-checkpn", "4294967296", "image.rom"}, "Adapter not found\n\n   ERROR: 0FL03\n"},
    };
    TwoBoards m;
    for (const auto& c : kCases) {
        const vmtest::RunResult r = m.Sim(c.args);
        const std::string name = testing::PrintToString(c.args);
        EXPECT_EQ(r.exitCode, 1) << name;
        EXPECT_EQ(Body(r), c.out) << name;
        EXPECT_TRUE(m.Untouched()) << name;
    }
}

// The README's promise: a log that takes no writes ends the run with a
// line on standard error and exit code 1.
TEST(HostileArguments, ALogThatTakesNoWritesFailsTheRun) {
    TwoBoards m;
    ASSERT_EQ(symlink("/dev/full", m.File("vorbanmill.log").c_str()), 0);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-i", "-log"}, {"-t", "0", "-logappend"}, {"-log"}}) {
        const vmtest::RunResult r = m.Sim(args);
        EXPECT_EQ(r.exitCode, 1) << args[0];
        EXPECT_EQ(r.err, "Failed to write log file vorbanmill.log\n") << args[0];
    }
    EXPECT_TRUE(m.Untouched());
}

}  // namespace
