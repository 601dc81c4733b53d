// Opening the user's files: never blocking in open(), and for reading only
// regular files, so /dev/zero, a FIFO or a directory cannot hang or feed
// the program endlessly.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/COsDepend.h"
#include "platform/HardwareBackend.h"

namespace {

// Reads and writes after the open may block again as for any file.
FILE* StreamOf(int fd, const char* mode) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE* f = fdopen(fd, mode);
    if (!f) close(fd);
    return f;
}

}  // namespace

FILE* COsDepend::OpenInputFile(const char* path) {
    if (!path) return nullptr;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    return StreamOf(fd, "r");
}

FILE* COsDepend::OpenOutputFile(const char* path, bool append) {
    if (!path) return nullptr;
    // A FIFO without a reader fails here at once instead of waiting for one.
    const int fd = open(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (append ? O_APPEND : O_TRUNC),
                        0666);
    if (fd < 0) return nullptr;
    return StreamOf(fd, append ? "a" : "w");
}

FILE* COsDepend::OpenOwnExecutable() {
    const std::string path = Hw().OwnExecutablePath();
    return path.empty() ? nullptr : OpenInputFile(path.c_str());
}

bool COsDepend::IsRegularFile(FILE* file) {
    struct stat st;
    return file && fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
}
