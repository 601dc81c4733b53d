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
#include "support/TailBlockBuilder.h"

namespace vmtest {

using Bytes = std::vector<std::uint8_t>;

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
