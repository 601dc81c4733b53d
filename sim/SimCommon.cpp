#include "sim/SimCommon.h"

#include <cstdio>
#include <cstdlib>

std::string SimPciAddress::Name() const {
    char text[32];
    std::snprintf(text, sizeof text, "%04x:%02x:%02x.%d", seg, bus, dev, fn & 7);
    return text;
}

namespace {

// One to four hexadecimal digits, not above maxValue.
bool ParseHexField(const std::string& s, unsigned maxValue, unsigned* out) {
    if (s.empty() || s.size() > 4) return false;
    unsigned v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        v = v * 16 + unsigned(d);
    }
    if (v > maxValue) return false;
    *out = v;
    return true;
}

}  // namespace

bool SimPciAddress::Parse(const std::string& text, SimPciAddress* out) {
    std::string rest = text;
    unsigned seg = 0, bus, dev, fn;
    std::size_t colon1 = rest.find(':');
    if (colon1 == std::string::npos) return false;
    std::size_t colon2 = rest.find(':', colon1 + 1);
    if (colon2 != std::string::npos) {
        if (!ParseHexField(rest.substr(0, colon1), 0xFFFF, &seg)) return false;
        rest = rest.substr(colon1 + 1);
        colon1 = rest.find(':');
    }
    std::size_t dot = rest.find('.', colon1 + 1);
    if (dot == std::string::npos) return false;
    if (!ParseHexField(rest.substr(0, colon1), 0xFF, &bus)) return false;
    if (!ParseHexField(rest.substr(colon1 + 1, dot - colon1 - 1), 0x1F, &dev)) return false;
    if (!ParseHexField(rest.substr(dot + 1), 7, &fn)) return false;
    out->seg = std::uint16_t(seg);
    out->bus = std::uint8_t(bus);
    out->dev = std::uint8_t(dev);
    out->fn = std::uint8_t(fn);
    return true;
}

bool SimFail(std::string* error, const std::string& text) {
    if (error) *error = text;
    return false;
}
