// Runs the program that ONE_THREAD_PROGRAM names with "--threads 1" before its arguments,
// argument 0 kept as it came: the end-to-end cases again, with one writing thread (or with
// THREADS, as many: ThreadSanitizer's runs).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char **argv) {
    const char *program = std::getenv("ONE_THREAD_PROGRAM");
    if (program == nullptr || argc < 1) return 127;
    static char threads[] = "--threads", one[] = "1";
    char *count = std::getenv("THREADS");
    std::vector<char *> arguments{argv[0], threads, count != nullptr ? count : one};
    arguments.insert(arguments.end(), argv + 1, argv + argc);
    arguments.push_back(nullptr);
    execv(program, arguments.data());
    std::perror(program);
    return 127;
}
