// Small types shared by the simulator's parts.
#pragma once

#include <cstdint>
#include <string>

// A PCI function: segment (domain), bus, device, function.
struct SimPciAddress {
    std::uint16_t seg = 0;
    std::uint8_t bus = 0;
    std::uint8_t dev = 0;
    std::uint8_t fn = 0;

    std::uint8_t Devfn() const { return std::uint8_t((dev << 3) | (fn & 7)); }
    // "SSSS:BB:DD.F", the name the PCI device directory uses.
    std::string Name() const;
    // Accepts "SSSS:BB:DD.F" or "BB:DD.F" (hexadecimal, function 0-7).
    static bool Parse(const std::string& text, SimPciAddress* out);

    friend bool operator==(const SimPciAddress&, const SimPciAddress&) = default;
    friend auto operator<=>(const SimPciAddress& a, const SimPciAddress& b) = default;
};

// Address of accesses that no function answered (legacy region, unclaimed
// physical addresses, I/O ports).
inline constexpr SimPciAddress kSimNoFunction{0xFFFF, 0xFF, 0xFF, 0xFF};

// Something that sits in physical address space behind a BAR, the ROM
// aperture or the legacy window. Offsets are relative to the region start.
class SimMemoryRegion {
public:
    virtual ~SimMemoryRegion() = default;
    virtual std::uint32_t Read32(std::uint64_t off) = 0;
    virtual void Write32(std::uint64_t off, std::uint32_t value) = 0;
    virtual std::uint8_t Read8(std::uint64_t off) = 0;
    virtual void Write8(std::uint64_t off, std::uint8_t value) = 0;
};

// Puts text into *error (when given) and returns false, for parsers and
// handlers that report why they failed.
bool SimFail(std::string* error, const std::string& text);
