#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "CryptoTestUtil.h"
#include "crypto/Sha256.h"
#include "fixtures/CryptoFixtures.h"

using namespace cryptotest;

namespace {

std::string Digest(const std::uint8_t* data, std::size_t n) {
    std::uint8_t out[32];
    EXPECT_EQ(Sha256Digest(data, std::uint32_t(n), out, sizeof out), CRYPTO_OK);
    return ToHex(out, 32);
}

std::string Digest(const std::string& s) {
    return Digest(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// Feeds the message in pieces of the given sizes, cycling through them.
std::string DigestInPieces(const Bytes& msg, std::initializer_list<std::uint32_t> pieces) {
    Sha256Context ctx;
    EXPECT_EQ(Sha256Init(&ctx), CRYPTO_OK);
    std::size_t pos = 0;
    while (pos < msg.size()) {
        for (std::uint32_t p : pieces) {
            std::uint32_t n = std::uint32_t(std::min<std::size_t>(p, msg.size() - pos));
            EXPECT_EQ(Sha256Update(&ctx, msg.data() + pos, n), CRYPTO_OK);
            pos += n;
        }
    }
    std::uint8_t out[32];
    EXPECT_EQ(Sha256Final(&ctx, out, 32), CRYPTO_OK);
    return ToHex(out, 32);
}

}  // namespace

TEST(Sha256, Fips180Vectors) {
    EXPECT_EQ(Digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Digest("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
}

TEST(Sha256, MillionAsInUnevenPieces) {
    Bytes msg(1000000, 'a');
    const char* expected = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
    EXPECT_EQ(Digest(msg.data(), msg.size()), expected);
    EXPECT_EQ(DigestInPieces(msg, {4093, 1, 63, 64, 65, 7777}), expected);
}

// Prefixes of a random message around the padding boundaries (55 bytes fit
// one block, 56 need a second), against openssl.
TEST(Sha256, PaddingBoundariesAgainstOpenssl) {
    const Bytes msg = FromHex(fixtures::kShaMessage);
    ASSERT_EQ(msg.size(), 1000u);
    for (const auto& v : fixtures::kShaPrefixDigests) {
        SCOPED_TRACE(v.length);
        EXPECT_EQ(Digest(msg.data(), v.length), v.digest);
    }
}

TEST(Sha256, SplitFeedingGivesTheSameDigest) {
    const Bytes msg = FromHex(fixtures::kShaMessage);
    const std::string whole = fixtures::kShaPrefixDigests[std::size(fixtures::kShaPrefixDigests) - 1].digest;
    for (std::uint32_t piece : {1u, 63u, 64u, 65u, 55u, 56u, 128u}) {
        SCOPED_TRACE(piece);
        EXPECT_EQ(DigestInPieces(msg, {piece}), whole);
    }
    EXPECT_EQ(DigestInPieces(msg, {0, 1, 0, 63, 64, 65}), whole);
}

TEST(Sha256, ErrorCodes) {
    Sha256Context ctx;
    std::uint8_t out[33];
    const std::uint8_t data[1] = {0};
    EXPECT_EQ(Sha256Init(nullptr), CRYPTO_NULL_POINTER);
    ASSERT_EQ(Sha256Init(&ctx), CRYPTO_OK);
    EXPECT_EQ(Sha256Update(&ctx, nullptr, 0), CRYPTO_NULL_POINTER);
    EXPECT_EQ(Sha256Final(&ctx, nullptr, 32), CRYPTO_NULL_POINTER);
    std::memset(out, 0xA5, sizeof out);
    EXPECT_EQ(Sha256Final(&ctx, out, 31), CRYPTO_TOO_LONG);
    for (std::uint8_t b : out) EXPECT_EQ(b, 0xA5);  // nothing written
    EXPECT_EQ(Sha256Digest(nullptr, 0, out, 32), CRYPTO_NULL_POINTER);
    EXPECT_EQ(Sha256Digest(data, 1, nullptr, 32), CRYPTO_NULL_POINTER);
    EXPECT_EQ(Sha256Digest(data, 1, out, 31), CRYPTO_TOO_LONG);
    // A larger output buffer receives exactly 32 bytes.
    EXPECT_EQ(Sha256Digest(data, 1, out, 33), CRYPTO_OK);
    EXPECT_EQ(out[32], 0xA5);
}

TEST(Mgf1, MatchesOpensslBuiltMask) {
    const Bytes seed = FromHex(fixtures::kMgf1Seed);
    const Bytes expected = FromHex(fixtures::kMgf1Mask223);
    std::uint8_t out[224];
    std::memset(out, 0xEE, sizeof out);
    ASSERT_EQ(Mgf1Sha256(32, seed.data(), 32, out, 223), CRYPTO_OK);
    EXPECT_EQ(ToHex(out, 223), ToHex(expected.data(), 223));
    EXPECT_EQ(out[223], 0xEE);
    // A shorter output is a prefix of the longer one.
    std::uint8_t shortOut[40];
    ASSERT_EQ(Mgf1Sha256(32, seed.data(), 32, shortOut, 40), CRYPTO_OK);
    EXPECT_EQ(ToHex(shortOut, 40), ToHex(expected.data(), 40));
}

TEST(Mgf1, ErrorCodesInOrder) {
    std::uint8_t seed[33] = {};
    std::uint8_t out[32];
    EXPECT_EQ(Mgf1Sha256(32, seed, 33, out, 32), CRYPTO_BAD_LENGTH);
    EXPECT_EQ(Mgf1Sha256(20, seed, 33, out, 32), CRYPTO_BAD_LENGTH);  // seed length checked first
    EXPECT_EQ(Mgf1Sha256(20, seed, 32, out, 32), CRYPTO_BAD_HASH_LENGTH);
    EXPECT_EQ(Mgf1Sha256(32, seed, 32, out, 0), CRYPTO_OK);
    EXPECT_EQ(Mgf1Sha256(32, seed, 32, nullptr, 32), CRYPTO_NULL_POINTER);
}
