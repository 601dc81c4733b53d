// SHA-256 and RSASSA-PSS verification beside OpenSSL doing the same work,
// and the whole "-rsa" check of a 1 MiB image.
#include <benchmark/benchmark.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "commands/RomDirectory.h"
#include "crypto/RsaPss.h"
#include "crypto/Sha256.h"
#include "tests/commands/SignedImage.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void Die(const char* what) {
    std::fprintf(stderr, "CryptoBench: %s failed\n", what);
    std::exit(1);
}

Bytes RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = std::uint8_t(rng());
    return b;
}

// One OpenSSL key and a PSS signature over a digest, made once.
struct PssSetup {
    EVP_PKEY* key = nullptr;
    Bytes modulusBe;
    Bytes exponentLe{1, 0, 1, 0};
    Bytes digest = Bytes(32);
    Bytes signature;

    PssSetup() {
        key = EVP_RSA_gen(2048);
        if (!key) Die("EVP_RSA_gen");
        BIGNUM* n = nullptr;
        if (!EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n)) Die("modulus");
        modulusBe.resize(256);
        BN_bn2binpad(n, modulusBe.data(), 256);
        BN_free(n);
        Bytes msg = RandomBytes(1000, 1);
        unsigned int len = 0;
        EVP_Digest(msg.data(), msg.size(), digest.data(), &len, EVP_sha256(), nullptr);
        signature = Sign(digest);
    }

    // PSS signature (salt 32) of a SHA-256 digest.
    Bytes Sign(const Bytes& hash) const {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
        std::size_t len = 256;
        Bytes sig(256);
        if (!ctx || EVP_PKEY_sign_init(ctx) <= 0 || !Configure(ctx) ||
            EVP_PKEY_sign(ctx, sig.data(), &len, hash.data(), hash.size()) <= 0) {
            Die("EVP_PKEY_sign");
        }
        EVP_PKEY_CTX_free(ctx);
        return sig;
    }

    static bool Configure(EVP_PKEY_CTX* ctx) {
        return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) > 0 &&
               EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) > 0 &&
               EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256()) > 0 &&
               EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, 32) > 0;
    }
};

const PssSetup& Pss() {
    static PssSetup setup;
    return setup;
}

void BM_Sha256_1MiB_Ours(benchmark::State& state) {
    const Bytes data = RandomBytes(1 << 20, 2);
    std::uint8_t out[32];
    for (auto _ : state) {
        if (Sha256Digest(data.data(), std::uint32_t(data.size()), out, 32) != CRYPTO_OK) Die("Sha256Digest");
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(data.size()));
}
BENCHMARK(BM_Sha256_1MiB_Ours)->Unit(benchmark::kMicrosecond);

void BM_Sha256_1MiB_OpenSSL(benchmark::State& state) {
    const Bytes data = RandomBytes(1 << 20, 2);
    unsigned char out[32];
    unsigned int len = 0;
    for (auto _ : state) {
        if (!EVP_Digest(data.data(), data.size(), out, &len, EVP_sha256(), nullptr)) Die("EVP_Digest");
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(data.size()));
}
BENCHMARK(BM_Sha256_1MiB_OpenSSL)->Unit(benchmark::kMicrosecond);

void BM_PssVerify2048_Ours(benchmark::State& state) {
    const PssSetup& p = Pss();
    const Bytes modulusLe(p.modulusBe.rbegin(), p.modulusBe.rend());
    for (auto _ : state) {
        CryptoError err = RsaPssVerifySha256(p.digest.data(), 32, modulusLe.data(), 256, p.exponentLe.data(), 4,
                                             p.signature.data());
        if (err != CRYPTO_OK) Die("RsaPssVerifySha256");
    }
}
BENCHMARK(BM_PssVerify2048_Ours)->Unit(benchmark::kMicrosecond);

void BM_PssVerify2048_OpenSSL(benchmark::State& state) {
    const PssSetup& p = Pss();
    for (auto _ : state) {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(p.key, nullptr);
        if (!ctx || EVP_PKEY_verify_init(ctx) <= 0 || !PssSetup::Configure(ctx) ||
            EVP_PKEY_verify(ctx, p.signature.data(), p.signature.size(), p.digest.data(), p.digest.size()) != 1) {
            Die("EVP_PKEY_verify");
        }
        EVP_PKEY_CTX_free(ctx);
    }
}
BENCHMARK(BM_PssVerify2048_OpenSSL)->Unit(benchmark::kMicrosecond);

// The check "-rsa" runs on a 1 MiB file whose legacy image has the largest
// size byte 2 allows (0xFF * 512 bytes), signed by OpenSSL.
void BM_RsaCheck_1MiBImage(benchmark::State& state) {
    const PssSetup& p = Pss();
    signedimage::Layout l;
    l.fileSize = 0x100000;
    l.signedSize = 0xFF * 512;
    l.pcirLength = 0xFF;
    l.signature = 0xFFF00;
    signedimage::Bytes image = signedimage::Build(l, p.modulusBe);
    Bytes message = signedimage::Message(image, l);
    Bytes digest(32);
    unsigned int len = 0;
    EVP_Digest(message.data(), message.size(), digest.data(), &len, EVP_sha256(), nullptr);
    signedimage::PutSignature(image, l.signature, p.Sign(digest));
    std::FILE* sink = std::fopen("/dev/null", "w");
    for (auto _ : state) {
        if (ReportImageSignature(image.data(), std::uint32_t(image.size()), sink, sink) != SignatureVerdict::Pass) {
            Die("ReportImageSignature");
        }
    }
    std::fclose(sink);
}
BENCHMARK(BM_RsaCheck_1MiBImage)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
