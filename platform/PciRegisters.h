// Offsets and bits of PCI configuration space, as every layer uses them.
#pragma once

#include <cstdint>

// Configuration-space offsets.
inline constexpr std::uint8_t kPciVendorId = 0x00;
inline constexpr std::uint8_t kPciDeviceId = 0x02;
inline constexpr std::uint8_t kPciCommand = 0x04;
inline constexpr std::uint8_t kPciClassRevision = 0x08;  // revision in bits 0-7, base class in 24-31
inline constexpr std::uint8_t kPciFirstBar = 0x10;
inline constexpr std::uint8_t kPciLastBar = 0x24;
inline constexpr std::uint8_t kPciSubsystem = 0x2C;    // vendor word, then the id word
inline constexpr std::uint8_t kPciSubsystemId = 0x2E;
inline constexpr std::uint8_t kPciRomBar = 0x30;
inline constexpr std::uint8_t kPciCapabilityPointer = 0x34;

// Command register.
inline constexpr std::uint16_t kPciCommandMemory = 0x0002;  // memory space decode

// Base address registers.
inline constexpr std::uint32_t kBarIo = 0x1;             // I/O space, not memory
inline constexpr std::uint32_t kBarTypeMask = 0x6;       // memory BAR location type
inline constexpr std::uint32_t kBarType64 = 0x4;         // 64-bit: the next BAR holds the high half
inline constexpr std::uint32_t kBarPrefetchable = 0x8;
inline constexpr std::uint32_t kBarAddressMask = 0xFFFFFFF0;
inline constexpr std::uint32_t kRomBarEnable = 0x1;
inline constexpr std::uint32_t kRomBarAddressMask = 0xFFFFF800;

// Capability ids.
inline constexpr std::uint8_t kPciCapAgp = 0x02;
inline constexpr std::uint8_t kPciCapPcie = 0x10;
// Entries a capability walk follows before it gives up on a looping list.
inline constexpr int kPciCapabilityWalkLimit = 10;
