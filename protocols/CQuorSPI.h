// Hardware SPI engine: the GPU's ROM controller in software command mode.
// The engine loads a command word and up to 256 data bytes into controller
// registers, starts one frame with the control word, waits for the status
// and collects the received bytes. CQuorSPI reaches the controller
// directly in the register aperture; TarselSPI and PomvekSPI derive from it.
#pragma once

#include <cstdint>

#include "protocols/CGenSPI.h"

// Capacity of the controller: command bytes per frame and data bytes per frame.
inline constexpr std::uint32_t kRomControllerCommandBytes = 4;
inline constexpr std::uint32_t kRomControllerDataBytes = 256;
// Status wait of one frame, in microseconds of process CPU time.
inline constexpr std::uint64_t kRomControllerStatusTimeoutUs = 250000;

// Pad and ROM controller registers of one register layout, and its first
// data register.
struct RomControllerRegisters {
    std::uint32_t padA, padB, padOut, padIn;
    std::uint32_t aux;  // 0: the layout has none
    std::uint32_t cntl, swCntl, swStatus, swCommand;
    std::uint32_t data;
};

class CQuorSPI : public CGenSPI {
public:
    explicit CQuorSPI(ProtocolHost* flash);
    ~CQuorSPI() override;

    std::uint32_t Transfer(std::uint32_t cmdLen, const std::uint8_t* cmd, std::uint32_t txLen,
                           const std::uint8_t* tx, std::uint32_t rxLen, std::uint8_t* rx,
                           std::int16_t verify) override;
    // With forceBitbangRead set: SPI READ commands through Transfer.
    // Otherwise the bytes come from the ROM aperture (0 when none is mapped).
    std::uint32_t ReadRange(std::uint8_t* buffer, std::uint32_t address, std::uint32_t length,
                            std::int16_t verify) override;
    int SupportsTarget(ProtocolHost* target) override;
    virtual void SetFamily(std::int32_t family);

    // GPIO pads around the SPI pins: the transfer saves and masks A, B and
    // Out; Out carries the bit-bang outputs, In the bit-bang input.
    std::uint32_t padRegA = 0;
    std::uint32_t padRegB = 0;
    std::uint32_t padOutReg = 0;
    std::uint32_t padInReg = 0;
    // Controller registers (reached through the indirect pair on TarselSPI).
    std::uint32_t ROM_CNTL = 0;
    std::uint32_t ROM_AUX_CNTL = 0;   // 0: the layout has none
    std::uint32_t ROM_SW_CNTL = 0;
    std::uint32_t ROM_SW_STATUS = 0;
    std::uint32_t ROM_SW_COMMAND = 0;
    // Entry k: register of the data word that begins at byte k of a frame
    // (only k = 0, 4, ... 252 are used).
    std::uint32_t ROM_SW_DATA[kRomControllerDataBytes] = {};
    // Target-probe registers (set only on the family-24 layout).
    std::uint32_t probeIndexReg = 0;
    std::uint32_t probeDataReg = 0;
    std::int32_t family = 0;
    std::uint16_t forceBitbangTransfer = 0;  // 1: bit-bang every transfer (copy of "-swspi")
    std::uint16_t forceBitbangRead = 0;      // non-zero: reads through SPI READ commands
    // The first data register; CFlash::TestRegisterAccess probes it on
    // family-21 boards. Set by PomvekSPI.
    std::uint32_t* firstDataReg = nullptr;

protected:
    // Pads a frame or an aperture read hands to the controller; the same
    // in every generation.
    static constexpr std::uint32_t kPadMask = 0xFFF7F8FF;
    // Index/data pair of the register aperture through which the
    // second-generation controller is reached.
    static constexpr std::uint32_t kIndirectIndex = 0x208;
    static constexpr std::uint32_t kIndirectData = 0x20C;
    // How one generation drives the controller frame.
    struct FrameStyle {
        std::uint32_t padMask;       // pads ANDed with it during the frame
        std::uint32_t modeClear;     // ROM_CNTL := (v & modeClear) | modeSet
        std::uint32_t modeSet;
        const char* timeoutMessage;  // printed on standard output; null = none
    };
    // The frame itself (steps shared by every generation), after the
    // generation's own preparation.
    std::uint32_t ControllerTransfer(const FrameStyle& style, std::uint32_t cmdLen, const std::uint8_t* cmd,
                                     std::uint32_t txLen, const std::uint8_t* tx, std::uint32_t rxLen,
                                     std::uint8_t* rx, std::int16_t verify);
    // Hands the SPI pads to the ROM controller for one scope: saves pads A,
    // B and Out, masks them, and restores them (Out, A, B) when it ends.
    class PadHandOver {
    public:
        PadHandOver(CQuorSPI& spi, std::uint32_t mask);
        ~PadHandOver();
        PadHandOver(const PadHandOver&) = delete;
        PadHandOver& operator=(const PadHandOver&) = delete;

    private:
        ProtocolHost& host;
        std::uint32_t regA, regB, regOut;
        std::uint32_t savedA = 0, savedB = 0, savedOut = 0;
    };
    // Steps of a controller frame: load the command and transmit words and
    // start it; wait for its status; read (or compare) the received bytes,
    // returning how many were stored or matched.
    void StartFrame(std::uint32_t cmdLen, const std::uint8_t* cmd, std::uint32_t txLen, const std::uint8_t* tx,
                    std::uint32_t rxLen);
    bool WaitForFrame();
    std::uint32_t CollectReceived(std::uint32_t rxLen, std::uint8_t* rx, std::int16_t verify);
    // Controller-register access: direct, or through the flash's indirect
    // pair when indirectController is set.
    std::uint32_t ReadController(std::uint32_t reg);
    void WriteController(std::uint32_t reg, std::uint32_t value);
    // ROM_SW_DATA[k] = first + k.
    void BuildDataTable(std::uint32_t first);
    using ControllerRegisters = RomControllerRegisters;
    void SetControllerRegisters(const ControllerRegisters& r);
    // The second-generation controller: ROM registers behind the indirect
    // pair, pads in the register aperture.
    void UseIndirectControllerRegisters();
    // Sets the four bit-bang lines (CS, CLK, DOUT on padOutReg, DIN on padInReg).
    void SetLines(std::int32_t csBit, std::uint16_t csInvert, std::int32_t clkBit, std::int32_t doutBit,
                  std::int32_t dinBit);

    bool indirectController = false;
};
