// The hardware SPI engines against the simulated ROM controller in each
// register layout: golden register-level frames, hooks, faults, the
// aperture read and the target check.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "protocols/CQuorSPI.h"
#include "protocols/PomvekSPI.h"
#include "protocols/TarselSPI.h"
#include "tests/protocols/SpiRig.h"

namespace {

struct Layout {
    const char* name;
    SimSpiBoardKind kind;
    std::function<std::unique_ptr<CQuorSPI>(CFlash*)> make;
    std::uint32_t padA, padB, padOut, cntl, swCntl, swStatus, swCommand, data0, aux;
    std::uint32_t byte216;      // register that carries bytes 216-219
    std::uint32_t padMask;
    std::uint32_t cntlDuringFrame;  // for ROM_CNTL preset 0x08345678
    std::uint32_t hookWrite;    // value the hook writes to ROM_AUX_CNTL (preset 0), 0 = none
    const char* timeoutLine;    // null: none
};

void PrintTo(const Layout& l, std::ostream* out) { *out << l.name; }

std::unique_ptr<CQuorSPI> Tarsel(CFlash* f, int family) {
    auto t = std::make_unique<TarselSPI>(f);
    t->SetFamily(family);
    return t;
}

std::unique_ptr<CQuorSPI> Pomvek(CFlash* f, void (PomvekSPI::*setup)()) {
    auto p = std::make_unique<PomvekSPI>(f);
    if (setup) (p.get()->*setup)();
    return p;
}

const Layout kLayouts[] = {
    {"quor", SimSpiBoardKind::Orpane, [](CFlash* f) { return std::make_unique<CQuorSPI>(f); },
     0x1798, 0x17A0, 0x179C, 0x1604, 0x1618, 0x161C, 0x1620, 0x1624, 0, 0x1624 + 216, 0xFFF7F8FF, 0x04345678, 0,
     "Quor spi - read rom controller status timeout\n"},
    {"tarsel-14", SimSpiBoardKind::Ulvane, [](CFlash* f) { return Tarsel(f, 14); },
     0x608, 0x610, 0x60C, 0xC0600004, 0xC060001C, 0xC0600020, 0xC0600024, 0xC0600028, 0xC0600000, 0xC0600100,
     0xFFF7F8FF, 0x06345678, 2, nullptr},
    {"tarsel-16", SimSpiBoardKind::Wenmar, [](CFlash* f) { return Tarsel(f, 16); },
     0x608, 0x610, 0x60C, 0xC0600004, 0xC060001C, 0xC0600020, 0xC0600024, 0xC0600028, 0xC0600000, 0xC0600100,
     0xFFF7F8FF, 0x06345678, 2, nullptr},
    {"tarsel-13", SimSpiBoardKind::Ombrel, [](CFlash* f) { return Tarsel(f, 13); },
     0x608, 0x610, 0x60C, 0xC0600004, 0xC060001C, 0xC0600020, 0xC0600024, 0xC0600028, 0xC0600000, 0xC0600110,
     0xFFF7F8FF, 0x06345678, 0, nullptr},
    {"pomvek", SimSpiBoardKind::Gethra, [](CFlash* f) { return Pomvek(f, nullptr); },
     0x5A1BC, 0x5A1C8, 0x5A1C0, 0x5A094, 0x5A0AC, 0x5A0B0, 0x5A0B4, 0x5A0B8, 0x5A090, 0x5A0B8 + 216, 0xFFFFF87F,
     0x06345678, 1, "POMVEK spi - read rom controller status timeout\n"},
    {"hobran", SimSpiBoardKind::Hobran, [](CFlash* f) { return Pomvek(f, &PomvekSPI::UseRegistersFamily22); },
     0x5A1DC, 0x5A1E8, 0x5A1E0, 0x5A0B4, 0x5A0CC, 0x5A0D0, 0x5A0D4, 0x5A0D8, 0x5A0B0, 0x5A0D8 + 216, 0xFFFFF87F,
     0x06345678, 1, "POMVEK spi - read rom controller status timeout\n"},
    {"pomvek-late", SimSpiBoardKind::Fyrand, [](CFlash* f) { return Pomvek(f, &PomvekSPI::UseRegistersFamily27); },
     0x5A504, 0x5A510, 0x5A508, 0x5A384, 0x5A39C, 0x5A3A0, 0x5A3A4, 0x5A3A8, 0x5A380, 0x5A3A8 + 216, 0xFFFFF87F,
     0x06345678, 1, "POMVEK spi - read rom controller status timeout\n"},
};

constexpr std::uint32_t kPadA = 0x5A5F5F87;
constexpr std::uint32_t kPadB = 0x00080700;
constexpr std::uint32_t kPadOut = 0x40080780;
constexpr std::uint32_t kCntl = 0x08345678;

class LayoutTest : public ::testing::TestWithParam<Layout> {
protected:
    void SetUp() override {
        const Layout& l = GetParam();
        rig = std::make_unique<SpiRig>(l.kind, "M25P10");
        ASSERT_TRUE(rig->mapped);
        engine = l.make(rig->flash.get());
        engine->part = rig->Find("M25P10");
        engine->forceBitbangRead = 1;  // as every command runs
        Poke(l.padA, kPadA);
        Poke(l.padB, kPadB);
        Poke(l.padOut, kPadOut);
        Poke(l.cntl, kCntl);
    }
    // Presets a register where the controller keeps it.
    void Poke(std::uint32_t reg, std::uint32_t v) {
        if (reg >= 0xC0000000u)
            rig->board.controller->Write(reg, v);
        else
            rig->Regs().Poke(reg, v);
    }
    std::uint32_t Peek(std::uint32_t reg) {
        return reg >= 0xC0000000u ? rig->board.controller->Peek(reg) : rig->Regs().Peek(reg);
    }
    std::vector<RegWrite> Record(const std::function<void()>& action) {
        SimAccessLog& log = rig->hw.AccessLog();
        log.Clear();
        log.Enable();
        action();
        log.Enable(false);
        return ControllerWrites(log);
    }
    void ExpectRestored() {
        const Layout& l = GetParam();
        EXPECT_EQ(Peek(l.padA), kPadA);
        EXPECT_EQ(Peek(l.padB), kPadB);
        EXPECT_EQ(Peek(l.padOut), kPadOut);
        EXPECT_EQ(Peek(l.cntl), kCntl);
    }
    std::vector<RegWrite> FrameStart() const {
        const Layout& l = GetParam();
        return {{l.padA, kPadA & l.padMask}, {l.padB, kPadB & l.padMask}, {l.padOut, kPadOut & l.padMask},
                {l.cntl, l.cntlDuringFrame}, {l.swStatus, 0}};
    }
    std::vector<RegWrite> FrameEnd() const {
        const Layout& l = GetParam();
        return {{l.swStatus, 0}, {l.cntl, kCntl}, {l.padOut, kPadOut}, {l.padA, kPadA}, {l.padB, kPadB}};
    }
    std::vector<std::uint32_t> ControlWords(const std::vector<RegWrite>& w) const {
        std::vector<std::uint32_t> out;
        for (const RegWrite& x : w)
            if (x.reg == GetParam().swCntl) out.push_back(x.value);
        return out;
    }

