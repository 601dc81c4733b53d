// Image-chain walk, variable-length integers and the TEV_MIB record walk.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "commands/RomImage.h"
#include "support/RomImageBuilder.h"
#include "support/TestSupport.h"

using vmtest::RomImageBuilder;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<RomImageEntry> Chain(const Bytes& buf, std::uint64_t length) {
    std::vector<RomImageEntry> images;
    ParseImageChain(images, buf.data(), length);
    return images;
}

TEST(RomImageChain, Walks) {
    struct Case {
        const char* name;
        unsigned n512;
        std::vector<std::uint16_t> efi;
        std::size_t totalLength;
        long lengthDelta;  // length given = built size + delta
        std::vector<std::pair<int, long>> want;
    };
    const Case cases[] = {
        {"legacy only", 4, {}, 0, 0, {{IMAGE_LEGACY, 2048}}},
        {"legacy 0xE000 + EFI 0x4000, padding after", 0x70, {0x20}, 0x20000, 0,
         {{IMAGE_LEGACY, 57344}, {IMAGE_EFI, 16384}}},
        {"EFI size above 255 units uses the word", 4, {0x150}, 0, 0, {{IMAGE_LEGACY, 2048}, {IMAGE_EFI, 0x150 * 512}}},
        {"three images", 4, {0x8, 0x10}, 0, 0,
         {{IMAGE_LEGACY, 2048}, {IMAGE_EFI, 4096}, {IMAGE_EFI, 8192}}},
        {"second image starts past the length", 4, {0x20}, 0, -(0x20 * 512) + 3, {{IMAGE_LEGACY, 2048}}},
        {"declared size runs past the length", 4, {0x20}, 0, -100, {{IMAGE_LEGACY, 2048}, {IMAGE_EFI, 16384}}},
        {"zero-size image ends the walk unrecorded", 4, {0x0}, 0x3000, 0, {{IMAGE_LEGACY, 2048}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RomImageBuilder b;
        b.n512 = c.n512;
        b.efiImages = c.efi;
        b.totalLength = c.totalLength;
        Bytes img = b.Build();
        auto got = Chain(img, img.size() + c.lengthDelta);
        ASSERT_EQ(c.want.size(), got.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(c.want[i].first, got[i].imageType) << i;
            EXPECT_EQ(c.want[i].second, got[i].size) << i;
        }
    }
}

TEST(RomImageChain, EmptyAndAppending) {
    Bytes img = RomImageBuilder().Build();
    std::vector<RomImageEntry> images{{IMAGE_EFI, 7}};
    ParseImageChain(images, img.data(), 0);
    EXPECT_EQ(1u, images.size());
    ParseImageChain(images, img.data(), img.size());
    ASSERT_EQ(2u, images.size());  // appended, not replaced
    EXPECT_EQ(2048, images[1].size);

    img[2] = 0;  // legacy size 0
    EXPECT_TRUE(Chain(img, img.size()).empty());
    ParseImageChain(images, nullptr, 100);
    EXPECT_EQ(2u, images.size());
}

// 55 AA where the next image begins, followed by fewer than the 6 header
// bytes: the walk must stop without reading past the length.
TEST(RomImageChain, SignatureAtTheEndOfTheData) {
    for (std::size_t extra = 0; extra <= 6; ++extra) {
        RomImageBuilder b;
        Bytes img = b.Build();
        img.push_back(0x55);
        img.push_back(0xAA);
        img.insert(img.end(), {0x01, 0x00, 0x00, 0x00});
        std::size_t len = b.LegacySize() + extra;
        std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[len]);
        std::copy(img.begin(), img.begin() + long(len), exact.get());
        std::vector<RomImageEntry> images;
        ParseImageChain(images, exact.get(), len);
        EXPECT_EQ(extra == 6 ? 2u : 1u, images.size()) << extra;
    }
    // A full 1 MiB buffer whose last image ends exactly at its end.
    std::unique_ptr<std::uint8_t[]> big(new std::uint8_t[kRomBufferSize]);
    std::fill(big.get(), big.get() + kRomBufferSize, 0xFF);
    for (std::size_t p = 0; p < kRomBufferSize; p += 0x8000) {
        big[p] = 0x55;
        big[p + 1] = 0xAA;
        big[p + 2] = 0x40;  // 0x8000 bytes
        big[p + 4] = 0;
    }
    std::vector<RomImageEntry> images;
    ParseImageChain(images, big.get(), kRomBufferSize);
    EXPECT_EQ(32u, images.size());
}

// Real option ROMs of the distribution's network-boot package, when installed:
// structurally sound, but none of the maker's strings.
TEST(RomImageChain, NetworkBootRoms) {
    const std::filesystem::path dir = "/usr/lib/ipxe/qemu";
    std::vector<std::filesystem::path> roms;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        if (e.path().extension() == ".rom") roms.push_back(e.path());
    if (roms.empty()) GTEST_SKIP() << "no option ROMs in " << dir;
    for (const auto& path : roms) {
        SCOPED_TRACE(path.string());
        Bytes rom = vmtest::ReadBytes(path.string());
        auto images = Chain(rom, rom.size());
        ASSERT_FALSE(images.empty());
        EXPECT_EQ(IMAGE_LEGACY, images[0].imageType);
        std::int64_t total = 0;
        for (const auto& i : images) total += i.size;
        if (path.filename().string().rfind("efi-", 0) == 0) {
            EXPECT_EQ(2u, images.size());
            EXPECT_EQ(std::int64_t(rom.size()), total);
        }
        FileImageInfo info;
        RomImage::ParseFileImage(rom.data(), rom.size(), info);
        EXPECT_STREQ("", info.partNumber);
        EXPECT_EQ(0u, info.ssid);
    }
}

struct VarCase {
    Bytes bytes;
    std::size_t available;
    unsigned value;
    bool decodeOverflow;
    unsigned size;
    bool sizeOverflow;
};

TEST(RomImageVarLength, DecodeAndSize) {
    const VarCase cases[] = {
        {{0x05}, 1, 5, false, 1, false},
        {{0x7F, 0xFF}, 2, 0x7F, false, 1, false},
        {{0x81, 0x00}, 2, 128, false, 2, false},
        {{0xFF, 0x7F}, 2, 0x3FFF, false, 2, false},
        {{0x83, 0xFF, 0x7F}, 3, 0xFFFF, false, 3, false},
        {{0x81, 0x80, 0x01}, 3, 0x4001, false, 3, false},
        // Bit 2 of the first byte in a three-byte form: overflow, the first byte is returned.
        {{0x84, 0x80, 0x00}, 3, 0x84, true, 3, false},
        {{0x80, 0x80, 0x80}, 3, 0x80, true, 3, true},
        // Encodings cut by the end of the data.
        {{0x81}, 1, 0x81, true, 3, true},
        {{0x81, 0x80}, 2, 0x81, true, 3, true},
        {{}, 0, 0, true, 3, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        Bytes exact(c.bytes.begin(), c.bytes.begin() + long(c.available));
        bool ov = false;
        EXPECT_EQ(c.value, RomImage::DecodeVarLength(exact.data(), exact.size(), &ov));
        EXPECT_EQ(c.decodeOverflow, ov);
        ov = false;
        EXPECT_EQ(c.size, RomImage::VarLengthSize(exact.data(), exact.size(), &ov));
        EXPECT_EQ(c.sizeOverflow, ov);
    }
}

TEST(RomImageVarLength, OverflowMessage) {
    testing::internal::CaptureStdout();
    RomImage::ReportLengthOverflow();
    std::fflush(stdout);
    EXPECT_EQ("\nError: the size of an extensible length variable has been exceeded.\n",
              testing::internal::GetCapturedStdout());
}

TEST(RomImageMib, RecordWalk) {
    using vmtest::BuildMibEeprom;
    using vmtest::MibIdentityPayload;
    using vmtest::MibRecord;
    struct Case {
        const char* name;
        Bytes eeprom;
        std::size_t readLength;  // 0: the whole buffer
        bool found;
        unsigned units;
        std::string partNumber;
        int overflows;
    };
    Bytes notMib = BuildMibEeprom(2, "113-MIB001-100");
    notMib[1] = 0x00;
    Bytes malformed = BuildMibEeprom({MibRecord{0, {}}, MibRecord{1, MibIdentityPayload(4, "X", "113-M-2")}});
    // The empty first record's type becomes 84 80 00 (an overflow, read as 0x84, size 3).
    malformed[7] = 0x84;
    malformed.insert(malformed.begin() + 8, {0x80, 0x00});
    malformed.resize(128);
    // The first record sends the walk to s = 0x1FD: its type starts on the
    // last byte read and needs more bytes than there are.
    Bytes edge(512, 0x00);
    edge[0] = 0xAA;
    edge[1] = 0x55;
    edge[7] = 0x02;                   // type 2
    edge[8] = 0x83, edge[9] = 0x73;   // length 0x1F3: next s = 5 + 2 + 1 + 2 + 0x1F3 = 0x1FD
    edge[0x1FF] = 0x81;
    const Case cases[] = {
        {"identity record first", BuildMibEeprom(2, "113-MIB001-100"), 0, true, 2, "113-MIB001-100", 0},
        {"identity after other records",
         BuildMibEeprom({MibRecord{3, Bytes(10, 0x11)}, MibRecord{2, Bytes(200, 0x22)},
                         MibRecord{1, MibIdentityPayload(0x3000, "NAME", "113-LATE-1")}}, 512),
         0, true, 0x3000, "113-LATE-1", 0},
        {"no AA 55", notMib, 0, false, 0, "", 0},
        {"malformed type integer: reported, walk goes on", malformed, 0, true, 4, "113-M-2", 1},
        {"part number longer than the field",
         BuildMibEeprom({MibRecord{1, MibIdentityPayload(1, "N", std::string(100, 'P'))}}, 256), 0, true, 1,
         std::string(63, 'P'), 0},
        {"part number runs to the end of the read",
         BuildMibEeprom({MibRecord{1, MibIdentityPayload(1, "N", "113-CUT-1")}}), 7 + 2 + 1 + 4 + 2 + 5, true, 1,
         "113-C", 0},
        {"identity record cut before its payload", BuildMibEeprom(2, "113-X-1"), 9, false, 0, "", 0},
        {"walk near the end of 512 bytes", edge, 0, false, 0, "", 2},
        {"too short to hold a record", Bytes{0xAA, 0x55, 0, 0, 0, 0, 0}, 0, false, 0, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::size_t len = c.readLength ? c.readLength : c.eeprom.size();
        Bytes exact(c.eeprom.begin(), c.eeprom.begin() + long(len));
        int overflows = 0;
        MibIdentity id = RomImage::FindMibIdentity(exact.data(), exact.size(), [&] { ++overflows; });
        EXPECT_EQ(c.found, id.found);
        EXPECT_EQ(c.units, id.romSizeUnits);
        EXPECT_EQ(c.partNumber, id.partNumber);
        EXPECT_EQ(c.overflows, overflows);
    }
}

}  // namespace
