// A SiI1930 board in vorbanmill-sim (reached through a text type table):
// "-i" and "-ai" show the device's firmware version as the device reports
// it, read over GPIO I2C after the reset pulse on the pins given.
#include <gtest/gtest.h>

#include <string>

#include "e2e/E2eSupport.h"

using vmtest::Body;
using vmtest::E2e;

namespace {

TEST(SiI1930Board, ListingsShowTheDeviceFirmwareVersion) {
    struct Case {
        const char* name;
        const char* device;  // sii1930 statement options
        const char* version;
        const char* variant;
    } kCases[] = {
        {"answers", "version=0x3460", "3.4", "6"},
        // A failed version read shows as version 0.0.
        {"silent", "version=0x3460 fault=nack", "0.0", "0"},
    };
    for (const Case& c : kCases) {
        E2e m;
        vmtest::WriteFile(m.File("quendrix.rom"),
                          vmtest::ReadFile(VM_SOURCE_DIR "/tests/engine/fixtures/sii1930_board.rom"));
        // Register 0xC bit 3 is clear, so pins given on the command line
        // are driven through register set B.
        m.machine = std::string("adapter 0000:01:00.0 quor device=0x4162\nsii1930 pins=b reset=4 program=5 ") +
                    c.device + "\n";
        vmtest::RunResult r = m.Sim({"-i", "-scansii", "-siireset=4", "-siiuprog=5"});
        EXPECT_EQ(r.exitCode, 0) << c.name << r.out;
        EXPECT_NE(Body(r).find("SiI 1930          4000   -        -"), std::string::npos) << c.name << r.out;

        r = m.Sim({"-ai", "-scansii", "-siireset=4", "-siiuprog=5"});
        EXPECT_EQ(r.exitCode, 0) << c.name << r.out;
        EXPECT_NE(Body(r).find(std::string("    Firmware Version   :  ") + c.version + "\n"), std::string::npos)
            << c.name << r.out;
        EXPECT_NE(Body(r).find(std::string("    Firmware Variant   :  ") + c.variant + "\n"), std::string::npos)
            << c.name << r.out;
    }
}

}  // namespace
