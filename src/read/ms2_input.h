// Reading an MS2 input forward, one scan at a time, through one fixed buffer; and the fields
// of S and Z lines.
#ifndef MS2SPLIT_MS2_INPUT_H
#define MS2SPLIT_MS2_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "decompress.h"
#include "platform.h"

// Input is judged one line piece at a time: a piece holds at most kLinePieceMax bytes of a
// line and keeps its line end; a longer line arrives as several pieces.
constexpr std::size_t kLinePieceSize = 5000;
constexpr std::size_t kLinePieceMax = kLinePieceSize - 1;
#ifndef MS2SPLIT_INPUT_BUFFER_SIZE  // the fuzzing build makes it small
#define MS2SPLIT_INPUT_BUFFER_SIZE (std::size_t{256} * 1024)
#endif
constexpr std::size_t kInputBufferSize = MS2SPLIT_INPUT_BUFFER_SIZE;
static_assert(kInputBufferSize >= 3 * kLinePieceSize, "a refill must leave room for a piece");

struct LinePiece {
    const char *bytes;
    std::size_t length;  // never 0
};

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// An ASCII letter, A to Z or a to z: what begins every line that is not a peak line, a
// blank one or a line of other bytes.
inline bool is_letter(char c) {
    const auto folded = static_cast<unsigned char>((c | 0x20) - 'a');
    return folded < 26;
}

// The length of the piece that begins at bytes, of which available bytes are known: up to
// and with the first LF, at most kLinePieceMax. Exact when available reaches the piece's end
// or kLinePieceMax, or the input ends there.
inline std::size_t piece_length(const char *bytes, std::size_t available) {
    const std::size_t most = available < kLinePieceMax ? available : kLinePieceMax;
    const void *feed = std::memchr(bytes, '\n', most);
    return feed != nullptr ? static_cast<std::size_t>(static_cast<const char *>(feed) - bytes) + 1
                           : most;
}

// Consecutive whole lines that do not begin with a letter.
struct LineRun {
    const char *bytes;
    std::size_t length;
};
constexpr std::size_t kLineRunsMax = 64;

// Sorts the whole lines from line on, each exactly one piece as piece_length cuts it, into
// runs of those that do not begin with a letter (at most kLineRunsMax of them; count says
// how many), passing over those that do. Returns where it stopped, a piece boundary: before a
// line that might be longer than a piece or that the bytes up to end might not hold whole.
// That is line itself when it passed nothing; the caller then takes one piece.
const char *line_runs(const char *line, const char *end, LineRun (&runs)[kLineRunsMax],
                      std::size_t &count);

// Fields of S and Z lines, read as "%*s %d %d" and "%*s %d %s" would read them, except
// that numbers beyond 32 bits are clamped, a missing mass token reads as "0", and fields end
// at a NUL byte, as in the C string a line would have been.
struct ScanNumbers {
    std::int32_t first;
    std::int32_t last;
};
struct ChargeLine {
    std::int32_t charge;
    char mass_text[kLinePieceSize];  // the token as written; a piece bounds its length
};
ScanNumbers parse_scan_line(const LinePiece &piece);
void parse_charge_line(const LinePiece &piece, ChargeLine &line);
// The value of an "I RetTime" (or "I RTime") line, the retention time in minutes, as written;
// false for any other piece, or one without a value.
bool read_retention_time(const LinePiece &piece, const char *&minutes, std::size_t &length);

// One scan as the forward reading found it: from the byte after its S piece to the next S
// piece or the end of the input, in input offsets (of the decompressed stream, for gzip
// and zstd). A plain value: a copy of it, with held pointing at a copy of its bytes, is
// the same scan.
struct Scan {
    ScanNumbers numbers;
    std::int64_t start;
    std::int64_t end;
    std::int64_t header_end;     // the first peak piece, or end: the charge lines lie before it
    std::int64_t run_start;      // after the scan's last letter piece, while one_run holds
    std::int64_t body_start;     // after its last charge line, while same_body holds
    std::uint32_t charge_lines;  // Z pieces before header_end
    bool one_run;                // every charge line's body is the bytes from run_start to end
    bool same_body;              // every charge line's body is the pieces from body_start on
    const char *held;            // the bytes from start to end in the buffer; nullptr: reread
};

