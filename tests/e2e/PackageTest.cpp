// Self-updating packages built with "-pak" by the real programs and run by
// path as processes: file-only records with vorbanmill, adapter records with
// vorbanmill-sim on a simulated board.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "commands/SignedFixtures.h"
#include "e2e/E2eSupport.h"
#include "support/RomImageBuilder.h"

using vmtest::Body;
using vmtest::E2e;
using vmtest::RunResult;

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kMagic = {0xBF, 0x25, 0x37, 0xAE, 0x16, 0xC0, 0x48, 0xD9};
constexpr std::size_t kPackageLimit = 0x200000;

std::vector<std::size_t> MagicOffsets(const Bytes& file) {
    std::vector<std::size_t> at;
    for (auto it = file.begin(); (it = std::search(it, file.end(), kMagic.begin(), kMagic.end())) != file.end(); ++it)
        at.push_back(std::size_t(it - file.begin()));
    return at;
}

// The builder finds its descriptor by this pattern: a second copy anywhere
// before it (a merged constant in code or read-only data) would be patched
// instead.
TEST(PackageMagic, OccursOnceInEachProgram) {
    for (const std::string& exe : {vmtest::kVmExe, vmtest::kVmSimExe}) {
        bool ok = false;
        const Bytes file = vmtest::ReadBytes(exe, &ok);
        ASSERT_TRUE(ok) << exe;
        EXPECT_EQ(MagicOffsets(file).size(), 1u) << exe;
    }
}

// A directory holding a program to build packages from: the program as
// built when it leaves room for the payload, otherwise a copy without debug
// information (what an installation ships; a package must not be stripped
// afterwards, so this happens before "-pak").
struct PackageRig : E2e {
    std::string tool;
    std::string why;  // set when no copy fits

    PackageRig(const std::string& exe, std::size_t payload) {
        bool ok = false;
        const std::size_t size = vmtest::ReadBytes(exe, &ok).size();
        if (ok && size + payload <= kPackageLimit) {
            tool = exe;
            return;
        }
        const std::string copy = File("tool");
        RunResult r = vmtest::Run("/bin/sh", {"-c", "objcopy --strip-debug '" + exe + "' '" + copy + "'"});
        const std::size_t stripped = vmtest::ReadBytes(copy, &ok).size();
        if (r.exitCode != 0 || !ok) {
            why = "objcopy --strip-debug failed: " + r.err;
        } else if (stripped + payload > kPackageLimit) {
            why = "the program is " + std::to_string(stripped) +
                  " bytes without debug information (sanitizer build?): no room for the payload under 2 MiB";
        } else {
            tool = copy;
        }
    }

    // Builds "update.pak" from the configuration and makes it executable.
    RunResult Pak(const std::string& config) {
        vmtest::WriteFile(File("pkg.cfg"), config);
        RunResult r = Run(tool, {"-pak", "pkg.cfg"});
        chmod(File("update.pak").c_str(), 0755);
        return r;
    }
    Bytes Package() const { return vmtest::ReadBytes(File("update.pak")); }
};

// Runs a package file by its path in a fresh directory of its own.
RunResult RunPackage(const Bytes& package, const std::string& machine = "", E2e* where = nullptr) {
    E2e own;
    E2e& e = where ? *where : own;
    if (!machine.empty()) e.machine = machine;
    vmtest::WriteBytes(e.File("update.pak"), package);
    chmod(e.File("update.pak").c_str(), 0755);
    return e.Run(e.File("update.pak"), {});
}

std::string Header(const std::string& banner) { return "outfile = update.pak\nbanner \"" + banner + "\"\n"; }

// What the plain program prints for a command on a file named "infile".
std::string PlainOutput(const Bytes& image, const std::vector<std::string>& args) {
    E2e e;
    vmtest::WriteBytes(e.File("infile"), image);
    return Body(e.Run(vmtest::kVmExe, args));
}

Bytes InfoImage() { return vmtest::RomImageBuilder().Build(); }
Bytes SignedImage() { return signedimage::FixtureImage(fixtures::kSignedImages[0]); }

