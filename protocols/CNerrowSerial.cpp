#include "protocols/CNerrowSerial.h"

#include "protocols/ProtocolHost.h"

CNerrowSerial::CNerrowSerial(ProtocolHost* owner) : CVoskSerial(owner) {}

CNerrowSerial::~CNerrowSerial() = default;

// Each access selects the controller register through the bridge index and
// parks the index on the data register afterwards.
std::uint32_t CNerrowSerial::ReadBridge(std::uint32_t reg, const char* name) {
    flash->Log(1, "CNerrowSerial::%s() begins\n", name);
    flash->WriteRegister(kBridgeIndexRegister, reg);
    const std::uint32_t value = flash->ReadRegister(kBridgeDataRegister);
    flash->WriteRegister(kBridgeIndexRegister, kBridgeDataRegister);
    flash->Log(1, "CNerrowSerial::%s() %X ends\n", name, value);
    return value;
}

void CNerrowSerial::WriteBridge(std::uint32_t reg, std::uint32_t value, const char* name) {
    flash->Log(1, "CNerrowSerial::%s(%X) begins\n", name, value);
    flash->WriteRegister(kBridgeIndexRegister, reg);
    flash->WriteRegister(kBridgeDataRegister, value);
    flash->WriteRegister(kBridgeIndexRegister, kBridgeDataRegister);
    flash->Log(1, "CNerrowSerial::%s() ends\n", name);
}

std::uint32_t CNerrowSerial::RdSepromCntl1() { return ReadBridge(kSepromCntl1, "RdSepromCntl1"); }
std::uint32_t CNerrowSerial::RdSepromCntl2() { return ReadBridge(kSepromCntl2, "RdSepromCntl2"); }
void CNerrowSerial::WrSepromCntl1(std::uint32_t value) { WriteBridge(kSepromCntl1, value, "WrSepromCntl1"); }
void CNerrowSerial::WrSepromCntl2(std::uint32_t value) { WriteBridge(kSepromCntl2, value, "WrSepromCntl2"); }

std::int16_t CNerrowSerial::ExeCommand(std::uint8_t flags, std::uint8_t opcode) {
    return RunCommand(flags, opcode, true, "CNerrowSerial");
}

std::uint32_t CNerrowSerial::Write(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    return WriteChunks(data, offset, length, true);
}
