// Failures are reported as failures: status writes the part refused, ROMs
// without a reader, backups cut short, and result or log files that cannot
// be written all end with exit code 1 and leave nothing that looks good.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "e2e/E2eSupport.h"
#include "support/RomImageBuilder.h"

using vmtest::Body;
using vmtest::E2e;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Flash() {
    vmtest::RomImageBuilder b;
    b.n512 = 0x70;
    Bytes rom = b.Build();
    rom.resize(0x20000, 0x5A);
    return rom;
}

struct SpiBoard : E2e {
    Bytes flash = Flash();
    explicit SpiBoard(const std::string& options = "") {
        vmtest::WriteBytes(File("flash.rom"), flash);
        machine = "spiboard 0000:01:00.0 gethra part=M25P10 file=flash.rom " + options + "\n";
        this->options.timeoutSeconds = 60;
    }
};

TEST(HonestResults, StatusWritesThatDoNotTakeFail) {
    struct Case {
        std::string board;
        std::vector<std::string> args;
        int exit;
        std::string out;
    };
    const Case cases[] = {
        {"status=0x84 wp", {"-ws", "0", "0"}, 1, "Fail\n"},
        {"status=0x8C wp", {"-lockhdcp", "0"}, 1, "Fail\n"},
        {"status=0x84 wp", {"-unlockrom", "0"}, 1, "ROM Unlock Failed\n"},
        // The write-enable latch never sets: the engine sends no write.
        {"status=0x00 fault=wel-stuck", {"-lockhdcp", "0"}, 1, "Failed to read ROM\n"},
        // Writes that take still pass.
        {"status=0x84", {"-ws", "0", "8C"}, 0, "Ok\n"},
        {"status=0x00", {"-lockhdcp", "0"}, 0, "Ok\n"},
        {"status=0x84", {"-unlockrom", "0"}, 0, "ROM Unlocked\n"},
    };
    for (const Case& c : cases) {
        SpiBoard m(c.board);
        const std::string what = c.board + " " + c.args[0];
        vmtest::RunResult r = m.Sim(c.args);
        EXPECT_EQ(r.exitCode, c.exit) << what;
        EXPECT_EQ(Body(r), c.out) << what;
        EXPECT_EQ(vmtest::ReadBytes(m.File("flash.rom")), m.flash) << what;
    }
}

TEST(HonestResults, SilentCompanionChipEepromIsNotReadSoNothingPasses) {
    // An EEPROM that never answers: no command may pass 0xFF filler off as
    // its content.
    E2e e;
    e.machine = "adapter 0000:01:00.0 pardel\ni2ceeprom fault=absent\n";
    e.options.timeoutSeconds = 60;
    vmtest::WriteBytes(e.File("image.rom"), Bytes(0x80, 0xFF));
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{"-s", "0", "out.rom"}, "Failed to read ROM\n"},
        {{"-v", "0", "image.rom"}, "Failed to read ROM\n\n   ERROR: 0FL04\n"},
        {{"-cr", "0", "80"}, "Failed to read ROM\n\n   ERROR: 0FL03\n"},
        {{"-t", "0"}, "Fail\n\n   ERROR: 0FL02\n"},
    };
    for (const Case& c : cases) {
        vmtest::RunResult r = e.Sim(c.args);
        EXPECT_EQ(r.exitCode, 1) << c.args[0];
        EXPECT_EQ(Body(r), c.out) << c.args[0];
    }
    EXPECT_FALSE(vmtest::FileExists(e.File("out.rom")));
}

