// Checksum fix-ups after bytes inside the legacy image were changed, so the
// ROM still passes the BIOS check (8-bit sum of the legacy image is 0) and,
// on VELK images, carries a matching CRC word.
#include <cstring>

#include "commands/CFlashCmd.h"
#include "commands/RomImage.h"
#include "engine/CFlash.h"
#include "platform/Bytes.h"

std::uint32_t CFlashCmd::LegacyLength(const std::uint8_t* image, std::uint32_t length) {
    if (length <= PciExpansionRomHeader::kSize512) return 0;
    std::uint32_t legacy = std::uint32_t(image[PciExpansionRomHeader::kSize512]) * 512;
    return legacy < length ? legacy : length;
}

std::uint32_t CFlashCmd::LegacyChecksumByte(const std::uint8_t* image, std::uint32_t legacyLength) {
    std::uint32_t sum = engine ? engine->ChecksumBuffer(image, legacyLength) : 0;
    if (!engine)
        for (std::uint32_t i = 0; i < legacyLength; ++i) sum += image[i];
    return std::uint8_t(0u - sum);
}

void CFlashCmd::FixLegacyChecksum(std::uint8_t* image, std::uint32_t length) {
    if (length <= PciExpansionRomHeader::kChecksum) return;
    std::uint32_t legacy = LegacyLength(image, length);
    image[PciExpansionRomHeader::kChecksum] = 0;
    image[PciExpansionRomHeader::kChecksum] = std::uint8_t(LegacyChecksumByte(image, legacy));
}

void CFlashCmd::ImageChecksumFixup(std::uint8_t* image, std::uint32_t length) {
    if (length <= PciExpansionRomHeader::kChecksum) return;
    std::uint32_t legacy = LegacyLength(image, length);
    image[PciExpansionRomHeader::kChecksum] = 0;

    // The CRC word's position is only meaningful in a VELK header; elsewhere
    // the same offset would overwrite image bytes.
    std::uint16_t header = RomImage::ReadU16(image, length, PciExpansionRomHeader::kVelkHeaderOffset);
    // A header cut off before its CRC-offset word has no CRC word either
    // (the bounded read would give offset 0, the image's own signature).
    bool velk = std::uint64_t(header) + VelkRomHeader::kCrcOffset + 2 <= length &&
                std::memcmp(image + header + VelkRomHeader::kSignature, "VELK", 4) == 0;
    std::uint32_t crcAt = velk ? RomImage::ReadU16(image, length, header + VelkRomHeader::kCrcOffset) : 0;
    // Offset 0 means the header names no CRC word; storing one there
    // would overwrite the image signature.
    bool crcFits = velk && crcAt != 0 && std::uint64_t(crcAt) + 4 <= length;
    if (crcFits) {
        RomImage::WriteU32(image, length, crcAt, 0);
        std::uint32_t crc = 0;
        for (std::uint32_t i = 0; i < legacy; ++i) crc = ((crc << 1) | (crc >> 31)) ^ image[i];
        RomImage::WriteU32(image, length, crcAt, crc);
    }
    image[PciExpansionRomHeader::kChecksum] = std::uint8_t(LegacyChecksumByte(image, legacy));
}
