#include "support/TestSupport.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vmtest {

TempDir::TempDir() {
    char tmpl[] = "/tmp/vmtest.XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
    chmod(path_.c_str(), 0777);
}

static int RemoveEntry(const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }

TempDir::~TempDir() { nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

RunResult Run(const std::string& exe, const std::vector<std::string>& args, const RunOptions& opt) {
    // Output goes to temporary files so large output cannot dead-lock the pipes.
    TempDir io;
    std::string outPath = io.File("out"), errPath = io.File("err"), inPath = io.File("in");
    WriteFile(inPath, opt.stdinText);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int in = open(inPath.c_str(), O_RDONLY);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0) _exit(127);
        for (auto& name : opt.unsetEnv) unsetenv(name.c_str());
        for (auto& [k, v] : opt.env) setenv(k.c_str(), v.c_str(), 1);
        if (opt.fileSizeLimit >= 0) {
            // A write past the limit then fails with an error instead of a signal.
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{rlim_t(opt.fileSizeLimit), rlim_t(opt.fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (opt.runAsUid >= 0) {
            if (setgid(gid_t(opt.runAsUid)) != 0 || setuid(uid_t(opt.runAsUid)) != 0) _exit(126);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(exe.c_str()));
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    RunResult r;
    if (opt.timeoutSeconds > 0) {
        // A guard against hangs, not a speed limit: a hung program fails
        // the test instead of stalling the suite.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(opt.timeoutSeconds);
        while (true) {
            const pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == pid || (done < 0 && errno != EINTR)) break;
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
                r.timedOut = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    } else {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadFile(outPath);
    r.err = ReadFile(errPath);
    return r;
}

std::string ReadFile(const std::string& path, bool* ok) {
    std::ifstream f(path, std::ios::binary);
    if (ok) *ok = bool(f);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::vector<std::uint8_t> ReadBytes(const std::string& path, bool* ok) {
    std::string s = ReadFile(path, ok);
    return std::vector<std::uint8_t>(s.begin(), s.end());
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace vmtest
