#include "protocols/CSiI1930.h"

#include "protocols/ProtocolHost.h"
#include "protocols/CGenI2C.h"

CSiI1930::CSiI1930(ProtocolHost* owner, CGenI2C* i2c) : flash(owner), bus(i2c) {}

CSiI1930::~CSiI1930() = default;

// The device protocol arrives with the SiI1930 updater; until then nothing
// is sent and every operation reports failure.
int CSiI1930::LoadGpioPins(const std::uint8_t*) { return 0; }
std::int32_t CSiI1930::MapGpioId(std::int32_t) { return -1; }
std::uint32_t CSiI1930::Program(const std::uint8_t*, std::uint32_t, std::uint32_t) { return 0; }
std::uint32_t CSiI1930::Compare(const std::uint8_t*, std::uint32_t, std::uint32_t) { return 0; }
std::uint32_t CSiI1930::Adler32(const std::uint8_t*, std::uint32_t) { return 0; }
std::uint32_t CSiI1930::DeviceChecksum(std::uint32_t, std::uint32_t) { return 0; }
std::uint16_t CSiI1930::ReadFirmwareVersion() { return 0; }
int CSiI1930::EraseAll() { return 0; }
