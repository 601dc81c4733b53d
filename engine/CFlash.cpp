#include "engine/CFlash.h"

#include <new>

CFlash::CFlash(FILE* typeTableText, std::uint32_t level) : COsDepend(nullptr, 0) {
    (void)typeTableText;
    logLevel = level;
}

CFlash::~CFlash() = default;

CFlash* CreateFlash(FILE* typeTableText, std::uint32_t logLevel) {
    return new (std::nothrow) CFlash(typeTableText, logLevel);
}
