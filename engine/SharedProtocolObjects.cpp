#include "engine/SharedProtocolObjects.h"

#include <algorithm>
#include <new>
#include <vector>

#include "engine/CFlash.h"
#include "protocols/CGenI2C.h"
#include "protocols/CGenSPI.h"
#include "protocols/CMibI2C.h"
#include "protocols/CNerrowSerial.h"
#include "protocols/CParallel.h"
#include "protocols/CQuorSPI.h"
#include "protocols/CSiI1930.h"
#include "protocols/CVoskSerial.h"
#include "protocols/PomvekSPI.h"
#include "protocols/SecureSPI.h"
#include "protocols/TarselSPI.h"

namespace {

SharedProtocolObjects g_shared;
// Live engines, oldest first: where the objects go when theirs is destroyed.
std::vector<CFlash*>& LiveEngines() {
    static std::vector<CFlash*> engines;
    return engines;
}

void Create(CFlash* engine) {
    SharedProtocolObjects& s = g_shared;
    s.parallel = new CParallel(engine);
    s.voskSerial = new CVoskSerial(engine);
    s.nerrowSerial = new CNerrowSerial(engine);
    s.mibI2c = new CMibI2C(engine);
    s.genI2c = new CGenI2C(engine);
    s.sii1930 = new CSiI1930(engine, s.genI2c);
    s.genSpi = new CGenSPI(engine);
    s.quorSpi = new CQuorSPI(engine);
    s.tarselSpi = new TarselSPI(engine);
    s.secureSpi = new SecureSPI(engine);
    // Each variant is set up before the next is built (the family-24 set-up
    // runs its target check).
    s.pomvekSpi[0] = new PomvekSPI(engine);
    s.pomvekSpi[1] = new PomvekSPI(engine);
    s.pomvekSpi[1]->UseRegistersFamily22();
    s.pomvekSpi[2] = new PomvekSPI(engine);
    s.pomvekSpi[2]->UseRegistersFamily23();
    s.pomvekSpi[3] = new PomvekSPI(engine);
    s.pomvekSpi[3]->UseRegistersFamily24();
    s.pomvekSpi[4] = new PomvekSPI(engine);
    s.pomvekSpi[4]->UseRegistersFamily25();
    s.pomvekSpi[5] = new PomvekSPI(engine);
    s.pomvekSpi[5]->UseRegistersFamily26();
    s.pomvekSpi[6] = new PomvekSPI(engine);
    s.pomvekSpi[6]->UseRegistersFamily27();
}

void Delete() {
    SharedProtocolObjects& s = g_shared;
    for (std::uint32_t i = 0; i < kPomvekObjects; ++i) {
        delete s.pomvekSpi[i];
        s.pomvekSpi[i] = nullptr;
    }
    delete s.secureSpi;
    delete s.tarselSpi;
    delete s.quorSpi;
    delete s.genSpi;
    delete s.sii1930;
    delete s.genI2c;
    delete s.mibI2c;
    delete s.nerrowSerial;
    delete s.voskSerial;
    delete s.parallel;
    s.secureSpi = nullptr;
    s.tarselSpi = nullptr;
    s.quorSpi = nullptr;
    s.genSpi = nullptr;
    s.sii1930 = nullptr;
    s.genI2c = nullptr;
    s.mibI2c = nullptr;
    s.nerrowSerial = nullptr;
    s.voskSerial = nullptr;
    s.parallel = nullptr;
}

}  // namespace

std::uint32_t SharedProtocolObjects::HardwareSpiEngines(CQuorSPI** list) const {
    std::uint32_t n = 0;
    if (quorSpi) list[n++] = quorSpi;
    if (tarselSpi) list[n++] = tarselSpi;
    if (secureSpi) list[n++] = secureSpi;
    for (PomvekSPI* p : pomvekSpi)
        if (p) list[n++] = p;
    return n;
}

PomvekSPI* SharedProtocolObjects::PomvekForFamily(std::uint32_t family) const {
    if (family < 21 || family > 27) return nullptr;
    return pomvekSpi[family - 21];
}

SharedProtocolObjects& SharedProtocols() { return g_shared; }

void AcquireSharedProtocols(CFlash* engine) {
    LiveEngines().push_back(engine);
    if (g_shared.useCount++ == 0) Create(engine);
}

void ReleaseSharedProtocols(CFlash* engine) {
    std::vector<CFlash*>& live = LiveEngines();
    live.erase(std::remove(live.begin(), live.end(), engine), live.end());
    if (g_shared.useCount == 0) return;
    if (--g_shared.useCount == 0) {
        Delete();
        return;
    }
    // Objects that still point at the dying engine move to the oldest
    // survivor; the others already act for a live engine.
    if (live.empty()) return;
    CFlash* survivor = live.front();
    SharedProtocolObjects& s = g_shared;
    auto move = [&](auto* object) {
        if (object && object->flash == engine) object->flash = survivor;
    };
    move(s.parallel);
    move(s.voskSerial);
    move(s.nerrowSerial);
    move(s.mibI2c);
    move(s.genI2c);
    move(s.sii1930);
    move(s.genSpi);
    move(s.quorSpi);
    move(s.tarselSpi);
    move(s.secureSpi);
    for (PomvekSPI* p : s.pomvekSpi) move(p);
}

void BindSharedProtocols(CFlash* engine) {
    SharedProtocolObjects& s = g_shared;
    auto bind = [&](auto* object) {
        if (object) object->flash = engine;
    };
    bind(s.parallel);
    bind(s.voskSerial);
    bind(s.nerrowSerial);
    bind(s.mibI2c);
    bind(s.genI2c);
    bind(s.sii1930);
    bind(s.genSpi);
    bind(s.quorSpi);
    bind(s.tarselSpi);
    bind(s.secureSpi);
    for (PomvekSPI* p : s.pomvekSpi) bind(p);
}
