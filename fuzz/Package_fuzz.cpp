// Package loading on arbitrary bytes: the first 36 bytes are the descriptor
// fields, the rest is the package file. Checked once as given and once with
// the checksum made to match, so the offset and record checks are reached.
// The file is copied into an allocation of exactly its size, so a read past
// it shows under the address sanitizer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ui/Package.h"

namespace {

constexpr std::size_t kFieldBytes = 36;

void Walk(const PackageDescriptor& d, const std::uint8_t* image, std::uint32_t size) {
    if (!PackagePayloadValid(d, image, size)) return;
    if (!std::memchr(image + d.bannerOffset, 0, d.commandsOffset - d.bannerOffset)) std::abort();
    std::uint32_t position = d.commandsOffset;
    for (std::uint32_t n = 0; n < d.commandCount && n < 64; ++n) {
        PackageRecordView record;
        const std::uint32_t before = position;
        if (!ReadPackageRecord(d, image, size, &position, &record)) return;
        if (position <= before || position > d.dataOffset) std::abort();
        if (record.argc < 1 || record.argc > kPackageMaxWords) std::abort();
        for (std::uint32_t i = 0; i < record.argc; ++i) {
            const auto* w = reinterpret_cast<const std::uint8_t*>(record.words[i]);
            if (w < image + d.commandsOffset || std::strlen(record.words[i]) > kPackageWordMax) std::abort();
        }
        if (record.dataLength != 0) {
            if (record.data < image + d.dataOffset) std::abort();
            if (record.data + record.dataLength > image + d.dataOffset + d.dataLength) std::abort();
            volatile std::uint8_t last = record.data[record.dataLength - 1];
            (void)last;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kFieldBytes || size - kFieldBytes > 0x200000) return 0;
    PackageDescriptor d{};
    std::memcpy(&d, data, kFieldBytes);
    const std::uint32_t fileSize = std::uint32_t(size - kFieldBytes);
    std::unique_ptr<std::uint8_t[]> file(new std::uint8_t[fileSize ? fileSize : 1]);
    if (fileSize) std::memcpy(file.get(), data + kFieldBytes, fileSize);
    Walk(d, fileSize ? file.get() : nullptr, fileSize);
    if (std::uint64_t(d.bannerOffset) + d.checksummedLength <= fileSize) {
        d.checksum = PackageChecksum(file.get() + d.bannerOffset, d.checksummedLength);
        Walk(d, file.get(), fileSize);
    }
    return 0;
}
