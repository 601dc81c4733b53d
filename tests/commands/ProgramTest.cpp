// "-p" and "-pa" on simulated SPI boards, each case checked on the device
// afterwards: what the flash holds, whether it was erased, its protection,
// and that access was closed.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "FakeFlash.h"
#include "ProgramRig.h"
#include "SignedFixtures.h"
#include "support/RomImageBuilder.h"
#include "support/SpiTypeTable.h"

using programtest::Bytes;
using programtest::Programmed;
using programtest::ProgramRig;
using vmtest::RomImageBuilder;

namespace {

constexpr std::size_t kM25P10 = 0x20000;
constexpr std::size_t kM25P40 = 0x80000;

// Flash contents before programming: an image, then bytes no erase leaves.
Bytes OldFlash(const Bytes& image, std::size_t size) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = std::uint8_t(i * 7 + 3);
    std::copy(image.begin(), image.end(), b.begin());
    return b;
}

RomImageBuilder Version(const std::string& version) {
    RomImageBuilder b;
    b.deviceId = 0x6780;
    b.strings[6] = "VER" + version;
    return b;
}

Bytes SignedImage() { return signedimage::FixtureImage(fixtures::kSignedImages[0]); }

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ------------------------------------------------------------ happy paths

TEST(Program, NewerImageOnAFamily5BoardThenTheSameImageAgain) {
    ProgramRig rig;
    const Bytes old = Version("010.005.000.000").Build();
    const Bytes image = Version("010.006.000.000").Build();
    rig.Add(SimSpiBoardKind::Orpane, "M25P10", OldFlash(old, kM25P10));
    const std::string file = rig.Write("new.rom", image);

    programtest::RunOutput r = rig.Run({"-p", "0", file});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(r.out,
              "Old SSID: 0B00\n"
              "New SSID: 0B00\n"
              "Old P/N: 113-TEST01-100\n"
              "New P/N: 113-TEST01-100\n"
              "Old DeviceID: 6780\n"
              "New DeviceID: 6780\n"
              "Old Product Name: TEST CARD NAME\n"
              "New Product Name: TEST CARD NAME\n"
              "Old BIOS Version: 010.005.000.000\n"
              "New BIOS Version: 010.006.000.000\n"
              "Flash type: M25P10\n"
              "Burst size is 256 \n"
              "800/800h bytes programmed\n"
              "800/800h bytes verified\n"
              "\nRestart System To Complete VBIOS Update.\n");
    EXPECT_EQ(rig.Flash(), Programmed(image, kM25P10));
    EXPECT_EQ(rig.Erases(), 1u);
    EXPECT_EQ(rig.Status(), rig.Locked());
    rig.ExpectClosed();

    r = rig.Run({"-p", "0", file});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "Flash already programmed\n");
    EXPECT_EQ(rig.Erases(), 0u);
    EXPECT_EQ(rig.Programs(), 0u);
    EXPECT_EQ(rig.Flash(), Programmed(image, kM25P10));
    EXPECT_EQ(rig.Status(), rig.Locked());
    rig.ExpectClosed();

    // Different in the last byte only is different.
    Bytes last = image;
    last.resize(0x1000, 0xFF);
    last.back() = 0x5A;
    r = rig.Run({"-p", "0", rig.Write("last.rom", last)});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(rig.Flash(), Programmed(last, kM25P10));
}

TEST(Program, SignedImageOnAFamily21Board) {
    ProgramRig rig;
    const Bytes image = SignedImage();
    rig.Add(SimSpiBoardKind::Gethra, "M25P40", OldFlash({}, kM25P40));
    const std::string file = rig.Write("signed.rom", image);

    programtest::RunOutput r = rig.Run({"-p", "0", file});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "The result of RSA signature verify is PASS.\nOld DeviceID: 6860\nNew DeviceID: 7310\n"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "12000/12000h bytes programmed\n12000/12000h bytes verified\n")) << r.out;
    EXPECT_EQ(rig.Flash(), Programmed(image, kM25P40));
    EXPECT_EQ(rig.Status(), rig.Locked());
    rig.ExpectClosed();

    r = rig.Run({"-p", "0", file});
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_EQ(rig.Erases(), 0u);
    rig.ExpectClosed();
}

