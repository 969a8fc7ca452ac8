// Preloaded into the program by a test, this makes reads of one input fail part-way, as a
// failing disk would. A read of a file whose path ends in $FAIL_READS_NAME stops short at byte
// $FAIL_READS_AT, and any read from there on fails with EIO.
#include <dlfcn.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using Pread = ssize_t (*)(int, void *, size_t, off_t);

bool is_failing_file(int fd) {
    const char *name = std::getenv("FAIL_READS_NAME");
    char link[64];
    char path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (name == nullptr || length <= 0) return false;
    path[length] = '\0';
    const std::size_t name_length = std::strlen(name);
    return static_cast<std::size_t>(length) >= name_length &&
           std::strcmp(path + length - name_length, name) == 0;
}

ssize_t failing_pread(const char *real_name, int fd, void *buffer, size_t length, off_t offset) {
    const auto real = reinterpret_cast<Pread>(dlsym(RTLD_NEXT, real_name));
    const char *fail_at_text = std::getenv("FAIL_READS_AT");
    if (fail_at_text != nullptr && is_failing_file(fd)) {
        const off_t fail_at = std::strtoll(fail_at_text, nullptr, 10);
        if (offset >= fail_at) {
            errno = EIO;
            return -1;
        }
        if (offset + static_cast<off_t>(length) > fail_at)
            length = static_cast<size_t>(fail_at - offset);
    }
    return real(fd, buffer, length, offset);
}

}  // namespace

// Where off_t has 64 bits the program calls pread, elsewhere pread64.
extern "C" ssize_t pread(int fd, void *buffer, size_t length, off_t offset) {
    return failing_pread("pread", fd, buffer, length, offset);
}
extern "C" ssize_t pread64(int fd, void *buffer, size_t length, off_t offset) {
    return failing_pread("pread64", fd, buffer, length, offset);
}
