#include "crypto/BigInt.h"

#include <bit>
#include <cstring>

namespace {

// Drops zero top limbs; zero is never negative.
void Normalise(BigInt* v) {
    while (v->used > 0 && v->limb[v->used - 1] == 0) --v->used;
    if (v->used == 0) v->sign = 0;
}

void SetZero(BigInt* v) {
    v->used = 0;
    v->sign = 0;
}

void SetSmall(BigInt* v, std::uint32_t value) {
    v->limb[0] = value;
    v->used = 1;
    v->sign = 0;
    Normalise(v);
}

// Limbs at and above `used` carry no meaning; read them as zero.
inline std::uint32_t LimbAt(const BigInt* v, std::uint32_t i) {
    return i < v->used ? v->limb[i] : 0;
}

}  // namespace

CryptoError BigFromBytes(BigInt* out, const std::uint8_t* bytes, std::uint32_t length) {
    if (!out || (length != 0 && !bytes)) return CRYPTO_NULL_POINTER;
    if (length % 4 != 0 || 2 * (length / 7) + 2 > kBigMaxLimbs) return CRYPTO_BAD_LENGTH;
    std::memset(out->limb, 0, sizeof out->limb);
    out->sign = 0;
    std::uint64_t acc = 0;
    std::uint32_t bits = 0;
    std::uint32_t n = 0;
    for (std::uint32_t w = 0; w < length / 4; ++w) {
        const std::uint8_t* p = bytes + 4 * w;
        std::uint32_t word = std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                             std::uint32_t(p[3]) << 24;
        acc |= std::uint64_t(word) << bits;
        bits += 32;
        while (bits >= kBigLimbBits) {
            out->limb[n++] = std::uint32_t(acc) & kBigLimbMask;
            acc >>= kBigLimbBits;
            bits -= kBigLimbBits;
        }
    }
    if (bits > 0) out->limb[n++] = std::uint32_t(acc);
    out->used = n;
    Normalise(out);
    return CRYPTO_OK;
}

CryptoError BigToBytes(const BigInt* value, std::uint8_t* bytes, std::uint32_t length) {
    if (!value || !bytes) return CRYPTO_NULL_POINTER;
    if (length % 4 != 0) return CRYPTO_BAD_LENGTH;
    if (value->used > kBigMaxLimbs) return CRYPTO_TOO_LONG;
    std::uint32_t words = (BigBitLength(value) + 31) / 32;
    if (std::uint64_t(words) * 4 > length) return CRYPTO_BUFFER_TOO_SMALL;
    std::uint64_t acc = 0;
    std::uint32_t accBits = 0;
    std::uint32_t li = 0;
    for (std::uint32_t w = 0; w < words; ++w) {
        while (accBits < 32 && li < value->used) {
            acc |= std::uint64_t(value->limb[li++] & kBigLimbMask) << accBits;
            accBits += kBigLimbBits;
        }
        std::uint32_t word = std::uint32_t(acc);
        acc >>= 32;
        accBits = accBits >= 32 ? accBits - 32 : 0;
        std::uint8_t* p = bytes + 4 * w;
        p[0] = std::uint8_t(word);
        p[1] = std::uint8_t(word >> 8);
        p[2] = std::uint8_t(word >> 16);
        p[3] = std::uint8_t(word >> 24);
    }
    return CRYPTO_OK;
}

void BigCopy(BigInt* out, const BigInt* value) {
    if (out != value) std::memcpy(out, value, sizeof *out);
}

CryptoError BigAddMagnitude(BigInt* out, const BigInt* a, const BigInt* b) {
    const std::uint32_t ua = a->used;
    const std::uint32_t ub = b->used;
    const std::uint32_t m = ua > ub ? ua : ub;
    if (m + 1 > kBigMaxLimbs) return CRYPTO_TOO_LONG;
    const std::uint32_t sign = a->sign;
    std::uint32_t carry = 0;
    for (std::uint32_t i = 0; i < m; ++i) {
        std::uint32_t s = (i < ua ? a->limb[i] : 0) + (i < ub ? b->limb[i] : 0) + carry;
        out->limb[i] = s & kBigLimbMask;
        carry = s >> kBigLimbBits;
    }
    out->limb[m] = carry;
    out->used = m + 1;
    out->sign = sign;
    Normalise(out);
    return CRYPTO_OK;
}

