#include "commands/RomImage.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/Bytes.h"

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// Bounded view of the valid bytes of a buffer. Reads outside give -1, which
// every scan treats as the end of its text.
class Bytes {
public:
    Bytes(const std::uint8_t* p, std::size_t n) : p_(p), n_(p ? n : 0) {}

    int At(std::size_t i) const { return i < n_ ? p_[i] : -1; }
    std::uint16_t U16(std::size_t i) const {
        return (i < n_ && n_ - i >= 2) ? ReadLe16(p_ + i) : 0;
    }
    std::uint32_t U32(std::size_t i) const {
        return (i < n_ && n_ - i >= 4) ? ReadLe32(p_ + i) : 0;
    }
    // Position after the first NUL at or after pos; kNone when there is none.
    std::size_t AfterNul(std::size_t pos) const {
        if (pos >= n_) return kNone;
        const void* z = std::memchr(p_ + pos, 0, n_ - pos);
        return z ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(z) - p_) + 1 : kNone;
    }
    // Position of the first NUL at or after pos, or the end of the data.
    std::size_t NulOrEnd(std::size_t pos) const {
        std::size_t a = AfterNul(pos);
        return a == kNone ? std::max(pos, n_) : a - 1;
    }
    bool IsImage() const { return n_ >= 3 && p_[0] == 0x55 && p_[1] == 0xAA && p_[2] != 0; }

private:
    const std::uint8_t* p_;
    std::size_t n_;
};

bool IsPrint(int c) { return c >= 0 && std::isprint(c); }
bool IsCrLf(int c) { return c == '\r' || c == '\n'; }

void Clear(char* out, std::size_t outSize) {
    if (out && outSize) out[0] = '\0';
}

ImageHeaderEffect HeaderOf(const Bytes& b) {
    ImageHeaderEffect h;
    h.set = true;
    h.headerOffset = b.U16(PciExpansionRomHeader::kVelkHeaderOffset);
    std::size_t sig = std::size_t(h.headerOffset) + VelkRomHeader::kSignature;
    h.isVelk = (b.At(sig) == 'V' && b.At(sig + 1) == 'E' && b.At(sig + 2) == 'L' && b.At(sig + 3) == 'K') ? 1 : 0;
    return h;
}

// The header side effect of the string and ID accessors.
ImageHeaderEffect NoteHeader(const Bytes& b, ImageHeaderEffect* effect) {
    ImageHeaderEffect h = HeaderOf(b);
    if (effect) {
        effect->set = true;
        effect->headerOffset = h.headerOffset;
        effect->isVelk = h.isVelk;
    }
    return h;
}

// Start of string k (1-based) of a VELK string area; kNone when an earlier
// string has no terminator inside the data.
std::size_t VelkString(const Bytes& b, int k) {
    std::size_t s;
    std::uint16_t pn = b.U16(PciExpansionRomHeader::kPartNumberOffset);
    if (pn == 0) {
        s = PciExpansionRomHeader::kDefaultStringArea;
    } else {
        s = b.AfterNul(pn);
        if (s == kNone) return kNone;
    }
    for (int i = 1; i < k; ++i) {
        s = b.AfterNul(s);
        if (s == kNone) return kNone;
    }
    return s;
}

// Strings B and C of a non-VELK image (string A starts at 0x80).
std::size_t PlainString(const Bytes& b, int k) {
    std::size_t s = PciExpansionRomHeader::kDefaultPartNumber;
    for (int i = 1; i < k && s != kNone; ++i) s = b.AfterNul(s);
    return s;
}

// Product-name copy: ends at NUL or at CR LF NUL; a blank followed by a
// blank is dropped, and so is every LF when dropLf is set.
std::uint32_t CopyProductText(const Bytes& b, std::size_t pos, char* out, std::size_t outSize, bool dropLf) {
    std::uint32_t count = 0;
    while (count + 1 < outSize) {
        int c = b.At(pos);
        if (c <= 0) break;
        if (c == '\r' && b.At(pos + 1) == '\n' && b.At(pos + 2) == 0) break;
        ++pos;
        if (c == ' ' && b.At(pos) == ' ') continue;
        if (dropLf && c == '\n') continue;
        out[count++] = static_cast<char>(c);
    }
    out[count] = '\0';
    return count;
}

