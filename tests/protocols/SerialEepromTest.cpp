// The serial-EEPROM controller through the real engine on simulated boards:
// the bridge boards of the built-in table (one per strap), a board with the
// controller in its own registers (text table), erase/write/read with the
// part's contents checked, the controller registers left as found, and the
// injected faults ending in their error codes on the simulated clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "engine/CFlash.h"
#include "platform/HardwareBackend.h"
#include "sim/SimAdapters.h"
#include "sim/SimHardware.h"
#include "sim/SimSeprom.h"
#include "support/TestSupport.h"
#include "tests/protocols/SpiRig.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A direct board: the controller in the register aperture of a family-1
// chip that only this table knows.
const char kDirectTable[] =
    "format 1.0\n"
    "type_table(1)\n"
    "type_table_entry(0, 0, \"M25P10/C\", type_vosk_stm25p, 20000, 1, 1)\n"
    "asic(\"Vosk Board\", tev_halm, 1, 0, 0, 0, 0)\n"
    "det_pcicmp(2, ffff, 7B00, 7B00, det_pass)\n"
    "end\n";

struct Rig {
    SimHardware hw;
    ScopedHardware scope{hw};
    SimAdapter adapter;
    SimSepromBoard board;
    vmtest::TempDir dir;
    std::unique_ptr<CFlash> flash;

    // strap 0: the direct board of kDirectTable.
    Rig(std::uint32_t strap, const std::string& part = "", std::uint8_t status = 0, bool absent = false,
        bool trace = false) {
        SimAdapterOptions ao;
        ao.bridgeStrap = strap;
        if (strap == 0) ao.device = 0x7B00;
        adapter = AddSimAdapter(hw, {0, 1, 0, 0}, strap ? "nerrow" : "quor", ao);
        SimSepromOptions so;
        so.part = part;
        board = AttachSeprom(hw, adapter, so, absent);
        if (board.part) {
            board.part->SetStatus(status);
            board.part->Storage().Bytes() = Pattern(board.part->Storage().Size(), strap + 3);
        }
        FILE* table = nullptr;
        if (strap == 0) {
            table = std::tmpfile();
            std::fputs(kDirectTable, table);
            std::rewind(table);
        }
        flash.reset(CreateFlash(table, 0));
        if (table) std::fclose(table);
        flash->SetLogFile(dir.File("trace.log").c_str());
        if (trace) flash->SetLogLevel(1);
    }
    bool Open() { return flash->SelectDevice(0, 1, 0, 0) == 1 && flash->OpenAccess() == 1; }
    Bytes& Contents() { return board.part->Storage().Bytes(); }
    std::string Trace() const { return vmtest::ReadFile(dir.File("trace.log")); }
    std::uint32_t Index() const { return adapter.bridge ? adapter.bridge->IndexValue() : 0xA4; }
};

struct Kind {
    const char* name;
    std::uint32_t strap;
    const char* part;
    std::uint32_t size;
    std::uint8_t status;  // power-up status of the part
};

// The three straps of the bridge boards, SST forced onto a bridge board,
// and the direct controller.
const Kind kKinds[] = {
    {"at25f", 1, "AT25F1024", 0x20000, 0x00},
    {"m25p05", 2, "M25P05", 0x10000, 0x00},
    {"m25p10", 3, "M25P10", 0x20000, 0x00},
    {"sst", 3, "SST25VF512", 0x10000, 0x0C},
    {"sst_bp1_only", 3, "SST25VF512", 0x10000, 0x08},
    {"direct", 0, "M25P10", 0x20000, 0x00},
};

void PrintTo(const Kind& k, std::ostream* os) { *os << k.name; }

class SerialEeprom : public ::testing::TestWithParam<Kind> {};

TEST_P(SerialEeprom, ErasesWritesAndReadsLeavingTheControllerAsFound) {
    const Kind& k = GetParam();
    Rig r(k.strap, k.part, k.status);
    ASSERT_TRUE(r.board.part);
    ASSERT_TRUE(r.Open()) << r.Trace();
    if (std::string(k.name).rfind("sst", 0) == 0) {
        // What "-sst" makes of a bridge board.
        r.flash->flashType = TYPE_VOSK_SST;
        r.flash->sectorSize = 0;
        r.flash->romSize = k.size;
    }
    ASSERT_EQ(r.flash->romSize, k.size);
    SimSepromController& c = *r.board.controller;

    EXPECT_EQ(r.flash->BulkErase(), k.size) << r.Trace();
    EXPECT_TRUE(std::all_of(r.Contents().begin(), r.Contents().end(), [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(r.board.part->Status() & 0x0C, 0) << "protection cleared by the SST erase";

    // An image that ends inside a page: nothing past its end is programmed.
    const Bytes image = Pattern(0x1F0 + 0x1000 + 0x30, 7);
    ASSERT_EQ(r.flash->Write(0x1F0, std::uint32_t(image.size() - 0x1F0), image.data() + 0x1F0),
              image.size() - 0x1F0)
        << r.Trace();
    EXPECT_TRUE(std::equal(image.begin() + 0x1F0, image.end(), r.Contents().begin() + 0x1F0));
    EXPECT_EQ(r.Contents()[image.size()], 0xFF);
    EXPECT_EQ(r.Contents()[0x1EF], 0xFF);

    Bytes back(0x1000);
    ASSERT_EQ(r.flash->Read(0x200, 0x1000, back.data()), 0x1000u);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), image.begin() + 0x200));

    EXPECT_EQ(r.board.part->Status() & 0x03, 0) << "latch reset after the write";
    // Bit 10 and the other board bits survive; the bridge index is parked.
    EXPECT_EQ(c.Cntl1(), SimSepromController::kPowerUpCntl1);
    EXPECT_EQ(c.Cntl2(), SimSepromController::kPowerUpCntl2);
    EXPECT_EQ(r.Index(), 0xA4u);
    if (r.adapter.bridge) {
        EXPECT_EQ(r.flash->CloseAccess(), 1);
        EXPECT_EQ(r.adapter.bridge->Bridge().Peek(0x30) & 0x80, 0u) << "bridge writes disabled again";
    }
}

