#include "messages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform.h"

#ifndef MS2SPLIT_VERSION  // CMake passes the version of its project()
#define MS2SPLIT_VERSION "unknown"
#endif

const char kProgramName[] = "ms2split";

namespace {

using Parts = std::initializer_list<const char *>;

constexpr int kStandardOutput = 1;
constexpr int kStandardError = 2;
constexpr bool kFailure = true;  // a line that tells of a failure, which sets the exit status

// Standard output that cannot be written never stops the work: the first failure is kept
// and reported at the end.
void send(Messages &messages, int stream, const char *text, std::size_t length) {
    const int error = write_message(stream, text, length);
    if (error != 0 && stream == kStandardOutput && messages.output_error == 0) messages.output_error = error;
}

// Blanks over the progress line, and the cursor back at its start.
void clear_progress(Messages &messages) {
    const std::size_t length = messages.progress_length;
    std::memset(messages.blanks, ' ', length + 2);
    messages.blanks[0] = messages.blanks[length + 1] = '\r';
    send(messages, kStandardError, messages.blanks, length + 2);
}

// Adds text to the line, sending what the line holds whenever it is full.
void add(Messages &messages, int stream, std::size_t &length, const char *text) {
    for (std::size_t rest = std::strlen(text); rest > 0;) {
        if (length == sizeof messages.line) {
            send(messages, stream, messages.line, length);
            length = 0;
        }
        const std::size_t taken = rest < sizeof messages.line - length ? rest : sizeof messages.line - length;
        std::memcpy(messages.line + length, text, taken);
        length += taken;
        text += taken;
        rest -= taken;
    }
}

// The one way out for every line: the parts, joined, in one write (after the program's name
// on standard error); over a progress line, which is drawn again after them.
void emit(Messages &messages, int stream, bool failure, Parts parts) {
    messages.failed = messages.failed || failure;
    if (messages.progress_length > 0) clear_progress(messages);
    std::size_t length = 0;
    if (stream == kStandardError) {
        add(messages, stream, length, kProgramName);
        add(messages, stream, length, ": ");
    }
    for (const char *part : parts) add(messages, stream, length, part);
    if (stream == kStandardError) add(messages, stream, length, "\n");
    send(messages, stream, messages.line, length);
    if (messages.progress_length > 0) send(messages, kStandardError, messages.progress, messages.progress_length + 1);
}

void say(Messages &messages, Parts parts, bool failure = false) {
    emit(messages, kStandardOutput, failure, parts);
}

void tell(Messages &messages, Parts parts, bool failure = false) {
    emit(messages, kStandardError, failure, parts);
}

const char *reason_text(int reason) {
    return reason == kNotRegularFile ? "not a regular file" : std::strerror(reason);
}

void say_usage(Messages &messages, const char *program, const char *after) {
    constexpr char kAbout[] =
        " This program converts .ms2 files to individual .dta files\n"
        " which are placed in separate subdirectories, one for each\n"
        " input .ms2 file.\n\n";
    say(messages, {"\n USAGE: ", program, " *.ms2\n\n", kAbout, after});
}

}  // namespace

void usage(Messages &messages, const char *program) {
    say_usage(messages, program, " Options: ms2split --help\n\n");
}

void help(Messages &messages, const char *program) {
    say_usage(messages, program,
              " Options:\n"
              "  -o, --output-dir DIR  write NAME/NAME.FIRST.LAST.CHARGE.dta under DIR\n"
              "                        (made if missing) instead of beside each input\n"
              "  -f, --format FORMAT   dta (the default) or mgf: one file NAME.mgf\n"
              "                        holding every spectrum, in place of NAME/\n"
              "  --name NAME           read standard input, given as -, as NAME.ms2\n"
              "  -j, --threads N       write with N threads (by default one for each\n"
              "                        processor, at most 8)\n"
              "  --check               write nothing; compare what stands at each DTA\n"
              "                        name (or NAME.mgf) with what a conversion\n"
              "                        would write there\n"
              "  --sync                make each input's files durable before the next\n"
              "  -h, --help            print this help and exit\n"
              "  -V, --version         print the version and exit\n"
              "  --                    every later argument is a file name\n\n"
              " It writes one DTA file for each scan and charge line of NAME.ms2 (or\n"
              " NAME.ms2.gz, NAME.ms2.zst). An existing file at a DTA name is replaced\n"
              " by a new one, never rewritten.\n"
              " Exit status: 0 if nothing failed; 1 if an input could not be read, a\n"
              " directory, a DTA file or standard output not written, or --check found\n"
              " a problem; 2 for a usage error.\n"
              " More in the manual page: man ms2split\n\n");
}

