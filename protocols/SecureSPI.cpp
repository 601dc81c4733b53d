#include "protocols/SecureSPI.h"

#include <cstdio>
#include <cstring>

#include "platform/Bytes.h"
#include "protocols/ProtocolHost.h"

namespace {

// Firmware mailbox in the register aperture.
constexpr std::uint32_t kMailboxArgument = 0x290;
constexpr std::uint32_t kMailboxMessage = 0x250;
constexpr std::uint32_t kMailboxResponse = 0x254;
// Behind the indirect pair.
constexpr std::uint32_t kFirmwareState = 0x3F800;
constexpr std::uint32_t kFirmwareVerdict = 0x3FC54;
constexpr std::uint32_t kWriteFuse = 0xC0600128;

constexpr std::uint32_t kModeClear = 0xF3FFFFFF;
constexpr std::uint32_t kModeSet = 0x04000000;

// The firmware checks the image against its last bytes, which travel on a
// page of their own.
constexpr int kTrailerBytes = 20;
constexpr std::uint32_t kPageEntryBytes = 12;

struct MailboxStage {
    std::uint32_t message;
    std::uint64_t limitUs;
    const char* timeoutLine;
};
constexpr MailboxStage kSetHigh{0x258, 1000000, "Wait for SMC response set mem hi bytes time out"};
constexpr MailboxStage kSetLow{0x259, 1000000, "Wait for SMC response set mem lo bytes time out"};
constexpr MailboxStage kFlash{0x25A, 40000000, "Wait for SMC response  flash bios time out"};

void StoreAddress(std::uint8_t* p, std::uint64_t phys) {
    StoreLe32(p, std::uint32_t(phys >> 32));
    StoreLe32(p + 4, std::uint32_t(phys));
}

// The request's shared pages: locked while the firmware may read them,
// unlocked and freed when the scope ends.
class RequestPages {
public:
    RequestPages(ProtocolHost& host, std::uint64_t bytes) : host_(host), bytes_(bytes) {
        base_ = static_cast<std::uint8_t*>(host.AllocSharedMemory(bytes));
        if (base_ && !host.LockSharedMemory(base_, bytes)) {
            host.Log(1, "      shared memory not locked\n");
            host.FreeSharedMemory(base_, bytes);
            base_ = nullptr;
            allocatedButUnlocked_ = true;
        }
    }
    ~RequestPages() {
        if (!base_) return;
        host_.UnlockSharedMemory(base_, bytes_);
        host_.FreeSharedMemory(base_, bytes_);
    }
    RequestPages(const RequestPages&) = delete;
    RequestPages& operator=(const RequestPages&) = delete;

    std::uint8_t* Base() const { return base_; }
    bool LockFailed() const { return allocatedButUnlocked_; }

private:
    ProtocolHost& host_;
    std::uint64_t bytes_;
    std::uint8_t* base_ = nullptr;
    bool allocatedButUnlocked_ = false;
};

}  // namespace

SecureSPI::SecureSPI(ProtocolHost* owner) : CQuorSPI(owner) {
    UseIndirectControllerRegisters();
    maxReadBurst = kRomControllerDataBytes;
    maxWriteBurst = kRomControllerDataBytes;
    SetLines(19, 0, 10, 9, 8);
    // Made while the first engine is built, before any device is mapped, so
    // these writes reach nothing.
    if (flash) {
        flash->SetIndirectRegisterPair(kIndirectIndex, kIndirectData);
        flash->WriteIndirectRegister(ROM_AUX_CNTL, flash->ReadIndirectRegister(ROM_AUX_CNTL) | 2);
    }
}

SecureSPI::~SecureSPI() = default;