// Index of the last '.' of text[0..count) whose neighbouring image bytes
// (at pos[i] - 1 and pos[i] + 1) are both printable; 0 when none.
std::size_t LastNamedDot(const Bytes& b, const char* text, const std::size_t* pos, std::size_t count) {
    for (std::size_t i = count; i-- > 0;) {
        if (text[i] == '.' && pos[i] > 0 && IsPrint(b.At(pos[i] - 1)) && IsPrint(b.At(pos[i] + 1))) return i;
    }
    return 0;
}

bool AcceptConfigName(const char* name, std::size_t len) {
    return len > 4 && (name[len - 4] == '.' || name[len - 3] == '.');
}

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string s;
    if (n > 0) {
        s.resize(std::size_t(n) + 1);
        std::vsnprintf(s.data(), s.size(), fmt, ap2);
        s.resize(std::size_t(n));
    }
    va_end(ap2);
    return s;
}

}  // namespace

bool RomImage::IsImage(const std::uint8_t* image, std::size_t length) { return Bytes(image, length).IsImage(); }

bool RomImage::Repeats(const std::uint8_t* rom, std::uint32_t size, std::uint32_t period) {
    return period != 0 && period <= size && std::equal(rom + period, rom + size, rom);
}

std::uint32_t RomImage::RepeatPeriod(const std::uint8_t* rom, std::uint32_t size, std::uint32_t smallest) {
    std::uint32_t period = size;
    for (std::uint32_t p = size / 2; p >= 1 && size % p == 0 && Repeats(rom, size, p); p /= 2) period = p;
    // Content that repeats a pattern shorter than any part (an erased part
    // repeats every byte) tells nothing of the part's size.
    return period < smallest ? size : period;
}

void RomImage::RepeatFirst(std::uint8_t* rom, std::uint32_t size, std::uint32_t period) {
    for (std::uint32_t at = period; period != 0 && at < size; at += period)
        std::copy_n(rom, std::min(period, size - at), rom + at);
}

std::uint16_t RomImage::ReadU16(const std::uint8_t* image, std::size_t length, std::size_t offset) {
    return Bytes(image, length).U16(offset);
}

std::uint32_t RomImage::ReadU32(const std::uint8_t* image, std::size_t length, std::size_t offset) {
    return Bytes(image, length).U32(offset);
}

void RomImage::WriteU32(std::uint8_t* image, std::size_t length, std::size_t offset, std::uint32_t value) {
    if (!image || offset >= length || length - offset < 4) return;
    for (int i = 0; i < 4; ++i) image[offset + std::size_t(i)] = std::uint8_t(value >> (8 * i));
}

ImageHeaderEffect RomImage::ReadHeader(const std::uint8_t* image, std::size_t length) {
    Bytes b(image, length);
    return b.IsImage() ? HeaderOf(b) : ImageHeaderEffect{};
}

std::uint16_t RomImage::GetDeviceId(const std::uint8_t* image, std::size_t length) {
    Bytes b(image, length);
    if (!b.IsImage()) return 0;
    return b.U16(std::size_t(b.U16(PciExpansionRomHeader::kPcirOffset)) + PcirStructure::kDeviceId);
}

std::uint16_t RomImage::GetSubsystemId(const std::uint8_t* image, std::size_t length, ImageHeaderEffect* effect) {
    Bytes b(image, length);
    if (!b.IsImage()) return 0;
    ImageHeaderEffect h = NoteHeader(b, effect);
    if (!h.isVelk) return 0;
    std::uint16_t ssid = b.U16(std::size_t(h.headerOffset) + VelkRomHeader::kSsid);
    if (effect) {
        effect->ssidSet = true;
        effect->ssid = ssid;
    }
    return ssid;
}

std::uint16_t RomImage::GetSubsystemVendorId(const std::uint8_t* image, std::size_t length,
                                             ImageHeaderEffect* effect) {
    Bytes b(image, length);
    if (!b.IsImage()) return 0;
    ImageHeaderEffect h = NoteHeader(b, effect);
    if (!h.isVelk) return 0;
    return b.U16(std::size_t(h.headerOffset) + VelkRomHeader::kSvid);
}