// ------------------------------------------------------------ refusals

struct Refusal {
    const char* name;
    RomImageBuilder rom;
    RomImageBuilder image;
    const char* message;
    const char* override;  // the switch that lets it through; "" = none
};

RomImageBuilder WithSsid(std::uint16_t ssid) {
    RomImageBuilder b = Version("010.005.000.000");
    b.ssid = ssid;
    return b;
}

RomImageBuilder WithPartNumber(const std::string& partNumber) {
    RomImageBuilder b = Version("010.005.000.000");
    b.partNumber = partNumber;
    return b;
}

RomImageBuilder WithMemSetting(std::uint16_t setting) {
    RomImageBuilder b = RomImageBuilder::NonVelk();
    b.deviceId = 0x6780;
    b.memSetting = setting;
    return b;
}

RomImageBuilder BadChecksum() {
    RomImageBuilder b = Version("010.006.000.000");
    b.fixChecksum = false;
    return b;
}

// ROM content that is no BIOS image.
RomImageBuilder Blank() {
    RomImageBuilder b;
    b.fixChecksum = false;
    b.Patch(0, {0xFF, 0xFF});
    return b;
}

// Each check refuses on its own, leaves the flash as it was, protected and
// closed, and gives way to its switch.
TEST(Program, EachCheckRefusesAndItsSwitchLetsThrough) {
    const Refusal cases[] = {
        {"older version", Version("010.005.000.000"), Version("010.004.000.000"),
         "Newer ROM version already programmed\n", "-fv"},
        {"shorter version", Version("010.005.000"), Version("010.005"), "Newer ROM version already programmed\n",
         "-fv"},
        {"SSID", WithSsid(0x0B00), WithSsid(0x0B01), "SSID mismatched\n", "-fs"},
        {"P/N at its tenth character", WithPartNumber("113-ABC123-100"), WithPartNumber("113-ABC124-100"),
         "P/N mismatched\n", "-fp"},
        {"memory setting", WithMemSetting(0x1234), WithMemSetting(0x4321), "Mem setting mismatched\n", "-fm"},
        {"checksum", Version("010.005.000.000"), BadChecksum(), "Invalid PC BIOS image\n", "-f"},
        {"checksum, blank ROM", Blank(), BadChecksum(), "Invalid PC BIOS image\n", "-f"},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.name);
        ProgramRig rig;
        const Bytes old = OldFlash(c.rom.Build(), kM25P10);
        const Bytes image = c.image.Build();
        rig.Add(SimSpiBoardKind::Orpane, "M25P10", old);
        const std::string file = rig.Write("new.rom", image);

        programtest::RunOutput r = rig.Run({"-p", "0", file});
        EXPECT_EQ(r.exitCode, 1) << r.out;
        EXPECT_TRUE(Has(r.out, std::string(c.message) + "\n   ERROR: 0FL01\n")) << r.out;
        EXPECT_EQ(rig.Flash(), old);
        EXPECT_EQ(rig.Erases() + rig.Programs(), 0u);
        EXPECT_EQ(rig.Status(), rig.Locked());
        rig.ExpectClosed(0, c.name);

        r = rig.Run({"-p", "0", file, c.override});
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_EQ(rig.Flash(), Programmed(image, kM25P10));
        EXPECT_EQ(rig.Status(), rig.Locked());
        rig.ExpectClosed(0, c.name);
    }
}

