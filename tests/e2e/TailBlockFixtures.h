// ROMs with ISR and serial-number blocks at their end, written byte by byte
// from the record layout (not with the program's own encoder), on a
// simulated board whose flash lives in a file.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "e2e/E2eSupport.h"
#include "support/RomImageBuilder.h"

namespace vmtest {

using Bytes = std::vector<std::uint8_t>;

inline void PutLe32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
}

inline std::uint8_t Sum8(const Bytes& b, std::size_t from, std::size_t to) {
    std::uint32_t s = 0;
    for (std::size_t i = from; i < to; ++i) s += b[i];
    return std::uint8_t(s);
}

// "ISR",0, build, board, 0, checksum, "ISR",0,0,0.
inline Bytes IsrBytes(std::uint32_t build, std::uint32_t board) {
    Bytes b = {'I', 'S', 'R', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'I', 'S', 'R', 0, 0, 0};
    PutLe32(b, 4, build);
    PutLe32(b, 8, board);
    b[13] = std::uint8_t(0x100 - Sum8(b, 0, b.size()));
    return b;
}

// "SN",0,0, first half, second half, 0, checksum, "SN".
inline Bytes SnBytes(std::uint32_t first, std::uint32_t second) {
    Bytes b = {'S', 'N', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'S', 'N'};
    PutLe32(b, 4, first);
    PutLe32(b, 8, second);
    b[13] = std::uint8_t(0x100 - Sum8(b, 0, b.size()));
    return b;
}

// A 2 KiB BIOS image, then 0xFF up to `size`.
inline Bytes BlankTailRom(std::size_t size) {
    RomImageBuilder b;
    Bytes rom = b.Build();
    rom.resize(size, 0xFF);
    return rom;
}

inline Bytes WithIsr(Bytes rom, const Bytes& block) {
    std::copy(block.begin(), block.end(), rom.end() - 20);
    return rom;
}

inline Bytes WithSn(Bytes rom, const Bytes& block) {
    std::copy(block.begin(), block.end(), rom.end() - 36);
    return rom;
}

// One gethra board whose flash file is flash.rom.
struct TailBoard : E2e {
    Bytes flash;
    explicit TailBoard(Bytes content, const std::string& part = "M25P10", const std::string& options = "")
        : flash(std::move(content)) {
        WriteBytes(File("flash.rom"), flash);
        machine = "spiboard 0000:01:00.0 gethra part=" + part + " file=flash.rom " + options + "\n";
    }
    Bytes Flash() { return ReadBytes(File("flash.rom")); }
};

}  // namespace vmtest
