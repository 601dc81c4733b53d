#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <memory>
#include <random>

#include "SignedFixtures.h"
#include "commands/RomDirectory.h"
#include "crypto/OpensslTool.h"
#include "crypto/Sha256.h"
#include "crypto/fixtures/CryptoFixtures.h"

using namespace signedimage;

namespace {

const char kPass[] = "The result of RSA signature verify is PASS.\n";
const char kFailed[] = "The result of RSA signature verify is FAILED.\n";
const char kOlderAsic[] = "The result of RSA signature verify is PASS. Older ASIC.\n";
const char kDirTbl[] = "The result of RSA signature verify is Passed(DirTbl). \n";
const char kPcirWarning[] =
    "Legacy Bios size from offset 2 is different than the one from Pci header. We follow the Bios size from offset 2.\n";
const char kDirectoryWarning[] = "Legacy Bios size from offset 2 is different than the one from XRQ!!!\n";

std::string ReadBack(std::FILE* f) {
    std::string s;
    std::rewind(f);
    char buf[512];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

struct Outcome {
    SignatureVerdict verdict;
    std::string out, err;
};

// Runs the "-rsa" check on an exactly sized heap copy, so that any read past
// the end shows under the address sanitizer.
Outcome Check(const Bytes& image, std::size_t length = SIZE_MAX) {
    length = std::min(length, image.size());
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[length ? length : 1]);
    if (length) std::memcpy(exact.get(), image.data(), length);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    Outcome o;
    o.verdict = ReportImageSignature(length ? exact.get() : nullptr, std::uint32_t(length), out, err);
    o.out = ReadBack(out);
    o.err = ReadBack(err);
    return o;
}

Bytes FixtureImage(std::size_t index) { return signedimage::FixtureImage(fixtures::kSignedImages[index]); }

const Layout kDefault;
const std::uint32_t kSigEntry = kDefault.directory + 16 + 2 * 16;  // third entry of the plain layout
const std::uint32_t kKeyEntry = kDefault.directory + 16 + 16;

}  // namespace

// The images the fixture script signed with openssl: the builder must give
// the same message, and the check must pass.
TEST(RomSignature, OpensslSignedFixtureImagesPass) {
    for (std::size_t i = 0; i < std::size(fixtures::kSignedImages); ++i) {
        const auto& v = fixtures::kSignedImages[i];
        SCOPED_TRACE(i);
        Bytes image = FixtureImage(i);
        Bytes message = Message(image, FixtureLayout(v));
        std::uint8_t digest[32];
        // Same bytes as the script built: the digest openssl took matches.
        ASSERT_EQ(Sha256Digest(message.data(), std::uint32_t(message.size()), digest, 32), CRYPTO_OK);
        ASSERT_EQ(FromHex(v.messageDigest), Bytes(digest, digest + 32));
        if (v.altEntry) continue;  // the alternate-key image has its own test
        Outcome o = Check(image);
        EXPECT_EQ(o.verdict, SignatureVerdict::Pass);
        EXPECT_EQ(o.out, kPass);
        EXPECT_EQ(o.err, v.pcirLength == 0x40 ? "" : kPcirWarning);
        EXPECT_EQ(CheckImageSignature(image.data(), std::uint32_t(image.size())), SignatureCheck::Pass);
    }
}

