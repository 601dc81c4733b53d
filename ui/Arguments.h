// Checks of command arguments shared by the command handlers.
#pragma once

#include <cstdint>

// Reads an adapter number: false unless every character is a decimal digit
// and the number fits in 32 bits. The empty text gives 0.
bool ParseDecimal(const char* text, std::uint32_t* value);

// True when minCount <= count <= maxCount (maxCount < 0: no upper bound)
// and, with firstDecimal, the first argument passes ParseDecimal.
bool ArgumentsValid(int count, char** args, int minCount, int maxCount, bool firstDecimal);
