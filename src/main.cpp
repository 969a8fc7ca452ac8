// ms2split: converts .ms2 files to individual .dta files, one directory per input.
//
// Every argument is a file name, handled in the order given. A problem with one name or one
// output file is reported and the work goes on; the exit status tells whether anything
// failed.
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>

#include "messages.h"
#include "ms2_input.h"
#include "platform.h"
#include "split_ms2.h"

namespace {

constexpr char kEnding[] = ".ms2";
constexpr std::size_t kEndingLength = sizeof kEnding - 1;

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool has_ms2_ending(const char *name, std::size_t length) {
    if (length < kEndingLength) return false;
    const char *ending = name + length - kEndingLength;
    for (std::size_t i = 0; i < kEndingLength; ++i) {
        if (lower_ascii(ending[i]) != kEnding[i]) return false;
    }
    return true;
}

// A last component that is the ending alone leaves no stem to name a directory after, and
// one of "." or ".." would name a directory that is not the input's own.
bool names_no_stem(const char *name, std::size_t length) {
    const char *stem = last_path_component(name);
    const auto stem_length = static_cast<std::size_t>(name + length - kEndingLength - stem);
    return stem_length == 0 || (stem_length <= 2 && std::strncmp(stem, "..", stem_length) == 0);
}

// Created directly, never through a shell, so that no file name can run a command.
void make_output_directory(const std::string &stem) {
    std::error_code error;
    std::filesystem::create_directory(native_path(stem.c_str()), error);
    if (error) report_directory_failure(stem.c_str(), error.message().c_str());
}

void convert_argument(const char *name) {
    static Ms2Input input;  // one input is open at a time
    const std::size_t length = std::strlen(name);
    if (!has_ms2_ending(name, length) || names_no_stem(name, length)) {
        report_skipped(name);
        return;
    }
    const std::string stem(name, length - kEndingLength);
    const int file = open_regular_file(name);
    if (file < 0) {
        report_unreadable(name);
        return;
    }
    report_converting(name);
    make_output_directory(stem);
    attach_input(input, file);
    const SplitResult result = split_ms2(input, stem.c_str());
    if (input.error != 0) {
        report_read_error(name, input.error);
    } else if (result.charge_lines == 0) {  // not MS2 at all, perhaps
        notice_no_dta_file(name);
    }
    close_file(file);
}

// An argument that is exactly --help or --version, wherever it stands, is answered instead
// of converting anything; every other argument is a file name.
const char *question_among(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "--version") == 0)
            return argv[i];
    }
    return nullptr;
}

int run(int argc, char **argv) {
    guard_against_interruption();
    const bool named = argc >= 1 && argv[0] != nullptr && argv[0][0] != '\0';
    const char *program = named ? argv[0] : kProgramName;
    if (argc <= 1) {
        usage(program);
        return exit_status();
    }
    if (const char *question = question_among(argc, argv)) {
        if (std::strcmp(question, "--help") == 0) help(program);
        else version();
        return exit_status();
    }
    for (int i = 1; i < argc; ++i) {
        try {
            convert_argument(argv[i]);
        } catch (const std::exception &failure) {  // only memory exhaustion can throw here
            report_argument_failure(argv[i], failure.what());
        }
    }
    return exit_status();
}

}  // namespace

#ifdef _WIN32
// Windows hands over the arguments in UTF-16; the program takes every name in UTF-8.
int wmain(int argc, wchar_t **argv) { return run(argc, utf8_arguments(argc, argv)); }
#else
int main(int argc, char **argv) { return run(argc, argv); }
#endif
