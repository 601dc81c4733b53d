// Small byte and text helpers every layer shares: little-endian fields,
// the bounded string copy and the case-insensitive compares.
#pragma once

#include <cctype>
#include <cstddef>
#include <cstdint>

// Little-endian fields, whatever the host's byte order.
inline std::uint16_t ReadLe16(const std::uint8_t* p) { return std::uint16_t(p[0] | p[1] << 8); }

inline std::uint32_t ReadLe32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

inline void StoreLe16(std::uint8_t* p, std::uint16_t value) {
    p[0] = std::uint8_t(value);
    p[1] = std::uint8_t(value >> 8);
}

inline void StoreLe32(std::uint8_t* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(value >> (8 * i));
}

// Copies at most size - 1 characters of text (none for null) and
// terminates; size must be at least 1.
inline void CopyBounded(char* out, std::size_t size, const char* text) {
    std::size_t n = 0;
    if (text)
        for (; n + 1 < size && text[n]; ++n) out[n] = text[n];
    out[n] = '\0';
}

inline bool SameLetterNoCase(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

inline bool EqualsNoCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (!SameLetterNoCase(*a, *b)) return false;
    return *a == *b;
}

inline bool StartsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix)
        if (!SameLetterNoCase(*text, *prefix)) return false;  // also stops at the end of text
    return true;
}
