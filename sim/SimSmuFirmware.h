// The GPU's system-management firmware as far as flashing goes, for boards
// whose ROM is written by the firmware rather than by the program: a
// mailbox in the register aperture, the firmware's state, verdict and fuse
// registers behind the indirect pair, and the flash job, which reads the
// request from host memory by physical address and programs the SPI part
// itself.
//
// Mailbox (direct registers):
//   0x290 argument; 0x250 message (a write posts it); 0x254 response:
//   cleared when a message is posted, non-zero (1) once the firmware has
//   handled it, 1 at power-up (ready). Writes store what is written.
//   0x258 request address bits 63-32, 0x259 bits 31-0, 0x25A flash: the
//   argument is the number of image bytes to program (the request's last
//   20 bytes travel on a page of their own and are not programmed).
// Behind the indirect pair (read-only to the program):
//   0x3F800 bit 0 firmware running; 0x3FC54 verdict of the last image
//   (1 accepted, 0 at power-up and after a refusal); 0xC0600128 write fuse.
//
// The request (little-endian): header page {1, 2, u16 12, u16 2, page list
// address hi/lo, trailer page address hi/lo, n, u16 0, u16 0, u16 36,
// u16 3, part page address hi/lo, zeros}; part page {chip erase, read
// status, write enable, page program opcodes, busy mask/value, latch
// mask/value, u16 page size}; page list of n {address hi, lo, length}.
// The firmware checks the layout and that every byte it reads lies in
// memory the host has locked; anything wrong refuses the image (verdict 0)
// before the flash is touched. The trailer's contents are not checked.
// Flashing is a chip erase, then page programs from address 0 in the
// part's page size, each behind a write enable whose latch must show, with
// the part's status polled until idle (device time advances while it polls),
// then a read-back: a part that kept other bytes (block protection) refuses
// the image.
//
// Physical addresses (one firmware per machine: the last one attached
// answers): the firmware answers the page map for any page the
// program asks about with a made-up frame number (frames not contiguous,
// above 4 GiB, with a flag bit set beside the frame number as current
// kernels do), and follows those frames back to host memory.
//
// Building one:
//   SimSmuBoard b = AddSmuBoard(hw, {0, 4, 0, 0}, "M25P40");
//   b.firmware->FailNoAnswer(0x25A);
//
// Machine-file statement (kSimSmuKeywords):
//   smu [part=NAME] [file=PATH] [fault=F[,F...]]
//       Puts an SPI flash behind the ROM controller of firmware-flashed
//       boards (second-generation registers, mode bits 26-27 = 01) and the
//       firmware on the current function. F: stopped (firmware not
//       running), refuse (verdict 0), no-answer-hi, no-answer-lo,
//       no-answer-flash (the message is never answered).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/SimHardware.h"
#include "sim/SimMachineFile.h"
#include "sim/SimRegisterFile.h"
#include "sim/SimSpiBoard.h"
#include "sim/SimSpiFlash.h"

// Made-up physical frames for host pages, handed out through the page map.
class SimFakePhysicalMap {
public:
    explicit SimFakePhysicalMap(std::uint64_t pageSize);
    // A page-map read at fileOffset (8 bytes per virtual page).
    int Answer(std::uint64_t fileOffset, std::uint64_t* entry);
    // Host address of a physical address, null when no page was handed out there.
    std::uint8_t* HostAddress(std::uint64_t phys) const;
    std::uint64_t PageSize() const { return pageSize_; }

private:
    std::uint64_t pageSize_;
    std::uint64_t nextFrame_;
    std::map<std::uint64_t, std::uint64_t> frameOfPage_;  // virtual page -> frame
    std::map<std::uint64_t, std::uint64_t> pageOfFrame_;
};

struct SimSmuMessage {
    std::uint32_t message;
    std::uint32_t argument;
};

// The request as the firmware read it.
struct SimSmuRequest {
    std::uint32_t header[16] = {};  // the header page's first 64 bytes as u32 words
    std::uint8_t params[12] = {};
    struct Entry {
        std::uint64_t address;
        std::uint32_t length;
    };
    std::vector<Entry> entries;
    std::vector<std::uint8_t> image;    // the bytes the page list gives
    std::vector<std::uint8_t> trailer;  // 20 bytes
};

