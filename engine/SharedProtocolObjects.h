// One object per flash protocol, shared by every engine of the process:
// created with the first engine, deleted with the last. Each object acts
// for the engine that is using it: engines rebind the objects to themselves
// when they select or open a device, and the objects move to a surviving
// engine when the one they point at is destroyed.
#pragma once

#include <cstdint>

class CFlash;
class CParallel;
class CVoskSerial;
class CNerrowSerial;
class CMibI2C;
class CGenI2C;
class CSiI1930;
class CGenSPI;
class CQuorSPI;
class TarselSPI;
class SecureSPI;
class PomvekSPI;

// The base object and the variants of families 22 to 27, in that order.
inline constexpr std::uint32_t kPomvekObjects = 7;

struct SharedProtocolObjects {
    CParallel* parallel = nullptr;
    CVoskSerial* voskSerial = nullptr;
    CNerrowSerial* nerrowSerial = nullptr;
    CMibI2C* mibI2c = nullptr;
    CGenI2C* genI2c = nullptr;
    CSiI1930* sii1930 = nullptr;
    CGenSPI* genSpi = nullptr;
    CQuorSPI* quorSpi = nullptr;
    TarselSPI* tarselSpi = nullptr;
    SecureSPI* secureSpi = nullptr;
    PomvekSPI* pomvekSpi[kPomvekObjects] = {};
    std::uint32_t useCount = 0;

    // The hardware SPI engines (everything but the software CGenSPI).
    static constexpr std::uint32_t kHardwareSpiEngines = 3 + kPomvekObjects;
    // Fills list with them; returns the count.
    std::uint32_t HardwareSpiEngines(CQuorSPI** list) const;
    // Calls visit(CQuorSPI*) for each of them.
    template <typename Visit>
    void ForEachHardwareSpiEngine(Visit visit) const {
        CQuorSPI* list[kHardwareSpiEngines];
        const std::uint32_t count = HardwareSpiEngines(list);
        for (std::uint32_t i = 0; i < count; ++i) visit(list[i]);
    }
    // The variant object of families 21 (base) to 27; null outside.
    PomvekSPI* PomvekForFamily(std::uint32_t family) const;
};

// The process-wide set.
SharedProtocolObjects& SharedProtocols();

// An engine was built: counts it and creates the objects for the first one,
// in their fixed order, each constructed with that engine.
void AcquireSharedProtocols(CFlash* engine);
// An engine is being destroyed: points the objects at a surviving engine,
// or deletes them (in their fixed order) when it was the last one.
void ReleaseSharedProtocols(CFlash* engine);
// Points every object at engine.
void BindSharedProtocols(CFlash* engine);
