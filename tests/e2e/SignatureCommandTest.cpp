// "-rsa" run as a process on image files: verdict lines, exit codes, and no
// crash on files that point outside themselves.
#include <gtest/gtest.h>

#include <functional>

#include "E2eSupport.h"
#include "commands/SignedFixtures.h"

namespace {

using namespace signedimage;

Bytes SignedFixture(std::size_t index = 0) { return FixtureImage(fixtures::kSignedImages[index]); }

const char kPass[] = "The result of RSA signature verify is PASS.\n";
const char kFailed[] = "The result of RSA signature verify is FAILED.\n";

TEST(SignatureCommand, VerdictsAndExitCodes) {
    struct Case {
        const char* what;
        std::function<void(Bytes&)> edit;
        const char* verdict;
        int exitCode;
    };
    const Layout l;
    const std::vector<Case> cases = {
        {"signed image", [](Bytes&) {}, kPass, 0},
        {"one signed byte changed", [](Bytes& b) { b[0x300] ^= 1; }, kFailed, 1},
        {"signature changed", [&](Bytes& b) { b[l.signature + 17] ^= 0x80; }, kFailed, 1},
        {"unsigned bytes after the image changed", [&](Bytes& b) { b[l.signedSize + 0x10] ^= 1; }, kPass, 0},
        {"device outside the signed families", [&](Bytes& b) { Put16(b, l.pcir + 6, 0x6610); },
         "The result of RSA signature verify is PASS. Older ASIC.\n", 0},
        {"header revision 1", [&](Bytes& b) { b[l.header + 2] = 1; },
         "The result of RSA signature verify is Passed(DirTbl). \n", 0},
        {"directory offset far outside the file", [&](Bytes& b) { Put32(b, l.header + 0x24, 0xFFFFFFF0); }, kFailed,
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vmtest::E2e e;
        Bytes image = SignedFixture();
        c.edit(image);
        vmtest::WriteBytes(e.File("image.rom"), image);
        vmtest::RunResult r = e.Run(vmtest::kVmExe, {"-rsa", "image.rom", "-ps", "-log"});
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_NE(r.out.find(c.verdict), std::string::npos) << r.out;
        // The verdict goes to the console only, and the row has no result file.
        EXPECT_EQ(vmtest::ReadFile(e.File("vorbanmill.log")).find("RSA signature"), std::string::npos);
        EXPECT_FALSE(vmtest::FileExists(e.File("errorid.tmp")));
    }
}

// The size warnings reach the process's standard error, ahead of the verdict.
TEST(SignatureCommand, SizeWarningsOnStandardError) {
    const char kPcirWarning[] =
        "Legacy Bios size from offset 2 is different than the one from Pci header. We follow the Bios size from "
        "offset 2.\n";
    const char kDirectoryWarning[] = "Legacy Bios size from offset 2 is different than the one from XRQ!!!\n";
    const Layout l;
    vmtest::E2e e;
    // Fixture 2 was signed with a PCIR length of 0x41 against byte 2's 0x40.
    ASSERT_EQ(fixtures::kSignedImages[2].pcirLength, 0x41u);
    vmtest::WriteBytes(e.File("pcir.rom"), SignedFixture(2));
    vmtest::RunResult r = e.Run(vmtest::kVmExe, {"-rsa", "pcir.rom"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, kPcirWarning);
    EXPECT_NE(r.out.find(kPass), std::string::npos) << r.out;

    Bytes image = SignedFixture();
    Put32(image, l.directory + 16 + 4, l.signedSize + 512);  // signed-size entry
    vmtest::WriteBytes(e.File("size.rom"), image);
    r = e.Run(vmtest::kVmExe, {"-rsa", "size.rom"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, kDirectoryWarning);
    EXPECT_NE(r.out.find(kFailed), std::string::npos) << r.out;
}

TEST(SignatureCommand, MissingEmptyAndOversizeFiles) {
    vmtest::E2e e;
    vmtest::RunResult r = e.Run(vmtest::kVmExe, {"-rsa"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("Format: vorbanmill -rsa <filename>\n"), std::string::npos);

    r = e.Run(vmtest::kVmExe, {"-rsa", "absent.rom"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("File absent.rom not found\n"), std::string::npos);
    EXPECT_EQ(r.out.find("RSA signature"), std::string::npos);

    vmtest::WriteFile(e.File("empty.rom"), "");
    r = e.Run(vmtest::kVmExe, {"-rsa", "empty.rom"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out.find("RSA signature"), std::string::npos);

    Bytes big = SignedFixture();
    big.resize(0x100001, 0xFF);
    vmtest::WriteBytes(e.File("big.rom"), big);
    r = e.Run(vmtest::kVmExe, {"-rsa", "big.rom"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("larger than 1 MiB"), std::string::npos);
    EXPECT_EQ(r.out.find("RSA signature"), std::string::npos);
}

}  // namespace
