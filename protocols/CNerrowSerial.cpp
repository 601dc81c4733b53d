#include "protocols/CNerrowSerial.h"

#include "protocols/ProtocolHost.h"

CNerrowSerial::CNerrowSerial(ProtocolHost* owner) : CVoskSerial(owner) {}

CNerrowSerial::~CNerrowSerial() = default;

// The bridge accessors, commands and transfers arrive with the serial-EEPROM
// protocol; until then they touch nothing and report failure.
std::uint32_t CNerrowSerial::RdSepromCntl1() { return 0xFFFFFFFF; }
std::uint32_t CNerrowSerial::RdSepromCntl2() { return 0xFFFFFFFF; }
void CNerrowSerial::WrSepromCntl1(std::uint32_t) {}
void CNerrowSerial::WrSepromCntl2(std::uint32_t) {}
std::int16_t CNerrowSerial::ExeCommand(std::uint8_t, std::uint8_t) { return 0; }
std::uint32_t CNerrowSerial::Write(const std::uint8_t*, std::uint32_t, std::uint32_t) { return 0; }
std::uint32_t CNerrowSerial::Read(std::uint8_t*, std::uint32_t, std::uint32_t) { return 0; }
