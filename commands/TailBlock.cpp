#include "commands/TailBlock.h"

#include <cstdlib>
#include <cstring>

#include "commands/RomImage.h"
#include "engine/RomBuffer.h"

const TailBlockFormat IsrBlock = {
    .marker = "ISR",
    .size = 20,
    .distance = 20,
    .notFound = "ISR Data not found on adapter %d\n",
    .badChecksum = "ISR Data checksum not valid\n",
    .shown = "ISR Number: %05d-%04d\n",
    .setting = "Setting ISR Number: %05d-%04d\n",
    .cannotWrite = "Can not write ISR Data into a 0x%X length rom on adapter %d\n",
};

const TailBlockFormat ProdSnBlock = {
    .marker = "SN",
    .size = 16,
    .distance = 36,
    .notFound = "Production SN Data not found on adapter %d\n",
    .badChecksum = "SN Data checksum not valid\n",
    .shown = "Production Serial Number: %06d%06d\n",
    .setting = "Setting Production Serial Number: %06d%06d\n",
    .cannotWrite = "Can not write Production SN Data into a 0x%X length rom on adapter %d\n",
};

namespace {

void PutLe32(std::uint8_t* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(value >> (8 * i));
}

std::uint8_t ByteSum(const std::uint8_t* p, std::uint32_t n) {
    std::uint8_t sum = 0;
    for (std::uint32_t i = 0; i < n; ++i) sum = std::uint8_t(sum + p[i]);
    return sum;
}

std::uint32_t ReadHalf(const char* text) {
    char half[7] = {};
    std::memcpy(half, text, 6);
    return std::uint32_t(std::strtoul(half, nullptr, 10));
}

}  // namespace

void EncodeTailBlock(const TailBlockFormat& format, TailBlockNumbers numbers, std::uint8_t* out) {
    const std::size_t markerLength = std::strlen(format.marker);
    std::memset(out, 0, format.size);
    std::memcpy(out, format.marker, markerLength);
    std::memcpy(out + TailBlockFormat::kEndMarker, format.marker, markerLength);
    PutLe32(out + TailBlockFormat::kFirst, numbers.first);
    PutLe32(out + TailBlockFormat::kSecond, numbers.second);
    out[TailBlockFormat::kChecksum] = std::uint8_t(0u - ByteSum(out, format.size));
}

bool TailBlockPresent(const TailBlockFormat& format, const std::uint8_t* block) {
    const std::size_t markerLength = std::strlen(format.marker);
    return std::memcmp(block, format.marker, markerLength) == 0 &&
           std::memcmp(block + TailBlockFormat::kEndMarker, format.marker, markerLength) == 0;
}

bool TailBlockValid(const TailBlockFormat& format, const std::uint8_t* block) {
    return TailBlockPresent(format, block) && ByteSum(block, format.size) == 0;
}

TailBlockNumbers DecodeTailBlock(const TailBlockFormat& format, const std::uint8_t* block) {
    return {RomImage::ReadU32(block, format.size, TailBlockFormat::kFirst),
            RomImage::ReadU32(block, format.size, TailBlockFormat::kSecond)};
}

bool TailBlockFits(const TailBlockFormat& format, std::uint32_t romSize) {
    return romSize >= format.distance && romSize <= kRomBufferSize;
}

TailBlockNumbers SplitSerialNumber(const char* serial) { return {ReadHalf(serial), ReadHalf(serial + 6)}; }

bool LegacyImageReaches(const std::uint8_t* image, std::uint32_t offset) {
    // Without the 55 AA signature no legacy image is there: byte 0x21 is data.
    return RomImage::IsImage(image, offset) && std::uint32_t(image[PciExpansionRomHeader::kSize512]) * 512 >= offset;
}