std::uint32_t SecureSPI::Transfer(std::uint32_t cmdLen, const std::uint8_t* cmd, std::uint32_t txLen,
                                  const std::uint8_t* tx, std::uint32_t rxLen, std::uint8_t* rx,
                                  std::int16_t verify) {
    if (forceBitbangTransfer == 1) return CGenSPI::Transfer(cmdLen, cmd, txLen, tx, rxLen, rx, verify);
    static const FrameStyle kStyle{kPadMask, kModeClear, kModeSet, nullptr};
    return ControllerTransfer(kStyle, cmdLen, cmd, txLen, tx, rxLen, rx, verify);
}

int SecureSPI::IsWriteAllowed() {
    // Which fuse bit would allow direct writes is not known: never allowed.
    flash->ReadIndirectRegister(kWriteFuse);
    std::printf("efuse bit is cut\n");
    return 0;
}

int SecureSPI::IsSmuFirmwareRunning() { return int(flash->ReadIndirectRegister(kFirmwareState) & 1); }

int SecureSPI::FlashThroughSmu(const std::uint8_t* image, int length) {
    if (!IsSmuFirmwareRunning()) {
        std::printf("SMU FW is not runnng, please use zindrel to load it before flashing bios\n");
        return 0;
    }
    WriteController(ROM_SW_STATUS, 0);
    if (ReadController(ROM_SW_STATUS) != 0) {
        flash->Log(1, "      ROM_SW_STATUS not cleared\n");
        return 0;
    }
    // The firmware takes the part's commands from the request: without a
    // part there is nothing to tell it.
    if (!part) return 0;
    SendCommand(SPI_WREN, 0, 0, nullptr, 0, nullptr, 0);
    if (!Shows(ReadStatusByte(), part->wel)) return 0;

    int r = 0;
    {
        PadHandOver pads(*this, kPadMask);
        const std::uint32_t savedCntl = ReadController(ROM_CNTL);
        WriteController(ROM_CNTL, (savedCntl & kModeClear) | kModeSet);
        r = SmuFlashImage(image, length);
        std::printf("\n smu resp is %d\n", r);
        WriteController(ROM_CNTL, savedCntl);
    }
    ReadController(ROM_CNTL);
    return r;
}

// Page counts of a request for an image of `length` bytes.
struct SecureSPI::RequestGeometry {
    std::uint64_t page = 0;    // system page size
    std::uint32_t body = 0;    // image bytes before the trailer
    std::uint64_t pages = 0;   // pages the body takes
    std::uint64_t Total() const { return (4 + pages) * page; }
};

int SecureSPI::SmuFlashImage(const std::uint8_t* image, int length) {
    if (flash->ReadRegister(kMailboxResponse) == 0) {
        std::printf("SMU FW is not ready for message hanlding\n");
        return 0;
    }
    // Without the trailer or the part's commands there is no request.
    if (!image || length <= kTrailerBytes || !part) return 0;
    RequestGeometry g;
    if (!PlanRequest(length, &g)) return 0;

    RequestPages pages(*flash, g.Total());
    std::uint8_t* base = pages.Base();
    if (!base) {
        if (!pages.LockFailed()) std::printf("\nAllocate shared memory\n");
        return 0;
    }
    std::uint64_t headerPhys = 0;
    if (!FillRequest(image, g, base, &headerPhys)) {
        std::printf("\nMap physical address fail\n");
        return 0;
    }
    if (!PostRequest(headerPhys, g.body)) return 0;
    const int r = int(flash->ReadRegister(kMailboxResponse));
    if (flash->ReadIndirectRegister(kFirmwareVerdict) == 1) return r;
    std::printf("authentication fail!\n");
    return 2;
}

// The page list must fit one page.
bool SecureSPI::PlanRequest(int length, RequestGeometry* g) {
    const long pageSize = flash->GetPageSize();
    if (pageSize <= 0) return false;
    g->page = std::uint64_t(pageSize);
    g->body = std::uint32_t(length - kTrailerBytes);
    g->pages = g->body / g->page + (g->body % g->page ? 1 : 0);
    if (kPageEntryBytes * g->pages > g->page) {
        std::printf("\nCan not store all address info in one single page\n");
        return false;
    }
    return true;
}

