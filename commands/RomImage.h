// ROM image model: the layout of the PCI expansion-ROM images a video-BIOS
// ROM or image file holds, and the accessors that read IDs and strings out
// of the first (legacy) image. Everything here works on a byte buffer plus
// the number of valid bytes in it; no accessor reads past that length, and
// every copy stops at the size of its output field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/RomBuffer.h"

// Byte offsets of the start of every image.
struct PciExpansionRomHeader {
    static constexpr std::uint32_t kSignature = 0x00;          // 0x55 0xAA
    static constexpr std::uint32_t kSize512 = 0x02;            // byte (legacy) or u16 (EFI)
    static constexpr std::uint32_t kEfiMark = 0x04;            // u16 0x0EF1 on EFI images
    static constexpr std::uint32_t kPcirOffset = 0x18;         // u16
    static constexpr std::uint32_t kChecksum = 0x21;           // byte
    static constexpr std::uint32_t kVelkHeaderOffset = 0x48;   // u16
    static constexpr std::uint32_t kBiosDate = 0x50;           // text
    static constexpr std::uint32_t kPartNumberOffset = 0x6E;   // u16, 0 = at kDefaultPartNumber
    static constexpr std::uint32_t kIdAreaStart = 0x74;        // subsystem-ID candidates ...
    static constexpr std::uint32_t kIdAreaEnd = 0x83;          // ... up to here, inclusive
    static constexpr std::uint32_t kDefaultPartNumber = 0x80;  // text
    static constexpr std::uint32_t kPlainProductName = 0x82;   // text of a non-VELK image
    static constexpr std::uint32_t kDefaultStringArea = 0x94;  // 148
    static constexpr std::uint32_t kStrapByte = 0xAD;
    static constexpr std::uint16_t kEfiMarkValue = 0x0EF1;
};

// Offsets inside the PCI data structure.
struct PcirStructure {
    static constexpr std::uint32_t kDeviceId = 0x06;     // u16
    static constexpr std::uint32_t kImageLength = 0x10;  // u16, 512-byte units
};

// Offsets inside the maker's BIOS header (located by the word at 0x48).
struct VelkRomHeader {
    static constexpr std::uint32_t kRevision = 0x02;         // byte, > 1 with a ROM directory
    static constexpr std::uint32_t kSignature = 0x04;        // "VELK"
    static constexpr std::uint32_t kCrcOffset = 0x0E;        // u16 image offset of the u32 CRC
    static constexpr std::uint32_t kSvid = 0x18;             // u16, VELK headers
    static constexpr std::uint32_t kSsid = 0x1A;             // u16, VELK headers
    static constexpr std::uint32_t kPlainSvid = 0x1C;        // u16, headers without the signature
    static constexpr std::uint32_t kPlainSsid = 0x1E;        // u16, headers without the signature
    static constexpr std::uint32_t kMasterDataTable = 0x20;  // u16 image offset
    static constexpr std::uint32_t kRomDirectory = 0x24;     // u32 image offset, 0 = none
    static constexpr std::uint32_t kMemSetting = 0x48;       // u16 image offset of the memory-setting word
};

// Size of every string field filled from an image (adapter-table columns,
// FileImageInfo), terminator included.
constexpr std::size_t kRomStringSize = 64;
// Longest part number and date kept after the callers' cut.
constexpr std::uint32_t kPartNumberMaxChars = 17;
constexpr std::uint32_t kBiosDateMaxChars = 16;

enum ImageType : std::int32_t {
    IMAGE_LEGACY = 0,
    IMAGE_EFI = 1,
};

// One image of a ROM's image chain.
struct RomImageEntry {
    std::int32_t imageType = IMAGE_LEGACY;
    std::int64_t size = 0;  // bytes
};

// IDs and strings of an image file.
struct FileImageInfo {
    std::uint32_t deviceId = 0;
    std::uint32_t ssid = 0;
    std::uint32_t svid = 0;
    char biosVersion[kRomStringSize] = {};
    char configFileName[kRomStringSize] = {};
    char biosDate[kRomStringSize] = {};
    char partNumber[kRomStringSize] = {};
    char productName[kRomStringSize] = {};
};

// What the header accessors learn about the image they were given; the
// command layer copies it into its new-header state. Left untouched when
// the buffer fails the image test.
struct ImageHeaderEffect {
    bool set = false;                // a header accessor ran on a valid image
    std::uint16_t headerOffset = 0;  // word at 0x48
    std::uint16_t isVelk = 0;        // the header carries "VELK"
    bool ssidSet = false;            // GetSubsystemId read a VELK SSID
    std::uint16_t ssid = 0;
};

// Identity record of a TEV_MIB EEPROM record area.
struct MibIdentity {
    bool found = false;
    std::uint16_t romSizeUnits = 0;  // 128-byte units
    char partNumber[kRomStringSize] = {};
};

