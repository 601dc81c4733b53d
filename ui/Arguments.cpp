#include "ui/Arguments.h"

#include <cstring>

namespace {

constexpr std::uint64_t kMax32 = 0xFFFFFFFFu;

// Value of one digit in base 10 or 16, or -1.
int DigitValue(char c, int base) {
    if (c >= '0' && c <= '9') return c - '0';
    if (base != 16) return -1;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads digits of the base from *p on, stopping at the first other
// character; false once the number passes max.
bool ReadDigits(const char*& p, int base, std::uint64_t max, std::uint64_t* value) {
    std::uint64_t v = 0;
    for (int d; (d = DigitValue(*p, base)) >= 0; ++p) {
        v = v * std::uint64_t(base) + std::uint64_t(d);
        if (v > max) return false;
    }
    *value = v;
    return true;
}

}  // namespace

bool ParseDecimal(const char* text, std::uint32_t* value) {
    if (*text == '\0') {
        *value = 0;
        return true;
    }
    // A number that wraps would name a different adapter than typed.
    return ParseFieldValue(text, 10, std::uint32_t(kMax32), value);
}

bool ParseFieldValue(const char* text, int base, std::uint32_t max, std::uint32_t* value) {
    const char* p = text;
    std::uint64_t v = 0;
    if (*p == '\0' || !ReadDigits(p, base, max, &v) || *p != '\0') return false;
    *value = std::uint32_t(v);
    return true;
}

bool ParseHexDigits(const char* text, std::size_t maxDigits, std::uint32_t* value) {
    // The value alone is no bound: a digit too many behind a leading zero
    // still fits, and shifts both IDs by one digit.
    return std::strlen(text) <= maxDigits && ParseFieldValue(text, 16, std::uint32_t(kMax32), value);
}

bool ParseAdapterLeniently(const char* text, std::uint32_t* value) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    std::uint64_t v = 0;
    if (!ReadDigits(p, 10, kMax32, &v) || (negative && v != 0)) return false;
    *value = std::uint32_t(v);
    return true;
}

bool ArgumentsValid(int count, char** args, int minCount, int maxCount, bool firstDecimal) {
    if (count < minCount) return false;
    if (maxCount >= 0 && count > maxCount) return false;
    if (firstDecimal && count > 0) {
        std::uint32_t adapter = 0;
        if (!ParseDecimal(args[0], &adapter)) return false;
    }
    return true;
}
