// The permuted wiring of the swizzled parallel boards as the board's
// documentation gives it: aperture data line i drives the part's data line
// kPermutedData[i], aperture address line j the part's address line
// kPermutedAddress[j], and address lines above 15 go straight through. A
// simulated part's file holds the part's own bytes, so the tests map ROM
// contents through this wiring to write or judge it.
#pragma once

#include <cstdint>
#include <vector>

namespace vmtest {

inline constexpr std::uint8_t kPermutedData[8] = {0x01, 0x02, 0x04, 0x10, 0x20, 0x40, 0x80, 0x08};
inline constexpr std::uint16_t kPermutedAddress[16] = {0x0002, 0x0004, 0x0008, 0x0010, 0x0020, 0x0040,
                                                       0x0080, 0x1000, 0x4000, 0x2000, 0x0001, 0x0100,
                                                       0x8000, 0x0400, 0x0800, 0x0200};

inline std::uint32_t PermutedPartAddress(std::uint32_t at) {
    std::uint32_t a = at & ~0xFFFFu;
    for (unsigned j = 0; j < 16; ++j)
        if (at & (1u << j)) a |= kPermutedAddress[j];
    return a;
}

// A byte as the part stores it (toPart), or as the aperture reads a part byte.
inline std::uint8_t PermutedData(std::uint8_t v, bool toPart) {
    std::uint8_t w = 0;
    for (unsigned i = 0; i < 8; ++i)
        if (toPart ? v & (1u << i) : v & kPermutedData[i]) w = std::uint8_t(w | (toPart ? kPermutedData[i] : 1u << i));
    return w;
}

// The part's file holding `rom` (as large as the part) through the wiring.
inline std::vector<std::uint8_t> PermutedPartFile(const std::vector<std::uint8_t>& rom) {
    std::vector<std::uint8_t> f(rom.size());
    for (std::uint32_t i = 0; i < rom.size(); ++i) f[PermutedPartAddress(i)] = PermutedData(rom[i], true);
    return f;
}

}  // namespace vmtest
