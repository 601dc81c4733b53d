// The simulated adapters the engine tests run on: their register blocks and
// the machine-file statement that adds them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/SimAdapters.h"
#include "sim/SimMachineFile.h"

namespace {

TEST(SimAdapters, BridgePairReadsSignatureAndStrap) {
    SimBridgePair bridge(2);
    bridge.Write(SimBridgePair::kIndex, 0x00);
    EXPECT_EQ(bridge.Read(SimBridgePair::kData), 0x5Au);
    bridge.Write(SimBridgePair::kData, 0x12);  // the signature is read-only
    EXPECT_EQ(bridge.Read(SimBridgePair::kData), 0x5Au);
    bridge.Write(SimBridgePair::kIndex, 0xC0);
    EXPECT_EQ((bridge.Read(SimBridgePair::kData) >> 11) & 3, 2u);
    bridge.Write(SimBridgePair::kData, 0xFFFFFFFF);  // strap bits stay
    EXPECT_EQ(bridge.Read(SimBridgePair::kData), (0xFFFFFFFFu & ~0x1800u) | (2u << 11));
    bridge.Write(SimBridgePair::kIndex, 0x70);
    EXPECT_EQ(bridge.Read(SimBridgePair::kData), 3u);
    EXPECT_EQ(bridge.Read(SimBridgePair::kIndex), 0x70u);
    bridge.Write(SimBridgePair::kData, 1);
    EXPECT_EQ(bridge.Bridge().Peek(0x70), 1u);
}

TEST(SimAdapters, UnknownModelOrTakenAddress) {
    SimHardware hw;
    EXPECT_EQ(AddSimAdapter(hw, {0, 1, 0, 0}, "no-such-board").function, nullptr);
    ASSERT_NE(AddSimAdapter(hw, {0, 1, 0, 0}, "quor").function, nullptr);
    EXPECT_EQ(AddSimAdapter(hw, {0, 1, 0, 0}, "quor").function, nullptr);
}

TEST(SimAdapters, ProbeRegisterMayNotHoldItsValue) {
    SimHardware hw;
    SimAdapterOptions o;
    o.probeRegisterWritable = false;
    SimAdapter ro = AddSimAdapter(hw, {0, 1, 0, 0}, "gethra", o);
    ro.function->Registers().WriteRegister(0x5A0B8, 0xA5A5A5A5);
    EXPECT_EQ(ro.function->Registers().ReadRegister(0x5A0B8), 0u);
    SimAdapter rw = AddSimAdapter(hw, {0, 2, 0, 0}, "gethra");
    rw.function->Registers().WriteRegister(0x5A0B8, 0xA5A5A5A5);
    EXPECT_EQ(rw.function->Registers().ReadRegister(0x5A0B8), 0xA5A5A5A5u);
}

std::string Statement(SimHardware& hw, const std::string& text, SimPciFunction** added = nullptr) {
    SimMachineContext ctx;
    ctx.hw = &hw;
    std::vector<std::string> words;
    std::string w;
    for (char c : text + " ") {
        if (c == ' ') {
            if (!w.empty()) words.push_back(w);
            w.clear();
        } else {
            w += c;
        }
    }
    SimMachineLine line("adapter", words);
    std::string error;
    if (!SimAdapterStatement(ctx, line, &error)) return error;
    if (!line.Leftover().empty()) return "leftover " + line.Leftover();
    if (added) *added = ctx.function;
    return {};
}

TEST(SimAdapters, MachineFileStatement) {
    SimHardware hw;
    SimPciFunction* f = nullptr;
    EXPECT_EQ(Statement(hw, "01:00.0 sardon device=0x67DF revision=0x70 slave subsystem=0x1002:0x0B10 romsize=64K", &f),
              "");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->DeviceId(), 0x67DF);
    EXPECT_EQ(f->ConfigValue(0x08, 1), 0x70u);
    EXPECT_EQ(f->ConfigValue(0x2E, 2), 0x0B10u);
    EXPECT_EQ(f->Registers().Peek(0x541C), 0x10u);
    EXPECT_EQ(f->RomBarSize(), 0x10000u);
    EXPECT_EQ(hw.Storages().size(), 1u);

    EXPECT_EQ(Statement(hw, "02:00.0 nerrow strap=3 cap=agp"), "");
    EXPECT_EQ(Statement(hw, "03:00.0 gethra probe=ro no-rombar"), "");
    EXPECT_FALSE(hw.FindFunction({0, 3, 0, 0})->HasRomBar());

    EXPECT_NE(Statement(hw, "04:00.0 unknown"), "");
    EXPECT_NE(Statement(hw, "04:00.0 quor strap=4"), "");
    EXPECT_NE(Statement(hw, "04:00.0 quor probe=maybe"), "");
    EXPECT_NE(Statement(hw, "bad-address quor"), "");
    EXPECT_NE(Statement(hw, "01:00.0 quor"), "");  // taken
    EXPECT_EQ(Statement(hw, "04:00.0 quor extra=1"), "leftover extra=1");
}

}  // namespace
