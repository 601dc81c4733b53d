// What answers behind a function's expansion-ROM aperture. The default is a
// plain ROM over a SimStorage; flash part models replace it.
#pragma once

#include <cstdint>
#include <memory>

#include "sim/SimStorage.h"

class SimRomModel {
public:
    virtual ~SimRomModel() = default;
    // off is the offset in the ROM aperture.
    virtual std::uint8_t ReadByte(std::uint32_t off) = 0;
    virtual void WriteByte(std::uint32_t off, std::uint8_t value) = 0;
};

// Mask ROM: reads the storage (0xFF beyond it); writes are ignored unless
// made writable, which turns it into plain memory.
class SimRomBytes : public SimRomModel {
public:
    explicit SimRomBytes(std::shared_ptr<SimStorage> storage, bool writable = false)
        : storage_(std::move(storage)), writable_(writable) {}

    std::uint8_t ReadByte(std::uint32_t off) override;
    void WriteByte(std::uint32_t off, std::uint8_t value) override;

    SimStorage& Storage() { return *storage_; }
    void SetWritable(bool on) { writable_ = on; }

private:
    std::shared_ptr<SimStorage> storage_;
    bool writable_;
};
