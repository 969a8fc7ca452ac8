// What a DTA file is, and nothing of where it goes: from a scan and one of its charge lines,
// the file's name, its header line and its body, as runs of the scan's bytes. Every rule
// that decides a DTA file's name or bytes is here.
#ifndef MS2SPLIT_DTA_FILE_H
#define MS2SPLIT_DTA_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "ms2_input.h"

// Whether a mass token reads as a search engine reads a mass: a decimal number above zero
// (digits with at most one point, perhaps a '+' and an exponent).
bool is_positive_number(const char *text);

// The scan numbers and charge that name a DTA file.
struct DtaKey {
    std::int32_t first;
    std::int32_t last;
    std::int32_t charge;
};

inline bool operator==(const DtaKey &a, const DtaKey &b) {
    return a.first == b.first && a.last == b.last && a.charge == b.charge;
}

// "<directory>/<last component of directory>." (with the directory's own separator on
// Windows): the part of every DTA path that one input shares, so that "data/run7" gives
// "data/run7/run7.00012.00012.2.dta" and every path lies inside the directory made for it.
std::string dta_path_prefix(const char *directory);
// Replaces whatever follows the prefix with "<first>.<last>.<charge>.dta".
void compose_dta_path(std::string &path, std::size_t prefix_length, DtaKey key);
// "<base>." of an MGF file "<folder>/<base>.mgf": the part of every entry's title that one
// input shares. A title is the DTA file's name less ".dta".
std::string mgf_title_prefix(const char *mgf_path);
// Replaces whatever follows the prefix with "<first>.<last>.<charge>".
void compose_mgf_title(std::string &title, std::size_t prefix_length, DtaKey key);
// Whether name is, to the letter, the name of a DTA file of the base name base (the last
// component of its directory), and of which key.
bool read_dta_name(const std::string &name, const char *base, DtaKey &key);

// The body of a DTA file: the pieces after its charge line up to the scan's end (the next S
// piece), less those that begin with a letter (annotation lines, the scan's other charge
// lines), each byte for byte as read, handed out as runs of the scan's bytes.
struct DtaBody {
    ScanCursor cursor;
    bool one_run;              // the body is the bytes from the cursor to the end, as they stand
    LineRun runs[kLineRunsMax];
    std::size_t count;         // runs found in the bytes the cursor last gave
    std::size_t next;          // the next of them to hand out
};

// Line ends of the header, and of the body where they differ from the input's: CR LF on
// Windows.
constexpr std::size_t kDtaHeaderSize = kLinePieceSize + 16;  // mass token, blank, charge, CR LF
struct DtaFile {
    DtaKey key;
    ChargeLine line;
    bool odd_header;              // a mass of 0 or not a number, or a charge below 1, which
                                  // search engines reject (X!Tandem takes a zero line for the
                                  // end of a spectrum, OMSSA refuses it)
    std::size_t header_length;
    char header[kDtaHeaderSize];  // "<mass text> <charge>" and the line end
    DtaBody body;
};

// The DTA files of one scan, one per charge line, in input order.
struct ScanFiles {
    ScanCursor header;                       // over the pieces before the scan's first peak
    char header_window[kRereadWindowSize];   // for a scan the buffer does not hold: its
    char body_window[kRereadWindowSize];     // charge lines and its bodies, read again
};

// Starts the files of a scan; input serves a scan the buffer does not hold.
void start_scan_files(ScanFiles &files, Ms2Input *input, const Scan &scan);
// The next charge line's file, its body ready to be read; false after the last, or when
// reading the scan again failed (files.header.failed).
bool next_dta_file(ScanFiles &files, DtaFile &file);
// The next run of the body's bytes, valid until the next call; false at its end, or when
// reading the scan again failed (body.cursor.failed).
bool next_body_run(DtaBody &body, LineRun &run);

// The bytes as a DTA file whose lines end in CR LF holds them: each LF that no CR precedes
// (previous is the byte before bytes) becomes CR LF; every other byte stays, so CR LF stays
// CR LF and CR CR LF stays CR CR LF. Writes at most 2 * length bytes to out; returns their
// count.
std::size_t end_lines_in_crlf(const char *bytes, std::size_t length, char &previous, char *out);

#endif