// Pages: header, the part's commands, the page list, the image body, the
// trailer. False when a page has no physical address.
bool SecureSPI::FillRequest(const std::uint8_t* image, const RequestGeometry& g, std::uint8_t* base,
                            std::uint64_t* headerPhys) {
    const std::uint64_t P = g.page;
    std::memset(base, 0, g.Total());
    std::uint8_t* header = base;
    std::uint8_t* params = base + P;
    std::uint8_t* list = base + 2 * P;
    std::uint8_t* data = base + 3 * P;
    std::uint8_t* trailer = base + (3 + g.pages) * P;
    FillPartParams(params);
    std::memcpy(data, image, g.body);
    std::memcpy(trailer, image + g.body, kTrailerBytes);

    // A page the kernel cannot place would send the firmware to address 0:
    // every lookup must succeed.
    bool mapped = true;
    auto phys = [&](std::uint8_t* p) {
        const std::uint64_t a = flash->GetPhysicalAddress(p);
        if (a == 0) mapped = false;
        return a;
    };
    for (std::uint64_t i = 0; i < g.pages; ++i) {
        std::uint8_t* entry = list + kPageEntryBytes * i;
        StoreAddress(entry, phys(data + i * P));
        StoreLe32(entry + 8, i + 1 < g.pages ? std::uint32_t(P) : std::uint32_t(g.body - (g.pages - 1) * P));
    }
    StoreLe32(header + 0, 1);
    StoreLe32(header + 4, 2);
    StoreLe16(header + 8, 12);
    StoreLe16(header + 10, 2);
    StoreAddress(header + 12, phys(list));
    StoreAddress(header + 20, phys(trailer));
    StoreLe32(header + 28, std::uint32_t(g.pages));
    StoreLe16(header + 36, 36);
    StoreLe16(header + 38, 3);
    StoreAddress(header + 40, phys(params));
    *headerPhys = phys(header);
    return mapped;
}

// The part's commands and status pairs, which the firmware uses itself.
void SecureSPI::FillPartParams(std::uint8_t* params) const {
    params[0] = part->commands[SPI_CHIP_ERASE].opcode;
    params[1] = part->commands[SPI_RDSR].opcode;
    params[2] = part->commands[SPI_WREN].opcode;
    params[3] = part->commands[SPI_PAGE_PROGRAM].opcode;
    params[4] = part->busy.mask;
    params[5] = part->busy.value;
    params[6] = part->wel.mask;
    params[7] = part->wel.value;
    StoreLe16(params + 8, std::uint16_t(part->pageSize));
}

// The request's address, then the flash message; each waits for its answer.
bool SecureSPI::PostRequest(std::uint64_t headerPhys, std::uint32_t body) {
    const struct {
        const MailboxStage& stage;
        std::uint32_t argument;
    } messages[] = {{kSetHigh, std::uint32_t(headerPhys >> 32)},
                    {kSetLow, std::uint32_t(headerPhys)},
                    {kFlash, body}};
    for (const auto& m : messages) {
        // A response left from the previous message would end the wait at once.
        flash->WriteRegister(kMailboxResponse, 0);
        flash->WriteRegister(kMailboxArgument, m.argument);
        flash->WriteRegister(kMailboxMessage, m.stage.message);
        const std::uint64_t until = flash->StartTimeoutMicros(m.stage.limitUs);
        while (flash->ReadRegister(kMailboxResponse) == 0) {
            if (flash->IsTimedOut(until)) {
                std::printf("%s\n", m.stage.timeoutLine);
                return false;
            }
        }
    }
    return true;
}

void SecureSPI::ReverseBytes32(std::uint32_t& value) {
    value = (value >> 24) | ((value >> 8) & 0xFF00) | ((value << 8) & 0xFF0000) | (value << 24);
}

void SecureSPI::SwapHalves32(std::uint32_t& value) { value = (value >> 16) | (value << 16); }
