#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "CryptoTestUtil.h"
#include "OpensslTool.h"
#include "crypto/RsaPss.h"
#include "crypto/Sha256.h"
#include "fixtures/CryptoFixtures.h"

using namespace cryptotest;

namespace {

struct Key {
    Bytes modulusLe;   // as the image stores it: least significant byte first
    Bytes exponentLe;  // 4 bytes
};

Key MakeKey(const Bytes& modulusBe, std::uint32_t e) {
    Key k;
    k.modulusLe = Reversed(modulusBe);
    k.exponentLe = {std::uint8_t(e), std::uint8_t(e >> 8), std::uint8_t(e >> 16), std::uint8_t(e >> 24)};
    return k;
}

Key FixtureKey(std::uint32_t e) {
    return MakeKey(FromHex(e == 3 ? fixtures::kPssModulus3 : fixtures::kPssModulus65537), e);
}

CryptoError Verify(const Bytes& mHash, const Key& k, const Bytes& signatureBe) {
    return RsaPssVerifySha256(mHash.data(), std::uint32_t(mHash.size()), k.modulusLe.data(),
                              std::uint32_t(k.modulusLe.size()), k.exponentLe.data(),
                              std::uint32_t(k.exponentLe.size()), signatureBe.data());
}

Bytes FixtureDigest() {
    return FromHex(fixtures::kPssMessageDigest);
}

}  // namespace

TEST(RsaPss, FixtureMessageDigestMatches) {
    Bytes msg = FromHex(fixtures::kPssMessage), out(32);
    ASSERT_EQ(Sha256Digest(msg.data(), std::uint32_t(msg.size()), out.data(), 32), CRYPTO_OK);
    EXPECT_EQ(out, FixtureDigest());
}

// Salt lengths 0, 32 and 222 under exponents 65537 and 3.
TEST(RsaPss, AcceptsOpensslSignatures) {
    for (const auto& v : fixtures::kPssValid) {
        SCOPED_TRACE(std::to_string(v.exponent) + " salt " + v.salt);
        EXPECT_EQ(Verify(FixtureDigest(), FixtureKey(v.exponent), FromHex(v.signature)), CRYPTO_OK);
    }
}

TEST(RsaPss, RejectsEachTampering) {
    for (const auto& v : fixtures::kPssValid) {
        SCOPED_TRACE(std::to_string(v.exponent) + " salt " + v.salt);
        const Key key = FixtureKey(v.exponent);
        const Bytes sig = FromHex(v.signature);

        Bytes hash = FixtureDigest();
        hash[31] ^= 1;
        EXPECT_EQ(Verify(hash, key, sig), CRYPTO_VERIFY_FAILED);

        for (std::size_t at : {0u, 100u, 255u}) {
            Bytes bad = sig;
            bad[at] ^= 0x10;
            EXPECT_EQ(Verify(FixtureDigest(), key, bad), CRYPTO_VERIFY_FAILED) << at;
        }
        // Signature taken least significant byte first.
        EXPECT_EQ(Verify(FixtureDigest(), key, Reversed(sig)), CRYPTO_VERIFY_FAILED);
        // The other key.
        EXPECT_EQ(Verify(FixtureDigest(), FixtureKey(v.exponent == 3 ? 65537 : 3), sig), CRYPTO_VERIFY_FAILED);
        Key wrongExponent = key;
        wrongExponent.exponentLe[0] ^= 2;
        EXPECT_EQ(Verify(FixtureDigest(), wrongExponent, sig), CRYPTO_VERIFY_FAILED);
    }
}

// PKCS#1 v1.5, MGF1 with SHA-1, an encoded message ending in 0xBD and one
// with bit 7 of its first byte set, all made with the private key.
TEST(RsaPss, RejectsOtherEncodings) {
    const Key key = FixtureKey(65537);
    for (const auto& v : fixtures::kPssInvalid65537) {
        SCOPED_TRACE(v.what);
        EXPECT_EQ(Verify(FixtureDigest(), key, FromHex(v.signature)), CRYPTO_VERIFY_FAILED);
    }
}

