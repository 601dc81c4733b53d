// The bytes of a ROM or flash part, optionally kept in a file beside the
// machine file: loaded at start, written back by SaveBackingFiles when they
// changed (or when the file did not exist yet). A part's non-volatile status
// bits live in a companion file, PATH.status (one number, "0x9C"), so that
// protection set in one run is there in the next. Both files are replaced
// whole (a new file renamed over the old), so a save cut short leaves the
// previous content; PATH.lock keeps a second run off the files meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class SimFileLock;

class SimStorage {
public:
    // In-memory storage of `size` bytes of `fill`.
    explicit SimStorage(std::size_t size, std::uint8_t fill = 0xFF);

    // Storage backed by `path`. A missing file gives `size` bytes of 0xFF
    // and is created on save; a file of any other length than `size` is
    // refused (a cut-short file is no part with an erased tail). size 0
    // takes the file's size (a missing file is then an error).
    // Null on failure, with the reason in *error.
    static std::shared_ptr<SimStorage> Load(const std::string& path, std::size_t size, std::string* error);
    // Load after taking the lock of the path for as long as the storage
    // lives, waiting a few seconds for another run to let go of it.
    static std::shared_ptr<SimStorage> LoadLocked(const std::string& path, std::size_t size, std::string* error);

    std::vector<std::uint8_t>& Bytes() { return bytes_; }
    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }
    std::size_t Size() const { return bytes_.size(); }
    const std::string& Path() const { return path_; }

    // Replaces the content as if it had been loaded (no write-back for it).
    void SetInitial(const std::vector<std::uint8_t>& bytes);

    // The part's non-volatile status bits; none for a part that never had
    // them saved (a new part).
    std::optional<std::uint8_t> NonVolatileStatus() const { return status_; }
    void SetNonVolatileStatus(std::uint8_t value) { status_ = value; }
    static std::string StatusPath(const std::string& path) { return path + ".status"; }
    static std::string LockPath(const std::string& path) { return path + ".lock"; }

    bool NeedsSave() const;
    // Writes the bytes to the file when NeedsSave(); true when nothing had
    // to be written or the write succeeded.
    bool Save(std::string* error);

private:
    std::string path_;
    std::vector<std::uint8_t> bytes_;
    std::vector<std::uint8_t> saved_;   // content the file holds
    bool fileMissing_ = false;
    std::optional<std::uint8_t> status_;
    std::optional<std::uint8_t> savedStatus_;  // what the companion file holds
    std::shared_ptr<SimFileLock> lock_;

    bool LoadStatus(std::string* error);
    bool SaveStatus(std::string* error);
};
