// Every command that reads a file or a ROM, fed random, truncated and real
// third-party option ROMs: a normal verdict and exit code, never a crash
// (under the sanitizer build a crash shows as a report on standard error).
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "E2eSupport.h"
#include "support/RomImageBuilder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void ExpectNoCrash(const vmtest::RunResult& r) {
    EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1 || r.exitCode == 2) << r.exitCode << "\n" << r.err;
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
}

std::vector<Bytes> HostileInputs() {
    std::vector<Bytes> inputs;
    std::mt19937 rng(7);
    for (std::size_t size : {1u, 3u, 0x1Fu, 0x200u, 0x8000u}) {
        Bytes b(size);
        for (auto& x : b) x = std::uint8_t(rng());
        if (size > 2) {
            b[0] = 0x55;
            b[1] = 0xAA;
        }
        inputs.push_back(b);
    }
    // A valid image cut at several places.
    const Bytes full = vmtest::RomImageBuilder().Build();
    for (std::size_t cut : {3u, 0x18u, 0x4Au, 0x90u, 0x1FFu})
        inputs.emplace_back(full.begin(), full.begin() + std::min(cut, full.size()));
    return inputs;
}

TEST(HostileFiles, FileCommandsNeverCrash) {
    vmtest::E2e e;  // the demo machine
    for (const Bytes& input : HostileInputs()) {
        SCOPED_TRACE(input.size());
        vmtest::WriteBytes(e.File("in.rom"), input);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"-cf", "in.rom"}, {"-biosfileinfo", "in.rom"}, {"-rsa", "in.rom"},
              {"-v", "0", "in.rom"}, {"-checkpn", "0", "in.rom"},
              // Programmed unchecked on a family-5 board; step G on a family-21 one.
              {"-p", "0", "in.rom", "-f"}, {"-p", "2", "in.rom", "-f"}}) {
            SCOPED_TRACE(args[0]);
            ExpectNoCrash(e.Sim(args));
        }
    }
}

// Network-boot option ROMs from the distribution (legacy and EFI images of
// another maker): read from a file and from a board's flash.
TEST(HostileFiles, ThirdPartyOptionRoms) {
    const std::filesystem::path dir = "/usr/lib/ipxe/qemu";
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no option ROMs installed";
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".rom" || seen >= 6) continue;
        ++seen;
        SCOPED_TRACE(entry.path().string());
        bool ok = false;
        Bytes rom = vmtest::ReadBytes(entry.path().string(), &ok);
        ASSERT_TRUE(ok);
        vmtest::E2e e;
        Bytes flash(0x80000, 0xFF);
        std::copy_n(rom.begin(), std::min(rom.size(), flash.size()), flash.begin());
        vmtest::WriteBytes(e.File("flash.rom"), flash);
        e.machine = "spiboard 01:00.0 gethra part=M25P40 file=flash.rom\n";
        vmtest::WriteBytes(e.File("opt.rom"), rom);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"-i"}, {"-ai", "0"}, {"-biosfileinfo", "opt.rom"}, {"-v", "0", "opt.rom"},
              {"-cb", "0"}, {"-rsa", "opt.rom"}}) {
            SCOPED_TRACE(args[0]);
            vmtest::RunResult r = e.Sim(args);
            ExpectNoCrash(r);
            if (args[0] == "-v") {
                EXPECT_EQ(r.exitCode, 0) << r.out;
            }
            // Sound structure, none of the maker's strings.
            if (args[0] == "-biosfileinfo") {
                EXPECT_EQ(r.exitCode, 1);
                EXPECT_EQ(vmtest::Body(r), "BIOS P/N not found in opt.rom\n");
            }
            const bool hybrid = entry.path().filename().string().rfind("efi-", 0) == 0;
            if (args[0] == "-ai" && hybrid) {
                EXPECT_NE(r.out.find("    ROM Image Type     :  Hybrid Images\n"), std::string::npos) << r.out;
            }
        }
        // Nothing above wrote to the flash.
        EXPECT_EQ(vmtest::ReadBytes(e.File("flash.rom")), flash);
    }
    EXPECT_GT(seen, 0);
}

}  // namespace
