#include "protocols/CParallel.h"

namespace {

// Wiring of the swizzled boards: which part line each aperture line drives.
constexpr std::uint8_t kDataLines[8] = {0x01, 0x02, 0x04, 0x10, 0x20, 0x40, 0x80, 0x08};
constexpr std::uint16_t kAddressLines[16] = {0x0002, 0x0004, 0x0008, 0x0010, 0x0020, 0x0040, 0x0080, 0x1000,
                                             0x4000, 0x2000, 0x0001, 0x0100, 0x8000, 0x0400, 0x0800, 0x0200};

}  // namespace

CParallel::CParallel(ProtocolHost* owner) : flash(owner) { BuildLineMaps(); }

CParallel::~CParallel() = default;

void CParallel::BuildLineMaps() {
    for (unsigned v = 0; v < 256; ++v) {
        if (swizzle == 0) {
            dataToPart[v] = std::uint8_t(v);
            dataFromPart[v] = std::uint8_t(v);
            addressHighMap[v] = std::uint16_t(v << 8);
            addressLowMap[v] = std::uint16_t(v);
            continue;
        }
        std::uint8_t toPart = 0;
        std::uint8_t fromPart = 0;
        for (unsigned i = 0; i < 8; ++i) {
            if (v & kDataLines[i]) toPart = std::uint8_t(toPart | (1u << i));
            if (v & (1u << i)) fromPart = std::uint8_t(fromPart | kDataLines[i]);
        }
        dataToPart[v] = toPart;
        dataFromPart[v] = fromPart;
        std::uint16_t high = 0;
        std::uint16_t low = 0;
        for (unsigned j = 0; j < 16; ++j) {
            if ((v << 8) & kAddressLines[j]) high = std::uint16_t(high | (1u << j));
            if (v & kAddressLines[j]) low = std::uint16_t(low | (1u << j));
        }
        addressHighMap[v] = high;
        addressLowMap[v] = low;
    }
}

// The transfer operations arrive with the parallel-flash protocol; until
// then they report that nothing was done.
std::uint32_t CParallel::ReadId() { return 0xFFFFFFFF; }

std::uint32_t CParallel::ChipErase() { return 0; }

std::uint32_t CParallel::Prepare() {
    BuildLineMaps();
    return 0;
}

std::uint32_t CParallel::Write(const std::uint8_t*, std::uint32_t, std::uint32_t) { return 0; }

std::uint32_t CParallel::Read(std::uint8_t*, std::uint32_t, std::uint32_t) { return 0; }
