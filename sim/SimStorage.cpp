#include "sim/SimStorage.h"

#include "sim/SimCommon.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>

namespace {

// Largest part the simulator models; guards against a typo allocating gigabytes.
constexpr std::size_t kMaxStorage = 64u << 20;
// How long a run waits for another run on the same files: far longer than
// a run takes, short enough that a stuck run is reported, not waited out.
constexpr auto kLockWait = std::chrono::seconds(5);

std::string Reason() { return std::strerror(errno); }

// False when the file holds more than kMaxStorage bytes.
bool ReadUpToLimit(std::FILE* f, std::vector<std::uint8_t>* data) {
    std::uint8_t chunk[65536];
    for (;;) {
        std::size_t n = std::fread(chunk, 1, sizeof chunk, f);
        data->insert(data->end(), chunk, chunk + n);
        if (data->size() > kMaxStorage) return false;
        if (n < sizeof chunk) return true;
    }
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

// The rename itself is only durable once the directory is written.
void SyncDirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// Writes the bytes to a new file beside `path` and renames it over `path`,
// so that `path` holds either its old content or all of the new one, also
// after a full disk, a file-size limit or a crash.
bool ReplaceFile(const std::string& path, const std::uint8_t* data, std::size_t size, std::string* error) {
    const std::string temp = path + ".new";
    struct stat old {};
    const bool existed = ::stat(path.c_str(), &old) == 0;
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return SimFail(error, "cannot write '" + path + "': " + Reason());
    bool ok = WriteAll(fd, data, size) && (!existed || ::fchmod(fd, old.st_mode & 07777) == 0) && ::fsync(fd) == 0;
    int why = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        why = errno;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) == 0) {
        SyncDirectoryOf(path);
        return true;
    }
    if (ok) why = errno;
    ::unlink(temp.c_str());
    return SimFail(error, "cannot write '" + path + "': " + std::strerror(why));
}

// "0x9C" or "156", with blanks or a newline after it.
bool ParseStatusText(std::string text, std::uint8_t* value) {
    while (!text.empty() && std::strchr(" \t\r\n", text.back())) text.pop_back();
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 3) return false;
    unsigned v = 0;
    for (const char c : digits) {
        const int d = c >= '0' && c <= '9' ? c - '0'
                      : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                      : -1;
        if (d < 0) return false;
        v = v * (hex ? 16 : 10) + unsigned(d);
    }
    if (v > 0xFF) return false;
    *value = std::uint8_t(v);
    return true;
}

}  // namespace

// An exclusive lock on a lock file, held by one run at a time. Storages of
// one process share it, so that a second machine built in the same process
// does not wait for the first.
class SimFileLock {
public:
    using Key = std::pair<dev_t, ino_t>;
    SimFileLock(int fd, Key key) : fd_(fd), key_(key) {}
    ~SimFileLock() {
        Held().erase(key_);
        ::close(fd_);
    }
    SimFileLock(const SimFileLock&) = delete;
    SimFileLock& operator=(const SimFileLock&) = delete;

    // True with the lock in *lock, or with none where the directory takes
    // no new files (a run there cannot replace the files either).
    static bool Acquire(const std::string& path, const std::string& what, std::shared_ptr<SimFileLock>* lock,
                        std::string* error);

private:
    static std::map<Key, std::weak_ptr<SimFileLock>>& Held() {
        static auto* held = new std::map<Key, std::weak_ptr<SimFileLock>>;
        return *held;
    }
    int fd_;
    Key key_;
};

bool SimFileLock::Acquire(const std::string& path, const std::string& what, std::shared_ptr<SimFileLock>* lock,
                          std::string* error) {
    // Read-only suffices for flock, and lets a lock file another user made be shared.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return errno == EACCES || errno == EROFS || SimFail(error, "cannot lock '" + path + "': " + Reason());
    auto fail = [&](const std::string& text) {
        ::close(fd);
        return SimFail(error, text);
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fail("cannot lock '" + path + "': " + Reason());
    const Key key{st.st_dev, st.st_ino};
    const auto held = Held().find(key);
    if (held != Held().end() && (*lock = held->second.lock())) {
        ::close(fd);
        return true;
    }
    // Wall-clock time on purpose: the other run is a process, not a device.
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) return fail("cannot lock '" + path + "': " + Reason());
        if (std::chrono::steady_clock::now() > deadline) return fail("'" + what + "' is in use by another run");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    *lock = std::make_shared<SimFileLock>(fd, key);
    Held()[key] = *lock;
    return true;
}

