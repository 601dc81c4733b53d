#include "commands/RomDirectory.h"

#include <cstdarg>
#include <cstring>

#include "commands/RomImage.h"
#include "crypto/RsaPss.h"
#include "crypto/Sha256.h"
#include "platform/Bytes.h"

const DeviceIdRange SignedDeviceIdRanges[11] = {
    {0x6860, 0x687F}, {0x69A0, 0x69BF}, {0x66A0, 0x66BF}, {0x7310, 0x731F}, {0x7330, 0x7330}, {0x7340, 0x7345},
    {0x7347, 0x734F}, {0x67DF, 0x67DF}, {0x7360, 0x7365}, {0x7367, 0x736F}, {0x7380, 0x739F},
};

namespace {

constexpr std::uint32_t kDirectoryCount = 8;
constexpr std::uint32_t kKeyDataSize = kRomKeyModulusOffset + kRomKeyModulusSize;  // 0x240

const char kPcirSizeWarning[] =
    "Legacy Bios size from offset 2 is different than the one from Pci header. "
    "We follow the Bios size from offset 2.\n";
const char kDirectorySizeWarning[] = "Legacy Bios size from offset 2 is different than the one from XRQ!!!\n";

const char kVerdictOlderAsic[] = "The result of RSA signature verify is PASS. Older ASIC.";
const char kVerdictNoDirectory[] = "The result of RSA signature verify is Passed(DirTbl). ";
const char kVerdictPass[] = "The result of RSA signature verify is PASS.";
const char kVerdictFailed[] = "The result of RSA signature verify is FAILED.";

// Placeholder: the real key belongs to the deployment. All zero, so it
// could verify nothing even if something used it.
const std::uint8_t kBuiltinModulus[kRomKeyModulusSize] = {};
const std::uint8_t kBuiltinExponent[kRomKeyExponentSize] = {};

// True when [offset, offset + size) lies inside the image; 64-bit so that
// nothing wraps.
bool Inside(std::uint64_t offset, std::uint64_t size, std::uint32_t length) {
    return offset <= length && size <= length - offset;
}

std::uint16_t U16(const std::uint8_t* p) { return ReadLe16(p); }

std::uint32_t U32(const std::uint8_t* p) { return ReadLe32(p); }

// The record of the first entry of the type (with withData, the first
// whose size is nonzero) among the searched entries, or null. The walk
// ends at the first entry the image does not hold.
const std::uint8_t* FindEntry(const std::uint8_t* image, std::uint32_t length, std::uint32_t type, bool withData) {
    std::uint32_t d = 0;
    if (LocateRomDirectory(image, length, &d) != RomDirectoryPresence::Inside) return nullptr;
    const std::uint32_t count = U32(image + d + kDirectoryCount);
    for (std::uint32_t i = 0; i < count && i < kRomDirectorySearchLimit; ++i) {
        std::uint64_t at = std::uint64_t(d) + kRomDirectoryHeaderSize + std::uint64_t(i) * kRomDirectoryEntrySize;
        if (!Inside(at, kRomDirectoryEntrySize, length)) return nullptr;
        const RomDirectoryEntry e = ReadRomDirectoryEntry(image + at);
        if (e.type == type && (!withData || e.size != 0)) return image + at;
    }
    return nullptr;
}

// Data offset of the first entry of the type with a nonzero size.
bool FindEntryData(const std::uint8_t* image, std::uint32_t length, std::uint32_t type, std::uint32_t* offset) {
    const std::uint8_t* entry = FindEntry(image, length, type, true);
    if (!entry) return false;
    *offset = ReadRomDirectoryEntry(entry).offset;
    return true;
}

}  // namespace

bool IsSignedDeviceId(std::uint32_t deviceId) {
    for (const DeviceIdRange& r : SignedDeviceIdRanges) {
        if (deviceId >= r.first && deviceId <= r.last) return true;
    }
    return false;
}

