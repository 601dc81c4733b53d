#include "protocols/CSiI1930.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "protocols/CGenI2C.h"
#include "protocols/ProtocolHost.h"

namespace {

constexpr std::uint32_t kImageBytes = 0x20000;
constexpr std::uint32_t kFinishOffset = 0x4000;

constexpr std::uint32_t kRegVersionHigh = 0x1D;
constexpr std::uint32_t kRegVersionLow = 0x1E;
constexpr std::uint32_t kRegPacket = 0x40;
constexpr std::uint32_t kRegStatus = 0x49;
constexpr std::uint32_t kRegEraseLow = 0x4A;
constexpr std::uint32_t kRegEraseHigh = 0x4B;
constexpr std::uint32_t kRegChecksumRange = 0x50;
constexpr std::uint32_t kRegChecksum = 0x54;

constexpr std::uint8_t kStatusDone = 4;
constexpr std::uint8_t kStatusBusy = 0xFF;
constexpr std::uint8_t kCmdErase = 0x81;
constexpr std::uint8_t kCmdChecksum = 0x82;
constexpr std::uint8_t kCmdFinish = 7;

constexpr std::uint32_t kEraseSectors = 255;
constexpr std::uint32_t kSectorBytes = 128;
constexpr std::uint32_t kErasePolls = 40;
constexpr std::uint32_t kFirstSends = 4;
constexpr std::uint32_t kRetrySends = 14;
constexpr std::uint32_t kFinishPolls = 700;

constexpr std::uint8_t kCmdProgram = 0x0B;
constexpr std::uint32_t kPacketDataBytes = 8;
constexpr std::uint32_t kFinishFailed = 0xFFFF;

// GPU registers borrowed while the video BIOS is read for the pins.
constexpr std::uint32_t kMiscControl = 0x1C0;
constexpr std::uint32_t kMiscKeepMask = 0x00FFFFFF;
constexpr std::uint32_t kMiscRomAccess = 0x0C000000;
constexpr std::uint32_t kPadRomLines = 0x700;  // bits 8-10 of set A's enables
constexpr std::uint32_t kStrapControl = 0x8;
constexpr std::uint32_t kStrapStatus = 0xC;
constexpr std::uint32_t kStrapFieldMask = 0x3F;
constexpr std::uint32_t kStrapFieldValue = 0x33;
constexpr std::uint32_t kStrapSetABit = 3;
constexpr std::uint32_t kRomProbeIndex = 0xA8;
constexpr std::uint32_t kRomProbeData = 0xAC;
// Pins up to this number are in set A.
constexpr std::uint32_t kHighestSetAPin = 17;

// Pauses, in microseconds.
constexpr int kResetPulseUs = 8;
constexpr int kProgramModeUs = 35;
constexpr int kPacketSettleUs = 10;
constexpr int kFinishPollUs = 500;
constexpr int kRestartHoldUs = 1000;
constexpr int kRestartLowUs = 50;
constexpr int kRestartSettleUs = 8000;

using PinRegisters = CSiI1930::PinRegisters;
constexpr PinRegisters kSetA{0x198, 0x19C, 0x1A0};
constexpr PinRegisters kSetB{0xC54, 0xC58, 0xC5C};

std::uint16_t Word(const std::uint8_t* p, std::uint32_t at) {
    return std::uint16_t(p[at] | (p[at + 1] << 8));
}

}  // namespace

CSiI1930::CSiI1930(ProtocolHost* owner, CGenI2C* i2c) : flash(owner), bus(i2c) {}

CSiI1930::~CSiI1930() = default;

// Offsets are u16 bases plus small steps, so every read stays inside the
// 128 KiB image buffer.
int CSiI1930::LoadGpioPins(const std::uint8_t* image) {
    if (image[0] != 0x55 || image[1] != 0xAA) return 0;
    const std::uint32_t h = Word(image, 0x48);
    if (std::memcmp(image + h + 4, "VELK", 4) != 0) return 0;
    const std::uint32_t m = Word(image, h + 0x20);
    const std::uint32_t t = Word(image, m + 0x30);
    const std::uint32_t list = Word(image, t + 0x0A);
    const std::uint32_t count = image[list];
    std::uint32_t e = 0;
    bool found = false;
    for (std::uint32_t i = 0; i < count && !found; ++i) {
        const std::uint32_t record = list + 8 * i;
        if (image[record + 4] == 0x11 && image[record + 5] == 0x21) {
            e = Word(image, record + 8);
            found = true;
        }
    }
    if (!found) return 0;
    found = false;
    std::uint32_t idA = 0, idB = 0;
    for (std::uint32_t j = 0; j < count && !found; ++j) {
        const std::uint32_t entry = e + 4 * j;
        if (image[entry] == 9) {
            idA = image[entry + 4];
            idB = image[entry + 6];
            found = true;
        }
    }
    if (!found) return 0;
    const std::uint32_t d = Word(image, m + 0x1C);
    if (resetPin == -1) resetPin = image[d + 2 + 4 * idA];
    if (programPin == -1) programPin = image[d + 2 + 4 * idB];
    return 1;
}

