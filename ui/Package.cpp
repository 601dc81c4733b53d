#include "ui/Package.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "commands/RomImage.h"
#include "platform/HardwareBackend.h"
#include "ui/CFlashUI.h"

// Mutable and non-zero, so it lands in .data and the builder finds (and
// patches) exactly this block in the file.
PackageDescriptor packageDescriptor = {kPackageMagic1, kPackageMagic2, 0, 0, 0, 0, 0, 0, 0, ""};

PackageDescriptor CurrentPackageDescriptor() {
    const volatile PackageDescriptor& live = packageDescriptor;
    PackageDescriptor d;
    d.magic1 = live.magic1;
    d.magic2 = live.magic2;
    d.bannerOffset = live.bannerOffset;
    d.checksummedLength = live.checksummedLength;
    d.checksum = live.checksum;
    d.commandCount = live.commandCount;
    d.commandsOffset = live.commandsOffset;
    d.dataOffset = live.dataOffset;
    d.dataLength = live.dataLength;
    d.exePath = live.exePath;
    return d;
}

std::uint32_t PackageChecksum(const std::uint8_t* data, std::uint32_t length) {
    std::uint32_t h = 0x13579BDFu;
    for (std::uint32_t i = 0; i < length; ++i) {
        const std::uint32_t a = (h & 0x80000000u) ? (h ^ data[i]) : (h + data[i]);
        h = (a >> 1) | (a << 31);
    }
    return h;
}

namespace {

// The two magic words are only ever compared one at a time through volatile
// copies: merged into one 8-byte constant, the pair would appear in the
// program's code ahead of the descriptor, and the builder would patch that.
bool IsMagicPair(std::uint32_t first, std::uint32_t second, bool plain) {
    volatile std::uint32_t a = first;
    volatile std::uint32_t b = second;
    if (!plain) return a == 0 && b == 0;
    return a == kPackageMagic1 && b == kPackageMagic2;
}

// A count that lost a bit would skip the last records without a word, and
// a moved data offset would hand a record other bytes: the count's records
// must end exactly where the data area begins.
bool RecordsFillTheirArea(const PackageDescriptor& d, const std::uint8_t* image, std::uint32_t size) {
    std::uint32_t position = d.commandsOffset;
    PackageRecordView record;
    for (std::uint32_t n = 0; n < d.commandCount; ++n)
        if (!ReadPackageRecord(d, image, size, &position, &record)) return false;
    return position == d.dataOffset;
}

}  // namespace

long FindPackageDescriptor(const std::uint8_t* file, std::uint32_t size) {
    for (std::uint32_t i = 0; i + kPackageDescriptorSize < size; ++i) {
        if (file[i] != (kPackageMagic1 & 0xFF)) continue;
        if (IsMagicPair(RomImage::ReadU32(file, size, i), RomImage::ReadU32(file, size, i + 4), true)) return long(i);
    }
    return -1;
}

bool PackagePayloadValid(const PackageDescriptor& d, const std::uint8_t* image, std::uint32_t size) {
    const std::uint64_t begin = d.bannerOffset;
    const std::uint64_t end = begin + d.checksummedLength;
    if (!image || end > size || d.commandCount == 0) return false;
    if (PackageChecksum(image + begin, d.checksummedLength) != d.checksum) return false;
    // The descriptor is outside the checksum: its offsets must point into
    // the checked payload, in the order banner, records, data.
    if (d.commandsOffset <= begin || d.commandsOffset > d.dataOffset || d.dataOffset > end) return false;
    if (std::uint64_t(d.dataOffset) + d.dataLength > end) return false;
    if (!std::memchr(image + begin, 0, d.commandsOffset - begin)) return false;
    return RecordsFillTheirArea(d, image, size);
}

PackageLoad DetectPackageFile(const PackageDescriptor& d, const char* path) {
    PackageLoad load;
    if (IsMagicPair(d.magic1, d.magic2, true)) {
        load.mode = 0;
        return load;
    }
    // One magic word altered: neither the tool nor a package.
    if (!IsMagicPair(d.magic1, d.magic2, false)) return load;
    FILE* f = COsDepend::OpenInputFile(path);
    if (!f) return load;
    load.image.reset(new std::uint8_t[kPackageFileMax]);
    load.imageSize = std::uint32_t(std::fread(load.image.get(), 1, kPackageFileMax, f));
    std::fclose(f);
    load.valid = PackagePayloadValid(d, load.image.get(), load.imageSize) ? 1 : 0;
    return load;
}

bool ReadPackageRecord(const PackageDescriptor& d, const std::uint8_t* image, std::uint32_t size,
                       std::uint32_t* position, PackageRecordView* record) {
    if (!image) return false;
    // The record area runs from the first record to the data area.
    const std::uint64_t areaEnd = std::min<std::uint64_t>(d.dataOffset, size);
    std::uint64_t pos = *position;
    if (pos < d.commandsOffset || pos + kPackageRecordHeaderSize > areaEnd) return false;
    const std::uint32_t argc = RomImage::ReadU32(image, size, pos);
    const std::uint32_t dataOffset = RomImage::ReadU32(image, size, pos + 4);
    const std::uint32_t dataLength = RomImage::ReadU32(image, size, pos + 8);
    if (argc < 1 || argc > kPackageMaxWords) return false;
    pos += kPackageRecordHeaderSize;
    for (std::uint32_t i = 0; i < argc; ++i) {
        const std::uint64_t room = std::min<std::uint64_t>(areaEnd - pos, kPackageWordMax + 1);
        const void* nul = std::memchr(image + pos, 0, room);
        if (!nul) return false;
        record->words[i] = reinterpret_cast<const char*>(image + pos);
        pos = std::uint64_t(static_cast<const std::uint8_t*>(nul) - image) + 1;
    }
    record->data = nullptr;
    if (dataLength != 0) {
        if (std::uint64_t(dataOffset) + dataLength > d.dataLength) return false;
        if (std::uint64_t(d.dataOffset) + d.dataLength > size) return false;
        record->data = image + d.dataOffset + dataOffset;
    }
    record->argc = argc;
    record->dataLength = dataLength;
    *position = std::uint32_t(pos);
    return true;
}

void CFlashUI::DetectPackage() {
    const PackageDescriptor live = CurrentPackageDescriptor();
    // Through the platform, never argv[0]: that may name nothing, or another
    // file of the same name in the working directory.
    PackageLoad load = DetectPackageFile(live, Hw().OwnExecutablePath().c_str());
    packageMode = load.mode;
    packageValid = load.valid;
    packageImage = load.image.release();
    packageImageSize = load.imageSize;
}
