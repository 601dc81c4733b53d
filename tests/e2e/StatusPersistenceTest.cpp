// The flash part's protection bits survive between runs (kept beside the
// flash file), so one run's lock is read back by the next, and what "-p"
// leaves behind on success, refusal and failure can be seen.
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
using Args = std::vector<std::string>;

Bytes Image(const std::string& version) {
    RomImageBuilder b;
    b.deviceId = 0x6780;
    b.partNumber = "113-TEST01-100";
    b.strings[6] = "VER" + version;
    return b.Build();
}

struct Case {
    const char* name;
    std::string options;  // of the part on the machine line (after the board, when given)
    Args first;
    int firstExit;
    std::string status;   // "-rs" in the next run
    std::string board = "spiboard 0000:01:00.0 orpane part=M25P10";
};

// The serial EEPROM behind the bridge keeps its bits the same way.
const char kSerialEeprom[] = "adapter 0000:01:00.0 nerrow strap=3\nseprom";

const Args kProgram = {"-p", "0", "new.rom"};

void RunCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        E2e e;
        Bytes flash(0x20000, 0x5A);
        const Bytes current = Image("010.005.000.000");
        std::copy(current.begin(), current.end(), flash.begin());
        vmtest::WriteBytes(e.File("flash.rom"), flash);
        vmtest::WriteBytes(e.File("new.rom"), Image("010.006.000.000"));
        vmtest::WriteBytes(e.File("old.rom"), Image("010.004.000.000"));
        Bytes tooLong = Image("010.006.000.000");
        tooLong.resize(0x40000, 0xFF);
        vmtest::WriteBytes(e.File("long.rom"), tooLong);
        e.machine = c.board + " file=flash.rom " + c.options + "\n";

        vmtest::RunResult r = e.Sim(c.first);
        EXPECT_EQ(r.exitCode, c.firstExit) << r.out;
        r = e.Sim({"-rs", "0"});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(Body(r), c.status);
    }
}

TEST(StatusPersistence, ProtectionSeenByTheNextRun) {
    RunCases({
        // status= only describes a new part: the saved lock wins over it.
        {"lock then read", "status=0x00", {"-lockrom", "0"}, 0, "8ch\n"},
        {"unlock then read", "status=0x8C", {"-unlockrom", "0"}, 0, "00h\n"},
        // "-p" locks the part when it is done, whatever it found.
        {"program unlocked part", "", kProgram, 0, "8ch\n"},
        {"program locked part", "status=0x8C", kProgram, 0, "8ch\n"},
        {"older image refused", "status=0x8C", {"-p", "0", "old.rom"}, 1, "8ch\n"},
        {"write fails", "status=0x8C stuck=0x10:0x01:0x00", kProgram, 1, "8ch\n"},
        {"image longer than the part", "status=0x8C", {"-p", "0", "long.rom"}, 1, "8ch\n"},
        {"erase fails", "status=0x8C fault=erase-fails", kProgram, 1, "8ch\n"},
        {"erase fails, retried", "status=0x8C fault=erase-fails", {"-p", "0", "new.rom", "-retries=1"}, 1, "8ch\n"},
        {"serial EEPROM lock then read", "status=0x00", {"-lockrom", "0"}, 0, "8ch\n", kSerialEeprom},
    });
}

}  // namespace
