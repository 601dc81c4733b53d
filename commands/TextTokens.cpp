#include "commands/TextTokens.h"

#include <cstdio>

std::size_t SplitTokens(const char* text, char sep, char* copy, std::size_t copySize, const char** tokens,
                        std::size_t maxTokens) {
    std::snprintf(copy, copySize, "%s", text ? text : "");
    std::size_t n = 0;
    for (char* p = copy; *p && n < maxTokens;) {
        while (*p == sep) ++p;
        if (!*p) break;
        tokens[n++] = p;
        while (*p && *p != sep) ++p;
        if (*p) *p++ = '\0';
    }
    return n;
}
