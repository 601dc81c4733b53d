// Builds synthetic images carrying a ROM directory, public key and signature
// slot. The defaults give the same bytes as tests/crypto/fixtures/make_fixtures.sh,
// whose openssl-made signatures then verify. Signatures are never made here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace signedimage {

using Bytes = std::vector<std::uint8_t>;

struct Entry {
    std::uint32_t type, size, offset;
};

struct Layout {
    std::uint32_t fileSize = 0x12000;
    std::uint32_t signedSize = 0x8000;  // byte 2 * 512
    std::uint32_t pcir = 0x1C0;
    std::uint16_t deviceId = 0x7310;
    std::uint16_t pcirLength = 0x40;    // 512-byte units
    std::uint32_t header = 0x200;
    std::uint8_t revision = 2;
    std::uint32_t directory = 0x400;
    std::uint32_t key = 0x1000;
    std::uint32_t keyType = 3;
    std::uint32_t exponent = 65537;
    std::uint32_t signature = 0x8100;
    bool altEntry = false;              // a type-0x38 entry for data at altKey, before the key entry
    std::uint32_t altKey = 0x9000;

    std::vector<Entry> Entries() const {
        std::vector<Entry> e{{4, signedSize, 0}};
        if (altEntry) e.push_back({0x38, 0x240, altKey});
        e.push_back({keyType, 0x240, key});
        e.push_back({5, 0x100, signature});
        return e;
    }
    std::uint32_t DirectoryLength() const { return 16 + 16 * std::uint32_t(Entries().size()); }
};

inline void Put16(Bytes& b, std::size_t at, std::uint32_t v) {
    b.at(at) = std::uint8_t(v);
    b.at(at + 1) = std::uint8_t(v >> 8);
}

inline void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(at + i) = std::uint8_t(v >> (8 * i));
}

inline std::uint32_t Get32(const Bytes& b, std::size_t at) {
    return std::uint32_t(b.at(at)) | std::uint32_t(b.at(at + 1)) << 8 | std::uint32_t(b.at(at + 2)) << 16 |
           std::uint32_t(b.at(at + 3)) << 24;
}

// Key data: nonzero first word, exponent at +0x40, modulus at +0x140
// (given most significant byte first, stored the other way round).
inline void PutKey(Bytes& b, std::uint32_t at, std::uint32_t exponent, const Bytes& modulusBe) {
    Put32(b, at, 1);
    Put32(b, at + 0x40, exponent);
    for (std::size_t i = 0; i < modulusBe.size(); ++i) b.at(at + 0x140 + i) = modulusBe[modulusBe.size() - 1 - i];
}

// Sets byte 0x21 so that the legacy image sums to 0.
inline void FixChecksum(Bytes& b, std::uint32_t signedSize) {
    b.at(0x21) = 0;
    unsigned sum = 0;
    for (std::uint32_t i = 0; i < signedSize && i < b.size(); ++i) sum += b[i];
    b.at(0x21) = std::uint8_t(0x100 - sum % 256);
}

// Everything but the signature.
inline Bytes Build(const Layout& l, const Bytes& modulusBe) {
    Bytes b(l.fileSize, 0xFF);
    std::fill(b.begin(), b.begin() + l.signedSize, 0);
    b[0] = 0x55;
    b[1] = 0xAA;
    b[2] = std::uint8_t(l.signedSize / 512);
    Put16(b, 0x18, l.pcir);
    const char pcirSig[] = "PCIR";
    for (int i = 0; i < 4; ++i) b.at(l.pcir + i) = std::uint8_t(pcirSig[i]);
    Put16(b, l.pcir + 4, 0x1002);
    Put16(b, l.pcir + 6, l.deviceId);
    Put16(b, l.pcir + 0x10, l.pcirLength);
    Put16(b, 0x48, l.header);
    b.at(l.header + 2) = l.revision;
    const char velk[] = "VELK";
    for (int i = 0; i < 4; ++i) b.at(l.header + 4 + i) = std::uint8_t(velk[i]);
    Put32(b, l.header + 0x24, l.directory);
    const std::vector<Entry> entries = l.Entries();
    Put32(b, l.directory + 8, std::uint32_t(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        Put32(b, l.directory + 16 + 16 * i, entries[i].type);
        Put32(b, l.directory + 16 + 16 * i + 4, entries[i].size);
        Put32(b, l.directory + 16 + 16 * i + 8, entries[i].offset);
    }
    PutKey(b, l.key, l.exponent, modulusBe);
    FixChecksum(b, l.signedSize);
    return b;
}

// What the signature covers: the legacy image, then the directory again.
inline Bytes Message(const Bytes& image, const Layout& l) {
    Bytes m(image.begin(), image.begin() + l.signedSize);
    m.insert(m.end(), image.begin() + l.directory, image.begin() + l.directory + l.DirectoryLength());
    return m;
}

// Stores a signature (most significant byte first, as openssl writes it)
// least significant byte first.
inline void PutSignature(Bytes& image, std::uint32_t at, const Bytes& signatureBe) {
    for (std::size_t i = 0; i < signatureBe.size(); ++i) image.at(at + i) = signatureBe[signatureBe.size() - 1 - i];
}

inline Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(std::uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace signedimage
