// The ledger of one input: what became of each of its files, told as the sink reports it,
// in input order, and the input's summary at its end. It owns every notice and count of an
// input: files that replace earlier ones, failures by cause, and what a check found.
#ifndef MS2SPLIT_LEDGER_H
#define MS2SPLIT_LEDGER_H

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "messages.h"
#include "sink.h"
#include "written_names.h"

// What an input becomes: a tree of DTA files, or one MGF file; it decides only the words.
enum class OutputKind { kTree, kMgf };

struct DtaKeyHash {
    std::size_t operator()(const DtaKey &key) const {
        return (static_cast<std::size_t>(static_cast<std::uint32_t>(key.first)) * 0x9e3779b9u) ^
               (static_cast<std::size_t>(static_cast<std::uint32_t>(key.last)) << 7) ^
               static_cast<std::size_t>(static_cast<std::uint32_t>(key.charge));
    }
};

// What a check found, held until the input is read: a name the input gives twice holds the
// later file, so the later verdict stands.
struct CheckFindings {
    struct Problem {
        DtaKey key;
        Outcome::What verdict;
        bool superseded;   // a later file of the same name was found the same as expected
        const char *path;  // of a file named other than by key (an MGF file); else nullptr
    };
    std::vector<Problem> problems;
    std::unordered_map<DtaKey, std::size_t, DtaKeyHash> differing;  // their problems' indexes
    std::uint64_t files;     // checked (spectra, for an MGF file)
    std::uint64_t strays;    // problems found in the directory
    bool extra, left_over;   // among them, extra DTA files and temporary files
    bool told;               // the problems are told
    bool checked;            // the input's files were checked, not written
};

struct Ledger {
    const char *name;               // the input, as given
    OutputKind kind;
    const char *output;             // its directory, or its MGF file
    std::string path;               // of the DTA file an outcome is about (an MGF entry's title)
    std::size_t prefix_length;      // of path: "<directory>/<base>." ("<base>.")
    WrittenNames names;             // of the files written, or checked, so far
    bool names_lost;                // a name could not be kept: told once
    WriteFailures failures;         // by cause
    int not_durable;                // errno of a failed --sync; 0 if none
    std::uint64_t odd_headers;      // files (entries) whose header search engines reject
    std::string first_odd_header;   // the path (title) of the first
    CheckFindings check;
};

void open_ledger(Ledger &ledger, const char *name, OutputKind kind, const char *output);
void enter(Ledger &ledger, Messages &messages, const Outcome &outcome);
// The input's summary: its failures by cause, a read error or no file at all, a NUL byte
// among its text, what a check found, a failed sync. files: the DTA files its scans give.
void close_ledger(Ledger &ledger, Messages &messages, const Ms2Input &reader, std::uint64_t files);

#endif
