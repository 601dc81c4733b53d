// SHA-256 (FIPS 180-4) on a caller-owned context.
#pragma once

#include <cstdint>

#include "crypto/CryptoError.h"

constexpr std::uint32_t kSha256DigestSize = 32;
constexpr std::uint32_t kSha256BlockSize = 64;

struct Sha256Context {
    std::uint32_t state[8];
    std::uint8_t block[kSha256BlockSize];  // input not yet compressed
    std::uint32_t used;                    // bytes waiting in block
    std::uint64_t total;                   // message bytes taken in so far
};

std::uint32_t ByteSwap32(std::uint32_t value);

CryptoError Sha256Init(Sha256Context* context);
void Sha256Transform(Sha256Context* context, const std::uint8_t* block);
CryptoError Sha256Update(Sha256Context* context, const std::uint8_t* data, std::uint32_t length);
// Writes the 32-byte digest; the context is spent afterwards.
CryptoError Sha256Final(Sha256Context* context, std::uint8_t* output, std::uint32_t outputSize);
CryptoError Sha256Digest(const std::uint8_t* data, std::uint32_t length, std::uint8_t* output,
                         std::uint32_t outputSize);

// MGF1 (RFC 8017, B.2.1) with SHA-256; seeds of at most 32 bytes.
CryptoError Mgf1Sha256(std::uint32_t hashLength, const std::uint8_t* seed, std::uint32_t seedLength,
                       std::uint8_t* output, std::uint32_t outputLength);
