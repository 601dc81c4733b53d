// Byte-wide JEDEC flash part behind a function's expansion-ROM aperture,
// modelled from the device side.
//
// The part decodes command cycles in its own address and data space: unlock
// (0xAA at 0x5555, 0x55 at 0x2AAA) followed by 0x90 (ID mode: address bit 0
// selects manufacturer or device byte), 0xF0 (back to read mode; a lone 0xF0
// also leaves ID mode), 0x80 plus a second unlock and 0x10 (chip erase) or
// 0xA0 (program). Command addresses are decoded on A14-A0. A byte part
// programs the next write at its own address, clearing bits only (old AND
// new). A page part loads the writes that follow into its page buffer, the
// page taken from the first one's address; the load ends only when no byte
// follows within the part's byte-load window (reads meanwhile answer from
// the array), and then the page is erased and written with the loaded bytes
// (bytes of the page not loaded read 0xFF).
// Any write that does not continue a valid sequence is ignored and returns
// the part to read mode. After a program or erase the part is busy for a
// virtual time on the device clock: reads return a status byte (DQ7 the
// complement of the data's bit 7, DQ6 toggling on every read, the other
// bits 0) and writes are ignored. Addresses beyond the part's size mirror.
//
// Board wiring: with `swizzled`, aperture data line i drives part data line
// log2 D[i] and aperture address line j part address line log2 A[j], with
// D = {01,02,04,10,20,40,80,08} and A = {0002,0004,0008,0010,0020,0040,
// 0080,1000,4000,2000,0001,0100,8000,0400,0800,0200}; aperture address bits
// above 15 reach the part unchanged. The contents are held in part space,
// so image data written through the wiring is stored permuted and reads back
// unchanged through the same wiring.
//
// Busy times (defaults): byte program 20 us, page write 5 ms, chip erase
// 100 ms. The byte-load window of the page parts is their datasheet's:
// 150 us, 200 us on the W29EE011. The chip erase command is accepted by
// page parts too.
//
// Machine-file statement (kSimParallelKeywords), after a function with an
// expansion-ROM BAR; it replaces what answers behind that aperture:
//   parallelflash [part=NAME] [file=PATH] [swizzled] [fault=F[,F...]]
//                 [stuck=ADDR:HIGH:LOW ...] [unerased=ADDR]
//                 [fail-erases=N] [program faults] [busy=BYTE:PAGE:ERASE]
//       part=NAME   modelled part (default SST39SF010; see SimParallelPartNames)
//       file=PATH   contents in part space, kept in PATH (written back at exit)
//       swizzled    the board's permuted data and address wiring
//       fault=      absent (reads 0xFF, ignores writes), no-id (ID mode is
//                   never entered), erase-stuck (a chip erase never ends)
//       stuck=      bits of the part byte at part address ADDR stuck at 1
//                   (HIGH) and at 0 (LOW)
//       unerased=   the part byte at ADDR keeps its value on a chip erase
//       fail-erases=N  the next N chip erases change nothing (the part
//                   still runs its erase time)
//       program faults: fail-programs=, fail-program-at=, misprogram-at=
//                   (SimProgramFaults.h) on byte programs and page writes,
//                   at part addresses
//       busy=       busy times in microseconds
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/SimClocks.h"
#include "sim/SimHardware.h"
#include "sim/SimMachineFile.h"
#include "sim/SimProgramFaults.h"
#include "sim/SimRom.h"
#include "sim/SimStorage.h"

struct SimParallelPartModel {
    std::string name;
    std::uint8_t manufacturer = 0;
    std::uint8_t device = 0;
    std::uint32_t size = 0;
    std::uint32_t pageSize = 0;  // 0: programmed byte by byte
    std::uint64_t loadWindowUs = 0;  // page parts: a pause this long after a byte load ends the load
};

// The catalogue of modelled parts; null for an unknown name.
const SimParallelPartModel* FindSimParallelPart(const std::string& name);
std::vector<std::string> SimParallelPartNames();

class SimParallelFlash : public SimRomModel {
public:
    // storage holds the part's array (its size should equal the part's);
    // clocks (optional) give device time for the busy periods.
    SimParallelFlash(const SimParallelPartModel& model, std::shared_ptr<SimStorage> storage, bool swizzled,
                     SimClocks* clocks = nullptr);

    std::uint8_t ReadByte(std::uint32_t off) override;
    void WriteByte(std::uint32_t off, std::uint8_t value) override;

    const SimParallelPartModel& Model() const { return model_; }
    SimStorage& Storage() { return *storage_; }
    bool Swizzled() const { return swizzled_; }

