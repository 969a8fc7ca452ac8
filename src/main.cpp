// ms2split: converts .ms2 files to individual .dta files, one directory per input.
//
// Options come first in meaning, wherever they stand: the arguments are walked once for
// them, and the file names among them are then converted in the order given. A problem
// with one name or one output file is reported and the work goes on; the exit status tells
// whether anything failed.
#include <algorithm>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "messages.h"
#include "platform.h"
#include "split_ms2.h"

namespace {

constexpr char kEnding[] = ".ms2";
constexpr char kGzipEnding[] = ".ms2.gz";

struct Options {
    const char *output_dir = nullptr;  // -o: the folder of every output directory; or beside
    bool check = false;                // --check: compare the trees, write nothing
    bool sync = false;                 // --sync: each input's files durable before the next
    std::vector<const char *> names;   // the file names, in the order given
};

enum class Action { kConvert, kUsage, kHelp, kVersion, kUsageError };

// An input converted in this run, so that no later input writes into its directory.
struct Converted {
    FileIdentity directory;  // its output directory
    FileIdentity input;      // the input file
    const char *name;        // as given
};

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool ends_in(const char *name, std::size_t length, const char *ending) {
    const std::size_t ending_length = std::strlen(ending);
    if (length < ending_length) return false;
    const char *tail = name + length - ending_length;
    for (std::size_t i = 0; i < ending_length; ++i) {
        if (lower_ascii(tail[i]) != ending[i]) return false;
    }
    return true;
}

// The length of the name's MS2 ending, ".ms2" or ".ms2.gz" in any letter case; 0 for none.
std::size_t ms2_ending_length(const char *name, std::size_t length) {
    if (ends_in(name, length, kEnding)) return sizeof kEnding - 1;
    return ends_in(name, length, kGzipEnding) ? sizeof kGzipEnding - 1 : 0;
}

// A last component that is the ending alone leaves no stem to name a directory after; one
// of "." or "..", or one the system would trim (Windows: "run7." or "run7 "), would name a
// directory that is not the input's own.
bool names_no_stem(const char *name, std::size_t stem_end) {
    const char *stem = last_path_component(name);
    const auto stem_length = static_cast<std::size_t>(name + stem_end - stem);
    return stem_length == 0 || (stem_length <= 2 && std::strncmp(stem, "..", stem_length) == 0) ||
           trims_component(stem, stem_length);
}

bool is(const char *argument, const char *option) { return std::strcmp(argument, option) == 0; }

// The value of -o DIR, --output-dir DIR, --output-dir=DIR or -oDIR at argv[i], moving i
// past it; nullptr when the argument is no such option.
const char *output_dir_value(int argc, char **argv, int &i, bool &missing) {
    const char *argument = argv[i];
    constexpr char kLongEquals[] = "--output-dir=";
    if (is(argument, "-o") || is(argument, "--output-dir")) {
        missing = i + 1 >= argc || argv[i + 1][0] == '\0';
        return missing ? argument : argv[++i];
    }
    const char *value = std::strncmp(argument, kLongEquals, sizeof kLongEquals - 1) == 0
                            ? argument + sizeof kLongEquals - 1
                        : std::strncmp(argument, "-o", 2) == 0 ? argument + 2
                                                                : nullptr;
    missing = value != nullptr && *value == '\0';
    return value;
}

Action parse_arguments(int argc, char **argv, Options &options) {
    bool names_only = false;  // after "--"
    for (int i = 1; i < argc; ++i) {
        const char *argument = argv[i];
        if (names_only || argument[0] != '-' || argument[1] == '\0') {
            options.names.push_back(argument);
        } else if (is(argument, "--")) {
            names_only = true;
        } else if (is(argument, "-h") || is(argument, "--help")) {
            return Action::kHelp;
        } else if (is(argument, "-V") || is(argument, "--version")) {
            return Action::kVersion;
        } else if (is(argument, "--check")) {
            options.check = true;
        } else if (is(argument, "--sync")) {
            options.sync = true;
        } else {
            bool missing = false;
            const char *value = output_dir_value(argc, argv, i, missing);
            const char *problem = value == nullptr ? " is not an option"
                                  : missing        ? " needs a directory"
                                  : options.output_dir != nullptr ? " gives a second output directory"
                                                                  : nullptr;
            if (problem != nullptr) {
                report_usage_error(argument, problem);
                return Action::kUsageError;
            }
            options.output_dir = value;
        }
    }
    if (argc <= 1) return Action::kUsage;
    const char *problem = options.names.empty()       ? "no file to convert"
                          : options.check && options.sync ? "--check writes nothing to make durable with --sync"
                                                          : nullptr;
    if (problem != nullptr) {
        report_usage_error(nullptr, problem);
        return Action::kUsageError;
    }
    return Action::kConvert;
}

// The folder as given, less separators at its end (but a root's own).
std::string folder_name(const char *folder) {
    std::string name(folder);
    while (name.size() > 1 && is_path_separator(name.back()) && name[name.size() - 2] != ':')
        name.pop_back();
    return name;
}

// Makes -o's folder with its parents; false, having said why, when there is none.
bool make_output_folder(const std::string &folder) {
    std::error_code error;
    std::filesystem::create_directories(native_path(folder.c_str()), error);
    FileIdentity ignored{};
    if (identify_directory(folder.c_str(), ignored)) return true;
    report_directory_failure(folder.c_str(), error ? error.message().c_str() : "not a directory");
    return false;
}

// Created directly, never through a shell, so that no file name can run a command. False,
// having said why, when there is no directory: then every file of the input would fail.
bool make_output_directory(const char *name, const std::string &directory) {
    std::error_code error;
    std::filesystem::create_directory(native_path(directory.c_str()), error);
    FileIdentity ignored{};
    if (identify_directory(directory.c_str(), ignored)) return true;
    report_no_directory(name, directory.c_str(), error ? error.message().c_str() : "not a directory");
    return false;
}

// The input that already wrote into directory, if another file than input did.
const Converted *earlier_writer(const std::vector<Converted> &converted,
                                const std::string &directory, const FileIdentity &input) {
    FileIdentity identity{};
    if (!identify_directory(directory.c_str(), identity)) return nullptr;
    const auto earlier = std::find_if(converted.begin(), converted.end(), [&](const Converted &c) {
        return same_file(c.directory, identity) && !same_file(c.input, input);
    });
    return earlier != converted.end() ? &*earlier : nullptr;
}

// What the input's end leaves to tell: a read error, or that it gave no file at all.
void report_input_end(const Conversion &conversion, const char *name) {
    if (conversion.input.error != 0) {
        report_read_error(name, conversion.input.error, conversion.input.problem);
    } else if (conversion.charge_lines == 0) {  // not MS2 at all, perhaps
        notice_no_dta_file(name);
    }
}

// Compares what stands in directory with what converting the input would leave there.
void check_input(Conversion &conversion, const char *name, int file, const std::string &directory) {
    conversion.writer.checking = true;
    split_ms2(conversion, name, file, directory.c_str());
    report_input_end(conversion, name);
    finish_tree_check(conversion.writer.tree, conversion.writer.names, name, directory,
                      conversion.input.cut_short, conversion.path, conversion.prefix_length);
}

void convert_argument(const char *name, const Options &options, const std::string &output_folder,
                      std::vector<Converted> &converted) {
    static Conversion conversion;  // one input is converted at a time, each from a fresh start
    const std::size_t length = std::strlen(name);
    const std::size_t ending = ms2_ending_length(name, length);
    if (ending == 0 || names_no_stem(name, length - ending)) {
        report_skipped(name);
        return;
    }
    int reason = 0;
    const int file = open_regular_file(name, reason);
    if (file < 0) {
        report_unreadable(name, reason);
        return;
    }
    std::string directory(name, length - ending);
    if (!output_folder.empty()) {
        directory = output_folder + separator_for(output_folder.c_str()) +
                    last_path_component(directory.c_str());
    }
    const FileIdentity input = identify_file(file);
    conversion.named_gzip = ending == sizeof kGzipEnding - 1;
    FileIdentity written{};
    if (const Converted *earlier = earlier_writer(converted, directory, input)) {
        report_shared_directory(name, earlier->name, directory.c_str(), options.check);
    } else if (options.check) {
        if (identify_directory(directory.c_str(), written)) converted.push_back({written, input, name});
        check_input(conversion, name, file, directory);
    } else if (make_output_directory(name, directory)) {
        report_converting(name);
        if (identify_directory(directory.c_str(), written)) converted.push_back({written, input, name});
        conversion.writer.checking = false;
        conversion.writer.file.durable = options.sync;
        split_ms2(conversion, name, file, directory.c_str());
        report_input_end(conversion, name);
        if (options.sync && !make_durable(directory.c_str())) report_not_durable(name, errno);
    }
    close_file(file);
}

int run(int argc, char **argv) {
    guard_against_interruption();
    const bool named = argc >= 1 && argv[0] != nullptr && argv[0][0] != '\0';
    const char *program = named ? argv[0] : kProgramName;
    Options options;
    switch (parse_arguments(argc, argv, options)) {
        case Action::kUsage: usage(program); return exit_status();
        case Action::kHelp: help(program); return exit_status();
        case Action::kVersion: version(); return exit_status();
        case Action::kUsageError: return kUsageErrorStatus;
        case Action::kConvert: break;
    }
    const std::string output_folder =
        options.output_dir != nullptr ? folder_name(options.output_dir) : std::string();
    if (!output_folder.empty() && !options.check && !make_output_folder(output_folder))
        return exit_status();
    std::vector<Converted> converted;
    for (const char *name : options.names) {
        try {
            convert_argument(name, options, output_folder, converted);
        } catch (const std::exception &failure) {  // only memory exhaustion can throw here
            report_argument_failure(name, failure.what());
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
