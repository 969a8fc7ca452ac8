// The POSIX side of platform.h.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace {

// What an interruption finds of each thread that writes DTA files (slot 0: the main
// thread, which alone takes the signals): nothing to clean up, a moment when it must wait (a
// DTA file is being opened, closed, renamed or removed, so what stands at its name is not yet
// settled), or a file being written that it must remove. A slot it has dealt with is claimed:
// its thread starts nothing more.
enum GuardState : int { kNothingOpen, kSettling, kWriting, kClaimed };
struct Guard {
    std::atomic<int> state;
    std::atomic<const char *> path;  // what is being written, while writing
};
static_assert(std::atomic<int>::is_always_lock_free, "the handler reads the guards");
Guard guards[kGuardSlots];
volatile std::sig_atomic_t waiting_signal = 0;  // the first that arrived while the main thread settled
std::atomic<int> interruption{0};               // the signal that is ending the program

constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kCreateAttempts = 8;  // another process may remove and make the name meanwhile
constexpr int kTempAttempts = 64;   // temporary names already taken before one is free

// Ends the program as signal_number would have ended it, so that the caller's shell sees
// the interruption. The others are blocked meanwhile (in the handler by its mask, after
// settling by end_settling), so the first interruption decides, whatever arrives after it.
void end_by(int signal_number) {
    (void)std::signal(signal_number, SIG_DFL);
    sigset_t only;
    (void)sigemptyset(&only);
    (void)sigaddset(&only, signal_number);
    (void)pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    (void)std::raise(signal_number);
}

// Removes what the slot's thread is writing, once it has settled, and claims the slot.
void claim(Guard &guard) {
    for (;;) {
        int state = guard.state.load();
        if (state == kSettling) {
            const timespec pause{0, 100000};  // it is in a system call of its own: soon done
            (void)nanosleep(&pause, nullptr);
            continue;
        }
        if (state == kClaimed || guard.state.compare_exchange_strong(state, kClaimed)) {
            if (state == kWriting) (void)unlink(guard.path.load());
            return;
        }
    }
}

extern "C" void on_interruption(int signal_number) {
    if (guards[0].state.load() == kSettling) {
        if (waiting_signal == 0) waiting_signal = signal_number;
        return;
    }
    interruption.store(signal_number);
    for (Guard &guard : guards) claim(guard);
    end_by(signal_number);
}

// A writing thread's slot, once the program is being interrupted: it waits to end with it.
[[noreturn]] void stand_still() {
    for (;;) (void)pause();  // the interruptions are blocked here; the program ends meanwhile
}

void begin_settling(int slot) {
    Guard &guard = guards[slot];
    int state = guard.state.load();
    while (state == kClaimed || !guard.state.compare_exchange_weak(state, kSettling)) {
        if (state == kClaimed) stand_still();
    }
}

void end_settling(int slot, GuardState state, const char *path) {
    Guard &guard = guards[slot];
    guard.path.store(path);
    guard.state.store(state);
    if (slot == 0 && waiting_signal != 0) {
        block_interruptions();  // one arriving while the files are removed must not decide
        on_interruption(waiting_signal);
    }
    if (slot != 0 && interruption.load() != 0) {  // what it started may be left to the handler
        int writing = kWriting;
        if (guard.state.compare_exchange_strong(writing, kClaimed)) (void)unlink(path);
        stand_still();
    }
}

FileIdentity identity_of(const struct stat &status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

// Creates "<directory of path>/.ms2split-XXXXXXXX.tmp" exclusively; its name goes to temp.
int create_temp(const char *path, std::string &temp) {
    const char *slash = std::strrchr(path, '/');
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        char name[kTempNameSize];
        temp_file_name(name);
        temp.assign(path, slash != nullptr ? static_cast<std::size_t>(slash - path) + 1 : 0);
        temp += name;
        const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool create_output(const char *path, OutputFile &out) {
    out.replacing = false;
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        if (!out.names_taken && !out.whole_or_none) {  // in a re-run, the create that would fail is left out
            out.descriptor = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (out.descriptor >= 0) return true;  // a first run's case: one call
            if (errno != EEXIST) return false;
        }
        struct stat found {};
        out.names_taken = lstat(path, &found) == 0;
        if (!out.names_taken && errno != ENOENT) return false;
        if (!out.names_taken && !out.whole_or_none) continue;  // gone since the create, or new: create it
        if (out.names_taken && !S_ISREG(found.st_mode) && !S_ISLNK(found.st_mode)) {
            errno = S_ISDIR(found.st_mode) ? EISDIR : kNotRegularFile;
            return false;
        }
        out.replacing = true;
        out.descriptor = create_temp(path, out.temp_path);
        return out.descriptor >= 0;
    }
    return false;
}

const char *written_path(const OutputFile &out, const char *path) {
    return out.replacing ? out.temp_path.c_str() : path;
}

}  // namespace

