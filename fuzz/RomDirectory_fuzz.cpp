// The ROM directory walk and the "-rsa" verdict on arbitrary bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "commands/RomDirectory.h"

namespace {

std::FILE* Sink() {
    static std::FILE* sink = std::fopen("/dev/null", "w");
    return sink;
}

void Require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "RomDirectory_fuzz: %s\n", what);
        std::abort();
    }
}

bool Within(const std::uint8_t* p, const std::uint8_t* image, std::size_t length, std::size_t extent) {
    return p >= image && p + extent <= image + length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0x100000) size = 0x100000;
    // An exactly sized copy, so that a read past the end is seen.
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size ? size : 1]);
    if (size) std::memcpy(copy.get(), data, size);
    const std::uint8_t* image = size ? copy.get() : nullptr;
    const std::uint32_t length = std::uint32_t(size);

    const std::uint8_t* dir = FindRomDirectory(image, length);
    if (dir) Require(Within(dir, image, length, kRomDirectoryHeaderSize), "directory outside the image");
    for (std::uint32_t type : {ROMDIR_PUBLIC_KEY, ROMDIR_SIGNED_IMAGE, ROMDIR_SIGNATURE, ROMDIR_PUBLIC_KEY_ALT}) {
        const std::uint8_t* entry = FindRomDirectoryEntry(image, length, type);
        if (entry) {
            Require(Within(entry, image, length, kRomDirectoryEntrySize), "entry outside the image");
            Require(ReadRomDirectoryEntry(entry).type == type, "entry of another type");
        }
        const std::uint8_t* payload = GetRomDirectoryEntryData(image, length, type);
        if (payload) Require(Within(payload, image, length, 1), "entry data outside the image");
    }
    Require(GetSignedImageSize(image, length, Sink()) <= length, "signed size beyond the image");

    const SignatureCheck quiet = CheckImageSignature(image, length, Sink());
    const SignatureVerdict verdict = ReportImageSignature(image, length, Sink(), Sink());
    if (verdict == SignatureVerdict::Pass) Require(quiet == SignatureCheck::Pass, "verdict and core disagree");
    if (verdict == SignatureVerdict::NoDirectory) Require(quiet == SignatureCheck::NoDirectory, "verdict and core disagree");
    return 0;
}
