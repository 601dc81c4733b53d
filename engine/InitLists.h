// Register lists of a selected chip: the init lists applied while the ROM is
// open and restored at close, the write-enable and write-disable lists, the
// ROM bytes the programming flow carries over, and the registers a detection
// programme saves and restores.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t kInitListMax = 32;
inline constexpr std::uint32_t kPreserveListMax = 32;
inline constexpr std::uint32_t kRegisterSaveMax = 32;

// Opening writes reg := (read & openAnd) | openOr and keeps the value read;
// closing writes reg := (saved & closeAnd) | closeOr, except for entries
// whose close and-mask and close or-value are both 0.
struct InitEntry {
    std::uint32_t reg;
    std::uint32_t saved;
    std::uint32_t openAnd;
    std::uint32_t openOr;
    std::uint32_t closeAnd;
    std::uint32_t closeOr;
};

// A list of at most kInitListMax entries; Append drops what does not fit.
template <typename Entry>
struct BoundedRegisterList {
    std::uint32_t count = 0;
    Entry entries[kInitListMax] = {};

    void Append(const Entry& e) {
        if (count < kInitListMax) entries[count++] = e;
    }
};

using InitList = BoundedRegisterList<InitEntry>;

// reg := (read & andMask) | orValue.
struct WriteEnableEntry {
    std::uint32_t reg;
    std::uint32_t andMask;
    std::uint32_t orValue;
};

using WriteEnableList = BoundedRegisterList<WriteEnableEntry>;

// Written back after the detection programme as (saved & andMask) | orValue.
struct RegisterSaveEntry {
    std::uint32_t reg;
    std::uint32_t andMask;
    std::uint32_t orValue;
    std::uint32_t saved;
};

// True when the close rule leaves the entry alone.
inline bool InitEntrySkippedAtClose(const InitEntry& e) { return e.closeAnd == 0 && e.closeOr == 0; }
