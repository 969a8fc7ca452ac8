// Buffered reading of an MS2 input in line pieces, and the fields of its lines.
//
// The buffer always holds at least one whole piece ahead of the cursor unless the file has
// ended, so a piece is handed out as a view into the buffer and never copied. A return to a
// position inside the buffer only moves the cursor; to any other, the next read starts there
// (reads name their offset: there is no seek). The splitter holds the position after each Z
// line, so its return there is served from memory even when the scan straddles a refill.
#include "ms2_input.h"

#include <cerrno>
#include <climits>
#if defined(__SSE2__) && defined(__GNUC__) && !defined(MS2SPLIT_PORTABLE)  // x86-64 GCC, Clang
#include <emmintrin.h>
#define MS2SPLIT_SSE2 1
#endif

#include "platform.h"

namespace {

constexpr std::size_t kHeldBytesMax = kInputBufferSize - 2 * kLinePieceSize;

// Index in data of the first byte a refill must keep: the held position's, while the held
// bytes leave room to read two pieces; otherwise the cursor's, and the hold ends. Held bytes
// only grow until the hold ends, so a scan too large to keep costs one short read at most.
std::size_t first_kept_byte(Ms2Input &input) {
    const std::int64_t held = input.held_position;
    if (held >= input.buffer_offset) {
        const auto index = static_cast<std::size_t>(held - input.buffer_offset);
        if (input.filled - index <= kHeldBytesMax) return index;
    }
    input.held_position = -1;
    return input.cursor;
}

#ifdef MS2SPLIT_SSE2
// Peak lines are short, so the body is scanned 64 bytes at a time for the two things that
// matter, a LF and a LF followed by a letter, instead of starting a search at every line.
constexpr std::ptrdiff_t kBlock = 64;

// For each LF among 64 bytes a bit in feeds, and in stops if a letter follows it. Reads the
// byte after the block too.
template <typename Use>
void scan_block(const char *block, Use use) {
    const __m128i newline = _mm_set1_epi8('\n');
    const __m128i case_bit = _mm_set1_epi8(0x20);
    const __m128i a = _mm_set1_epi8('a');
    const __m128i z_offset = _mm_set1_epi8(25);
    for (int i = 0; i < kBlock; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + i));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + i + 1));
        const __m128i folded = _mm_sub_epi8(_mm_or_si128(next, case_bit), a);
        const __m128i feeds = _mm_cmpeq_epi8(bytes, newline);
        use(i, feeds, _mm_and_si128(feeds, _mm_cmpeq_epi8(_mm_min_epu8(folded, z_offset), folded)));
    }
}

struct Marks {
    std::uint64_t feeds;
    std::uint64_t stops;
};

// Exact bit masks, for the rare moments that need a position.
Marks marks_of(const char *block) {
    Marks marks{0, 0};
    scan_block(block, [&marks](int i, __m128i feeds, __m128i stops) {
        marks.feeds |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(feeds))} << i;
        marks.stops |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(stops))} << i;
    });
    return marks;
}

// Just past the last LF of a block that holds one.
const char *after_last_feed(const char *block) {
    return block + kBlock - __builtin_clzll(marks_of(block).feeds);
}

const char *skip_plain_lines_in(const char *line, const char *end) {
    const auto piece_max = static_cast<std::ptrdiff_t>(kLinePieceMax);
    const char *passed = line;        // just past the last whole line passed, but for fed_block
    const char *fed_block = nullptr;  // the last block with a LF, when not yet counted in passed
    bool after_gap = false;           // the block before held no LF
    for (const char *block = line; end - block > kBlock; block += kBlock) {
        __m128i any_feed = _mm_setzero_si128();
        __m128i any_stop = _mm_setzero_si128();
        scan_block(block, [&](int, __m128i feeds, __m128i stops) {
            any_feed = _mm_or_si128(any_feed, feeds);
            any_stop = _mm_or_si128(any_stop, stops);
        });
        if (_mm_movemask_epi8(any_feed) == 0) {  // perhaps a line longer than a piece
            if (fed_block != nullptr) passed = after_last_feed(fed_block);
            fed_block = nullptr;
            // Leaves such a line to read_piece at once, rather than scanning on to its end
            // again after each of its pieces.
            if (block + kBlock - passed > piece_max) break;
            after_gap = true;
            continue;
        }
        // After a block without a LF, the first line to end here may have begun long ago.
        if (after_gap && block + __builtin_ctzll(marks_of(block).feeds) + 1 - passed > piece_max)
            break;
        if (_mm_movemask_epi8(any_stop) != 0)
            return block + __builtin_ctzll(marks_of(block).stops) + 1;
        fed_block = block;
        after_gap = false;
    }
    return fed_block != nullptr ? after_last_feed(fed_block) : passed;
}
#else
const char *skip_plain_lines_in(const char *line, const char *end) {
    while (line < end && !is_letter(*line)) {
        const std::size_t room = static_cast<std::size_t>(end - line);
        const void *feed = std::memchr(line, '\n', room < kLinePieceMax ? room : kLinePieceMax);
        if (feed == nullptr) break;
        line = static_cast<const char *>(feed) + 1;
    }
    return line;
}
#endif

struct Fields {
    const char *next;  // first unread byte
    const char *end;   // end of the piece's text
};