TEST(RomSignature, EachTamperingFails) {
    struct Case {
        const char* what;
        void (*change)(Bytes&);
    };
    const Case cases[] = {
        {"byte in the legacy image", [](Bytes& b) { b[0x4000] ^= 1; }},
        {"last byte of the legacy image", [](Bytes& b) { b[0x7FFF] ^= 0x80; }},
        {"uninterpreted directory byte", [](Bytes& b) { b[0x40C] ^= 1; }},
        {"modulus byte", [](Bytes& b) { b[0x1140 + 17] ^= 4; }},
        {"exponent", [](Bytes& b) { b[0x1040] ^= 2; }},
        {"signature byte", [](Bytes& b) { b[0x8100 + 77] ^= 1; }},
        {"signature stored most significant byte first",
         [](Bytes& b) { std::reverse(b.begin() + 0x8100, b.begin() + 0x8200); }},
        {"signature first word zero", [](Bytes& b) { Put32(b, 0x8100, 0); }},
        {"signature entry size zero", [](Bytes& b) { Put32(b, kSigEntry + 4, 0); }},
        {"signed-size entry missing", [](Bytes& b) { Put32(b, kDefault.directory + 16, 0x77); }},
        {"no key entry", [](Bytes& b) { Put32(b, kKeyEntry, 0x77); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes image = FixtureImage(0);
        c.change(image);
        Outcome o = Check(image);
        EXPECT_EQ(o.verdict, SignatureVerdict::Fail);
        EXPECT_EQ(o.out, kFailed);
        EXPECT_FALSE(SignatureVerdictPassed(o.verdict));
    }
}

TEST(RomSignature, BytesOutsideTheSignedRangeMayChange) {
    Bytes image = FixtureImage(0);
    image[0x8000] ^= 0xFF;
    image[0x9000] = 0;
    image.back() = 0;
    EXPECT_EQ(Check(image).out, kPass);
    // The signature is read from the image as far as it goes.
    EXPECT_EQ(Check(image, 0x8200).out, kPass);
    EXPECT_EQ(Check(image, 0x81FF).out, kFailed);
}

TEST(RomSignature, DeviceIdsDecideWhetherASignatureIsNeeded) {
    struct IdCase {
        std::uint16_t id;
        bool signedRange;
    };
    const IdCase ids[] = {{0x6860, true},  {0x687F, true},  {0x685F, false}, {0x6880, false}, {0x69A0, true},
                          {0x66BF, true},  {0x7310, true},  {0x7320, false}, {0x7330, true},  {0x7331, false},
                          {0x7345, true},  {0x7346, false}, {0x7347, true},  {0x67DF, true},  {0x67DE, false},
                          {0x7365, true},  {0x7366, false}, {0x7367, true},  {0x739F, true},  {0x73A0, false},
                          {0x0000, false}, {0xFFFF, false}};
    for (const IdCase& c : ids) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(IsSignedDeviceId(c.id), c.signedRange);
        Bytes image = FixtureImage(0);
        Put16(image, kDefault.pcir + 6, c.id);
        // Outside the ranges any content passes; inside, the changed PCIR
        // breaks the signature (unless it is the signed ID).
        Outcome o = Check(image);
        if (!c.signedRange) {
            EXPECT_EQ(o.out, kOlderAsic);
        } else {
            EXPECT_EQ(o.out, c.id == 0x7310 ? kPass : kFailed);
        }
    }
    const std::string text = "just a text file\n";
    EXPECT_EQ(Check(Bytes(text.begin(), text.end())).out, kOlderAsic);
    EXPECT_EQ(Check(Bytes()).verdict, SignatureVerdict::OlderAsic);
}

TEST(RomSignature, NoDirectoryPasses) {
    Bytes image = FixtureImage(0);
    image[kDefault.header + 2] = 1;
    Outcome o = Check(image);
    EXPECT_EQ(o.out, kDirTbl);
    EXPECT_EQ(o.verdict, SignatureVerdict::NoDirectory);
    EXPECT_TRUE(SignatureVerdictPassed(o.verdict));
    EXPECT_EQ(CheckImageSignature(image.data(), std::uint32_t(image.size())), SignatureCheck::NoDirectory);
    image = FixtureImage(0);
    Put32(image, kDefault.header + 0x24, 0);
    EXPECT_EQ(Check(image).out, kDirTbl);
}

TEST(RomSignature, SizeWarnings) {
    // Signed-size entry 512 bytes longer than byte 2 says.
    Bytes image = FixtureImage(0);
    Put32(image, kDefault.directory + 16 + 4, 0x8200);
    Outcome o = Check(image);
    EXPECT_EQ(o.err, kDirectoryWarning);
    EXPECT_EQ(o.out, kFailed);
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(GetSignedImageSize(image.data(), std::uint32_t(image.size()), err), 0u);
    EXPECT_EQ(ReadBack(err), kDirectoryWarning);
    // The PCIR disagrees but the directory agrees with byte 2: only the
    // first warning, and the check goes on (fixture 2 is signed so).
    o = Check(FixtureImage(2));
    EXPECT_EQ(o.err, kPcirWarning);
    EXPECT_EQ(o.out, kPass);
    // Both disagree.
    image = FixtureImage(2);
    Put32(image, kDefault.directory + 16 + 4, 0x7E00);
    o = Check(image);
    EXPECT_EQ(o.err, std::string(kPcirWarning) + kDirectoryWarning);
    EXPECT_EQ(o.out, kFailed);
}

TEST(RomSignature, AlternateKeyIsPreferredWhenItsFirstWordIsSet) {
    const auto& v = fixtures::kSignedImages[3];
    ASSERT_TRUE(v.altEntry);
    // As signed, the type-0x38 entry points at 0xFF bytes: that key is used and fails.
    EXPECT_EQ(Check(FixtureImage(3)).out, kFailed);
    Bytes image = FixtureImage(3);
    Put32(image, 0x9000, 0);  // first word 0: back to the type-3 key
    EXPECT_EQ(Check(image).out, kPass);
    image = FixtureImage(3);
    PutKey(image, 0x9000, v.exponent, FromHex(v.modulus));
    EXPECT_EQ(Check(image).out, kPass);
    // A different key behind the 0x38 entry is the one taken.
    PutKey(image, 0x9000, v.exponent, FromHex(fixtures::kSignedImages[1].modulus));
    EXPECT_EQ(Check(image).out, kFailed);
    // The 0x38 key's first word lies past the end of the image.
    image = FixtureImage(3);
    Put32(image, kDefault.directory + 16 + 16 + 8, std::uint32_t(image.size()) - 2);
    EXPECT_EQ(Check(image).out, kFailed);
}

// Offsets and counts that point outside the image: FAILED (or no check at
// all), never a read past the buffer.
TEST(RomSignature, HostileOffsets) {
    const std::uint32_t len = kDefault.fileSize;
    struct Case {
        const char* what;
        std::uint32_t at;
        std::uint32_t value;
        bool is16;
    };
    const Case cases[] = {
        {"signature near the end", kSigEntry + 8, len - 10, false},
        {"signature at the very end", kSigEntry + 8, len - 256, false},
        {"signature offset huge", kSigEntry + 8, 0xFFFFFFF0, false},
        {"signature offset zero", kSigEntry + 8, 0, false},
        {"key offset huge", kKeyEntry + 8, 0xFFFFFFF0, false},
        {"key near the end", kKeyEntry + 8, len - 0x23F, false},
        {"key at the end", kKeyEntry + 8, len, false},
        {"directory offset huge", kDefault.header + 0x24, 0xFFFFFFF0, false},
        {"directory head past the end", kDefault.header + 0x24, len - 8, false},
        {"directory entries past the end", kDefault.header + 0x24, len - 16, false},
        {"entry count huge", kDefault.directory + 8, 0x10000000, false},
        {"entry count all ones", kDefault.directory + 8, 0xFFFFFFFF, false},
        {"entry count zero", kDefault.directory + 8, 0, false},
        {"header offset at the top", 0x48, 0xFFFF, true},
        {"PCIR offset at the top", 0x18, 0xFFFF, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes image = FixtureImage(0);
        if (c.is16) Put16(image, c.at, c.value);
        else Put32(image, c.at, c.value);
        Outcome o = Check(image);
        EXPECT_NE(o.verdict, SignatureVerdict::Pass);
        if (std::string(c.what).rfind("PCIR", 0) != 0) {
            EXPECT_EQ(o.out, kFailed);
        }
    }
    // A signed size beyond the image.
    Bytes image = FixtureImage(0);
    image[2] = 0xFF;
    Put16(image, kDefault.pcir + 0x10, 0xFF);
    Put32(image, kDefault.directory + 16 + 4, 0xFF * 512);
    EXPECT_EQ(Check(image).out, kFailed);
}

TEST(RomSignature, EveryTruncationIsSafe) {
    const Bytes image = FixtureImage(0);
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 0x1300; ++n) lengths.push_back(n);
    for (std::size_t n : {0x7FFFu, 0x8000u, 0x8001u, 0x80FFu, 0x8100u, 0x8104u, 0x81FFu}) lengths.push_back(n);
    for (std::size_t n : lengths) {
        Outcome o = Check(image, n);
        ASSERT_EQ(o.verdict, n < 0x1C8 ? SignatureVerdict::OlderAsic : SignatureVerdict::Fail) << n;
    }
}

TEST(RomDirectoryLookup, EntriesAndTheSearchLimit) {
    // A directory of 300 entries at 0x100 in a plain buffer.
    Bytes b(0x4000, 0);
    b[0] = 0x55;
    b[1] = 0xAA;
    b[2] = 0x20;
    Put16(b, 0x48, 0x80);
    b[0x82] = 2;
    Put32(b, 0x80 + 0x24, 0x100);
    Put32(b, 0x108, 300);
    for (std::uint32_t i = 0; i < 300; ++i) {
        Put32(b, 0x110 + 16 * i, 0x70 + i % 4);
        Put32(b, 0x110 + 16 * i + 4, i == 1 ? 0 : 0x10);
        Put32(b, 0x110 + 16 * i + 8, 0x3000 + i);
    }
    Put32(b, 0x110 + 16 * 254, 5);  // the 255th entry is reachable
    Put32(b, 0x110 + 16 * 255, 4);  // the 256th is not
    const std::uint32_t n = std::uint32_t(b.size());
    EXPECT_EQ(FindRomDirectory(b.data(), n), b.data() + 0x100);
    EXPECT_EQ(FindRomDirectoryEntry(b.data(), n, 5), b.data() + 0x110 + 16 * 254);
    EXPECT_EQ(FindRomDirectoryEntry(b.data(), n, 4), nullptr);
    EXPECT_EQ(GetRomDirectoryEntryData(b.data(), n, 5), b.data() + 0x3000 + 254);
    // Size 0 counts for the entry search, not for the data lookup.
    EXPECT_EQ(FindRomDirectoryEntry(b.data(), n, 0x71), b.data() + 0x110 + 16);
    EXPECT_EQ(GetRomDirectoryEntryData(b.data(), n, 0x71), b.data() + 0x3000 + 5);
    RomDirectoryEntry e = ReadRomDirectoryEntry(FindRomDirectoryEntry(b.data(), n, 0x71));
    EXPECT_EQ(e.type, 0x71u);
    EXPECT_EQ(e.size, 0u);
    EXPECT_EQ(e.offset, 0x3001u);
    // Data offsets past the end give no pointer.
    Put32(b, 0x110 + 16 * 254 + 8, n);
    EXPECT_EQ(GetRomDirectoryEntryData(b.data(), n, 5), nullptr);
    // Entries cut off by the end of the buffer are not searched.
    EXPECT_EQ(FindRomDirectoryEntry(b.data(), 0x110 + 16 * 254 + 15, 5), nullptr);
    // Revision 1: no directory.
    b[0x82] = 1;
    EXPECT_EQ(FindRomDirectory(b.data(), n), nullptr);
    EXPECT_EQ(LocateRomDirectory(b.data(), n, nullptr), RomDirectoryPresence::None);
}

TEST(RomDirectoryLookup, BuiltinKeyIsAnAllZeroPlaceholder) {
    const std::uint8_t *modulus = nullptr, *exponent = nullptr;
    std::uint32_t modulusLength = 0, exponentLength = 0;
    GetBuiltinPublicKey(&modulus, &modulusLength, &exponent, &exponentLength);
    ASSERT_NE(modulus, nullptr);
    ASSERT_NE(exponent, nullptr);
    EXPECT_EQ(modulusLength, 256u);
    EXPECT_EQ(exponentLength, 4u);
    EXPECT_EQ(std::count(modulus, modulus + 256, 0), 256);
    EXPECT_EQ(std::count(exponent, exponent + 4, 0), 4);
}

// Images signed at test time with fresh keys from the openssl command.
class FreshSignature : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!openssltool::Available()) return;
        dir_ = new openssltool::ScratchDir();
        for (unsigned long e : {65537ul, 3ul}) {
            std::string file = dir_->File("key" + std::to_string(e) + ".pem");
            if (openssltool::NewKey(file, 2048, e)) keys_.push_back({file, openssltool::Modulus(file), std::uint32_t(e)});
        }
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
        keys_.clear();
    }
    void SetUp() override {
        if (!openssltool::Available()) GTEST_SKIP() << "openssl command not installed";
        ASSERT_EQ(keys_.size(), 2u);
    }

    struct Key {
        std::string file;
        Bytes modulus;
        std::uint32_t exponent;
    };

    // Builds the layout with the key and signs it with openssl.
    static Bytes Signed(Layout l, const Key& key, const std::string& salt) {
        l.exponent = key.exponent;
        Bytes image = Build(l, key.modulus);
        std::string msgFile = dir_->File("message.bin");
        EXPECT_TRUE(openssltool::WriteAll(msgFile, Message(image, l)));
        Bytes sig = openssltool::SignPss(key.file, salt, msgFile);
        EXPECT_EQ(sig.size(), 256u);
        if (sig.size() == 256) PutSignature(image, l.signature, sig);
        return image;
    }

    static openssltool::ScratchDir* dir_;
    static std::vector<Key> keys_;
};