std::uint32_t RomImage::GetPartNumber(const std::uint8_t* image, std::size_t length, char* out, std::uint32_t max,
                                      std::int16_t mode) {
    Bytes b(image, length);
    if (!out || !b.IsImage()) return 0;
    std::size_t q = b.U16(PciExpansionRomHeader::kPartNumberOffset);
    if (q == 0) q = PciExpansionRomHeader::kDefaultPartNumber;
    // Up to two line breaks lead the line; the next character is taken as is.
    if (IsCrLf(b.At(q))) {
        ++q;
        if (IsCrLf(b.At(q))) ++q;
    }
    std::uint32_t count = 0;
    int c = b.At(q);
    if (c >= 0 && max > 0) {
        out[count++] = static_cast<char>(c);
        for (++q; count < max; ++q) {
            c = b.At(q);
            if (!IsPrint(c) || IsCrLf(c)) break;
            out[count++] = static_cast<char>(c);
        }
    }
    if (mode == 1) {
        out[count] = '\0';
        return count;
    }
    // The part number is the token that has '1' first and '-' fourth.
    std::uint32_t len = count;
    for (std::uint32_t k = 0; k + 4 <= count; ++k) {
        if (out[k] == '1' && out[k + 3] == '-') {
            std::uint32_t end = k;
            while (end < count && !std::isspace(static_cast<unsigned char>(out[end]))) ++end;
            std::memmove(out, out + k, end - k);
            len = end - k;
            break;
        }
    }
    if (len >= 4 && out[0] == '1' && out[3] == '-') {
        out[len] = '\0';
        return len;
    }
    out[0] = '\0';
    return 0;
}

std::uint32_t RomImage::GetBiosDate(const std::uint8_t* image, std::size_t length, char* out, std::size_t outSize) {
    Bytes b(image, length);
    if (!out || outSize == 0 || !b.IsImage()) return 0;
    if (b.At(PciExpansionRomHeader::kBiosDate) <= 0) return 0;
    std::uint32_t count = 0;
    for (std::size_t pos = PciExpansionRomHeader::kBiosDate; count + 1 < outSize; ++pos) {
        int c = b.At(pos);
        if (!IsPrint(c)) break;
        out[count++] = static_cast<char>(c);
    }
    out[count] = '\0';
    return count;
}

std::uint32_t RomImage::GetProductName(const std::uint8_t* image, std::size_t length, char* out, std::size_t outSize,
                                       ImageHeaderEffect* effect) {
    Bytes b(image, length);
    if (!out || outSize == 0 || !b.IsImage()) return 0;
    ImageHeaderEffect h = NoteHeader(b, effect);
    if (!h.isVelk) return CopyProductText(b, PciExpansionRomHeader::kPlainProductName, out, outSize, true);
    std::size_t s4 = VelkString(b, 4);
    if (s4 == kNone) {
        Clear(out, outSize);
        return 0;
    }
    // The first two bytes of string 4 are its leading CR LF.
    return CopyProductText(b, s4 + 2, out, outSize, false);
}

