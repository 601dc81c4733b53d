// One software-SPI line: a bit of a GPIO register in the register aperture.
#pragma once

#include <cstdint>

struct SpiLine {
    std::uint32_t reg = 0;     // byte offset of the GPIO register
    std::int32_t bit = 0;      // bit number 0-31
    std::uint16_t invert = 0;  // non-zero: active low (inverted on write, and on read for data in)
};
