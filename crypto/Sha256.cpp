#include "crypto/Sha256.h"

#include <bit>
#include <cstring>

namespace {

constexpr std::uint32_t kInitialState[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline std::uint32_t LoadBigEndian32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::little) v = ByteSwap32(v);
    return v;
}

inline void StoreBigEndian32(std::uint8_t* p, std::uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) v = ByteSwap32(v);
    std::memcpy(p, &v, 4);
}

inline std::uint32_t Rotr(std::uint32_t x, int n) {
    return std::rotr(x, n);
}

}  // namespace

std::uint32_t ByteSwap32(std::uint32_t value) {
    return (value >> 24) | ((value >> 8) & 0xFF00) | ((value << 8) & 0xFF0000) | (value << 24);
}

CryptoError Sha256Init(Sha256Context* context) {
    if (!context) return CRYPTO_NULL_POINTER;
    std::memset(context, 0, sizeof *context);
    std::memcpy(context->state, kInitialState, sizeof kInitialState);
    return CRYPTO_OK;
}

void Sha256Transform(Sha256Context* context, const std::uint8_t* block) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) w[i] = LoadBigEndian32(block + 4 * i);
    for (int i = 16; i < 64; ++i) {
        std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t v[8];
    std::memcpy(v, context->state, sizeof v);
    // Eight rounds per step with the working variables renamed instead of moved.
    auto round = [&w](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t& d, std::uint32_t e,
                      std::uint32_t f, std::uint32_t g, std::uint32_t& h, int i) {
        std::uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + (g ^ (e & (f ^ g))) + kRoundConstants[i] + w[i];
        std::uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) | (c & (a | b)));
        d += t1;
        h = t1 + t2;
    };
    for (int i = 0; i < 64; i += 8) {
        round(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], i);
        round(v[7], v[0], v[1], v[2], v[3], v[4], v[5], v[6], i + 1);
        round(v[6], v[7], v[0], v[1], v[2], v[3], v[4], v[5], i + 2);
        round(v[5], v[6], v[7], v[0], v[1], v[2], v[3], v[4], i + 3);
        round(v[4], v[5], v[6], v[7], v[0], v[1], v[2], v[3], i + 4);
        round(v[3], v[4], v[5], v[6], v[7], v[0], v[1], v[2], i + 5);
        round(v[2], v[3], v[4], v[5], v[6], v[7], v[0], v[1], i + 6);
        round(v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[0], i + 7);
    }
    for (int i = 0; i < 8; ++i) context->state[i] += v[i];
}

CryptoError Sha256Update(Sha256Context* context, const std::uint8_t* data, std::uint32_t length) {
    if (!data || !context) return CRYPTO_NULL_POINTER;
    context->total += length;
    while (length > 0) {
        if (context->used == 0 && length >= kSha256BlockSize) {
            Sha256Transform(context, data);
            data += kSha256BlockSize;
            length -= kSha256BlockSize;
            continue;
        }
        std::uint32_t take = kSha256BlockSize - context->used;
        if (take > length) take = length;
        std::memcpy(context->block + context->used, data, take);
        context->used += take;
        data += take;
        length -= take;
        if (context->used == kSha256BlockSize) {
            Sha256Transform(context, context->block);
            context->used = 0;
        }
    }
    return CRYPTO_OK;
}

CryptoError Sha256Final(Sha256Context* context, std::uint8_t* output, std::uint32_t outputSize) {
    if (!output || !context) return CRYPTO_NULL_POINTER;
    if (outputSize < kSha256DigestSize) return CRYPTO_TOO_LONG;
    std::uint32_t used = context->used;
    context->block[used++] = 0x80;
    if (used > 56) {
        std::memset(context->block + used, 0, kSha256BlockSize - used);
        Sha256Transform(context, context->block);
        used = 0;
    }
    std::memset(context->block + used, 0, 56 - used);
    const std::uint64_t bits = context->total * 8;
    StoreBigEndian32(context->block + 56, std::uint32_t(bits >> 32));
    StoreBigEndian32(context->block + 60, std::uint32_t(bits));
    Sha256Transform(context, context->block);
    context->used = 0;
    for (int i = 0; i < 8; ++i) StoreBigEndian32(output + 4 * i, context->state[i]);
    return CRYPTO_OK;
}

CryptoError Sha256Digest(const std::uint8_t* data, std::uint32_t length, std::uint8_t* output,
                         std::uint32_t outputSize) {
    if (!data || !output) return CRYPTO_NULL_POINTER;
    Sha256Context context;
    CryptoError err = Sha256Init(&context);
    if (err == CRYPTO_OK) err = Sha256Update(&context, data, length);
    if (err == CRYPTO_OK) err = Sha256Final(&context, output, outputSize);
    return err;
}

CryptoError Mgf1Sha256(std::uint32_t hashLength, const std::uint8_t* seed, std::uint32_t seedLength,
                       std::uint8_t* output, std::uint32_t outputLength) {
    if (seedLength > kSha256DigestSize) return CRYPTO_BAD_LENGTH;
    if (hashLength != kSha256DigestSize) return CRYPTO_BAD_HASH_LENGTH;
    if ((seedLength != 0 && !seed) || (outputLength != 0 && !output)) return CRYPTO_NULL_POINTER;
    std::uint8_t input[kSha256DigestSize + 4];
    if (seedLength != 0) std::memcpy(input, seed, seedLength);
    std::uint8_t t[kSha256DigestSize];
    for (std::uint32_t counter = 0; outputLength > 0; ++counter) {
        StoreBigEndian32(input + seedLength, counter);
        CryptoError err = Sha256Digest(input, seedLength + 4, t, sizeof t);
        if (err != CRYPTO_OK) return err;
        std::uint32_t take = outputLength < kSha256DigestSize ? outputLength : kSha256DigestSize;
        std::memcpy(output, t, take);
        output += take;
        outputLength -= take;
    }
    return CRYPTO_OK;
}