namespace {

// Version of a VELK image: string 7, after its "VER" when that starts within
// the first 21 bytes.
std::uint32_t VelkBiosVersion(const Bytes& b, char* out, std::size_t outSize) {
    std::size_t t = VelkString(b, 7);
    if (t == kNone) {
        Clear(out, outSize);
        return 0;
    }
    std::size_t pos = t;
    for (std::size_t v = t; v <= t + 20; ++v) {
        if (b.At(v) == 'V' && b.At(v + 1) == 'E' && b.At(v + 2) == 'R') {
            pos = v + 3;
            break;
        }
    }
    std::uint32_t count = 0;
    for (; count + 1 < outSize; ++pos) {
        int c = b.At(pos);
        if (c <= 0) break;
        out[count++] = static_cast<char>(c);
    }
    out[count] = '\0';
    return count;
}

// Where the version of plain string B starts: after its first "VER" or
// "VR", else at the string itself.
std::size_t PlainVersionStart(const Bytes& b, std::size_t sb) {
    const std::size_t bEnd = b.NulOrEnd(sb);
    for (std::size_t v = sb; v < bEnd; ++v) {
        if (b.At(v) != 'V') continue;
        if (v + 2 < bEnd && b.At(v + 1) == 'E' && b.At(v + 2) == 'R') return v + 3;
        if (v + 1 < bEnd && b.At(v + 1) == 'R') return v + 2;
    }
    return sb;
}

// The word at w, cut three bytes after its last dot with printable bytes
// on both sides (the whole word when it has none), into configOut.
void CopyConfigWord(const Bytes& b, std::size_t w, char* configOut, std::size_t configSize) {
    std::size_t wEnd = w;
    while (b.At(wEnd) > 0 && b.At(wEnd) != ' ') ++wEnd;
    std::size_t wordLen = wEnd - w;
    std::size_t d = 0;
    for (std::size_t i = wordLen; i-- > 0;) {
        std::size_t at = w + i;
        if (b.At(at) == '.' && IsPrint(b.At(at - 1)) && IsPrint(b.At(at + 1))) {
            d = i;
            break;
        }
    }
    std::size_t keep = std::min({wordLen, d + 4, configSize - 1});
    for (std::size_t i = 0; i < keep; ++i) configOut[i] = static_cast<char>(b.At(w + i));
    configOut[keep] = '\0';
}

// Version of a non-VELK image, from string B up to a blank; the word after
// that blank is the configuration word.
std::uint32_t PlainBiosVersion(const Bytes& b, char* out, std::size_t outSize, char* configOut,
                               std::size_t configSize) {
    std::size_t sb = PlainString(b, 2);
    if (sb == kNone) {
        Clear(out, outSize);
        return 0;
    }
    std::size_t pos = PlainVersionStart(b, sb);
    // Copy what fits, but find the real end so the config word is found.
    std::uint32_t count = 0;
    int c;
    for (;; ++pos) {
        c = b.At(pos);
        if (c <= 0 || c == ' ') break;
        if (count + 1 < outSize) out[count++] = static_cast<char>(c);
    }
    out[count] = '\0';
    if (configOut && configSize > 0 && c == ' ') CopyConfigWord(b, pos + 1, configOut, configSize);
    return count;
}

// Candidate configuration file name: text[start, start + len), with the
// image position of each character of a non-VELK string.
struct ConfigCandidate {
    static constexpr std::size_t kScratch = 72;
    char text[kScratch];
    std::size_t where[kScratch];
    std::size_t start = 0;
    std::size_t len = 0;
};

// String 8 of a VELK image up to a blank; false when there is none or it
// is longer than the field.
bool VelkConfigCandidate(const Bytes& b, std::size_t outSize, ConfigCandidate& cand) {
    std::size_t s8 = VelkString(b, 8);
    if (s8 == kNone) return false;
    std::size_t end = s8;
    while (b.At(end) > 0 && b.At(end) != ' ') ++end;
    // Longer than the field: not a name this program can hold.
    if (end - s8 >= std::min(outSize, ConfigCandidate::kScratch)) return false;
    cand.len = end - s8;
    for (std::size_t i = 0; i < cand.len; ++i) cand.text[i] = static_cast<char>(b.At(s8 + i));
    return true;
}

// The name in plain string C: the word holding its last named dot, cut three
// characters after the dot (the whole string when it has no such dot).
bool PlainConfigCandidate(const Bytes& b, ConfigCandidate& cand) {
    std::size_t sc = PlainString(b, 3);
    if (sc == kNone) return false;
    std::size_t count = 0;
    for (std::size_t pos = sc; count < ConfigCandidate::kScratch; ++pos) {
        int c = b.At(pos);
        if (c <= 0) break;
        if (c == ' ' && b.At(pos + 1) == ' ') continue;
        cand.text[count] = static_cast<char>(c);
        cand.where[count] = pos;
        ++count;
    }
    std::size_t d = LastNamedDot(b, cand.text, cand.where, count);
    if (d == 0) {
        cand.len = count;
        return true;
    }
    std::size_t last = std::min(d + 3, count ? count - 1 : 0);
    std::size_t start = 0;
    for (std::size_t i = 0; i <= last && i < count; ++i) {
        if (cand.text[i] == ' ') {
            start = i + 1;
            break;
        }
    }
    if (start >= d + 4 || start >= count) return false;
    cand.start = start;
    cand.len = std::min(d + 4, count) - start;
    return true;
}

}  // namespace