std::int32_t CSiI1930::MapGpioId(std::int32_t id) {
    switch (id) {
    case 18: return 1;
    case 19: return 0;
    case 20: return 5;
    case 21: return 4;
    case 22: return 2;
    case 23: return 3;
    case 24: return 16;
    case 25: return 18;
    case 26: return 17;
    default: break;
    }
    if (id >= 27 && id <= 34) return id - 19;
    return id;
}

std::uint16_t CSiI1930::ReadFirmwareVersion() {
    std::uint8_t high = 0, low = 0;
    if (bus->Read(&high, kRegVersionHigh, 1, 0) == 0) return 0;
    if (bus->Read(&low, kRegVersionLow, 1, 0) == 0) return 0;
    return std::uint16_t((high << 8) | low);
}

// A failed read leaves the status cleared, so it never passes for done.
bool CSiI1930::ReadStatus(std::uint8_t* status, std::uint32_t* result) {
    *status = 0;
    const std::uint32_t r = bus->Read(status, kRegStatus, 1, 0);
    if (result) *result = r;
    if (r == 0) *status = 0;
    return r != 0;
}

int CSiI1930::EraseAll() {
    std::printf("\nBegin Erasing\n");
    for (std::uint32_t i = 0; i < kEraseSectors; ++i) {
        const std::uint32_t a = kSectorBytes * i;
        const std::uint8_t low = std::uint8_t(a), high = std::uint8_t(a >> 8), cmd = kCmdErase;
        if (bus->Write(&low, kRegEraseLow, 1, 0) == 0) return 0;
        flash->Delay(0);
        if (bus->Write(&high, kRegEraseHigh, 1, 0) == 0) return 0;
        flash->Delay(0);
        if (bus->Write(&cmd, kRegStatus, 1, 0) == 0) return 0;
        flash->Delay(0);
        std::uint8_t status = 0;
        for (std::uint32_t poll = 1; poll <= kErasePolls; ++poll) {
            status = 0;
            flash->Sleep(5);
            ReadStatus(&status, nullptr);
            std::printf("\rSII1930 SST ROM Sector Retry %d [R_VAL %X]\n", int(poll), unsigned(status));
            std::fflush(stdout);
            if (status == kStatusDone) break;
        }
        std::uint32_t result = 0;
        if (!ReadStatus(&status, &result) || status != kStatusDone) {
            std::printf("\nSII1930 SST ROM Sector %d  - unable to erase (Ret Val #%x Result=%x)\n", int(i),
                        unsigned(status), unsigned(result));
            return 0;
        }
        std::printf("\rSII1930 SST ROM Sector %d of %d - Erased (Ret Val #%X Result=%X)", int(i),
                    int(kEraseSectors), unsigned(kStatusDone), unsigned(result));
        std::fflush(stdout);
    }
    return 1;
}

// Where the pins came from, and what picks their register set.
struct CSiI1930::PinSource {
    bool given = false;      // both pins set before the call
    bool romFound = false;   // the video BIOS came from the ROM aperture
    bool strapSetA = false;  // the strap bit that selects set A
};

// The register set driving the pins for one call, with what it held before.
struct CSiI1930::PinDrive {
    PinRegisters set;
    std::uint32_t resetMask = 0;
    std::uint32_t programMask = 0;
    std::uint32_t savedFirst = 0;
    std::uint32_t savedThird = 0;
};

std::uint32_t CSiI1930::Program(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    // Only -1 means unset; any other negative pin is unset too rather than
    // a shift by a negative count.
    if (resetPin < 0) resetPin = -1;
    if (programPin < 0) programPin = -1;
    PinSource source;
    if (!FindPins(&source)) return 0;
    const PinDrive drive = DrivePins(ChoosePinSet(source));
    PulseReset(drive);

    const std::uint8_t zero = 0;
    bus->Write(&zero, kRegVersionLow, 1, 0);
    firmwareVersion = ReadFirmwareVersion();
    if (identifyOnly == 1) {
        identifyOnly = 0;
        return firmwareVersion;
    }

    SetLevel(drive, Level(drive) & ~drive.programMask);
    flash->Sleep(kProgramModeUs);
    if (offset >= kFinishOffset) return Finish(drive, length);
    // The device is erased only for the first chunk; a failed erase stops
    // here so that nothing is written over old contents.
    if (offset == 0 && EraseAll() == 0) {
        Release(drive);
        return 0;
    }
    const std::uint32_t done = SendPackets(data, offset, length);
    Release(drive);
    return done;
}