    std::unique_ptr<SpiRig> rig;
    std::unique_ptr<CQuorSPI> engine;
};

TEST_P(LayoutTest, StatusReadFrameIsExact) {
    const Layout& l = GetParam();
    std::vector<RegWrite> writes = Record([&] { EXPECT_EQ(engine->ReadStatus(), 0x00u); });
    std::vector<RegWrite> expected;
    if (l.hookWrite) expected.push_back({l.aux, l.hookWrite});
    for (const RegWrite& w : FrameStart()) expected.push_back(w);
    expected.push_back({l.swCommand, 0x00000005});
    expected.push_back({l.swCntl, 0x00040001});
    for (const RegWrite& w : FrameEnd()) expected.push_back(w);
    EXPECT_EQ(writes, expected);
    ExpectRestored();
    if (l.aux >= 0xC0000000u) {
        EXPECT_EQ(rig->board.adapter.indirect->IndexValue(), l.cntl) << "the index is left at ROM_CNTL";
    }
}

TEST_P(LayoutTest, ByteOrderOfCommandTransmitAndReceive) {
    const Layout& l = GetParam();
    auto& mem = rig->Bytes();
    const std::uint8_t in[4] = {0x11, 0x22, 0x33, 0x44};
    std::copy(in, in + 4, mem.begin() + 0x3456);  // 0x123456 wraps in 128K
    std::uint8_t buf[4] = {};
    std::vector<RegWrite> writes = Record([&] { EXPECT_EQ(engine->ReadRange(buf, 0x123456, 4, 0), 4u); });
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 4), std::vector<std::uint8_t>(in, in + 4));
    EXPECT_THAT(writes, ::testing::Contains(RegWrite{l.swCommand, 0x12345603}));
    EXPECT_THAT(ControlWords(writes), ::testing::ElementsAre(0x00070004u));
    EXPECT_EQ(rig->board.controller->DataWord(0), 0x44332211u);

    const std::uint8_t out[4] = {0xAA, 0xBB, 0xCC, 0xDD};
    rig->Part().SetBusyPolls(1, 1, 1);
    testing::internal::CaptureStdout();
    writes = Record([&] { EXPECT_EQ(engine->ProgramRange(out, 0x200, 4, 1), 4u); });
    testing::internal::GetCapturedStdout();
    EXPECT_THAT(writes, ::testing::Contains(RegWrite{l.data0, 0xAABBCCDD}));
    EXPECT_THAT(ControlWords(writes), ::testing::ElementsAre(0x00000000u, 0x00040001u, 0x00030004u, 0x00040001u,
                                                             0x00040001u, 0x00070004u));
    EXPECT_EQ(std::vector<std::uint8_t>(mem.begin() + 0x200, mem.begin() + 0x204),
              std::vector<std::uint8_t>(out, out + 4));
    ExpectRestored();
}

