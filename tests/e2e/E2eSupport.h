// Running vorbanmill and vorbanmill-sim in a fresh directory, with an
// optional machine file, for the end-to-end tests of the commands.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace vmtest {

inline const std::string kVmExe = VM_EXE;
inline const std::string kVmSimExe = VM_SIM_EXE;

struct E2e {
    TempDir dir;
    std::string machine;  // machine-file text; empty = the demo machine
    RunOptions options;   // start of every run's options (time-out, limits)

    std::string File(const std::string& name) const { return dir.File(name); }

    // The options of a run on this machine; writes the machine file.
    RunOptions Prepare() {
        RunOptions opt = options;
        opt.cwd = dir.Path();
        if (machine.empty()) {
            opt.unsetEnv = {"VORBANMILL_SIM_MACHINE"};
        } else {
            WriteFile(File("machine.txt"), machine);
            opt.env["VORBANMILL_SIM_MACHINE"] = File("machine.txt");
        }
        return opt;
    }
    RunResult Run(const std::string& exe, const std::vector<std::string>& args) {
        return vmtest::Run(exe, args, Prepare());
    }
    RunResult Sim(const std::vector<std::string>& args) { return Run(kVmSimExe, args); }

    // Names in the directory (without "." and "..").
    std::set<std::string> Listing() const {
        std::set<std::string> names;
        if (DIR* d = opendir(dir.Path().c_str())) {
            while (dirent* e = readdir(d)) {
                std::string n = e->d_name;
                if (n != "." && n != "..") names.insert(n);
            }
            closedir(d);
        }
        return names;
    }
};

// Output after the start-up banner (checked and removed).
inline std::string Body(const RunResult& r) {
    static const std::regex banner("^VORBANMILL version 4\\.64, [^\\n]*\\n\\n");
    std::smatch m;
    if (!std::regex_search(r.out, m, banner)) {
        ADD_FAILURE() << "no banner in: " << r.out;
        return r.out;
    }
    return m.suffix();
}

}  // namespace vmtest
