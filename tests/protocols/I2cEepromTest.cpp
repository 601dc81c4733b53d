// The I2C EEPROM paths against the simulated buses: the companion-chip
// engine through the whole engine object (built-in table), and the
// bit-banged master on the GPIO bus, whose bus log shows what went over
// the wires.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "protocols/CGenI2C.h"
#include "sim/SimGpioI2c.h"
#include "sim/SimMibI2c.h"
#include "tests/protocols/SpiRig.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// ------------------------------------------------ companion-chip engine

struct MibBoard {
    SimHardware hw;
    ScopedHardware use{hw};
    SimAdapter adapter;
    std::unique_ptr<CFlash> flash;

    explicit MibBoard(SimI2cEepromConfig config = {}) {
        adapter = AddSimAdapter(hw, {0, 3, 0, 0}, "pardel");
        config.busyMicros = kSimMibEepromWriteCycle;
        adapter.eeprom = AttachMibEeprom(adapter.function->Registers(), config, nullptr, &hw.Clocks());
        flash.reset(CreateFlash(nullptr, 0));
        flash->noAperture = 1;
    }
    bool Open() { return flash->SelectDevice(0, 3, 0, 0) == 1 && flash->OpenAccess() == 1; }
    Bytes& Cells() { return adapter.eeprom->Storage().Bytes(); }
};

TEST(MibI2c, EngineWritesPagesThroughTheWriteCycleAndReadsThemBack) {
    MibBoard b;
    ASSERT_TRUE(b.Open());
    EXPECT_EQ(b.flash->flashType, TYPE_MIBI2C);
    EXPECT_EQ(b.flash->romSize, 0x80u);
    Bytes image = Pattern(128, 3);
    EXPECT_EQ(b.flash->Write(0, 128, image.data()), 128u);
    EXPECT_EQ(b.Cells(), image);
    EXPECT_EQ(b.adapter.eeprom->Commits(), 16u);
    // Each page after the first met the EEPROM still busy with the one before.
    EXPECT_GT(b.adapter.eeprom->RefusedAddresses(), 15u);

    Bytes back(128, 0);
    EXPECT_EQ(b.flash->Read(0, 128, back.data()), 128u);
    EXPECT_EQ(back, image);

    // A shorter last page carries only the caller's bytes.
    Bytes twenty = Pattern(20, 4);
    EXPECT_EQ(b.flash->Write(0, 20, twenty.data()), 24u);
    EXPECT_TRUE(std::equal(twenty.begin(), twenty.end(), b.Cells().begin()));
    EXPECT_TRUE(std::equal(image.begin() + 20, image.end(), b.Cells().begin() + 20));

    // A write from an offset lands there (a failed page is written again
    // so); reads start at 0 only.
    EXPECT_EQ(b.flash->Write(8, 8, twenty.data()), 8u);
    EXPECT_EQ(b.flash->Read(8, 8, back.data()), 0u);
    EXPECT_TRUE(std::equal(twenty.begin(), twenty.begin() + 8, b.Cells().begin()));
    EXPECT_TRUE(std::equal(twenty.begin(), twenty.begin() + 8, b.Cells().begin() + 8));
    EXPECT_TRUE(std::equal(twenty.begin() + 16, twenty.end(), b.Cells().begin() + 16));
}

struct MibFault {
    const char* name;
    bool absent;
    bool busyForever;
    std::uint32_t written;  // count the engine's write returns
    std::uint32_t read;
};

TEST(MibI2c, FaultsEndInFailureCounts) {
    const MibFault kFaults[] = {
        {"absent", true, false, 0, 0},
        // The first page goes in, then the device never answers again: not
        // even the read-back of that page.
        {"busy-forever", false, true, 0, 0},
    };
    for (const MibFault& f : kFaults) {
        SimI2cEepromConfig c;
        c.absent = f.absent;
        c.busyForever = f.busyForever;
        MibBoard b(c);
        ASSERT_TRUE(b.Open()) << f.name;
        Bytes image = Pattern(64, 5);
        EXPECT_EQ(b.flash->Write(0, 64, image.data()), f.written) << f.name;
        Bytes back(64, 0);
        EXPECT_EQ(b.flash->Read(0, 64, back.data()), f.read) << f.name;
        EXPECT_EQ(back, Bytes(64, 0xFF)) << f.name;
    }
}

// ------------------------------------------------ bit-banged master

struct GpioBoard {
    SimHardware hw;
    ScopedHardware use{hw};
    SimAdapter adapter;
    std::unique_ptr<SpiTestFlash> flash;
    std::shared_ptr<SimGpioI2c> bus;
    std::shared_ptr<SimI2cEeprom> eeprom;
    std::unique_ptr<CGenI2C> i2c;

    explicit GpioBoard(const SimGpioI2cWiring& w = {}, SimI2cEepromConfig c = {}) {
        adapter = AddSimAdapter(hw, {0, 3, 0, 0}, "quor");
        bus = SimGpioI2c::Attach(adapter.function->Registers(), w);
        eeprom = std::make_shared<SimI2cEeprom>(c, nullptr, &hw.Clocks());
        eeprom->Storage().Bytes() = Pattern(c.size, 9);
        bus->Bus().AddSlave(eeprom);
        flash = std::make_unique<SpiTestFlash>();
        flash->Map(*adapter.function);
        i2c = std::make_unique<CGenI2C>(flash.get());
        auto line = [](const SimGpioLine& l) { return GpioLine{l.reg, std::uint32_t(l.bit) | (l.inverted ? 32u : 0u)}; };
        i2c->sclOut = line(w.sclOut);
        i2c->sdaOut = line(w.sdaOut);
        i2c->sclIn = line(w.sclIn);
        i2c->sdaIn = line(w.sdaIn);
        // An EEPROM's headers: [A0, address], and for reads a repeated start, [A1].
        i2c->writeHeader[0] = 0xA0;
        i2c->readHeader[0] = 0xA0;
        i2c->readHeader[2] = 0xA1;
        i2c->writePage = 8;
        i2c->readPage = 0x100;
        bus->Bus().ClearLog();
    }
    std::string Log() const { return bus->Bus().LogText(); }
};

