// SPI flash boards for the simulator: a flash part behind the GPU's ROM
// controller (in the layout of the board's generation) and behind the GPIO
// pads of software SPI, on a simulated PCI function.
//
// Attaching to a function built by hand:
//   SimSpiBoard b = AttachSpiFlash(hw, *f, *FindSimSpiPart("M25P10"), nullptr,
//                                  SimRomLayout::Quor);
// Adding a whole board of a modelled kind (function, BARs, strap, part):
//   SimSpiBoardOptions o;
//   o.part = "W25X40";
//   SimSpiBoard b = AddSpiBoard(hw, {0, 3, 0, 0}, SimSpiBoardKind::Ulvane, o);
//
// Machine-file statements (kSimSpiKeywords):
//   spiboard [SSSS:]BB:DD.F KIND [OPTIONS]
//       Adds a function of a modelled board kind (orpane, tovarne, ombrel,
//       ulvane, wenmar, gethra, gethra-hobran, hobran, fyrand, swspi) with
//       its BARs, expansion-ROM BAR and SPI flash; later statements
//       ('revision', 'reg', ...) describe that function. 'slave' sets the
//       strap bit of the board's second GPU; device=D overrides the device ID.
//   spiflash [OPTIONS] [controller=LAYOUT|none]
//       Puts an SPI flash on the current function. LAYOUT is quor, tarsel,
//       tarsel13, pomvek, hobran or pomvek-late.
//   OPTIONS:
//       part=NAME          modelled part (default M25P10)
//       file=PATH          contents, kept in PATH (written back at exit)
//       gpio=on|off        software-SPI pads (default on)
//       cs=REG:BIT[:inv] clk=... mosi=... miso=...   pad wiring (default:
//                          the lines of the board's generation; without a
//                          controller 0x179C bits 19, 10, 9 and 0x17A4 bit 8)
//       status=V           status register of a new part (a part whose
//                          status was saved beside file= keeps that)
//       wp                 write-protect pin asserted
//       busy-polls=P:E:W   status polls that show busy after program,
//                          erase and status write
//       erase-ms=N         device time of a chip erase (default: the
//                          part's typical time)
//       fault=F[,F...]     busy-stuck, wel-stuck, unknown-id, erase-fails,
//                          program-stuck (busy never ends after a page
//                          program), status-never (controller),
//                          status-stuck (controller)
//       stuck=ADDR:HIGH:LOW  bits of one byte stuck at 1 (HIGH) and 0 (LOW)
//       fail-programs=N    the first N page programs change nothing (a
//                          write that fails once and works when tried again)
//       fail-program-at=ADDR[:N]  misprogram-at=ADDR:BITS[:N]
//                          page programs at one cell that do not take or
//                          clear extra bits (SimProgramFaults.h)
//       fail-erases=N      the first N erases change nothing (an erase that
//                          heals)
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/SimAdapters.h"
#include "sim/SimGpioSpi.h"
#include "sim/SimHardware.h"
#include "sim/SimMachineFile.h"
#include "sim/SimRomController.h"
#include "sim/SimSpiFlash.h"

struct SimSpiBoard {
    SimPciFunction* function = nullptr;
    SimAdapter adapter;                            // identity, BARs, pairs, ROM aperture bytes
    std::shared_ptr<SimSpiFlash> flash;
    std::shared_ptr<SimRomController> controller;  // null: software SPI only
    std::shared_ptr<SimGpioSpi> gpio;              // null: no pads
};

// Wires a part to a function: the ROM controller of `layout` (none when
// absent; the Tarsel layouts behind `pair`, or a new indirect pair) and,
// with gpio, the software-SPI pads. storage null: erased contents in
// memory. The part's busy periods run on hw's device clock.
SimSpiBoard AttachSpiFlash(SimHardware& hw, SimPciFunction& function, const SimSpiPartModel& part,
                           std::shared_ptr<SimStorage> storage, std::optional<SimRomLayout> layout,
                           bool gpio = true, const SimGpioSpiWiring& wiring = {},
                           std::shared_ptr<SimIndirectPair> pair = nullptr);

