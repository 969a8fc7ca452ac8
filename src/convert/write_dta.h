// The DTA writer: one file at a time, a header line from the charge line, then the body.
#ifndef MS2SPLIT_WRITE_DTA_H
#define MS2SPLIT_WRITE_DTA_H

#include <cstddef>
#include <cstdint>

#include "ms2_input.h"
#include "platform.h"
#include "check_tree.h"
#include "messages.h"
#include "written_names.h"

constexpr std::size_t kHeaderSize = kLinePieceSize + 16;  // mass token, blank, charge, CR LF
constexpr std::size_t kGatherSize = std::size_t{64} * 1024;  // the least a write carries

// Every write of a DTA file but its last carries at least kGatherSize bytes, so a file
// costs at most one write per 64 KiB of its bytes, plus one.
struct DtaWriter {
    Messages *messages;            // of the run
    OutputFile file;
    WrittenNames names;            // the files of this conversion
    bool crlf;                     // DTA lines end in CR LF (Windows)
    bool failed;                   // a write to the open file failed
    int error;                     // errno of that failure
    WriteFailures failures;        // of this conversion's files, by cause
    bool names_lost;               // a name could not be kept: told once per conversion
    DtaKey key;                    // the open file's scan numbers and charge
    bool checking;                 // the files are compared with what stands, not written
    TreeCheck tree;                // while checking: what was found
    CheckedFile checked;           // while checking: the file that stands at the open name
    char previous;                 // the last body byte given: a CR before a LF stays one
    std::size_t header_length;     // of header, not yet written
    std::size_t gathered;          // bytes in gather, not yet written
    bool gather_written;           // gather was written out during the open file's body
    std::uint64_t kept_body;       // the number of the scan whose whole body gather holds; 0
    std::size_t kept_length;       // its length
    char header[kHeaderSize];
    char gather[kGatherSize];
};

// Starts the files of a conversion, or of a check when checking is set.
void start_dta_files(DtaWriter &writer, Messages &messages);
// Opens the file at path and prepares its header line; false, having reported it, if the
// file cannot be created.
bool open_dta(DtaWriter &writer, const char *path, ScanNumbers scan, const ChargeLine &line);
// Body bytes as they stand, after what is left of the header, in one write (or compared
// with the file at the name, when checking). Nothing gathered may wait.
void write_body(DtaWriter &writer, const char *bytes, std::size_t length);
// Body bytes that follow the last ones given: gathered, and written once kGatherSize wait.
void gather_body(DtaWriter &writer, const char *bytes, std::size_t length);
// After a body gathered whole (never written out half-way): keeps it for the other charge
// lines of the same scan, and reuses it. scan numbers the scans of a conversion from 1.
void keep_gathered_body(DtaWriter &writer, std::uint64_t scan);
bool reuse_kept_body(DtaWriter &writer, std::uint64_t scan);
// Writes what waits and closes the file, which then stands complete at path and is
// announced if it replaced one of this conversion. A file that cannot be completed, or one
// cut short by a failed read (reported by the caller), is removed; the file that stood at
// path before stays as it was.
void close_dta(DtaWriter &writer, const char *path, bool read_failed);
// At the input's end: how many files each cause of failure cost, where it cost several.
void finish_dta_files(const DtaWriter &writer, const char *name);

// The body bytes as a file whose lines end in CR LF holds them: each LF that no CR precedes
// (previous is the byte before bytes) becomes CR LF; every other byte stays, so CR LF stays
// CR LF and CR CR LF stays CR CR LF. Writes at most 2 * length bytes to out; returns their
// count.
std::size_t end_lines_in_crlf(const char *bytes, std::size_t length, char &previous, char *out);

#endif
