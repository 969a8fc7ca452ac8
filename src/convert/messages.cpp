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
// A line longer than this (only a name of many kilobytes makes one) takes several writes.
constexpr std::size_t kMessageSize = std::size_t{16} * 1024;

bool failed = false;   // a failure has been reported
int output_error = 0;  // errno of the first write to standard output that failed
char progress[kMessageSize];  // the progress line on the terminal, after a CR
std::size_t progress_length = 0;  // of progress; 0: none stands

// Standard output that cannot be written never stops the work: the first failure is kept
// and reported at the end.
void send(int stream, const char *text, std::size_t length) {
    const int error = write_message(stream, text, length);
    if (error != 0 && stream == kStandardOutput && output_error == 0) output_error = error;
}

// Blanks over the progress line, and the cursor back at its start.
void clear_progress() {
    static char blanks[kMessageSize + 2];
    std::memset(blanks, ' ', progress_length + 2);
    blanks[0] = blanks[progress_length + 1] = '\r';
    send(kStandardError, blanks, progress_length + 2);
}

// The parts, joined, in one write; over a progress line, which is drawn again after them.
void emit(int stream, Parts parts) {
    static char line[kMessageSize];
    if (progress_length > 0) clear_progress();
    std::size_t length = 0;
    for (const char *part : parts) {
        for (std::size_t rest = std::strlen(part); rest > 0;) {
            if (length == sizeof line) {
                send(stream, line, length);
                length = 0;
            }
            const std::size_t taken = rest < sizeof line - length ? rest : sizeof line - length;
            std::memcpy(line + length, part, taken);
            length += taken;
            part += taken;
            rest -= taken;
        }
    }
    send(stream, line, length);
    if (progress_length > 0) send(kStandardError, progress, progress_length + 1);
}

void say(Parts parts) { emit(kStandardOutput, parts); }

void say_failure(Parts parts) {
    failed = true;
    say(parts);
}

// One line on standard error, after the program's name.
void tell(const char *subject, const char *text, const char *detail = "") {
    emit(kStandardError, {kProgramName, ": ", subject, text, detail, "\n"});
}

void tell_failure(const char *subject, const char *text, const char *detail = "") {
    failed = true;
    tell(subject, text, detail);
}

const char *reason_text(int reason) {
    return reason == kNotRegularFile ? "not a regular file" : std::strerror(reason);
}

}  // namespace

namespace {

void say_usage(const char *program, const char *after) {
    constexpr char kAbout[] =
        " This program converts .ms2 files to individual .dta files\n"
        " which are placed in separate subdirectories, one for each\n"
        " input .ms2 file.\n\n";
    say({"\n USAGE: ", program, " *.ms2\n\n", kAbout, after});
}

}  // namespace

void usage(const char *program) { say_usage(program, " Options: ms2split --help\n\n"); }

void help(const char *program) {
    say_usage(program,
              " Options:\n"
              "  -o, --output-dir DIR  write NAME/NAME.FIRST.LAST.CHARGE.dta under DIR\n"
              "                        (made if missing) instead of beside each input\n"
              "  --check               write nothing; compare what stands at each DTA\n"
              "                        name with what a conversion would write there\n"
              "  --sync                make each input's files durable before the next\n"
              "  -h, --help            print this help and exit\n"
              "  -V, --version         print the version and exit\n"
              "  --                    every later argument is a file name\n\n"
              " It writes one DTA file for each scan and charge line of NAME.ms2. An\n"
              " existing file at a DTA name is replaced by a new one, never rewritten.\n"
              " Exit status: 0 if nothing failed; 1 if an input could not be read, a\n"
              " directory, a DTA file or standard output not written, or --check found\n"
              " a problem; 2 for a usage error.\n"
              " More in the manual page: man ms2split\n\n");
}

void version() {
    say({kProgramName, " " MS2SPLIT_VERSION "\n",
         "License: Apache License 2.0 <https://www.apache.org/licenses/LICENSE-2.0>\n"});
}

void report_usage_error(const char *argument, const char *problem) {
    failed = true;
    const bool quoted = argument != nullptr;
    emit(kStandardError, {kProgramName, ": ", quoted ? "'" : "", quoted ? argument : "",
                          quoted ? "'" : "", problem, "\nTry '", kProgramName, " --help'.\n"});
}