// On the newest families the signature is checked even under "-f".
TEST(Program, TamperedSignatureIsRefusedEvenWhenForced) {
    Bytes image = SignedImage();
    image[0x3000] ^= 0x01;
    image[0x3001] ^= 0xFF;
    RomImageBuilder::FixChecksum(image, image[2] * 512u);
    for (const char* force : {"-fa", "-f"}) {
        ProgramRig rig;
        const Bytes old = OldFlash({}, kM25P40);
        rig.Add(SimSpiBoardKind::Gethra, "M25P40", old);
        programtest::RunOutput r = rig.Run({"-p", "0", rig.Write("bad.rom", image), force});
        EXPECT_EQ(r.exitCode, 1) << force;
        EXPECT_TRUE(Has(r.out, "BIOS authentication signature mismatched\n")) << r.out;
        EXPECT_FALSE(Has(r.out, "PASS")) << r.out;
        EXPECT_EQ(rig.Flash(), old);
        EXPECT_EQ(rig.Erases(), 0u);
        EXPECT_EQ(rig.Status(), rig.Locked());
        rig.ExpectClosed(0, force);
    }
}

// ------------------------------------------------------------ faults and retries

struct Fault {
    const char* name;
    std::vector<std::string> switches;
    std::function<void(SimSpiFlash&)> inject;
    int exitCode;
    std::vector<std::string> lines;  // in this order in the output
    bool programmed;                 // the flash holds the image afterwards
    bool locked;                     // protected afterwards
    int erases = -1;                 // chip erases sent (-1: not counted)
    bool untouched = false;          // nothing programmed, the old ROM intact
    bool imageHeld = false;          // the image's range holds the image
};

