// The kernel's own share of a conversion, parsing nothing: reads the input once through a
// small buffer and throws it away, then creates the files of a list ("PATH SIZE" per line,
// taken from the converter's output tree) with one write each from one constant buffer.
// With "replace", each file is written under a temporary name beside its path and renamed
// over it, as a re-run over a complete tree must. With THREADS, that many threads share the
// files, each creating every THREADS-th one: the parallel floor.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Entry {
    std::string path;
    std::size_t size;
};

std::vector<Entry> read_list(const char *list) {
    std::vector<Entry> entries;
    std::ifstream in(list);
    Entry entry;
    while (in >> entry.path >> entry.size) entries.push_back(entry);
    return entries;
}

bool drain(const char *input) {
    const int fd = open(input, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    static char buffer[64 * 1024];
    ssize_t got = 0;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) {
    }
    close(fd);
    return got == 0;
}

// Creates entries[first], entries[first + step], ... from one constant buffer.
bool create(const std::vector<Entry> &entries, std::size_t first, std::size_t step,
            const std::vector<char> &contents, const std::string &temp) {
    for (std::size_t i = first; i < entries.size(); i += step) {
        const Entry &entry = entries[i];
        const char *written = temp.empty() ? entry.path.c_str() : temp.c_str();
        const int fd = open(written, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 || write(fd, contents.data(), entry.size) != static_cast<ssize_t>(entry.size) ||
            close(fd) != 0 || (!temp.empty() && rename(written, entry.path.c_str()) != 0)) {
            std::perror(entry.path.c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    const bool replace = argc >= 5 && std::strcmp(argv[4], "replace") == 0;
    const int threads = argc == 5 + replace ? std::atoi(argv[4 + replace]) : 1;
    if (argc < 4 || argc > 5 + replace || threads < 1) {
        std::fprintf(stderr, "usage: kernel_floor INPUT LIST DIRECTORY [replace] [THREADS]\n");
        return 2;
    }
    const std::vector<Entry> entries = read_list(argv[2]);  // before the work, as a setup
    std::size_t largest = 0;
    for (const Entry &entry : entries) largest = entry.size > largest ? entry.size : largest;
    const std::vector<char> contents(largest, '7');
    if (!drain(argv[1]) || (mkdir(argv[3], 0777) != 0 && errno != EEXIST)) {
        std::perror(argv[1]);
        return 1;
    }
    // Each thread its own files, every threads-th one, and its own temporary name.
    std::vector<std::thread> workers;
    std::vector<char> done(static_cast<std::size_t>(threads), 0);
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            const std::string temp = replace ? std::string(argv[3]) + "/.kernel-floor-" + std::to_string(t) + ".tmp" : "";
            done[static_cast<std::size_t>(t)] = create(entries, static_cast<std::size_t>(t), static_cast<std::size_t>(threads), contents, temp);
        });
    }
    for (std::thread &worker : workers) worker.join();
    for (const char ok : done) {
        if (ok == 0) return 1;
    }
    return 0;
}
