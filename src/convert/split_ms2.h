// The conversion loop: one input read scan by scan, each scan's files handed to the sink, and
// what became of each told, in input order, to the input's ledger; progress meanwhile.
#ifndef MS2SPLIT_SPLIT_MS2_H
#define MS2SPLIT_SPLIT_MS2_H

#include <cstdint>
#include <string>

#include "ledger.h"
#include "messages.h"
#include "ms2_input.h"
#include "sink.h"

// An input to convert.
struct Input {
    const char *name;    // as given
    int file;            // open for reading; -1 when none is open of the program's own
    bool seekable;       // read at offsets (a file), or in turn (standard input)
    Format named;        // what its name says it is (kPlain: any)
    OutputKind kind;     // what it becomes
    std::string output;  // where: its directory, or its MGF file
};

// Shown on standard error while an input converts, where that is a terminal.
struct Progress {
    bool on_terminal;       // standard error is one
    double start;           // when the input began, in monotonic seconds
    double next_look;       // when to look at the clock next
    std::int64_t size;      // of the input file, for its share read; -1 when unknown
    std::uint64_t scans;    // since the last look at the clock
    bool shown;             // a progress line stands on the terminal
};

// What one input needs; split_ms2 starts each input afresh, so one serves every input in turn.
struct Conversion {
    Ms2Input reader;
    Ledger ledger;
    Outcomes told;      // the sink's latest, to tell
    Progress progress;
};

// How the reading of an input ended.
struct InputResult {
    std::uint64_t files;  // DTA files the scans read give, one per charge line
    int error;            // errno of a failed read; 0 when none failed
    const char *problem;  // what the failure was, where errno cannot say
};

InputResult split_ms2(Conversion &conversion, Messages &messages, const Input &input, Sink &sink);

#endif
