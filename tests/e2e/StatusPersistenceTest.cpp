// The flash part's protection bits survive between runs (kept beside the
// flash file), so one run's lock is read back by the next, and what "-p"
// leaves behind on success, refusal and failure can be seen. The flash
// file itself survives a save cut short and runs started together.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <set>
#include <string>
#include <thread>
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
        // The blocks' writes lock the part after a failed erase, whatever they found.
        {"-isr, erase fails", "status=0x00 fault=erase-fails", {"-isr", "0", "7", "8"}, 1, "8ch\n"},
        {"-prod, erase fails", "status=0x00 fault=erase-fails", {"-prod", "0", "000777888999"}, 1, "8ch\n"},
        {"serial EEPROM lock then read", "status=0x00", {"-lockrom", "0"}, 0, "8ch\n", kSerialEeprom},
        // SST parts set their protect bits at every power-up, whatever was written before.
        {"SST unlock then read", "", {"-unlockrom", "0"}, 0, "0ch\n", "spiboard 0000:01:00.0 tovarne part=SST25VF010"},
    });
}

// A run that erased nothing puts back the status it found, whatever it was:
// the refusals of "-p", and those of the other writing commands before
// their erase, on an SPI part and on a serial EEPROM.
TEST(StatusPersistence, RunsThatEraseNothingLeaveTheStatusAsFound) {
    RomImageBuilder b;
    b.deviceId = 0x6780;
    b.Patch(0x76, {0x02, 0x10, 0x00, 0x0B});  // the IDs "-mi" shows
    const Bytes ids = b.Build();
    Bytes bad = ids;
    bad[0x400] ^= 0x01;
    b.ssid = 0x0B01;
    const Bytes otherSsid = b.Build();
    b.ssid = 0x0B00;
    b.partNumber = "113-TEST02-100";
    const Bytes otherPartNumber = b.Build();
    // Boards of the newest family check the signature of the ROM these
    // commands write back: here a directory that points past the image.
    b.deviceId = 0x6860;
    b.headerRevision = 2;
    b.romDirectory = 0x7F0;
    const Bytes badDirectory = b.Build();
    const Bytes current = Image("010.005.000.000");
    const std::pair<const char*, Bytes> files[] = {{"bad.rom", bad},
                                                   {"same.rom", current},
                                                   {"old.rom", Image("010.004.000.000")},
                                                   {"ssid.rom", otherSsid},
                                                   {"pn.rom", otherPartNumber}};
    const std::string spi = "spiboard 0000:01:00.0 orpane part=M25P10";
    const std::string gethra = "spiboard 0000:01:00.0 gethra part=M25P40";
    const struct {
        std::vector<std::string> boards;
        const Bytes& rom;
        Args args;
        int exitCode;
        std::string line;
    } cases[] = {
        {{spi, kSerialEeprom}, current, {"-p", "0", "bad.rom"}, 1, "Invalid PC BIOS image\n"},
        {{spi, kSerialEeprom}, current, {"-p", "0", "same.rom"}, 2, "Flash already programmed\n"},
        {{spi, kSerialEeprom}, current, {"-p", "0", "old.rom"}, 1, "Newer ROM version already programmed\n"},
        {{spi, kSerialEeprom}, current, {"-p", "0", "ssid.rom"}, 1, "SSID mismatched\n"},
        {{spi, kSerialEeprom}, current, {"-p", "0", "pn.rom"}, 1, "P/N mismatched\n"},
        {{spi, kSerialEeprom}, bad, {"-mi", "0", "0B361002"}, 1, "Invalid PC BIOS image\n"},
        {{spi, kSerialEeprom}, ids, {"-mi", "0"}, 0, "ROM ssid = 0B001002\n"},
        {{spi, kSerialEeprom}, ids, {"-mb", "0", "long.txt"}, 1, "Length of BIOS Part Number TOO Long.\n"},
        {{gethra}, badDirectory, {"-isr", "0", "1", "2"}, 1, "BIOS authentication signature mismatched\n"},
        {{gethra}, badDirectory, {"-prod", "0", "123456789012"}, 1, "BIOS authentication signature mismatched\n"},
    };
    for (const auto& c : cases)
        for (const std::string& board : c.boards)
            for (const char* status : {"00h", "04h", "84h", "8ch"}) {
                SCOPED_TRACE(c.args[0] + " " + c.args.back() + " on " + board + " from " + status);
                E2e e;
                Bytes flash(board == gethra ? 0x80000 : 0x20000, 0xFF);
                std::copy(c.rom.begin(), c.rom.end(), flash.begin());
                vmtest::WriteBytes(e.File("flash.rom"), flash);
                for (const auto& [name, bytes] : files) vmtest::WriteBytes(e.File(name), bytes);
                vmtest::WriteFile(e.File("long.txt"), "biospn = 113-A-PART-NUMBER-FAR-TOO-LONG-TO-FIT\n");
                e.machine = board + " file=flash.rom status=0x" + std::string(status, 2) + "\n";

                const vmtest::RunResult r = e.Sim(c.args);
                EXPECT_EQ(r.exitCode, c.exitCode);
                EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
                EXPECT_EQ(vmtest::ReadBytes(e.File("flash.rom")), flash);
                EXPECT_EQ(Body(e.Sim({"-rs", "0"})), std::string(status) + "\n");
            }
}

