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

extern "C" void VmFuzzSeeds(std::vector<std::vector<std::uint8_t>>& seeds) {
    // A package as the builder lays it out: 64 bytes of program, banner,
    // two records (one with data), the data area; the fields go in front.
    const std::uint32_t exe = 64;
    std::vector<std::uint8_t> seed(kFieldBytes + exe, 0x90);
    auto text = [&](const char* t) {
        for (const char* c = t;; ++c) {
            seed.push_back(std::uint8_t(*c));
            if (!*c) break;
        }
    };
    auto put = [&](std::uint32_t v) {
        for (int k = 0; k < 4; ++k) seed.push_back(std::uint8_t(v >> (8 * k)));
    };
    auto offset = [&] { return std::uint32_t(seed.size() - kFieldBytes); };
    text("Update");
    const std::uint32_t commands = offset();
    put(3), put(0), put(16), text("-v"), text("0"), text("infile");
    put(1), put(0), put(0), text("-h");
    const std::uint32_t dataOffset = offset();
    for (int i = 0; i < 16; ++i) seed.push_back(std::uint8_t(i));
    const std::uint32_t payload = offset() - exe;
    const std::uint32_t fields[9] = {0, 0, exe, payload, PackageChecksum(seed.data() + kFieldBytes + exe, payload),
                                     2, commands, dataOffset, 16};
    std::memcpy(seed.data(), fields, kFieldBytes);
    seeds.push_back(seed);
}