TEST(Program, FaultsAndRetries) {
    const auto stuckBit = [](SimSpiFlash& f) { f.AddStuckBits(0x7F0, 0x01, 0x00); };
    const Fault cases[] = {
        {"stuck bit", {}, stuckBit, 1, {"\nWrite fail\n", "7F0/800h bytes programmed\n", "ERROR: 0FL01"}, false, true},
        {"stuck bit, two retries", {"-retries=2"}, stuckBit, 1,
         {"\nWrite fail\nAuto retry after failure (1 retries remaining)...\n",
          "\nWrite fail\nAuto retry after failure (0 retries remaining)...\n", "\nWrite fail\n",
          "7F0/800h bytes programmed\n", "ERROR: 0FL01"},
         false, true},
        {"write that heals", {"-retries=2"}, [](SimSpiFlash& f) { f.FailNextPrograms(1); }, 0,
         {"Auto retry after failure (1 retries remaining)...\n",
          "800/800h bytes programmed\n800/800h bytes verified\n"},
         true, true},
        // The protection lifted for the erase goes back on after it failed.
        {"erase failure", {}, [](SimSpiFlash& f) { f.FailErase(true); }, 1,
         {"programmed = ", "ROM not erased\n", "ERROR: 0FL01"}, false, true},
        // A retry identifies the part again and erases it again.
        {"erase that heals", {"-retries=1"}, [](SimSpiFlash& f) { f.FailNextErases(1); }, 0,
         {"ROM not erased\nAuto retry after failure (0 retries remaining)...\n", "800/800h bytes verified\n"}, true,
         true, 2},
        {"erase that never works, retried", {"-retries=2"}, [](SimSpiFlash& f) { f.FailErase(true); }, 1,
         {"ROM not erased\nAuto retry after failure (1 retries remaining)...\n",
          "ROM not erased\nAuto retry after failure (0 retries remaining)...\n", "ROM not erased\n", "ERROR: 0FL01"},
         false, true, 3, true},
        // A partial erase is no erase; the image still goes onto every
        // cell, and this one holds a 0 there anyway: the part holds the
        // image, and the run says so.
        {"bit that will not erase", {"-retries=1"}, [](SimSpiFlash& f) { f.AddStuckBits(0x7F8, 0x00, 0x01); }, 0,
         {"ROM not erased\nAuto retry after failure (0 retries remaining)...\n", "800/800h bytes verified\n"}, true,
         true, -1},
        // The blank check covers the part past a shorter image, which still
        // goes in: the board keeps a BIOS, the run fails.
        {"bit that will not erase, past the image", {"-retries=1"},
         [](SimSpiFlash& f) { f.AddStuckBits(0x1FF00, 0x00, 0x01); }, 1,
         {"ROM not erased\nAuto retry after failure (0 retries remaining)...\n", "ROM not erased\n", "ERROR: 0FL01"},
         false, true, -1, false, true},
        // Protection the write-protect pin holds: refused before any erase,
        // the status as found.
        {"protection that stays", {"-retries=1"}, [](SimSpiFlash& f) { f.SetWriteProtectPin(true); }, 1,
         {"ROM not erased\nAuto retry after failure (0 retries remaining)...\nROM not erased\n"}, false, true, 0,
         true},
    };
    const Bytes image = Version("010.006.000.000").Build();
    for (const Fault& c : cases) {
        SCOPED_TRACE(c.name);
        ProgramRig rig;
        const Bytes old = OldFlash(Version("010.005.000.000").Build(), kM25P10);
        c.inject(*rig.Add(SimSpiBoardKind::Orpane, "M25P10", old).flash);
        std::vector<std::string> args = {"-p", "0", rig.Write("new.rom", image)};
        args.insert(args.end(), c.switches.begin(), c.switches.end());
        programtest::RunOutput r = rig.Run(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
        std::size_t at = 0;
        for (const std::string& line : c.lines) {
            const std::size_t found = r.out.find(line, at);
            EXPECT_NE(found, std::string::npos) << line << " in\n" << r.out;
            if (found != std::string::npos) at = found + line.size();
        }
        EXPECT_EQ(Has(r.out, "Restart System"), c.exitCode == 0) << r.out;
        if (c.programmed) {
            EXPECT_EQ(rig.Flash(), Programmed(image, kM25P10));
        } else {
            EXPECT_NE(rig.Flash(), Programmed(image, kM25P10));
        }
        EXPECT_EQ(rig.Status(), c.locked ? rig.Locked() : 0x00) << r.out;
        // Where the erase is counted and failed, nothing was programmed.
        if (c.erases >= 0) {
            EXPECT_EQ(rig.Erases(), unsigned(c.erases));
            if (!c.programmed) {
                EXPECT_EQ(rig.Programs(), 0u);
            }
        }
        if (c.untouched) {
            EXPECT_EQ(rig.Flash(), old);
        }
        if (c.imageHeld) {
            EXPECT_EQ(Bytes(rig.Flash().begin(), rig.Flash().begin() + std::ptrdiff_t(image.size())), image);
        }
        rig.ExpectClosed(0, c.name);
    }
}

TEST(Program, ImageLargerThanTheRomIsRefusedBeforeAnyErase) {
    ProgramRig rig;
    RomImageBuilder b = Version("010.006.000.000");
    b.totalLength = 0x30000;
    const Bytes old = OldFlash(Version("010.005.000.000").Build(), kM25P10);
    rig.Add(SimSpiBoardKind::Orpane, "M25P10", old);
    programtest::RunOutput r = rig.Run({"-p", "0", rig.Write("big.rom", b.Build())});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.out, "Can not flash a 0x30000 length image into a 0x20000 length rom!\nROM not erased\n"))
        << r.out;
    EXPECT_EQ(rig.Flash(), old);
    EXPECT_EQ(rig.Erases() + rig.Programs(), 0u);
    // Nothing was erased, so the protection stays as it was found.
    EXPECT_EQ(rig.Status(), rig.Locked());
    rig.ExpectClosed();
}

// The engine knows an SPI part erases only as a whole, and how much.
TEST(Program, SpiAccessErasesTheWholePart) {
    ProgramRig rig;
    rig.Add(SimSpiBoardKind::Gethra, "M25P40", {});
    rig.Run({"-i"});
    ASSERT_EQ(rig.cmd->SelectAdapter(0, 1, 0xFF), 1);
    EXPECT_EQ(rig.cmd->engine->bulkEraseOnly, 1);
    EXPECT_EQ(rig.cmd->engine->eraseSize, kM25P40);
    rig.cmd->engine->CloseAccess();
}