std::filesystem::path native_path(const char *path) { return path; }

// The non-blocking open keeps a FIFO from stalling the run until fstat has rejected it.
int open_regular_file(const char *name, int &reason) {
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        reason = errno;
        return -1;
    }
    struct stat status {};
    const bool regular = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (regular && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0) return fd;
    reason = regular ? errno : kNotRegularFile;  // an fstat that fails tells of no file
    (void)close(fd);
    return -1;
}

void close_file(int file) { (void)close(file); }  // read only: nothing can be lost

int standard_input() {
#ifdef F_SETPIPE_SZ
    (void)fcntl(0, F_SETPIPE_SZ, 1 << 20);  // a pipe that holds more wakes its reader less often
#endif
    return 0;
}

FileIdentity identify_file(int file) {
    struct stat status {};
    if (fstat(file, &status) != 0) return {0, 0};
    return identity_of(status);
}

bool identify_directory(const char *path, FileIdentity &identity) {
    struct stat status {};
    if (stat(path, &status) != 0 || !S_ISDIR(status.st_mode)) return false;
    identity = identity_of(status);
    return true;
}

bool identify_path(const char *path, FileIdentity &identity) {
    struct stat status {};
    if (stat(path, &status) != 0) return false;
    identity = identity_of(status);
    return true;
}

std::int64_t read_once(int file, std::int64_t offset, char *buffer, std::size_t length) {
    if (offset < 0) return read(file, buffer, length);
    for (;;) {
        const ssize_t got = pread(file, buffer, length, static_cast<off_t>(offset));
        if (got >= 0 || errno != EINTR) return got;
    }
}

std::int64_t write_once(int file, std::int64_t offset, const Part *parts, int count) {
    iovec vectors[2];
    if (count > 2) count = 2;  // the rest on the next call
    for (int i = 0; i < count; ++i) vectors[i] = {const_cast<char *>(parts[i].bytes), parts[i].length};
    return offset < 0 ? writev(file, vectors, count) : pwritev(file, vectors, count, static_cast<off_t>(offset));
}

std::uint64_t name_seed() {
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<std::uint64_t>(getpid()) << 32) ^ static_cast<std::uint64_t>(now.tv_nsec) ^
           static_cast<std::uint64_t>(now.tv_sec);
}

std::string temporary_folder() {
    const char *folder = std::getenv("TMPDIR");
    return folder != nullptr && *folder != '\0' ? folder : "/tmp";
}

int open_anonymous_file() {
    const std::string folder = temporary_folder();
#ifdef O_TMPFILE
    const int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
#endif
    // Where the file system cannot make a file without a name: one removed at once.
    std::string name = folder + "/ms2split-XXXXXX";
    const int named = mkstemp(&name[0]);
    if (named >= 0) (void)unlink(name.c_str());
    return named;
}

std::int64_t file_size(int file) {
    struct stat status {};
    return fstat(file, &status) == 0 ? static_cast<std::int64_t>(status.st_size) : -1;
}

bool stamp_file(int file, FileStamp &stamp) {
    struct stat status {};
    if (fstat(file, &status) != 0) return false;
#ifdef __APPLE__
    const timespec &changed = status.st_mtimespec;
#else
    const timespec &changed = status.st_mtim;
#endif
    stamp = {static_cast<std::int64_t>(status.st_size), static_cast<std::int64_t>(changed.tv_sec),
             static_cast<std::int64_t>(changed.tv_nsec)};
    return true;
}

bool is_terminal(int stream) { return isatty(stream) == 1; }

