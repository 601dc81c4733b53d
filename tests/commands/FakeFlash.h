// An engine whose PCI bus, detection and flash parts are scripted, so the
// command layer's scan and ROM operations can be driven through every
// branch (read counts, unstable reads, status register with a
// write-protect pin) without a simulated machine.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/CFlash.h"

namespace vmtest {

struct FakeBoard {
    std::uint16_t segment = 0;
    std::uint8_t bus = 1;
    std::uint8_t devfn = 0;
    std::uint16_t vendor = 0x1002;
    std::uint16_t deviceId = 0x6798;
    std::uint32_t subsystem = 0x0B001002;
    std::vector<std::string> asicNames = {"FAKE ASIC"};  // one per match ordinal
    std::uint32_t family = KOV_GETHRA;
    std::uint32_t flashType = TYPE_POMVEKSPI;
    std::string typeName = "TYPE_POMVEKSPI";
    std::string partName = "W25X40";
    std::vector<std::uint8_t> rom;  // its size is the ROM size
    int flipOnRead = 0;             // 1-based read whose data comes back altered
    int shortOnRead = 0;            // 1-based read that returns one byte less
    bool clearsForceSelect = false;
    std::uint16_t siiVersion = 0;
    // Status register: bit 7 locks it while the write-protect pin is asserted.
    std::uint8_t status = 0;
    bool wpPin = false;
    bool statusReadFails = false;
    bool statusWriteFails = false;

    int reads = 0;
    std::vector<std::uint8_t> statusWrites;
};

class FakeFlash : public CFlash {
public:
    FakeFlash() : CFlash(nullptr, 0) {}

    std::vector<int> segments = {0};
    std::vector<FakeBoard> boards;
    FakeBoard* selected = nullptr;
    int closes = 0;
    int selects = 0;

    FakeBoard* Find(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn) {
        for (FakeBoard& b : boards)
            if (b.segment == seg && b.bus == bus && b.devfn == devfn) return &b;
        return nullptr;
    }

    int GetPciSegments(int highest, std::vector<int>& list) override {
        for (int s : segments)
            if (s <= highest) list.push_back(s);
        return 0;
    }
    std::uint16_t ReadPciConfigWord(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, std::uint8_t off) override {
        FakeBoard* b = Find(seg, bus, devfn);
        if (!b) return 0xFFFF;
        return off == 0 ? b->vendor : off == 2 ? b->deviceId : 0;
    }
    std::uint32_t ReadPciConfigDword(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn,
                                     std::uint8_t off) override {
        FakeBoard* b = Find(seg, bus, devfn);
        if (!b) return 0xFFFFFFFF;
        return off == 0x2C ? b->subsystem : 0;
    }

    std::int16_t SelectDevice(std::uint16_t seg, std::uint8_t bus, std::uint8_t devfn, int match) override {
        CloseAccess();
        ++selects;
        selected = nullptr;
        FakeBoard* b = Find(seg, bus, devfn);
        if (!b || match < 0 || std::size_t(match) >= b->asicNames.size()) return 0;
        selected = b;
        pciSegment = seg;
        pciBus = bus;
        pciDevfn = devfn;
        deviceId = b->deviceId;
        asicFamily = b->family;
        std::snprintf(asicName, sizeof asicName, "%s", b->asicNames[std::size_t(match)].c_str());
        if (b->clearsForceSelect) forceSelectOnI2cFail = 0;
        return 1;
    }
    std::int16_t OpenAccess() override {
        if (!selected) return 0;
        flashType = selected->flashType;
        romSize = std::uint32_t(selected->rom.size());
        std::snprintf(flashTypeName, sizeof flashTypeName, "%s", selected->typeName.c_str());
        std::snprintf(currentPartName, sizeof currentPartName, "%s", selected->partName.c_str());
        return 1;
    }
    std::int16_t CloseAccess() override {
        ++closes;
        currentPartName[0] = '\0';
        return 1;
    }
    std::uint32_t Read(std::uint32_t offset, std::uint32_t length, std::uint8_t* buffer) override {
        if (!selected) return 0;
        FakeBoard& b = *selected;
        ++b.reads;
        for (std::uint32_t i = 0; i < length; ++i) {
            std::size_t at = std::size_t(offset) + i;
            buffer[i] = at < b.rom.size() ? b.rom[at] : 0xFF;
        }
        if (b.reads == b.flipOnRead && length > 0) buffer[length - 1] ^= 0x01;
        if (b.reads == b.shortOnRead && length > 0) return length - 1;
        return length;
    }
    std::uint32_t Checksum(std::uint32_t offset, std::uint32_t length, const std::uint8_t* buffer) override {
        std::uint32_t sum = 0;
        for (std::uint32_t i = 0; i < length; ++i) sum += buffer[offset + i];
        return sum;
    }
    std::uint32_t BIOSSize(std::uint32_t offset, const std::uint8_t* buffer) override {
        if (buffer[offset] == 0x55 && buffer[offset + 1] == 0xAA) return std::uint32_t(buffer[offset + 2]) * 512;
        return 0;
    }
    std::uint32_t ReadSiI1930Version() override { return selected ? selected->siiVersion : 0; }
    std::uint32_t ReadStatus() override {
        if (!selected || selected->statusReadFails) return 0xFFFFFFFF;
        return selected->status;
    }
    std::uint32_t WriteStatus(std::uint32_t value) override {
        if (!selected || selected->statusWriteFails) return 0;
        selected->statusWrites.push_back(std::uint8_t(value));
        if (!(selected->wpPin && (selected->status & 0x80))) selected->status = std::uint8_t(value);
        return 1;
    }
};

}  // namespace vmtest
