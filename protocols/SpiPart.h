// Serial-flash parts as the SPI engines see them: identification bytes,
// command set and status bits. The engine builds its part list from the
// type table.
#pragma once

#include <algorithm>
#include <cstdint>

enum SpiCommandIndex : std::uint32_t {
    SPI_READ_ID = 0,
    SPI_CHIP_ERASE = 1,
    SPI_SECTOR_ERASE = 2,
    SPI_WREN = 3,
    SPI_WRDI = 4,
    SPI_RDSR = 5,
    SPI_WRSR = 6,
    SPI_EWSR = 7,
    SPI_READ = 8,
    SPI_PAGE_PROGRAM = 9,
};
constexpr std::uint32_t kSpiCommandCount = 10;

struct SpiCommand {
    std::uint8_t opcode;        // 0 = not supported
    std::uint8_t addressBytes;
    std::uint8_t dummyBytes;
};

// A status shows the pair when (status & mask) == value.
struct SpiStatusBits {
    std::uint8_t mask;
    std::uint8_t value;
};

// Index of the write-protect pairs in SpiPart::wp.
enum SpiWriteProtect : std::uint32_t {
    SPI_WP_PARTIAL = 0,
    SPI_WP_ALL = 1,
    SPI_WP_LOCK = 2,
    SPI_WP_UNPROTECT = 3,
};

// One serial-flash part as the SPI engines use it.
struct SpiPart {
    const char* name;
    std::uint32_t size;
    std::uint32_t pageSize;
    std::uint32_t sectorSize;
    std::uint8_t id[4];                    // a 0 byte matches any value
    SpiCommand commands[kSpiCommandCount]; // by SpiCommandIndex
    SpiStatusBits busy;
    SpiStatusBits wel;                     // write-enable latch
    SpiStatusBits wp[4];                   // by SpiWriteProtect
};

// The longest a chip erase of a part of `size` bytes may take: datasheet
// maxima grow with the part, to about 50 s for 4 MiB. Never below floorUs.
inline std::uint64_t ChipEraseLimitUs(std::uint32_t size, std::uint64_t floorUs) {
    constexpr std::uint64_t kMicrosPer4MiB = 50000000;
    return std::max(floorUs, std::uint64_t(size) * kMicrosPer4MiB / 0x400000);
}
