// The GPU's serial-EEPROM controller with a small SPI EEPROM behind it, as
// the older adapters carry it: two control registers (directly in the
// register aperture, or behind the bridge of the bridge boards) and the
// expansion-ROM aperture, where single byte accesses run SPI commands.
//
//   seprom_cntl1 (0x1C0): bits 24 and 27 must be set for any command;
//       bit 10 is a plain read/write bit (1 at power-up); bits 0-4 command
//       flags (0x01 opcode only, 0x02 write disable, 0x08 write status with
//       the written byte as data, 0x10 read status), bit 9 burst program of
//       bits 16-23 + 1 bytes, bit 13 sector erase; 0x1100 reads 1 while busy.
//   seprom_cntl2 (0x1C4): SPI opcode in bits 16-23, sector in bits 24-27;
//       0x300000C3 at power-up.
//   Aperture: a write at offset 0 runs the loaded command; in read-status
//       mode a read at 0 returns the part's status; a burst collects its
//       bytes at consecutive offsets and programs them with one page
//       program (0x02); other reads are read commands (0x03) on the part.
//
// Choices where the hardware is not documented:
//   - Commands run at once; the busy bits read 0 unless a fault holds them.
//   - Plain mode (no flags, no burst, no sector erase): a cntl1 write arms
//     the controller and the first aperture access after it decides. A
//     write programs that one byte; a read flushes the read pipeline and
//     makes plain writes no-ops until cntl1 is written again.
//   - A sector erase addresses sector n at n x 0x8000.
//   - Writes that do not continue a burst at the next offset end it unused.
//   - On the bridge boards the bridge passes aperture writes on only while
//     bit 7 of its register 0x30 is set (the tool's write enable).
//
// The part is a SimSpiFlash (AT25F, M25P, SST25VF parts of the catalogue)
// with block protect 1/2/3 guarding the top quarter/half/all, busy for
// device time after each program, erase and status write.
//
// Machine file (handler SimSepromStatement, keyword "seprom"), on the
// function of the last 'adapter' (or any function):
//   seprom [part=NAME] [file=PATH] [status=V] [wp] [busy-polls=P:E:W]
//          [busy-us=P:E:W] [erase-ms=N] [fault=F[,F...]] [stuck=ADDR:HIGH:LOW]
//          [fail-erases=N] [program faults] [controller-busy=N]
//       Puts the controller on the function: behind the bridge when the
//       function is a bridge board, else at 0x1C0/0x1C4 of its registers,
//       with the part behind the ROM aperture. part defaults to the one the
//       bridge strap names (1 AT25F1024, 2 M25P05, 3 M25P10), else M25P10.
//       busy-us: device time (µs) of page program, erase and status write
//       (default 1000:500000:5000; SST parts 20:100000:0; a chip erase
//       takes the part's typical time unless busy-us gives an erase time);
//       erase-ms: device time of a chip erase.
//       Faults: busy-stuck (the part never leaves busy, so an erase never
//       finishes), wel-stuck, erase-fails, absent (no part: every byte
//       reads 0xFF), controller-stuck (busy bits never clear);
//       controller-busy=N holds the busy bits for N reads after each command.
//       fail-erases= and the program faults (fail-programs=,
//       fail-program-at=, misprogram-at=) as on "spiboard".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/SimAdapters.h"
#include "sim/SimMachineFile.h"
#include "sim/SimRegisterFile.h"
#include "sim/SimRom.h"
#include "sim/SimSpiFlash.h"

class SimSepromController : public SimRegisterHook, public SimRomModel {
public:
    static constexpr std::uint32_t kCntl1 = 0x1C0;
    static constexpr std::uint32_t kCntl2 = 0x1C4;
    static constexpr std::uint32_t kPowerUpCntl1 = 0x00000400;
    static constexpr std::uint32_t kPowerUpCntl2 = 0x300000C3;
    static constexpr std::uint32_t kSectorSize = 0x8000;

    // part null: no part answers.
    explicit SimSepromController(std::shared_ptr<SimSpiFlash> part) : part_(std::move(part)) {}

    // SimRegisterHook: kCntl1 and kCntl2.
    std::uint32_t Read(std::uint32_t off) override;
    void Write(std::uint32_t off, std::uint32_t value) override;
    // SimRomModel: the aperture.
    std::uint8_t ReadByte(std::uint32_t off) override;
    void WriteByte(std::uint32_t off, std::uint8_t value) override;

    // Register values as stored (no busy bits).
    std::uint32_t Cntl1() const { return cntl1_; }
    std::uint32_t Cntl2() const { return cntl2_; }
    SimSpiFlash* Part() const { return part_.get(); }
    // Commands run (opcode frames sent to the part, including reads).
    unsigned Commands() const { return commands_; }

    // --- fault injection ---
    void FailBusyForever(bool on) { busyForever_ = on; }
    void SetBusyReads(unsigned n) { busyReads_ = n; }
    // Aperture writes reach the controller only while gate() is true.
    void SetWriteGate(std::function<bool()> gate) { gate_ = std::move(gate); }

private:
    // One chip-select frame; returns what the part sent back.
    std::vector<std::uint8_t> Frame(const std::vector<std::uint8_t>& out);
    bool Valid() const { return (cntl1_ & 0x09000000u) == 0x09000000u; }
    std::uint8_t Opcode() const { return std::uint8_t(cntl2_ >> 16); }
    void Busy() { busyLeft_ = busyReads_; }
    void BurstByte(std::uint32_t off, std::uint8_t value);
    void Command(std::uint8_t value);
    static void Address(std::vector<std::uint8_t>& frame, std::uint32_t address);

    std::shared_ptr<SimSpiFlash> part_;
    std::uint32_t cntl1_ = kPowerUpCntl1;
    std::uint32_t cntl2_ = kPowerUpCntl2;
    enum class Plain { Armed, Spent };
    Plain plain_ = Plain::Spent;
    std::vector<std::uint8_t> burst_;
    std::uint32_t burstStart_ = 0;
    bool burstOpen_ = false;
    bool busyForever_ = false;
    unsigned busyReads_ = 0;
    unsigned busyLeft_ = 0;
    unsigned commands_ = 0;
    std::function<bool()> gate_;
};

struct SimSepromOptions {
    std::string part;                          // empty: by the bridge strap, else M25P10
    std::shared_ptr<SimStorage> storage;       // null: erased, in memory
    std::optional<std::uint64_t> busyUs[3];    // program, erase, status write
};

struct SimSepromBoard {
    std::shared_ptr<SimSepromController> controller;
    std::shared_ptr<SimSpiFlash> part;  // null when absent
};

// The part named, else the one the bridge strap of the adapter names.
std::string SimSepromPartName(const SimAdapter& adapter, const std::string& part);

// Puts the controller and its part on an adapter's function: behind
// adapter.bridge when there is one. Null controller for an unknown part.
SimSepromBoard AttachSeprom(SimHardware& hw, const SimAdapter& adapter, const SimSepromOptions& options = {},
                            bool absent = false);

// Machine-file statement "seprom" (see above).
bool SimSepromStatement(SimMachineContext& ctx, SimMachineLine& line, std::string* error);
