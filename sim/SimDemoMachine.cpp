// The built-in demo machine of vorbanmill-sim: boards of several
// generations, each with a serial flash holding a valid video BIOS (part
// number, version, product name, date), all in memory.
#include <cstring>
#include <string>
#include <vector>

#include "sim/SimAdapters.h"
#include "sim/SimI2c.h"
#include "sim/SimMachineFile.h"
#include "sim/SimSeprom.h"
#include "sim/SimSpiBoard.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void PutU16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = std::uint8_t(v);
    b[at + 1] = std::uint8_t(v >> 8);
}

// Text and its terminator; returns the position after it.
std::size_t PutText(Bytes& b, std::size_t at, const std::string& text) {
    std::memcpy(&b[at], text.data(), text.size());
    b[at + text.size()] = 0;
    return at + text.size() + 1;
}

void PutPcir(Bytes& b, std::size_t at, std::uint16_t device, std::uint16_t length512, std::uint8_t codeType,
             bool last) {
    std::memcpy(&b[at], "PCIR", 4);
    PutU16(b, at + 4, 0x1002);
    PutU16(b, at + 6, device);
    PutU16(b, at + 0x0A, 0x18);
    b[at + 0x0F] = 0x03;  // class 0x030000
    PutU16(b, at + 0x10, length512);
    b[at + 0x14] = codeType;
    b[at + 0x15] = last ? 0x80 : 0x00;
}

struct DemoBios {
    std::uint16_t device;
    std::uint16_t ssid;
    const char* partNumber;
    const char* product;
    const char* version;
    const char* date;
    const char* config;
    std::uint16_t legacy512;  // legacy image size in 512-byte units
    std::uint16_t efi512;     // EFI image after it; 0 = none
};

// Contents of a flash part: the legacy image (PCI header and data
// structure, the maker's BIOS header, date, part number and string area,
// checksum byte), an optional EFI image, erased flash after them.
Bytes DemoFlash(std::size_t size, const DemoBios& d) {
    Bytes rom(size, 0xFF);
    const std::size_t legacy = std::size_t(d.legacy512) * 512;
    std::fill(rom.begin(), rom.begin() + std::ptrdiff_t(legacy), 0x00);
    rom[0] = 0x55;
    rom[1] = 0xAA;
    rom[2] = std::uint8_t(d.legacy512);
    PutU16(rom, 0x18, 0x1C0);
    PutPcir(rom, 0x1C0, d.device, d.legacy512, 0x00, d.efi512 == 0);
    PutU16(rom, 0x48, 0x100);
    PutText(rom, 0x50, d.date);
    PutU16(rom, 0x6E, 0x200);
    rom[0x102] = 1;  // header revision: no ROM directory
    std::memcpy(&rom[0x104], "VELK", 4);
    PutU16(rom, 0x118, 0x1002);  // SVID
    PutU16(rom, 0x11A, d.ssid);
    std::size_t pos = PutText(rom, 0x200, d.partNumber);
    const std::string strings[8] = {"", "", "", std::string("\r\n") + d.product + "\r\n", "", "",
                                    std::string("VER") + d.version, d.config};
    for (const std::string& s : strings) pos = PutText(rom, pos, s);
    unsigned sum = 0;
    for (std::size_t i = 0; i < legacy; ++i) sum += rom[i];
    rom[0x21] = std::uint8_t(0x100 - (sum & 0xFF));
    if (d.efi512) {
        const std::size_t e = legacy;
        std::fill(rom.begin() + std::ptrdiff_t(e), rom.begin() + std::ptrdiff_t(e + std::size_t(d.efi512) * 512), 0x00);
        rom[e] = 0x55;
        rom[e + 1] = 0xAA;
        PutU16(rom, e + 2, d.efi512);
        PutU16(rom, e + 4, 0x0EF1);
        PutU16(rom, e + 0x18, 0x1C);
        PutPcir(rom, e + 0x1C, d.device, d.efi512, 0x03, true);
    }
    return rom;
}

// The 128-byte EEPROM of a companion-chip board: one identity record
// (ROM size in 128-byte units, ASIC name, part number), erased after it.
Bytes DemoMibEeprom(const char* name, const char* partNumber) {
    Bytes b(128, 0xFF);
    const std::size_t nameLength = std::strlen(name) + 1, partLength = std::strlen(partNumber) + 1;
    const Bytes head = {0xAA, 0x55, 0, 0, 0, 0, 0, 1, std::uint8_t(5 + nameLength + partLength), 1, 0, 0, 0, 0};
    std::copy(head.begin(), head.end(), b.begin());
    std::size_t pos = PutText(b, head.size(), name);
    PutText(b, pos, partNumber);
    return b;
}

struct DemoBoard {
    SimSpiBoardKind kind;
    const char* part;
    DemoBios bios;
};

