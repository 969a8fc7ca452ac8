// ms2split: converts .ms2 files to individual .dta files, one directory per input.
//
// Every argument is a file name, handled in the order given. A problem with one name or one
// output file is reported by one line on standard output and the work goes on; the exit
// status is always 0.
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>

#include "convert.h"
#include "platform.h"

namespace {

constexpr char kProgramName[] = "ms2split";
constexpr char kEnding[] = ".ms2";
constexpr std::size_t kEndingLength = sizeof kEnding - 1;

void usage(const char *program) {
    std::printf("\n USAGE: %s *.ms2\n\n", program);
    std::printf(" This program converts .ms2 files to individual .dta files\n"
                " which are placed in separate subdirectories, one for each\n"
                " input .ms2 file.\n\n");
}

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool has_ms2_ending(const char *name, std::size_t length) {
    if (length < kEndingLength) return false;
    const char *ending = name + length - kEndingLength;
    for (std::size_t i = 0; i < kEndingLength; ++i) {
        if (lower_ascii(ending[i]) != kEnding[i]) return false;
    }
    return true;
}

// A last component that is the ending alone leaves no stem to name a directory after.
bool is_ending_alone(const char *name, std::size_t length) {
    return length == kEndingLength || is_path_separator(name[length - kEndingLength - 1]);
}

// Created directly, never through a shell, so that no file name can run a command.
void make_output_directory(const std::string &stem) {
    std::error_code error;
    std::filesystem::create_directory(stem, error);
    if (error) {
        (void)std::fflush(stdout);  // keeps the order of messages when both streams share a log
        (void)std::fprintf(stderr, "%s: cannot create directory '%s': %s\n", kProgramName,
                           stem.c_str(), error.message().c_str());
    }
}

void convert_argument(const char *name) {
    static Ms2Input input;  // one input is open at a time
    const std::size_t length = std::strlen(name);
    if (!has_ms2_ending(name, length) || is_ending_alone(name, length)) {
        std::printf(" skipping: %s\n", name);
        return;
    }
    const std::string stem(name, length - kEndingLength);
    std::FILE *file = open_regular_file(name);
    if (file == nullptr) {
        std::printf(" skipping: %s (cannot read)\n", name);
        return;
    }
    std::printf(" converting %s\n", name);
    make_output_directory(stem);
    attach_input(input, file);
    SPLIT_MS2(input, stem.c_str());
    (void)std::fclose(file);  // read only: nothing can be lost
}

}  // namespace

int main(int argc, char **argv) {
    if (argc <= 1) {
        const bool named = argc == 1 && argv[0] != nullptr && argv[0][0] != '\0';
        usage(named ? argv[0] : kProgramName);
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        try {
            convert_argument(argv[i]);
        } catch (const std::exception &failure) {  // only memory exhaustion can throw here
            (void)std::fflush(stdout);
            (void)std::fprintf(stderr, "%s: %s: %s\n", kProgramName, argv[i], failure.what());
        }
    }
    return 0;
}