double monotonic_seconds() {
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

bool is_path_separator(char c) { return c == '/'; }

char separator_for(const char *) { return '/'; }

bool trims_component(const char *, std::size_t) { return false; }

const char *last_path_component(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

int write_message(int stream, const char *text, std::size_t length) {
    Part line{text, length};
    return write_all(stream, -1, &line, 1) ? 0 : errno;
}

bool lines_end_in_crlf() { return false; }

bool open_output(const char *path, OutputFile &out) {
    begin_settling(out.guard);
    const bool opened = create_output(path, out);
    const int error = errno;
    end_settling(out.guard, opened ? kWriting : kNothingOpen, opened ? written_path(out, path) : nullptr);
    errno = error;
    return opened;
}

bool close_output(OutputFile &out, const char *path) {
    begin_settling(out.guard);
    bool complete = close(out.descriptor) == 0;
    out.descriptor = -1;
    if (complete && out.replacing) complete = rename(out.temp_path.c_str(), path) == 0;
    const int error = errno;
    // A file that did not reach its name stays guarded until it is discarded.
    end_settling(out.guard, complete ? kNothingOpen : kWriting, complete ? nullptr : written_path(out, path));
    errno = error;
    return complete;
}

bool cut_output(OutputFile &out, std::int64_t length) {
    return ftruncate(out.descriptor, static_cast<off_t>(length)) == 0;
}

bool discard_output(OutputFile &out, const char *path) {
    begin_settling(out.guard);
    if (out.descriptor >= 0) (void)close(out.descriptor);
    out.descriptor = -1;
    const bool removed = unlink(written_path(out, path)) == 0;
    const int error = errno;
    end_settling(out.guard, kNothingOpen, nullptr);
    errno = error;
    return removed;
}

bool make_durable(const char *directory) {
#ifdef __linux__
    const int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = syncfs(fd) == 0;
    const int error = errno;
    (void)close(fd);
    errno = error;
    return synced;
#else
    (void)directory;
    sync();  // where there is no syncfs, and no report of a failure
    return true;
#endif
}

int open_standing_file(const char *path, Standing &standing, std::int64_t &size) {
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if (fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        standing = Standing::kFile;
        size = static_cast<std::int64_t>(status.st_size);
        return fd;
    }
    const int error = errno;
    if (fd >= 0) (void)close(fd);
    // What cannot be opened may still be seen: a directory of mode 000 is not a file.
    const bool other = fd >= 0 || error == ELOOP || (lstat(path, &status) == 0 && !S_ISREG(status.st_mode));
    standing = other ? Standing::kOther : error == ENOENT ? Standing::kNothing : Standing::kUnreadable;
    errno = error;
    return -1;
}

bool visit_directory(const char *path, NameVisitor visit, void *context) {
    DIR *directory = opendir(path);
    if (directory == nullptr) return false;
    errno = 0;
    while (const dirent *entry = readdir(directory)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            visit(context, entry->d_name);
        errno = 0;
    }
    const int error = errno;
    (void)closedir(directory);
    errno = error;
    return error == 0;
}

namespace {

sigset_t interruption_signals() {
    sigset_t signals;
    (void)sigemptyset(&signals);
    for (const int signal_number : kInterruptions) (void)sigaddset(&signals, signal_number);
    return signals;
}

}  // namespace

void guard_against_interruption() {
    // No SA_RESTART: a call that a signal interrupts while a DTA file is settling (an open
    // that hangs on a network file system, say) fails, so that the signal is acted on.
    struct sigaction action {};
    action.sa_handler = on_interruption;
    action.sa_mask = interruption_signals();
    for (const int signal_number : kInterruptions) {
        struct sigaction previous {};
        // A signal ignored when the program started (nohup, a background job) stays ignored.
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        (void)sigaction(signal_number, &action, nullptr);
    }
    (void)std::signal(SIGPIPE, SIG_IGN);  // a reader gone from standard output: writes fail
    (void)std::signal(SIGXFSZ, SIG_IGN);  // beyond the file-size limit: the write fails
}

int free_descriptors() {
    constexpr rlim_t kCounted = 1024;  // above that, the program never comes near the limit
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur > kCounted) return static_cast<int>(kCounted);
    int free = 0;
    for (int fd = 0; fd < static_cast<int>(limit.rlim_cur); ++fd) free += fcntl(fd, F_GETFD) == -1 ? 1 : 0;
    return free;
}

int available_processors() {
#ifdef __linux__
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) return CPU_COUNT(&allowed);
#endif
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(online) : 1;
}

void block_interruptions() {
    const sigset_t interruptions = interruption_signals();
    (void)pthread_sigmask(SIG_BLOCK, &interruptions, nullptr);
}
