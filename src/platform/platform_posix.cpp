// The POSIX side of platform.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform.h"

// The non-blocking open keeps a FIFO from stalling the run until fstat has rejected it.
std::FILE *open_regular_file(const char *name) {
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat status {};
    std::FILE *file = nullptr;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0) {
        file = fdopen(fd, "rb");
    }
    if (file == nullptr) close(fd);
    return file;
}

bool seek_file(std::FILE *file, std::int64_t position) {
    return fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
}

const char *last_path_component(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

bool text_mode_writes_crlf() { return false; }
