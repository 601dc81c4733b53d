// vorbanmill-sim: the same program on a simulated machine, described by the
// file named in VORBANMILL_SIM_MACHINE (a built-in demo machine otherwise).
#include <cstdio>
#include <memory>
#include <string>

#include "platform/HardwareBackend.h"
#include "sim/SimMachineFile.h"
#include "ui/Main.h"

int main(int argc, char** argv) {
    std::string error;
    std::unique_ptr<SimHardware> sim = CreateSimFromEnvironment(&error);
    if (!sim) {
        std::fprintf(stderr, "vorbanmill-sim: %s\n", error.c_str());
        return 1;
    }
    InstallHardware(sim.get());
    int code = VorbanmillMain(argc, argv);
    std::fflush(stdout);
    if (!sim->SaveBackingFiles(&error)) {
        std::fprintf(stderr, "vorbanmill-sim: %s\n", error.c_str());
        if (code == 0) code = 1;
    }
    InstallHardware(nullptr);
    return code;
}
