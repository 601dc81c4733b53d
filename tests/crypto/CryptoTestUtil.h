// Test helpers: hex conversion and a plain reference bignum (32-bit words,
// shift-and-subtract division) that shares nothing with crypto/.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "crypto/BigInt.h"

namespace cryptotest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(std::uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string ToHex(const std::uint8_t* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

inline Bytes Reversed(Bytes b) {
    return Bytes(b.rbegin(), b.rend());
}

// Non-negative reference number: 32-bit words, least significant first, no
// zero top words.
using Ref = std::vector<std::uint32_t>;

inline void Trim(Ref& a) {
    while (!a.empty() && a.back() == 0) a.pop_back();
}

inline Ref RefFromBigEndian(const Bytes& be) {
    Ref r((be.size() + 3) / 4, 0);
    for (std::size_t i = 0; i < be.size(); ++i) {
        std::size_t bytePos = be.size() - 1 - i;  // 0 = least significant
        r[bytePos / 4] |= std::uint32_t(be[i]) << (8 * (bytePos % 4));
    }
    Trim(r);
    return r;
}

inline Ref RefFromU128(unsigned __int128 v) {
    Ref r;
    while (v) {
        r.push_back(std::uint32_t(v));
        v >>= 32;
    }
    return r;
}

inline int RefCompare(const Ref& a, const Ref& b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (std::size_t i = a.size(); i-- > 0;) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

inline Ref RefAdd(const Ref& a, const Ref& b) {
    Ref r(std::max(a.size(), b.size()) + 1, 0);
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i + 1 < r.size(); ++i) {
        carry += std::uint64_t(i < a.size() ? a[i] : 0) + (i < b.size() ? b[i] : 0);
        r[i] = std::uint32_t(carry);
        carry >>= 32;
    }
    r.back() = std::uint32_t(carry);
    Trim(r);
    return r;
}

// a - b for a >= b.
inline Ref RefSub(const Ref& a, const Ref& b) {
    Ref r(a.size(), 0);
    std::int64_t borrow = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        std::int64_t d = std::int64_t(a[i]) - (i < b.size() ? b[i] : 0) - borrow;
        borrow = d < 0;
        r[i] = std::uint32_t(d + (borrow ? (std::int64_t(1) << 32) : 0));
    }
    Trim(r);
    return r;
}

inline Ref RefMul(const Ref& a, const Ref& b) {
    if (a.empty() || b.empty()) return {};
    Ref r(a.size() + b.size(), 0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < b.size(); ++j) {
            carry += std::uint64_t(a[i]) * b[j] + r[i + j];
            r[i + j] = std::uint32_t(carry);
            carry >>= 32;
        }
        r[i + b.size()] = std::uint32_t(carry);
    }
    Trim(r);
    return r;
}

inline std::size_t RefBits(const Ref& a) {
    if (a.empty()) return 0;
    std::size_t n = 32 * (a.size() - 1);
    for (std::uint32_t top = a.back(); top; top >>= 1) ++n;
    return n;
}

inline bool RefBit(const Ref& a, std::size_t i) {
    return i / 32 < a.size() && ((a[i / 32] >> (i % 32)) & 1);
}

inline Ref RefShiftLeft(const Ref& a, std::size_t n) {
    const std::size_t words = n / 32, bits = n % 32;
    Ref r(a.size() + words + 1, 0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        r[i + words] |= a[i] << bits;
        if (bits) r[i + words + 1] |= a[i] >> (32 - bits);
    }
    Trim(r);
    return r;
}

inline Ref RefShiftRight(const Ref& a, std::size_t n) {
    const std::size_t words = n / 32, bits = n % 32;
    if (words >= a.size()) return {};
    Ref r(a.size() - words, 0);
    for (std::size_t i = 0; i < r.size(); ++i) {
        r[i] = a[i + words] >> bits;
        if (bits && i + words + 1 < a.size()) r[i] |= a[i + words + 1] << (32 - bits);
    }
    Trim(r);
    return r;
}

// Binary long division, one bit at a time.
inline void RefDivide(const Ref& a, const Ref& d, Ref* q, Ref* r) {
    Ref rem, quo((a.size() + 1), 0);
    for (std::size_t i = RefBits(a); i-- > 0;) {
        rem = RefShiftLeft(rem, 1);
        if (RefBit(a, i)) {
            if (rem.empty()) rem.push_back(0);
            rem[0] |= 1;
        }
        if (RefCompare(rem, d) >= 0) {
            rem = RefSub(rem, d);
            quo[i / 32] |= 1u << (i % 32);
        }
    }
    Trim(quo);
    if (q) *q = quo;
    if (r) *r = rem;
}

inline Ref RefMod(const Ref& a, const Ref& m) {
    Ref r;
    RefDivide(a, m, nullptr, &r);
    return r;
}

inline Ref RefModExp(const Ref& base, const Ref& e, const Ref& m) {
    Ref result{1};
    Ref p = RefMod(base, m);
    for (std::size_t i = 0; i < RefBits(e); ++i) {
        if (RefBit(e, i)) result = RefMod(RefMul(result, p), m);
        p = RefMod(RefMul(p, p), m);
    }
    return RefMod(result, m);
}

// Conversions between the reference and BigInt, by plain bit copying.
inline BigInt ToBig(const Ref& a, std::uint32_t sign = 0) {
    BigInt b{};
    std::size_t bits = RefBits(a);
    for (std::size_t i = 0; i < bits; ++i) {
        if (RefBit(a, i)) b.limb[i / 28] |= 1u << (i % 28);
    }
    b.used = std::uint32_t((bits + 27) / 28);
    b.sign = b.used ? sign : 0;
    return b;
}

inline Ref FromBig(const BigInt& b) {
    Ref r((b.used * 28 + 31) / 32 + 1, 0);
    for (std::size_t i = 0; i < std::size_t(b.used) * 28; ++i) {
        if ((b.limb[i / 28] >> (i % 28)) & 1) r[i / 32] |= 1u << (i % 32);
    }
    Trim(r);
    return r;
}

// True when the record is in normal form with every limb in range.
inline bool WellFormed(const BigInt& b) {
    if (b.used > 160) return false;
    if (b.used > 0 && b.limb[b.used - 1] == 0) return false;
    if (b.used == 0 && b.sign != 0) return false;
    for (std::uint32_t i = 0; i < b.used; ++i) {
        if (b.limb[i] > 0x0FFFFFFF) return false;
    }
    return true;
}

// A number of `limbs` 28-bit limbs, random or drawn from awkward values.
inline Ref RandomRef(std::mt19937_64& rng, std::size_t limbs, bool crafted) {
    static const std::uint32_t special[] = {0, 0x0FFFFFFF, 1u << 26, (1u << 27) - 1, 1u << 27, 1, 0x0FFFFFFE};
    BigInt b{};
    for (std::size_t i = 0; i < limbs; ++i) {
        b.limb[i] = crafted && rng() % 3 != 0 ? special[rng() % 7] : std::uint32_t(rng()) & 0x0FFFFFFF;
    }
    if (limbs) {
        if (b.limb[limbs - 1] == 0) b.limb[limbs - 1] = 1 + std::uint32_t(rng() % 0x0FFFFFFF);
    }
    b.used = std::uint32_t(limbs);
    return FromBig(b);
}

}  // namespace cryptotest
