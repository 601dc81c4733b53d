// Commands that need no adapter, and the real program on this machine's
// own PCI bus (read-only: it must find nothing and change nothing).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/E2eSupport.h"
#include "support/RomImageBuilder.h"

using vmtest::Body;
using vmtest::E2e;

namespace {

TEST(FileCommands, RealMachineHasNoAdapter) {
    for (const char* command : {"-i", "-ai"}) {
        E2e e;
        vmtest::RunResult r = e.Run(vmtest::kVmExe, {command});
        EXPECT_EQ(r.exitCode, 1) << command;
        EXPECT_EQ(Body(r), "Adapter not found\n") << command;
        EXPECT_EQ(r.err, "") << command;
        EXPECT_TRUE(e.Listing().empty()) << command;
    }
}

TEST(FileCommands, FileChecksum) {
    E2e e;
    // 0x300 bytes of 0xFF: the byte sum 0x2FD00 shows as its low 16 bits.
    vmtest::WriteBytes(e.File("f.bin"), std::vector<std::uint8_t>(0x300, 0xFF));
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string out;
    };
    const Case cases[] = {
        {{"-cf", "f.bin"}, 0, "File Checksum = 0xFD00\n"},
        {{"-cf", "f.bin", "fd00"}, 0, "File Checksum = 0xFD00\nExpected Checksum = 0xFD00\n"},
        {{"-cf", "f.bin", "12FD00"}, 0, "File Checksum = 0xFD00\nExpected Checksum = 0xFD00\n"},
        {{"-cf", "f.bin", "1234"}, 1,
         "File Checksum = 0xFD00\nExpected Checksum = 0x1234\n\n   ERROR: 0FL03\n"},
        // Equal low bytes are no match: all 16 bits count.
        {{"-cf", "f.bin", "1200"}, 1,
         "File Checksum = 0xFD00\nExpected Checksum = 0x1200\n\n   ERROR: 0FL03\n"},
        {{"-cf", "none.bin"}, 1, "File none.bin not found.\n\n   ERROR: 0FL03\n"},
        {{"-cf", "."}, 1, "File . not found.\n\n   ERROR: 0FL03\n"},
    };
    for (const Case& c : cases) {
        vmtest::RunResult r = e.Run(vmtest::kVmExe, c.args);
        EXPECT_EQ(r.exitCode, c.exit) << testing::PrintToString(c.args);
        EXPECT_EQ(Body(r), c.out) << testing::PrintToString(c.args);
    }
}

