// Descriptor block that marks the executable as the plain tool or as a
// package carrying a payload of banner, command records and image data.
#pragma once

#include <cstdint>

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
    // Run-time only: the program's own path (argv[0]), set by main.
    const char* exePath;
};
#pragma pack(pop)
static_assert(sizeof(PackageDescriptor) == 44, "descriptor is stored in the executable as 44 bytes");

// Size of one record header: argc, data offset, data length.
constexpr std::uint32_t kPackageRecordHeaderSize = 12;

// The program's own descriptor, in initialised data so it is part of the file.
extern PackageDescriptor packageDescriptor;
