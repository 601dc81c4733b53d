// A simulated machine of SPI boards and the program's command layer and
// front end on it, run in this process so that the device's state can be
// inspected right after a command: flash contents, the part's status
// register and operation counters, and whether access was closed (every
// register the tool changed is back, the controller's transfer registers
// aside).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "commands/CFlashCmd.h"
#include "engine/CFlash.h"
#include "platform/HardwareBackend.h"
#include "protocols/CQuorSPI.h"
#include "sim/SimHardware.h"
#include "sim/SimSpiBoard.h"
#include "support/TestSupport.h"
#include "ui/CTevUI.h"

namespace programtest {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kChipErase = 0xC7;
constexpr std::uint8_t kPageProgram = 0x02;

struct RunOutput {
    int exitCode = -1;
    std::string out;
};

class ProgramRig {
public:
    ProgramRig() : scope_(hw) {}

    // A board on bus boards.size() + 1 whose flash holds `contents` (0xFF
    // after it) and is block-protected.
    SimSpiBoard& Add(SimSpiBoardKind kind, const std::string& part, const Bytes& contents, SimSpiBoardOptions o = {}) {
        o.part = part;
        boards.push_back(AddSpiBoard(hw, {0, std::uint8_t(boards.size() + 1), 0, 0}, kind, o));
        SimSpiBoard& b = boards.back();
        EXPECT_NE(b.function, nullptr) << part;
        Bytes& flash = b.flash->Storage().Bytes();
        std::fill(flash.begin(), flash.end(), 0xFF);
        std::copy_n(contents.begin(), std::min(contents.size(), flash.size()), flash.begin());
        b.flash->SetStatus(Locked(boards.size() - 1));
        return b;
    }

    // Every protection bit of the part set: how the boards power up, and
    // what a relock must leave.
    std::uint8_t Locked(std::size_t board = 0) {
        return std::uint8_t(boards.at(board).flash->Model().writableStatus & 0xFC);
    }

    std::string File(const std::string& name) const { return dir.File(name); }
    std::string Write(const std::string& name, const Bytes& bytes) {
        vmtest::WriteBytes(File(name), bytes);
        return File(name);
    }

    // Runs one command line like the program does, keeping the objects so
    // the device can be inspected before they are destroyed.
    RunOutput Run(std::vector<std::string> args) {
        before_.clear();
        for (SimSpiBoard& b : boards) {
            before_.push_back(SnapshotRegisters(b.function->Registers(), 0, b.adapter.model->registerWindow));
            b.flash->ClearCounts();
        }
        ui.reset();
        cmd.reset();
        FILE* table = nullptr;
        if (!typeTable.empty()) {
            table = std::tmpfile();
            std::fputs(typeTable.c_str(), table);
            std::rewind(table);
        }
        cmd = std::make_unique<CFlashCmd>(table, 0);
        if (table) std::fclose(table);
        ui = std::make_unique<CTevUI>();
        args.insert(args.begin(), "vorbanmill");
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        RunOutput r;
        r.exitCode = ui->Run(int(args.size()), argv.data(), cmd.get());
        r.out = testing::internal::GetCapturedStdout();
        return r;
    }

    Bytes& Flash(std::size_t board = 0) { return boards.at(board).flash->Storage().Bytes(); }
    std::uint8_t Status(std::size_t board = 0) { return boards.at(board).flash->Status(); }
    unsigned Erases(std::size_t board = 0) { return boards.at(board).flash->Count(kChipErase); }
    unsigned Programs(std::size_t board = 0) { return boards.at(board).flash->Count(kPageProgram); }

    // Access is closed: the engine says so and every register is as it was
    // before the command, except the controller's transfer registers, the
    // family-21 probe register and the index of the strap index pair.
    void ExpectClosed(std::size_t board = 0, const std::string& where = "") {
        ASSERT_TRUE(cmd);
        EXPECT_EQ(cmd->engine->accessOpen, 0) << where;
        std::set<std::uint32_t> scratch = {0x5A0B8, 0x100};
        if (CGenSPI* spi = cmd->engine->GetSpiEngine();
            spi && (cmd->engine->flashType == TYPE_QUORSPI || cmd->engine->flashType == TYPE_POMVEKSPI)) {
            auto* hardware = static_cast<CQuorSPI*>(spi);
            scratch.insert({hardware->ROM_SW_CNTL, hardware->ROM_SW_STATUS, hardware->ROM_SW_COMMAND});
            for (std::uint32_t k = 0; k < kRomControllerDataBytes; k += 4) scratch.insert(hardware->ROM_SW_DATA[k]);
        }
        SimSpiBoard& b = boards.at(board);
        const std::vector<std::uint32_t> after =
            SnapshotRegisters(b.function->Registers(), 0, b.adapter.model->registerWindow);
        for (std::uint32_t i = 0; i < after.size(); ++i) {
            if (scratch.count(4 * i)) continue;
            EXPECT_EQ(after[i], before_.at(board)[i]) << where << ": register 0x" << std::hex << 4 * i;
        }
    }

    SimHardware hw;
    std::vector<SimSpiBoard> boards;
    std::string typeTable;  // text type table; empty: the built-in one
    vmtest::TempDir dir;
    std::unique_ptr<CFlashCmd> cmd;
    std::unique_ptr<CTevUI> ui;

private:
    ScopedHardware scope_;
    std::vector<std::vector<std::uint32_t>> before_;
};

// The image as the flash must hold it after programming: erased past it.
inline Bytes Programmed(const Bytes& image, std::size_t size) {
    Bytes b(size, 0xFF);
    std::copy_n(image.begin(), std::min(image.size(), size), b.begin());
    return b;
}

}  // namespace programtest