CryptoError BigSubtractMagnitude(BigInt* out, const BigInt* a, const BigInt* b) {
    const std::uint32_t cmp = BigCompareMagnitude(a, b);
    if (cmp == 3) {
        SetZero(out);
        return CRYPTO_OK;
    }
    const BigInt* big = cmp == 1 ? a : b;
    const BigInt* small = cmp == 1 ? b : a;
    const std::uint32_t sign = cmp == 1 ? a->sign : (a->sign ? 0u : 1u);
    const std::uint32_t ub = big->used;
    const std::uint32_t us = small->used;
    std::uint32_t borrow = 0;
    for (std::uint32_t i = 0; i < ub; ++i) {
        std::uint32_t d = big->limb[i] - (i < us ? small->limb[i] : 0) - borrow;
        // A borrow shows as bit 28 set after the wrap-around.
        borrow = (d >> kBigLimbBits) & 1;
        out->limb[i] = d & kBigLimbMask;
    }
    out->used = ub;
    out->sign = sign;
    Normalise(out);
    return CRYPTO_OK;
}

CryptoError BigAdd(BigInt* out, const BigInt* a, const BigInt* b) {
    if (a->sign == b->sign) return BigAddMagnitude(out, a, b);
    if (b->sign) return BigSubtractMagnitude(out, a, b);
    return BigSubtractMagnitude(out, b, a);
}

CryptoError BigSubtract(BigInt* out, const BigInt* a, const BigInt* b) {
    if (a->sign == b->sign) return BigSubtractMagnitude(out, a, b);
    return BigAddMagnitude(out, a, b);
}

std::uint32_t BigCompareMagnitude(const BigInt* a, const BigInt* b) {
    if (a->used != b->used) return a->used > b->used ? 1 : 2;
    for (std::uint32_t i = a->used; i-- > 0;) {
        if (a->limb[i] != b->limb[i]) return a->limb[i] > b->limb[i] ? 1 : 2;
    }
    return 3;
}

CryptoError BigShiftLeftLimbs(BigInt* out, const BigInt* value, std::uint32_t k) {
    const std::uint32_t u = value->used;
    if (std::uint64_t(u) + k > kBigMaxLimbs) return CRYPTO_TOO_LONG;
    if (k == 0 || u == 0) {
        BigCopy(out, value);
        return CRYPTO_OK;
    }
    for (std::uint32_t i = u; i-- > 0;) out->limb[i + k] = value->limb[i];
    for (std::uint32_t i = 0; i < k; ++i) out->limb[i] = 0;
    out->used = u + k;
    out->sign = value->sign;
    return CRYPTO_OK;
}

void BigShiftRightLimbs(BigInt* out, const BigInt* value, std::uint32_t k) {
    const std::uint32_t u = value->used;
    if (k == 0) {
        BigCopy(out, value);
        return;
    }
    if (k >= u) {
        SetZero(out);
        return;
    }
    for (std::uint32_t i = 0; i < u - k; ++i) out->limb[i] = value->limb[i + k];
    out->used = u - k;
    out->sign = value->sign;
}

CryptoError BigShiftLeftBits(BigInt* out, const BigInt* value, std::uint32_t n) {
    CryptoError err = BigShiftLeftLimbs(out, value, n / kBigLimbBits);
    if (err != CRYPTO_OK) return err;
    const std::uint32_t r = n % kBigLimbBits;
    const std::uint32_t u = out->used;
    if (r == 0 || u == 0) return CRYPTO_OK;
    const std::uint32_t carry = out->limb[u - 1] >> (kBigLimbBits - r);
    if (carry != 0 && u == kBigMaxLimbs) return CRYPTO_TOO_LONG;
    if (carry != 0) out->limb[u] = carry;
    for (std::uint32_t i = u - 1; i > 0; --i) {
        out->limb[i] = ((out->limb[i] << r) & kBigLimbMask) | (out->limb[i - 1] >> (kBigLimbBits - r));
    }
    out->limb[0] = (out->limb[0] << r) & kBigLimbMask;
    out->used = u + (carry != 0 ? 1 : 0);
    return CRYPTO_OK;
}

