// The checksum fix-ups of an image buffer against values worked out by hand
// for a small image: the CRC word goes only where a VELK header names it,
// and the legacy image's byte sum comes out 0.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "commands/CFlashCmd.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// One 512-byte legacy image: a byte pattern, the header at 0x80 naming a
// CRC word at 0x1F0.
Bytes SmallImage(const char* signature) {
    Bytes b(512);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = std::uint8_t(i * 37 + 11);
    b[0] = 0x55;
    b[1] = 0xAA;
    b[2] = 1;
    b[0x48] = 0x80;
    b[0x49] = 0x00;
    std::memcpy(&b[0x84], signature, 4);
    b[0x8E] = 0xF0;
    b[0x8F] = 0x01;
    return b;
}

std::uint32_t Le32(const Bytes& b, std::size_t at) {
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

std::uint8_t LegacySum(const Bytes& b) {
    std::uint32_t s = 0;
    for (std::size_t i = 0; i < 512; ++i) s += b[i];
    return std::uint8_t(s);
}

TEST(ImageChecksumFixup, MatchesHandComputedCrcAndChecksum) {
    CFlashCmd cmd(nullptr, 0);
    struct Case {
        const char* name;
        const char* signature;
        std::uint32_t length;
        std::uint8_t checksum;
        std::uint32_t crcWord;  // at 0x1F0 afterwards
    };
    const Case cases[] = {
        {"VELK header", "VELK", 512, 0x50, 0x9C928035},
        // Elsewhere the offset means nothing: the bytes there stay.
        {"older header", "OLDB", 512, 0x7A, 0x2A05E0BB},
    };
    for (const Case& c : cases) {
        Bytes image = SmallImage(c.signature);
        image[0x21] = 0x99;
        cmd.ImageChecksumFixup(image.data(), c.length);
        EXPECT_EQ(image[0x21], c.checksum) << c.name;
        EXPECT_EQ(Le32(image, 0x1F0), c.crcWord) << c.name;
        EXPECT_EQ(LegacySum(image), 0) << c.name;
    }
}

TEST(ImageChecksumFixup, HeaderCutOffBeforeItsCrcOffsetWritesNoCrc) {
    CFlashCmd cmd(nullptr, 0);
    // The header at 0x1F8 of a 0x200-byte buffer: "VELK" fits, its CRC
    // offset word would lie past the end.
    Bytes image = SmallImage("VELK");
    image[0x48] = 0xF8;
    image[0x49] = 0x01;
    std::memcpy(&image[0x1FC], "VELK", 4);
    const Bytes before = image;
    cmd.ImageChecksumFixup(image.data(), 512);
    EXPECT_EQ(Bytes(image.begin(), image.begin() + 4), Bytes(before.begin(), before.begin() + 4));
    EXPECT_EQ(LegacySum(image), 0);
}

}  // namespace
