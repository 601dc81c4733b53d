// Parallel (byte-wide) flash visible in the expansion-ROM aperture, driven
// with the JEDEC command sequences. Some boards wire the part's data and
// address lines to the aperture in a permuted order; the line maps then
// translate every command byte, command address and ID byte.
#pragma once

#include <cstdint>

class ProtocolHost;

class CParallel {
public:
    explicit CParallel(ProtocolHost* flash);
    virtual ~CParallel();
    CParallel(const CParallel&) = delete;
    CParallel& operator=(const CParallel&) = delete;

    // Rebuilds the four maps from swizzle.
    virtual void BuildLineMaps();
    // Manufacturer byte | device byte << 8, or 0xFFFFFFFF when no ROM
    // aperture is mapped (and until identification is built).
    virtual std::uint32_t ReadId();
    // Count of blank bytes from the start of the ROM.
    virtual std::uint32_t ChipErase();
    // Rebuilds the maps; 0.
    virtual std::uint32_t Prepare();
    // Bytes written.
    virtual std::uint32_t Write(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    // The length, or 0 when out of range.
    virtual std::uint32_t Read(std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length);

    std::uint8_t dataToPart[256] = {};
    std::uint8_t dataFromPart[256] = {};
    std::uint16_t addressHighMap[256] = {};
    std::uint16_t addressLowMap[256] = {};
    ProtocolHost* flash;
    std::uint32_t swizzle = 0;
    std::uint32_t romSize = 0;
    std::uint32_t pageSize = 0;
    std::uint32_t eraseSize = 0;
    std::uint32_t delay = 0;
    std::uint32_t retryLimit = 0;
    std::uint32_t retryCount = 0;
};
