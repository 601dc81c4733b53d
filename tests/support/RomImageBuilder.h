// Generates video-BIOS images for tests: a legacy image with the PCI
// header, PCI data structure, the maker's BIOS header (VELK or the older
// layout), date, part number and string area, a correct checksum byte, and
// optional EFI images after it. Also TEV_MIB EEPROM contents.
//
// Header-only so that every test binary and fuzz target can use it without
// extra build wiring.
//
// Typical use:
//   vmtest::RomImageBuilder b;          // VELK image, 2 KiB
//   b.deviceId = 0x6798;
//   b.efiImages = {0x20};                // a 16 KiB EFI image follows
//   std::vector<std::uint8_t> rom = b.Build();
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace vmtest {

class RomImageBuilder {
public:
    // Legacy image.
    unsigned n512 = 4;            // size in 512-byte units (byte 2); 0x70 gives 0xE000
    std::uint16_t vendorId = 0x1002;
    std::uint16_t deviceId = 0x6798;
    std::uint16_t pcirOffset = 0x1C0;
    int pcirLength = -1;          // PCIR image length; -1: same as n512
    std::string date = "01/15/24";

    // BIOS header (word at 0x48).
    bool velk = true;
    std::uint16_t headerOffset = 0x100;
    std::uint8_t headerRevision = 1;     // 2 with a ROM directory
    std::uint16_t svid = 0x1002;
    std::uint16_t ssid = 0x0B00;
    std::uint16_t crcOffset = 0x1F0;
    std::uint16_t masterDataTable = 0;
    std::uint32_t romDirectory = 0;
    std::uint16_t memSettingOffset = 0x1E0;  // older layout only: header +0x48
    std::uint16_t memSetting = 0x1234;

    // VELK text: the part number at partNumberOffset (0: the part-number
    // line sits at 0x80 and the string area at 0x94), then strings 1-8.
    std::uint16_t partNumberOffset = 0x200;
    std::string partNumber = "113-TEST01-100";
    std::vector<std::string> strings = {"", "", "", "\r\nTEST CARD NAME\r\n", "", "", "VER010.005.000.000", "VB1234.CFG"};

    // Older layout text: strings A (at 0x80), B and C.
    std::string stringA = "\r\n113-OLD001-100\r\n";
    std::string stringB = "VER1.2 A.CFG";
    std::string stringC = "A.CFG";

    int strapByte = -1;                 // >= 0: written at 0xAD
    std::vector<std::uint16_t> efiImages;  // sizes in 512-byte units, appended in order
    std::size_t totalLength = 0;        // > image bytes: padded with 0xFF
    bool fixChecksum = true;
    // Raw bytes written after the layout, before the checksum.
    std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> patches;

    // The older (non-VELK) layout with its usual text.
    static RomImageBuilder NonVelk() {
        RomImageBuilder b;
        b.velk = false;
        b.partNumberOffset = 0;
        return b;
    }

    std::size_t LegacySize() const { return std::size_t(n512) * 512; }

    RomImageBuilder& Patch(std::size_t offset, std::vector<std::uint8_t> bytes) {
        patches.emplace_back(offset, std::move(bytes));
        return *this;
    }
    // Text bytes without a terminator.
    RomImageBuilder& PatchText(std::size_t offset, const std::string& text) {
        return Patch(offset, std::vector<std::uint8_t>(text.begin(), text.end()));
    }

    std::vector<std::uint8_t> Build() const {
        const std::size_t legacy = LegacySize();
        std::vector<std::uint8_t> img(legacy, 0x00);
        if (legacy < 0x100) Fail("legacy image smaller than its fixed fields");
        img[0] = 0x55;
        img[1] = 0xAA;
        img[2] = static_cast<std::uint8_t>(n512);
        PutU16(img, 0x18, pcirOffset);
        PutU16(img, 0x48, headerOffset);
        PutText(img, 0x50, date);

        // PCI data structure.
        PutPcir(img, pcirOffset, pcirLength < 0 ? n512 : unsigned(pcirLength), 0x00, efiImages.empty());

        // BIOS header.
        std::size_t h = headerOffset;
        img.at(h + 2) = headerRevision;
        if (velk) {
            PutRaw(img, h + 4, "VELK");
            PutU16(img, h + 0x18, svid);
            PutU16(img, h + 0x1A, ssid);
        } else {
            PutRaw(img, h + 4, "OLDB");
            PutU16(img, h + 0x1C, svid);
            PutU16(img, h + 0x1E, ssid);
            PutU16(img, h + 0x48, memSettingOffset);
            PutU16(img, memSettingOffset, memSetting);
        }
        PutU16(img, h + 0x0E, crcOffset);
        PutU16(img, h + 0x20, masterDataTable);
        PutU32(img, h + 0x24, romDirectory);

        // Text.
        if (velk) {
            PutU16(img, 0x6E, partNumberOffset);
            std::size_t pos;
            if (partNumberOffset != 0) {
                pos = PutText(img, partNumberOffset, partNumber);
            } else {
                PutText(img, 0x80, partNumber);
                pos = 0x94;
            }
            for (const auto& s : strings) pos = PutText(img, pos, s);
        } else {
            PutU16(img, 0x6E, 0);
            std::size_t pos = PutText(img, 0x80, stringA);
            pos = PutText(img, pos, stringB);
            PutText(img, pos, stringC);
        }
        if (strapByte >= 0) img.at(0xAD) = static_cast<std::uint8_t>(strapByte);
        for (const auto& p : patches) PutBytes(img, p.first, p.second);
        if (img.size() != legacy) Fail("legacy image content does not fit in n512 * 512 bytes");
        if (fixChecksum) FixChecksum(img, legacy);

        // EFI images after it.
        std::size_t p = legacy;
        for (std::size_t i = 0; i < efiImages.size(); ++i) {
            std::size_t bytes = std::size_t(efiImages[i]) * 512;
            if (img.size() < p + bytes) img.resize(p + bytes, 0x00);
            // A zero-size image still gets its 8 header bytes.
            PutBytes(img, p, {0x55, 0xAA});
            PutU16(img, p + 2, efiImages[i]);
            PutU32(img, p + 4, 0x00000EF1);
            if (bytes >= 0x40) {
                PutU16(img, p + 0x18, 0x1C);
                PutPcir(img, p + 0x1C, efiImages[i], 0x03, i + 1 == efiImages.size());
            }
            p += bytes;
        }
        if (img.size() < totalLength) img.resize(totalLength, 0xFF);
        return img;
    }

    // Byte 0x21 such that the 8-bit sum of the first `bytes` bytes is 0.
    static void FixChecksum(std::vector<std::uint8_t>& img, std::size_t bytes) {
        img.at(0x21) = 0;
        unsigned sum = 0;
        for (std::size_t i = 0; i < bytes && i < img.size(); ++i) sum += img[i];
        img[0x21] = static_cast<std::uint8_t>(-sum);
    }

    static std::uint8_t Sum8(const std::vector<std::uint8_t>& img, std::size_t bytes) {
        unsigned sum = 0;
        for (std::size_t i = 0; i < bytes && i < img.size(); ++i) sum += img[i];
        return static_cast<std::uint8_t>(sum);
    }

    // Writers that grow the buffer when needed (Build() then complains if the
    // legacy image grew).
    static void PutBytes(std::vector<std::uint8_t>& img, std::size_t off, const std::vector<std::uint8_t>& bytes) {
        if (img.size() < off + bytes.size()) img.resize(off + bytes.size(), 0x00);
        for (std::size_t i = 0; i < bytes.size(); ++i) img[off + i] = bytes[i];
    }
    static void PutU16(std::vector<std::uint8_t>& img, std::size_t off, std::uint16_t v) {
        PutBytes(img, off, {std::uint8_t(v), std::uint8_t(v >> 8)});
    }
    static void PutU32(std::vector<std::uint8_t>& img, std::size_t off, std::uint32_t v) {
        PutBytes(img, off, {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)});
    }
    static void PutRaw(std::vector<std::uint8_t>& img, std::size_t off, const std::string& s) {
        PutBytes(img, off, std::vector<std::uint8_t>(s.begin(), s.end()));
    }
    // Text plus NUL; returns the position after the NUL.
    static std::size_t PutText(std::vector<std::uint8_t>& img, std::size_t off, const std::string& s) {
        PutRaw(img, off, s);
        PutBytes(img, off + s.size(), {0});
        return off + s.size() + 1;
    }

private:
    void PutPcir(std::vector<std::uint8_t>& img, std::size_t at, unsigned length512, std::uint8_t codeType,
                 bool last) const {
        PutRaw(img, at, "PCIR");
        PutU16(img, at + 4, vendorId);
        PutU16(img, at + 6, deviceId);
        PutU16(img, at + 0x0A, 0x18);
        PutBytes(img, at + 0x0C, {0x00, 0x00, 0x00, 0x03});  // revision, class 03 00 00
        PutU16(img, at + 0x10, static_cast<std::uint16_t>(length512));
        PutBytes(img, at + 0x14, {codeType, std::uint8_t(last ? 0x80 : 0x00)});
    }
    [[noreturn]] static void Fail(const char* why) {
        std::fprintf(stderr, "RomImageBuilder: %s\n", why);
        std::abort();
    }
};

