// The GPU's ROM controller in software command mode, in each register
// layout. The program loads a command word and data words, then a write to
// the control register starts one SPI frame on the attached part:
//   control word: bits 0-15 byte count, bits 16-17 command length - 1,
//                 bit 18 receive (else transmit);
//   command word: wire bytes [bits 0-7, 24-31, 16-23, 8-15] (first n);
//   transmit:     byte j is bits 31-24, 23-16, 15-8, 7-0 of data word j/4;
//   receive:      byte j lands in bits 8(j%4)+7..8(j%4) of data word j/4;
//   status:       written by the program, set non-zero when a frame ends.
// A frame runs only with the controller's mode bits set in the control
// register and the SPI pad bits handed over (cleared) in the three pad
// registers; otherwise the status never comes.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/SimAdapters.h"
#include "sim/SimPciFunction.h"
#include "sim/SimRegisterFile.h"
#include "sim/SimSpiFlash.h"

enum class SimRomLayout {
    Quor,            // direct registers at 0x1600
    Tarsel,          // behind the indirect pair 0x208/0x20C at 0xC0600000
    TarselFamily13,  // as Tarsel, data words 54-63 at 0xC0600110
    PomvekBase,      // direct at 0x5A090
    PomvekHobran,    // direct at 0x5A0B0; 0x5A0B8 is not storage
    PomvekLate,      // direct at 0x5A380 (families 23-27)
    Secure,          // as Tarsel, mode bits 26-27 = 01 (boards with flashing firmware)
};

struct SimRomControllerMap {
    bool indirect = false;
    std::uint32_t padA = 0, padOut = 0, padB = 0, padIn = 0;
    std::uint32_t aux = 0;           // 0: none
    std::uint32_t cntl = 0, swCntl = 0, swStatus = 0, swCommand = 0;
    std::uint32_t data = 0;          // data word 0
    std::uint32_t upperData = 0;     // data words 54-63 when non-zero
    std::uint32_t modeMask = 0, modeValue = 0;  // in the control register
    std::uint32_t padBits = 0;       // must be clear in padA, padB, padOut
    std::uint32_t readOnlyZero = 0;  // a register that ignores writes (0: none)
    std::uint32_t first = 0, end = 0;  // register range the controller decodes
};

SimRomControllerMap SimRomControllerMapOf(SimRomLayout layout);

struct SimRomFrame {
    std::uint32_t control = 0;
    std::uint32_t command = 0;
    std::vector<std::uint8_t> sent;      // command and transmit bytes on the wire
    std::vector<std::uint8_t> received;
};

class SimRomController : public SimRegisterHook {
public:
    SimRomController(SimRomLayout layout, SimRegisterFile& pads, SimRegisterFile& space,
                     std::shared_ptr<SimSpiSlave> slave);

    // Hooks a controller of `layout` onto the function's registers and
    // wires it to slave. The Tarsel layouts sit behind the indirect pair:
    // the adapter's when given, else a new one attached at 0x208/0x20C.
    static std::shared_ptr<SimRomController> Attach(SimPciFunction& function, SimRomLayout layout,
                                                    std::shared_ptr<SimSpiSlave> slave,
                                                    std::shared_ptr<SimIndirectPair> pair = nullptr);

    std::uint32_t Read(std::uint32_t off) override;
    void Write(std::uint32_t off, std::uint32_t value) override;

    SimRomLayout Layout() const { return layout_; }
    const SimRomControllerMap& Map() const { return map_; }
    // Data word w (0-63) as the controller holds it.
    std::uint32_t DataWord(unsigned w) const { return w < 64 ? data_[w] : 0; }
    // Register of data word w.
    std::uint32_t DataRegister(unsigned w) const;
    // Controller register value (through the indirect space where needed).
    std::uint32_t Peek(std::uint32_t reg) const;

    // --- faults and timing ---
    // Status reads before a finished frame shows its status.
    void SetStatusDelay(unsigned reads) { statusDelay_ = reads; }
    void FailStatusNeverCompletes(bool on) { neverCompletes_ = on; }
    // The status register keeps reading non-zero whatever is written.
    void FailStatusNotClearable(bool on) { notClearable_ = on; }
    // Off: frames run whatever the mode and pad bits say.
    void SetStrict(bool on) { strict_ = on; }

    // --- inspection ---
    std::uint64_t FramesRun() const { return framesRun_; }
    std::uint64_t FramesRefused() const { return framesRefused_; }
    void EnableFrameLog(bool on) { logFrames_ = on; }
    const std::vector<SimRomFrame>& Frames() const { return frames_; }
    void ClearFrames() { frames_.clear(); }

private:
    int DataIndex(std::uint32_t off) const;
    bool Ready() const;
    void RunFrame(std::uint32_t control);

    SimRomLayout layout_;
    SimRomControllerMap map_;
    SimRegisterFile& pads_;
    SimRegisterFile& space_;
    std::shared_ptr<SimSpiSlave> slave_;
    std::uint32_t data_[64] = {};
    std::uint32_t status_ = 0;
    unsigned statusDelay_ = 0;
    unsigned pendingReads_ = 0;
    bool pending_ = false;
    bool neverCompletes_ = false;
    bool notClearable_ = false;
    bool strict_ = true;
    std::uint64_t framesRun_ = 0;
    std::uint64_t framesRefused_ = 0;
    bool logFrames_ = false;
    std::vector<SimRomFrame> frames_;
};
