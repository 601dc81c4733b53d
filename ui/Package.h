// Descriptor block that marks the executable as the plain tool or as a
// package carrying a payload of banner, command records and image data.
#pragma once

#include <cstdint>
#include <memory>

#pragma pack(push, 1)
struct PackageDescriptor {
    std::uint32_t magic1;
    std::uint32_t magic2;
    std::uint32_t bannerOffset;
    std::uint32_t checksummedLength;
    std::uint32_t checksum;
    std::uint32_t commandCount;
    std::uint32_t commandsOffset;
    std::uint32_t dataOffset;
    std::uint32_t dataLength;
    // Run-time only: argv[0] as main got it, for messages; the program's own
    // file is opened through the platform.
    const char* exePath;
};

// Header of one embedded command; argc NUL-terminated words follow it.
struct PackageCommandRecord {
    std::uint32_t argc;
    std::uint32_t dataOffset;   // inside the data area
    std::uint32_t dataLength;   // 0: the command reads its file from disk
};
#pragma pack(pop)
static_assert(sizeof(PackageDescriptor) == 44, "descriptor is stored in the executable as 44 bytes");
static_assert(sizeof(PackageCommandRecord) == 12, "records are packed");

// Size of one record header: argc, data offset, data length.
constexpr std::uint32_t kPackageRecordHeaderSize = sizeof(PackageCommandRecord);
constexpr std::uint32_t kPackageDescriptorSize = sizeof(PackageDescriptor);
// The plain tool's magic pair; a package holds 0/0. Enumerators have no
// storage, so no build (not even an unoptimised one) puts a second copy of
// the pair into read-only data, where the builder could find it first.
enum : std::uint32_t { kPackageMagic1 = 0xAE3725BFu, kPackageMagic2 = 0xD948C016u };
constexpr std::uint32_t kPackageFileMax = 0x200000;      // the whole package file
constexpr std::uint32_t kPackageRecordAreaSize = 4096;
constexpr std::uint32_t kPackageBannerMax = 127;         // characters
constexpr std::uint32_t kPackageWordMax = 31;            // characters of one record word
constexpr std::uint32_t kPackageMaxWords = 31;           // words of one record

// The program's own descriptor, in initialised writable data so it is part
// of the file and a package's patched copy is what the loader maps.
extern PackageDescriptor packageDescriptor;

// The live descriptor, read through volatile accesses: the compiler must not
// assume the initial (plain tool) values, which a package has replaced.
PackageDescriptor CurrentPackageDescriptor();

std::uint32_t PackageChecksum(const std::uint8_t* data, std::uint32_t length);

// What package detection found.
struct PackageLoad {
    std::uint16_t mode = 1;   // 0: the plain tool
    std::uint16_t valid = 0;
    std::unique_ptr<std::uint8_t[]> image;  // kPackageFileMax bytes, the own file
    std::uint32_t imageSize = 0;
};

// Classifies the descriptor; for a package reads the file at path (the
// program's own file, as the platform names it) and checks
// the payload (checksum, count, every offset inside the checksummed area,
// the count's records filling the record area up to the data area).
PackageLoad DetectPackageFile(const PackageDescriptor& descriptor, const char* path);

// The payload checks on a file already read (size bytes at image).
bool PackagePayloadValid(const PackageDescriptor& descriptor, const std::uint8_t* image, std::uint32_t size);

// One embedded command, pointing into the package image.
struct PackageRecordView {
    std::uint32_t argc = 0;
    const char* words[kPackageMaxWords] = {};
    const std::uint8_t* data = nullptr;   // null when dataLength is 0
    std::uint32_t dataLength = 0;
};

// Reads the record at *position: header and words inside the record area,
// each word ending within 32 bytes, its data inside the data area. Advances
// *position past it; false when the record is malformed.
bool ReadPackageRecord(const PackageDescriptor& descriptor, const std::uint8_t* image, std::uint32_t size,
                       std::uint32_t* position, PackageRecordView* record);

// Offset of the plain descriptor in an executable's bytes, or -1.
long FindPackageDescriptor(const std::uint8_t* file, std::uint32_t size);