std::uint32_t RomImage::GetBiosVersion(const std::uint8_t* image, std::size_t length, char* out, std::size_t outSize,
                                       char* configOut, std::size_t configSize, ImageHeaderEffect* effect) {
    Bytes b(image, length);
    if (!out || outSize == 0 || !b.IsImage()) return 0;
    ImageHeaderEffect h = NoteHeader(b, effect);
    if (h.isVelk) return VelkBiosVersion(b, out, outSize);
    return PlainBiosVersion(b, out, outSize, configOut, configSize);
}

std::uint32_t RomImage::GetConfigFileName(const std::uint8_t* image, std::size_t length, char* out,
                                          std::size_t outSize, ImageHeaderEffect* effect) {
    Bytes b(image, length);
    if (!out || outSize == 0 || !b.IsImage()) return 0;
    ImageHeaderEffect h = NoteHeader(b, effect);
    ConfigCandidate cand;
    const bool found = h.isVelk ? VelkConfigCandidate(b, outSize, cand) : PlainConfigCandidate(b, cand);
    if (!found || !AcceptConfigName(cand.text + cand.start, cand.len) || cand.len >= outSize) {
        Clear(out, outSize);
        return 0;
    }
    std::memcpy(out, cand.text + cand.start, cand.len);
    out[cand.len] = '\0';
    return static_cast<std::uint32_t>(cand.len);
}

int RomImage::ParseFileImage(const std::uint8_t* image, std::size_t length, FileImageInfo& info,
                             ImageHeaderEffect* effect) {
    // Nothing of an earlier file may survive, whatever this one holds.
    info = FileImageInfo{};
    info.deviceId = GetDeviceId(image, length);
    info.ssid = GetSubsystemId(image, length, effect);
    info.svid = GetSubsystemVendorId(image, length, effect);
    std::uint32_t n = GetPartNumber(image, length, info.partNumber, kRomStringSize - 1, 0);
    info.partNumber[std::min(n, kPartNumberMaxChars)] = '\0';
    n = GetBiosDate(image, length, info.biosDate, kRomStringSize);
    info.biosDate[std::min(n, kBiosDateMaxChars)] = '\0';
    std::uint32_t r = GetConfigFileName(image, length, info.configFileName, kRomStringSize, effect);
    GetBiosVersion(image, length, info.biosVersion, kRomStringSize, r == 0 ? info.configFileName : nullptr,
                   kRomStringSize, effect);
    GetProductName(image, length, info.productName, kRomStringSize, effect);
    return 1;
}

std::uint16_t RomImage::DecodeVarLength(const std::uint8_t* p, std::size_t available, bool* overflow) {
    if (p && available >= 1) {
        unsigned b0 = p[0];
        if (b0 < 0x80) return static_cast<std::uint16_t>(b0);
        if (available >= 2) {
            unsigned b1 = p[1];
            if (b1 < 0x80) return static_cast<std::uint16_t>(((b0 & 0x7F) << 7) | b1);
            if (available >= 3) {
                unsigned b2 = p[2];
                if (b2 < 0x80 && (b0 & 0x7C) == 0)
                    return static_cast<std::uint16_t>(((b0 << 14) & 0xC000) | ((b1 & 0x7F) << 7) | b2);
            }
        }
        if (overflow) *overflow = true;
        return static_cast<std::uint16_t>(b0);
    }
    if (overflow) *overflow = true;
    return 0;
}

std::uint32_t RomImage::VarLengthSize(const std::uint8_t* p, std::size_t available, bool* overflow) {
    if (p && available >= 1 && p[0] < 0x80) return 1;
    if (p && available >= 2 && p[1] < 0x80) return 2;
    if (p && available >= 3 && p[2] < 0x80) return 3;
    if (overflow) *overflow = true;
    return 3;
}

void RomImage::ReportLengthOverflow() {
    std::puts("\nError: the size of an extensible length variable has been exceeded.");
}

