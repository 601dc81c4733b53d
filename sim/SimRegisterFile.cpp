#include "sim/SimRegisterFile.h"

void SimRegisterFile::Attach(std::uint32_t first, std::uint32_t length, std::shared_ptr<SimRegisterHook> hook) {
    if (hook && length) hooks_.push_back(Range{first, length, std::move(hook)});
}

SimRegisterHook* SimRegisterFile::HookFor(std::uint32_t off) const {
    for (auto it = hooks_.rbegin(); it != hooks_.rend(); ++it)
        if (off >= it->first && off - it->first < it->length) return it->hook.get();
    return nullptr;
}

std::uint32_t SimRegisterFile::ReadRegister(std::uint32_t off) {
    off &= ~3u;
    if (SimRegisterHook* h = HookFor(off)) return h->Read(off);
    return Peek(off);
}

void SimRegisterFile::WriteRegister(std::uint32_t off, std::uint32_t value) {
    off &= ~3u;
    if (SimRegisterHook* h = HookFor(off)) {
        h->Write(off, value);
        return;
    }
    Poke(off, value);
}

std::uint32_t SimRegisterFile::Peek(std::uint32_t off) const {
    auto it = values_.find(off & ~3u);
    return it == values_.end() ? 0 : it->second;
}

void SimRegisterFile::Poke(std::uint32_t off, std::uint32_t value) { values_[off & ~3u] = value; }

std::uint32_t SimRegisterFile::Read32(std::uint64_t off) { return ReadRegister(std::uint32_t(off)); }

void SimRegisterFile::Write32(std::uint64_t off, std::uint32_t value) { WriteRegister(std::uint32_t(off), value); }

std::uint8_t SimRegisterFile::Read8(std::uint64_t off) {
    return std::uint8_t(ReadRegister(std::uint32_t(off)) >> (8 * (off & 3)));
}

void SimRegisterFile::Write8(std::uint64_t off, std::uint8_t value) {
    unsigned shift = unsigned(8 * (off & 3));
    std::uint32_t old = ReadRegister(std::uint32_t(off));
    WriteRegister(std::uint32_t(off), (old & ~(0xFFu << shift)) | (std::uint32_t(value) << shift));
}

std::uint8_t SimMemory::Read8(std::uint64_t off) {
    auto it = pages_.find(off / kPage);
    return it == pages_.end() ? 0 : it->second[off % kPage];
}

void SimMemory::Write8(std::uint64_t off, std::uint8_t value) {
    auto& page = pages_[off / kPage];
    if (page.empty()) page.assign(kPage, 0);
    page[off % kPage] = value;
}

std::uint32_t SimMemory::Read32(std::uint64_t off) {
    std::uint32_t v = 0;
    for (unsigned i = 0; i < 4; ++i) v |= std::uint32_t(Read8(off + i)) << (8 * i);
    return v;
}

void SimMemory::Write32(std::uint64_t off, std::uint32_t value) {
    for (unsigned i = 0; i < 4; ++i) Write8(off + i, std::uint8_t(value >> (8 * i)));
}
