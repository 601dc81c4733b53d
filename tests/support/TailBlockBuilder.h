// Bytes of the blocks at the end of a ROM and of BIOS images with a
// memory-training table, written from the record layout rather than with
// the program's own code, and the two sums an image's legacy part carries.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "support/RomImageBuilder.h"

namespace vmtest {

inline std::uint8_t Sum8(const std::uint8_t* p, std::size_t n) {
    std::uint8_t s = 0;
    for (std::size_t i = 0; i < n; ++i) s = std::uint8_t(s + p[i]);
    return s;
}

inline void PutLe32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
}

// "ISR",0, build, board, 0, checksum, "ISR",0,0,0.
inline std::vector<std::uint8_t> IsrBytes(std::uint32_t build, std::uint32_t board) {
    std::vector<std::uint8_t> b = {'I', 'S', 'R', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'I', 'S', 'R', 0, 0, 0};
    PutLe32(b, 4, build);
    PutLe32(b, 8, board);
    b[13] = std::uint8_t(0x100 - Sum8(b.data(), b.size()));
    return b;
}

// "SN",0,0, first half, second half, 0, checksum, "SN".
inline std::vector<std::uint8_t> SnBytes(std::uint32_t first, std::uint32_t second) {
    std::vector<std::uint8_t> b = {'S', 'N', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'S', 'N'};
    PutLe32(b, 4, first);
    PutLe32(b, 8, second);
    b[13] = std::uint8_t(0x100 - Sum8(b.data(), b.size()));
    return b;
}

// `size` bytes: the image at the start, 0xFF, then the blocks at the end.
inline std::vector<std::uint8_t> TailRom(std::size_t size, const std::vector<std::uint8_t>& image = {},
                                         const std::vector<std::uint8_t>& isr = {},
                                         const std::vector<std::uint8_t>& sn = {}) {
    std::vector<std::uint8_t> rom(size, 0xFF);
    auto put = [&rom](const std::vector<std::uint8_t>& bytes, std::size_t at) {
        for (std::size_t i = 0; i < bytes.size() && at + i < rom.size(); ++i) rom[at + i] = bytes[i];
    };
    put(image, 0);
    if (size >= 20) put(isr, size - 20);
    if (size >= 36) put(sn, size - 36);
    return rom;
}

// A 4 KiB BIOS whose master data table (at 0x600) names a training table
// of `size` bytes at tableAt (its first word is the size).
inline std::vector<std::uint8_t> TrainingImage(std::uint16_t tableAt, std::uint16_t size, std::uint8_t fill) {
    RomImageBuilder b;
    b.n512 = 8;
    b.masterDataTable = 0x600;
    b.Patch(0x600 + 0x3E, {std::uint8_t(tableAt), std::uint8_t(tableAt >> 8)});
    std::vector<std::uint8_t> table(std::min<std::size_t>(size, 0x1000 - tableAt), fill);
    for (std::size_t i = 2; i < table.size(); ++i) table[i] = std::uint8_t(fill + i);
    table.at(0) = std::uint8_t(size);
    table.at(1) = std::uint8_t(size >> 8);
    b.Patch(tableAt, table);
    return b.Build();
}

// The full fix-up of a VELK image whose CRC word sits at crcAt: checksum
// byte and CRC word cleared, CRC (rotate left, xor) over the legacy bytes,
// then the checksum byte making their sum 0.
inline void FixImageByHand(std::vector<std::uint8_t>& image, std::size_t legacy, std::size_t crcAt) {
    image[0x21] = 0;
    std::fill(image.begin() + std::ptrdiff_t(crcAt), image.begin() + std::ptrdiff_t(crcAt + 4), 0);
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < legacy; ++i) crc = ((crc << 1) | (crc >> 31)) ^ image[i];
    PutLe32(image, crcAt, crc);
    image[0x21] = std::uint8_t(0x100 - Sum8(image.data(), legacy));
}

}  // namespace vmtest