const DemoBoard kDemoSpiBoards[] = {
    {SimSpiBoardKind::Orpane, "M25P10",
     {0x6780, 0x0B01, "113-DM0501-101", "DEMO ORPANE 1GB GDDR3", "008.012.000.004", "03/14/11", "DM0501.CFG",
      0x70, 0}},
    {SimSpiBoardKind::Ulvane, "W25X40",
     {0x67A0, 0x0B02, "113-DM1402-100", "DEMO ULVANE 2GB GDDR5", "012.020.000.031", "09/22/14", "DM1402.CFG",
      0x78, 0}},
    {SimSpiBoardKind::Gethra, "M25P40",
     {0x6860, 0x0B03, "113-DM2103-110", "DEMO GETHRA 4GB HBM", "016.001.001.000", "06/30/17", "DM2103.CFG",
      0x7C, 0x80}},
    {SimSpiBoardKind::Fyrand, "MX25L8006E",
     {0x7380, 0x0B04, "113-DM2704-200", "DEMO FYRAND 8GB GDDR6", "020.004.000.012", "11/05/19", "DM2704.CFG",
      0x7E, 0xA0}},
    {SimSpiBoardKind::Ombrel, "SST25VF010",
     {0x6640, 0x0B05, "113-DM1305-100", "DEMO OMBREL 1GB GDDR5", "011.003.000.002", "02/18/13", "DM1305.CFG",
      0x74, 0}},
    {SimSpiBoardKind::Wenmar, "MX25L2026E",
     {0x6900, 0x0B06, "113-DM1606-101", "DEMO WENMAR 2GB GDDR5", "013.008.000.010", "05/11/15", "DM1606.CFG",
      0x76, 0x40}},
    // Gethra again, on a board whose 0x5A0B8 does not hold a write:
    // the engine drives its ROM controller in the second layout.
    {SimSpiBoardKind::GethraHobran, "GD25Q41B",
     {0x6860, 0x0B07, "113-DM2107-120", "DEMO GETHRA 8GB HBM", "016.002.000.003", "08/09/17", "DM2107.CFG",
      0x7C, 0x80}},
    {SimSpiBoardKind::Hobran, "W25Q80",
     {0x69A0, 0x0B08, "113-DM2208-100", "DEMO HOBRAN 8GB HBM2", "017.001.000.006", "03/27/18", "DM2208.CFG",
      0x7E, 0x90}},
};

// One board per entry of kDemoSpiBoards, from bus 1 on; returns the next
// free bus.
std::uint8_t AddDemoSpiBoards(SimHardware& hw) {
    std::uint8_t bus = 1;
    for (const DemoBoard& b : kDemoSpiBoards) {
        const SimSpiPartModel* part = FindSimSpiPart(b.part);
        if (!part) continue;
        SimSpiBoardOptions o;
        o.part = b.part;
        o.storage = std::make_shared<SimStorage>(part->size);
        o.storage->SetInitial(DemoFlash(part->size, b.bios));
        SimSpiBoard board = AddSpiBoard(hw, SimPciAddress{0, bus, 0, 0}, b.kind, o);
        if (board.function) board.function->SetSubsystem(0x1002, b.bios.ssid);
        ++bus;
    }
    return bus;
}

// A bridge board whose strap selects an M25P10 behind the serial-EEPROM
// controller.
void AddDemoBridgeBoard(SimHardware& hw, std::uint8_t bus) {
    SimAdapterOptions bridgeOptions;
    bridgeOptions.bridgeStrap = 3;
    bridgeOptions.subsystemId = 0x0B09;
    SimAdapter bridge = AddSimAdapter(hw, SimPciAddress{0, bus, 0, 0}, "nerrow", bridgeOptions);
    if (!bridge.function) return;
    SimSepromOptions seprom;
    seprom.storage = std::make_shared<SimStorage>(0x20000);
    seprom.storage->SetInitial(DemoFlash(0x20000, {0x5A41, 0x0B09, "113-DM0709-100", "DEMO NERROW 128MB DDR",
                                                    "006.004.000.001", "04/02/04", "DM0709.CFG", 0x70, 0}));
    AttachSeprom(hw, bridge, seprom);
}

// A companion-chip board: its 128-byte I2C EEPROM holds the identity.
void AddDemoMibBoard(SimHardware& hw, std::uint8_t bus) {
    SimAdapterOptions mibOptions;
    mibOptions.subsystemId = 0x0B0A;
    SimAdapter mib = AddSimAdapter(hw, SimPciAddress{0, bus, 0, 0}, "pardel", mibOptions);
    if (mib.eeprom) mib.eeprom->Storage().SetInitial(DemoMibEeprom("Pardel ID", "113-DM0610-100"));
}

}  // namespace

std::unique_ptr<SimHardware> CreateDemoMachine() {
    auto hw = std::make_unique<SimHardware>();
    std::uint8_t bus = AddDemoSpiBoards(*hw);
    AddDemoBridgeBoard(*hw, bus++);
    AddDemoMibBoard(*hw, bus++);
    return hw;
}
