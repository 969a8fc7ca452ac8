// Preloaded into the program by tests, this injects faults at chosen moments:
// - FAIL_READS=NAME@OFFSET[;NAME@OFFSET...]: a read of a file whose path ends in NAME fails
//   with EIO if it reaches that byte, as a disk fails a read that touches a bad sector;
// - FAULT_SHRINK=NAME: a read of a file whose path ends in NAME that goes back before the
//   furthest byte read finds nothing, as if the file had been cut short meanwhile;
// - FAULT_CHANGE=HOW:NAME@K[;HOW:NAME@K...]: right before the K-th read of a file whose path
//   ends in NAME, the file changes as another program would change it: "shrink" cuts it to
//   half its size, "grow" adds a scan to its end, "rewrite" writes its first byte again (the
//   same bytes, a new time); "short" leaves it as it is, but that read and every later one
//   find its end (as a share that keeps an old size might);
// - FAULT_DELAY_READS=MICROSECONDS: every read of a file waits that long first, as a slow
//   share would;
// - FAULT_WRITES_LOG=PATH: as each output file is closed, "WRITES BYTES" is added to PATH;
// - FAULT_OPENS_LOG=PATH: the path of every file opened for writing is added to PATH, and
//   "syncfs PATH" for each syncfs of a directory;
// - FAULT_SYNC_FAIL=1: every syncfs fails with EIO, as a disk that fails a write-back;
// - FAULT_SIGNALS (numbers, comma-separated) and FAULT_AT (open:K, write:K or close:K):
//   the signals are sent to the process, in order, right after the K-th output file is
//   created, before its first write, or while it is being closed (before the close itself),
//   by whichever thread does it;
// - FAULT_UNLINK_SIGNAL=N: signal N is raised as an output file is removed (before the
//   removal itself), as if it arrived while the program acted on an earlier one;
// - FAULT_EINTR=1: every other write fails with EINTR, as a signal with a handler that
//   returns would make it fail;
// - FAULT_VANISH=1: the first lstat of each output name says it is gone, as if another
//   process had removed it right after the program found it taken;
// - FAULT_WHOLE_SECONDS=1: every time stamp that stat, fstat and lstat give is cut to the
//   whole second, as file systems with a coarse clock keep them;
// - FAULT_DELAY_OPEN=NAME@MICROSECONDS: the first create of a file whose path ends in NAME
//   waits that long first, as a slow disk might make it;
// - FAULT_DENY=NAME: an open of a path that ends in NAME fails with EACCES, as a file or
//   directory of mode 000 does for anyone but root;
// - FAULT_NO_THREADS=1: no thread can be started (pthread_create fails with EAGAIN), as
//   under a tight limit of processes or memory.
// Output files are those created with a name ending in ".dta" or ".tmp".
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
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

// The path the descriptor reads, in path; its length, or -1.
ssize_t path_of(int fd, char (&path)[4096]) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (length >= 0) path[length] = '\0';
    return length;
}

bool path_ends_in(int fd, const char *name) {
    char path[4096];
    const ssize_t length = path_of(fd, path);
    const std::size_t name_length = std::strlen(name);
    return length >= 0 && static_cast<std::size_t>(length) >= name_length &&
           std::strcmp(path + length - name_length, name) == 0;
}

// The offset from which reads of the file fail; -1 for none.
off_t failing_offset(int fd) {
    const char *list = std::getenv("FAIL_READS");
    char path[4096];
    const ssize_t length = list != nullptr ? path_of(fd, path) : -1;
    if (length <= 0) return -1;
    for (const char *entry = list; *entry != '\0';) {
        const char *at = std::strchr(entry, '@');
        if (at == nullptr) break;
        const auto name_length = static_cast<std::size_t>(at - entry);
        char *end = nullptr;
        const off_t offset = std::strtoll(at + 1, &end, 10);
        if (static_cast<std::size_t>(length) >= name_length &&
            std::strncmp(path + length - name_length, entry, name_length) == 0)
            return offset;
        entry = *end == ';' ? end + 1 : end;
    }
    return -1;
}

// Whether the read of length bytes at offset must fail.
bool read_fails(int fd, std::size_t length, off_t offset) {
    if (const char *delay = std::getenv("FAULT_DELAY_READS")) usleep(static_cast<useconds_t>(std::atoi(delay)));
    const off_t fail_at = failing_offset(fd);
    return fail_at >= 0 && offset + static_cast<off_t>(length) > fail_at;
}

using Pread = ssize_t (*)(int, void *, size_t, off_t);

// Whether the file has shrunk for a read at offset: it goes back, and the file is FAULT_SHRINK's.
bool shrunk(int fd, off_t offset) {
    static off_t furthest[1024];
    const char *name = std::getenv("FAULT_SHRINK");
    if (name == nullptr || fd < 0 || fd >= 1024 || !path_ends_in(fd, name)) return false;
    if (offset < furthest[fd]) return true;
    furthest[fd] = offset;
    return false;
}