void report_converting(const char *name) { say({" converting ", name, "\n"}); }

void report_skipped(const char *name) { say({" skipping: ", name, "\n"}); }

void report_unreadable(const char *name, int reason) {
    say_failure({" skipping: ", name, " (cannot read)\n"});
    tell(name, ": ", reason_text(reason));
}

void report_unwritable(WriteFailures &failures, const char *dta_path, int reason) {
    say_failure({" skipping: ", dta_path, " (cannot write .dta file)\n"});
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
    tell(dta_path, ": ", reason_text(reason));
}

void report_failure_counts(const WriteFailures &failures, const char *name) {
    for (int i = 0; i < failures.causes; ++i) {
        if (failures.files[i] < 2) continue;
        char count[64];
        (void)std::snprintf(count, sizeof count, ": %llu DTA files not written: ",
                      static_cast<unsigned long long>(failures.files[i]));
        tell(name, count, reason_text(failures.reasons[i]));
    }
}

void report_read_error(const char *name, int error, const char *problem) {
    tell_failure(name, ": read error: ", problem != nullptr ? problem : std::strerror(error));
}

void report_directory_failure(const char *directory, const char *reason) {
    emit(kStandardError, {kProgramName, ": cannot create directory '", directory, "': ", reason,
                          "\n"});
    failed = true;
}

void report_unremovable(const char *dta_path, int error) {
    emit(kStandardError, {kProgramName, ": cannot remove incomplete file '", dta_path, "': ",
                          std::strerror(error), "\n"});
    failed = true;
}

void report_argument_failure(const char *name, const char *reason) {
    tell_failure(name, ": ", reason);
}

void report_not_durable(const char *name, int error) {
    tell_failure(name, ": its DTA files may not survive a power loss: ", std::strerror(error));
}

void report_shared_directory(const char *name, const char *earlier, const char *directory,
                             bool checking) {
    failed = true;
    emit(kStandardError, {kProgramName, ": ", name, checking ? ": not checked: '" : ": not converted: '",
                          directory, "' already holds the DTA files of ", earlier, "\n"});
}

void report_no_directory(const char *name, const char *directory, const char *reason) {
    failed = true;
    emit(kStandardError, {kProgramName, ": ", name, ": not converted: cannot create directory '",
                          directory, "': ", reason, "\n"});
}

void report_check_problem(const char *problem, const char *path) { say_failure({problem, path, "\n"}); }

void report_unlistable(const char *directory, int error) {
    tell_failure(directory, ": cannot be listed: ", std::strerror(error));
}

void report_unreadable_dta(const char *path, int error) { tell_failure(path, ": ", std::strerror(error)); }

void report_check_summary(const char *name, std::uint64_t files, std::uint64_t problems) {
    char counts[96];
    (void)std::snprintf(counts, sizeof counts, ": %llu DTA files checked, %llu problems",
                  static_cast<unsigned long long>(files), static_cast<unsigned long long>(problems));
    tell(name, counts);
}

void notice_no_dta_file(const char *name) {
    tell(name, ": no scan with a charge line; no DTA file written");
}

void notice_replaced(const char *dta_path) {
    tell(dta_path, ": replaces the file written earlier for the same scan numbers and charge");
}

void notice_names_lost(const char *dta_path) {
    tell(dta_path, ": out of memory to keep the names written; a later file that replaces one"
                   " of them may go without a notice");
}

void show_progress(const char *name, int percent_read, std::uint64_t files, double mb_per_second) {
    if (progress_length > 0) clear_progress();
    const int length = std::snprintf(progress, sizeof progress, "\r%s: %s: %d%% read, %llu DTA files, %.1f MB/s",
                                     kProgramName, name, percent_read,
                                     static_cast<unsigned long long>(files), mb_per_second);
    progress_length = length > 0 ? std::strlen(progress) - 1 : 0;
    send(kStandardError, progress, progress_length + 1);
}

void end_progress() {
    progress_length = 0;
    send(kStandardError, "\n", 1);
}

int exit_status() {
    if (output_error != 0) tell_failure("standard output: ", std::strerror(output_error));
    return failed ? 1 : 0;
}
