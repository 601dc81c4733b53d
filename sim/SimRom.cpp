#include "sim/SimRom.h"

std::uint8_t SimRomBytes::ReadByte(std::uint32_t off) {
    return off < storage_->Size() ? storage_->Bytes()[off] : 0xFF;
}

void SimRomBytes::WriteByte(std::uint32_t off, std::uint8_t value) {
    if (writable_ && off < storage_->Size()) storage_->Bytes()[off] = value;
}
