// Fixed-capacity multi-precision integers for the RSA public-key operation.
// Values are 160 limbs of 28 bits, least significant first. Every function
// works on records the caller owns; nothing is allocated.
#pragma once

#include <cstdint>

#include "crypto/CryptoError.h"

constexpr std::uint32_t kBigMaxLimbs = 160;
constexpr std::uint32_t kBigLimbBits = 28;
constexpr std::uint32_t kBigLimbMask = 0x0FFFFFFF;
constexpr std::uint32_t kBigMaxImportBytes = 556;

struct BigInt {
    std::uint32_t used;   // significant limbs; 0 for zero
    std::uint32_t sign;   // 1 negative, 0 non-negative
    std::uint32_t limb[kBigMaxLimbs];
};

// Scratch records of the division, Barrett and exponentiation functions.
struct BigWork {
    BigInt slot[12];
};

enum BigWorkSlot : std::uint32_t {
    BIG_SLOT_MU = 0,            // Barrett constant, kept between reductions
    BIG_SLOT_BARRETT_Q1 = 1,    // 1..3: Barrett quotient and remainder temporaries
    BIG_SLOT_BARRETT_Q2 = 2,
    BIG_SLOT_BARRETT_Q3 = 3,
    BIG_SLOT_DIV_DIVIDEND = 4,  // 4..9: division temporaries
    BIG_SLOT_DIV_DIVISOR = 5,
    BIG_SLOT_DIV_QUOTIENT = 6,
    BIG_SLOT_DIV_SHIFTED = 7,
    BIG_SLOT_DIV_PRODUCT = 8,
    BIG_SLOT_DIV_DIGIT = 9,
    BIG_SLOT_EXP_PRODUCT = 10,  // exponentiation: product and running power
    BIG_SLOT_EXP_POWER = 11,
};

// Import: bytes least significant first; length a multiple of 4, at most 556.
// Length 0 gives zero.
CryptoError BigFromBytes(BigInt* out, const std::uint8_t* bytes, std::uint32_t length);
// Export, least significant byte first, up to the word holding the top bit;
// bytes above it are left as they are.
CryptoError BigToBytes(const BigInt* value, std::uint8_t* bytes, std::uint32_t length);
void BigCopy(BigInt* out, const BigInt* value);

CryptoError BigAddMagnitude(BigInt* out, const BigInt* a, const BigInt* b);
CryptoError BigSubtractMagnitude(BigInt* out, const BigInt* a, const BigInt* b);
CryptoError BigAdd(BigInt* out, const BigInt* a, const BigInt* b);
CryptoError BigSubtract(BigInt* out, const BigInt* a, const BigInt* b);
// 1 when |a| > |b|, 2 when |a| < |b|, 3 when equal.
std::uint32_t BigCompareMagnitude(const BigInt* a, const BigInt* b);

CryptoError BigShiftLeftLimbs(BigInt* out, const BigInt* value, std::uint32_t k);
void BigShiftRightLimbs(BigInt* out, const BigInt* value, std::uint32_t k);
CryptoError BigShiftLeftBits(BigInt* out, const BigInt* value, std::uint32_t n);
void BigShiftRightBits(BigInt* out, const BigInt* value, std::uint32_t n);
void BigTruncateBits(BigInt* out, const BigInt* value, std::uint32_t n);
CryptoError BigSetPowerOfTwo(BigInt* out, std::uint32_t n);
std::uint32_t BigBitLength(const BigInt* value);

// Product limited to `limit` limbs (0: all of them). out must differ from a and b.
CryptoError BigMultiply(BigInt* out, const BigInt* a, const BigInt* b, std::uint32_t limit);
// Product whose columns below `from` are left out (and zero).
CryptoError BigMultiplyHigh(BigInt* out, const BigInt* a, const BigInt* b, std::uint32_t from);
CryptoError BigSquare(BigInt* out, const BigInt* a);

// Long division of magnitudes; quotient and remainder may be null. Both
// results are non-negative.
CryptoError BigDivide(BigWork* work, BigInt* quotient, const BigInt* dividend, const BigInt* divisor,
                      BigInt* remainder);

CryptoError BigBarrettSetup(BigWork* work, const BigInt* modulus);
CryptoError BigBarrettReduce(BigWork* work, BigInt* out, const BigInt* x, const BigInt* modulus);
CryptoError BigModExp(BigWork* work, BigInt* out, const BigInt* base, const BigInt* exponent,
                      const BigInt* modulus);

void BigHalve(BigInt* value);
CryptoError BigDouble(BigInt* value);
std::uint32_t BigCountTrailingZeros(const BigInt* value);
