// Helpers shared by the tests: temporary directories, files and running the
// programs as processes.
#pragma once

#include <cctype>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vmtest {

// A fresh directory under /tmp, removed with its contents at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
private:
    std::string path_;
};

struct RunResult {
    int exitCode = -1;  // -1 when the process did not exit normally
    bool timedOut = false;  // killed after RunOptions::timeoutSeconds
    std::string out;
    std::string err;
};

struct RunOptions {
    std::string cwd;                           // empty: current directory
    std::map<std::string, std::string> env;    // added to (or replacing in) the environment
    std::vector<std::string> unsetEnv;
    std::string stdinText;                     // fed to standard input
    int runAsUid = -1;                         // >= 0: drop to this user before exec
    int timeoutSeconds = 0;                    // > 0: kill the process after this long
    long fileSizeLimit = -1;                   // >= 0: largest file the process may write
};

// Runs exe with args (args[0] is not the program name; it is added).
RunResult Run(const std::string& exe, const std::vector<std::string>& args, const RunOptions& opt = {});

std::string ReadFile(const std::string& path, bool* ok = nullptr);
std::vector<std::uint8_t> ReadBytes(const std::string& path, bool* ok = nullptr);
void WriteFile(const std::string& path, const std::string& text);
void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
bool FileExists(const std::string& path);

// A parameterised test's name from a field of its case: every character
// other than a letter or digit becomes '_'.
inline std::string TestName(std::string text) {
    for (char& c : text)
        if (!(std::isalnum(static_cast<unsigned char>(c)))) c = '_';
    return text;
}

}  // namespace vmtest