class SimSmuFirmware {
public:
    static constexpr std::uint32_t kArgument = 0x290;
    static constexpr std::uint32_t kMessage = 0x250;
    static constexpr std::uint32_t kResponse = 0x254;
    static constexpr std::uint32_t kState = 0x3F800;
    static constexpr std::uint32_t kVerdict = 0x3FC54;
    static constexpr std::uint32_t kFuse = 0xC0600128;

    SimSmuFirmware(SimHardware& hw, std::shared_ptr<SimSpiFlash> flash);

    // Hooks the mailbox onto regs and the other registers onto the indirect
    // space, and answers hw's page map.
    static std::shared_ptr<SimSmuFirmware> Attach(SimHardware& hw, SimRegisterFile& regs,
                                                  SimRegisterFile& indirect, std::shared_ptr<SimSpiFlash> flash);

    // --- faults ---
    void SetRunning(bool on) { running_ = on; }
    void FailRefuse(bool on) { refuse_ = on; }
    // Message `message` is never answered.
    void FailNoAnswer(std::uint32_t message) { noAnswer_.push_back(message); }
    void SetFuse(std::uint32_t value) { fuse_ = value; }
    // Response reads that still show 0 after a message was handled.
    void SetAnswerDelay(unsigned reads) { answerDelay_ = reads; }

    // --- inspection ---
    const std::vector<SimSmuMessage>& Messages() const { return messages_; }
    const SimSmuRequest& Request() const { return request_; }
    // Why the last image was refused (empty when it was not).
    const std::string& Refusal() const { return refusal_; }
    unsigned ImagesFlashed() const { return imagesFlashed_; }
    SimFakePhysicalMap& PhysicalMap() { return *map_; }

    std::uint32_t ReadMailbox(std::uint32_t off);
    void WriteMailbox(std::uint32_t off, std::uint32_t value);
    std::uint32_t ReadIndirect(std::uint32_t off);

private:
    void Post(std::uint32_t message);
    bool ReadPhysical(std::uint64_t phys, std::uint64_t length, std::uint8_t* out);
    bool ReadRequest(std::uint32_t length);
    bool Program();
    bool Verify();
    // SPI helpers on the part.
    std::uint8_t Status(std::uint8_t rdsr);
    bool WriteEnabled();
    bool WaitIdle(std::uint64_t limitUs);
    void Frame(const std::vector<std::uint8_t>& bytes);
    bool Refuse(const std::string& why);

    SimHardware& hw_;
    std::shared_ptr<SimSpiFlash> flash_;
    std::shared_ptr<SimFakePhysicalMap> map_;
    std::uint32_t argument_ = 0;
    std::uint32_t message_ = 0;
    std::uint32_t response_ = 1;
    std::uint32_t verdict_ = 0;
    std::uint32_t fuse_ = 0x00000001;
    std::uint32_t headerHigh_ = 0, headerLow_ = 0;
    bool running_ = true;
    bool refuse_ = false;
    std::vector<std::uint32_t> noAnswer_;
    unsigned answerDelay_ = 2;
    unsigned pendingReads_ = 0;
    bool answering_ = false;
    std::vector<SimSmuMessage> messages_;
    SimSmuRequest request_;
    std::string refusal_;
    unsigned imagesFlashed_ = 0;
};

struct SimSmuBoard {
    SimSpiBoard spi;
    std::shared_ptr<SimSmuFirmware> firmware;
};

// A second-generation adapter with its flash behind the firmware-flashed
// boards' controller and the firmware. spi.function is null when the
// address is taken or the part unknown.
SimSmuBoard AddSmuBoard(SimHardware& hw, const SimPciAddress& address, const std::string& part = "M25P40",
                        std::shared_ptr<SimStorage> storage = nullptr);

bool SimSmuStatement(SimMachineContext& ctx, SimMachineLine& line, std::string* error);
inline constexpr SimMachineKeyword kSimSmuKeywords[] = {
    {"smu", true, SimSmuStatement},
};