void BigShiftRightBits(BigInt* out, const BigInt* value, std::uint32_t n) {
    BigShiftRightLimbs(out, value, n / kBigLimbBits);
    const std::uint32_t r = n % kBigLimbBits;
    if (r == 0) return;
    const std::uint32_t u = out->used;
    for (std::uint32_t i = 0; i < u; ++i) {
        std::uint32_t above = i + 1 < u ? out->limb[i + 1] : 0;
        out->limb[i] = (out->limb[i] >> r) | ((above << (kBigLimbBits - r)) & kBigLimbMask);
    }
    Normalise(out);
}

void BigTruncateBits(BigInt* out, const BigInt* value, std::uint32_t n) {
    const std::uint32_t u = value->used;
    if (n == 0) {
        SetZero(out);
        return;
    }
    if (std::uint64_t(n) >= std::uint64_t(kBigLimbBits) * u) {
        BigCopy(out, value);
        return;
    }
    const std::uint32_t full = n / kBigLimbBits;
    const std::uint32_t r = n % kBigLimbBits;
    for (std::uint32_t i = 0; i < full; ++i) out->limb[i] = value->limb[i];
    if (r != 0) out->limb[full] = value->limb[full] & ((1u << r) - 1);
    out->used = full + (r != 0 ? 1 : 0);
    out->sign = value->sign;
    Normalise(out);
}

CryptoError BigSetPowerOfTwo(BigInt* out, std::uint32_t n) {
    if (n > kBigMaxLimbs * kBigLimbBits - 1) return CRYPTO_TOO_LONG;
    const std::uint32_t k = n / kBigLimbBits;
    for (std::uint32_t i = 0; i < k; ++i) out->limb[i] = 0;
    out->limb[k] = 1u << (n % kBigLimbBits);
    out->used = k + 1;
    out->sign = 0;
    return CRYPTO_OK;
}

std::uint32_t BigBitLength(const BigInt* value) {
    if (value->used == 0) return 0;
    return kBigLimbBits * (value->used - 1) + std::uint32_t(std::bit_width(value->limb[value->used - 1]));
}

namespace {

// Columns [from, count) of a·b into out; the columns below `from` are zero
// and contribute no carry.
void MultiplyColumns(BigInt* out, const BigInt* a, const BigInt* b, std::uint32_t from, std::uint32_t count) {
    const std::uint32_t ua = a->used;
    const std::uint32_t ub = b->used;
    for (std::uint32_t c = 0; c < from && c < count; ++c) out->limb[c] = 0;
    std::uint64_t acc = 0;
    for (std::uint32_t c = from; c < count; ++c) {
        std::uint32_t lo = c >= ub ? c - ub + 1 : 0;
        std::uint32_t hi = c < ua ? c : ua - 1;
        for (std::uint32_t i = lo; i <= hi; ++i) acc += std::uint64_t(a->limb[i]) * b->limb[c - i];
        out->limb[c] = std::uint32_t(acc) & kBigLimbMask;
        acc >>= kBigLimbBits;
    }
    out->used = count;
    out->sign = a->sign != b->sign ? 1 : 0;
    Normalise(out);
}

}  // namespace

CryptoError BigMultiply(BigInt* out, const BigInt* a, const BigInt* b, std::uint32_t limit) {
    if (out == a || out == b) return CRYPTO_BAD_ARGUMENT;
    if (a->used == 0 || b->used == 0) {
        SetZero(out);
        return CRYPTO_OK;
    }
    const std::uint32_t count = limit != 0 ? limit : a->used + b->used;
    if (count > kBigMaxLimbs) return CRYPTO_PRODUCT_TOO_LONG;
    MultiplyColumns(out, a, b, 0, count);
    return CRYPTO_OK;
}

CryptoError BigMultiplyHigh(BigInt* out, const BigInt* a, const BigInt* b, std::uint32_t from) {
    if (out == a || out == b) return CRYPTO_BAD_ARGUMENT;
    if (a->used == 0 || b->used == 0) {
        SetZero(out);
        return CRYPTO_OK;
    }
    const std::uint32_t count = a->used + b->used;
    if (count > kBigMaxLimbs) return CRYPTO_PRODUCT_TOO_LONG;
    MultiplyColumns(out, a, b, from, count);
    return CRYPTO_OK;
}