enum class SimSpiBoardKind {
    Orpane,        // family 5, 0x6780, Quor layout
    Tovarne,       // family 5, 0x6700, Quor layout
    Ombrel,        // family 13, 0x6640, Tarsel layout with the data gap
    Ulvane,        // family 14, 0x67A0, Tarsel layout
    Wenmar,        // family 16, 0x6900, Tarsel layout
    Gethra,        // family 21, 0x6860, base layout
    GethraHobran,  // family 21, 0x6860, family-22 layout
    Hobran,        // family 22, 0x69A0
    Fyrand,        // family 27, 0x7380, layout of families 23-27
    SoftSpi,       // no controller: software SPI only (a text-table board)
};

struct SimSpiBoardInfo {
    SimSpiBoardKind kind;
    const char* name;            // machine-file word
    const char* adapter;         // adapter model it is built on
    std::uint16_t device;
    std::optional<SimRomLayout> layout;
    bool probeWritable;          // register 0x5A0B8 keeps what is written
};
const SimSpiBoardInfo& SimSpiBoardInfoOf(SimSpiBoardKind kind);

// The GPIO lines that reach the SPI flash on a board whose ROM controller
// has the given layout: the controller's own pad registers (chip select,
// clock and data out on the output pad, data in on the input pad).
SimGpioSpiWiring SimGenerationLines(SimRomLayout layout);
const SimSpiBoardInfo* FindSimSpiBoard(const std::string& name);

struct SimSpiBoardOptions {
    std::string part = "M25P10";
    std::shared_ptr<SimStorage> storage;  // null: erased, in memory
    bool gpio = true;
    // Pads of the software-SPI board kind, and of any kind with ownLines;
    // a board with a ROM controller otherwise has the GPIO lines of its
    // generation (SimGenerationLines).
    SimGpioSpiWiring wiring;
    bool ownLines = false;
    bool slave = false;                   // strap bit of the second GPU set
    std::uint16_t device = 0;             // 0: the kind's device ID
    std::uint8_t revision = 0;
};

// Adds a display adapter of a modelled kind (AddSimAdapter) with its
// flash. The ROM aperture holds a pattern, not the flash contents, so reads
// that wrongly use it show. function is null when the address is taken or
// the part is unknown.
SimSpiBoard AddSpiBoard(SimHardware& hw, const SimPciAddress& address, SimSpiBoardKind kind,
                        const SimSpiBoardOptions& options = {});

// Adds one board of each modelled kind on buses first, first+1, ...
void AddDemoSpiBoards(SimHardware& hw, std::uint8_t firstBus);

// What the part options of a flash statement ask for (shared by every
// statement that puts an SPI part on a board).
struct SimSpiFlashConfig {
    std::string part = "M25P10";
    std::string file;
    bool gpio = true;
    SimGpioSpiWiring wiring;
    bool linesGiven = false;  // any of cs=, clk=, mosi=, miso=
    std::optional<std::uint8_t> status;
    bool wp = false;
    std::optional<unsigned> polls[3];
    std::optional<std::uint64_t> chipEraseMs;
    bool busyStuck = false, welStuck = false, unknownId = false, eraseFails = false, programStuck = false;
    bool statusNever = false, statusStuck = false;
    struct Stuck {
        std::uint32_t address;
        std::uint8_t high, low;
    };
    std::vector<Stuck> stuck;
    SimProgramFaults programFaults;
    unsigned failErases = 0;
    std::vector<std::string> otherFaults;  // faults of the statement's own devices
};


// Takes part=, file=, gpio=, cs= clk= mosi= miso=, status=, wp, busy-polls=,
// erase-ms=, fault=, stuck=, fail-erases= and the program faults
// (SimProgramFaults.h); fault words in otherFaults are kept for the caller.
bool ParseSimSpiFlashOptions(SimMachineLine& line, SimSpiFlashConfig* c, std::string* error,
                             const std::vector<std::string>& otherFaults = {});
// Applies the part's power-up status, pin and faults.
void ApplySimSpiFlashConfig(SimSpiFlash& flash, const SimSpiFlashConfig& c);

// Machine-file statements "spiboard" and "spiflash".
bool SimSpiBoardStatement(SimMachineContext& ctx, SimMachineLine& line, std::string* error);
bool SimSpiFlashStatement(SimMachineContext& ctx, SimMachineLine& line, std::string* error);
inline constexpr SimMachineKeyword kSimSpiKeywords[] = {
    {"spiboard", false, SimSpiBoardStatement},
    {"spiflash", true, SimSpiFlashStatement},
};