// Two infiles, each used by the record after it.
TEST(Package, FileRecordsRunByPath) {
    const Bytes image = InfoImage(), signedImage = SignedImage();
    PackageRig rig(vmtest::kVmExe, image.size() + signedImage.size() + 4096);
    if (rig.tool.empty()) GTEST_SKIP() << rig.why;
    vmtest::WriteBytes(rig.File("image.rom"), image);
    vmtest::WriteBytes(rig.File("signed.rom"), signedImage);
    const std::string records =
        "infile = image.rom\ncommand = -biosfileinfo infile\ninfile signed.rom\ncommand -rsa infile\n";
    RunResult built = rig.Pak(Header("Board update 2.0") + records);
    EXPECT_EQ(built.exitCode, 0);
    EXPECT_EQ(Body(built),
              "command -biosfileinfo infilecommand -rsa infile2 commands processed.\nPackage update.pak generated.\n");
    const Bytes package = rig.Package();
    ASSERT_FALSE(package.empty());

    const std::string info = PlainOutput(image, {"-biosfileinfo", "infile"});
    const std::string rsa = PlainOutput(signedImage, {"-rsa", "infile"});
    ASSERT_NE(rsa.find("The result of RSA signature verify is PASS.\n"), std::string::npos) << rsa;
    const std::string good = "Board update 2.0\n\n\n" + info + "\n\n" + rsa;

    // The descriptor sits where the plain program has its magic pair.
    const std::vector<std::size_t> at = MagicOffsets(vmtest::ReadBytes(rig.tool));
    ASSERT_EQ(at.size(), 1u);
    const std::size_t descriptor = at[0];
    struct Case {
        const char* what;
        std::function<void(Bytes&)> edit;
        int exit;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"as built", [](Bytes&) {}, 0, good},
        // The run-time path bytes carry no meaning in the file.
        {"exePath bytes changed", [&](Bytes& b) { b[descriptor + 40] ^= 0x5A; }, 0, good},
        {"payload byte flipped", [](Bytes& b) { b[b.size() - 0x100] ^= 1; }, 26, "Invalid package.\n"},
        {"truncated", [](Bytes& b) { b.resize(b.size() - 1); }, 26, "Invalid package.\n"},
        {"data area moved past the payload", [&](Bytes& b) { b[descriptor + 31] = 0x7F; }, 26, "Invalid package.\n"},
    };
    for (const Case& c : cases) {
        Bytes edited = package;
        c.edit(edited);
        RunResult r = RunPackage(edited);
        EXPECT_EQ(r.exitCode, c.exit) << c.what;
        EXPECT_EQ(Body(r), c.out) << c.what;
    }

    // Started through the command search path from a directory holding a
    // damaged file of its name, the package still runs its own commands.
    E2e field;
    vmtest::WriteBytes(field.File("update.pak"), package);
    chmod(field.File("update.pak").c_str(), 0755);
    E2e elsewhere;
    Bytes decoy = package;
    decoy[decoy.size() - 0x100] ^= 1;
    vmtest::WriteBytes(elsewhere.File("update.pak"), decoy);
    vmtest::RunOptions opt;
    opt.cwd = elsewhere.dir.Path();
    opt.env["PATH"] = field.dir.Path();
    RunResult viaPath = vmtest::Run("/bin/sh", {"-c", "update.pak"}, opt);
    EXPECT_EQ(viaPath.exitCode, 0);
    EXPECT_EQ(Body(viaPath), good);
}

// "-pak" through the command search path, in a directory holding another
// program of the same name: the package is built from the program that runs.
TEST(Package, BuiltFromTheRunningProgram) {
    const Bytes image = InfoImage();
    PackageRig rig(vmtest::kVmExe, image.size() + 4096);
    if (rig.tool.empty()) GTEST_SKIP() << rig.why;
    E2e installed, work;
    const Bytes program = vmtest::ReadBytes(rig.tool);
    vmtest::WriteBytes(installed.File("vorbanmill"), program);
    chmod(installed.File("vorbanmill").c_str(), 0755);
    vmtest::WriteBytes(work.File("vorbanmill"), vmtest::ReadBytes(vmtest::kVmSimExe));
    vmtest::WriteBytes(work.File("image.rom"), image);
    vmtest::WriteFile(work.File("pkg.cfg"), Header("Any dir") + "infile image.rom\ncommand -biosfileinfo infile\n");
    vmtest::RunOptions opt;
    opt.cwd = work.dir.Path();
    opt.env["PATH"] = installed.dir.Path();
    RunResult built = vmtest::Run("/bin/sh", {"-c", "vorbanmill -pak pkg.cfg"}, opt);
    ASSERT_EQ(built.exitCode, 0) << built.out;
    const Bytes package = vmtest::ReadBytes(work.File("update.pak"));
    const std::vector<std::size_t> at = MagicOffsets(program);
    ASSERT_EQ(at.size(), 1u);
    ASSERT_GT(package.size(), program.size());
    EXPECT_TRUE(std::equal(program.begin(), program.begin() + std::ptrdiff_t(at[0]), package.begin()));
    EXPECT_TRUE(std::equal(program.begin() + std::ptrdiff_t(at[0] + 44), program.end(),
                           package.begin() + std::ptrdiff_t(at[0] + 44)));
    RunResult r = RunPackage(package);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Body(r), "Any dir\n\n\n" + PlainOutput(image, {"-biosfileinfo", "infile"}));
}

