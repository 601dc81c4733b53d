// Size of the engine's ROM buffer. The command layer's ROM buffer, the
// image files the program loads and a package's data area are sized to
// match it, so a ROM read, an image and a package payload always fit.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t kRomBufferSize = 0x100000;