SimStorage::SimStorage(std::size_t size, std::uint8_t fill) : bytes_(size, fill), saved_(bytes_) {}

std::shared_ptr<SimStorage> SimStorage::Load(const std::string& path, std::size_t size, std::string* error) {
    if (size > kMaxStorage) {
        *error = "size of '" + path + "' is above the 64M limit";
        return nullptr;
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        if (errno != ENOENT) {
            *error = "cannot open '" + path + "': " + Reason();
            return nullptr;
        }
        if (size == 0) {
            *error = "'" + path + "' does not exist and no size is given";
            return nullptr;
        }
        auto s = std::make_shared<SimStorage>(size);
        s->path_ = path;
        s->fileMissing_ = true;
        if (!s->LoadStatus(error)) return nullptr;
        return s;
    }
    std::vector<std::uint8_t> data;
    const bool tooLong = !ReadUpToLimit(f, &data);
    bool readError = std::ferror(f) != 0;
    std::fclose(f);
    if (readError) {
        *error = "cannot read '" + path + "'";
        return nullptr;
    }
    if (tooLong) {
        *error = "'" + path + "' is larger than 64M";
        return nullptr;
    }
    if (size == 0) {
        if (data.empty()) {
            *error = "'" + path + "' is empty and no size is given";
            return nullptr;
        }
        size = data.size();
    }
    if (data.size() != size) {
        *error = "'" + path + "' holds " + std::to_string(data.size()) + " bytes, " +
                 (data.size() > size ? "more" : "less") + " than the size " + std::to_string(size);
        return nullptr;
    }
    auto s = std::make_shared<SimStorage>(0);
    s->bytes_ = std::move(data);
    s->saved_ = s->bytes_;
    s->path_ = path;
    if (!s->LoadStatus(error)) return nullptr;
    return s;
}

std::shared_ptr<SimStorage> SimStorage::LoadLocked(const std::string& path, std::size_t size, std::string* error) {
    std::shared_ptr<SimFileLock> lock;
    if (!SimFileLock::Acquire(LockPath(path), path, &lock, error)) return nullptr;
    std::shared_ptr<SimStorage> s = Load(path, size, error);
    if (s) s->lock_ = std::move(lock);
    return s;
}

bool SimStorage::LoadStatus(std::string* error) {
    const std::string path = StatusPath(path_);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        if (errno == ENOENT) return true;
        *error = "cannot open '" + path + "': " + Reason();
        return false;
    }
    char text[32];
    const std::size_t n = std::fread(text, 1, sizeof text, f);
    std::fclose(f);
    std::uint8_t value = 0;
    // A longer file or a NUL in it is no status this program wrote.
    if (n == sizeof text || std::memchr(text, '\0', n) || !ParseStatusText(std::string(text, n), &value)) {
        *error = "'" + path + "' does not hold a status byte";
        return false;
    }
    status_ = savedStatus_ = value;
    return true;
}

bool SimStorage::SaveStatus(std::string* error) {
    if (path_.empty() || !status_ || status_ == savedStatus_) return true;
    char text[8];
    const int n = std::snprintf(text, sizeof text, "0x%02X\n", unsigned(*status_));
    if (!ReplaceFile(StatusPath(path_), reinterpret_cast<const std::uint8_t*>(text), std::size_t(n), error))
        return false;
    savedStatus_ = status_;
    return true;
}

void SimStorage::SetInitial(const std::vector<std::uint8_t>& bytes) {
    bytes_ = bytes;
    saved_ = bytes;
}

bool SimStorage::NeedsSave() const { return !path_.empty() && (fileMissing_ || bytes_ != saved_); }

bool SimStorage::Save(std::string* error) {
    if (!SaveStatus(error)) return false;
    if (!NeedsSave()) return true;
    if (!ReplaceFile(path_, bytes_.data(), bytes_.size(), error)) return false;
    saved_ = bytes_;
    fileMissing_ = false;
    return true;
}
