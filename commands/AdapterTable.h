// Rows of the command layer's adapter table and the description of a ROM's
// image chain.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "commands/RomImage.h"

constexpr std::uint32_t kMaxAdapters = 16;
constexpr std::size_t kAdapterNameSize = 16;  // ASIC and flash names: 15 characters

// One adapter found by the scan. Several rows can share one PCI function,
// one per detection match ordinal.
struct AdapterEntry {
    // The whole segment number: a shortened one would name another function.
    std::uint16_t segment = 0;
    std::uint8_t bus = 0;
    std::uint8_t devfn = 0;
    std::uint8_t matchIndex = 0;
    std::uint32_t deviceId = 0;
    std::uint32_t vendorId = 0;
    std::uint32_t subsystem = 0;  // SVID in bits 0-15, SSID in bits 16-31
    std::int16_t siiFirmwareVersion = -1;
    std::uint32_t hasImage = 0;   // the ROM read begins 55 AA
    char asicName[kAdapterNameSize] = {};
    char flashName[kAdapterNameSize] = {};
    char partNumber[kRomStringSize] = {};
    char productName[kRomStringSize] = {};
    char biosVersion[kRomStringSize] = {};
    char biosDate[kRomStringSize] = {};
    char configFileName[kRomStringSize] = {};
    std::uint32_t flashType = 0;
    std::uint32_t romStatus = 0;  // CMD_OK, CMD_FAILED, CMD_ROM_BLANK or CMD_ROM_ZERO
};

// ROM size and image chain of one row.
struct AdapterRomInfo {
    std::vector<RomImageEntry> images;
    std::uint64_t romSize = 0;  // bytes; 0 = no flash ROM
};

// "Legacy Image", "EFI Image" or "Unknown Image Type".
std::string GetImageTypeName(const RomImageEntry& entry);
// "Hybrid Images" for two or more entries, else the type of the first.
std::string GetImageSetTypeName(const std::vector<RomImageEntry>& images);
// "Size(N Bytes), Type(T)".
std::string DescribeImage(const RomImageEntry& entry);
// One "        Image[i]: ..." line per entry.
std::string DescribeImageList(const std::vector<RomImageEntry>& images);
