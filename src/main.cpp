// ms2split: converts .ms2 files to individual .dta files, one directory per input.
//
// Options come first in meaning, wherever they stand: the arguments are walked once for
// them, and the file names among them are then converted in the order given. A problem
// with one name or one output file is reported and the work goes on; the exit status tells
// whether anything failed.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "messages.h"
#include "mgf_file.h"
#include "platform.h"
#include "split_ms2.h"
#include "tree_checker.h"
#include "tree_writer.h"
#include "write_pool.h"

namespace {

constexpr char kEnding[] = ".ms2";
constexpr char kGzipEnding[] = ".ms2.gz";
constexpr char kZstdEnding[] = ".ms2.zst";
constexpr char kStandardInput[] = "-";

struct Options {
    const char *output_dir = nullptr;  // -o: the folder of every output directory; or beside
    const char *stream_name = nullptr;  // --name: the stem of standard input's files
    bool check = false;                // --check: compare the trees, write nothing
    bool sync = false;                 // --sync: each input's files durable before the next
    int threads = 0;                   // --threads: that write DTA files; 0 until given
    bool mgf = false;                  // --format mgf: one MGF file per input, not a tree
    std::vector<const char *> names;   // the file names, in the order given
};

enum class Action { kConvert, kUsage, kHelp, kVersion, kUsageError };

// An input converted in this run, so that no later input writes its output again.
struct Converted {
    FileIdentity output;  // its directory, or its MGF file
    FileIdentity input;   // the input file
    const char *name;     // as given
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

// The length of the name's MS2 ending, ".ms2", ".ms2.gz" or ".ms2.zst" in any letter case
// (0 for none), and the format the ending says the file is.
std::size_t ms2_ending_length(const char *name, std::size_t length, Format &named) {
    named = ends_in(name, length, kGzipEnding) ? Format::kGzip
            : ends_in(name, length, kZstdEnding) ? Format::kZstd
                                                 : Format::kPlain;
    const char *ending = named == Format::kGzip ? kGzipEnding : named == Format::kZstd ? kZstdEnding : kEnding;
    return named != Format::kPlain || ends_in(name, length, kEnding) ? std::strlen(ending) : 0;
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

bool equals(const char *argument, const char *option) { return std::strcmp(argument, option) == 0; }

// The value of an option that takes one at argv[i], given as SHORT VALUE, SHORTVALUE, LONG
// VALUE or LONG=VALUE (short_form may be nullptr), moving i past it; nullptr when argv[i] is
// not that option. missing: the value is absent or empty.
const char *option_value(int argc, char **argv, int &i, const char *short_form, const char *long_form,
                         bool &missing) {
    const char *argument = argv[i];
    if ((short_form != nullptr && equals(argument, short_form)) || equals(argument, long_form)) {
        missing = i + 1 >= argc || argv[i + 1][0] == '\0';
        return missing ? argument : argv[++i];
    }
    const std::size_t long_length = std::strlen(long_form);
    const char *value = std::strncmp(argument, long_form, long_length) == 0 && argument[long_length] == '='
                            ? argument + long_length + 1
                        : short_form != nullptr && std::strncmp(argument, short_form, 2) == 0 ? argument + 2
                                                                                           : nullptr;
    missing = value != nullptr && *value == '\0';
    return value;
}

// A number of writing threads, 1 to kWritingThreadsMax; false for anything else.
bool read_threads(const char *text, int &threads) {
    const char *end = text + std::strlen(text);
    int value = 0;
    const std::from_chars_result read = std::from_chars(text, end, value);
    if (read.ec != std::errc() || read.ptr != end || value < 1 || value > kWritingThreadsMax) return false;
    threads = value;
    return true;
}

// The option that takes a value at argv[i] (-o, --name, -j), into options; what is wrong
// with it, or nullptr.
const char *take_option_value(int argc, char **argv, int &i, Options &options) {
    bool missing = false;
    if (const char *directory = option_value(argc, argv, i, "-o", "--output-dir", missing)) {
        if (missing) return " needs a directory";
        if (options.output_dir != nullptr) return " gives a second output directory";
        options.output_dir = directory;
        return nullptr;
    }
    if (const char *stem = option_value(argc, argv, i, nullptr, "--name", missing)) {
        if (missing) return " needs a name";
        if (options.stream_name != nullptr) return " gives a second name";
        options.stream_name = stem;
        return nullptr;
    }
    if (const char *count = option_value(argc, argv, i, "-j", "--threads", missing)) {
        if (missing) return " needs a number of threads";
        return read_threads(count, options.threads) ? nullptr : " needs a number of threads from 1 to 8";
    }
    if (const char *format = option_value(argc, argv, i, "-f", "--format", missing)) {
        options.mgf = !missing && equals(format, "mgf");
        return options.mgf || (!missing && equals(format, "dta")) ? nullptr : " needs a format: dta or mgf";
    }
    return " is not an option";
}

// What is wrong with the names given, with --name and standard input; nullptr for nothing.
const char *names_problem(const Options &options) {
    const auto streams = std::count_if(options.names.begin(), options.names.end(),
                                       [](const char *name) { return equals(name, kStandardInput); });
    const char *stem = options.stream_name;
    if (options.names.empty()) return "no file to convert";
    if (options.check && options.sync) return "--check writes nothing to make durable with --sync";
    if (streams > 1) return "'-' (standard input) can be read once";
    if (streams == 1 && stem == nullptr) return "'-' (standard input) needs --name NAME, the stem of its files";
    if (streams == 0 && stem != nullptr) return "--name names standard input's files, and no '-' is given";
    if (stem != nullptr && (last_path_component(stem) != stem || names_no_stem(stem, std::strlen(stem))))
        return "--name needs a stem: a name without a folder, not . or ..";
    return nullptr;
}

Action parse_arguments(Messages &messages, int argc, char **argv, Options &options) {
    bool names_only = false;  // after "--"
    for (int i = 1; i < argc; ++i) {
        const char *argument = argv[i];
        if (names_only || argument[0] != '-' || argument[1] == '\0') {
            options.names.push_back(argument);
        } else if (equals(argument, "--")) {
            names_only = true;
        } else if (equals(argument, "-h") || equals(argument, "--help")) {
            return Action::kHelp;
        } else if (equals(argument, "-V") || equals(argument, "--version")) {
            return Action::kVersion;
        } else if (equals(argument, "--check")) {
            options.check = true;
        } else if (equals(argument, "--sync")) {
            options.sync = true;
        } else if (const char *problem = take_option_value(argc, argv, i, options)) {
            report_usage_error(messages, argument, problem);
            return Action::kUsageError;
        }
    }
    if (argc <= 1) return Action::kUsage;
    const char *problem = names_problem(options);
    if (problem != nullptr) {
        report_usage_error(messages, nullptr, problem);
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
bool make_output_folder(Messages &messages, const std::string &folder) {
    std::error_code error;
    std::filesystem::create_directories(native_path(folder.c_str()), error);
    FileIdentity ignored{};
    if (identify_directory(folder.c_str(), ignored)) return true;
    report_directory_failure(messages, folder.c_str(), error ? error.message().c_str() : "not a directory");
    return false;
}

// Whether something that is not a directory stands at path, or in its way.
bool blocks_directory(const std::string &path) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(native_path(path.c_str()), error);
    return error ? error == std::errc::not_a_directory : !std::filesystem::is_directory(status);
}

// Created directly, never through a shell, so that no file name can run a command. False,
// having said why, when there is no directory: then every file of the input would fail.
bool make_output_directory(Messages &messages, const char *name, const std::string &directory) {
    std::error_code error;
    std::filesystem::create_directory(native_path(directory.c_str()), error);
    FileIdentity ignored{};
    if (identify_directory(directory.c_str(), ignored)) return true;
    report_no_directory(messages, name, directory.c_str(), error ? error.message().c_str() : "not a directory");
    return false;
}

// What the walk over the arguments works with, but the conversion itself.
struct Walk {
    Options options;
    std::string output_folder;        // -o's, less separators at its end; empty without -o
    std::vector<Converted> converted;  // the inputs so far, with their directories
    Messages messages;
};

// The input that already wrote the output, if another file than input did.
const Converted *earlier_writer(const Walk &walk, const std::string &output, const FileIdentity &input) {
    FileIdentity identity{};
    if (!identify_path(output.c_str(), identity)) return nullptr;
    const auto earlier = std::find_if(walk.converted.begin(), walk.converted.end(), [&](const Converted &c) {
        return same_file(c.output, identity) && !same_file(c.input, input);
    });
    return earlier != walk.converted.end() ? &*earlier : nullptr;
}

// Where an input's output goes: its directory, or its MGF file, beside it or under -o's folder.
std::string output_of(const Walk &walk, const char *name, std::size_t stem_length) {
    std::string stem(name, stem_length);
    if (!walk.output_folder.empty())
        stem = walk.output_folder + separator_for(walk.output_folder.c_str()) + last_path_component(stem.c_str());
    return walk.options.mgf ? stem + ".mgf" : stem;
}

// Makes the input's directory (but when checking, or for an MGF file) unless an earlier input
// of the run wrote its output; false, having said why, when it may not be used.
bool claim_output(Walk &walk, const Input &input) {
    const char *name = input.name;
    const bool tree = input.kind == OutputKind::kTree;
    if (const Converted *earlier = earlier_writer(walk, input.output, identify_file(input.file))) {
        report_shared_output(walk.messages, name, earlier->name, input.output.c_str(), walk.options.check, tree);
        return false;
    }
    if (walk.options.check && tree && blocks_directory(input.output)) {
        report_not_checked(walk.messages, name, input.output.c_str());
        return false;
    }
    if (!walk.options.check) {
        if (tree && !make_output_directory(walk.messages, name, input.output)) return false;
        report_converting(walk.messages, name);
    }
    return true;
}

// Notes what the input wrote (or checked), so that no later input of the run writes it again.
void note_output(Walk &walk, const Input &input) {
    FileIdentity output{};
    if (identify_path(input.output.c_str(), output)) walk.converted.push_back({output, identify_file(input.file), input.name});
}

// The input named, open and with its output claimed; false, having said why, when there
// is nothing to convert. Standard input ("-") is named as --name says.
bool open_input(Walk &walk, const char *name, Input &input) {
    if (equals(name, kStandardInput)) {
        const char *stem = walk.options.stream_name;
        input = {name, standard_input(), false, Format::kPlain, input.kind, output_of(walk, stem, std::strlen(stem))};
        return claim_output(walk, input);
    }
    const std::size_t length = std::strlen(name);
    Format named = Format::kPlain;
    const std::size_t ending = ms2_ending_length(name, length, named);
    if (ending == 0 || names_no_stem(name, length - ending)) {
        report_skipped(walk.messages, name);
        return false;
    }
    int reason = 0;
    input = {name, open_regular_file(name, reason), true, named, input.kind, output_of(walk, name, length - ending)};
    if (input.file < 0) {
        report_unreadable(walk.messages, name, reason);
        return false;
    }
    if (claim_output(walk, input)) return true;
    close_file(input.file);
    input.file = -1;
    return false;
}

// The one sink of the run: a checker, the MGF writer, the pool of writing threads (as many as
// the processors the program may use, at most 8, unless told otherwise), or one writer.
std::unique_ptr<Sink> choose_sink(const Options &options) {
    if (options.check && options.mgf) return std::unique_ptr<Sink>(new MgfChecker);
    if (options.check) return std::unique_ptr<Sink>(new TreeChecker);
    // One file, written in order; where another processor may be used, a thread writes each
    // full buffer while the next fills.
    if (options.mgf) return std::unique_ptr<Sink>(new MgfWriter(options.sync, options.threads != 1 && available_processors() > 1));
    const int threads = options.threads != 0 ? options.threads : std::min(available_processors(), kWritingThreadsMax);
    // The thread that decodes gzip or zstd takes a processor of its own, unless told otherwise.
    const int decoding_threads = options.threads != 0 ? threads : std::min(threads, available_processors() - 1);
    std::unique_ptr<Sink> pool = threads > 1 ? start_write_pool({threads, decoding_threads}, options.sync) : nullptr;
    return pool ? std::move(pool) : std::unique_ptr<Sink>(new TreeWriter(0, options.sync));
}

// -o's folder, made (but when checking) if missing; false, having said why, when there is
// none to use.
bool prepare_output_folder(Walk &walk) {
    const Options &options = walk.options;
    if (options.output_dir == nullptr) return true;
    walk.output_folder = folder_name(options.output_dir);
    if (!options.check) return make_output_folder(walk.messages, walk.output_folder);
    if (!blocks_directory(walk.output_folder)) return true;
    report_not_checked(walk.messages, nullptr, walk.output_folder.c_str());
    return false;
}

// Why an exception ended the work: only memory exhaustion can throw.
const char *reason_of(const std::exception &failure) {
    return dynamic_cast<const std::bad_alloc *>(&failure) != nullptr ? "out of memory" : failure.what();
}

int run(int argc, char **argv) {
    guard_against_interruption();
    static Walk walk;  // its messages outlive what a failed allocation ends
    Messages &messages = walk.messages;
    try {
        const char *program = argc >= 1 && argv[0] != nullptr && argv[0][0] != '\0' ? argv[0] : kProgramName;
        switch (parse_arguments(messages, argc, argv, walk.options)) {
            case Action::kUsage: usage(messages, program); return exit_status(messages);
            case Action::kHelp: help(messages, program); return exit_status(messages);
            case Action::kVersion: version(messages); return exit_status(messages);
            case Action::kUsageError: return kUsageErrorStatus;
            case Action::kConvert: break;
        }
        if (!prepare_output_folder(walk)) return exit_status(messages);
        static Conversion conversion;  // its buffers (about 300 KB) are zero until used, and serve every input
        const std::unique_ptr<Sink> sink = choose_sink(walk.options);
        for (const char *name : walk.options.names) {
            Input input{name, -1, true, Format::kPlain, walk.options.mgf ? OutputKind::kMgf : OutputKind::kTree, {}};
            try {
                if (open_input(walk, name, input)) {
                    split_ms2(conversion, messages, input, *sink);
                    note_output(walk, input);
                }
            } catch (const std::exception &failure) {
                report_argument_failure(messages, name, reason_of(failure));
            }
            if (input.seekable && input.file >= 0) close_file(input.file);  // not standard input
        }
    } catch (const std::exception &failure) {
        report_run_failure(messages, reason_of(failure));
    }
    return exit_status(messages);
}

}  // namespace

#ifdef _WIN32
// Windows hands over the arguments in UTF-16; the program takes every name in UTF-8.
int wmain(int argc, wchar_t **argv) { return run(argc, utf8_arguments(argc, argv)); }
#else
int main(int argc, char **argv) { return run(argc, argv); }
#endif
