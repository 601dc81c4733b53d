// The SiI1930 updater driven by direct engine calls on a simulated device
// behind GPIO I2C (text type table): version, erase and data packets,
// device checksum, finishing command, and devices that never finish.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "engine/EngineRig.h"
#include "engine/SiI1930Bios.h"
#include "engine/SharedProtocolObjects.h"
#include "protocols/CSiI1930.h"
#include "sim/SimGpioI2c.h"
#include "sim/SimSiI1930.h"

namespace {

using enginetest::EngineRig;
using Bytes = std::vector<std::uint8_t>;

Bytes Firmware(std::size_t n) {
    Bytes v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = std::uint8_t(i * 37 + 11);
    return v;
}

struct Board {
    EngineRig rig;
    std::shared_ptr<SimSiI1930> device;
    CFlash* e = nullptr;

    // S is bit 3 of register 0xC, which picks the pin register set when
    // both pins come from the command line.
    Board(const SimSiI1930Config& c, std::uint32_t s) {
        SimAdapterOptions o;
        o.device = 0x4162;
        SimAdapter a = rig.Add(1, "quor", o);
        a.function->Registers().Poke(0xC, s << 3);
        auto bus = SimGpioI2c::Attach(a.function->Registers(), {});
        device = SimSiI1930::Attach(a.function->Registers(), c);
        bus->Bus().AddSlave(device);
        e = &rig.Build(vmtest::ReadFile(VM_SOURCE_DIR "/tests/engine/fixtures/sii1930_board.rom"));
        e->siiResetPin = std::int32_t(c.resetBit);
        e->siiProgramPin = std::int32_t(c.programBit);
    }
    // The device answers only after the reset pulse, so detection is told
    // to select it without an answer.
    bool Open() {
        e->forceSelectOnI2cFail = 1;
        return rig.Select(1) == 1 && e->OpenAccess() == 1 && e->flashType == TYPE_SII1930;
    }
    CSiI1930& Sii() { return *SharedProtocols().sii1930; }
};

TEST(SiI1930Engine, Adler32KnownAnswers) {
    CSiI1930 sii(nullptr, nullptr);
    const struct {
        const char* text;
        std::uint32_t sum;
    } kCases[] = {{"", 1}, {"a", 0x00620062}, {"abc", 0x024D0127}, {"Wikipedia", 0x11E60398}};
    for (const auto& c : kCases)
        EXPECT_EQ(sii.Adler32(reinterpret_cast<const std::uint8_t*>(c.text), std::uint32_t(std::strlen(c.text))), c.sum)
            << c.text;
}

// Both pins from the command line: bit 3 of 0xC alone picks the set. A
// device wired to the other set never sees the reset pulse and stays
// silent, and nothing may count as written.
TEST(SiI1930Engine, ProgramsThroughThePinSetTheStrapSelects) {
    struct Case {
        const char* name;
        bool deviceOnSetB;
        std::uint32_t s;
        bool programs;
    } kCases[] = {
        {"set A, strap 1", false, 1, true},
        {"set B, strap 0", true, 0, true},
        {"set A wired, strap 0", false, 0, false},
    };
    for (const Case& c : kCases) {
        SimSiI1930Config cfg;
        cfg.setB = c.deviceOnSetB;
        cfg.version = 0x3460;
        Board b(cfg, c.s);
        ASSERT_TRUE(b.Open()) << c.name;
        EXPECT_EQ(b.e->ReadSiI1930Version(), c.programs ? 0x3460u : 0u) << c.name;

        const Bytes fw = Firmware(300);
        const std::uint32_t written = b.e->Write(0, 300, fw.data());
        if (!c.programs) {
            EXPECT_EQ(written, 0u) << c.name;
            EXPECT_EQ(b.device->Flash()[0], 0xFF) << c.name;
            continue;
        }
        EXPECT_EQ(written, 300u) << c.name;
        // 300 = 37 packets of 8 and one of 4 (byte 9 = 0x4B) at 0x128.
        EXPECT_EQ(b.device->Register(0x49), 4) << c.name;
        EXPECT_EQ(b.device->Register(0x4A), 0x28) << c.name;
        EXPECT_EQ(b.device->Register(0x4B), 0x01) << c.name;
        EXPECT_TRUE(std::equal(fw.begin(), fw.end(), b.device->Flash().begin())) << c.name;
        EXPECT_EQ(b.device->Flash()[300], 0xFF) << c.name;
        EXPECT_FALSE(b.device->InProgramMode()) << c.name;

        // A second chunk is not erased first: AND-only programming over
        // the first chunk's bytes would show.
        const Bytes more = Firmware(0x140);
        EXPECT_EQ(b.e->Write(300, 20, more.data()), 20u) << c.name;
        EXPECT_EQ(b.device->Flash()[0], fw[0]) << c.name;

        EXPECT_EQ(b.Sii().DeviceChecksum(0, 300), b.Sii().Adler32(fw.data(), 300)) << c.name;
        EXPECT_EQ(b.e->Write(0xFFFF, 0x140, more.data()), 0x140u) << c.name;
        b.e->CloseAccess();
    }
}

// What reaches the device: a short packet programs only its own bytes at
// its own address, and the checksum range carries the device's 0x4000 base.
TEST(SiI1930Engine, PacketAndChecksumRangeAsTheDeviceSeesThem) {
    SimSiI1930Config cfg;
    Board b(cfg, 1);
    ASSERT_TRUE(b.Open());
    const Bytes fw = Firmware(0x108);
    EXPECT_EQ(b.e->Write(0x100, 5, fw.data()), 5u);
    EXPECT_EQ(b.device->Register(0x4A), 0x00);
    EXPECT_EQ(b.device->Register(0x4B), 0x01);
    EXPECT_TRUE(std::equal(fw.begin() + 0x100, fw.begin() + 0x105, b.device->Flash().begin() + 0x100));
    EXPECT_EQ(b.device->Flash()[0x105], 0xFF);

    const std::uint64_t before = b.rig.hw.Clocks().DeviceMicros();
    const std::uint32_t sum = b.Sii().DeviceChecksum(0, 0x3000);
    EXPECT_GE(b.rig.hw.Clocks().DeviceMicros() - before, 20u + 23400u);
    const std::uint8_t range[] = {0x00, 0x40, 0xFF, 0x6F};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(b.device->Register(0x50 + i), range[i]) << i;
    EXPECT_EQ(sum, b.Sii().Adler32(b.device->Flash().data(), 0x3000));
    b.e->CloseAccess();
}

// Faults end within their poll counts and never count as written.
TEST(SiI1930Engine, FaultsAreReportedAsFailures) {
    {
        SimSiI1930Config cfg;
        cfg.neverDone = true;
        Board b(cfg, 1);
        ASSERT_TRUE(b.Open());
        // Data is the whole firmware, indexed by the offset.
        const Bytes fw = Firmware(0x110);
        // Offset 0 erases first; the first sector never finishes.
        EXPECT_EQ(b.e->Write(0, 64, fw.data()), 0u);
        // Elsewhere no erase: the first packet never finishes.
        EXPECT_EQ(b.e->Write(0x100, 16, fw.data()), 0u);
        EXPECT_EQ(b.Sii().attempt, 15u);
        EXPECT_EQ(b.Sii().DeviceChecksum(0, 64), 0u);
        EXPECT_EQ(b.e->Write(0xFFFF, 64, fw.data()), 0xFFFFu);
        b.e->CloseAccess();
    }
    {
        SimSiI1930Config cfg;
        cfg.badChecksum = true;
        Board b(cfg, 1);
        ASSERT_TRUE(b.Open());
        const Bytes fw = Firmware(64);
        EXPECT_EQ(b.e->Write(0, 64, fw.data()), 64u);
        EXPECT_NE(b.Sii().DeviceChecksum(0, 64), b.Sii().Adler32(fw.data(), 64));
        b.e->CloseAccess();
    }
    {
        // The program line is wired elsewhere: the device never enters
        // program mode and refuses the finishing command, so it is not
        // restarted (only the call's own reset pulse reaches it).
        SimSiI1930Config cfg;
        Board b(cfg, 1);
        b.e->siiProgramPin = std::int32_t(cfg.programBit + 1);
        ASSERT_TRUE(b.Open());
        const Bytes fw = Firmware(64);
        const std::uint32_t pulses = b.device->ResetPulses();
        EXPECT_EQ(b.e->Write(0xFFFF, 64, fw.data()), 0xFFFFu);
        EXPECT_EQ(b.device->Register(0x49), 1);
        EXPECT_EQ(b.device->ResetPulses(), pulses + 1);
        b.e->CloseAccess();
    }
    {
        SimSiI1930Config cfg;
        cfg.nack = true;
        cfg.version = 0x1234;
        Board b(cfg, 1);
        ASSERT_TRUE(b.Open());
        EXPECT_EQ(b.e->ReadSiI1930Version(), 0u);
        const Bytes fw = Firmware(0x108);
        EXPECT_EQ(b.e->Write(0x100, 8, fw.data()), 0u);
    }
}

// The video BIOS in the legacy area (the ROM probe finds no ROM) names
// pins both above 17, so they are mapped and driven through set B whatever
// the strap says. A negative pin other than -1 counts as unset too.
TEST(SiI1930Engine, PinsFromTheVideoBiosAreMappedOntoSetB) {
    const struct {
        std::uint8_t resetId, programId;
        std::uint32_t resetBit, programBit;
        std::int32_t givenPin;
    } kCases[] = {{25, 26, 18, 17, -1}, {25, 30, 18, 11, -1}, {25, 30, 18, 11, -5}};
    for (const auto& c : kCases) {
        SimSiI1930Config cfg;
        cfg.setB = true;
        cfg.resetBit = c.resetBit;
        cfg.programBit = c.programBit;
        Board b(cfg, 1);
        b.rig.hw.SetLegacyContent(sii1930test::BiosWithPins(c.resetId, c.programId));
        b.e->siiResetPin = c.givenPin;
        b.e->siiProgramPin = c.givenPin;
        ASSERT_TRUE(b.Open()) << int(c.programId);
        const Bytes fw = Firmware(16);
        EXPECT_EQ(b.e->Write(0, 16, fw.data()), 16u) << int(c.programId);
        EXPECT_TRUE(std::equal(fw.begin(), fw.end(), b.device->Flash().begin())) << int(c.programId);
        EXPECT_EQ(b.Sii().resetPin, std::int32_t(c.resetBit)) << int(c.programId);
        b.e->CloseAccess();
    }
}

}  // namespace
