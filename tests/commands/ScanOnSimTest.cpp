// The adapter scan and the read operations through the real engine on a
// simulated SPI board: re-read counts on the wire, an unstable part, and
// every access closed again.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "commands/CFlashCmd.h"
#include "engine/CFlash.h"
#include "platform/HardwareBackend.h"
#include "sim/SimAdapters.h"
#include "sim/SimHardware.h"
#include "sim/SimRomController.h"
#include "sim/SimSpiBoard.h"
#include "sim/SimSpiFlash.h"
#include "support/RomImageBuilder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kRead = 0x03;

// A part whose data output is disturbed during the k-th read frame.
class FlakySlave : public SimSpiSlave {
public:
    FlakySlave(std::shared_ptr<SimSpiFlash> flash, unsigned flipOnRead) : flash_(std::move(flash)), flip_(flipOnRead) {}
    void Select() override {
        flash_->Select();
        bytes_ = 0;
        isRead_ = false;
    }
    std::uint8_t NextOutByte() override {
        std::uint8_t b = flash_->NextOutByte();
        // After the opcode and three address bytes come the data bytes.
        if (isRead_ && bytes_ >= 4 && reads_ == flip_) b ^= 0x10;
        return b;
    }
    void InByte(std::uint8_t b) override {
        if (bytes_ == 0 && b == kRead) {
            isRead_ = true;
            ++reads_;
        }
        ++bytes_;
        flash_->InByte(b);
    }
    void Deselect() override { flash_->Deselect(); }
    unsigned ReadFrames() const { return reads_; }

private:
    std::shared_ptr<SimSpiFlash> flash_;
    unsigned flip_;
    unsigned bytes_ = 0;
    bool isRead_ = false;
    unsigned reads_ = 0;
};

Bytes Image(std::size_t size) {
    Bytes rom = vmtest::RomImageBuilder().Build();
    rom.resize(size, 0xFF);
    return rom;
}

// A board of the base hardware-SPI generation wired to a FlakySlave.
std::shared_ptr<FlakySlave> AddFlakyBoard(SimHardware& hw, std::uint8_t bus, const Bytes& content, unsigned flip) {
    const SimSpiBoardInfo& info = SimSpiBoardInfoOf(SimSpiBoardKind::Gethra);
    SimAdapter adapter = AddSimAdapter(hw, {0, bus, 0, 0}, info.adapter);
    EXPECT_TRUE(adapter.function);
    const SimSpiPartModel& part = *FindSimSpiPart("M25P10");
    auto storage = std::make_shared<SimStorage>(part.size);
    storage->SetInitial(content);
    auto flash = std::make_shared<SimSpiFlash>(part, storage, &hw.Clocks());
    auto slave = std::make_shared<FlakySlave>(flash, flip);
    SimRomController::Attach(*adapter.function, *info.layout, slave);
    return slave;
}

struct ScanResult {
    unsigned status;
    unsigned readFrames;
    std::string partNumber;
};

ScanResult ScanFlaky(unsigned flip) {
    SimHardware hw;
    std::shared_ptr<FlakySlave> part = AddFlakyBoard(hw, 1, Image(0x20000), flip);
    ScopedHardware use(hw);
    CFlashCmd cmd(nullptr, 0);
    cmd.engine->noAperture = 1;  // as before every command
    EXPECT_EQ(cmd.EnumerateAdapters(0xFFFF, 0xFF, 16, 0, 1), 1u);
    EXPECT_EQ(cmd.GetAdapterRomInfo(0).romSize, 0x20000u);
    EXPECT_EQ(cmd.engine->accessOpen, 0);
    return {cmd.adapters[0].romStatus, part->ReadFrames(), cmd.adapters[0].partNumber};
}

TEST(ScanOnSim, RereadsAndUnstableParts) {
    // The start of the ROM is read once and then three times more.
    ScanResult stable = ScanFlaky(0);
    EXPECT_EQ(stable.status, unsigned(CMD_OK));
    EXPECT_EQ(stable.partNumber, "113-TEST01-100");
    ASSERT_EQ(stable.readFrames % 4, 0u);
    const unsigned perRead = stable.readFrames / 4;
    ASSERT_GT(perRead, 0u);

    struct Case {
        unsigned flip;  // read frame that comes back altered
        unsigned status;
        unsigned readFrames;
    };
    const Case cases[] = {
        {1, CMD_FAILED, 2 * perRead},               // the reference read itself
        {2 * perRead + 1, CMD_FAILED, 3 * perRead},  // the second re-read stops the check
        {4 * perRead, CMD_FAILED, 4 * perRead},      // the last frame of the last re-read
    };
    for (const Case& c : cases) {
        ScanResult r = ScanFlaky(c.flip);
        EXPECT_EQ(r.status, c.status) << c.flip;
        EXPECT_EQ(r.readFrames, c.readFrames) << c.flip;
        EXPECT_EQ(r.partNumber, "") << c.flip;
    }
}

TEST(ScanOnSim, TestRomReadCatchesAnUnstablePart) {
    for (unsigned flip : {0u, 40u}) {
        SimHardware hw;
        AddFlakyBoard(hw, 1, Image(0x20000), flip);
        ScopedHardware use(hw);
        CFlashCmd cmd(nullptr, 0);
        cmd.engine->noAperture = 1;  // as before every command
        EXPECT_EQ(cmd.TestRomRead(0), flip ? CMD_FAILED : CMD_OK);
    }
}

}  // namespace