// Stateless accessors. `image` points at the start of an image, `length`
// is the number of valid bytes there. Output strings are always
// NUL-terminated within their size.
class RomImage {
public:
    // 55 AA and a nonzero size byte.
    static bool IsImage(const std::uint8_t* image, std::size_t length);

    // Bounded little-endian reads; 0 when the field is not wholly inside.
    static std::uint16_t ReadU16(const std::uint8_t* image, std::size_t length, std::size_t offset);
    static std::uint32_t ReadU32(const std::uint8_t* image, std::size_t length, std::size_t offset);
    // Bounded little-endian store; nothing is written unless all 4 bytes fit.
    static void WriteU32(std::uint8_t* image, std::size_t length, std::size_t offset, std::uint32_t value);

    // A part smaller than what the program reads shows its own start again
    // past its end. True when rom[i] == rom[i - period] over [period, size).
    static bool Repeats(const std::uint8_t* rom, std::uint32_t size, std::uint32_t period);
    // The smallest power of two dividing size with which the ROM read
    // repeats itself: the size of the part behind it. `size` when it does
    // not repeat, or when it repeats a pattern shorter than `smallest`, the
    // smallest part there is (an erased part repeats every byte and tells
    // nothing).
    static std::uint32_t RepeatPeriod(const std::uint8_t* rom, std::uint32_t size, std::uint32_t smallest);
    // Copies the first `period` bytes over the rest of the size bytes.
    static void RepeatFirst(std::uint8_t* rom, std::uint32_t size, std::uint32_t period);

    // Header offset and signature of a valid image (set = false otherwise).
    static ImageHeaderEffect ReadHeader(const std::uint8_t* image, std::size_t length);

    static std::uint16_t GetDeviceId(const std::uint8_t* image, std::size_t length);
    static std::uint16_t GetSubsystemId(const std::uint8_t* image, std::size_t length,
                                        ImageHeaderEffect* effect = nullptr);
    static std::uint16_t GetSubsystemVendorId(const std::uint8_t* image, std::size_t length,
                                              ImageHeaderEffect* effect = nullptr);

    // out must hold max + 1 bytes. Mode 0: normalised part number;
    // mode 1: raw length of the part-number line.
    static std::uint32_t GetPartNumber(const std::uint8_t* image, std::size_t length, char* out,
                                       std::uint32_t max, std::int16_t mode);
    static std::uint32_t GetBiosDate(const std::uint8_t* image, std::size_t length, char* out,
                                     std::size_t outSize);
    static std::uint32_t GetProductName(const std::uint8_t* image, std::size_t length, char* out,
                                        std::size_t outSize, ImageHeaderEffect* effect = nullptr);
    // configOut (may be null) can receive the configuration name found on
    // the version line of a non-VELK image.
    static std::uint32_t GetBiosVersion(const std::uint8_t* image, std::size_t length, char* out,
                                        std::size_t outSize, char* configOut, std::size_t configSize,
                                        ImageHeaderEffect* effect = nullptr);
    static std::uint32_t GetConfigFileName(const std::uint8_t* image, std::size_t length, char* out,
                                           std::size_t outSize, ImageHeaderEffect* effect = nullptr);

    // Clears info, then fills it. Returns 1.
    static int ParseFileImage(const std::uint8_t* image, std::size_t length, FileImageInfo& info,
                              ImageHeaderEffect* effect = nullptr);

    // Variable-length integers of the TEV_MIB record area. `available` is
    // the number of valid bytes at p; an encoding that needs more counts as
    // an overflow. *overflow is set (never cleared) on an overflow.
    static std::uint16_t DecodeVarLength(const std::uint8_t* p, std::size_t available, bool* overflow);
    static std::uint32_t VarLengthSize(const std::uint8_t* p, std::size_t available, bool* overflow);
    // Prints the overflow message on standard output.
    static void ReportLengthOverflow();

    // Walks the record area of a TEV_MIB EEPROM image up to the first
    // identity record. onOverflow runs once for every variable-length read
    // that overflows.
    static MibIdentity FindMibIdentity(const std::uint8_t* eeprom, std::size_t length,
                                       const std::function<void()>& onOverflow);
};

// Appends one entry per image of the chain in the first `length` bytes of
// buffer; the list is not cleared first.
void ParseImageChain(std::vector<RomImageEntry>& images, const std::uint8_t* buffer, std::uint64_t length);

// Output of "-biosfileinfo" for a parsed file: the seven detail lines, or
// the not-found line when the file has no part number (*found = false).
std::string FormatBiosFileInfo(const FileImageInfo& info, const char* fileName, bool* found);

enum class PartNumberMatch { NotFound, Equal, Different };

// Output of "-checkpn" once the ROM's and the file's part numbers are known.
std::string FormatCheckPn(const FileImageInfo& info, const char* fileName, const char* romPartNumber,
                          PartNumberMatch* match);
