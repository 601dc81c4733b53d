#include "protocols/CParallel.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "protocols/ProtocolHost.h"

namespace {

// Wiring of the swizzled boards: which part line each aperture line drives.
constexpr std::uint8_t kDataLines[8] = {0x01, 0x02, 0x04, 0x10, 0x20, 0x40, 0x80, 0x08};
constexpr std::uint16_t kAddressLines[16] = {0x0002, 0x0004, 0x0008, 0x0010, 0x0020, 0x0040, 0x0080, 0x1000,
                                             0x4000, 0x2000, 0x0001, 0x0100, 0x8000, 0x0400, 0x0800, 0x0200};

// JEDEC command set, in part space.
constexpr std::uint16_t kUnlockAddress1 = 0x5555;
constexpr std::uint16_t kUnlockAddress2 = 0x2AAA;
constexpr std::uint8_t kUnlockByte1 = 0xAA;
constexpr std::uint8_t kUnlockByte2 = 0x55;
constexpr std::uint8_t kEnterIdMode = 0x90;
constexpr std::uint8_t kLeaveIdMode = 0xF0;
constexpr std::uint8_t kEraseSetup = 0x80;
constexpr std::uint8_t kChipErase = 0x10;
constexpr std::uint8_t kProgram = 0xA0;
// ID-mode addresses of the manufacturer and device bytes.
constexpr std::uint16_t kManufacturerAddress = 0;
constexpr std::uint16_t kDeviceAddress = 1;

// Waits, in microseconds unless named otherwise.
constexpr int kIdModeSettle = 10;
constexpr int kEraseSettle = 500;
constexpr int kErasePollPause = 50;
constexpr std::uint32_t kEraseSeconds = 6;
constexpr std::uint32_t kProgramSeconds = 1;
constexpr int kPageComparePause = 1;
// Longer than the byte-load window of the page parts (150 us, 200 us on
// some): a part writes its page only once no byte has come for that long,
// and until then takes every write, the next page's command too, as a byte
// of the page it loads, and reads back as it was.
constexpr int kPageLoadEnd = 300;

constexpr std::uint8_t kBlank = 0xFF;

// Polls until `ready` holds for an erase's wait; a part still busy when it
// ends gets as long again before it is judged.
template <typename Ready>
bool WaitAsAnErase(ProtocolHost* flash, Ready ready) {
    for (int wait = 0; wait < 2; ++wait) {
        flash->StartTimeout(kEraseSeconds);
        for (;;) {
            if (ready()) return true;
            if (flash->IsTimedOut()) break;
            flash->Sleep(kErasePollPause);
        }
    }
    return false;
}

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

std::uint32_t CParallel::CommandOffset(std::uint16_t address) const {
    return std::uint32_t(addressHighMap[address >> 8] | addressLowMap[address & 0xFF]);
}

void CParallel::CommandCycle(std::uint16_t address, std::uint8_t value) {
    flash->WriteRomByte(CommandOffset(address), dataToPart[value]);
}

void CParallel::CommandSequence(std::uint8_t command) {
    CommandCycle(kUnlockAddress1, kUnlockByte1);
    CommandCycle(kUnlockAddress2, kUnlockByte2);
    CommandCycle(kUnlockAddress1, command);
}

std::uint32_t CParallel::ReadId() {
    if (!flash->IsRomMapped()) return 0xFFFFFFFF;
    BuildLineMaps();
    return ReadIdThroughMaps();
}

std::uint32_t CParallel::ReadIdThroughMaps() {
    CommandSequence(kEnterIdMode);
    flash->Sleep(int(delay) + kIdModeSettle);
    const std::uint8_t manufacturer =
        dataFromPart[std::uint8_t(flash->ReadRomByte(CommandOffset(kManufacturerAddress)))];
    const std::uint8_t device = dataFromPart[std::uint8_t(flash->ReadRomByte(CommandOffset(kDeviceAddress)))];
    CommandSequence(kLeaveIdMode);
    flash->Sleep(int(delay) + kIdModeSettle);
    return std::uint32_t(manufacturer) | (std::uint32_t(device) << 8);
}

bool CParallel::EraseChipAndWait() {
    // A busy part answers status bytes instead of its ID.
    const std::uint32_t id = ReadId();
    if (delay != 0) flash->Sleep(int(delay));
    CommandSequence(kEraseSetup);
    CommandSequence(kChipErase);
    flash->Sleep(int(delay) + kEraseSettle);
    // A part that gives no ID answers its array, which the erase changes:
    // it is done when it no longer answers with its status.
    if (WaitAsAnErase(flash, [&] { return ReadIdThroughMaps() == id || !IsBusy(); })) return true;
    flash->Log(1, "bulk erase not completed");
    return false;
}

bool CParallel::IsBusy() {
    // The array reads the same twice. A part at work answers with its
    // status, whose toggle bit changes on every read, on whichever aperture
    // line the board wires it to.
    return flash->ReadRomByte(0) != flash->ReadRomByte(0);
}

bool CParallel::WaitWhileBusy() {
    return WaitAsAnErase(flash, [this] { return !IsBusy(); });
}

std::uint32_t CParallel::BlankBytes() {
    std::uint32_t count = 0;
    while (count < romSize && flash->ReadRomByte(count) == kBlank) ++count;
    return count;
}

std::uint32_t CParallel::ChipErase() {
    if (!flash->IsRomMapped()) {
        flash->SetErrorCode(FLASH_NO_APERTURE);
        return 0;
    }
    BuildLineMaps();
    retryCount = 0;
    std::uint32_t count = 0;
    for (;;) {
        flash->SetErrorCode(FLASH_NOT_ERASED);
        count = 0;
        if (pageSize != 0 || eraseSize != 0 || EraseChipAndWait()) {
            count = BlankBytes();
            if (count >= romSize) {
                flash->SetErrorCode(FLASH_OK);
                return count;
            }
        } else {
            flash->SetErrorCode(FLASH_ERASE_ROM_TIMEOUT);
            // A part still erasing ignores another erase command: a further
            // pass would only wait again.
            ++retryCount;
            return 0;
        }
        ++retryCount;
        if (retryCount > retryLimit) return count;
    }
}

std::uint32_t CParallel::Prepare() {
    BuildLineMaps();
    return 0;
}

std::uint32_t CParallel::Write(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    flash->SetErrorCode(FLASH_VERIFY_ERROR);
    const std::uint32_t block = WriteBlockSize();
    retryCount = 0;
    if (pageSize != 0 && (offset % block != 0 || length % block != 0)) {
        flash->Log(1, "address not aligned to sector boundary\n");
        flash->SetErrorAddress(offset);
        return 0;
    }
    std::uint32_t done = 0;
    if (pageSize == 0) done = WriteBytes(data, offset, length);
    else if (swizzle == 0) done = WritePages(data, offset, length);
    else done = WritePartPages(data, offset, length, block);
    if (done >= length) {
        flash->SetErrorCode(FLASH_OK);
        return done;
    }
    flash->Log(1, "write failed at 0x%05X\n", offset + done);
    flash->SetErrorAddress(offset + done);
    return done;
}

std::uint32_t CParallel::WriteBlockSize() {
    BuildLineMaps();
    if (pageSize == 0) return 1;
    if (swizzle == 0) return pageSize;
    // The aperture lines that drive an address inside a part page: an
    // aligned block spanning all of them holds each part page it touches
    // whole.
    std::uint32_t inPage = 0;
    for (std::uint32_t bit = 1; bit < pageSize && bit <= 0x8000; bit <<= 1)
        inPage |= CommandOffset(std::uint16_t(bit));
    std::uint32_t block = pageSize;
    while (block <= inPage) block <<= 1;
    return block;
}

std::uint32_t CParallel::PartAddress(std::uint32_t offset) const {
    if (swizzle == 0) return offset;
    // Aperture lines above the sixteen wired ones reach the part unchanged.
    std::uint32_t address = offset & ~0xFFFFu;
    for (unsigned j = 0; j < 16; ++j)
        if (offset & (1u << j)) address |= kAddressLines[j];
    return address;
}

std::uint32_t CParallel::WriteBytes(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    std::uint32_t i = 0;
    while (i < length) {
        const std::uint32_t at = offset + i;
        if (flash->ReadRomByte(at) == data[i]) {
            ++i;
            continue;
        }
        CommandSequence(kProgram);
        flash->WriteRomByte(at, data[i]);
        if (delay != 0) flash->Sleep(int(delay));
        flash->StartTimeout(kProgramSeconds);
        bool programmed = flash->ReadRomByte(at) == data[i];
        while (!programmed && !flash->IsTimedOut()) programmed = flash->ReadRomByte(at) == data[i];
        if (programmed) {
            ++i;
            continue;
        }
        ++retryCount;
        if (retryCount > retryLimit) return i;
    }
    return length;
}

void CParallel::PageLoadPause() {
    for (std::uint32_t k = 0; k < delay; ++k) flash->IoDelay();
}

std::uint32_t CParallel::EqualBytes(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    std::uint32_t k = 0;
    while (k < length && flash->ReadRomByte(offset + k) == data[k]) ++k;
    return k;
}

void CParallel::LoadPage(const std::uint8_t* data, std::uint32_t at, const std::uint32_t* offsets) {
    CommandSequence(kProgram);
    PageLoadPause();
    for (std::uint32_t k = 0; k < pageSize; ++k) {
        const std::uint32_t o = offsets ? offsets[k] : k;
        flash->WriteRomByte(at + o, data[o]);
        PageLoadPause();
    }
    flash->Sleep(kPageLoadEnd);
}

std::uint32_t CParallel::PageEqualBytes(const std::uint8_t* data, std::uint32_t at, const std::uint32_t* offsets) {
    if (!offsets) return EqualBytes(data, at, pageSize);
    std::uint32_t k = 0;
    while (k < pageSize && flash->ReadRomByte(at + offsets[k]) == data[offsets[k]]) ++k;
    return k;
}

std::uint32_t CParallel::PageReadBack(const std::uint8_t* data, std::uint32_t at, const std::uint32_t* offsets) {
    flash->StartTimeout(kProgramSeconds);
    std::uint32_t equal = PageEqualBytes(data, at, offsets);
    while (equal < pageSize && !flash->IsTimedOut()) {
        flash->Sleep(kPageComparePause);
        equal = PageEqualBytes(data, at, offsets);
    }
    return equal;
}

std::uint32_t CParallel::WritePages(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
    std::uint32_t i = 0;
    while (i < length) {
        const std::uint32_t at = offset + i;
        LoadPage(data + i, at, nullptr);
        const std::uint32_t equal = PageReadBack(data + i, at, nullptr);
        if (equal >= pageSize) {
            i += pageSize;
            continue;
        }
        ++retryCount;
        if (retryCount > retryLimit) return i + equal;
    }
    return length;
}

std::uint32_t CParallel::WritePartPages(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length,
                                        std::uint32_t block) {
    for (std::uint32_t i = 0; i < length; i += block) {
        // A block short of a part page names its first byte that does not
        // read back.
        if (!WriteBlockPages(data + i, offset + i, block)) return i + EqualBytes(data + i, offset + i, block);
    }
    return length;
}

bool CParallel::WriteBlockPages(const std::uint8_t* data, std::uint32_t at, std::uint32_t block) {
    // The block's offsets in the order of their part addresses: each run of
    // pageSize is one part page.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> byPart(block);
    for (std::uint32_t k = 0; k < block; ++k) byPart[k] = {PartAddress(at + k), k};
    std::sort(byPart.begin(), byPart.end());
    std::vector<std::uint32_t> order(block);
    for (std::uint32_t k = 0; k < block; ++k) order[k] = byPart[k].second;
    bool whole = true;
    for (std::uint32_t page = 0; page < block; page += pageSize) {
        const std::uint32_t* offsets = order.data() + page;
        if (whole) {
            whole = WritePartPage(data, at, offsets);
        } else {
            // Past a page that would not take its bytes the others still
            // get theirs, loaded once each: the block is judged by what it
            // reads back.
            LoadPage(data, at, offsets);
            WaitWhileWriting();
        }
        // A part still at work takes nothing more.
        if (!whole && IsBusy()) break;
    }
    return whole;
}

void CParallel::WaitWhileWriting() {
    flash->StartTimeout(kProgramSeconds);
    while (IsBusy() && !flash->IsTimedOut()) flash->Sleep(kPageComparePause);
}

bool CParallel::WritePartPage(const std::uint8_t* data, std::uint32_t at, const std::uint32_t* offsets) {
    for (;;) {
        LoadPage(data, at, offsets);
        if (PageReadBack(data, at, offsets) >= pageSize) return true;
        ++retryCount;
        if (retryCount > retryLimit) return false;
    }
}

std::uint32_t CParallel::Read(std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length) {
    // Overflow-safe: offset + length must not pass the ROM size.
    if (offset > romSize || length > romSize - offset) return 0;
    flash->ReadRom(offset, buffer, int(length));
    return length;
}
