#include "ui/Arguments.h"

bool ParseDecimal(const char* text, std::uint32_t* value) {
    std::uint64_t v = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + std::uint64_t(*p - '0');
        // A number that wraps would name a different adapter than typed.
        if (v > 0xFFFFFFFFu) return false;
    }
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
