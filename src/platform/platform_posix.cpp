// The POSIX side of platform.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform.h"

namespace {

// What an interruption finds: nothing to clean up, a moment when it must wait (a DTA file is
// being opened, closed or removed, so whether it exists is not yet settled), or a DTA file
// that it must remove.
enum GuardState : int { kNothingOpen, kSettling, kWriting };
volatile std::sig_atomic_t guard_state = kNothingOpen;
volatile std::sig_atomic_t waiting_signal = 0;  // arrived while settling
const char *volatile guarded_path = nullptr;    // the DTA file while writing

constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void on_interruption(int signal_number) {
    if (guard_state == kSettling) {
        waiting_signal = signal_number;
        return;
    }
    if (guard_state == kWriting) (void)unlink(guarded_path);
    // Ends the program as the signal would have: the caller's shell sees the interruption.
    (void)std::signal(signal_number, SIG_DFL);
    (void)std::raise(signal_number);
}

void begin_settling() {
    guard_state = kSettling;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

void end_settling(GuardState state, const char *path) {
    guarded_path = path;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    guard_state = state;
    if (waiting_signal != 0) on_interruption(waiting_signal);
}

FileIdentity identity_of(const struct stat &status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

// Opens the regular file found at path for writing and empties it, if it is still the one
// found there and is not the input.
int replace_regular_file(const char *path, const struct stat &found, const FileIdentity &input) {
    const int fd = open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat opened {};
    if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) &&
        same_file(identity_of(opened), identity_of(found)) &&
        !same_file(identity_of(opened), input) && ftruncate(fd, 0) == 0) {
        return fd;
    }
    (void)close(fd);
    return -1;
}

int create_or_replace(const char *path, const FileIdentity &input) {
    constexpr int kCreate = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    for (int attempt = 0; attempt < 3; ++attempt) {  // another process may change the name
        const int fd = open(path, kCreate, 0666);    // the common case: one call
        if (fd >= 0 || errno != EEXIST) return fd;
        struct stat found {};
        if (lstat(path, &found) != 0) {
            if (errno == ENOENT) continue;
            return -1;
        }
        if (S_ISLNK(found.st_mode)) {
            if (unlink(path) != 0 && errno != ENOENT) return -1;
            continue;
        }
        if (!S_ISREG(found.st_mode)) return -1;
        return replace_regular_file(path, found, input);
    }
    return -1;
}

}  // namespace

std::filesystem::path native_path(const char *path) { return path; }

// The non-blocking open keeps a FIFO from stalling the run until fstat has rejected it.
int open_regular_file(const char *name) {
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0) {
        return fd;
    }
    (void)close(fd);
    return -1;
}

void close_file(int file) { (void)close(file); }  // read only: nothing can be lost

FileIdentity identify_file(int file) {
    struct stat status {};
    if (fstat(file, &status) != 0) return {0, 0};
    return identity_of(status);
}

std::int64_t read_file_at(int file, std::int64_t offset, char *buffer, std::size_t length) {
    for (;;) {
        const ssize_t got = pread(file, buffer, length, static_cast<off_t>(offset));
        if (got >= 0 || errno != EINTR) return got;
    }
}

const char *last_path_component(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

bool write_text(std::FILE *stream, const char *text) { return std::fputs(text, stream) >= 0; }

bool text_mode_writes_crlf() { return false; }

bool open_output(const char *path, const FileIdentity &input, OutputFile &out) {
    begin_settling();
    out.descriptor = create_or_replace(path, input);
    end_settling(out.descriptor >= 0 ? kWriting : kNothingOpen, path);
    return out.descriptor >= 0;
}

bool write_output(OutputFile &out, const char *first, std::size_t first_length,
                  const char *second, std::size_t second_length) {
    iovec parts[2] = {{const_cast<char *>(first), first_length},
                      {const_cast<char *>(second), second_length}};
    iovec *part = parts;
    int count = 2;
    for (;;) {
        while (count > 0 && part->iov_len == 0) {
            ++part;
            --count;
        }
        if (count == 0) return true;
        const ssize_t written = writev(out.descriptor, part, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        for (auto rest = static_cast<std::size_t>(written); rest > 0;) {
            const std::size_t taken = rest < part->iov_len ? rest : part->iov_len;
            part->iov_base = static_cast<char *>(part->iov_base) + taken;
            part->iov_len -= taken;
            rest -= taken;
            if (part->iov_len == 0) {
                ++part;
                --count;
            }
        }
    }
}

bool close_output(OutputFile &out) {
    begin_settling();
    const bool closed = close(out.descriptor) == 0;
    out.descriptor = -1;
    end_settling(closed ? kNothingOpen : kWriting, guarded_path);  // a failed one stays guarded
    return closed;
}

bool discard_output(OutputFile &out, const char *path) {
    begin_settling();
    if (out.descriptor >= 0) (void)close(out.descriptor);
    out.descriptor = -1;
    const bool removed = unlink(path) == 0;
    const int error = errno;
    end_settling(kNothingOpen, nullptr);
    errno = error;
    return removed;
}

void guard_against_interruption() {
    // No SA_RESTART: a call that a signal interrupts while a DTA file is settling (an open
    // that hangs on a network file system, say) fails, so that the signal is acted on.
    struct sigaction action {};
    action.sa_handler = on_interruption;
    (void)sigemptyset(&action.sa_mask);
    for (const int signal_number : kInterruptions) (void)sigaddset(&action.sa_mask, signal_number);
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
