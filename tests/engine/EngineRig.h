// A simulated machine with one engine on it, for the engine tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "engine/CFlash.h"
#include "platform/HardwareBackend.h"
#include "sim/SimAdapters.h"
#include "sim/SimHardware.h"
#include "support/TestSupport.h"

namespace enginetest {

// Address of the adapter in slot n (bus n).
inline SimPciAddress Slot(int n) { return SimPciAddress{0, std::uint8_t(n), 0, 0}; }

class EngineRig {
public:
    EngineRig() : use_(std::make_unique<ScopedHardware>(hw)) {}
    ~EngineRig() {
        engine.reset();
        use_.reset();
    }

    SimAdapter Add(int slot, const std::string& model, const SimAdapterOptions& options = {}) {
        std::string error;
        SimAdapter a = AddSimAdapter(hw, Slot(slot), model, options, &error);
        EXPECT_NE(a.function, nullptr) << error;
        return a;
    }

    // Builds the engine, with the text table when one is given.
    CFlash& Build(const std::string& textTable = {}, bool withText = false) {
        engine.reset();
        FILE* f = nullptr;
        if (withText || !textTable.empty()) {
            f = std::tmpfile();
            std::fputs(textTable.c_str(), f);
            std::rewind(f);
        }
        engine.reset(CreateFlash(f, 0));
        if (f) std::fclose(f);
        engine->SetLogFile(dir.File("trace.log").c_str());
        return *engine;
    }

    // Starts collecting the engine trace at level 1.
    void Trace() {
        vmtest::WriteFile(dir.File("trace.log"), "");
        engine->SetLogLevel(1);
    }
    std::string TraceText() const { return vmtest::ReadFile(dir.File("trace.log")); }

    std::int16_t Select(int slot, int matchIndex = 0) {
        return engine->SelectDevice(0, std::uint8_t(slot), 0, matchIndex);
    }

    SimHardware hw;
    vmtest::TempDir dir;
    std::unique_ptr<CFlash> engine;

private:
    std::unique_ptr<ScopedHardware> use_;
};

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace enginetest
