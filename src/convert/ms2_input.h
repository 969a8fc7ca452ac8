// Reading an MS2 input: line pieces through one fixed buffer, and the fields of S and Z lines.
#ifndef MS2SPLIT_MS2_INPUT_H
#define MS2SPLIT_MS2_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

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
    const char *bytes;   // inside the input buffer; valid until the next read or seek
    std::size_t length;  // never 0
};

// An input read through one fixed buffer, so that returning to a saved position is usually
// served from memory rather than from the file. Reads name their offset, so two inputs can
// read one file side by side, and a return to a position the buffer no longer holds costs
// no system call of its own.
struct Ms2Input {
    int file;                     // descriptor open for reading; its owner closes it
    std::int64_t buffer_offset;   // file offset of data[0]
    std::int64_t held_position;   // kept in the buffer across refills while it fits; -1: none
    std::size_t filled;           // bytes of data that hold input
    std::size_t cursor;           // index in data of the next unread byte
    bool exhausted;               // nothing follows data[filled]: end of file or read error
    int error;                    // errno of the read that ended the input; 0 while none has
    std::uint64_t bytes_read;     // from the file since attached, reread bytes included
    char data[kInputBufferSize];
};

void attach_input(Ms2Input &input, int file);
// Moves the unread bytes (and any held ones) to the front and reads more behind them.
void refill_input(Ms2Input &input);
std::int64_t input_position(const Ms2Input &input);
// Marks the current position as one the input will return to, so that a refill keeps the
// bytes from it in the buffer while they leave room for two pieces. Returns the position.
std::int64_t hold_input_position(Ms2Input &input);
// Ends any hold. A position the buffer does not hold fails, leaving the input ended, once a
// read has failed: what is read before a failed read is good, and nothing after it is read.
bool seek_input(Ms2Input &input, std::int64_t position);
// Ends the input with error, as if its next read had failed.
void fail_input(Ms2Input &input, int error);
// The bytes from start to end when the buffer holds all of them; nullptr otherwise.
const char *buffered_bytes(const Ms2Input &input, std::int64_t start, std::int64_t end);

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

// The ASCII letters, A to Z and a to z: a piece that begins with one never reaches a body.
inline bool is_letter(char c) {
    const auto folded = static_cast<unsigned char>((c | 0x20) - 'a');
    return folded < 26;
}

// Moves the cursor past whole lines that a body copies as they stand: each begins with a
// byte that is not an ASCII letter and ends in a LF within one piece. Stops before the first
// other line (one that begins with a letter, one longer than a piece) and wherever the
// buffer might not hold a line whole, leaving the rest to read_piece. Every line passed is
// exactly one piece as read_piece would cut it. Returns the count of bytes passed.
std::size_t skip_plain_lines(Ms2Input &input);

// The position where a piece just read began.
inline std::int64_t piece_position(const Ms2Input &input, const LinePiece &piece) {
    return input_position(input) - static_cast<std::int64_t>(piece.length);
}

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

#endif