SimGpioI2cWiring Inverted() {
    SimGpioI2cWiring w;
    w.sclOut = {0x1798, 4, true};
    w.sdaOut = {0x1798, 5, true};
    w.sclIn = {0x1798, 4, true};
    w.sdaIn = {0x1798, 5, true};
    return w;
}

TEST(GenI2c, ReadAndChunkedWriteOnTheWire) {
    for (const SimGpioI2cWiring& w : {SimGpioI2cWiring{}, Inverted()}) {
        SimI2cEepromConfig c;
        c.size = 256;
        GpioBoard b(w, c);
        const Bytes before = b.eeprom->Storage().Bytes();
        Bytes two(2, 0);
        EXPECT_EQ(b.i2c->Read(two.data(), 0, 2, 0), 2u);
        EXPECT_EQ(two, Bytes(before.begin(), before.begin() + 2));
        char expect[64];
        std::snprintf(expect, sizeof expect, "S A0+ 00+ S A1+ <%02X+ <%02X- P", before[0], before[1]);
        EXPECT_EQ(b.Log(), expect);

        b.bus->Bus().ClearLog();
        Bytes data = Pattern(20, 1);
        EXPECT_EQ(b.i2c->Write(data.data(), 4, 20, 1), 20u);
        Bytes after = before;
        std::copy(data.begin(), data.end(), after.begin() + 4);
        EXPECT_EQ(b.eeprom->Storage().Bytes(), after);
        // Chunks of 4, 8 and 8 bytes, each compared straight after.
        const std::string log = b.Log();
        for (const char* head : {"S A0+ 04+", "S A0+ 08+", "S A0+ 10+"}) {
            const std::size_t at = log.find(head);
            ASSERT_NE(at, std::string::npos) << head << "\n" << log;
            const std::size_t stop = log.find(" P", at);
            const std::size_t bytes = (stop - at - std::string(head).size()) / 4;
            EXPECT_EQ(bytes, std::string(head) == "S A0+ 04+" ? 4u : 8u) << log;
        }
        EXPECT_NE(log.find("S A0+ 04+ S A1+"), std::string::npos) << log;

        // A master page larger than the part's 8 bytes: the address rolls
        // over within the page, never into the next one.
        b.i2c->writePage = 16;
        const Bytes unaligned = b.eeprom->Storage().Bytes();
        EXPECT_EQ(b.i2c->Write(data.data(), 0x24, 8, 0), 8u);
        Bytes wrapped = unaligned;
        std::copy(data.begin(), data.begin() + 4, wrapped.begin() + 0x24);
        std::copy(data.begin() + 4, data.begin() + 8, wrapped.begin() + 0x20);
        EXPECT_EQ(b.eeprom->Storage().Bytes(), wrapped);

        // A misaligned write never touches the bus.
        b.i2c->writeAlign = 8;
        b.hw.AccessLog().Enable();
        EXPECT_EQ(b.i2c->Write(data.data(), 4, 8, 1), 0u);
        EXPECT_EQ(b.hw.AccessLog().Count(SimAccessKind::RegisterWrite), 0u);
    }
}

TEST(GenI2c, BusFaultsEndWithinSimulatedTime) {
    struct Case {
        const char* name;
        SimGpioI2cFaults faults;
        bool absent;
        std::uint32_t expect;   // bytes read of 16
        const char* logStart;
        bool stopped;           // the stop made it onto the bus
    };
    SimGpioI2cFaults held;
    held.sdaHeldPulses = 4;
    SimGpioI2cFaults clockLow;
    clockLow.sclLowAfterBytes = 6;  // header (3) and three data bytes
    SimGpioI2cFaults stretch;
    stretch.stretchReads = 5;
    const Case kCases[] = {
        {"absent", {}, true, 0, "S A0- P", true},
        {"data held low, then clocked free", held, false, 16, "S A0+ 00+ S A1+", true},
        // Held after the third byte read: the master's stop cannot get out.
        {"clock held low", clockLow, false, 3, "S A0+ 00+ S A1+", false},
        {"clock stretched", stretch, false, 16, "S A0+ 00+ S A1+", true},
    };
    for (const Case& c : kCases) {
        SimI2cEepromConfig e;
        e.absent = c.absent;
        GpioBoard b({}, e);
        b.bus->SetFaults(c.faults);
        Bytes buf(16, 0);
        const std::uint64_t t0 = b.hw.Clocks().CpuMicros();
        EXPECT_EQ(b.i2c->Read(buf.data(), 0, 16, 0), c.expect) << c.name;
        EXPECT_EQ(b.Log().rfind(c.logStart, 0), 0u) << c.name << ": " << b.Log();
        EXPECT_EQ(b.Log().substr(b.Log().size() - 1) == "P", c.stopped) << c.name;
        // Two clock edges may wait out their second, no more.
        EXPECT_LT(b.hw.Clocks().CpuMicros() - t0, 2'500'000u) << c.name;
    }
}

}  // namespace