// A failing record ends the run; "-pak" inside a package is refused.
TEST(Package, RecordFailuresStopTheRun) {
    const Bytes image = InfoImage();
    PackageRig rig(vmtest::kVmExe, image.size() + 4096);
    if (rig.tool.empty()) GTEST_SKIP() << rig.why;
    vmtest::WriteBytes(rig.File("image.rom"), image);
    const std::string info = PlainOutput(image, {"-biosfileinfo", "infile"});
    struct Case {
        const char* what;
        std::string records;
        std::string out;
    };
    const Case cases[] = {
        {"missing file", "command -biosfileinfo infile\ncommand -cf missing\ncommand -biosfileinfo infile\n",
         "Field\n\n\n" + info + "\n\nFile missing not found.\n\n   ERROR: 0FL03\n"},
        {"nested -pak", "command = -pak x\ncommand -biosfileinfo infile\n", "Field\n\n\nPackage already exist.\n"},
    };
    for (const Case& c : cases) {
        RunResult built = rig.Pak(Header("Field") + "infile image.rom\n" + c.records);
        ASSERT_EQ(built.exitCode, 0) << c.what << built.out;
        RunResult r = RunPackage(rig.Package());
        EXPECT_EQ(r.exitCode, 1) << c.what;
        EXPECT_EQ(Body(r), c.out) << c.what;
    }
}

// A 128 KiB flash: a BIOS image, then a pattern.
Bytes BoardFlash(std::uint8_t seed) {
    vmtest::RomImageBuilder b;
    b.n512 = 0x70;
    Bytes rom = b.Build();
    rom.resize(0x20000);
    for (std::size_t i = 0xE000; i < rom.size(); ++i) rom[i] = std::uint8_t(i * 13 + (i >> 8) + seed);
    return rom;
}

const char kBoard[] = "spiboard 0000:01:00.0 gethra part=M25P10 file=flash.rom\n";

// Records on a simulated board: verify the ROM against the embedded image,
// then save it; a verify that fails stops before the save.
TEST(Package, SimulatedBoardRecords) {
    const Bytes flash = BoardFlash(0);
    PackageRig rig(vmtest::kVmSimExe, flash.size() + 4096);
    if (rig.tool.empty()) GTEST_SKIP() << rig.why;
    Bytes other = flash;
    other[0x9000] ^= 0x10;
    struct Case {
        const char* what;
        Bytes image;
        int exit;
        std::string out;
    };
    const Case cases[] = {
        {"same image", flash, 0,
         "Sim update\n\n\n0x20000/0x20000 bytes verified\n\n\n0x20000 bytes saved, checksum = 0x"},
        {"one byte differs", other, 1, "Sim update\n\n\n0x9000/0x20000 bytes verified\n\n   ERROR: 0FL04\n"},
    };
    for (const Case& c : cases) {
        vmtest::WriteBytes(rig.File("image.rom"), c.image);
        RunResult built = rig.Pak(Header("Sim update") + "infile image.rom\ncommand -v 0 infile\ncommand -s 0 saved.rom\n");
        ASSERT_EQ(built.exitCode, 0) << c.what << built.out;
        E2e field;
        vmtest::WriteBytes(field.File("flash.rom"), flash);
        RunResult r = RunPackage(rig.Package(), kBoard, &field);
        EXPECT_EQ(r.exitCode, c.exit) << c.what;
        EXPECT_EQ(Body(r).substr(0, c.out.size()), c.out) << c.what;
        EXPECT_EQ(vmtest::ReadBytes(field.File("flash.rom")), flash) << c.what;
        if (c.exit == 0) {
            EXPECT_EQ(vmtest::ReadBytes(field.File("saved.rom")), flash) << c.what;
        } else {
            EXPECT_FALSE(vmtest::FileExists(field.File("saved.rom"))) << c.what;
        }
    }
}

