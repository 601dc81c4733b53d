#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "CryptoTestUtil.h"
#include "crypto/BigInt.h"
#include "fixtures/CryptoFixtures.h"

using namespace cryptotest;

namespace {

// BigWork is large; keep it off the test's stack.
struct Work {
    std::unique_ptr<BigWork> w = std::make_unique<BigWork>();
    BigWork* operator->() { return w.get(); }
    BigWork* get() { return w.get(); }
};

BigInt Small(std::int64_t v) {
    Ref r = RefFromU128((unsigned __int128)(v < 0 ? -v : v));
    return ToBig(r, v < 0 ? 1 : 0);
}

std::int64_t ToInt(const BigInt& b) {
    unsigned __int128 v = 0;
    for (std::uint32_t i = b.used; i-- > 0;) v = (v << 28) | b.limb[i];
    return b.sign ? -std::int64_t(v) : std::int64_t(v);
}

unsigned __int128 ToU128(const Ref& r) {
    unsigned __int128 v = 0;
    for (std::size_t i = r.size(); i-- > 0;) v = (v << 32) | r[i];
    return v;
}

Ref PowerOfTwo(std::size_t n) {
    return RefShiftLeft(Ref{1}, n);
}

}  // namespace

TEST(BigInt, ImportLengthsAndLayout) {
    BigInt b;
    std::uint8_t bytes[560];
    std::memset(bytes, 0xFF, sizeof bytes);
    EXPECT_EQ(BigFromBytes(&b, bytes, 556), CRYPTO_OK);
    EXPECT_EQ(b.used, 159u);
    EXPECT_TRUE(WellFormed(b));
    EXPECT_EQ(BigFromBytes(&b, bytes, 560), CRYPTO_BAD_LENGTH);
    EXPECT_EQ(BigFromBytes(&b, bytes, 6), CRYPTO_BAD_LENGTH);
    const std::uint8_t seventeen[4] = {0x11, 0, 0, 0};
    ASSERT_EQ(BigFromBytes(&b, seventeen, 4), CRYPTO_OK);
    EXPECT_EQ(b.used, 1u);
    EXPECT_EQ(b.limb[0], 17u);
    EXPECT_EQ(BigFromBytes(&b, bytes, 0), CRYPTO_OK);
    EXPECT_EQ(b.used, 0u);
    // Import clears every limb, also those above the value.
    std::memset(&b, 0x5A, sizeof b);
    ASSERT_EQ(BigFromBytes(&b, seventeen, 4), CRYPTO_OK);
    for (std::uint32_t i = 1; i < 160; ++i) ASSERT_EQ(b.limb[i], 0u) << i;
    EXPECT_EQ(b.sign, 0u);
}

TEST(BigInt, ImportExportRoundTripAgainstBitCopy) {
    std::mt19937_64 rng(1);
    for (int round = 0; round < 200; ++round) {
        std::uint32_t len = 4 * std::uint32_t(1 + rng() % 139);
        Bytes le(len);
        for (auto& x : le) x = std::uint8_t(rng());
        if (round % 3 == 0) std::fill(le.end() - std::min<std::size_t>(le.size(), 9), le.end(), 0);  // short values
        BigInt b;
        ASSERT_EQ(BigFromBytes(&b, le.data(), len), CRYPTO_OK);
        ASSERT_TRUE(WellFormed(b));
        EXPECT_EQ(RefCompare(FromBig(b), RefFromBigEndian(Reversed(le))), 0);
        Bytes back(len, 0);
        ASSERT_EQ(BigToBytes(&b, back.data(), len), CRYPTO_OK);
        EXPECT_EQ(back, le);
    }
}