INSTANTIATE_TEST_SUITE_P(Boards, SerialEeprom, ::testing::ValuesIn(kKinds),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SerialEepromProtection, TopSectorRuleAndReadWindow) {
    struct Case {
        std::uint32_t strap;
        std::uint8_t status;
        std::uint32_t erased;   // what BulkErase returns
        bool topKept;           // the protected top quarter keeps its bytes
    };
    const Case cases[] = {
        {0, 0x04, 0x20000, true},   // BP 1: sectors 0-2 erased, success
        {0, 0x08, 0, true},         // BP 2: nothing erased
        {0, 0x0C, 0, true},
        {3, 0x04, 0x20000, true},   // same rule through the bridge
    };
    for (const Case& c : cases) {
        Rig r(c.strap, "M25P10", c.status);
        const Bytes before = r.Contents();
        ASSERT_TRUE(r.Open());
        testing::internal::CaptureStdout();
        EXPECT_EQ(r.flash->BulkErase(), c.erased) << int(c.status);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(std::equal(before.begin() + 0x18000, before.end(), r.Contents().begin() + 0x18000), c.topKept);
        const bool lowErased = std::all_of(r.Contents().begin(), r.Contents().begin() + 0x18000,
                                           [](std::uint8_t b) { return b == 0xFF; });
        EXPECT_EQ(lowErased, c.erased != 0) << int(c.status);

        // 32 bytes across 0x18000: the protected top reads as the part
        // holds it, on both controllers.
        Bytes got(32);
        ASSERT_EQ(r.flash->Read(0x18000 - 16, 32, got.data()), 32u);
        for (std::size_t i = 0; i < 32; ++i) EXPECT_EQ(got[i], r.Contents()[0x18000 - 16 + i]) << i;
    }
}

TEST(SerialEepromFaults, EndInTheirCodesOnTheSimulatedClock) {
    struct Case {
        const char* name;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {"controller-stuck", 5, "timeout polling ASIC idle after write enable\n"},
        {"erase-never-ends", 3, "timeout polling ROM idle after bulk erase\n"},
        {"stuck-bit", 13, "write error at 0x1234, wr[00000000], rd[00000001]\n"},
        // Nothing drives the status: it reads 0xFF, busy.
        {"absent", 6, "timeout polling ROM idle after write enable\n"},
    };
    for (const Case& c : cases) {
        const std::string name = c.name;
        Rig r(0, "M25P10", 0, name == "absent", true);
        ASSERT_TRUE(r.Open()) << name;
        // One attempt, except where the retry is the point.
        r.flash->retry = name == "stuck-bit" ? 1 : 0;
        if (name == "controller-stuck") r.board.controller->FailBusyForever(true);
        if (name == "erase-never-ends") r.board.part->FailBusyNeverClears(true);
        if (name == "stuck-bit") r.board.part->AddStuckBits(0x1234, 0x01, 0);
        testing::internal::CaptureStdout();
        if (name == "stuck-bit") {
            ASSERT_EQ(r.flash->BulkErase(), 0x20000u);
            const Bytes zeros(0x2000, 0);
            // Retry 1: the second attempt at the same chunk fails too.
            EXPECT_EQ(r.flash->Write(0, 0x2000, zeros.data()), 0x1234u);
            EXPECT_EQ(r.flash->errorAddress, 0x1234u);
            EXPECT_EQ(r.flash->errorRead, 0x01u);
            EXPECT_EQ(r.flash->retried, 2u);
        } else if (name == "absent") {
            const Bytes some(0x100, 0);
            EXPECT_EQ(r.flash->Write(0, 0x100, some.data()), 0u);
        } else {
            EXPECT_EQ(r.flash->BulkErase(), 0u) << name;
        }
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(r.flash->errorCode, c.code) << name;
        EXPECT_NE(r.Trace().find(c.message), std::string::npos) << name << "\n" << r.Trace().substr(0, 3000);
        // Erase waits are 10 s, all others 1 s, each at most twice.
        EXPECT_LT(r.hw.Clocks().CpuMicros(), 25'000'000u) << name;
    }
}

}  // namespace

namespace {

TEST(SerialEepromStatus, WritesReachThePartUnlessItsPinHoldsTheLock) {
    const struct {
        std::uint8_t before;
        bool wp;
        std::uint8_t value;
        std::uint8_t after;  // the part's status register afterwards
    } kCases[] = {
        {0x00, false, 0x84, 0x84},
        {0x00, false, 0x00, 0x00},
        // Only the protection bits are writable; bit 1 asks for the latch.
        {0x00, false, 0xFF, 0x8E},
        {0x84, true, 0x00, 0x84},
        {0x80, false, 0x00, 0x00},
    };
    for (const auto& c : kCases) {
        Rig r(1, "", c.before);
        r.board.part->SetWriteProtectPin(c.wp);
        ASSERT_TRUE(r.Open());
        EXPECT_EQ(r.flash->WriteStatus(c.value), 1u);
        EXPECT_EQ(r.board.part->Status(), c.after) << int(c.value);
        EXPECT_EQ(r.flash->ReadStatus(), c.after);
        EXPECT_EQ(r.board.controller->Cntl1(), SimSepromController::kPowerUpCntl1);
        EXPECT_EQ(r.Index(), 0xA4u);
    }
}

}  // namespace