TEST_P(LayoutTest, FullPageAndDataRegisterMap) {
    const Layout& l = GetParam();
    std::vector<std::uint8_t> page = Pattern(256, 9);
    testing::internal::CaptureStdout();
    std::vector<RegWrite> writes = Record([&] { EXPECT_EQ(engine->ProgramRange(page.data(), 0x300, 256, 1), 256u); });
    testing::internal::GetCapturedStdout();
    EXPECT_THAT(ControlWords(writes), ::testing::Contains(0x00030100u));
    std::uint32_t word216 = std::uint32_t(page[216]) << 24 | page[217] << 16 | page[218] << 8 | page[219];
    EXPECT_THAT(writes, ::testing::Contains(RegWrite{l.byte216, word216}));
    if (l.kind == SimSpiBoardKind::Ombrel) {
        for (const RegWrite& w : writes) EXPECT_NE(w.reg, 0xC0600100u) << "the gap holds no data";
    }
    EXPECT_TRUE(std::equal(page.begin(), page.end(), rig->Bytes().begin() + 0x300));
    ExpectRestored();
}

TEST_P(LayoutTest, ThousandBytesFrom0x80InPageChunks) {
    std::vector<std::uint8_t> data = Pattern(0x20000, 5);
    rig->Bytes() = data;
    std::vector<std::uint8_t> buf(1000);
    std::vector<RegWrite> writes = Record([&] { EXPECT_EQ(engine->ReadRange(buf.data(), 0x80, 1000, 0), 1000u); });
    EXPECT_THAT(ControlWords(writes),
                ::testing::ElementsAre(0x00070080u, 0x00070100u, 0x00070100u, 0x00070100u, 0x00070068u));
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), data.begin() + 0x80));
}