// Variable-length integer of the TEV_MIB record area (1-3 bytes, high group first).
inline std::vector<std::uint8_t> EncodeVarLength(std::uint16_t v) {
    if (v < 0x80) return {std::uint8_t(v)};
    if (v < 0x4000) return {std::uint8_t(0x80 | (v >> 7)), std::uint8_t(v & 0x7F)};
    return {std::uint8_t(0x80 | (v >> 14)), std::uint8_t(0x80 | ((v >> 7) & 0x7F)), std::uint8_t(v & 0x7F)};
}

// One record of a TEV_MIB record area: type, length, payload.
struct MibRecord {
    std::uint16_t type = 0;
    std::vector<std::uint8_t> payload;
};

// Payload of the identity record (type 1).
inline std::vector<std::uint8_t> MibIdentityPayload(std::uint16_t romSizeUnits, const std::string& name,
                                                    const std::string& partNumber) {
    std::vector<std::uint8_t> p = EncodeVarLength(romSizeUnits);
    p.insert(p.end(), {0x01, 0x02, 0x03, 0x04});
    p.insert(p.end(), name.begin(), name.end());
    p.push_back(0);
    p.insert(p.end(), partNumber.begin(), partNumber.end());
    p.push_back(0);
    return p;
}

// EEPROM content: AA 55, then from offset 5 the records one after another,
// each as two zero bytes, type, length and payload; the rest 0xFF.
inline std::vector<std::uint8_t> BuildMibEeprom(const std::vector<MibRecord>& records, std::size_t size = 128) {
    std::vector<std::uint8_t> e(size, 0xFF);
    RomImageBuilder::PutBytes(e, 0, {0xAA, 0x55, 0, 0, 0});
    std::size_t pos = 5;
    for (const auto& r : records) {
        std::vector<std::uint8_t> rec = {0, 0};
        std::vector<std::uint8_t> type = EncodeVarLength(r.type);
        rec.insert(rec.end(), type.begin(), type.end());
        std::vector<std::uint8_t> len = EncodeVarLength(static_cast<std::uint16_t>(r.payload.size()));
        rec.insert(rec.end(), len.begin(), len.end());
        rec.insert(rec.end(), r.payload.begin(), r.payload.end());
        RomImageBuilder::PutBytes(e, pos, rec);
        pos += rec.size();
    }
    return e;
}

// The usual EEPROM: one identity record.
inline std::vector<std::uint8_t> BuildMibEeprom(std::uint16_t romSizeUnits, const std::string& partNumber,
                                                const std::string& name = "MIB BOARD") {
    return BuildMibEeprom({MibRecord{1, MibIdentityPayload(romSizeUnits, name, partNumber)}});
}

}  // namespace vmtest