TEST(BigInt, ExportLimitsAndUntouchedBytes) {
    BigInt b = Small(0x1234567);
    std::uint8_t out[8];
    std::memset(out, 0xEE, sizeof out);
    ASSERT_EQ(BigToBytes(&b, out, 8), CRYPTO_OK);
    const std::uint8_t expected[8] = {0x67, 0x45, 0x23, 0x01, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(0, std::memcmp(out, expected, 8));

    BigInt big = ToBig(PowerOfTwo(2047));
    std::uint8_t buf[256];
    EXPECT_EQ(BigToBytes(&big, buf, 252), CRYPTO_BUFFER_TOO_SMALL);
    EXPECT_EQ(BigToBytes(&big, buf, 254), CRYPTO_BAD_LENGTH);
    EXPECT_EQ(BigToBytes(&big, buf, 256), CRYPTO_OK);
    EXPECT_EQ(BigToBytes(&big, nullptr, 256), CRYPTO_NULL_POINTER);
    big.used = 161;
    EXPECT_EQ(BigToBytes(&big, buf, 256), CRYPTO_TOO_LONG);
}

// Signed addition and subtraction, every sign combination, against int64.
TEST(BigInt, SignedAddSubtractTable) {
    const std::int64_t values[] = {0, 1, -1, 5, -5, 0x0FFFFFFF, -0x0FFFFFFF, 0x10000000, -0x10000000,
                                   123456789012345, -123456789012345, (std::int64_t(1) << 56) - 1};
    for (std::int64_t a : values) {
        for (std::int64_t b : values) {
            SCOPED_TRACE(std::to_string(a) + " op " + std::to_string(b));
            BigInt x = Small(a), y = Small(b), out;
            ASSERT_EQ(BigAdd(&out, &x, &y), CRYPTO_OK);
            EXPECT_EQ(ToInt(out), a + b);
            EXPECT_TRUE(WellFormed(out));
            ASSERT_EQ(BigSubtract(&out, &x, &y), CRYPTO_OK);
            EXPECT_EQ(ToInt(out), a - b);
            EXPECT_TRUE(WellFormed(out));
            // In place.
            ASSERT_EQ(BigSubtract(&x, &x, &y), CRYPTO_OK);
            EXPECT_EQ(ToInt(x), a - b);
            ASSERT_EQ(BigAdd(&y, &x, &y), CRYPTO_OK);
            EXPECT_EQ(ToInt(y), a);
        }
    }
}

TEST(BigInt, CompareIgnoresSign) {
    BigInt a = Small(-5), b = Small(5), c = Small(6);
    EXPECT_EQ(BigCompareMagnitude(&a, &b), 3u);
    EXPECT_EQ(BigCompareMagnitude(&c, &a), 1u);
    EXPECT_EQ(BigCompareMagnitude(&a, &c), 2u);
}

TEST(BigInt, LimitsOfAdditionShiftsAndPowers) {
    BigInt full = ToBig(PowerOfTwo(28 * 159 + 5));  // 160 limbs
    BigInt one = Small(1), out;
    EXPECT_EQ(BigAddMagnitude(&out, &full, &one), CRYPTO_TOO_LONG);
    BigInt l159 = ToBig(PowerOfTwo(28 * 158));
    EXPECT_EQ(BigAddMagnitude(&out, &l159, &one), CRYPTO_OK);
    EXPECT_EQ(BigShiftLeftLimbs(&out, &l159, 1), CRYPTO_OK);
    EXPECT_EQ(BigShiftLeftLimbs(&out, &l159, 2), CRYPTO_TOO_LONG);
    EXPECT_EQ(BigShiftLeftBits(&out, &full, 22), CRYPTO_OK);  // top limb 2^5 becomes 2^27
    EXPECT_EQ(BigShiftLeftBits(&out, &full, 23), CRYPTO_TOO_LONG);
    ASSERT_EQ(BigSetPowerOfTwo(&out, 4479), CRYPTO_OK);
    EXPECT_EQ(out.used, 160u);
    EXPECT_EQ(out.limb[159], 1u << 27);
    EXPECT_EQ(BigSetPowerOfTwo(&out, 4480), CRYPTO_TOO_LONG);
    EXPECT_EQ(BigDouble(&out), CRYPTO_TOO_LONG);
}

TEST(BigInt, ShiftsTruncateAndBitCountsAgainstReference) {
    std::mt19937_64 rng(2);
    for (int round = 0; round < 300; ++round) {
        Ref a = RandomRef(rng, 1 + rng() % 80, round % 2);
        BigInt b = ToBig(a), out;
        std::uint32_t n = std::uint32_t(rng() % 1200);
        ASSERT_EQ(BigShiftLeftBits(&out, &b, n), CRYPTO_OK);
        EXPECT_EQ(RefCompare(FromBig(out), RefShiftLeft(a, n)), 0);
        EXPECT_TRUE(WellFormed(out));
        BigShiftRightBits(&out, &b, n);
        EXPECT_EQ(RefCompare(FromBig(out), RefShiftRight(a, n)), 0);
        EXPECT_TRUE(WellFormed(out));
        BigTruncateBits(&out, &b, n);
        Ref low = RefSub(a, RefShiftLeft(RefShiftRight(a, n), n));
        EXPECT_EQ(RefCompare(FromBig(out), low), 0);
        EXPECT_TRUE(WellFormed(out));
        EXPECT_EQ(BigBitLength(&b), RefBits(a));
        std::size_t tz = 0;
        while (!RefBit(a, tz)) ++tz;
        EXPECT_EQ(BigCountTrailingZeros(&b), tz);
        BigInt h = b;
        BigHalve(&h);
        EXPECT_EQ(RefCompare(FromBig(h), RefShiftRight(a, 1)), 0);
    }
    BigInt zero = Small(0);
    EXPECT_EQ(BigBitLength(&zero), 0u);
    EXPECT_EQ(BigCountTrailingZeros(&zero), 0u);
}

TEST(BigInt, MultiplyAndSquareAgainstReference) {
    std::mt19937_64 rng(3);
    for (int round = 0; round < 300; ++round) {
        std::size_t la = 1 + rng() % 80, lb = 1 + rng() % (160 - la);
        Ref a = RandomRef(rng, la, round % 2), b = RandomRef(rng, lb, round % 3 == 0);
        BigInt x = ToBig(a, rng() % 2), y = ToBig(b, rng() % 2), out;
        ASSERT_EQ(BigMultiply(&out, &x, &y, 0), CRYPTO_OK);
        EXPECT_EQ(RefCompare(FromBig(out), RefMul(a, b)), 0);
        EXPECT_EQ(out.sign, std::uint32_t(x.sign != y.sign));
        EXPECT_TRUE(WellFormed(out));

        // Limited: the product modulo 2^(28 limit).
        std::uint32_t limit = 1 + std::uint32_t(rng() % (la + lb + 2));
        ASSERT_EQ(BigMultiply(&out, &x, &y, limit), CRYPTO_OK);
        Ref full = RefMul(a, b);
        EXPECT_EQ(RefCompare(FromBig(out), RefSub(full, RefShiftLeft(RefShiftRight(full, 28 * limit), 28 * limit))),
                  0);

        // High part: never above the product, short of it by less than
        // (min(la, lb) + 1) * 2^(28 (from + 1)).
        std::uint32_t from = std::uint32_t(rng() % (la + lb));
        ASSERT_EQ(BigMultiplyHigh(&out, &x, &y, from), CRYPTO_OK);
        Ref high = FromBig(out);
        ASSERT_LE(RefCompare(high, full), 0);
        for (std::uint32_t i = 0; i < from && i < out.used; ++i) EXPECT_EQ(out.limb[i], 0u);
        Ref bound = RefMul(Ref{std::uint32_t(std::min(la, lb) + 1)}, PowerOfTwo(28 * (from + 1)));
        EXPECT_LT(RefCompare(RefSub(full, high), bound), 0);
        ASSERT_EQ(BigMultiplyHigh(&out, &x, &y, 0), CRYPTO_OK);
        EXPECT_EQ(RefCompare(FromBig(out), full), 0);

        if (la <= 80) {
            ASSERT_EQ(BigSquare(&out, &x), CRYPTO_OK);
            EXPECT_EQ(RefCompare(FromBig(out), RefMul(a, a)), 0);
            EXPECT_EQ(out.sign, 0u);
        }
    }
}

TEST(BigInt, MultiplyErrors) {
    BigInt a = ToBig(PowerOfTwo(28 * 78)), b = ToBig(PowerOfTwo(28 * 81)), c = Small(3), out;  // 79 and 82 limbs
    EXPECT_EQ(BigMultiply(&a, &a, &c, 0), CRYPTO_BAD_ARGUMENT);
    EXPECT_EQ(BigMultiply(&c, &a, &c, 0), CRYPTO_BAD_ARGUMENT);
    EXPECT_EQ(BigMultiplyHigh(&c, &a, &c, 0), CRYPTO_BAD_ARGUMENT);
    EXPECT_EQ(BigSquare(&c, &c), CRYPTO_BAD_ARGUMENT);
    EXPECT_EQ(BigMultiply(&out, &a, &b, 0), CRYPTO_PRODUCT_TOO_LONG);
    EXPECT_EQ(BigMultiplyHigh(&out, &a, &b, 100), CRYPTO_PRODUCT_TOO_LONG);
    EXPECT_EQ(BigMultiply(&out, &a, &c, 161), CRYPTO_PRODUCT_TOO_LONG);
    BigInt s81 = ToBig(PowerOfTwo(28 * 80));
    EXPECT_EQ(BigSquare(&out, &s81), CRYPTO_PRODUCT_TOO_LONG);
    BigInt zero = Small(0);
    ASSERT_EQ(BigMultiply(&out, &zero, &b, 0), CRYPTO_OK);
    EXPECT_EQ(out.used, 0u);
}

namespace {

// Divides and checks quotient and remainder against the reference, exactly
// and through a·1 = q·d + r with r < d.
void CheckDivision(BigWork* work, const Ref& a, const Ref& d, bool exact) {
    BigInt x = ToBig(a), y = ToBig(d), q, r;
    ASSERT_EQ(BigDivide(work, &q, &x, &y, &r), CRYPTO_OK);
    ASSERT_TRUE(WellFormed(q));
    ASSERT_TRUE(WellFormed(r));
    Ref qr = FromBig(q), rr = FromBig(r);
    ASSERT_LT(RefCompare(rr, d), 0);
    ASSERT_EQ(RefCompare(RefAdd(RefMul(qr, d), rr), a), 0);
    if (exact) {
        Ref eq, er;
        RefDivide(a, d, &eq, &er);
        ASSERT_EQ(RefCompare(qr, eq), 0);
        ASSERT_EQ(RefCompare(rr, er), 0);
    }
}

}  // namespace

TEST(BigDivide, CraftedCases) {
    Work work;
    // The digit below the dividend's top limb is not zero here.
    {
        BigInt a = ToBig(RefAdd(PowerOfTwo(54), RefMul(Ref{3}, PowerOfTwo(26)))), d = ToBig(PowerOfTwo(26)), q, r;
        ASSERT_EQ(BigDivide(work.get(), &q, &a, &d, &r), CRYPTO_OK);
        EXPECT_EQ(RefCompare(FromBig(q), RefAdd(PowerOfTwo(28), Ref{3})), 0);
        EXPECT_EQ(r.used, 0u);
    }
    // b^5 (b - 1) / 2: six-limb quotient.
    {
        Ref a = RefMul(PowerOfTwo(140), Ref{0x0FFFFFFF});
        BigInt x = ToBig(a), two = Small(2), q, r;
        ASSERT_EQ(BigDivide(work.get(), &q, &x, &two, &r), CRYPTO_OK);
        EXPECT_EQ(q.used, 6u);
        EXPECT_EQ(RefCompare(FromBig(q), RefShiftRight(a, 1)), 0);
    }
    const Ref limbs[] = {Ref{0}, Ref{0x0FFFFFFF}, Ref{1u << 26}, Ref{(1u << 27) - 1}, Ref{1}};
    std::mt19937_64 rng(4);
    for (int round = 0; round < 400; ++round) {
        // Dividends and divisors built from the awkward limbs only.
        std::size_t la = 2 + rng() % 12, lb = 1 + rng() % la;
        Ref a, d;
        for (std::size_t i = 0; i < la; ++i) a = RefAdd(a, RefShiftLeft(limbs[rng() % 5], 28 * i));
        for (std::size_t i = 0; i < lb; ++i) d = RefAdd(d, RefShiftLeft(limbs[rng() % 5], 28 * i));
        if (d.empty()) d = Ref{1u << 26};
        SCOPED_TRACE(round);
        CheckDivision(work.get(), a, d, true);
    }
}

TEST(BigDivide, SmallValuesAgainstInt128) {
    Work work;
    std::mt19937_64 rng(5);
    for (int round = 0; round < 20000; ++round) {
        unsigned __int128 a = (unsigned __int128)rng() << 64 | rng();
        unsigned __int128 d = (unsigned __int128)rng() << 64 | rng();
        a >>= rng() % 128;
        d >>= rng() % 128;
        if (round % 4 == 0) d &= ~(unsigned __int128)0x0FFFFFFF;  // zero low limb
        if (d == 0) d = 1u << 26;
        BigInt x = ToBig(RefFromU128(a)), y = ToBig(RefFromU128(d)), q, r;
        ASSERT_EQ(BigDivide(work.get(), &q, &x, &y, &r), CRYPTO_OK);
        ASSERT_TRUE(ToU128(FromBig(q)) == a / d) << round;
        ASSERT_TRUE(ToU128(FromBig(r)) == a % d) << round;
    }
}

TEST(BigDivide, LargeRandomAgainstReference) {
    Work work;
    std::mt19937_64 rng(6);
    for (int round = 0; round < 1500; ++round) {
        std::size_t la = 1 + rng() % 150, lb = 1 + rng() % la;
        Ref a = RandomRef(rng, la, round % 2), d = RandomRef(rng, lb, round % 3 == 0);
        SCOPED_TRACE(round);
        CheckDivision(work.get(), a, d, round % 10 == 0);
    }
}

TEST(BigDivide, SpecialCasesAndAliasing) {
    Work work;
    BigInt zero = Small(0), seven = Small(7), big = Small(1000), q = Small(99), r = Small(99);
    EXPECT_EQ(BigDivide(work.get(), &q, &big, &zero, &r), CRYPTO_BAD_ARGUMENT);
    EXPECT_EQ(ToInt(q), 99);  // nothing written
    EXPECT_EQ(ToInt(r), 99);
    ASSERT_EQ(BigDivide(work.get(), &q, &zero, &seven, &r), CRYPTO_OK);
    EXPECT_EQ(q.used + r.used, 0u);
    ASSERT_EQ(BigDivide(work.get(), &q, &seven, &big, &r), CRYPTO_OK);
    EXPECT_EQ(ToInt(q), 0);
    EXPECT_EQ(ToInt(r), 7);
    ASSERT_EQ(BigDivide(work.get(), &q, &seven, &seven, &r), CRYPTO_OK);
    EXPECT_EQ(ToInt(q), 1);
    EXPECT_EQ(ToInt(r), 0);
    ASSERT_EQ(BigDivide(work.get(), nullptr, &big, &seven, &r), CRYPTO_OK);
    EXPECT_EQ(ToInt(r), 1000 % 7);
    ASSERT_EQ(BigDivide(work.get(), &q, &big, &seven, nullptr), CRYPTO_OK);
    EXPECT_EQ(ToInt(q), 1000 / 7);
    // Quotient into the dividend's record, remainder into the divisor's.
    BigInt a = Small(7), b = Small(1000);
    ASSERT_EQ(BigDivide(work.get(), &a, &a, &b, &b), CRYPTO_OK);
    EXPECT_EQ(ToInt(a), 0);
    EXPECT_EQ(ToInt(b), 7);
    a = Small(1000), b = Small(7);
    ASSERT_EQ(BigDivide(work.get(), &a, &a, &b, &b), CRYPTO_OK);
    EXPECT_EQ(ToInt(a), 142);
    EXPECT_EQ(ToInt(b), 6);
}

TEST(BigDivide, BarrettConstantHasAtMostKPlusOneLimbs) {
    Work work;
    std::mt19937_64 rng(7);
    for (std::size_t k : {1u, 2u, 5u, 37u, 74u, 79u}) {
        Ref m = RandomRef(rng, k, false);
        BigInt mb = ToBig(m), q;
        BigInt p;
        ASSERT_EQ(BigSetPowerOfTwo(&p, std::uint32_t(56 * k)), CRYPTO_OK);
        ASSERT_EQ(BigDivide(work.get(), &q, &p, &mb, nullptr), CRYPTO_OK);
        EXPECT_LE(q.used, k + 1);
        Ref eq;
        RefDivide(PowerOfTwo(56 * k), m, &eq, nullptr);
        EXPECT_EQ(RefCompare(FromBig(q), eq), 0);
    }
}

TEST(Barrett, ReduceAgainstReferenceAndLimits) {
    Work work;
    std::mt19937_64 rng(8);
    for (int round = 0; round < 300; ++round) {
        std::size_t k = 1 + rng() % 79;
        Ref m = RandomRef(rng, k, round % 2);
        BigInt mb = ToBig(m);
        ASSERT_EQ(BigBarrettSetup(work.get(), &mb), CRYPTO_OK);
        for (int j = 0; j < 3; ++j) {
            Ref x = RandomRef(rng, 1 + rng() % (2 * k), round % 3 == 0);
            BigInt xb = ToBig(x), out;
            ASSERT_EQ(BigBarrettReduce(work.get(), &out, &xb, &mb), CRYPTO_OK) << round;
            EXPECT_EQ(RefCompare(FromBig(out), RefMod(x, m)), 0) << round;
            EXPECT_TRUE(WellFormed(out));
            ASSERT_EQ(BigBarrettReduce(work.get(), &xb, &xb, &mb), CRYPTO_OK);  // in place
            EXPECT_EQ(RefCompare(FromBig(xb), RefMod(x, m)), 0);
        }
        BigInt tooLong = ToBig(PowerOfTwo(28 * 2 * k)), out;
        EXPECT_EQ(BigBarrettReduce(work.get(), &out, &tooLong, &mb), CRYPTO_BARRETT_INPUT_TOO_LONG);
    }
    BigInt m80 = ToBig(PowerOfTwo(28 * 79)), zero = Small(0);
    EXPECT_EQ(BigBarrettSetup(work.get(), &m80), CRYPTO_TOO_LONG);
    EXPECT_EQ(BigBarrettSetup(work.get(), &zero), CRYPTO_BAD_ARGUMENT);
}

TEST(BigModExp, OpensslVectors) {
    Work work;
    for (const auto& v : fixtures::kModExpVectors) {
        SCOPED_TRACE(v.exponent);
        Ref n = RefFromBigEndian(FromHex(v.modulus)), base = RefFromBigEndian(FromHex(v.base));
        Ref expected = RefFromBigEndian(FromHex(v.result));
        BigInt m = ToBig(n), b = ToBig(base), e = ToBig(Ref{v.exponent}), out;
        ASSERT_EQ(BigModExp(work.get(), &out, &b, &e, &m), CRYPTO_OK);
        EXPECT_EQ(RefCompare(FromBig(out), expected), 0);
        // A base above the modulus is reduced first.
        BigInt above = ToBig(RefAdd(base, n));
        ASSERT_EQ(BigModExp(work.get(), &out, &above, &e, &m), CRYPTO_OK);
        EXPECT_EQ(RefCompare(FromBig(out), expected), 0);
        // Result written over the exponent's own record.
        ASSERT_EQ(BigModExp(work.get(), &e, &b, &e, &m), CRYPTO_OK);
        EXPECT_EQ(RefCompare(FromBig(e), expected), 0);
    }
}

TEST(BigModExp, RandomAgainstReference) {
    Work work;
    std::mt19937_64 rng(9);
    for (int round = 0; round < 40; ++round) {
        std::size_t k = 1 + rng() % 20;
        Ref m = RandomRef(rng, k, round % 2);
        if (RefCompare(m, Ref{1}) == 0) m = Ref{3};
        Ref base = RandomRef(rng, 1 + rng() % (k + 1), false);
        Ref e = RandomRef(rng, 1 + rng() % 3, round % 3 == 0);
        BigInt mb = ToBig(m), bb = ToBig(base), eb = ToBig(e), out;
        ASSERT_EQ(BigModExp(work.get(), &out, &bb, &eb, &mb), CRYPTO_OK);
        EXPECT_EQ(RefCompare(FromBig(out), RefModExp(base, e, m)), 0) << round;
    }
}

TEST(BigModExp, ZeroExponentZeroBaseAndErrors) {
    Work work;
    BigInt m = Small(1000003), b = Small(12345), zero = Small(0), e = Small(17), out;
    ASSERT_EQ(BigModExp(work.get(), &out, &b, &zero, &m), CRYPTO_OK);
    EXPECT_EQ(ToInt(out), 1);
    ASSERT_EQ(BigModExp(work.get(), &out, &zero, &e, &m), CRYPTO_OK);
    EXPECT_EQ(ToInt(out), 0);
    ASSERT_EQ(BigModExp(work.get(), &out, &b, &e, &m), CRYPTO_OK);
    std::uint64_t ref = 1;
    for (int i = 0; i < 17; ++i) ref = ref * 12345 % 1000003;
    EXPECT_EQ(ToInt(out), std::int64_t(ref));
    EXPECT_EQ(BigModExp(work.get(), &out, &b, &e, &zero), CRYPTO_BAD_ARGUMENT);
    BigInt m80 = ToBig(PowerOfTwo(28 * 79));
    EXPECT_EQ(BigModExp(work.get(), &out, &b, &e, &m80), CRYPTO_TOO_LONG);
}