// The first line tells the build as CMake found it: the platform, whether the libraries are
// linked in, the library that reads gzip and the zstd one, with the versions their headers
// gave, and whether writing threads run; a report of a problem then says which build it was.
void version(Messages &messages) {
#ifdef MS2SPLIT_ZSTD
    const char *zstd = MS2SPLIT_ZSTD_VERSION;
#else
    const char *zstd = "no";
#endif
    say(messages, {kProgramName, " " MS2SPLIT_VERSION " (" MS2SPLIT_PLATFORM ", " MS2SPLIT_LINKING "; gzip: " MS2SPLIT_GZIP
                   "; zstd: ", zstd, "; threads: " MS2SPLIT_THREADS ")\n",
                   "License: Apache License 2.0 <https://www.apache.org/licenses/LICENSE-2.0>\n"});
}

void report_usage_error(Messages &messages, const char *argument, const char *problem) {
    const bool quoted = argument != nullptr;
    tell(messages, {quoted ? "'" : "", quoted ? argument : "", quoted ? "'" : "", problem, "\nTry '",
                    kProgramName, " --help'."}, kFailure);
}

void report_converting(Messages &messages, const char *name) { say(messages, {" converting ", name, "\n"}); }

void report_skipped(Messages &messages, const char *name) { say(messages, {" skipping: ", name, "\n"}); }

void report_unreadable(Messages &messages, const char *name, int reason) {
    say(messages, {" skipping: ", name, " (cannot read)\n"}, kFailure);
    tell(messages, {name, ": ", reason_text(reason)});
}

void report_unwritable(Messages &messages, WriteFailures &failures, const char *dta_path, int reason) {
    say(messages, {" skipping: ", dta_path, " (cannot write .dta file)\n"}, kFailure);
    for (int i = 0; i < failures.causes; ++i) {
        if (failures.reasons[i] == reason) {
            ++failures.files[i];
            return;
        }
    }
    if (failures.causes < WriteFailures::kCausesMax) {
        failures.reasons[failures.causes] = reason;
        failures.files[failures.causes++] = 1;
    }
    tell(messages, {dta_path, ": ", reason_text(reason)});
}

void report_failure_counts(Messages &messages, const WriteFailures &failures, const char *name) {
    for (int i = 0; i < failures.causes; ++i) {
        if (failures.files[i] < 2) continue;
        char count[64];
        (void)std::snprintf(count, sizeof count, ": %llu DTA files not written: ",
                            static_cast<unsigned long long>(failures.files[i]));
        tell(messages, {name, count, reason_text(failures.reasons[i])});
    }
}

void report_read_error(Messages &messages, const char *name, int error, const char *problem) {
    tell(messages, {name, ": read error: ", problem != nullptr ? problem : std::strerror(error)}, kFailure);
}

void report_directory_failure(Messages &messages, const char *directory, const char *reason) {
    tell(messages, {"cannot create directory '", directory, "': ", reason}, kFailure);
}

void report_unremovable(Messages &messages, const char *dta_path, int error) {
    tell(messages, {"cannot remove incomplete file '", dta_path, "': ", std::strerror(error)}, kFailure);
}

void report_argument_failure(Messages &messages, const char *name, const char *reason) {
    tell(messages, {name, ": ", reason}, kFailure);
}

void report_run_failure(Messages &messages, const char *reason) { tell(messages, {reason}, kFailure); }

void report_not_durable(Messages &messages, const char *name, int error) {
    tell(messages, {name, ": its DTA files may not survive a power loss: ", std::strerror(error)}, kFailure);
}

void report_shared_output(Messages &messages, const char *name, const char *earlier, const char *output,
                          bool checking, bool tree) {
    tell(messages, {name, checking ? ": not checked: '" : ": not converted: '", output,
                    tree ? "' already holds the DTA files of " : "' already holds the spectra of ", earlier}, kFailure);
}

void report_not_checked(Messages &messages, const char *name, const char *directory) {
    tell(messages, {name != nullptr ? name : "", name != nullptr ? ": " : "", "not checked: '", directory,
                    "' is not a directory"}, kFailure);
}

void report_no_directory(Messages &messages, const char *name, const char *directory, const char *reason) {
    tell(messages, {name, ": not converted: cannot create directory '", directory, "': ", reason}, kFailure);
}

void report_check_problem(Messages &messages, const char *problem, const char *path) {
    say(messages, {problem, path, "\n"}, kFailure);
}