// An input read forward through one fixed buffer. A scan that the buffer holds costs
// nothing more; a larger one is read again for its files: from the file itself, or, where
// that cannot be (compressed data, standard input), from an anonymous temporary file it is
// copied to as it passes.
struct Ms2Input {
    Source source;               // the input as it is read forward
    Format format;               // decompressed as it is read, unless plain
    Decompress decompress;       // for gzip and zstd
    bool rereads_source;         // a large scan is read again from the input itself
    int spill = -1;              // the anonymous file of a large scan; -1 until needed
    std::int64_t spill_start;    // input offset of the spill's first byte
    std::int64_t spill_end;      // input offset just past its last byte
    std::int64_t buffer_offset;  // input offset of data[0]
    std::size_t cursor;          // index in data of the next unread byte
    std::size_t filled;          // bytes of data that hold input
    std::size_t scan_index;      // of the current scan's start in data, while it is held
    bool scan_held;              // the buffer holds the current scan from its start
    bool scan_spilling;          // the current scan goes to the spill as it passes
    bool at_end;                 // nothing follows data[filled]: end of input or a failure
    int error;                   // errno of a failure that ended the input; 0 while none has
    bool cut_short;              // the failure may have cut the data short
    const char *problem;         // what ended it, where errno cannot say (corrupt gzip data)
    std::string problem_text;    // a problem put in words when it arose, for problem
    bool stamped;                // stamp holds the input file as it was attached (a named file)
    FileStamp stamp;             // its size and time then, to tell a change at its end
    std::int64_t first_nul;      // input offset of the first NUL byte read (decompressed); -1: none
    std::uint64_t file_bytes;    // read from the input (compressed bytes, for gzip and zstd)
    char data[kInputBufferSize];
};

// Starts reading the file: from its first byte, or, for a stream (not seekable), from where
// it stands. Its format is told by its first bytes; named (kPlain: any) is what its name
// says it is, and a file named as gzip or zstd that is not is a read error, not read as MS2.
void attach_input(Ms2Input &input, int file, bool seekable, Format named);
// Finds the next scan, passing over what comes before its S piece; false at the end of the
// input or at a failure, which leaves error set. A scan that a failure cuts short is not
// returned.
bool next_scan(Ms2Input &input, Scan &scan);
// Ends the reading of the input, before its file is closed.
void finish_input(Ms2Input &input);

// Part of a scan, read piece by piece: from the buffer when it holds the scan, else read
// again through a window of the cursor's own.
constexpr std::size_t kRereadWindowSize = std::size_t{64} * 1024;
struct ScanCursor {
    Ms2Input *input;             // to read the scan again; unused for a held scan
    const Scan *scan;
    std::int64_t position;       // of the next byte
    std::int64_t end;            // of the part
    char *window;                // kRereadWindowSize bytes, for a scan not held
    std::int64_t window_offset;  // of window[0]
    std::size_t window_length;   // bytes the window holds
    bool failed;                 // reading again failed, which ends the input
};
void start_cursor(ScanCursor &cursor, Ms2Input *input, const Scan &scan, std::int64_t from,
                  std::int64_t end, char *window);
// The bytes from the position on: all that are known, at least a whole piece where the part
// holds one. nullptr at the part's end, or after a failed read (failed then set).
const char *cursor_bytes(ScanCursor &cursor, std::size_t &available);
// The next piece, which then counts as read; false as cursor_bytes.
bool next_piece(ScanCursor &cursor, LinePiece &piece);

#endif