// Changes the file at path as the entry at how says; true for "short".
bool change(const char *how, int fd, const char *path) {
    const auto is = [how](const char *word) { return std::strncmp(how, word, std::strlen(word)) == 0; };
    struct stat status {};
    (void)real<int (*)(int, struct stat *)>("fstat")(fd, &status);
    if (is("shrink:") && truncate(path, status.st_size / 2) != 0) std::perror(path);
    if (is("grow:") || is("rewrite:")) {  // from a descriptor of its own, as another program
        char byte = 0;
        (void)real<Pread>("pread")(fd, &byte, 1, 0);
        const int out = real<int (*)(const char *, int, ...)>("open")(path, O_WRONLY);
        const bool grow = is("grow:");
        if (pwrite(out, grow ? "S 9 9\nZ 2 9.5\n9 9\n" : &byte, grow ? 18 : 1, grow ? status.st_size : 0) < 0)
            std::perror(path);
        real<int (*)(int)>("close")(out);
    }
    return is("short:");
}

// Whether this read finds the end of a file FAULT_CHANGE changes, after changing it if due.
bool changed_to_end(int fd) {
    static std::atomic<int> reads[16];  // of each entry's file
    static std::atomic<bool> ended[16];
    const char *list = std::getenv("FAULT_CHANGE");
    char path[4096];
    const ssize_t length = list != nullptr ? path_of(fd, path) : -1;
    bool end_found = false;
    for (int entry = 0; length > 0 && entry < 16 && *list != '\0'; ++entry) {
        const char *colon = std::strchr(list, ':');
        const char *at = colon != nullptr ? std::strchr(colon, '@') : nullptr;
        if (at == nullptr) break;
        char *next = nullptr;
        const long due = std::strtol(at + 1, &next, 10);
        const auto name_length = static_cast<std::size_t>(at - colon - 1);
        if (static_cast<std::size_t>(length) >= name_length &&
            std::strncmp(path + length - name_length, colon + 1, name_length) == 0) {
            if (++reads[entry] == due) ended[entry] = change(list, fd, path);
            end_found = end_found || ended[entry];
        }
        list = *next == ';' ? next + 1 : next;
    }
    return end_found;
}

ssize_t failing_pread(const char *real_name, int fd, void *buffer, size_t length, off_t offset) {
    if (read_fails(fd, length, offset)) {
        errno = EIO;
        return -1;
    }
    if (shrunk(fd, offset) || changed_to_end(fd)) return 0;
    return real<Pread>(real_name)(fd, buffer, length, offset);
}

// Signals and interrupted writes

constexpr int kMaxOutputs = 1024;
bool is_output[kMaxOutputs];  // by descriptor: an output file created since the start
unsigned writes_of[kMaxOutputs];          // by descriptor: the output's writes so far
unsigned long long bytes_of[kMaxOutputs];  // and its bytes
std::atomic<int> outputs_created{0};      // by every thread
std::atomic<int> first_writes_pending{-1};  // descriptor of the K-th output until its first write

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
        kill(getpid(), static_cast<int>(number));  // to the process: a thread of its may take it
        p = *end == ',' ? end + 1 : end;
        if (*p != '\0') usleep(100000);  // taken before the next, by whichever thread takes it
    }
}

bool names_output(const char *path) {
    const std::size_t length = std::strlen(path);
    return length > 4 && (std::strcmp(path + length - 4, ".dta") == 0 ||
                          std::strcmp(path + length - 4, ".tmp") == 0);
}

bool interrupt_this_write(int fd) {
    static std::atomic<unsigned> writes{0};
    int pending = fd;
    if (first_writes_pending.compare_exchange_strong(pending, -1)) raise_signals();
    if (std::getenv("FAULT_EINTR") == nullptr || ++writes % 2 == 0) return false;
    errno = EINTR;
    return true;
}

void log_writes(int fd) {
    const char *log = std::getenv("FAULT_WRITES_LOG");
    if (log == nullptr) return;
    if (FILE *out = std::fopen(log, "a")) {
        std::fprintf(out, "%u %llu\n", writes_of[fd], bytes_of[fd]);
        std::fclose(out);
    }
}

void log_open(const char *what, const char *path) {
    const char *log = std::getenv("FAULT_OPENS_LOG");
    if (log == nullptr) return;
    if (FILE *out = std::fopen(log, "a")) {
        std::fprintf(out, "%s%s\n", what, path);
        std::fclose(out);
    }
}

