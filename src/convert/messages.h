// Every line the program prints, and its name, in one place. Progress and per-file problems
// go to standard output, each line beginning with a blank; what a user must act on beyond
// that goes to standard error, prefixed with the program's name. Each line of up to 16 KiB
// reaches its descriptor in one write, unbuffered, so that runs sharing a terminal, pipe or
// log never split a line and the two streams keep their order; a progress line standing on
// the terminal is cleared by a write of its own before it and drawn again after it. Every
// failure reported here also sets the exit status.
#ifndef MS2SPLIT_MESSAGES_H
#define MS2SPLIT_MESSAGES_H

#include <cstddef>
#include <cstdint>

extern const char kProgramName[];

// A line longer than this (only a name of many kilobytes makes one) takes several writes.
constexpr std::size_t kMessageSize = std::size_t{16} * 1024;

// What the lines of one run share: whether any told of a failure, and the progress line
// that stands on the terminal. One for the run, passed down.
struct Messages {
    bool failed;                  // a failure has been reported: the exit status is 1
    int output_error;             // errno of the first write to standard output that failed
    std::size_t progress_length;  // of the progress line on the terminal; 0: none stands
    char progress[kMessageSize];  // that line, after a CR
    char line[kMessageSize];      // the line being sent
    char blanks[kMessageSize + 2];  // to clear the progress line
};

constexpr int kUsageErrorStatus = 2;

void usage(Messages &messages, const char *program);
// --help: the usage text, the options, what the program writes and the exit statuses.
void help(Messages &messages, const char *program);
// --version: the version and the licence.
void version(Messages &messages);
// A command line that cannot be followed: the argument in quotes (unless nullptr) and the
// problem, then where to read how.
void report_usage_error(Messages &messages, const char *argument, const char *problem);

void report_converting(Messages &messages, const char *name);
// The name does not end in the MS2 ending, or names no stem: not a failure.
void report_skipped(Messages &messages, const char *name);

// reason: an errno value, or kNotRegularFile.
void report_unreadable(Messages &messages, const char *name, int reason);
// Why the DTA files of one input could not be written: each cause (an errno value) is told
// once, with the first file it cost, and at the input's end with the number of files.
struct WriteFailures {
    static constexpr int kCausesMax = 8;  // beyond them, each file's reason is told
    int reasons[kCausesMax];
    std::uint64_t files[kCausesMax];
    int causes;
};
void report_unwritable(Messages &messages, WriteFailures &failures, const char *dta_path, int reason);
void report_failure_counts(Messages &messages, const WriteFailures &failures, const char *name);
// problem, when set, says what errno cannot (corrupt gzip data).
void report_read_error(Messages &messages, const char *name, int error, const char *problem);
void report_directory_failure(Messages &messages, const char *directory, const char *reason);
void report_unremovable(Messages &messages, const char *dta_path, int error);
void report_argument_failure(Messages &messages, const char *name, const char *reason);
// What ended the whole run.
void report_run_failure(Messages &messages, const char *reason);
// --sync: the system could not make the input's DTA files durable.
void report_not_durable(Messages &messages, const char *name, int error);
// An input whose output (directory, or MGF file) an earlier input of this run wrote (or, when
// checking, checked): not converted (or checked).
void report_shared_output(Messages &messages, const char *name, const char *earlier, const char *output,
                          bool checking, bool tree);
// --check: what stands at the directory of an input (name), or of every input (nullptr), is
// not a directory.
void report_not_checked(Messages &messages, const char *name, const char *directory);
// An input whose output directory cannot be made: not converted.
void report_no_directory(Messages &messages, const char *name, const char *directory, const char *reason);

// --check: a problem with what stands in an input's directory (" missing: ", " differs: ",
// " not a file: ", " extra: ", " left over: ") and its path; a directory that cannot be
// listed; a DTA file that cannot be read; and, per input, how many files were checked and
// how many problems found. Any problem is a failure.
void report_check_problem(Messages &messages, const char *problem, const char *path);
void report_unlistable(Messages &messages, const char *directory, int error);
void report_unreadable_dta(Messages &messages, const char *path, int error);
// The summary says what to do about the kinds of problem found.
struct CheckSummary {
    std::uint64_t files;     // checked
    std::uint64_t problems;
    bool convert_again;      // files missing, differing or unreadable
    bool not_a_file;         // something else at a DTA name
    bool extra;              // DTA files the input does not give
    bool left_over;          // temporary files
    const char *mgf;         // the MGF file checked, of files spectra; nullptr for a tree
};
void report_check_summary(Messages &messages, const char *name, const CheckSummary &summary);

// Notices of output that differs from what the input suggests: not failures.
// No scan had a charge line: no DTA file, or (mgf names it) an MGF file without an entry.
void notice_no_spectrum(Messages &messages, const char *name, const char *mgf);
void notice_replaced(Messages &messages, const char *dta_path);
// A NUL byte among the text read (of the decompressed text, for gzip and zstd), at offset.
void notice_not_text(Messages &messages, const char *name, std::int64_t offset);
// files DTA files of the input (entries of its MGF file) have a header (a precursor mass)
// that search engines reject; the first is path (its title).
void notice_odd_headers(Messages &messages, const char *name, std::uint64_t files, const char *path, bool mgf);
// No memory to keep the names of the files written: later notices may be missed.
void notice_names_lost(Messages &messages, const char *dta_path);

// A progress line on standard error, which must be a terminal, rewritten in place: the
// share of the input read, or for one of no known size (size -1) the bytes read; any other
// line clears it first. end_progress leaves it as the input's last word.
struct ProgressFigures {
    std::uint64_t read;    // bytes of the input read
    std::int64_t size;     // of the input; -1 when unknown
    std::uint64_t files;   // DTA files (spectra) so far
    const char *unit;      // what files counts: "DTA files" or "spectra"
    double mb_per_second;  // of the input read
};
void show_progress(Messages &messages, const char *name, const ProgressFigures &figures);
void end_progress(Messages &messages);

// Reports if standard output could not be written, and returns the exit status: 0 when
// nothing failed, 1 otherwise.
int exit_status(Messages &messages);

#endif