// "-retain_offset" keeps the ROM's bytes 0x1FF00-0x1FFFF: programmed once
// with the image where the image covers them, written back after it where
// it does not.
TEST(Program, RetainedWindowSurvivesProgramming) {
    for (std::size_t length : {std::size_t(0x800), std::size_t(0x20000)}) {
        SCOPED_TRACE(length);
        ProgramRig rig;
        const Bytes old = OldFlash(Version("010.005.000.000").Build(), kM25P10);
        rig.Add(SimSpiBoardKind::Orpane, "M25P10", old);
        RomImageBuilder b = Version("010.006.000.000");
        b.totalLength = length;
        Bytes image = b.Build();
        for (std::size_t i = 0x800; i < image.size(); ++i) image[i] = std::uint8_t(i ^ 0x3C);
        programtest::RunOutput r = rig.Run({"-p", "0", rig.Write("new.rom", image), "-retain_offset"});
        EXPECT_EQ(r.exitCode, 0) << r.out;
        Bytes expected = Programmed(image, kM25P10);
        std::copy(old.begin() + 0x1FF00, old.begin() + 0x20000, expected.begin() + 0x1FF00);
        EXPECT_EQ(rig.Flash(), expected);
        EXPECT_EQ(rig.Erases(), 1u);
        // One page program per written page: nothing programmed twice.
        EXPECT_EQ(rig.Programs(), (length + 255) / 256 + (length < 0x1FF00 ? 1 : 0));
        EXPECT_EQ(rig.Status(), rig.Locked());
    }
    // A part smaller than the window has no window to keep: the image alone
    // is programmed, and that is a success.
    ProgramRig rig;
    rig.Add(SimSpiBoardKind::Orpane, "M25P05", OldFlash(Version("010.005.000.000").Build(), 0x10000));
    const Bytes image = Version("010.006.000.000").Build();
    programtest::RunOutput r = rig.Run({"-p", "0", rig.Write("new.rom", image), "-retain_offset"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "Retain window 1FF00-1FFFF lies outside the 0x10000 length rom: not kept\n")) << r.out;
    EXPECT_EQ(rig.Flash(), Programmed(image, 0x10000));
}

// ------------------------------------------------------------ "-pa"

TEST(ProgramAll, FiltersPickTheAdapters) {
    struct Board {
        std::uint16_t device;
        const char* partNumber;
    };
    const Board boards[] = {{0x6780, "113-C94101-100"}, {0x6780, "113-C94101-101"}, {0x6790, "113-C94101-100"}};
    RomImageBuilder next = Version("010.006.000.000");
    next.partNumber = "113-C94101-100";
    const Bytes image = next.Build();
    struct Case {
        const char* filter;
        std::vector<bool> updated;
        std::string tail;
        int exitCode;
    } cases[] = {
        {"-padevid=6780", {true, true, false}, "\n2 adapters updated\n", 0},
        {"-pavbpn=113-*-100", {true, false, true}, "\n2 adapters updated\n", 0},
        {"-fa",
         {false, false, false},
         "Programming adapter number: 0\n\nchecking parameters is missing\n\n0 adapters updated\nAdapter not found\n"
         "\n   ERROR: 0FL01\n",
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filter);
        ProgramRig rig;
        std::vector<Bytes> before;
        for (const Board& b : boards) {
            RomImageBuilder old = Version("010.005.000.000");
            old.deviceId = b.device;
            old.partNumber = b.partNumber;
            SimSpiBoardOptions o;
            o.device = b.device;
            before.push_back(OldFlash(old.Build(), kM25P10));
            rig.Add(SimSpiBoardKind::Orpane, "M25P10", before.back(), o);
        }
        programtest::RunOutput r = rig.Run({"-pa", rig.Write("new.rom", image), c.filter});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
        EXPECT_TRUE(r.out.size() >= c.tail.size() &&
                    r.out.compare(r.out.size() - c.tail.size(), c.tail.size(), c.tail) == 0)
            << r.out;
        // The image's part number is shown, the filter's when one is given.
        EXPECT_TRUE(Has(r.out, std::string("update adapters with BIOS P/N ") +
                                   (c.filter[3] == 'v' ? "113-*-100\n" : "113-C94101-100\n")))
            << r.out;
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(rig.Flash(i), c.updated[i] ? Programmed(image, kM25P10) : before[i]) << i;
            EXPECT_EQ(rig.Status(i), rig.Locked(i)) << i;
        }
    }
}