RomDirectoryPresence LocateRomDirectory(const std::uint8_t* image, std::uint32_t length,
                                        std::uint32_t* directoryOffset) {
    if (!image || !Inside(PciExpansionRomHeader::kVelkHeaderOffset, 2, length)) return RomDirectoryPresence::Outside;
    const std::uint32_t header = U16(image + PciExpansionRomHeader::kVelkHeaderOffset);
    if (!Inside(header + VelkRomHeader::kRevision, 1, length)) return RomDirectoryPresence::Outside;
    if (image[header + VelkRomHeader::kRevision] <= 1) return RomDirectoryPresence::None;
    if (!Inside(header + VelkRomHeader::kRomDirectory, 4, length)) return RomDirectoryPresence::Outside;
    const std::uint32_t d = U32(image + header + VelkRomHeader::kRomDirectory);
    if (d == 0) return RomDirectoryPresence::None;
    if (!Inside(d, kRomDirectoryHeaderSize, length)) return RomDirectoryPresence::Outside;
    if (directoryOffset) *directoryOffset = d;
    return RomDirectoryPresence::Inside;
}

const std::uint8_t* FindRomDirectory(const std::uint8_t* image, std::uint32_t length) {
    std::uint32_t d = 0;
    if (LocateRomDirectory(image, length, &d) != RomDirectoryPresence::Inside) return nullptr;
    return image + d;
}

const std::uint8_t* FindRomDirectoryEntry(const std::uint8_t* image, std::uint32_t length, std::uint32_t type) {
    return FindEntry(image, length, type, false);
}

RomDirectoryEntry ReadRomDirectoryEntry(const std::uint8_t* entry) {
    return RomDirectoryEntry{U32(entry), U32(entry + 4), U32(entry + 8), U32(entry + 12)};
}

const std::uint8_t* GetRomDirectoryEntryData(const std::uint8_t* image, std::uint32_t length, std::uint32_t type) {
    std::uint32_t offset = 0;
    if (!FindEntryData(image, length, type, &offset) || offset >= length) return nullptr;
    return image + offset;
}

std::uint32_t GetSignedImageSize(const std::uint8_t* image, std::uint32_t length, std::FILE* warnings) {
    if (!image || length < PciExpansionRomHeader::kPcirOffset + 2) return 0;
    const std::uint32_t sizeUnits = image[2];
    const std::uint32_t size = sizeUnits * 512;
    const std::uint32_t pcir = U16(image + PciExpansionRomHeader::kPcirOffset);
    if (!Inside(pcir + PcirStructure::kImageLength, 2, length)) return 0;
    if (U16(image + pcir + PcirStructure::kImageLength) != sizeUnits && warnings)
        std::fputs(kPcirSizeWarning, warnings);
    const std::uint8_t* entry = FindRomDirectoryEntry(image, length, ROMDIR_SIGNED_IMAGE);
    if (!entry) return 0;
    if (ReadRomDirectoryEntry(entry).size != size) {
        if (warnings) std::fputs(kDirectorySizeWarning, warnings);
        return 0;
    }
    return size <= length ? size : 0;
}