CryptoError BigSquare(BigInt* out, const BigInt* a) {
    if (out == a) return CRYPTO_BAD_ARGUMENT;
    const std::uint32_t u = a->used;
    if (2 * u > kBigMaxLimbs) return CRYPTO_PRODUCT_TOO_LONG;
    std::uint64_t acc = 0;
    for (std::uint32_t c = 0; c < 2 * u; ++c) {
        std::uint32_t lo = c >= u ? c - u + 1 : 0;
        std::uint64_t cross = 0;
        for (std::uint32_t i = lo; 2 * i < c; ++i) cross += std::uint64_t(a->limb[i]) * a->limb[c - i];
        acc += 2 * cross;
        if (c % 2 == 0) acc += std::uint64_t(a->limb[c / 2]) * a->limb[c / 2];
        out->limb[c] = std::uint32_t(acc) & kBigLimbMask;
        acc >>= kBigLimbBits;
    }
    out->used = 2 * u;
    out->sign = 0;
    Normalise(out);
    return CRYPTO_OK;
}

namespace {

// Answers the divisions that need no long division: a zero dividend, a
// dividend smaller than the divisor, or equal to it. True when answered.
bool DivideTrivially(BigInt* quotient, const BigInt* dividend, const BigInt* divisor, BigInt* remainder) {
    if (dividend->used == 0) {
        if (quotient) SetZero(quotient);
        if (remainder) SetZero(remainder);
        return true;
    }
    const std::uint32_t cmp = BigCompareMagnitude(dividend, divisor);
    if (cmp == 2) {
        // The remainder first: the quotient may be the dividend's own record.
        if (remainder) {
            BigCopy(remainder, dividend);
            remainder->sign = 0;
        }
        if (quotient) SetZero(quotient);
        return true;
    }
    if (cmp == 3) {
        if (quotient) SetSmall(quotient, 1);
        if (remainder) SetZero(remainder);
        return true;
    }
    return false;
}

// Shifts both operands left so that the divisor's top limb has exactly 27
// significant bits; returns the shift through `shift`.
CryptoError NormaliseOperands(BigInt* x, BigInt* y, const BigInt* dividend, const BigInt* divisor,
                              std::uint32_t* shift) {
    const std::uint32_t s = BigBitLength(divisor) % kBigLimbBits;
    *shift = (27 + kBigLimbBits - s) % kBigLimbBits;
    CryptoError err = BigShiftLeftBits(x, dividend, *shift);
    if (err != CRYPTO_OK) return err;
    x->sign = 0;
    err = BigShiftLeftBits(y, divisor, *shift);
    if (err != CRYPTO_OK) return err;
    y->sign = 0;
    return CRYPTO_OK;
}

// The top quotient digit: how often the divisor, moved up to the dividend's
// top limb, goes into the dividend.
CryptoError TopQuotientDigit(BigInt* x, const BigInt* y, BigInt* ys, BigInt* q, std::uint32_t n, std::uint32_t t) {
    CryptoError err = BigShiftLeftLimbs(ys, y, n - t);
    if (err != CRYPTO_OK) return err;
    while (BigCompareMagnitude(x, ys) != 2) {
        ++q->limb[n - t];
        BigSubtractMagnitude(x, x, ys);
    }
    return CRYPTO_OK;
}

// Estimate of the quotient digit for limb i from the top three limbs of the
// dividend and the top two of the divisor; never too low.
std::uint64_t EstimateDigit(const BigInt* x, std::uint32_t i, std::uint32_t yt, unsigned __int128 divisorTop) {
    const std::uint32_t xi = LimbAt(x, i);
    const std::uint32_t xi1 = LimbAt(x, i - 1);
    const std::uint32_t xi2 = i >= 2 ? LimbAt(x, i - 2) : 0;
    std::uint64_t qhat;
    if (xi == yt) {
        qhat = kBigLimbMask;
    } else {
        qhat = (std::uint64_t(xi) << kBigLimbBits | xi1) / yt;
        if (qhat > kBigLimbMask) qhat = kBigLimbMask;
    }
    // With a 27-bit top limb the estimate can be several too high.
    const unsigned __int128 top3 =
        (unsigned __int128)xi << (2 * kBigLimbBits) | (unsigned __int128)xi1 << kBigLimbBits | xi2;
    while ((unsigned __int128)qhat * divisorTop > top3) --qhat;
    return qhat;
}

// Subtracts qhat times the divisor, `limbs` limbs up, from x; adds the
// divisor back while x is negative, lowering qhat each time.
CryptoError SubtractDigitMultiple(BigWork* work, BigInt* x, const BigInt* y, std::uint32_t limbs,
                                  std::uint64_t* qhat) {
    BigInt* ys = &work->slot[BIG_SLOT_DIV_SHIFTED];
    BigInt* prod = &work->slot[BIG_SLOT_DIV_PRODUCT];
    BigInt* digit = &work->slot[BIG_SLOT_DIV_DIGIT];
    SetSmall(digit, std::uint32_t(*qhat));
    CryptoError err = BigMultiply(prod, y, digit, 0);
    if (err != CRYPTO_OK) return err;
    err = BigShiftLeftLimbs(prod, prod, limbs);
    if (err != CRYPTO_OK) return err;
    err = BigSubtract(x, x, prod);
    if (err != CRYPTO_OK) return err;
    if (!x->sign) return CRYPTO_OK;
    err = BigShiftLeftLimbs(ys, y, limbs);
    if (err != CRYPTO_OK) return err;
    while (x->sign) {
        err = BigAdd(x, x, ys);
        if (err != CRYPTO_OK) return err;
        --*qhat;
    }
    return CRYPTO_OK;
}

}  // namespace

