// The simulator's two clocks, in microseconds.
//
// CPU time stands for the process clock the program polls for time-outs: it
// moves only while the program is busy (each clock read and each hardware
// access costs a little), never during a sleep. Device time is what the
// simulated hardware sees: it moves with everything the CPU does and also
// with every sleep. Both are deterministic, so a time-out costs no real time.
#pragma once

#include <cstdint>

class SimClocks {
public:
    std::uint64_t CpuMicros() const { return cpu_; }
    std::uint64_t DeviceMicros() const { return device_; }

    // Costs of one clock read and one hardware access (defaults 10 and 1).
    void SetSteps(std::uint64_t perClockRead, std::uint64_t perAccess) {
        perClockRead_ = perClockRead;
        perAccess_ = perAccess;
    }

    void OnClockRead() { Busy(perClockRead_); }
    void OnAccess() { Busy(perAccess_); }
    void OnSleep(std::uint64_t us) { device_ += us; }
    // Time that passes for the hardware only (tests, device models).
    void AdvanceDevice(std::uint64_t us) { device_ += us; }

private:
    void Busy(std::uint64_t us) {
        cpu_ += us;
        device_ += us;
    }

    std::uint64_t cpu_ = 0;
    std::uint64_t device_ = 0;
    std::uint64_t perClockRead_ = 10;
    std::uint64_t perAccess_ = 1;
};
