// The engine's writes and reads of a GPIO I2C EEPROM board (text type
// table): chunked page writes with compare-verify, each after the
// EEPROM's write cycle, which the master waits out by polling its address.
#include <gtest/gtest.h>

#include "engine/EngineRig.h"
#include "sim/SimGpioI2c.h"

namespace {

using enginetest::EngineRig;
using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t n, unsigned seed) {
    Bytes v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = std::uint8_t(i * 53 + seed);
    return v;
}

TEST(GpioI2cEngine, WritesVerifiedPagesAndReadsThemBack) {
    struct Case {
        const char* name;
        std::uint64_t busyMicros;
        std::uint32_t busyPolls;  // address attempts refused after each page
        bool busyForever;
        std::uint32_t written;
    };
    const Case kCases[] = {
        {"no write cycle", 0, 0, false, 0x100},
        {"write cycle", kSimI2cEepromWriteCycle, 3, false, 0x100},
        // The polling gives up: nothing counts as written.
        {"stuck busy", kSimI2cEepromWriteCycle, 0, true, 0},
    };
    for (const Case& c : kCases) {
        EngineRig rig;
        SimAdapterOptions o;
        o.device = 0x4152;
        SimAdapter a = rig.Add(1, "quor", o);
        auto bus = SimGpioI2c::Attach(a.function->Registers(), {});
        SimI2cEepromConfig ec;
        ec.size = 256;
        ec.page = 8;
        ec.busyMicros = c.busyMicros;
        ec.busyPolls = c.busyPolls;
        ec.busyForever = c.busyForever;
        auto eeprom = std::make_shared<SimI2cEeprom>(ec, nullptr, &rig.hw.Clocks());
        const Bytes old = Pattern(256, 1);
        eeprom->Storage().Bytes() = old;
        bus->Bus().AddSlave(eeprom);

        CFlash& e = rig.Build(vmtest::ReadFile(VM_SOURCE_DIR "/tests/engine/fixtures/gpio_i2c_board.rom"));
        ASSERT_EQ(rig.Select(1), 1) << c.name;
        ASSERT_EQ(e.OpenAccess(), 1) << c.name;
        ASSERT_EQ(e.flashType, TYPE_SI2C) << c.name;
        ASSERT_EQ(e.romSize, 0x100u) << c.name;

        Bytes back(256, 0);
        EXPECT_EQ(e.Read(0, 256, back.data()), 256u) << c.name;
        EXPECT_EQ(back, old) << c.name;

        const Bytes image = Pattern(256, 7);
        EXPECT_EQ(e.Write(0, 256, image.data()), c.written) << c.name;
        if (c.written == 256) {
            EXPECT_EQ(eeprom->Storage().Bytes(), image) << c.name;
            EXPECT_EQ(eeprom->Commits(), 32u) << c.name;
            EXPECT_EQ(e.Read(0, 256, back.data()), 256u) << c.name;
            EXPECT_EQ(back, image) << c.name;
        } else {
            // The first page went in before the verify failed.
            EXPECT_EQ(eeprom->Commits(), 1u) << c.name;
        }
        e.CloseAccess();
    }
}

}  // namespace
