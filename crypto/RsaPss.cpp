#include "crypto/RsaPss.h"

#include <cstring>

#include "crypto/BigInt.h"
#include "crypto/Sha256.h"

CryptoError RsaPublicOperation(const std::uint8_t* exponent, std::uint32_t exponentLength,
                               const std::uint8_t* modulus, std::uint32_t modulusLength,
                               const std::uint8_t* base, std::uint8_t* output) {
    BigInt e, m, b, r;
    BigWork work;
    CryptoError err = BigFromBytes(&e, exponent, exponentLength);
    if (err == CRYPTO_OK) err = BigFromBytes(&m, modulus, modulusLength);
    if (err == CRYPTO_OK) err = BigFromBytes(&b, base, modulusLength);
    if (err != CRYPTO_OK) return err;
    err = BigModExp(&work, &r, &b, &e, &m);
    if (err != CRYPTO_OK) return err;
    if (!output) return CRYPTO_NULL_POINTER;
    // The export leaves the bytes above the value's top word alone.
    std::memset(output, 0, modulusLength);
    return BigToBytes(&r, output, modulusLength);
}

CryptoError RsaPssVerifySha256(const std::uint8_t* mHash, std::uint32_t hashLength,
                               const std::uint8_t* modulus, std::uint32_t modulusLength,
                               const std::uint8_t* exponent, std::uint32_t exponentLength,
                               const std::uint8_t* signature) {
    constexpr std::uint32_t kEmLength = kRsaModulusBytes;
    constexpr std::uint32_t kHashLength = kSha256DigestSize;
    constexpr std::uint32_t kDbLength = kEmLength - kHashLength - 1;  // 223

    if (modulusLength != kRsaModulusBytes) return CRYPTO_BAD_LENGTH;
    if (hashLength != kHashLength) return CRYPTO_BAD_HASH_LENGTH;
    if (!mHash || !modulus || !signature || (exponentLength != 0 && !exponent)) return CRYPTO_NULL_POINTER;

    std::uint8_t em[kEmLength] = {};
    std::uint8_t result[kEmLength] = {};
    std::uint8_t mPrime[8 + kHashLength + kDbLength] = {};

    std::uint8_t reversed[kEmLength];
    for (std::uint32_t i = 0; i < kEmLength; ++i) reversed[i] = signature[kEmLength - 1 - i];
    CryptoError err = RsaPublicOperation(exponent, exponentLength, modulus, kRsaModulusBytes, reversed, result);
    if (err != CRYPTO_OK) return err;
    for (std::uint32_t i = 0; i < kEmLength; ++i) em[i] = result[kEmLength - 1 - i];

    if ((em[0] & 0x80) != 0 || em[kEmLength - 1] != 0xBC) return CRYPTO_VERIFY_FAILED;
    const std::uint8_t* h = em + kDbLength;

    std::uint8_t db[kDbLength];
    if (Mgf1Sha256(kHashLength, h, kHashLength, db, kDbLength) != CRYPTO_OK) return CRYPTO_VERIFY_FAILED;
    for (std::uint32_t i = 0; i < kDbLength; ++i) db[i] ^= em[i];
    db[0] &= 0x7F;

    std::uint32_t pos = 0;
    while (pos < kDbLength - 1 && db[pos] == 0) ++pos;
    if (db[pos] != 0x01) return CRYPTO_VERIFY_FAILED;
    const std::uint32_t saltLength = kDbLength - 1 - pos;

    std::memcpy(mPrime + 8, mHash, kHashLength);
    std::memcpy(mPrime + 8 + kHashLength, db + pos + 1, saltLength);
    std::uint8_t hPrime[kHashLength];
    err = Sha256Digest(mPrime, 8 + kHashLength + saltLength, hPrime, sizeof hPrime);
    if (err != CRYPTO_OK) return err;
    return std::memcmp(hPrime, h, kHashLength) == 0 ? CRYPTO_OK : CRYPTO_VERIFY_FAILED;
}