TEST_P(LayoutTest, IdentifiesAndErases) {
    engine->part = nullptr;
    ASSERT_LT(engine->DetectPart(rig->List().entries, rig->List().count), rig->List().count);
    EXPECT_STREQ(engine->part->name, "M25P10");
    rig->Bytes()[0x1000] = 0;
    EXPECT_EQ(engine->ChipErase(1), 0x20000u);
    EXPECT_EQ(rig->Bytes()[0x1000], 0xFF);
    EXPECT_EQ(rig->board.controller->FramesRefused(), 0u);
}

TEST_P(LayoutTest, ControllerThatNeverFinishes) {
    const Layout& l = GetParam();
    rig->FastClock(1000);
    rig->board.controller->FailStatusNeverCompletes(true);
    std::uint8_t buf[8];
    testing::internal::CaptureStdout();
    std::vector<RegWrite> writes = Record([&] { EXPECT_EQ(engine->ReadRange(buf, 0, 8, 0), 0u); });
    EXPECT_EQ(testing::internal::GetCapturedStdout(), l.timeoutLine ? l.timeoutLine : "");
    ASSERT_GE(writes.size(), 6u);
    std::vector<RegWrite> tail(writes.end() - 5, writes.end());
    EXPECT_EQ(tail, FrameEnd());
    ExpectRestored();
}