Fields fields_of(const LinePiece &piece) {
    const void *nul = std::memchr(piece.bytes, '\0', piece.length);
    const char *end = nul != nullptr ? static_cast<const char *>(nul) : piece.bytes + piece.length;
    return {piece.bytes, end};
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }  // as isspace in "C"

void skip_spaces(Fields &fields) {
    while (fields.next < fields.end && is_space(*fields.next)) ++fields.next;
}

// The next whitespace-free token, as %s reads it; false when none is left.
bool read_token(Fields &fields, const char *&token, std::size_t &length) {
    skip_spaces(fields);
    token = fields.next;
    while (fields.next < fields.end && !is_space(*fields.next)) ++fields.next;
    length = static_cast<std::size_t>(fields.next - token);
    return length > 0;
}

// A signed decimal number, as %d reads it, clamped to the 32-bit range.
bool read_int32(Fields &fields, std::int32_t &value) {
    skip_spaces(fields);
    const char *p = fields.next;
    const bool negative = p < fields.end && *p == '-';
    if (p < fields.end && (*p == '-' || *p == '+')) ++p;
    if (p == fields.end || !is_digit(*p)) return false;
    const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT32_MIN) : INT32_MAX;
    std::int64_t magnitude = 0;
    for (; p < fields.end && is_digit(*p); ++p) {
        if (magnitude < limit) magnitude = magnitude * 10 + (*p - '0');
    }
    if (magnitude > limit) magnitude = limit;
    value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
    fields.next = p;
    return true;
}

}  // namespace

void attach_input(Ms2Input &input, int file) {
    input.file = file;
    input.buffer_offset = 0;
    input.held_position = -1;
    input.filled = 0;
    input.cursor = 0;
    input.exhausted = false;
    input.error = 0;
    input.bytes_read = 0;
}

void refill_input(Ms2Input &input) {
    const std::size_t kept_from = first_kept_byte(input);
    const std::size_t kept = input.filled - kept_from;
    std::memmove(input.data, input.data + kept_from, kept);
    input.buffer_offset += static_cast<std::int64_t>(kept_from);
    input.cursor -= kept_from;
    input.filled = kept;
    while (input.filled < sizeof input.data) {
        const std::int64_t offset = input.buffer_offset + static_cast<std::int64_t>(input.filled);
        const std::int64_t got = read_file_at(input.file, offset, input.data + input.filled,
                                              sizeof input.data - input.filled);
        if (got <= 0) {  // the end of the file, or a read error: either ends the input
            input.exhausted = true;
            if (got < 0) input.error = errno != 0 ? errno : EIO;
            return;
        }
        input.filled += static_cast<std::size_t>(got);
        input.bytes_read += static_cast<std::uint64_t>(got);
    }
}

std::int64_t input_position(const Ms2Input &input) {
    return input.buffer_offset + static_cast<std::int64_t>(input.cursor);
}

std::int64_t hold_input_position(Ms2Input &input) {
    input.held_position = input_position(input);
    return input.held_position;
}

bool seek_input(Ms2Input &input, std::int64_t position) {
    input.held_position = -1;
    const std::int64_t buffer_end = input.buffer_offset + static_cast<std::int64_t>(input.filled);
    if (position >= input.buffer_offset && position <= buffer_end) {
        input.cursor = static_cast<std::size_t>(position - input.buffer_offset);
        return true;
    }
    if (input.error != 0) {  // what lies beyond the buffer could not be read
        input.cursor = input.filled;
        return false;
    }
    input.buffer_offset = position;  // the next read_piece reads from there
    input.cursor = input.filled = 0;
    input.exhausted = false;
    return true;
}

std::size_t skip_plain_lines(Ms2Input &input) {
    const char *line = input.data + input.cursor;
    if (input.cursor >= input.filled || is_letter(*line)) return 0;
    const std::size_t passed =
        static_cast<std::size_t>(skip_plain_lines_in(line, input.data + input.filled) - line);
    input.cursor += passed;
    return passed;
}

void fail_input(Ms2Input &input, int error) {
    input.buffer_offset += static_cast<std::int64_t>(input.cursor);
    input.held_position = -1;
    input.filled = input.cursor = 0;
    input.exhausted = true;
    input.error = error;
}

const char *buffered_bytes(const Ms2Input &input, std::int64_t start, std::int64_t end) {
    const std::int64_t buffer_end = input.buffer_offset + static_cast<std::int64_t>(input.filled);
    if (start < input.buffer_offset || end > buffer_end) return nullptr;
    return input.data + (start - input.buffer_offset);
}

ScanNumbers parse_scan_line(const LinePiece &piece) {
    ScanNumbers scan{0, 0};
    Fields fields = fields_of(piece);
    const char *tag = nullptr;
    std::size_t tag_length = 0;
    if (read_token(fields, tag, tag_length) && read_int32(fields, scan.first)) {
        read_int32(fields, scan.last);
    }
    return scan;
}

void parse_charge_line(const LinePiece &piece, ChargeLine &line) {
    line.charge = 0;
    std::strcpy(line.mass_text, "0");
    Fields fields = fields_of(piece);
    const char *token = nullptr;
    std::size_t length = 0;
    if (!read_token(fields, token, length) || !read_int32(fields, line.charge)) return;
    if (!read_token(fields, token, length)) return;
    std::memcpy(line.mass_text, token, length);
    line.mass_text[length] = '\0';
}