namespace {

// An M25P10 board with the given status and write-protect pin, and a
// command layer on it.
struct StatusBoard {
    SimHardware hw;
    SimSpiBoard board;
    std::unique_ptr<ScopedHardware> use;
    std::unique_ptr<CFlashCmd> cmd;
    StatusBoard(std::uint8_t status, bool wpPin) {
        SimSpiBoardOptions o;
        o.part = "M25P10";
        board = AddSpiBoard(hw, {0, 1, 0, 0}, SimSpiBoardKind::Gethra, o);
        EXPECT_TRUE(board.function);
        board.flash->SetStatus(status);
        board.flash->SetWriteProtectPin(wpPin);
        use = std::make_unique<ScopedHardware>(hw);
        cmd = std::make_unique<CFlashCmd>(nullptr, 0);
        cmd->engine->noAperture = 1;
    }
    ~StatusBoard() {
        cmd.reset();  // closes access on the simulated machine
        use.reset();
    }
    std::uint8_t Status() const { return board.flash->Status() & 0xFC; }
};

// Status-register operations against the modelled part, with its
// write-protect pin.
TEST(ScanOnSim, StatusRegisterAndLocks) {
    struct Case {
        std::uint8_t status;
        bool wpPin;
        int result;
        std::uint8_t shown;
    };
    const Case cases[] = {
        {0x80, true, CMD_SW_PROTECT_FAIL, 0x80},
        {0x84, true, CMD_OK, 0x84},
        {0x84, false, CMD_HW_PROTECT_FAIL, 0x00},
    };
    for (const Case& c : cases) {
        StatusBoard b(c.status, c.wpPin);
        std::uint8_t shown = 0xEE;
        EXPECT_EQ(b.cmd->CheckLock(0, &shown), c.result) << int(c.status) << c.wpPin;
        EXPECT_EQ(shown, c.shown) << int(c.status) << c.wpPin;
        // The register is given its old value back.
        EXPECT_EQ(b.Status(), c.status) << int(c.status) << c.wpPin;
        EXPECT_EQ(b.cmd->engine->accessOpen, 0);
    }

    SimHardware hw;
    SimSpiBoardOptions o;
    o.part = "M25P10";
    SimSpiBoard board = AddSpiBoard(hw, {0, 1, 0, 0}, SimSpiBoardKind::Gethra, o);
    ScopedHardware use(hw);
    CFlashCmd cmd(nullptr, 0);
    cmd.engine->noAperture = 1;
    std::uint8_t s = 0;
    EXPECT_EQ(cmd.WriteStatus(0, 0x8C), CMD_OK);
    EXPECT_EQ(cmd.ReadStatus(0, &s), CMD_OK);
    EXPECT_EQ(s, 0x8C);
    EXPECT_EQ(cmd.UnlockRom(0), CMD_OK);
    EXPECT_EQ(board.flash->Status() & 0xFC, 0x00);
    EXPECT_EQ(cmd.LockHdcp(0), CMD_OK);
    EXPECT_EQ(board.flash->Status() & 0xFC, 0x84);
    // This part keeps only the lock bit and two protect bits of 0xFC.
    EXPECT_EQ(cmd.LockRom(0), CMD_OK);
    EXPECT_EQ(board.flash->Status() & 0xFC, 0x8C);
    EXPECT_EQ(cmd.LockRom(1), CMD_NO_ADAPTER);
}

// With the write-protect pin holding a locked register, every status write
// is refused by the part: the commands must say so, and the register and
// the lock check show the old value.
TEST(ScanOnSim, StatusWritesRefusedByTheWriteProtectPinFail) {
    enum Op { Write00, Write84, LockHdcp, UnlockRom };
    struct Case {
        const char* name;
        std::uint8_t status;
        Op op;
        int checkLock;
    };
    const Case cases[] = {
        {"ws 0 00", 0x84, Write00, CMD_OK},
        {"ws 0 84", 0x8C, Write84, CMD_SW_PROTECT_FAIL},
        {"lockhdcp", 0x8C, LockHdcp, CMD_SW_PROTECT_FAIL},
        {"unlockrom", 0x84, UnlockRom, CMD_OK},
    };
    for (const Case& c : cases) {
        StatusBoard b(c.status, true);
        CFlashCmd& cmd = *b.cmd;
        const int r = c.op == Write00    ? cmd.WriteStatus(0, 0x00)
                      : c.op == Write84  ? cmd.WriteStatus(0, 0x84)
                      : c.op == LockHdcp ? cmd.LockHdcp(0)
                                         : cmd.UnlockRom(0);
        EXPECT_EQ(r, CMD_FAILED) << c.name;
        EXPECT_EQ(cmd.engine->accessOpen, 0) << c.name;
        EXPECT_EQ(b.Status(), c.status) << c.name;
        std::uint8_t shown = 0;
        EXPECT_EQ(cmd.CheckLock(0, &shown), c.checkLock) << c.name;
        EXPECT_EQ(shown, c.status) << c.name;
    }
}

}  // namespace
