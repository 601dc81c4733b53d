// Result codes of the big-integer, hash and signature functions.
#pragma once

#include <cstdint>

enum CryptoError : std::uint32_t {
    CRYPTO_OK = 0,
    CRYPTO_VERIFY_FAILED = 0x8001,        // signature does not verify
    CRYPTO_TOO_LONG = 0x8002,             // result over 160 limbs; output buffer under 32 bytes
    CRYPTO_BAD_ARGUMENT = 0x8003,         // output aliases an input; divisor zero
    CRYPTO_NULL_POINTER = 0x8005,
    CRYPTO_BAD_HASH_LENGTH = 0x8006,      // hash length other than 32
    CRYPTO_PRODUCT_TOO_LONG = 0x800D,     // product over 160 limbs
    CRYPTO_BARRETT_NOT_REDUCED = 0x800E,  // still not below the modulus after 11 subtractions
    CRYPTO_BARRETT_INPUT_TOO_LONG = 0x8017,
    CRYPTO_BAD_LENGTH = 0x8019,           // bad byte length
    CRYPTO_BUFFER_TOO_SMALL = 0x8B02,     // export buffer cannot hold the value
};