CryptoError BigDivide(BigWork* work, BigInt* quotient, const BigInt* dividend, const BigInt* divisor,
                      BigInt* remainder) {
    if (divisor->used == 0) return CRYPTO_BAD_ARGUMENT;
    if (DivideTrivially(quotient, dividend, divisor, remainder)) return CRYPTO_OK;

    BigInt* x = &work->slot[BIG_SLOT_DIV_DIVIDEND];
    BigInt* y = &work->slot[BIG_SLOT_DIV_DIVISOR];
    BigInt* q = &work->slot[BIG_SLOT_DIV_QUOTIENT];
    std::uint32_t shift = 0;
    CryptoError err = NormaliseOperands(x, y, dividend, divisor, &shift);
    if (err != CRYPTO_OK) return err;

    const std::uint32_t n = x->used - 1;
    const std::uint32_t t = y->used - 1;
    std::memset(q->limb, 0, sizeof(std::uint32_t) * (n - t + 1));
    q->used = n - t + 1;
    q->sign = 0;
    err = TopQuotientDigit(x, y, &work->slot[BIG_SLOT_DIV_SHIFTED], q, n, t);
    if (err != CRYPTO_OK) return err;

    const std::uint32_t yt = y->limb[t];
    const std::uint32_t yt1 = t > 0 ? y->limb[t - 1] : 0;
    const unsigned __int128 divisorTop = (unsigned __int128)yt << kBigLimbBits | yt1;
    for (std::uint32_t i = n; i > t; --i) {
        // Limbs i and i-1 both lie above the dividend: the digit is 0.
        if (i > x->used) continue;
        std::uint64_t qhat = EstimateDigit(x, i, yt, divisorTop);
        if (qhat != 0) {
            err = SubtractDigitMultiple(work, x, y, i - t - 1, &qhat);
            if (err != CRYPTO_OK) return err;
        }
        q->limb[i - t - 1] = std::uint32_t(qhat);
    }
    Normalise(q);
    if (quotient) BigCopy(quotient, q);
    if (remainder) BigShiftRightBits(remainder, x, shift);
    return CRYPTO_OK;
}

CryptoError BigBarrettSetup(BigWork* work, const BigInt* modulus) {
    BigInt* power = &work->slot[BIG_SLOT_BARRETT_Q1];
    CryptoError err = BigSetPowerOfTwo(power, 2 * kBigLimbBits * modulus->used);
    if (err != CRYPTO_OK) return err;
    return BigDivide(work, &work->slot[BIG_SLOT_MU], power, modulus, nullptr);
}

