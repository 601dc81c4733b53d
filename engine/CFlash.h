// Flash engine: one per command layer. Only the option fields that the
// command-line switches write exist so far.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/COsDepend.h"

class CFlash : public COsDepend {
public:
    CFlash(FILE* typeTableText, std::uint32_t logLevel);
    ~CFlash() override;

    // Select a device even when its I2C detection step fails ("-sst", "-atmel", "-scansii").
    std::int16_t forceSelectOnI2cFail = 0;
    // Highest PCI segment and bus the adapter scan visits.
    std::uint16_t maxSegmentToScan = 1;
    std::uint8_t maxBusToScan = 0xFF;
    // Bus filters of the adapter scan.
    std::int16_t optNoPci = 0;
    std::int16_t optPciOnly = 0;
    std::int16_t optAgp = 0;
    std::int16_t optNoAgp = 0;
    std::int16_t optPcie = 0;
    std::int16_t optNoPcie = 0;
    std::int16_t optPci = 0;
    std::int16_t softI2cDetect = 1;
    std::int16_t capabilityFixup = 0;
    // Chip families that device selection skips; the DDC family (8) by default.
    std::uint32_t excludedFamilyCount = 1;
    std::uint32_t excludedFamilies[32] = {8};
    std::int16_t acceptKovVendor = 0;
    std::int16_t forceSoftSpi = 0;
    std::int16_t noAperture = 0;
    // SiI1930 GPIO pins; -1 = not given.
    std::int32_t siiResetPin = -1;
    std::int32_t siiProgramPin = -1;
    std::uint8_t retainEnabled = 0;
};

// Allocates and constructs an engine; null when that fails.
CFlash* CreateFlash(FILE* typeTableText, std::uint32_t logLevel);
