// Checks of command arguments shared by the command handlers.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads an adapter number: false unless every character is a decimal digit
// and the number fits in 32 bits. The empty text gives 0.
bool ParseDecimal(const char* text, std::uint32_t* value);

// Reads a value that a command writes to a ROM or a status register: false
// unless the text is not empty, holds only digits of the base (10 or 16)
// and its number is at most max.
bool ParseFieldValue(const char* text, int base, std::uint32_t max, std::uint32_t* value);

// Reads an ID typed in hexadecimal: false unless the text holds 1 to
// maxDigits (at most 8) hexadecimal digits and nothing else.
bool ParseHexDigits(const char* text, std::size_t maxDigits, std::uint32_t* value);

// Reads an adapter number the lenient way (leading blanks and a sign
// allowed, up to the first non-digit; "abc" is 0): false when the number
// does not fit in 32 bits or is negative, so that it names no adapter
// instead of wrapping onto another one.
bool ParseAdapterLeniently(const char* text, std::uint32_t* value);

// True when minCount <= count <= maxCount (maxCount < 0: no upper bound)
// and, with firstDecimal, the first argument passes ParseDecimal.
bool ArgumentsValid(int count, char** args, int minCount, int maxCount, bool firstDecimal);