    // The board's wiring: part address and part data of an aperture access.
    std::uint32_t PartAddress(std::uint32_t apertureOffset) const;
    std::uint8_t PartData(std::uint8_t apertureByte) const;
    std::uint8_t ApertureData(std::uint8_t partByte) const;

    void SetBusyMicros(std::uint64_t byteProgram, std::uint64_t pageWrite, std::uint64_t chipErase);

    // --- fault injection ---
    void FailAbsent(bool on) { absent_ = on; }
    void FailNoId(bool on) { noId_ = on; }
    void FailEraseNeverEnds(bool on) { eraseStuck_ = on; }
    void AddStuckBits(std::uint32_t partAddress, std::uint8_t stuckHigh, std::uint8_t stuckLow);
    void AddUnerasedByte(std::uint32_t partAddress) { unerased_.push_back(partAddress); }
    void FailNextErases(unsigned n) { failErases_ = n; }
    SimProgramFaults& ProgramFaults() { return programFaults_; }

    // --- inspection ---
    unsigned ChipErases() const { return chipErases_; }
    unsigned BytePrograms() const { return bytePrograms_; }
    unsigned PageWrites() const { return pageWrites_; }
    unsigned IdEntries() const { return idEntries_; }
    bool Busy() const;
    bool InIdMode() const { return idMode_; }

private:
    enum class Cycle { Ready, Unlocked1, Unlocked2, EraseArmed, EraseUnlocked1, EraseUnlocked2, ProgramArmed, PageLoad };
    std::uint64_t Now() const { return clocks_ ? clocks_->DeviceMicros() : 0; }
    std::uint32_t Wrap(std::uint32_t address) const { return model_.size ? address % model_.size : 0; }
    void Command(std::uint32_t address, std::uint8_t data);
    void AfterUnlock(std::uint32_t commandAddress, std::uint8_t data);
    void Reset();
    void Store(std::uint32_t address, std::uint8_t value);
    // One program operation storing values at cells, with its faults.
    void Program(const std::vector<std::uint32_t>& cells, const std::vector<std::uint8_t>& values);
    void ProgramByte(std::uint32_t address, std::uint8_t data);
    void LoadPage(std::uint32_t address, std::uint8_t data);
    // A load whose window has passed was written when it ended.
    void EndLapsedLoad();
    void CommitPage(std::uint64_t at);
    void EraseChip();
    void GoBusy(std::uint64_t from, std::uint64_t micros, std::uint8_t target);
    std::uint8_t StatusByte();

    SimParallelPartModel model_;
    std::shared_ptr<SimStorage> storage_;
    bool swizzled_;
    SimClocks* clocks_;

    Cycle cycle_ = Cycle::Ready;
    bool idMode_ = false;
    std::uint32_t pageBase_ = 0;
    std::vector<int> pageLatch_;   // -1: not loaded
    std::uint32_t pageLoaded_ = 0;
    std::uint64_t lastLoadAt_ = 0;

    bool busyForever_ = false;
    std::uint64_t busyUntil_ = 0;
    std::uint8_t busyTarget_ = 0;  // the byte being programmed (0xFF for an erase)
    bool toggle_ = false;
    std::uint64_t byteUs_ = 20, pageUs_ = 5000, eraseUs_ = 100000;

    bool absent_ = false;
    bool noId_ = false;
    bool eraseStuck_ = false;
    struct Stuck {
        std::uint32_t address;
        std::uint8_t high;
        std::uint8_t low;
    };
    std::vector<Stuck> stuck_;
    std::vector<std::uint32_t> unerased_;
    unsigned failErases_ = 0;
    SimProgramFaults programFaults_;

    unsigned chipErases_ = 0;
    unsigned bytePrograms_ = 0;
    unsigned pageWrites_ = 0;
    unsigned idEntries_ = 0;
};

// Puts a part behind the function's ROM aperture. storage null: an erased
// part in memory. Busy periods run on hw's device clock.
std::shared_ptr<SimParallelFlash> AttachParallelFlash(SimHardware& hw, SimPciFunction& function,
                                                      const SimParallelPartModel& part,
                                                      std::shared_ptr<SimStorage> storage, bool swizzled);

// Machine-file statement "parallelflash".
bool SimParallelFlashStatement(SimMachineContext& ctx, SimMachineLine& line, std::string* error);
inline constexpr SimMachineKeyword kSimParallelKeywords[] = {
    {"parallelflash", true, SimParallelFlashStatement},
};