TEST(HonestResults, BackupCutShortIsRemoved) {
    SpiBoard m;
    m.options.fileSizeLimit = 0x1000;  // the disk fills after 4 KiB
    vmtest::RunResult r = m.Sim({"-s", "0", "out.rom", "20000"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Body(r), "Failed to write file out.rom\n");
    EXPECT_FALSE(vmtest::FileExists(m.File("out.rom")));
    // A device that refuses the bytes is left in place.
    m.options.fileSizeLimit = -1;
    r = m.Sim({"-s", "0", "/dev/full"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(vmtest::FileExists("/dev/full"));
}

TEST(HonestResults, UnwritableResultAndLogFilesFailTheRun) {
    struct Case {
        const char* name;        // made a directory or a FIFO
        bool fifo;
        std::vector<std::string> args;
        std::string err;
        std::string out;
    };
    const Case cases[] = {
        {"errorid.tmp", false, {"-t", "0", "-ps"}, "Failed to write result file errorid.tmp\n", "Pass\n"},
        {"errorid.tmp", true, {"-t", "0", "-ps"}, "Failed to write result file errorid.tmp\n", "Pass\n"},
        {"errorid.tmp", false, {"-t", "1", "-ps"}, "Failed to write result file errorid.tmp\n",
         "Adapter not found\n\n   ERROR: 0FL02\n"},
        // The command does not run without the log it was asked to keep.
        {"vorbanmill.log", false, {"-t", "0", "-log"}, "Failed to open log file vorbanmill.log\n", ""},
        {"vorbanmill.log", true, {"-t", "0", "-logappend"}, "Failed to open log file vorbanmill.log\n", ""},
    };
    for (const Case& c : cases) {
        SpiBoard m;
        const std::string what = std::string(c.name) + (c.fifo ? " fifo " : " dir ") + c.args[1] + c.args[2];
        const std::string path = m.File(c.name);
        ASSERT_EQ(c.fifo ? mkfifo(path.c_str(), 0666) : mkdir(path.c_str(), 0777), 0) << what;
        vmtest::RunResult r = m.Sim(c.args);
        EXPECT_FALSE(r.timedOut) << what;
        EXPECT_EQ(r.exitCode, 1) << what;
        EXPECT_EQ(r.err, c.err) << what;
        EXPECT_EQ(Body(r), c.out) << what;
    }
}

// A failure names its cause: a ROM that cannot be read, as "-rs" names it,
// and a boot message asked of an image without a boot message line.
TEST(HonestResults, FailuresNameTheirCause) {
    vmtest::RomImageBuilder b;
    b.n512 = 0x70;
    b.strings[3] = "TEST CARD NAME";       // no line breaks anywhere
    b.Patch(0x76, {0x02, 0x10, 0x00, 0x0B});  // the header's IDs, where the edit finds them
    Bytes noBootLine = b.Build();
    noBootLine.resize(0x20000, 0x5A);
    const std::string unread = "Failed to read ROM\n";
    struct Case {
        std::string board;
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {"fault=unknown-id", {"-isr", "0"}, unread},
        {"fault=status-stuck", {"-prod", "0"}, unread},
        {"fault=unknown-id", {"-isr", "0", "1", "2"}, unread},
        {"fault=status-stuck", {"-prod", "0", "000123456789"}, unread},
        {"fault=unknown-id", {"-checkprodsn", "0", "000123456789"}, unread + "\n   ERROR: 0FL07\n"},
        {"", {"-mb", "0", "boot.txt"}, "ROM boot message not found\n\n   ERROR: 0FL05\n"},
    };
    for (const Case& c : cases) {
        SpiBoard m(c.board);
        if (c.args[0] == "-mb") {
            m.flash = noBootLine;
            vmtest::WriteBytes(m.File("flash.rom"), m.flash);
            vmtest::WriteFile(m.File("boot.txt"), "bootmsg = \"New message\"\n");
        }
        const std::string what = c.board + " " + c.args[0] + " " + std::to_string(c.args.size());
        vmtest::RunResult r = m.Sim(c.args);
        EXPECT_EQ(r.exitCode, 1) << what;
        EXPECT_EQ(Body(r), c.out) << what;
        EXPECT_EQ(vmtest::ReadBytes(m.File("flash.rom")), m.flash) << what;
    }
}

// Every command that reads the ROM before it writes names the cause when it
// cannot, on every kind of board and bus fault, and writes nothing.
TEST(HonestResults, EveryReadBeforeAWriteNamesWhyItFailed) {
    const std::string gpio = vmtest::ReadFile(VM_SOURCE_DIR "/tests/engine/fixtures/gpio_i2c_board.rom");
    const std::string parallel = vmtest::ReadFile(VM_SOURCE_DIR "/tests/engine/fixtures/parallel_boards.rom");
    const std::string gpioBoard = "adapter 0000:01:00.0 quor device=0x4152\ni2ceeprom bus=gpio page=8 file=flash.rom ";
    const struct {
        std::string machine, table, cause;
    } boards[] = {
        {gpioBoard + "fault=absent", gpio, "Adapter not found\n"},
        {gpioBoard + "fault=scl-low", gpio, "Adapter not found\n"},
        {"adapter 0000:01:00.0 pardel\ni2ceeprom file=flash.rom fault=nack-read", "", "Failed to read ROM\n"},
        {"adapter 0000:01:00.0 nerrow strap=3\nseprom file=flash.rom fault=absent", "", "Failed to read ROM\n"},
        {"adapter 0000:01:00.0 quor device=0x4160\nparallelflash file=flash.rom fault=absent", parallel,
         "Failed to read ROM\n"},
        {"spiboard 0000:01:00.0 orpane file=flash.rom fault=status-never", "", "Failed to read ROM\n"},
    };
    const std::vector<std::string> commands[] = {
        {"-p", "0", "new.rom"},
        {"-isr", "0", "1", "2"},
        {"-prod", "0", "000123456789"},
        {"-checkprodsn", "0", "000123456789"},
        {"-p", "0", "new.rom", "-keepisrsn"},
        {"-mi", "0", "0B361043"},
        {"-mb", "0", "ids.txt"},
    };
    for (const auto& b : boards) {
        for (const auto& args : commands) {
            E2e m;
            const bool eeprom = b.machine.find("i2ceeprom") != std::string::npos;
            const Bytes flash(eeprom ? b.machine.find("gpio") != std::string::npos ? 0x100 : 0x80 : 0x20000, 0x5A);
            vmtest::WriteBytes(m.File("flash.rom"), flash);
            vmtest::WriteBytes(m.File("new.rom"), Flash());
            vmtest::WriteFile(m.File("ids.txt"), "ssid = 0B36\n");
            if (!b.table.empty()) vmtest::WriteFile(m.File("quendrix.rom"), b.table);
            m.machine = b.machine + "\n";
            const vmtest::RunResult r = m.Sim(args);
            const std::string what = b.machine + " " + testing::PrintToString(args);
            EXPECT_EQ(r.exitCode, 1) << what;
            EXPECT_NE(Body(r).find(b.cause), std::string::npos) << what << "\n" << r.out;
            EXPECT_EQ(vmtest::ReadBytes(m.File("flash.rom")), flash) << what;
        }
    }
}

}  // namespace