MibIdentity RomImage::FindMibIdentity(const std::uint8_t* eeprom, std::size_t length,
                                      const std::function<void()>& onOverflow) {
    MibIdentity id;
    Bytes b(eeprom, length);
    if (b.At(0) != 0xAA || b.At(1) != 0x55) return id;

    auto decode = [&](std::size_t at) {
        bool ov = false;
        std::uint16_t v = DecodeVarLength(eeprom + at, length - at, &ov);
        if (ov && onOverflow) onOverflow();
        return v;
    };
    auto size = [&](std::size_t at) {
        bool ov = false;
        std::uint32_t v = VarLengthSize(eeprom + at, length - at, &ov);
        if (ov && onOverflow) onOverflow();
        return v;
    };

    // s only grows and stays below 0x200, so the walk ends.
    for (std::size_t s = 5;;) {
        std::size_t at = s + 2;
        if (at >= length) return id;
        std::uint16_t type = decode(at);
        std::uint32_t typeSize = size(at);
        if (at + typeSize >= length) return id;
        std::uint16_t recordLength = decode(at + typeSize);
        std::uint32_t lengthSize = size(at + typeSize);

        if (type == 1) {
            std::size_t q = at + typeSize + lengthSize;
            if (q >= length) return id;
            id.found = true;
            id.romSizeUnits = decode(q);
            q += size(q) + 4;
            std::size_t pn = b.AfterNul(q);
            if (pn != kNone) {
                std::size_t n = 0;
                for (; n + 1 < kRomStringSize && b.At(pn + n) > 0; ++n)
                    id.partNumber[n] = static_cast<char>(b.At(pn + n));
                id.partNumber[n] = '\0';
            }
            return id;
        }

        std::size_t next = (s + 2 + typeSize + lengthSize + recordLength) & 0x1FF;
        if (next <= s) return id;
        s = next;
    }
}

void ParseImageChain(std::vector<RomImageEntry>& images, const std::uint8_t* buffer, std::uint64_t length) {
    if (!buffer) return;
    std::uint64_t p = 0;
    // Every header field read lies in the 6 bytes at p.
    while (length >= 6 && p <= length - 6 && buffer[p] == 0x55 && buffer[p + 1] == 0xAA) {
        RomImageEntry e;
        std::uint16_t mark = static_cast<std::uint16_t>(buffer[p + 4] | (buffer[p + 5] << 8));
        if (mark == PciExpansionRomHeader::kEfiMarkValue) {
            e.imageType = IMAGE_EFI;
            e.size = std::int64_t(buffer[p + 2] | (buffer[p + 3] << 8)) * 512;
        } else {
            e.imageType = IMAGE_LEGACY;
            e.size = std::int64_t(buffer[p + 2]) * 512;
        }
        // A zero size would loop forever; such an image is not part of the chain.
        if (e.size == 0) break;
        images.push_back(e);
        p += std::uint64_t(e.size);
    }
}

std::string FormatBiosFileInfo(const FileImageInfo& info, const char* fileName, bool* found) {
    bool have = info.partNumber[0] != '\0';
    if (found) *found = have;
    if (!have) return Format("BIOS P/N not found in %s\n", fileName ? fileName : "");
    std::string s;
    s += Format("    Product Name is :    %-15s\n", info.productName);
    s += Format("    Device ID is    :    %04X\n", info.deviceId);
    s += Format("    Bios Version    :    %-15s\n", info.biosVersion);
    s += Format("    Bios P/N is     :    %-15s\n", info.partNumber);
    s += Format("    Bios SSID       :    %04X\n", info.ssid);
    s += Format("    Bios SVID       :    %04X\n", info.svid);
    s += Format("    Bios Date is    :    %-15s\n", info.biosDate);
    return s;
}

std::string FormatCheckPn(const FileImageInfo& info, const char* fileName, const char* romPartNumber,
                          PartNumberMatch* match) {
    const char* name = fileName ? fileName : "";
    const char* rom = romPartNumber ? romPartNumber : "";
    if (info.partNumber[0] == '\0') {
        if (match) *match = PartNumberMatch::NotFound;
        return Format("BIOS P/N not found in %s\n", name);
    }
    bool equal = std::strcmp(info.partNumber, rom) == 0;
    if (match) *match = equal ? PartNumberMatch::Equal : PartNumberMatch::Different;
    std::string s;
    if (equal)
        s += Format("    Bios P/N in file %s is   :    %-15s\n", name, info.partNumber);
    else
        s += Format("    Bios P/N in File %s is   :    %-15s\n", name, info.partNumber);
    s += Format("    Bios P/N on ROM is     :    %-15s\n", rom);
    s += equal ? "    ROM P/N and File P/N Comparison Passed\n" : "    ROM P/N and File P/N Comparison Failed\n";
    return s;
}
