// A video BIOS whose GPIO table names the SiI1930's reset and program pins,
// laid out as the updater walks it: ROM header -> master data table -> GPIO
// record list -> entry with the two pin ids -> pin table.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace sii1930test {

inline std::vector<std::uint8_t> BiosWithPins(std::uint8_t resetPin, std::uint8_t programPin) {
    std::vector<std::uint8_t> b(0x1000, 0);
    auto word = [&](std::size_t at, std::uint16_t v) {
        b[at] = std::uint8_t(v);
        b[at + 1] = std::uint8_t(v >> 8);
    };
    b[0] = 0x55;
    b[1] = 0xAA;
    word(0x48, 0x100);
    std::memcpy(&b[0x104], "VELK", 4);
    word(0x120, 0x200);  // master data table
    word(0x230, 0x300);
    word(0x21C, 0x600);  // pin table
    word(0x30A, 0x400);  // record list, two records; the second names the entries
    b[0x400] = 2;
    b[0x40C] = 0x11;
    b[0x40D] = 0x21;
    word(0x410, 0x500);
    b[0x504] = 9;  // entry 1 is the one; ids 1 and 2
    b[0x508] = 1;
    b[0x50A] = 2;
    b[0x606] = resetPin;
    b[0x60A] = programPin;
    return b;
}

}  // namespace sii1930test