// Lends the GPU's ROM lines to the ROM read while the pins are looked up,
// then gives them back.
bool CSiI1930::FindPins(PinSource* source) {
    const std::uint32_t savedFirst = flash->ReadRegister(kSetA.first);
    const std::uint32_t savedThird = flash->ReadRegister(kSetA.third);
    const std::uint32_t savedMisc = flash->ReadRegister(kMiscControl);
    flash->WriteRegister(kMiscControl, (savedMisc & kMiscKeepMask) | kMiscRomAccess);
    flash->WriteRegister(kSetA.first, savedFirst & ~kPadRomLines);
    flash->WriteRegister(kSetA.third, savedThird & ~kPadRomLines);
    flash->WriteRegister(kStrapControl, (flash->ReadRegister(kStrapStatus) & ~kStrapFieldMask) | kStrapFieldValue);
    source->strapSetA = ((flash->ReadRegister(kStrapStatus) >> kStrapSetABit) & 1) != 0;
    source->given = resetPin != -1 && programPin != -1;
    source->romFound = source->given;
    const bool found = source->given || ReadPinsFromVideoBios(&source->romFound);
    flash->WriteRegister(kSetA.first, savedFirst);
    flash->WriteRegister(kSetA.third, savedThird);
    flash->WriteRegister(kMiscControl, savedMisc);
    return found;
}

// The ROM aperture when the probe sees a ROM signature, else the legacy
// video BIOS area.
bool CSiI1930::ReadPinsFromVideoBios(bool* romFound) {
    std::vector<std::uint8_t> image(kImageBytes, 0);
    flash->WriteRegister(kRomProbeIndex, 0);
    const std::uint32_t first = flash->ReadRegister(kRomProbeData) & 0xFF;
    const std::uint32_t second = flash->ReadRegister(kRomProbeData) & 0xFF;
    *romFound = first == 0x55 && second == 0xAA;
    if (*romFound) {
        flash->ReadRom(0, image.data(), int(kImageBytes));
    } else {
        flash->ReadLegacyRom(0, image.data(), int(kImageBytes));
    }
    return LoadGpioPins(image.data()) != 0;
}

PinRegisters CSiI1930::ChoosePinSet(const PinSource& source) {
    const std::uint32_t reset = std::uint32_t(resetPin), program = std::uint32_t(programPin);
    if (source.given) return source.strapSetA ? kSetA : kSetB;
    if (reset <= kHighestSetAPin) return kSetA;
    if (program <= kHighestSetAPin) return source.romFound && source.strapSetA ? kSetA : kSetB;
    // Both ids name the second bank: map them to its pins.
    resetPin = MapGpioId(resetPin);
    programPin = MapGpioId(programPin);
    return kSetB;
}

CSiI1930::PinDrive CSiI1930::DrivePins(const PinRegisters& set) {
    PinDrive d;
    d.set = set;
    d.resetMask = 1u << (std::uint32_t(resetPin) & 31);
    d.programMask = 1u << (std::uint32_t(programPin) & 31);
    d.savedFirst = flash->ReadRegister(set.first);
    d.savedThird = flash->ReadRegister(set.third);
    const std::uint32_t both = d.resetMask | d.programMask;
    std::printf("Result %X\n", unsigned(d.savedFirst | both));
    flash->WriteRegister(set.first, d.savedFirst | both);
    std::printf("Result %X\n", unsigned(d.savedThird | both));
    flash->WriteRegister(set.third, d.savedThird | both);
    return d;
}

std::uint32_t CSiI1930::Level(const PinDrive& d) { return flash->ReadRegister(d.set.level); }

void CSiI1930::SetLevel(const PinDrive& d, std::uint32_t value) { flash->WriteRegister(d.set.level, value); }

// The loader answers only after the reset line went low and high again.
void CSiI1930::PulseReset(const PinDrive& d) {
    const std::uint32_t l = Level(d);
    std::printf("Result %X %X %X\n", unsigned(l), unsigned(~d.resetMask), unsigned(l & ~d.resetMask));
    SetLevel(d, l & ~d.resetMask);
    flash->Sleep(kResetPulseUs);
    flash->Sleep(kResetPulseUs);
    const std::uint32_t high = Level(d) | d.resetMask;
    SetLevel(d, high);
    std::printf("Result %X\n", unsigned(high));
    flash->Sleep(kResetPulseUs);
}

// Program line released and the pin registers as they were.
void CSiI1930::Release(const PinDrive& d) {
    SetLevel(d, Level(d) | d.programMask);
    RestorePins(d);
}

void CSiI1930::RestorePins(const PinDrive& d) {
    flash->WriteRegister(d.set.first, d.savedFirst);
    flash->WriteRegister(d.set.third, d.savedThird);
}