// ------------------------------------------------------------ strap and preserved bits

TEST(Program, StrapBitsGoIntoTheImageAndItStillPassesTheBiosCheck) {
    ProgramRig rig;
    RomImageBuilder b = Version("010.006.000.000");
    b.strapByte = 0xF0;
    const Bytes image = b.Build();
    SimSpiBoard& board =
        rig.Add(SimSpiBoardKind::Orpane, "M25P10", OldFlash(Version("010.005.000.000").Build(), kM25P10));
    board.function->Registers().Poke(0x20C, 2u << 9);

    programtest::RunOutput r = rig.Run({"-p", "0", rig.Write("new.rom", image)});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(rig.Flash()[0xAD], 0xF2);
    EXPECT_EQ(RomImageBuilder::Sum8(rig.Flash(), b.LegacySize()), 0);
    rig.ExpectClosed();
    // The file itself is not changed.
    EXPECT_EQ(vmtest::ReadBytes(rig.File("new.rom")), image);

    r = rig.Run({"-cb", "0"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(Has(r.out, "00\n")) << r.out;
}

// A text type table for the software-SPI board with a preserve table.
const std::string kPreserveTable =
    std::string("format 1.0\n"
    "swspi_table 1\n"
    "swspi_reg 179c 179c 179c 17a4\n"
    "swspi_bit 13 0 a 0 9 0 8 0\n"
    "swspi_delay 0\n"
    "type_table 1\n"
    "type_table_entry2 0 0 \"Soft SPI\" type_swspi 20000 1 1 1\n"
    "preserve_table 1\n"
    "preserve_byte 7a 3\n"
    "preserve_byte 7b f0\n"
    "preserve_byte 40000 ff\n"
    "asic \"Kelt Preserve\" tev_kelt 1 0 0 0 1\n"
    "det_pcicmp 2 ffff 7a00 7a00 det_pass\n")
    + vmtest::kM25P10CommandSetText;

TEST(Program, PreservedBitsComeFromTheRomUnlessNewBios) {
    RomImageBuilder oldBuilder = Version("010.005.000.000");
    oldBuilder.Patch(0x7A, {0xA5, 0x5A});
    RomImageBuilder newBuilder = Version("010.006.000.000");
    newBuilder.Patch(0x7A, {0x0C, 0xC3});
    const Bytes image = newBuilder.Build();
    for (bool newBios : {false, true}) {
        SCOPED_TRACE(newBios);
        ProgramRig rig;
        rig.typeTable = kPreserveTable;
        rig.Add(SimSpiBoardKind::SoftSpi, "M25P10", OldFlash(oldBuilder.Build(), kM25P10));
        std::vector<std::string> args = {"-p", "0", rig.Write("new.rom", image)};
        if (newBios) args.push_back("-newbios");
        programtest::RunOutput r = rig.Run(args);
        ASSERT_EQ(r.exitCode, 0) << r.out;
        EXPECT_EQ(Has(r.out, "Preserve ROM settings\n"), !newBios) << r.out;
        const Bytes& flash = rig.Flash();
        // 0x0C keeps its upper bits and takes the low two from 0xA5; 0xC3
        // takes the upper four from 0x5A.
        EXPECT_EQ(flash[0x7A], newBios ? 0x0C : 0x0D);
        EXPECT_EQ(flash[0x7B], newBios ? 0xC3 : 0x53);
        EXPECT_EQ(RomImageBuilder::Sum8(flash, newBuilder.LegacySize()), 0);
        EXPECT_EQ(rig.Status(), rig.Locked());
    }
}

// ------------------------------------------------------------ hostile images

TEST(Program, DirectoryOffsetOutsideTheImageFailsTheSignatureStep) {
    for (std::uint32_t directory : {0xFFFFFFFFu, 0x2C1CD31Fu, 0x7F0u}) {
        ProgramRig rig;
        RomImageBuilder b = Version("010.006.000.000");
        b.deviceId = 0x6860;
        b.headerRevision = 2;
        b.romDirectory = directory;
        const Bytes old = OldFlash({}, kM25P40);
        rig.Add(SimSpiBoardKind::Gethra, "M25P40", old);
        programtest::RunOutput r = rig.Run({"-p", "0", rig.Write("bad.rom", b.Build()), "-f"});
        EXPECT_EQ(r.exitCode, 1) << std::hex << directory;
        EXPECT_TRUE(Has(r.out, "BIOS authentication signature mismatched\n")) << r.out;
        EXPECT_EQ(rig.Flash(), old);
        rig.ExpectClosed();
    }
}

// A TEV_MIB EEPROM that takes no writes: its read-back differs, and the
// 128-byte rule must not reach before an image shorter than 128 bytes.
class DeafMibFlash : public vmtest::FakeFlash {
public:
    std::uint32_t BulkErase() override { return romSize; }
    std::uint32_t Write(std::uint32_t, std::uint32_t length, const std::uint8_t*) override { return length; }
    std::int16_t BIOSCheck(std::uint32_t, std::uint32_t, const std::uint8_t*) override { return 0; }
};

TEST(Program, ShortImageOnAMibEepromFailsItsVerify) {
    CFlashCmd cmd(nullptr, 0);
    delete cmd.engine;
    auto* flash = new DeafMibFlash;
    cmd.engine = flash;
    vmtest::FakeBoard board;
    board.family = TEV_MIB;
    board.flashType = TYPE_MIBI2C;
    board.rom = vmtest::BuildMibEeprom(1, "113-MIB001-100");
    flash->boards.push_back(board);
    flash->bulkEraseOnly = 1;
    // The image starts its heap block: a read before it shows under the sanitizer.
    std::vector<std::uint8_t> image(0x100000, 0x11);
    std::uint8_t* start = image.data();
    cmd.status = CMD_FAILED;
    int state = CMD_FAILED;
    for (int step = 0; step < 10; ++step) {
        state = cmd.ProgramRom(0, start, 64);
        if (state == CMD_OK || state == CMD_FAILED || state == CMD_SAME_IMAGE) break;
    }
    EXPECT_EQ(state, CMD_FAILED);
    EXPECT_LT(cmd.bytesVerified, 64u);
}

// Network-boot option ROMs of another maker: written as they are under "-f"
// where no signature is checked; refused where their header words point
// nowhere as a ROM directory.
TEST(Program, DistributionOptionRoms) {
    const std::filesystem::path dir = "/usr/lib/ipxe/qemu";
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no option ROMs installed";
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".rom") continue;
        ++seen;
        SCOPED_TRACE(entry.path().string());
        const Bytes rom = vmtest::ReadBytes(entry.path().string());
        {
            ProgramRig rig;
            rig.Add(SimSpiBoardKind::Orpane, "M25P40", OldFlash({}, kM25P40));
            programtest::RunOutput r = rig.Run({"-p", "0", entry.path().string(), "-f"});
            EXPECT_EQ(r.exitCode, 0) << r.out;
            EXPECT_EQ(rig.Flash(), Programmed(rom, kM25P40));
            EXPECT_EQ(rig.Status(), rig.Locked());
        }
        ProgramRig rig;
        const Bytes old = OldFlash({}, kM25P40);
        rig.Add(SimSpiBoardKind::Gethra, "M25P40", old);
        programtest::RunOutput r = rig.Run({"-p", "0", entry.path().string(), "-f"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(Has(r.out, "BIOS authentication signature mismatched\n")) << r.out;
        EXPECT_EQ(rig.Flash(), old);
        rig.ExpectClosed();
    }
    EXPECT_GT(seen, 0);
}

}  // namespace
