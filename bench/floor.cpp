// The yardstick for the converter: reads the input once through one large buffer and
// writes the same DTA files with one writev each. It only understands well-formed input
// such as gen_ms2 writes (peak lines follow the Z lines with nothing between them); the
// benchmark checks that its output tree equals the converter's.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <memory>

namespace {

constexpr std::size_t kBufferSize = 4 << 20;  // larger than any scan
constexpr int kMaxCharges = 16;

struct Charge {
    long charge;
    const char *mass;
    std::size_t mass_length;
};

const char *line_end(const char *p, const char *end) {
    const void *newline = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    return newline != nullptr ? static_cast<const char *>(newline) + 1 : end;
}

void write_file(const std::string &prefix, long first, long last, const Charge &z,
                const char *body, std::size_t body_length) {
    char path[4096], header[256];
    std::snprintf(path, sizeof path, "%s%.5ld.%.5ld.%ld.dta", prefix.c_str(), first, last,
                  z.charge);
    const int header_length = std::snprintf(header, sizeof header, "%.*s %ld\n",
                                            static_cast<int>(z.mass_length), z.mass, z.charge);
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    iovec parts[2] = {{header, static_cast<std::size_t>(header_length)},
                      {const_cast<char *>(body), body_length}};
    if (fd < 0 || writev(fd, parts, 2) < 0 || close(fd) != 0) std::perror(path);
}

// One scan: from its S line up to the next S line or the end of the input.
void split_scan(const std::string &prefix, const char *p, const char *end) {
    char *after = nullptr;
    const long first = std::strtol(p + 1, &after, 10);
    const long last = std::strtol(after, nullptr, 10);
    Charge charges[kMaxCharges];
    int count = 0;
    for (p = line_end(p, end); p < end && !(*p >= '0' && *p <= '9'); p = line_end(p, end)) {
        if (*p != 'Z' || count == kMaxCharges) continue;
        Charge &z = charges[count++];
        z.charge = std::strtol(p + 1, &after, 10);
        while (*after == ' ' || *after == '\t') ++after;
        z.mass = after;
        while (*after > ' ') ++after;
        z.mass_length = static_cast<std::size_t>(after - z.mass);
    }
    for (int i = 0; i < count; ++i)
        write_file(prefix, first, last, charges[i], p, static_cast<std::size_t>(end - p));
}

// The start of the next line that begins with S, or end.
const char *next_scan(const char *p, const char *end) {
    while (p < end && *p != 'S') p = line_end(p, end);
    return p;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: floor input.ms2\n");
        return 2;
    }
    std::string stem(argv[1], std::strlen(argv[1]) - 4);
    const std::size_t slash = stem.rfind('/');
    const std::string prefix = stem + "/" + stem.substr(slash + 1) + ".";
    const int in = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (in < 0 || (mkdir(stem.c_str(), 0777) != 0 && errno != EEXIST)) {
        std::perror(argv[1]);
        return 1;
    }
    std::unique_ptr<char[]> buffer(new char[kBufferSize]);  // left uninitialised: read fills it
    std::size_t filled = 0;
    for (bool ended = false; !ended;) {
        const ssize_t got = read(in, buffer.get() + filled, kBufferSize - filled);
        ended = got <= 0;
        if (got > 0) filled += static_cast<std::size_t>(got);
        const char *begin = buffer.get(), *end = begin + filled;
        const char *scan = next_scan(begin, end);
        for (;;) {
            const char *next = next_scan(line_end(scan, end), end);
            if (next == end && !ended) break;  // the scan may go on in the next read
            if (scan < end) split_scan(prefix, scan, next);
            if (next == end) break;
            scan = next;
        }
        filled = static_cast<std::size_t>(end - scan);
        std::memmove(buffer.get(), scan, filled);
    }
    close(in);
    return 0;
}
