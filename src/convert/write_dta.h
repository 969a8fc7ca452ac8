// The DTA writer: one file at a time, a header line from the charge line, then the body.
#ifndef MS2SPLIT_WRITE_DTA_H
#define MS2SPLIT_WRITE_DTA_H

#include <cstddef>
#include <cstdint>

#include "ms2_input.h"
#include "platform.h"
#include "check_tree.h"
#include "written_names.h"

constexpr std::size_t kHeaderSize = kLinePieceSize + 16;  // mass token, blank, charge, CR LF
constexpr std::size_t kGatherSize = std::size_t{64} * 1024;  // the least a write carries

// What became of one DTA file, for the conversion to tell, in the order of the input.
struct DtaOutcome {
    DtaKey key;         // its scan numbers and charge, which name it
    bool opened;        // it could be created (always, when checking)
    bool complete;      // it stands complete at its name
    bool read_failed;   // it was cut short by a failed read, which the input's error tells
    int error;          // why it is not complete
    int remove_error;   // errno of a removal of what was written that failed; 0 if none did
    Verdict verdict;    // when checking: what stands at its name
};

// Every write of a DTA file but its last carries at least kGatherSize bytes, so a file
// costs at most one write per 64 KiB of its bytes, plus one. One writer writes one file at
// a time; each thread that writes has its own.
struct DtaWriter {
    OutputFile file;
    bool crlf;                     // DTA lines end in CR LF (Windows)
    bool checking;                 // the files are compared with what stands, not written
    bool failed;                   // a write to the open file failed
    int error;                     // errno of that failure
    DtaKey key;                    // the open file's scan numbers and charge
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
void start_dta_files(DtaWriter &writer, bool checking);
// Opens the file at path and prepares its header line; false, with outcome telling why,
// if the file cannot be created.
bool open_dta(DtaWriter &writer, const char *path, ScanNumbers scan, const ChargeLine &line,
              DtaOutcome &outcome);
// Body bytes as they stand, after what is left of the header, in one write (or compared
// with the file at the name, when checking). Nothing gathered may wait.
void write_body(DtaWriter &writer, const char *bytes, std::size_t length);
// Body bytes that follow the last ones given: gathered, and written once kGatherSize wait.
void gather_body(DtaWriter &writer, const char *bytes, std::size_t length);
// After a body gathered whole (never written out half-way): keeps it for the other charge
// lines of the same scan, and reuses it. scan numbers the scans of a conversion from 1.
void keep_gathered_body(DtaWriter &writer, std::uint64_t scan);
bool reuse_kept_body(DtaWriter &writer, std::uint64_t scan);
// Writes what waits and closes the file, which then stands complete at path. A file that
// cannot be completed, or one cut short by a failed read, is removed; the file that stood
// at path before stays as it was.
DtaOutcome close_dta(DtaWriter &writer, const char *path, bool read_failed);

// The body bytes as a file whose lines end in CR LF holds them: each LF that no CR precedes
// (previous is the byte before bytes) becomes CR LF; every other byte stays, so CR LF stays
// CR LF and CR CR LF stays CR CR LF. Writes at most 2 * length bytes to out; returns their
// count.
std::size_t end_lines_in_crlf(const char *bytes, std::size_t length, char &previous, char *out);

#endif
