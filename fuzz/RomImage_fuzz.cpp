// Every accessor of the ROM image model on arbitrary bytes. The input is
// copied into an allocation of exactly its size, so a read past the valid
// length shows under the address sanitizer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "commands/RomImage.h"

namespace {

// Output fields with a guard byte after them: a write past a field is an
// error even where the sanitizer would not see it (inside one object).
struct Field {
    char text[kRomStringSize];
    char guard = 0x5A;
    void Check() const {
        if (guard != 0x5A || !std::memchr(text, 0, sizeof text)) std::abort();
    }
};

void Run(const std::uint8_t* p, std::size_t n) {
    ImageHeaderEffect fx;
    RomImage::IsImage(p, n);
    RomImage::ReadHeader(p, n);
    RomImage::GetDeviceId(p, n);
    RomImage::GetSubsystemId(p, n, &fx);
    RomImage::GetSubsystemVendorId(p, n, &fx);

    Field a, c;
    for (std::int16_t mode : {0, 1}) {
        a.text[0] = '\0';
        std::uint32_t len = RomImage::GetPartNumber(p, n, a.text, kRomStringSize - 1, mode);
        if (len > kRomStringSize - 1) std::abort();
        a.Check();
    }
    if (RomImage::GetBiosDate(p, n, a.text, sizeof a.text) >= kRomStringSize) std::abort();
    a.Check();
    RomImage::GetProductName(p, n, a.text, sizeof a.text, &fx);
    a.Check();
    c.text[0] = '\0';
    RomImage::GetBiosVersion(p, n, a.text, sizeof a.text, c.text, sizeof c.text, &fx);
    a.Check();
    c.Check();
    RomImage::GetConfigFileName(p, n, a.text, sizeof a.text, &fx);
    a.Check();

    FileImageInfo info;
    RomImage::ParseFileImage(p, n, info, &fx);
    for (const char* s : {info.biosVersion, info.configFileName, info.biosDate, info.partNumber, info.productName})
        if (!std::memchr(s, 0, kRomStringSize)) std::abort();
    if (std::strlen(info.partNumber) > kPartNumberMaxChars || std::strlen(info.biosDate) > kBiosDateMaxChars)
        std::abort();
    bool found;
    FormatBiosFileInfo(info, "f", &found);

    std::vector<RomImageEntry> images;
    ParseImageChain(images, p, n);
    std::uint64_t total = 0;
    for (const auto& e : images) {
        if (e.size <= 0) std::abort();
        total += std::uint64_t(e.size);
    }
    if (images.size() > 1 && total - std::uint64_t(images.back().size) >= n) std::abort();

    MibIdentity id = RomImage::FindMibIdentity(p, n, [] {});
    if (!std::memchr(id.partNumber, 0, sizeof id.partNumber)) std::abort();
    for (std::size_t i = 0; i < n && i < 8; ++i) {
        bool ov = false;
        RomImage::DecodeVarLength(p + i, n - i, &ov);
        if (RomImage::VarLengthSize(p + i, n - i, &ov) - 1 > 2) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[size ? size : 1]);
    if (size) std::memcpy(exact.get(), data, size);
    Run(size ? exact.get() : nullptr, size);
    // The MIB walk also sees the input behind an AA 55 signature.
    if (size >= 2) {
        exact[0] = 0xAA;
        exact[1] = 0x55;
        RomImage::FindMibIdentity(exact.get(), size, [] {});
    }
    return 0;
}
