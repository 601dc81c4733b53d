// Parallel (byte-wide) flash visible in the expansion-ROM aperture, driven
// with the JEDEC command sequences. Some boards wire the part's data and
// address lines to the aperture in a permuted order; the line maps then
// translate every command byte, command address and ID byte.
#pragma once

#include <cstdint>

class ProtocolHost;

class CParallel {
public:
    explicit CParallel(ProtocolHost* flash);
    virtual ~CParallel();
    CParallel(const CParallel&) = delete;
    CParallel& operator=(const CParallel&) = delete;

    // Rebuilds the four maps from swizzle.
    virtual void BuildLineMaps();
    // Manufacturer byte | device byte << 8, or 0xFFFFFFFF when no ROM
    // aperture is mapped.
    virtual std::uint32_t ReadId();
    // Count of blank bytes from the start of the ROM. Parts programmed in
    // pages (or erased in sectors) get no erase command, only the check.
    virtual std::uint32_t ChipErase();
    // Rebuilds the maps; 0.
    virtual std::uint32_t Prepare();
    // Bytes written; on a failure the error address names the first byte
    // not written. One retry budget serves the whole call.
    virtual std::uint32_t Write(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    // The part is programming or erasing: its first byte reads differently
    // twice in a row.
    bool IsBusy();
    // Waits for a busy part as long as an erase is waited for; false when
    // it is still busy then.
    bool WaitWhileBusy();
    // Aperture bytes a write covers whole, from an aligned offset: 1 in
    // byte mode, the page on the plain wiring; on the permuted wiring a
    // part page spreads over the aperture, and the block holds it whole.
    // Rebuilds the maps.
    std::uint32_t WriteBlockSize();
    // The length, or 0 when out of range.
    virtual std::uint32_t Read(std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length);

    std::uint8_t dataToPart[256] = {};
    std::uint8_t dataFromPart[256] = {};
    std::uint16_t addressHighMap[256] = {};
    std::uint16_t addressLowMap[256] = {};
    ProtocolHost* flash;
    std::uint32_t swizzle = 0;
    std::uint32_t romSize = 0;
    std::uint32_t pageSize = 0;
    std::uint32_t eraseSize = 0;
    std::uint32_t delay = 0;
    std::uint32_t retryLimit = 0;
    std::uint32_t retryCount = 0;

private:
    // Aperture offset of a command address through the address maps.
    std::uint32_t CommandOffset(std::uint16_t address) const;
    // One command cycle: the mapped byte at the mapped address.
    void CommandCycle(std::uint16_t address, std::uint8_t value);
    // The two unlock cycles followed by `command` at the first unlock address.
    void CommandSequence(std::uint8_t command);
    // ReadId with the maps as they are.
    std::uint32_t ReadIdThroughMaps();
    // Sends the chip-erase sequence and waits until the part answers its ID
    // again; false when it is still busy when the time is up.
    bool EraseChipAndWait();
    // Leading bytes of the ROM that read blank, at most romSize.
    std::uint32_t BlankBytes();
    // Part address an aperture offset reaches through the board's wiring.
    std::uint32_t PartAddress(std::uint32_t offset) const;
    // Byte and page programming; the bytes done, or length on success.
    std::uint32_t WriteBytes(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    std::uint32_t WritePages(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    // Page programming by part pages, `block` aperture bytes at a time.
    std::uint32_t WritePartPages(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length,
                                 std::uint32_t block);
    // Every part page of one block; false when one did not take its bytes.
    bool WriteBlockPages(const std::uint8_t* data, std::uint32_t at, std::uint32_t block);
    // One part page, loaded again while the retry budget lasts.
    bool WritePartPage(const std::uint8_t* data, std::uint32_t at, const std::uint32_t* offsets);
    // Waits, as long as a page write may take, for the part to finish one.
    void WaitWhileWriting();
    // One page load: the program sequence, then data[o] at at + o for the
    // page's offsets o (null: 0 .. pageSize - 1).
    void LoadPage(const std::uint8_t* data, std::uint32_t at, const std::uint32_t* offsets);
    // Leading bytes of the page that read back, compared again until all
    // do or the program time is up.
    std::uint32_t PageReadBack(const std::uint8_t* data, std::uint32_t at, const std::uint32_t* offsets);
    std::uint32_t PageEqualBytes(const std::uint8_t* data, std::uint32_t at, const std::uint32_t* offsets);
    // Leading bytes of data[0, length) that the ROM at offset holds.
    std::uint32_t EqualBytes(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);
    // Bus-delay reads that pace the bytes of a page load.
    void PageLoadPause();
};
