// Faults of a memory part's program operation, seen from the device: an
// operation that does not take (its cells keep what they held, the part
// still runs its busy cycle), and a marginal cell that an operation
// over-programs (bits cleared beyond the data, which only an erase, or an
// EEPROM's rewrite of the byte, sets again). A program operation is one
// page program, byte program or EEPROM page write; its cells are the part
// addresses it loads.
//
// Machine-file options (spiboard, spiflash, seprom, parallelflash,
// i2ceeprom):
//   fail-programs=N               the next N program operations change nothing
//   fail-program-at=ADDR[:N]      the first N (default 1) program operations
//                                 that load the cell at ADDR change nothing
//   misprogram-at=ADDR:BITS[:N]   the first N (default 1) program operations
//                                 that load the cell at ADDR also clear BITS
//                                 there
// The last two may repeat.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class SimMachineLine;

class SimProgramFaults {
public:
    struct Extra {
        std::uint32_t address;
        std::uint8_t bits;  // cleared beyond the data
    };

    void FailNext(unsigned n) { failNext_ = n; }
    void FailAt(std::uint32_t address, unsigned times) { at_.push_back({address, 0, times}); }
    void MisprogramAt(std::uint32_t address, std::uint8_t bits, unsigned times) {
        at_.push_back({address, bits, times});
    }

    // One program operation loading `cells`: false when it changes nothing,
    // else *extra lists the bits it clears beyond the data.
    bool Program(const std::vector<std::uint32_t>& cells, std::vector<Extra>* extra);

private:
    struct AtCell {
        std::uint32_t address;
        std::uint8_t bits;  // 0: the operation does not take
        unsigned left;
    };
    unsigned failNext_ = 0;
    std::vector<AtCell> at_;
};

// Takes the options above from a machine-file line.
bool TakeSimProgramFaults(SimMachineLine& line, SimProgramFaults* faults, std::string* error);
