// Files that are not regular files (a FIFO nobody writes, a directory, a
// character device that never ends) are "not found" wherever the program
// reads a file, and it ends at once instead of blocking or reading forever.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e/E2eSupport.h"

using vmtest::Body;
using vmtest::E2e;

namespace {

// A hung program is killed after this long and fails the test.
constexpr int kHangGuardSeconds = 60;

struct NonRegular {
    const char* kind;
    const char* name;  // in the run directory, or an absolute path
};

const NonRegular kNonRegular[] = {
    {"fifo", "pipe"},
    {"directory", "folder"},
    {"character device", "/dev/zero"},
};

struct Machine : E2e {
    Machine() {
        machine = "spiboard 0000:01:00.0 gethra part=M25P10\n";
        options.timeoutSeconds = kHangGuardSeconds;
        EXPECT_EQ(mkfifo(File("pipe").c_str(), 0666), 0);
        EXPECT_EQ(mkdir(File("folder").c_str(), 0777), 0);
    }
};

TEST(NonRegularFiles, ImageAndChecksumFilesAreNotFound) {
    Machine m;
    for (const NonRegular& f : kNonRegular) {
        const std::string name = f.name;
        struct Case {
            std::vector<std::string> args;
            std::string out;
        };
        const Case cases[] = {
            {{"-cf", name}, "File " + name + " not found.\n\n   ERROR: 0FL03\n"},
            {{"-v", "0", name}, "File " + name + " not found\n\n   ERROR: 0FL04\n"},
            {{"-biosfileinfo", name}, "File " + name + " not found\n"},
            {{"-rsa", name}, "File " + name + " not found\n"},
            {{"-mb", "0", name}, "File " + name + " not found.\n\n   ERROR: 0FL05\n"},
        };
        for (const Case& c : cases) {
            vmtest::RunResult r = m.Sim(c.args);
            ASSERT_FALSE(r.timedOut) << f.kind << " " << c.args[0];
            EXPECT_EQ(r.exitCode, 1) << f.kind << " " << c.args[0];
            EXPECT_EQ(Body(r), c.out) << f.kind << " " << c.args[0];
        }
    }
}

TEST(NonRegularFiles, TypeTableThatIsNoFileIsAbsent) {
    Machine m;
    const vmtest::RunResult builtIn = m.Sim({"-i"});
    ASSERT_EQ(builtIn.exitCode, 0);
    for (const NonRegular& f : kNonRegular) {
        const std::string table = m.File("quendrix.rom");
        if (f.name[0] == '/') {
            ASSERT_EQ(symlink(f.name, table.c_str()), 0);
        } else {
            ASSERT_EQ(rename(m.File(f.name).c_str(), table.c_str()), 0);
        }
        vmtest::RunResult r = m.Sim({"-i"});
        ASSERT_FALSE(r.timedOut) << f.kind;
        EXPECT_EQ(r.exitCode, 0) << f.kind;
        EXPECT_EQ(r.out, builtIn.out) << f.kind;
        ASSERT_EQ(f.name[0] == '/' ? unlink(table.c_str()) : rename(table.c_str(), m.File(f.name).c_str()), 0);
    }
}

}  // namespace