TEST(FileCommands, BiosFileInfo) {
    E2e e;
    vmtest::RomImageBuilder b;
    b.deviceId = 0x73BF;
    vmtest::WriteBytes(e.File("card.rom"), b.Build());
    vmtest::RunResult r = e.Run(vmtest::kVmExe, {"-biosfileinfo", "card.rom"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Body(r),
              "    Product Name is :    TEST CARD NAME \n"
              "    Device ID is    :    73BF\n"
              "    Bios Version    :    010.005.000.000\n"
              "    Bios P/N is     :    113-TEST01-100 \n"
              "    Bios SSID       :    0B00\n"
              "    Bios SVID       :    1002\n"
              "    Bios Date is    :    01/15/24       \n");

    struct Case {
        const char* name;
        std::vector<std::uint8_t> content;  // empty name: no file
        int exit;
        std::string out;
    };
    std::vector<std::uint8_t> big = b.Build();
    big.resize(0x100001, 0xFF);
    const Case cases[] = {
        {"text.rom", std::vector<std::uint8_t>(4096, 'A'), 1, "BIOS P/N not found in text.rom\n"},
        {"empty.rom", {}, 1, ""},
        {"missing.rom", {}, 1, "File missing.rom not found\n"},
        // Never cut silently: a file larger than the buffer is refused.
        {"big.rom", big, 1, "File big.rom is larger than 1 MiB\n"},
    };
    for (const Case& c : cases) {
        if (std::string(c.name) != "missing.rom") vmtest::WriteBytes(e.File(c.name), c.content);
        vmtest::RunResult rr = e.Run(vmtest::kVmExe, {"-biosfileinfo", c.name});
        EXPECT_EQ(rr.exitCode, c.exit) << c.name;
        EXPECT_EQ(Body(rr), c.out) << c.name;
    }
}

TEST(FileCommands, VerifyRefusesBadFilesBeforeTouchingTheAdapter) {
    E2e e;
    std::vector<std::uint8_t> big(0x100001, 0x55);
    vmtest::WriteBytes(e.File("big.rom"), big);
    vmtest::RunResult r = e.Sim({"-v", "0", "big.rom", "-ps"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Body(r), "File big.rom is larger than 1 MiB\n\n   ERROR: 0FL04\n");
    EXPECT_EQ(vmtest::ReadFile(e.File("errorid.tmp")), "0FL04\n");
    r = e.Sim({"-v", "0", "none.rom"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Body(r), "File none.rom not found\n\n   ERROR: 0FL04\n");
    // A directory is no image, not an empty one that verifies.
    r = e.Sim({"-v", "0", "."});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Body(r), "File . not found\n\n   ERROR: 0FL04\n");
}

// "-checkpn" against the part number the scan reads from the board's ROM.
TEST(FileCommands, CheckPn) {
    E2e e;
    vmtest::RomImageBuilder b;
    std::vector<std::uint8_t> flash = b.Build();
    flash.resize(0x20000, 0xFF);
    vmtest::WriteBytes(e.File("flash.rom"), flash);
    e.machine = "spiboard 0000:01:00.0 gethra part=M25P10 file=flash.rom\n";
    vmtest::WriteBytes(e.File("same.rom"), b.Build());
    b.partNumber = "113-OTHER-200";
    vmtest::WriteBytes(e.File("other.rom"), b.Build());
    vmtest::WriteBytes(e.File("text.rom"), std::vector<std::uint8_t>(0x800, 'A'));
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string out;
    };
    const Case cases[] = {
        {{"-checkpn", "0", "same.rom"}, 0,
         "    Bios P/N in file same.rom is   :    113-TEST01-100 \n"
         "    Bios P/N on ROM is     :    113-TEST01-100 \n"
         "    ROM P/N and File P/N Comparison Passed\n"},
        {{"-checkpn", "0", "other.rom"}, 1,
         "    Bios P/N in File other.rom is   :    113-OTHER-200  \n"
         "    Bios P/N on ROM is     :    113-TEST01-100 \n"
         "    ROM P/N and File P/N Comparison Failed\n\n   ERROR: 0FL03\n"},
        {{"-checkpn", "1", "same.rom"}, 1, "Adapter not found\n\n   ERROR: 0FL03\n"},
        {{"-checkpn", "0", "text.rom"}, 1, "BIOS P/N not found in text.rom\n\n   ERROR: 0FL03\n"},
        {{"-checkpn", "0", "none.rom"}, 1, "File none.rom not found\n\n   ERROR: 0FL03\n"},
    };
    for (const Case& c : cases) {
        vmtest::RunResult r = e.Sim({c.args[0], c.args[1], c.args[2], "-ps"});
        EXPECT_EQ(r.exitCode, c.exit) << c.args[2] << c.args[1];
        EXPECT_EQ(Body(r), c.out) << c.args[2] << c.args[1];
        EXPECT_EQ(vmtest::ReadFile(e.File("errorid.tmp")), c.exit ? "0FL03\n" : "PASS\n") << c.args[2];
    }
    EXPECT_EQ(vmtest::ReadBytes(e.File("flash.rom")), flash);
}

// Random and cut-off files through every command that reads an image file:
// an answer and an exit code, never a crash (the sanitizer build aborts on
// any bad access).
TEST(FileCommands, ArbitraryFilesNeverCrash) {
    std::vector<std::vector<std::uint8_t>> inputs;
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return std::uint8_t(seed >> 16);
    };
    for (std::size_t size : {1u, 3u, 0x80u, 0x1000u}) {
        std::vector<std::uint8_t> random(size);
        for (auto& b : random) b = next();
        if (size >= 3) random[0] = 0x55, random[1] = 0xAA, random[2] = 0x04;
        inputs.push_back(random);
    }
    vmtest::RomImageBuilder b;
    std::vector<std::uint8_t> image = b.Build();
    for (std::size_t cut : {2u, 0x49u, 0x6Fu, 0x101u, 0x205u, 0x210u}) inputs.emplace_back(image.begin(), image.begin() + cut);
    // No terminator anywhere after the strings' start.
    std::vector<std::uint8_t> unterminated = image;
    for (std::size_t k = 0x50; k < unterminated.size(); ++k) unterminated[k] = 'A';
    inputs.push_back(unterminated);

    E2e e;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        vmtest::WriteBytes(e.File("in.rom"), inputs[i]);
        const std::vector<std::vector<std::string>> commands = {
            {"-biosfileinfo", "in.rom"}, {"-checkpn", "0", "in.rom"}, {"-v", "0", "in.rom"}, {"-cf", "in.rom"}};
        for (const auto& args : commands) {
            vmtest::RunResult r = e.Sim(args);
            EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1) << i << " " << args[0] << " " << r.exitCode;
            EXPECT_EQ(r.err, "") << i << " " << args[0];
        }
    }
}

}  // namespace