// A run ends by replacing the flash file whole, and only one run at a time
// works on it: a save cut short, a run that finds the files in use and a
// flash file of the wrong length leave the flash file as it was.
TEST(StatusPersistence, FlashFileSurvivesACutSaveAndARunThatFindsItInUse) {
    struct Case {
        const char* name;
        long fileSizeLimit;
        bool lockHeld;
        std::size_t length;  // of the flash file before the run
        std::string err;     // after "vorbanmill-sim: ", DIR for the directory
        std::set<std::string> files;
    };
    const std::set<std::string> before = {"machine.txt", "flash.rom", "new.rom", "flash.rom.lock"};
    std::set<std::string> withStatus = before;
    withStatus.insert("flash.rom.status");
    const Case kCases[] = {
        {"save cut short", 0x1000, false, 0x20000, "cannot write 'DIR/flash.rom': File too large\n", withStatus},
        {"files in use", -1, true, 0x20000, "DIR/machine.txt:1: 'DIR/flash.rom' is in use by another run\n", before},
        {"flash file cut short", -1, false, 0x1FFFF,
         "DIR/machine.txt:1: 'DIR/flash.rom' holds 131071 bytes, less than the size 131072\n", before},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        E2e e;
        Bytes flash = Image("010.005.000.000");
        flash.resize(c.length, 0x5A);
        vmtest::WriteBytes(e.File("flash.rom"), flash);
        vmtest::WriteBytes(e.File("new.rom"), Image("010.006.000.000"));
        e.machine = "spiboard 0000:01:00.0 orpane part=M25P10 file=flash.rom\n";
        e.options.fileSizeLimit = c.fileSizeLimit;
        // Another run's lock, held while this one starts.
        const int other = ::open(e.File("flash.rom.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
        ASSERT_TRUE(!c.lockHeld || ::flock(other, LOCK_EX) == 0);
        const vmtest::RunResult r = e.Sim(kProgram);
        ::close(other);
        std::string err = "vorbanmill-sim: " + c.err;
        for (std::size_t at; (at = err.find("DIR")) != std::string::npos;) err.replace(at, 3, e.dir.Path());
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(vmtest::ReadBytes(e.File("flash.rom")), flash);
        EXPECT_TRUE(e.Listing() == c.files);
    }
}

// Runs started together on one machine take turns, each finding what the
// one before it left: the flash file ends as if they had run one by one.
TEST(StatusPersistence, RunsStartedTogetherTakeTurns) {
    const std::vector<Args> runs = {{"-isr", "0", "7", "8"}, {"-prod", "0", "000777888999"}};
    E2e together, oneByOne;
    for (E2e* e : {&together, &oneByOne}) {
        Bytes flash = Image("010.005.000.000");
        flash.resize(0x20000, 0xFF);
        vmtest::WriteBytes(e->File("flash.rom"), flash);
        e->machine = "spiboard 0000:01:00.0 orpane part=M25P10 file=flash.rom\n";
    }
    for (const Args& args : runs) EXPECT_EQ(oneByOne.Sim(args).exitCode, 0) << args[0];
    const vmtest::RunOptions options = together.Prepare();
    std::vector<vmtest::RunResult> results(runs.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < runs.size(); ++i)
        threads.emplace_back([&, i] { results[i] = vmtest::Run(vmtest::kVmSimExe, runs[i], options); });
    for (std::thread& t : threads) t.join();
    for (std::size_t i = 0; i < runs.size(); ++i) EXPECT_EQ(results[i].exitCode, 0) << runs[i][0] << results[i].err;
    EXPECT_EQ(vmtest::ReadBytes(together.File("flash.rom")), vmtest::ReadBytes(oneByOne.File("flash.rom")));
}

}  // namespace
