// The MS2 scan splitter: one DTA file per charge line of every scan.
#ifndef MS2SPLIT_SPLIT_MS2_H
#define MS2SPLIT_SPLIT_MS2_H

#include <cstdint>
#include <string>
#include <vector>

#include "ms2_input.h"
#include "write_dta.h"

constexpr std::size_t kRereadWindowSize = std::size_t{64} * 1024;

// Shown on standard error while an input converts, where that is a terminal.
struct Progress {
    bool on_terminal;       // standard error is one
    double start;           // when the input began, in monotonic seconds
    double next_look;       // when to look at the clock next
    std::int64_t size;      // of the input file, for its share read; -1 when unknown
    std::uint64_t scans;    // since the last look at the clock
    bool shown;             // a progress line stands on the terminal
};

// What writing the files of scans needs, one for each thread that writes them.
struct FileWriter {
    DtaWriter writer;
    std::string path;                  // the current DTA file's path
    std::size_t prefix_length;         // the part of path that every file of the input shares
    ChargeLine line;                   // the current charge line
    std::vector<DtaOutcome> outcomes;  // of the files written, in order, not yet told
    Ms2Input *input;                   // to read a large scan again; nullptr: only held scans
    char header_window[kRereadWindowSize];  // a large scan's charge lines, read again
    char body_window[kRereadWindowSize];    // its body, read again
};

// Everything one conversion holds, in one place; split_ms2 starts each input afresh, so one
// serves every input in turn.
struct WritePool;
struct Conversion {
    Ms2Input input;
    FileWriter writer;           // the main thread's
    WritePool *pool;             // the other threads that write, when there are several
    int decoding_writers;        // of them, for an input decoded as it is read (it takes a
                                 // processor of its own); below 2: the main thread writes
    WritePool *writers;          // the pool for the input being split, or nullptr
    Messages *messages;          // of the run
    bool checking;               // --check: the files are compared with what stands
    const char *name;            // the input, as given
    std::string path;            // a DTA path of the input, to tell of its file
    std::size_t prefix_length;   // the part of path that every file of the input shares
    std::uint64_t scans;         // scans read so far
    std::uint64_t files;         // DTA files attempted, one per charge line
    WrittenNames names;          // the files of this input written (or checked)
    bool names_lost;             // a name could not be kept: told once per input
    WriteFailures failures;      // of this input's files, by cause
    TreeCheck tree;              // while checking: what was found
    Progress progress;
};

// An input to split: its name as given, and its open file, read at offsets (seekable) or
// in turn (standard input); named is the format its name says it is (kPlain: any).
struct InputFile {
    const char *name;
    int file;
    bool seekable;
    Format named;
};

// Splits the input into DTA files in directory. Afterwards the input's error tells of a
// failed read, and files how many files were attempted.
void split_ms2(Conversion &conversion, Messages &messages, const InputFile &input, const char *directory);

// One DTA file for each charge line of the scan, opened, filled and closed in turn, each
// leaving its outcome; false when reading the scan again failed, which ends the input.
bool write_scan(FileWriter &files, const Scan &scan);
// Starts the files of an input in directory (checked, when checking).
void start_file_writer(FileWriter &files, const char *directory, bool checking, Ms2Input *input);
// Tells, in order, what became of the files written, and forgets them.
void tell_outcomes(Conversion &conversion, std::vector<DtaOutcome> &outcomes);

// "<directory>/<last component of directory>." (with the directory's own separator on
// Windows): the part of every DTA path that one input shares.
std::string dta_path_prefix(const char *directory);
// Replaces whatever follows the prefix with "<first>.<last>.<charge>.dta".
void compose_dta_path(std::string &path, std::size_t prefix_length, ScanNumbers scan,
                      std::int32_t charge);

#endif