CryptoError BigBarrettReduce(BigWork* work, BigInt* out, const BigInt* x, const BigInt* modulus) {
    const std::uint32_t k = modulus->used;
    if (x->used > 2 * k) return CRYPTO_BARRETT_INPUT_TOO_LONG;
    if (k == 0) return CRYPTO_BAD_ARGUMENT;  // only zero gets here, modulo zero
    if (BigCompareMagnitude(x, modulus) == 2) {
        BigCopy(out, x);
        return CRYPTO_OK;
    }
    const BigInt* mu = &work->slot[BIG_SLOT_MU];
    BigInt* t1 = &work->slot[BIG_SLOT_BARRETT_Q1];
    BigInt* t2 = &work->slot[BIG_SLOT_BARRETT_Q2];
    BigInt* t3 = &work->slot[BIG_SLOT_BARRETT_Q3];

    BigShiftRightLimbs(t1, x, k - 1);                         // q1
    CryptoError err = BigMultiplyHigh(t2, t1, mu, k - 1);    // q2
    if (err == CRYPTO_OK) {
        BigShiftRightLimbs(t3, t2, k + 1);                    // q3
        BigTruncateBits(t1, x, kBigLimbBits * (k + 1));       // r1
        err = BigMultiply(t2, t3, modulus, k + 1);            // r2
    }
    if (err == CRYPTO_OK) err = BigSubtract(out, t1, t2);
    if (err == CRYPTO_OK && out->sign) {
        err = BigSetPowerOfTwo(t3, kBigLimbBits * (k + 1));
        if (err == CRYPTO_OK) err = BigAdd(out, out, t3);
    }
    for (std::uint32_t done = 0; err == CRYPTO_OK && BigCompareMagnitude(out, modulus) != 2; ++done) {
        if (done == 11) err = CRYPTO_BARRETT_NOT_REDUCED;
        else err = BigSubtract(out, out, modulus);
    }
    Normalise(out);
    return err;
}

CryptoError BigModExp(BigWork* work, BigInt* out, const BigInt* base, const BigInt* exponent,
                      const BigInt* modulus) {
    CryptoError err = BigBarrettSetup(work, modulus);
    if (err != CRYPTO_OK) return err;
    BigInt* product = &work->slot[BIG_SLOT_EXP_PRODUCT];
    BigInt* power = &work->slot[BIG_SLOT_EXP_POWER];

    err = BigAdd(power, base, modulus);
    if (err == CRYPTO_OK) err = BigBarrettReduce(work, power, power, modulus);
    if (err != CRYPTO_OK) return err;

    // The result is built in out unless out is still needed as an input.
    BigInt local;
    BigInt* result = (out == exponent || out == modulus) ? &local : out;
    SetSmall(result, 1);

    const std::uint32_t ue = exponent->used;
    for (std::uint32_t li = 0; li < ue; ++li) {
        const std::uint32_t e = exponent->limb[li];
        for (std::uint32_t bit = 0; bit < kBigLimbBits; ++bit) {
            if (li == ue - 1 && (e >> bit) == 0) break;
            if ((e >> bit) & 1) {
                err = BigMultiply(product, result, power, 0);
                if (err == CRYPTO_OK) err = BigBarrettReduce(work, result, product, modulus);
                if (err != CRYPTO_OK) return err;
            }
            err = BigSquare(product, power);
            if (err == CRYPTO_OK) err = BigBarrettReduce(work, power, product, modulus);
            if (err != CRYPTO_OK) return err;
        }
    }
    BigCopy(out, result);
    return CRYPTO_OK;
}

void BigHalve(BigInt* value) {
    BigShiftRightBits(value, value, 1);
}

CryptoError BigDouble(BigInt* value) {
    return BigShiftLeftBits(value, value, 1);
}

std::uint32_t BigCountTrailingZeros(const BigInt* value) {
    for (std::uint32_t i = 0; i < value->used; ++i) {
        if (value->limb[i] != 0) return kBigLimbBits * i + std::uint32_t(std::countr_zero(value->limb[i]));
    }
    return 0;
}
