// The two records at the end of an adapter's ROM: the ISR block (build and
// board number, last 20 bytes) and the production serial-number block
// (two six-digit halves, the 16 bytes before it). Both have one shape:
// marker, zeros, two little-endian 32-bit numbers, a zero, a checksum byte
// that makes the 8-bit sum of the block 0, and the marker again.
#pragma once

#include <cstdint>

struct TailBlockFormat {
    const char* marker;      // at the start and at kEndMarker
    std::uint32_t size;      // bytes
    std::uint32_t distance;  // from the block's first byte to the end of the ROM
    // Texts of the commands: the adapter number; two numbers.
    const char* notFound;
    const char* badChecksum;
    const char* shown;
    const char* setting;
    const char* cannotWrite;  // ROM size, adapter number

    static constexpr std::uint32_t kFirst = 4;
    static constexpr std::uint32_t kSecond = 8;
    static constexpr std::uint32_t kChecksum = 13;
    static constexpr std::uint32_t kEndMarker = 14;
    static constexpr std::uint32_t kMaxSize = 20;
};

// The two block formats.
extern const TailBlockFormat IsrBlock;
extern const TailBlockFormat ProdSnBlock;

// The two numbers of a block.
struct TailBlockNumbers {
    std::uint32_t first = 0;
    std::uint32_t second = 0;
};

// Writes the format.size bytes of a block holding the numbers.
void EncodeTailBlock(const TailBlockFormat& format, TailBlockNumbers numbers, std::uint8_t* out);
// Both markers stand where they belong.
bool TailBlockPresent(const TailBlockFormat& format, const std::uint8_t* block);
// Present, and its 8-bit byte sum is 0.
bool TailBlockValid(const TailBlockFormat& format, const std::uint8_t* block);
TailBlockNumbers DecodeTailBlock(const TailBlockFormat& format, const std::uint8_t* block);
// The ROM holds the block and the 1 MiB buffers hold the ROM.
bool TailBlockFits(const TailBlockFormat& format, std::uint32_t romSize);
// A legacy image (55 AA, its size byte x 512) reaches the offset, so a
// change there needs its checksum fixed.
bool LegacyImageReaches(const std::uint8_t* image, std::uint32_t offset);
// A 12-character serial number as two six-character halves, each read in
// decimal up to its first non-digit.
TailBlockNumbers SplitSerialNumber(const char* serial);