// The finishing command starts the new firmware: out of program mode and
// through a reset. Only a device that reports the command done has taken it.
std::uint32_t CSiI1930::Finish(const PinDrive& d, std::uint32_t length) {
    packet[9] = kCmdFinish;
    if (bus->Write(packet, kRegPacket, kSiI1930PacketSize, 0) == 0) {
        Release(d);
        return kFinishFailed;
    }
    flash->IoDelay();
    for (std::uint32_t poll = 0; poll < kFinishPolls; ++poll) {
        flash->Sleep(kFinishPollUs);
        std::uint8_t status = 0;
        if (!ReadStatus(&status, nullptr) || status == kStatusBusy) continue;
        if (status != kStatusDone) break;  // refused
        SetLevel(d, Level(d) | d.programMask);
        flash->Sleep(kRestartHoldUs);
        SetLevel(d, Level(d) & ~d.resetMask);
        flash->Sleep(kRestartLowUs);
        SetLevel(d, Level(d) | d.resetMask);
        flash->Sleep(kRestartSettleUs);
        RestorePins(d);
        return length;
    }
    Release(d);
    return kFinishFailed;
}

std::uint32_t CSiI1930::SendPackets(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    std::uint32_t done = 0;
    while (done < length) {
        const std::uint32_t n = std::min<std::uint32_t>(length - done, kPacketDataBytes);
        const std::uint32_t address = offset + done;
        // Data bytes past n keep what the previous packet left.
        for (std::uint32_t i = 0; i < n; ++i) packet[i] = data[address + i];
        packet[8] = 0;
        packet[9] = std::uint8_t(((n & 7) << 4) | kCmdProgram);
        packet[10] = std::uint8_t(address);
        packet[11] = std::uint8_t(address >> 8);
        packet[12] = 0;
        packet[13] = 0;
        if (!SendPacket() || !ConfirmPacket()) break;
        done += n;
        std::printf("\r Bytes Written %d", int(done));
    }
    return done;
}

bool CSiI1930::SendPacket() {
    for (attempt = 1; attempt <= kFirstSends; ++attempt) {
        if (bus->Write(packet, kRegPacket, kSiI1930PacketSize, 0) != 0) return true;
        flash->Sleep(int(attempt * 5000 + 10));
    }
    return false;
}

// A packet the device has not reported done is sent again, with longer
// pauses each time.
bool CSiI1930::ConfirmPacket() {
    flash->IoDelay();
    flash->Sleep(kPacketSettleUs);
    std::uint8_t status = 0;
    std::uint32_t result = 0;
    ReadStatus(&status, &result);
    if (status == kStatusDone) return true;
    for (attempt = 1; attempt <= kRetrySends; ++attempt) {
        status = 0;
        result = bus->Write(packet, kRegPacket, kSiI1930PacketSize, 0);
        if (result != 0) {
            flash->Sleep(int(attempt * 50 + 10));
            ReadStatus(&status, &result);
        }
        if (status == kStatusDone) break;
    }
    ++failedPackets;
    if (status == kStatusDone) return true;
    std::printf("\nWriting Failed. Result = %X Tempbuff =%X. Rertry=%X\n", unsigned(result), unsigned(status),
                unsigned(attempt));
    return false;
}

std::uint32_t CSiI1930::Compare(const std::uint8_t*, std::uint32_t, std::uint32_t) { return 0; }

std::uint32_t CSiI1930::Adler32(const std::uint8_t* data, std::uint32_t length) {
    constexpr std::uint32_t kMod = 65521;
    std::uint32_t a = 1, b = 0;
    for (std::uint32_t i = 0; i < length; ++i) {
        a = (a + data[i]) % kMod;
        b = (b + a) % kMod;
    }
    return (b << 16) + a;
}

std::uint32_t CSiI1930::DeviceChecksum(std::uint32_t start, std::uint32_t length) {
    const std::uint32_t end = start + length - 1;
    const std::uint8_t range[4] = {std::uint8_t(start), std::uint8_t((start + kFinishOffset) >> 8), std::uint8_t(end),
                                   std::uint8_t((end + kFinishOffset) >> 8)};
    if (bus->Write(range, kRegChecksumRange, 4, 0) == 0) return 0;
    flash->Sleep(20);
    const std::uint8_t cmd = kCmdChecksum;
    if (bus->Write(&cmd, kRegStatus, 1, 0) == 0) return 0;
    flash->Sleep(int(((length >> 10) + 1) * 1800));
    std::uint8_t status = 0;
    if (!ReadStatus(&status, nullptr) || status != kStatusDone) return 0;
    std::uint8_t sum[4] = {};
    if (bus->Read(sum, kRegChecksum, 4, 0) == 0) return 0;
    return std::uint32_t(sum[0]) | (std::uint32_t(sum[1]) << 8) | (std::uint32_t(sum[2]) << 16) |
           (std::uint32_t(sum[3]) << 24);
}
