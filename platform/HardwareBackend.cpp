#include "platform/HardwareBackend.h"

#include "platform/LinuxHardware.h"

namespace {

HardwareBackend* g_installed = nullptr;

// Never destroyed: objects destroyed at exit may still reach the backend.
HardwareBackend& LinuxBackend() {
    static LinuxHardware* const backend = new LinuxHardware();
    return *backend;
}

}  // namespace

HardwareBackend& Hw() { return g_installed ? *g_installed : LinuxBackend(); }

void InstallHardware(HardwareBackend* backend) { g_installed = backend; }
