// Splitting a version or part-number text into tokens.
#pragma once

#include <cstddef>

// Copies text into copy (cut to copySize - 1 characters) and splits the copy
// on sep; runs of sep count as one and empty tokens do not exist. Stores at
// most maxTokens token pointers and returns their count.
std::size_t SplitTokens(const char* text, char sep, char* copy, std::size_t copySize, const char** tokens,
                        std::size_t maxTokens);