TEST(RsaPss, ParameterErrorsInOrder) {
    const Key key = FixtureKey(65537);
    const Bytes sig = FromHex(fixtures::kPssValid[0].signature);
    const Bytes hash = FixtureDigest();
    EXPECT_EQ(RsaPssVerifySha256(hash.data(), 32, nullptr, 0, nullptr, 0, sig.data()), CRYPTO_BAD_LENGTH);
    EXPECT_EQ(RsaPssVerifySha256(hash.data(), 20, nullptr, 0, nullptr, 0, sig.data()), CRYPTO_BAD_LENGTH);
    EXPECT_EQ(RsaPssVerifySha256(hash.data(), 20, key.modulusLe.data(), 256, key.exponentLe.data(), 4, sig.data()),
              CRYPTO_BAD_HASH_LENGTH);
    EXPECT_EQ(RsaPssVerifySha256(hash.data(), 32, key.modulusLe.data(), 512, key.exponentLe.data(), 4, sig.data()),
              CRYPTO_BAD_LENGTH);
    EXPECT_EQ(RsaPssVerifySha256(hash.data(), 32, key.modulusLe.data(), 256, key.exponentLe.data(), 3, sig.data()),
              CRYPTO_BAD_LENGTH);  // exponent length not a multiple of 4, from the import
    EXPECT_EQ(RsaPssVerifySha256(nullptr, 32, key.modulusLe.data(), 256, key.exponentLe.data(), 4, sig.data()),
              CRYPTO_NULL_POINTER);
    Bytes zeroModulus(256, 0);
    EXPECT_NE(RsaPssVerifySha256(hash.data(), 32, zeroModulus.data(), 256, key.exponentLe.data(), 4, sig.data()),
              CRYPTO_OK);
}

TEST(RsaPublicOperation, MatchesOpensslRawOperation) {
    for (const auto& v : fixtures::kModExpVectors) {
        SCOPED_TRACE(v.exponent);
        Key k = MakeKey(FromHex(v.modulus), v.exponent);
        Bytes base = Reversed(FromHex(v.base)), out(256, 0xEE);
        ASSERT_EQ(RsaPublicOperation(k.exponentLe.data(), 4, k.modulusLe.data(), 256, base.data(), out.data()),
                  CRYPTO_OK);
        EXPECT_EQ(Reversed(out), FromHex(v.result));
    }
    std::uint8_t b[8] = {}, out[8];
    EXPECT_EQ(RsaPublicOperation(b, 4, b, 6, b, out), CRYPTO_BAD_LENGTH);
    std::vector<std::uint8_t> big(560, 1);
    EXPECT_EQ(RsaPublicOperation(b, 4, big.data(), 560, big.data(), big.data()), CRYPTO_BAD_LENGTH);
}

// Fresh keys and signatures from the openssl command, where it is installed.
TEST(RsaPss, FreshOpensslSignatures) {
    if (!openssltool::Available()) GTEST_SKIP() << "openssl command not installed";
    openssltool::ScratchDir dir;
    std::mt19937_64 rng(std::random_device{}());
    for (unsigned long e : {65537ul, 3ul}) {
        const std::string keyFile = dir.File("key" + std::to_string(e) + ".pem");
        ASSERT_TRUE(openssltool::NewKey(keyFile, 2048, e));
        Bytes modulus = openssltool::Modulus(keyFile);
        ASSERT_EQ(modulus.size(), 256u);
        const Key key = MakeKey(modulus, std::uint32_t(e));
        for (const char* salt : {"0", "20", "32", "max", "auto"}) {
            SCOPED_TRACE(std::to_string(e) + " salt " + salt);
            Bytes msg(1 + rng() % 5000);
            for (auto& b : msg) b = std::uint8_t(rng());
            const std::string msgFile = dir.File("msg.bin");
            ASSERT_TRUE(openssltool::WriteAll(msgFile, msg));
            Bytes sig = openssltool::SignPss(keyFile, salt, msgFile);
            ASSERT_EQ(sig.size(), 256u);
            Bytes hash(32);
            ASSERT_EQ(Sha256Digest(msg.data(), std::uint32_t(msg.size()), hash.data(), 32), CRYPTO_OK);
            EXPECT_EQ(Verify(hash, key, sig), CRYPTO_OK);
            sig[rng() % 256] ^= std::uint8_t(1u << (rng() % 8));
            EXPECT_EQ(Verify(hash, key, sig), CRYPTO_VERIFY_FAILED);
        }
    }
}
