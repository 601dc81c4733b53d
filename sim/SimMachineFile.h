// Simulated machines for vorbanmill-sim: the machine file and the built-in
// demo machine.
//
// Machine file format
// -------------------
// A text file, one statement per line. '#' starts a comment; words are
// separated by blanks. A statement is a keyword followed by words and
// key=value options. Numbers are decimal or 0x-hexadecimal; a number may
// end in K, M or G (times 1024, 1024^2, 1024^3). Paths are relative to the
// directory of the machine file. Any mistake stops the program with
// "FILE:LINE: message".
//
//   function [SSSS:]BB:DD.F vendor=V device=D
//       Adds a PCI function; the statements after it, up to the next
//       'function', describe it. A new function has command register 0x0007
//       (memory decoding on, as firmware leaves a display adapter), no BARs,
//       no expansion-ROM BAR and no capabilities.
//   revision R                         revision ID
//   class C                            24-bit class code (0x030000: VGA display)
//   subsystem VENDOR ID                subsystem vendor and ID (0x2C, 0x2E)
//   command C                          command register
//   bar N KIND size=S base=B [prefetch] [regs|memory]
//       Base address register N (0-5; a mem64 BAR also takes N+1). KIND is
//       mem32, mem64 or io. A memory BAR decodes to the function's register
//       file ('regs', the default when not prefetchable) or to plain memory
//       of its own ('memory', the default when prefetchable). A base that
//       meets a range another BAR or ROM BAR already decodes is refused
//       (base 0 is unassigned); 'adapter' and 'spiboard' boards take free
//       addresses of their own.
//   rombar size=S base=B               expansion-ROM BAR (decoding off until enabled)
//   rombar unimplemented               0x30 reads 0 whatever is written (also the
//                                      default without a 'rombar' line)
//   cap ID [at=OFF] [length=L]         appends a capability (0x10 PCI Express,
//                                      0x02 AGP, ...) to the list at 0x34
//   cap-loop                           the last capability points back to the first
//   config OFF=VALUE ... [width=W]     presets configuration space (W bytes, 1, 2 or
//                                      4, default 4), bypassing the write masks
//   config-mask OFF=MASK ... [width=W] sets which bits the program may write
//   reg OFF=VALUE ...                  presets registers of the register file
//   rom [file=PATH] [size=S] [writable]
//       Content behind the expansion-ROM aperture. With file=, the bytes are
//       loaded from PATH (a missing file reads as 0xFF and is created at
//       exit; one of another length than size is refused) and written back
//       at exit when they changed; without it they live in memory. Files
//       are replaced whole and locked for the run (SimStorage). size defaults to
//       the file's size, else to the ROM BAR size (so give 'rombar' first).
//       A plain ROM ignores writes unless 'writable'.
//   romindex                           registers 0xA8 (byte index) and 0xAC (the
//                                      ROM byte there; the index then advances)
//                                      read the ROM content
//   parallelflash [part=NAME] ...     a JEDEC parallel flash part behind the
//                                      expansion-ROM aperture instead (options
//                                      in sim/SimParallelFlash.h)
//
// Machine statements (anywhere):
//   listing NAME ...                   entries of the PCI device directory, in
//                                      order (replaces the list made from the
//                                      functions; may repeat to add more)
//   listing-unreadable                 the PCI device directory cannot be read
//   legacy file=PATH                   content of the legacy video-BIOS window at
//                                      0xC0000 (128K; 0xFF beyond the file)
//   legacy unmappable                  mapping the legacy window fails
//   mapfail FIRST LAST                 mapping any physical range that touches
//                                      FIRST..LAST fails
//   iopl fail                          raising the I/O privilege level fails
//
// Example:
//   function 0000:01:00.0 vendor=0x1002 device=0x6610
//     revision 0x00
//     class 0x030000
//     subsystem 0x1002 0x0b00
//     bar 0 mem64 size=256M base=0xD0000000 prefetch
//     bar 2 mem32 size=256K base=0xFE800000
//     rombar size=128K base=0
//     cap 0x10
//     rom file=board0.rom size=128K
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/SimHardware.h"

class SimBridgePair;

// The machine named by VORBANMILL_SIM_MACHINE, or the demo machine when the
// variable is unset or empty. Null on failure, with the reason in *error.
std::unique_ptr<SimHardware> CreateSimFromEnvironment(std::string* error);

// Reads a machine file; relative paths in it are taken from its directory.
std::unique_ptr<SimHardware> LoadSimMachine(const std::string& path, std::string* error);

// Parses machine-file text. `name` prefixes error messages; `baseDir` is
// where relative paths start.
std::unique_ptr<SimHardware> ParseSimMachine(const std::string& text, const std::string& name,
                                             const std::string& baseDir, std::string* error);

// The built-in demo machine.
std::unique_ptr<SimHardware> CreateDemoMachine();

// --- extending the format ---
// One statement being parsed. Handlers take the words and options they
// understand; anything left over is reported as unexpected.
class SimMachineLine {
public:
    SimMachineLine(const std::string& keyword, const std::vector<std::string>& words);

    const std::string& Keyword() const { return keyword_; }
    // Next positional word (not key=value); false when there is none.
    bool TakeWord(std::string* word);
    // Removes the bare word `word` when present.
    bool TakeFlag(const std::string& word);
    // Value of key=...; false when absent.
    bool TakeOption(const std::string& key, std::string* value);
    // All remaining key=value options in order (for OFF=VALUE lists).
    std::vector<std::pair<std::string, std::string>> TakeAllOptions();
    // The first word or option nobody took, empty when all were used.
    std::string Leftover() const;

private:
    struct Word {
        std::string key;    // empty for a positional word
        std::string value;
        bool used = false;
    };
    std::string keyword_;
    std::vector<Word> words_;
};

// Parses a number as described above; false unless the whole text is a
// number not above `max`.
bool ParseSimNumber(const std::string& text, std::uint64_t max, std::uint64_t* out);
// Splits an option value at `sep` ("A:B:C"); a trailing separator gives an
// empty last part.
std::vector<std::string> SplitSimValue(const std::string& text, char sep);
// Parses "ADDRESS:HIGH:LOW": the bits of one byte stuck at 1 and at 0.
bool ParseSimStuckBits(const std::string& text, std::uint32_t* address, std::uint8_t* high, std::uint8_t* low);
// "unknown KIND part 'NAME' (known: A, B, ...)": a misspelt part name is
// mended from the message alone.
std::string SimUnknownPartMessage(const std::string& kind, const std::string& name,
                                  const std::vector<std::string>& known);

struct SimMachineContext {
    SimHardware* hw = nullptr;
    std::string baseDir;
    SimPciFunction* function = nullptr;  // function being described
    // Storage already loaded, by resolved path, so two statements naming
    // one file share its bytes.
    std::vector<std::shared_ptr<SimStorage>> storages;
    // The last 'adapter' function and its bridge (bridge boards only), for
    // the devices put behind the bridge.
    SimPciFunction* adapterFunction = nullptr;
    std::shared_ptr<SimBridgePair> adapterBridge;

    std::string ResolvePath(const std::string& path) const;
    // Loads (or reuses) the storage of a file.
    std::shared_ptr<SimStorage> Storage(const std::string& path, std::size_t size, std::string* error);
};

using SimKeywordHandler = bool (*)(SimMachineContext& ctx, SimMachineLine& line, std::string* error);

struct SimMachineKeyword {
    const char* name;
    bool needsFunction;  // only valid after a 'function' statement
    SimKeywordHandler handler;
};