int opened(const char *path, int flags, int fd) {
    if ((flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0) log_open("", path);
    if (fd < 0 || fd >= kMaxOutputs || (flags & O_CREAT) == 0 || !names_output(path)) return fd;
    is_output[fd] = true;
    writes_of[fd] = 0;
    bytes_of[fd] = 0;
    const int created = ++outputs_created;
    if (fault_at("write", created)) first_writes_pending = fd;
    if (fault_at("open", created)) raise_signals();
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

namespace {

void delay_first_create(const char *path, int flags) {
    static std::atomic<bool> delayed{false};
    const char *setting = std::getenv("FAULT_DELAY_OPEN");
    const char *at = setting != nullptr ? std::strchr(setting, '@') : nullptr;
    if (at == nullptr || (flags & O_CREAT) == 0) return;
    const std::size_t length = std::strlen(path), name_length = static_cast<std::size_t>(at - setting);
    if (length < name_length || std::strncmp(path + length - name_length, setting, name_length) != 0) return;
    if (!delayed.exchange(true)) usleep(static_cast<useconds_t>(std::atoi(at + 1)));
}

bool denied(const char *path) {
    const char *name = std::getenv("FAULT_DENY");
    const std::size_t length = std::strlen(path);
    const std::size_t name_length = name != nullptr ? std::strlen(name) : 0;
    if (name == nullptr || length < name_length || std::strcmp(path + length - name_length, name) != 0) return false;
    errno = EACCES;
    return true;
}

}  // namespace

extern "C" int open(const char *path, int flags, ...) {
    if (denied(path)) return -1;
    delay_first_create(path, flags);
    va_list arguments;
    va_start(arguments, flags);
    const auto mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
    return opened(path, flags, real<int (*)(const char *, int, ...)>("open")(path, flags, mode));
}
extern "C" int open64(const char *path, int flags, ...) {
    if (denied(path)) return -1;
    delay_first_create(path, flags);
    va_list arguments;
    va_start(arguments, flags);
    const auto mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
    return opened(path, flags, real<int (*)(const char *, int, ...)>("open64")(path, flags, mode));
}

extern "C" int close(int fd) {
    if (fd >= 0 && fd < kMaxOutputs && is_output[fd]) {
        is_output[fd] = false;
        log_writes(fd);
        static std::atomic<int> closed{0};
        if (fault_at("close", ++closed)) raise_signals();
    }
    return real<int (*)(int)>("close")(fd);
}

ssize_t counted(int fd, ssize_t written) {
    if (fd >= 0 && fd < kMaxOutputs && is_output[fd] && written > 0) {
        ++writes_of[fd];
        bytes_of[fd] += static_cast<unsigned long long>(written);
    }
    return written;
}

namespace {

// Whether this lstat must say the name is gone: the first for each output name.
bool vanishes(const char *path) {
    static char last[4096];
    if (std::getenv("FAULT_VANISH") == nullptr || !names_output(path) || std::strcmp(last, path) == 0)
        return false;
    std::snprintf(last, sizeof last, "%s", path);
    errno = ENOENT;
    return true;
}

}  // namespace

template <typename Status>
int coarse(int result, Status *status) {
    if (result == 0 && std::getenv("FAULT_WHOLE_SECONDS") != nullptr)
        status->st_atim.tv_nsec = status->st_mtim.tv_nsec = status->st_ctim.tv_nsec = 0;
    return result;
}

extern "C" int lstat(const char *path, struct stat *status) {
    if (vanishes(path)) return -1;
    return coarse(real<int (*)(const char *, struct stat *)>("lstat")(path, status), status);
}
extern "C" int lstat64(const char *path, struct stat64 *status) {
    if (vanishes(path)) return -1;
    return coarse(real<int (*)(const char *, struct stat64 *)>("lstat64")(path, status), status);
}
extern "C" int stat(const char *path, struct stat *status) {
    return coarse(real<int (*)(const char *, struct stat *)>("stat")(path, status), status);
}
extern "C" int stat64(const char *path, struct stat64 *status) {
    return coarse(real<int (*)(const char *, struct stat64 *)>("stat64")(path, status), status);
}
extern "C" int fstat(int fd, struct stat *status) {
    return coarse(real<int (*)(int, struct stat *)>("fstat")(fd, status), status);
}
extern "C" int fstat64(int fd, struct stat64 *status) {
    return coarse(real<int (*)(int, struct stat64 *)>("fstat64")(fd, status), status);
}

extern "C" ssize_t write(int fd, const void *buffer, size_t length) {
    if (interrupt_this_write(fd)) return -1;
    return counted(fd, real<ssize_t (*)(int, const void *, size_t)>("write")(fd, buffer, length));
}

extern "C" ssize_t writev(int fd, const struct iovec *parts, int count) {
    if (interrupt_this_write(fd)) return -1;
    return counted(fd, real<ssize_t (*)(int, const struct iovec *, int)>("writev")(fd, parts, count));
}

extern "C" int syncfs(int fd) {
    char path[4096];
    if (path_of(fd, path) >= 0) log_open("syncfs ", path);
    if (std::getenv("FAULT_SYNC_FAIL") == nullptr) return real<int (*)(int)>("syncfs")(fd);
    errno = EIO;
    return -1;
}

extern "C" int unlink(const char *path) {
    const char *signal_number = std::getenv("FAULT_UNLINK_SIGNAL");
    if (signal_number != nullptr && names_output(path)) std::raise(std::atoi(signal_number));
    return real<int (*)(const char *)>("unlink")(path);
}

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attributes, void *(*start)(void *),
                              void *argument) {
    if (std::getenv("FAULT_NO_THREADS") != nullptr) return EAGAIN;
    using Create = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    return real<Create>("pthread_create")(thread, attributes, start, argument);
}
