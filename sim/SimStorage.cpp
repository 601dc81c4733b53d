#include "sim/SimStorage.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Largest part the simulator models; guards against a typo allocating gigabytes.
constexpr std::size_t kMaxStorage = 64u << 20;

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

}  // namespace

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
    if (data.size() > size) {
        *error = "'" + path + "' holds " + std::to_string(data.size()) + " bytes, more than the size " +
                 std::to_string(size);
        return nullptr;
    }
    auto s = std::make_shared<SimStorage>(size);
    std::copy(data.begin(), data.end(), s->bytes_.begin());
    // A padded file is written back whole only if something changes.
    s->saved_ = s->bytes_;
    s->path_ = path;
    if (!s->LoadStatus(error)) return nullptr;
    return s;
}

bool SimStorage::LoadStatus(std::string* error) {
    const std::string path = StatusPath(path_);
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f) {
        if (errno == ENOENT) return true;
        *error = "cannot open '" + path + "': " + Reason();
        return false;
    }
    char text[32] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[n] = '\0';
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 0);
    while (end && (*end == '\n' || *end == ' ')) ++end;
    if (n == 0 || end == text || *end != '\0' || value > 0xFF) {
        *error = "'" + path + "' does not hold a status byte";
        return false;
    }
    status_ = savedStatus_ = std::uint8_t(value);
    return true;
}

bool SimStorage::SaveStatus(std::string* error) {
    if (path_.empty() || !status_ || status_ == savedStatus_) return true;
    const std::string path = StatusPath(path_);
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        *error = "cannot write '" + path + "': " + Reason();
        return false;
    }
    const bool ok = std::fprintf(f, "0x%02X\n", unsigned(*status_)) > 0;
    if (std::fclose(f) != 0 || !ok) {
        *error = "cannot write '" + path + "'";
        return false;
    }
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
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    if (!f) {
        *error = "cannot write '" + path_ + "': " + Reason();
        return false;
    }
    bool ok = std::fwrite(bytes_.data(), 1, bytes_.size(), f) == bytes_.size();
    if (std::fclose(f) != 0) ok = false;
    if (!ok) {
        *error = "cannot write '" + path_ + "'";
        return false;
    }
    saved_ = bytes_;
    fileMissing_ = false;
    return true;
}