TEST_P(LayoutTest, StatusThatCannotBeCleared) {
    rig->board.controller->FailStatusNotClearable(true);
    std::uint8_t buf[8];
    testing::internal::CaptureStdout();
    EXPECT_EQ(engine->ReadRange(buf, 0, 8, 0), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(rig->board.controller->FramesRun(), 0u);
    ExpectRestored();
}

TEST_P(LayoutTest, OversizedRequestsAreRefusedUntouched) {
    std::vector<std::uint8_t> big(300, 0);
    const std::uint8_t cmd[5] = {0x03, 0, 0, 0, 0};
    std::vector<RegWrite> writes = Record([&] {
        EXPECT_EQ(engine->Transfer(5, cmd, 0, nullptr, 4, big.data(), 0), 0u);
        EXPECT_EQ(engine->Transfer(1, cmd, 257, big.data(), 0, nullptr, 0), 0u);
        EXPECT_EQ(engine->Transfer(4, cmd, 0, nullptr, 257, big.data(), 0), 0u);
    });
    // Only the one-time hook of the third generation may run.
    for (const RegWrite& w : writes) EXPECT_EQ(w.reg, GetParam().aux);
    EXPECT_EQ(big[0], 0xFF) << "receive bytes of a refused request read as all ones";
}

TEST_P(LayoutTest, SoftwareSpiReachesThePartOnlyThroughItsGenerationsPads) {
    // The lines the constructor sets are the pads the flash hangs on.
    engine->forceBitbangTransfer = 1;
    engine->part = nullptr;
    ASSERT_LT(engine->DetectPart(rig->List().entries, rig->List().count), rig->List().count);
    std::vector<std::uint8_t> buf(300);
    rig->Bytes()[0x7F] = 0x42;
    EXPECT_EQ(engine->ReadRange(buf.data(), 0x7F, 300, 0), 300u);
    EXPECT_EQ(buf[0], 0x42);
    EXPECT_EQ(rig->board.controller->FramesRun(), 0u);

    // "-swspi": the built-in sub-table's lines, 0x179C and 0x17A4, are not
    // this flash's lines on any generation; no part answers there.
    engine->csLine = {0x179C, 19, 0};
    engine->clkLine = {0x179C, 10, 0};
    engine->doutLine = {0x179C, 9, 0};
    engine->dinLine = {0x17A4, 8, 0};
    engine->part = nullptr;
    EXPECT_EQ(engine->DetectPart(rig->List().entries, rig->List().count), rig->List().count);
    EXPECT_EQ(rig->board.controller->FramesRun(), 0u);
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, LayoutTest, ::testing::ValuesIn(kLayouts),
                         [](const ::testing::TestParamInfo<Layout>& i) {
                             std::string n = i.param.name;
                             for (char& c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

// ------------------------------------------------------------------ hooks

TEST(RomControllerHooks, Family13ClearsAuxBit1OnlyWhenTheProbeSaysSo) {
    for (std::uint32_t probe : {0x10000000u, 0x0FFFFFFFu}) {
        SpiRig rig(SimSpiBoardKind::Ombrel);
        auto t = Tarsel(rig.flash.get(), 13);
        t->part = rig.Find("M25P10");
        rig.Regs().Poke(0x5564, probe);
        rig.board.controller->Write(0xC0600000, 0x3);
        t->ReadStatus();
        EXPECT_EQ(rig.board.controller->Peek(0xC0600000), probe >> 28 ? 0x1u : 0x3u);
    }
}

TEST(RomControllerHooks, LaterTarselFamiliesSetAuxBit1BeforeEveryFrame) {
    for (int family : {14, 16, 17, 20}) {
        SpiRig rig(SimSpiBoardKind::Wenmar);
        auto t = Tarsel(rig.flash.get(), family);
        t->part = rig.Find("M25P10");
        for (int i = 0; i < 3; ++i) {
            rig.board.controller->Write(0xC0600000, 0);
            t->ReadStatus();
            EXPECT_EQ(rig.board.controller->Peek(0xC0600000), 2u) << family;
        }
    }
    // Families without a hook leave it alone.
    SpiRig rig(SimSpiBoardKind::Wenmar);
    auto t = Tarsel(rig.flash.get(), 15);
    t->part = rig.Find("M25P10");
    t->ReadStatus();
    EXPECT_EQ(rig.board.controller->Peek(0xC0600000), 0u);
}

TEST(RomControllerHooks, PomvekSetsAuxBit0OncePerObject) {
    // Two boards of one family share the object: only the first gets the hook.
    SimHardware hw;
    ScopedHardware use(hw);
    SimSpiBoard a = AddSpiBoard(hw, {0, 3, 0, 0}, SimSpiBoardKind::Gethra);
    SimSpiBoard b = AddSpiBoard(hw, {0, 4, 0, 0}, SimSpiBoardKind::Gethra);
    SpiTestFlash flash;
    PomvekSPI p(&flash);
    p.forceBitbangTransfer = 1;  // the hook runs even for bit-banged frames
    ASSERT_TRUE(flash.Map(*a.function));
    p.part = &flash.spiPartList.entries[1];
    p.ReadStatus();
    p.ReadStatus();
    EXPECT_EQ(a.function->Registers().Peek(0x5A090), 1u);
    ASSERT_TRUE(flash.Map(*b.function));
    p.forceBitbangTransfer = 0;
    p.ReadStatus();
    EXPECT_EQ(b.function->Registers().Peek(0x5A090), 0u);
    EXPECT_EQ(p.hookDone, 1);
}

// -------------------------------------------------------- engine choice

TEST(RomControllerEngineChoice, Family21DependsOnTheDataRegisterTest) {
    struct Case {
        SimSpiBoardKind kind;
        bool readBack;
        std::uint32_t cntl;
    } cases[] = {{SimSpiBoardKind::Gethra, true, 0x5A094}, {SimSpiBoardKind::GethraHobran, false, 0x5A0B4}};
    for (const Case& c : cases) {
        SpiRig rig(c.kind, "W25X40");
        rig.flash->flashType = TYPE_POMVEKSPI;
        rig.flash->asicFamily = KOV_GETHRA;
        EXPECT_EQ(rig.flash->TestRegisterAccess(rig.flash.get()), c.readBack);
        auto* engine = dynamic_cast<CQuorSPI*>(rig.flash->GetSpiEngine());
        ASSERT_NE(engine, nullptr);
        EXPECT_EQ(engine->ROM_CNTL, c.cntl);
        engine->part = nullptr;
        ASSERT_LT(engine->DetectPart(rig.List().entries, rig.List().count), rig.List().count);
        EXPECT_STREQ(engine->part->name, "W25X40");
    }
    SpiRig rig(SimSpiBoardKind::Orpane);
    rig.flash->flashType = TYPE_QUORSPI;
    rig.flash->asicFamily = KOV_GAVREL;
    EXPECT_EQ(dynamic_cast<CQuorSPI*>(rig.flash->GetSpiEngine())->ROM_CNTL, 0x1604u);
    rig.flash->asicFamily = KOV_GAVREL_WENMAR;
    EXPECT_NE(dynamic_cast<TarselSPI*>(rig.flash->GetSpiEngine()), nullptr);
}

// ------------------------------------------------------ aperture read

TEST(RomControllerAperture, ReadsTheApertureOnlyWhenAsked) {
    SpiRig rig(SimSpiBoardKind::Gethra, "M25P10");
    PomvekSPI p(rig.flash.get());
    ASSERT_EQ(rig.flash->IsRomMapped(), 1);
    rig.Regs().Poke(0x5A1BC, kPadA);
    std::vector<std::uint8_t> buf(64);
    std::vector<std::uint8_t> shown(64);
    rig.flash->ReadRom(0x10, shown.data(), 64);
    EXPECT_EQ(p.ReadRange(buf.data(), 0x10, 64, 0), 64u);
    EXPECT_EQ(buf, shown);
    EXPECT_EQ(rig.Regs().Peek(0x5A1BC), kPadA);
    buf[20] ^= 0xFF;
    EXPECT_EQ(p.ReadRange(buf.data(), 0x10, 64, 1), 20u);

    // Reads through SPI commands give the flash, not the aperture.
    p.forceBitbangRead = 1;
    p.part = rig.Find("M25P10");
    rig.Bytes() = Pattern(0x20000, 7);
    EXPECT_EQ(p.ReadRange(buf.data(), 0x10, 64, 0), 64u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), rig.Bytes().begin() + 0x10));
    EXPECT_NE(buf, shown);

    // No aperture mapped: nothing read.
    SpiTestFlash unmapped;
    CQuorSPI q(&unmapped);
    EXPECT_EQ(q.ReadRange(buf.data(), 0, 64, 0), 0u);
}

// ------------------------------------------------------- target check

TEST(RomControllerTarget, RefusesOnlyTheListedRevisions) {
    SpiRig rig(SimSpiBoardKind::Fyrand);
    PomvekSPI p(rig.flash.get());
    p.UseRegistersFamily24();
    PomvekSPI::TargetEntry rows[PomvekSPI::kTargetEntries];
    ASSERT_EQ(p.FillTargetTable(rows), 2u);
    EXPECT_EQ(rows[1].expectedCount, 40u);
    struct Case {
        std::uint16_t device;
        std::uint8_t revision;
        int supported;
        std::size_t probeWrites;
    } cases[] = {{0xFFFF, 0xFF, 1, 0}, {0x731F, 0xC0, 0, 0}, {0x731F, 0xC1, 0, 5}, {0x731F, 0xC2, 1, 0},
                 {0x7310, 0xC1, 1, 0}};
    for (const Case& c : cases) {
        rig.flash->targetDeviceId = c.device;
        rig.flash->targetRevision = c.revision;
        SimAccessLog& log = rig.hw.AccessLog();
        log.Clear();
        log.Enable();
        EXPECT_EQ(p.SupportsTarget(rig.flash.get()), c.supported) << std::hex << c.device << " " << int(c.revision);
        log.Enable(false);
        EXPECT_EQ(log.Count(SimAccessKind::RegisterWrite, 0x30800), c.probeWrites);
    }
    // Objects without probe registers refuse the probed target without a probe.
    PomvekSPI base(rig.flash.get());
    rig.hw.AccessLog().Clear();
    rig.hw.AccessLog().Enable();
    EXPECT_EQ(base.CheckTarget(0x731F, 0xC1), 0);
    EXPECT_EQ(rig.hw.AccessLog().Entries().size(), 0u);
    EXPECT_EQ(CQuorSPI(rig.flash.get()).SupportsTarget(rig.flash.get()), 1);
}

}  // namespace
