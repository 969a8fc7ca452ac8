// Splitting one MS2 input into DTA files: one file per scan and charge line.
#ifndef MS2SPLIT_CONVERT_H
#define MS2SPLIT_CONVERT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

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
    const char *bytes;   // inside the input buffer; valid until the next read or seek
    std::size_t length;  // never 0
};

// A seekable input read through one fixed buffer, so that returning to a saved position
// is usually served from memory rather than from the file.
struct Ms2Input {
    std::FILE *file;              // open for binary reading; its owner closes it
    std::int64_t buffer_offset;   // file offset of data[0]
    std::int64_t held_position;   // kept in the buffer across refills while it fits; -1: none
    std::size_t filled;           // bytes of data that hold input
    std::size_t cursor;           // index in data of the next unread byte
    bool exhausted;               // nothing follows data[filled]: end of file or read error
    char data[kInputBufferSize];
};

void attach_input(Ms2Input &input, std::FILE *file);
// Moves the unread bytes (and any held ones) to the front and reads more behind them.
void refill_input(Ms2Input &input);
std::int64_t input_position(const Ms2Input &input);
// Marks the current position as one the input will return to, so that a refill keeps the
// bytes from it in the buffer while they leave room for two pieces. Returns the position.
std::int64_t hold_input_position(Ms2Input &input);
// Ends any hold. On failure the input reads as ended from then on.
bool seek_input(Ms2Input &input, std::int64_t position);

// True when the next read_piece moves the buffer, invalidating earlier pieces.
inline bool input_needs_refill(const Ms2Input &input) {
    return !input.exhausted && input.filled - input.cursor < kLinePieceMax;
}

// Inline: it runs once per line, several times over for scans with several charges.
inline bool read_piece(Ms2Input &input, LinePiece &piece) {
    if (input_needs_refill(input)) refill_input(input);
    std::size_t length = input.filled - input.cursor;
    if (length == 0) return false;
    if (length > kLinePieceMax) length = kLinePieceMax;
    const char *start = input.data + input.cursor;
    const auto *newline = static_cast<const char *>(std::memchr(start, '\n', length));
    if (newline != nullptr) length = static_cast<std::size_t>(newline - start) + 1;
    piece.bytes = start;
    piece.length = length;
    input.cursor += length;
    return true;
}

// Fields of S and Z lines, read as "%*s %d %d" and "%*s %d %s" would read them, except
// that numbers beyond 32 bits are clamped and a missing mass token reads as "0".
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

// "<stem>/<last component of stem>." : the part of every DTA path that one input shares.
std::string dta_path_prefix(const char *stem);
// Replaces whatever follows the prefix with "<first>.<last>.<charge>.dta".
void compose_dta_path(std::string &path, std::size_t prefix_length, ScanNumbers scan,
                      std::int32_t charge);

// What the writer's reading of a scan's body showed, kept for the scan's further charge lines.
struct ScanBody {
    std::int64_t read_from;  // where that reading began; -1 while the scan has none
    std::int64_t start;      // first copied byte, when the copied bytes form one run
    std::int64_t end;        // where the body ends: the next S piece or the end of the input
    bool one_run;            // the copied bytes are exactly [start, end)
};

void SPLIT_MS2(Ms2Input &input, const char *stem);
// Writes one DTA file from the peaks that follow. When it reads the body to its end it
// notes what it saw in body; otherwise body keeps what it held.
void WRITE_DTA(Ms2Input &input, ScanBody &body, const char *path, const char *mass_text,
               std::int32_t charge);

#endif
