#include "protocols/CVoskSerial.h"

#include "protocols/ProtocolHost.h"

CVoskSerial::CVoskSerial(ProtocolHost* owner) : flash(owner) {}

CVoskSerial::~CVoskSerial() = default;

// Controller registers in the register aperture.
std::uint32_t CVoskSerial::RdSepromCntl1() { return flash->ReadRegister(kSepromCntl1); }
std::uint32_t CVoskSerial::RdSepromCntl2() { return flash->ReadRegister(kSepromCntl2); }
void CVoskSerial::WrSepromCntl1(std::uint32_t value) { flash->WriteRegister(kSepromCntl1, value); }
void CVoskSerial::WrSepromCntl2(std::uint32_t value) { flash->WriteRegister(kSepromCntl2, value); }

// The controller commands arrive with the serial-EEPROM protocol; until then
// every operation reports that nothing was done.
std::int16_t CVoskSerial::Unprotect() { return 0; }
std::uint8_t CVoskSerial::GetBlockProtect() { return 0; }
std::int16_t CVoskSerial::WriteEnable() { return 0; }
std::int16_t CVoskSerial::WriteDisable() { return 0; }
std::uint8_t CVoskSerial::PollStatus(std::uint8_t, std::uint8_t) { return 0xFF; }
std::int16_t CVoskSerial::ExeCommand(std::uint8_t, std::uint8_t) { return 0; }
std::uint32_t CVoskSerial::VerifyBlock(const std::uint8_t*, std::uint32_t, std::uint32_t) { return 0; }
std::int16_t CVoskSerial::ProgramBlock(const std::uint8_t*, std::uint32_t, std::uint32_t, std::uint32_t) {
    return 0;
}
std::uint32_t CVoskSerial::Write(const std::uint8_t*, std::uint32_t, std::uint32_t) { return 0; }
std::int16_t CVoskSerial::SectorErase(std::uint8_t) { return 0; }
std::uint32_t CVoskSerial::ChipErase(std::uint8_t) { return 0; }
std::uint32_t CVoskSerial::EraseAT25F() { return 0; }
std::uint32_t CVoskSerial::EraseSTM25P() { return 0; }
std::uint32_t CVoskSerial::EraseSST() { return 0; }
std::uint32_t CVoskSerial::WriteAT25F(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    return Write(data, offset, length);
}
std::uint32_t CVoskSerial::WriteSTM25P(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    return Write(data, offset, length);
}
std::uint32_t CVoskSerial::WriteSST(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    return Write(data, offset, length);
}
std::uint32_t CVoskSerial::Read(std::uint8_t*, std::uint32_t, std::uint32_t) { return 0; }
std::uint8_t CVoskSerial::ReadStatus() { return 0xFF; }
std::int16_t CVoskSerial::WriteStatusRegister(std::uint8_t) { return 0; }