SignatureCheck CheckImageSignature(const std::uint8_t* image, std::uint32_t length, std::FILE* warnings) {
    std::uint32_t d = 0;
    switch (LocateRomDirectory(image, length, &d)) {
    case RomDirectoryPresence::None: return SignatureCheck::NoDirectory;
    case RomDirectoryPresence::Outside: return SignatureCheck::Fail;
    case RomDirectoryPresence::Inside: break;
    }

    const std::uint32_t n = GetSignedImageSize(image, length, warnings);
    if (n == 0) return SignatureCheck::Fail;

    // The message is the signed legacy image followed by the directory; the
    // directory must end strictly inside the signed part.
    const std::uint64_t dirLength =
        kRomDirectoryHeaderSize + std::uint64_t(U32(image + d + kDirectoryCount)) * kRomDirectoryEntrySize;
    if (!(d + dirLength < n)) return SignatureCheck::Fail;

    std::uint32_t sigOffset = 0;
    if (!FindEntryData(image, length, ROMDIR_SIGNATURE, &sigOffset)) return SignatureCheck::Fail;
    if (sigOffset == 0 || !Inside(sigOffset, kRomSignatureSize, length)) return SignatureCheck::Fail;
    if (U32(image + sigOffset) == 0) return SignatureCheck::Fail;

    std::uint8_t mHash[kSha256DigestSize];
    Sha256Context sha;
    if (Sha256Init(&sha) != CRYPTO_OK || Sha256Update(&sha, image, n) != CRYPTO_OK ||
        Sha256Update(&sha, image + d, std::uint32_t(dirLength)) != CRYPTO_OK ||
        Sha256Final(&sha, mHash, sizeof mHash) != CRYPTO_OK) {
        return SignatureCheck::Fail;
    }

    // Stored least significant byte first; the verification wants it the other way.
    std::uint8_t signature[kRomSignatureSize];
    for (std::uint32_t i = 0; i < kRomSignatureSize; ++i) signature[i] = image[sigOffset + kRomSignatureSize - 1 - i];

    std::uint32_t keyOffset = 0;
    bool haveKey = false;
    if (FindEntryData(image, length, ROMDIR_PUBLIC_KEY_ALT, &keyOffset)) {
        if (!Inside(keyOffset, 4, length)) return SignatureCheck::Fail;
        haveKey = U32(image + keyOffset) != 0;
    }
    if (!haveKey) haveKey = FindEntryData(image, length, ROMDIR_PUBLIC_KEY, &keyOffset);
    if (!haveKey || !Inside(keyOffset, kKeyDataSize, length)) return SignatureCheck::Fail;

    CryptoError err = RsaPssVerifySha256(mHash, kSha256DigestSize, image + keyOffset + kRomKeyModulusOffset,
                                         kRomKeyModulusSize, image + keyOffset + kRomKeyExponentOffset,
                                         kRomKeyExponentSize, signature);
    return err == CRYPTO_OK ? SignatureCheck::Pass : SignatureCheck::Fail;
}

const char* SignatureVerdictLine(SignatureVerdict verdict) {
    switch (verdict) {
    case SignatureVerdict::OlderAsic: return kVerdictOlderAsic;
    case SignatureVerdict::NoDirectory: return kVerdictNoDirectory;
    case SignatureVerdict::Pass: return kVerdictPass;
    case SignatureVerdict::Fail: break;
    }
    return kVerdictFailed;
}

SignatureVerdict ReportImageSignature(const std::uint8_t* image, std::uint32_t length, std::FILE* out,
                                      std::FILE* warnings) {
    SignatureVerdict verdict = SignatureVerdict::OlderAsic;
    if (IsSignedDeviceId(RomImage::GetDeviceId(image, length))) {
        switch (CheckImageSignature(image, length, warnings)) {
        case SignatureCheck::NoDirectory: verdict = SignatureVerdict::NoDirectory; break;
        case SignatureCheck::Pass: verdict = SignatureVerdict::Pass; break;
        case SignatureCheck::Fail: verdict = SignatureVerdict::Fail; break;
        }
    }
    if (out) {
        std::fputs(SignatureVerdictLine(verdict), out);
        std::fputc('\n', out);
        std::fflush(out);
    }
    return verdict;
}

void GetBuiltinPublicKey(const std::uint8_t** modulus, std::uint32_t* modulusLength, const std::uint8_t** exponent,
                         std::uint32_t* exponentLength) {
    if (modulus) *modulus = kBuiltinModulus;
    if (modulusLength) *modulusLength = sizeof kBuiltinModulus;
    if (exponent) *exponent = kBuiltinExponent;
    if (exponentLength) *exponentLength = sizeof kBuiltinExponent;
}

void PrintMessage(const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    std::fputs(buffer, stdout);
    std::fflush(stdout);
}
