// Preloaded into the program by tests, this injects faults at chosen moments:
// - FAIL_READS_NAME, FAIL_READS_AT: a read of the file whose path ends in the name stops
//   short at that byte, and any read from there on fails with EIO, as a failing disk would;
// - FAULT_SIGNALS (numbers, comma-separated) and FAULT_AT (open:K, write:K or close:K):
//   the signals are raised, in order, right after the K-th output file is created, before
//   its first write, or while it is being closed (before the close itself);
// - FAULT_EINTR=1: every other write fails with EINTR, as a signal with a handler that
//   returns would make it fail.
// Output files are those created with a name ending in ".dta" or ".tmp".
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <typename Function>
Function real(const char *name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// Reads

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

// The length to read at offset, or -1 when the read must fail.
ssize_t allowed_length(int fd, std::size_t length, off_t offset) {
    const char *fail_at_text = std::getenv("FAIL_READS_AT");
    if (fail_at_text == nullptr || !is_failing_file(fd)) return static_cast<ssize_t>(length);
    const off_t fail_at = std::strtoll(fail_at_text, nullptr, 10);
    if (offset >= fail_at) return -1;
    const off_t room = fail_at - offset;
    return static_cast<ssize_t>(static_cast<off_t>(length) < room ? static_cast<off_t>(length) : room);
}

using Pread = ssize_t (*)(int, void *, size_t, off_t);

ssize_t failing_pread(const char *real_name, int fd, void *buffer, size_t length, off_t offset) {
    const ssize_t allowed = allowed_length(fd, length, offset);
    if (allowed < 0) {
        errno = EIO;
        return -1;
    }
    return real<Pread>(real_name)(fd, buffer, static_cast<size_t>(allowed), offset);
}

// Signals and interrupted writes

constexpr int kMaxOutputs = 1024;
bool is_output[kMaxOutputs];  // by descriptor: an output file created since the start
int outputs_created = 0;
int first_writes_pending = -1;  // descriptor of the K-th output until its first write

bool fault_at(const char *moment, int count) {
    const char *at = std::getenv("FAULT_AT");
    const std::size_t length = std::strlen(moment);
    return at != nullptr && std::strncmp(at, moment, length) == 0 && at[length] == ':' &&
           std::atoi(at + length + 1) == count;
}

void raise_signals() {
    const char *list = std::getenv("FAULT_SIGNALS");
    for (const char *p = list; p != nullptr && *p != '\0';) {
        char *end = nullptr;
        const long number = std::strtol(p, &end, 10);
        if (end == p) break;
        std::raise(static_cast<int>(number));
        p = *end == ',' ? end + 1 : end;
    }
}

bool names_output(const char *path) {
    const std::size_t length = std::strlen(path);
    return length > 4 && (std::strcmp(path + length - 4, ".dta") == 0 ||
                          std::strcmp(path + length - 4, ".tmp") == 0);
}

bool interrupt_this_write(int fd) {
    static unsigned writes = 0;
    if (fd == first_writes_pending) {
        first_writes_pending = -1;
        raise_signals();
    }
    if (std::getenv("FAULT_EINTR") == nullptr || ++writes % 2 == 0) return false;
    errno = EINTR;
    return true;
}

int opened(const char *path, int flags, int fd) {
    if (fd < 0 || fd >= kMaxOutputs || (flags & O_CREAT) == 0 || !names_output(path)) return fd;
    is_output[fd] = true;
    ++outputs_created;
    if (fault_at("write", outputs_created)) first_writes_pending = fd;
    if (fault_at("open", outputs_created)) raise_signals();
    return fd;
}

}  // namespace

// Where off_t has 64 bits the program calls pread, elsewhere pread64.
extern "C" ssize_t pread(int fd, void *buffer, size_t length, off_t offset) {
    return failing_pread("pread", fd, buffer, length, offset);
}
extern "C" ssize_t pread64(int fd, void *buffer, size_t length, off_t offset) {
    return failing_pread("pread64", fd, buffer, length, offset);
}

extern "C" ssize_t read(int fd, void *buffer, size_t length) {
    const off_t offset = lseek(fd, 0, SEEK_CUR);
    const ssize_t allowed = offset < 0 ? static_cast<ssize_t>(length) : allowed_length(fd, length, offset);
    if (allowed < 0) {
        errno = EIO;
        return -1;
    }
    return real<ssize_t (*)(int, void *, size_t)>("read")(fd, buffer, static_cast<size_t>(allowed));
}

extern "C" int open(const char *path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const auto mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
    return opened(path, flags, real<int (*)(const char *, int, ...)>("open")(path, flags, mode));
}
extern "C" int open64(const char *path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const auto mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
    return opened(path, flags, real<int (*)(const char *, int, ...)>("open64")(path, flags, mode));
}

extern "C" int close(int fd) {
    if (fd >= 0 && fd < kMaxOutputs && is_output[fd]) {
        is_output[fd] = false;
        static int closed = 0;  // outputs are closed in the order they are created
        if (fault_at("close", ++closed)) raise_signals();
    }
    return real<int (*)(int)>("close")(fd);
}

extern "C" ssize_t write(int fd, const void *buffer, size_t length) {
    if (interrupt_this_write(fd)) return -1;
    return real<ssize_t (*)(int, const void *, size_t)>("write")(fd, buffer, length);
}

extern "C" ssize_t writev(int fd, const struct iovec *parts, int count) {
    if (interrupt_this_write(fd)) return -1;
    return real<ssize_t (*)(int, const struct iovec *, int)>("writev")(fd, parts, count);
}