openssltool::ScratchDir* FreshSignature::dir_ = nullptr;
std::vector<FreshSignature::Key> FreshSignature::keys_;

TEST_F(FreshSignature, VariedLayoutsAndSaltsPass) {
    std::mt19937 rng(std::random_device{}());
    struct Variant {
        const char* what;
        void (*apply)(Layout&);
    };
    const Variant variants[] = {
        {"default", [](Layout&) {}},
        {"key type 0x38", [](Layout& l) { l.keyType = 0x38; }},
        {"directory late, key after the signed part", [](Layout& l) { l.directory = 0x7000; l.key = 0x9800; }},
        {"odd offsets", [](Layout& l) { l.directory = 0x1333; l.key = 0x2001; l.signature = 0x10001; }},
        {"device 0x67DF", [](Layout& l) { l.deviceId = 0x67DF; }},
        {"64 KiB legacy image in 1 MiB", [](Layout& l) {
             l.fileSize = 0x100000; l.signedSize = 0x10000; l.pcirLength = 0x80; l.signature = 0xFFF00; }},
    };
    const char* salts[] = {"0", "32", "max", "auto"};
    for (const Variant& v : variants) {
        for (const Key& key : keys_) {
            SCOPED_TRACE(std::string(v.what) + ", e=" + std::to_string(key.exponent));
            Layout l;
            v.apply(l);
            Bytes image = Signed(l, key, salts[rng() % 4]);
            EXPECT_EQ(Check(image).out, kPass);
            image[rng() % l.signedSize] ^= std::uint8_t(1u << (rng() % 8));
            Outcome o = Check(image);
            // A flip in the PCIR device ID may move the image out of the ranges.
            if (o.verdict != SignatureVerdict::OlderAsic && o.verdict != SignatureVerdict::NoDirectory) {
                EXPECT_EQ(o.out, kFailed);
            }
        }
    }
}

TEST_F(FreshSignature, DirectoryMustEndInsideTheSignedImage) {
    Layout l;
    l.directory = l.signedSize - l.DirectoryLength();  // ends exactly at the end
    EXPECT_EQ(Check(Signed(l, keys_[0], "32")).out, kFailed);
    l.directory -= 1;
    EXPECT_EQ(Check(Signed(l, keys_[0], "32")).out, kPass);
}

TEST_F(FreshSignature, SignedImageWithoutKeyFails) {
    Layout l;
    l.keyType = 0x77;
    EXPECT_EQ(Check(Signed(l, keys_[0], "32")).out, kFailed);
    l.keyType = 3;
    EXPECT_EQ(Check(Signed(l, keys_[0], "32")).out, kPass);
}
