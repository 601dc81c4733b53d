// SPI engine for boards whose ROM may not be written directly: a fuse
// register says whether direct writes are allowed, and a whole image can be
// handed to the GPU's system-management firmware, which programs the flash
// itself. Uses the second-generation controller registers behind the
// indirect pair.
#pragma once

#include <cstdint>

#include "protocols/CQuorSPI.h"

class SecureSPI : public CQuorSPI {
public:
    explicit SecureSPI(ProtocolHost* flash);
    ~SecureSPI() override;

    std::uint32_t Transfer(std::uint32_t cmdLen, const std::uint8_t* cmd, std::uint32_t txLen,
                           const std::uint8_t* tx, std::uint32_t rxLen, std::uint8_t* rx,
                           std::int16_t verify) override;
    int IsWriteAllowed() override;

    // Bit 0 of the firmware's state register.
    int IsSmuFirmwareRunning();
    // Hands the image to the firmware, which programs the flash itself.
    // 0 on failure, 2 when the firmware refused the image, else the
    // firmware's response.
    int SmuFlashImage(const std::uint8_t* image, int length);
    // SmuFlashImage with the write latch set and the pads and ROM control
    // handed to the controller; both are restored on every path.
    int FlashThroughSmu(const std::uint8_t* image, int length);

    // Byte-order helpers kept beside the request code; the request needs
    // neither (its fields are little-endian).
    static void ReverseBytes32(std::uint32_t& value);
    static void SwapHalves32(std::uint32_t& value);

private:
    struct RequestGeometry;
    bool PlanRequest(int length, RequestGeometry* g);
    bool FillRequest(const std::uint8_t* image, const RequestGeometry& g, std::uint8_t* base,
                     std::uint64_t* headerPhys);
    void FillPartParams(std::uint8_t* params) const;
    bool PostRequest(std::uint64_t headerPhys, std::uint32_t body);
};