// Programming a simulated board from a package, read back by the plain
// program; the same package again finds the image already there (exit 2).
TEST(Package, ProgramsASimulatedBoard) {
    const Bytes flash = BoardFlash(0);
    const Bytes image = BoardFlash(0x40);
    PackageRig rig(vmtest::kVmSimExe, image.size() + 4096);
    if (rig.tool.empty()) GTEST_SKIP() << rig.why;
    vmtest::WriteBytes(rig.File("image.rom"), image);
    RunResult built = rig.Pak(Header("Program") + "infile image.rom\ncommand -p 0 infile\n");
    ASSERT_EQ(built.exitCode, 0) << built.out;

    E2e field;
    field.machine = kBoard;
    vmtest::WriteBytes(field.File("flash.rom"), flash);
    RunResult r = RunPackage(rig.Package(), kBoard, &field);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    RunResult saved = field.Sim({"-s", "0", "out.rom"});
    EXPECT_EQ(saved.exitCode, 0);
    EXPECT_EQ(vmtest::ReadBytes(field.File("out.rom")), image);

    r = RunPackage(rig.Package(), kBoard, &field);
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_EQ(vmtest::ReadBytes(field.File("flash.rom")), image);
}

// The descriptor lies outside the checksum: a command count that lost or
// gained a bit, or a data offset moved into the records, leaves records
// that do not end where the data begins, and the package runs nothing.
TEST(Package, DescriptorWhoseRecordsDoNotFillTheirAreaIsInvalid) {
    vmtest::RomImageBuilder b;
    b.n512 = 0x70;
    b.Patch(0x76, {0x02, 0x10, 0x00, 0x0B});  // IDs where "-mi" finds them
    Bytes flash = b.Build();
    flash.resize(0x20000, 0xFF);
    b.strings[6] = "VER010.006.000.000";
    Bytes image = b.Build();
    image.resize(0x20000, 0xFF);
    PackageRig rig(vmtest::kVmSimExe, image.size() + 4096);
    if (rig.tool.empty()) GTEST_SKIP() << rig.why;
    vmtest::WriteBytes(rig.File("image.rom"), image);
    RunResult built = rig.Pak(Header("Three") + "infile image.rom\ncommand -mi 0\n"
                                                "command -biosfileinfo infile\ncommand -p 0 infile -fa -fs\n");
    ASSERT_EQ(built.exitCode, 0) << built.out;
    const std::vector<std::size_t> at = MagicOffsets(vmtest::ReadBytes(rig.tool));
    ASSERT_EQ(at.size(), 1u);
    struct Case {
        const char* what;
        std::size_t offset;  // of the descriptor word changed
        int change;
    };
    const Case cases[] = {
        {"as built", 20, 0},     {"count 3 to 2", 20, -1}, {"count 3 to 1", 20, -2},
        {"count 3 to 7", 20, 4}, {"data offset 16 early", 28, -16},
    };
    for (const Case& c : cases) {
        Bytes package = rig.Package();
        std::uint32_t word = 0;  // little-endian, as on the build machine
        std::memcpy(&word, &package[at[0] + c.offset], 4);
        word += std::uint32_t(c.change);
        std::memcpy(&package[at[0] + c.offset], &word, 4);
        E2e board;
        vmtest::WriteBytes(board.File("flash.rom"), flash);
        RunResult r = RunPackage(package, kBoard, &board);
        const bool valid = c.change == 0;
        EXPECT_EQ(r.exitCode, valid ? 0 : 26) << c.what << r.out;
        if (!valid) {
            EXPECT_EQ(Body(r), "Invalid package.\n") << c.what;
        }
        EXPECT_EQ(vmtest::ReadBytes(board.File("flash.rom")), valid ? image : flash) << c.what;
    }
}

}  // namespace
