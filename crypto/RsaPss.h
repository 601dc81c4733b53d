// RSA public-key operation and RSASSA-PSS verification (SHA-256, MGF1-SHA-256,
// 2048-bit modulus, salt length recovered from the encoded message).
#pragma once

#include <cstdint>

#include "crypto/CryptoError.h"

constexpr std::uint32_t kRsaModulusBytes = 256;

// output = base^exponent mod modulus. All byte strings least significant
// byte first; base and output are modulusLength bytes long.
CryptoError RsaPublicOperation(const std::uint8_t* exponent, std::uint32_t exponentLength,
                               const std::uint8_t* modulus, std::uint32_t modulusLength,
                               const std::uint8_t* base, std::uint8_t* output);

// 0 when signature (256 bytes, most significant byte first) is a valid
// signature of the message whose SHA-256 digest is mHash; modulus and
// exponent least significant byte first. CRYPTO_VERIFY_FAILED when it is not.
CryptoError RsaPssVerifySha256(const std::uint8_t* mHash, std::uint32_t hashLength,
                               const std::uint8_t* modulus, std::uint32_t modulusLength,
                               const std::uint8_t* exponent, std::uint32_t exponentLength,
                               const std::uint8_t* signature);