void report_unlistable(Messages &messages, const char *directory, int error) {
    tell(messages, {directory, ": cannot be listed: ", std::strerror(error)}, kFailure);
}

void report_unreadable_dta(Messages &messages, const char *path, int error) {
    tell(messages, {path, ": ", std::strerror(error)}, kFailure);
}

void report_check_summary(Messages &messages, const char *name, const CheckSummary &summary) {
    char files[64], problems[32];
    const bool one = summary.files == 1;
    (void)std::snprintf(files, sizeof files, ": %llu %s checked%s", static_cast<unsigned long long>(summary.files),
                        summary.mgf != nullptr ? (one ? "spectrum" : "spectra") : (one ? "DTA file" : "DTA files"),
                        summary.mgf != nullptr ? " in " : "");
    (void)std::snprintf(problems, sizeof problems, ", %llu problem%s", static_cast<unsigned long long>(summary.problems),
                        summary.problems == 1 ? "" : "s");
    // What converting again cannot mend comes first: it stands in the way, or stays.
    const char *moving = summary.not_a_file ? ": move away what is not a file" : "";
    const char *removing = !summary.extra && !summary.left_over ? ""
                           : summary.extra && summary.left_over ? "remove the extra and left-over files"
                           : summary.extra ? "remove the extra files" : "remove the left-over files";
    const bool again = summary.convert_again || summary.not_a_file;
    const char *between = *moving != '\0' ? ", " : ": ";
    tell(messages, {name, files, summary.mgf != nullptr ? summary.mgf : "", problems, moving,
                    *removing != '\0' ? between : "", removing,
                    again ? (*moving != '\0' || *removing != '\0' ? ", then convert it again" : ": convert it again") : ""});
}

void notice_no_spectrum(Messages &messages, const char *name, const char *mgf) {
    tell(messages, {name, ": no scan with a charge line; ", mgf != nullptr ? mgf : "no DTA file written",
                    mgf != nullptr ? " holds no spectrum" : ""});
}

void notice_odd_headers(Messages &messages, const char *name, std::uint64_t files, const char *path, bool mgf) {
    char count[64];
    const bool one = files == 1;
    (void)std::snprintf(count, sizeof count, ": %llu %s", static_cast<unsigned long long>(files),
                        mgf ? (one ? "spectrum has" : "spectra have") : (one ? "DTA file has" : "DTA files have"));
    if (mgf) {
        tell(messages, {name, count, " a precursor mass that search engines reject (0 or not a number), the first: TITLE=",
                        path});
    } else {
        tell(messages, {name, count, " a header that search engines reject (a mass of 0 or not a number, or a charge"
                        " below 1), the first: ", path});
    }
}

void notice_not_text(Messages &messages, const char *name, std::int64_t offset) {
    char where[32];
    (void)std::snprintf(where, sizeof where, "%lld", static_cast<long long>(offset));
    tell(messages, {name, ": does not look like MS2 text: a NUL byte at offset ", where, " of the text read"});
}

void notice_replaced(Messages &messages, const char *dta_path) {
    tell(messages, {dta_path, ": replaces the file written earlier for the same scan numbers and charge"});
}

void notice_names_lost(Messages &messages, const char *dta_path) {
    tell(messages, {dta_path, ": out of memory to keep the names written; a later file that replaces"
                              " one of them may go without a notice"});
}

void show_progress(Messages &messages, const char *name, const ProgressFigures &figures) {
    if (messages.progress_length > 0) clear_progress(messages);
    char share[32];
    const auto read = static_cast<double>(figures.read);
    if (figures.size > 0) {
        (void)std::snprintf(share, sizeof share, "%d%%", static_cast<int>(100.0 * read / static_cast<double>(figures.size)));
    } else {
        (void)std::snprintf(share, sizeof share, "%.1f MB", read / 1e6);
    }
    const int length = std::snprintf(messages.progress, sizeof messages.progress,
                                     "\r%s: %s: %s read, %llu %s, %.1f MB/s", kProgramName, name, share,
                                     static_cast<unsigned long long>(figures.files), figures.unit, figures.mb_per_second);
    messages.progress_length = length > 0 ? std::strlen(messages.progress) - 1 : 0;
    send(messages, kStandardError, messages.progress, messages.progress_length + 1);
}

void end_progress(Messages &messages) {
    messages.progress_length = 0;
    send(messages, kStandardError, "\n", 1);
}

int exit_status(Messages &messages) {
    if (messages.output_error != 0) tell(messages, {"standard output: ", std::strerror(messages.output_error)}, kFailure);
    return messages.failed ? 1 : 0;
}
