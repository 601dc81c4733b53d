// ROM directory of the legacy image (signed size, public key, signature) and
// the RSA signature check built on it. Every function takes the image and
// its length and never reads outside [image, image + length).
#pragma once

#include <cstdint>
#include <cstdio>

enum RomDirectoryEntryType : std::uint32_t {
    ROMDIR_PUBLIC_KEY = 3,
    ROMDIR_SIGNED_IMAGE = 4,
    ROMDIR_SIGNATURE = 5,
    ROMDIR_PUBLIC_KEY_ALT = 0x38,
};

// Directory layout (little-endian): 8 bytes, u32 entry count, 4 bytes, then
// the 16-byte entries.
constexpr std::uint32_t kRomDirectoryHeaderSize = 16;
constexpr std::uint32_t kRomDirectoryEntrySize = 16;
// Entries are searched with an 8-bit counter.
constexpr std::uint32_t kRomDirectorySearchLimit = 255;

// Public-key data: exponent (4 bytes) at +0x40, modulus (256 bytes) at
// +0x140, both least significant byte first.
constexpr std::uint32_t kRomKeyExponentOffset = 0x40;
constexpr std::uint32_t kRomKeyModulusOffset = 0x140;
constexpr std::uint32_t kRomKeyExponentSize = 4;
constexpr std::uint32_t kRomKeyModulusSize = 256;
constexpr std::uint32_t kRomSignatureSize = 256;

// One directory entry, decoded.
struct RomDirectoryEntry {
    std::uint32_t type;
    std::uint32_t size;    // 0: absent for data lookups
    std::uint32_t offset;  // of the data, from the start of the image
    std::uint32_t reserved;
};

struct DeviceIdRange {
    std::uint32_t first;
    std::uint32_t last;
};

// Device IDs whose images must carry a valid signature (inclusive ranges).
extern const DeviceIdRange SignedDeviceIdRanges[11];
bool IsSignedDeviceId(std::uint32_t deviceId);


// What the image header says about a directory: none (format revision 1 or
// less, or directory offset 0), one inside the image, or one the image
// cannot hold (header or directory head outside the image).
enum class RomDirectoryPresence { None, Inside, Outside };
RomDirectoryPresence LocateRomDirectory(const std::uint8_t* image, std::uint32_t length,
                                        std::uint32_t* directoryOffset);

// The directory, or null when there is none or it is not inside the image.
const std::uint8_t* FindRomDirectory(const std::uint8_t* image, std::uint32_t length);
// The 16-byte record of the first entry of the type (size 0 allowed), or
// null. Searches the first 255 entries, and only those inside the image.
const std::uint8_t* FindRomDirectoryEntry(const std::uint8_t* image, std::uint32_t length, std::uint32_t type);
RomDirectoryEntry ReadRomDirectoryEntry(const std::uint8_t* entry);
// image + data offset of the first entry of the type whose size is nonzero;
// null when there is none or the offset lies outside the image.
const std::uint8_t* GetRomDirectoryEntryData(const std::uint8_t* image, std::uint32_t length, std::uint32_t type);

// Signed legacy image size in bytes, or 0 when it cannot be trusted (also
// when it exceeds the image). Size mismatches are reported on `warnings`
// (null: not reported).
std::uint32_t GetSignedImageSize(const std::uint8_t* image, std::uint32_t length, std::FILE* warnings = stderr);

// The signature check itself, printing nothing but the size warnings.
enum class SignatureCheck { NoDirectory, Pass, Fail };
SignatureCheck CheckImageSignature(const std::uint8_t* image, std::uint32_t length,
                                   std::FILE* warnings = stderr);

// The check of "-rsa": decides by device ID, prints one verdict line on
// `out` and returns the verdict. Everything but Fail counts as a pass.
enum class SignatureVerdict { OlderAsic, NoDirectory, Pass, Fail };
SignatureVerdict ReportImageSignature(const std::uint8_t* image, std::uint32_t length, std::FILE* out = stdout,
                                      std::FILE* warnings = stderr);
inline bool SignatureVerdictPassed(SignatureVerdict verdict) {
    return verdict != SignatureVerdict::Fail;
}
// The verdict's line, without the line end.
const char* SignatureVerdictLine(SignatureVerdict verdict);

// The program's own public key. Nothing uses it: the check takes its key
// from the image.
void GetBuiltinPublicKey(const std::uint8_t** modulus, std::uint32_t* modulusLength, const std::uint8_t** exponent,
                         std::uint32_t* exponentLength);

// Formats into a 256-byte buffer, writes it to standard output and flushes.
void PrintMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
