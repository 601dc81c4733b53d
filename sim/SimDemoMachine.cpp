// The built-in demo machine of vorbanmill-sim: two display adapters of
// different generations, all in memory.
#include <algorithm>
#include <cstring>

#include "sim/SimMachineFile.h"

namespace {

// A single legacy-type expansion-ROM image: signature, size, PCI data
// structure and a byte sum of 0, followed by erased flash.
std::vector<std::uint8_t> DemoRomImage(std::size_t romSize, std::uint16_t vendor, std::uint16_t device,
                                       std::size_t imageSize, const char* text) {
    std::vector<std::uint8_t> rom(romSize, 0xFF);
    std::fill(rom.begin(), rom.begin() + std::ptrdiff_t(imageSize), 0x00);
    rom[0] = 0x55;
    rom[1] = 0xAA;
    rom[2] = std::uint8_t(imageSize / 512);
    const std::size_t pcir = 0x1C0;
    rom[0x18] = std::uint8_t(pcir);
    rom[0x19] = std::uint8_t(pcir >> 8);
    std::memcpy(&rom[pcir], "PCIR", 4);
    rom[pcir + 4] = std::uint8_t(vendor);
    rom[pcir + 5] = std::uint8_t(vendor >> 8);
    rom[pcir + 6] = std::uint8_t(device);
    rom[pcir + 7] = std::uint8_t(device >> 8);
    rom[pcir + 0x0A] = 0x18;  // structure length
    rom[pcir + 0x0D] = 0x00;  // class code 0x030000
    rom[pcir + 0x0E] = 0x00;
    rom[pcir + 0x0F] = 0x03;
    rom[pcir + 0x10] = std::uint8_t(imageSize / 512);
    rom[pcir + 0x11] = std::uint8_t((imageSize / 512) >> 8);
    rom[pcir + 0x14] = 0x00;  // legacy x86 code
    rom[pcir + 0x15] = 0x80;  // last image
    std::memcpy(&rom[0x80], text, std::strlen(text));
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < imageSize; ++i) sum += rom[i];
    rom[imageSize - 1] = std::uint8_t(0x100 - (sum & 0xFF));
    return rom;
}

struct DemoBoard {
    SimPciAddress address;
    std::uint16_t device;
    std::uint8_t revision;
    std::uint16_t subsystemId;
    std::uint64_t fbBase;
    std::uint64_t regBase;
    std::uint32_t romBarSize;
    std::uint32_t romBarBase;  // 0: the ROM is placed over the frame buffer
    const char* text;
};

}  // namespace

std::unique_ptr<SimHardware> CreateDemoMachine() {
    static const DemoBoard kBoards[] = {
        {{0, 1, 0, 0}, 0x6610, 0x00, 0x0B00, 0xD0000000, 0xFE800000, 0x20000, 0xFEA00000, "DEMO BOARD A"},
        {{0, 2, 0, 0}, 0x67DF, 0xC7, 0x0B01, 0xC0000000, 0xFE900000, 0x40000, 0, "DEMO BOARD B"},
    };
    auto hw = std::make_unique<SimHardware>();
    for (const DemoBoard& b : kBoards) {
        SimPciFunction* f = hw->AddFunction(b.address, 0x1002, b.device);
        f->SetRevision(b.revision);
        f->SetClassCode(0x030000);
        f->SetSubsystem(0x1002, b.subsystemId);
        f->AddBar(0, SimBarKind::Mem64, 256u << 20, true, b.fbBase, SimBarRole::Memory);
        f->AddBar(2, SimBarKind::Mem32, 256u << 10, false, b.regBase, SimBarRole::Registers);
        f->AddBar(4, SimBarKind::Io, 256, false, 0xE000 + 0x1000 * b.address.bus, SimBarRole::Memory);
        f->SetRomBar(b.romBarSize, b.romBarBase);
        f->AddCapability(0x01);  // power management
        f->AddCapability(0x10);  // PCI Express
        auto rom = std::make_shared<SimStorage>(b.romBarSize);
        rom->SetInitial(DemoRomImage(b.romBarSize, 0x1002, b.device, 0x10000, b.text));
        f->SetRomModel(std::make_shared<SimRomBytes>(rom));
    }
    return hw;
}
