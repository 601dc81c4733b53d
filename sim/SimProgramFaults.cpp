#include "sim/SimProgramFaults.h"

#include <algorithm>

#include "sim/SimMachineFile.h"

bool SimProgramFaults::Program(const std::vector<std::uint32_t>& cells, std::vector<Extra>* extra) {
    extra->clear();
    if (failNext_ > 0) {
        --failNext_;
        return false;
    }
    const auto loads = [&cells](const AtCell& f) {
        return f.left > 0 && std::find(cells.begin(), cells.end(), f.address) != cells.end();
    };
    bool takes = true;
    for (AtCell& f : at_)
        if (f.bits == 0 && loads(f)) {
            --f.left;
            takes = false;
        }
    if (!takes) return false;
    for (AtCell& f : at_)
        if (f.bits != 0 && loads(f)) {
            --f.left;
            extra->push_back({f.address, f.bits});
        }
    return true;
}

namespace {

// "ADDR", "ADDR:N" (bits false) or "ADDR:BITS", "ADDR:BITS:N" (bits true).
bool ParseAtCell(const std::string& text, bool withBits, std::uint32_t* address, std::uint8_t* bits,
                 unsigned* times) {
    const std::vector<std::string> p = SplitSimValue(text, ':');
    const std::size_t fixed = withBits ? 2 : 1;
    std::uint64_t a = 0, b = 0, n = 1;
    if (p.size() < fixed || p.size() > fixed + 1 || !ParseSimNumber(p[0], 0xFFFFFFFF, &a)) return false;
    if (withBits && (!ParseSimNumber(p[1], 0xFF, &b) || b == 0)) return false;
    if (p.size() > fixed && !ParseSimNumber(p[fixed], 1000000, &n)) return false;
    *address = std::uint32_t(a);
    *bits = std::uint8_t(b);
    *times = unsigned(n);
    return true;
}

}  // namespace

bool TakeSimProgramFaults(SimMachineLine& line, SimProgramFaults* faults, std::string* error) {
    std::string v;
    if (line.TakeOption("fail-programs", &v)) {
        std::uint64_t n = 0;
        if (!ParseSimNumber(v, 1000000, &n)) return SimFail(error, "'fail-programs=' needs a count");
        faults->FailNext(unsigned(n));
    }
    std::uint32_t address = 0;
    std::uint8_t bits = 0;
    unsigned times = 0;
    while (line.TakeOption("fail-program-at", &v)) {
        if (!ParseAtCell(v, false, &address, &bits, &times))
            return SimFail(error, "'fail-program-at=' needs ADDRESS[:COUNT]");
        faults->FailAt(address, times);
    }
    while (line.TakeOption("misprogram-at", &v)) {
        if (!ParseAtCell(v, true, &address, &bits, &times))
            return SimFail(error, "'misprogram-at=' needs ADDRESS:BITS[:COUNT]");
        faults->MisprogramAt(address, bits, times);
    }
    return true;
}
