// Reading an MS2 input forward, one scan at a time.
//
// How it works
// - The input is read forward through one buffer (256 KiB), decompressed first if it is
//   gzip or zstd (told by its first bytes, whatever its name), and cut into line pieces of
//   at most 4999 bytes, each judged by its first byte: an S piece opens a scan and gives its
//   scan numbers; until the scan's first peak piece (a decimal digit), every Z piece is a
//   charge line. The scan ends at the next S piece, or at the end of the input.
// - One pass over a scan finds its extent, counts its charge lines, and notes whether a
//   piece that begins with a letter stands among the pieces after them (one_run, same_body).
//   It looks at pieces one at a time in the header and, past it, at whole lines in bulk (64
//   bytes at a time with SSE2, a line at a time elsewhere), looking only for line ends and
//   what begins the next line (pass_lines). Lines longer than a piece are left to the
//   piece-by-piece pass, which cuts them as the rules do.
// - The buffer keeps the current scan's bytes from its start. A scan too large for that is
//   read again through a cursor: from the file itself, or, where that cannot be read twice
//   (compressed, or standard input), from an anonymous temporary file that the scan is
//   copied to as it passes (the system removes it, even after SIGKILL).
// - A failed read ends the input, and only scans whose end was read are returned. So does
//   a file by name found changed where its data ends: another size or time than when it
//   was opened, or fewer bytes read than it held then.
//
// Choices where the behaviour could have gone two ways:
// - An S piece met before any peak starts a new scan, so the Z lines after it carry its
//   numbers rather than those of the scan before.
// - A Z line without a mass token (none on the line, or a charge that is not a number) reads
//   as the mass text "0", never a token left over from an earlier line.
// - Numbers beyond the signed 32-bit range are clamped to the nearest limit.
// - Fields end at a NUL byte, as in the C string a line would have been.
// - A gzip or zstd file is one stream however many members or frames it has. Zero bytes
//   after the last are ignored, as gzip ignores them; anything else there is a read error,
//   but one that leaves the data before it whole, so the last scan is returned.
#include "ms2_input.h"

#include <cerrno>
#include <climits>
#if defined(__SSE2__) && defined(__GNUC__) && !defined(MS2SPLIT_PORTABLE)  // x86-64 GCC, Clang
#include <emmintrin.h>
#define MS2SPLIT_SSE2 1
#endif

#include "platform.h"

namespace {

constexpr char kInputChanged[] = "the input changed while it was read";

// A held scan may fill the buffer but for room to read two more pieces.
constexpr std::size_t kHeldBytesMax = kInputBufferSize - 2 * kLinePieceSize;
constexpr std::size_t kDecodedRefill = std::size_t{64} * 1024;  // unread bytes a refill stops at

// Which lines a pass over whole lines stops at: any that begins with a letter, or an S line.
enum class Stop { kLetter, kScanLine };

#ifdef MS2SPLIT_SSE2
// Peak lines are short, so the body is scanned 64 bytes at a time for the two things that
// matter, a LF and a LF followed by a letter, instead of starting a search at every line.
constexpr std::ptrdiff_t kBlock = 64;

// For each LF among 64 bytes a bit in feeds, and in stops if a line to stop at follows it.
// Reads the byte after the block too.
template <Stop stop, typename Use>
void scan_block(const char *block, Use use) {
    const __m128i newline = _mm_set1_epi8('\n');
    const __m128i case_bit = _mm_set1_epi8(0x20);
    const __m128i a = _mm_set1_epi8('a');
    const __m128i z_offset = _mm_set1_epi8(25);
    const __m128i s = _mm_set1_epi8('S');
    for (int i = 0; i < kBlock; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + i));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + i + 1));
        const __m128i feeds = _mm_cmpeq_epi8(bytes, newline);
        const __m128i folded = _mm_sub_epi8(_mm_or_si128(next, case_bit), a);
        const __m128i starts = stop == Stop::kLetter
                                   ? _mm_cmpeq_epi8(_mm_min_epu8(folded, z_offset), folded)
                                   : _mm_cmpeq_epi8(next, s);
        use(i, feeds, _mm_and_si128(feeds, starts));
    }
}

struct Marks {
    std::uint64_t feeds;
    std::uint64_t stops;
};

// Exact bit masks, for the rare moments that need a position.
template <Stop stop>
Marks marks_of(const char *block) {
    Marks marks{0, 0};
    scan_block<stop>(block, [&marks](int i, __m128i feeds, __m128i stops) {
        marks.feeds |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(feeds))} << i;
        marks.stops |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(stops))} << i;
    });
    return marks;
}

// Just past the last LF of a block that holds one.
const char *after_last_feed(const char *block) {
    return block + kBlock - __builtin_clzll(marks_of<Stop::kLetter>(block).feeds);
}

template <Stop stop>
const char *lines_end(const char *line, const char *end) {
    const auto piece_max = static_cast<std::ptrdiff_t>(kLinePieceMax);
    const char *passed = line;        // just past the last whole line passed, but for fed_block
    const char *fed_block = nullptr;  // the last block with a LF, when not yet counted in passed
    bool after_gap = false;           // the block before held no LF
    for (const char *block = line; end - block > kBlock; block += kBlock) {
        __m128i any_feed = _mm_setzero_si128();
        __m128i any_stop = _mm_setzero_si128();
        scan_block<stop>(block, [&](int, __m128i feeds, __m128i stops) {
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
        if (after_gap && block + __builtin_ctzll(marks_of<stop>(block).feeds) + 1 - passed > piece_max)
            break;
        if (_mm_movemask_epi8(any_stop) != 0)
            return block + __builtin_ctzll(marks_of<stop>(block).stops) + 1;
        fed_block = block;
        after_gap = false;
    }
    return fed_block != nullptr ? after_last_feed(fed_block) : passed;
}
#else
template <Stop stop>
const char *lines_end(const char *line, const char *end) {
    while (line < end && (stop == Stop::kLetter ? !is_letter(*line) : *line != 'S')) {
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


std::int64_t offset_of(const Ms2Input &input, std::size_t index) {
    return input.buffer_offset + static_cast<std::int64_t>(index);
}

// A failure that may cut the data short: the scan it falls in is not returned.
void fail(Ms2Input &input, int error, const char *problem) {
    input.at_end = true;
    input.cut_short = true;
    input.error = error != 0 ? error : EIO;
    input.problem = problem;
}

// The spill cannot be made or written: the system's reason, and the folder to look at.
void fail_spill(Ms2Input &input) {
    const int error = errno;
    input.problem_text = "cannot keep a large scan in the temporary folder '" + temporary_folder() + "': ";
    input.problem_text += std::strerror(error);
    fail(input, error, input.problem_text.c_str());
}

// Copies the scan's bytes from the spill's end up to offset into the spill.
bool spill_scan(Ms2Input &input, std::int64_t offset) {
    if (input.cut_short) return false;
    if (input.spill < 0 && (input.spill = open_anonymous_file()) < 0) {
        fail_spill(input);
        return false;
    }
    const std::int64_t from = input.spill_end;
    const char *bytes = input.data + (from - input.buffer_offset);
    const auto length = static_cast<std::size_t>(offset - from);
    if (!write_file_at(input.spill, from - input.spill_start, bytes, length)) {
        fail_spill(input);
        return false;
    }
    input.spill_end = offset;
    return true;
}

// Readies the buffer for a refill and returns the first byte it keeps: the held scan's
// start, while the scan leaves room for two pieces; otherwise the cursor's, and then a scan
// that outgrew the buffer and cannot be read again from the input goes on to the spill as it
// passes.
std::size_t prepare_refill(Ms2Input &input) {
    if (input.scan_held) {
        if (input.filled - input.scan_index <= kHeldBytesMax) return input.scan_index;
        input.scan_held = false;
        input.scan_spilling = !input.rereads_source;
        input.spill_start = input.spill_end = offset_of(input, input.scan_index);
    }
    if (input.scan_spilling) spill_scan(input, offset_of(input, input.cursor));
    return input.cursor;
}

// Whether another program has written the input file since it was attached: its size or
// time differ, or, where all of it was read, fewer bytes came than it held (a share may
// keep an old size and time).
bool changed_since_attached(const Ms2Input &input, bool read_whole) {
    FileStamp now{};
    if (!input.stamped || !stamp_file(input.source.file, now)) return false;
    return !same_stamp(now, input.stamp) ||
           (read_whole && input.file_bytes < static_cast<std::uint64_t>(input.stamp.size));
}

std::int64_t read_more(Ms2Input &input, char *out, std::size_t capacity) {
    const bool plain = input.format == Format::kPlain;
    const char *problem = nullptr;
    const std::int64_t got = plain ? read_source(input.source, out, capacity)
                                   : decompress_some(input.decompress, out, capacity, problem);
    const int error = errno;
    input.file_bytes = plain ? input.source.taken : decompress_file_bytes(input.decompress);
    if (got > 0) return got;
    // The data ends, or ends damaged: perhaps it was changed meanwhile, which then is the
    // reason. A read the system failed keeps the system's reason.
    if ((got == 0 || problem != nullptr) && changed_since_attached(input, got == 0 && problem == nullptr)) {
        fail(input, EIO, kInputChanged);
        return -1;
    }
    if (got < 0) fail(input, problem != nullptr ? EIO : error, problem);
    if (got == 0 && problem != nullptr) {  // after the data, which is whole
        input.error = EIO;
        input.problem = problem;
    }
    return got;
}

// Moves what must stay to the front and reads more behind it, until the buffer is full or
// the input ends.
void refill(Ms2Input &input) {
    const std::size_t kept_from = prepare_refill(input);
    const std::size_t kept = input.filled - kept_from;
    std::memmove(input.data, input.data + kept_from, kept);
    input.buffer_offset += static_cast<std::int64_t>(kept_from);
    input.cursor -= kept_from;
    if (input.scan_held) input.scan_index -= kept_from;
    input.filled = kept;
    while (input.filled < sizeof input.data && !input.at_end) {
        // Decoded ahead: taking a little at a time keeps the decoder busy meanwhile.
        if (input.format != Format::kPlain && input.filled - input.cursor >= kDecodedRefill) break;
        const std::int64_t got = read_more(input, input.data + input.filled, sizeof input.data - input.filled);
        if (got <= 0) {
            input.at_end = true;
            break;
        }
        input.filled += static_cast<std::size_t>(got);
    }
    if (input.first_nul < 0) {  // the new bytes only, until one is found
        const void *nul = std::memchr(input.data + kept, '\0', input.filled - kept);
        if (nul != nullptr)
            input.first_nul = offset_of(input, static_cast<std::size_t>(static_cast<const char *>(nul) - input.data));
    }
}

// The next piece, which then counts as read; false when none is left.
bool read_piece(Ms2Input &input, LinePiece &piece) {
    if (!input.at_end && input.filled - input.cursor < kLinePieceMax) refill(input);
    const std::size_t available = input.filled - input.cursor;
    if (available == 0) return false;
    piece = {input.data + input.cursor, piece_length(input.data + input.cursor, available)};
    input.cursor += piece.length;
    return true;
}

void unread_piece(Ms2Input &input, const LinePiece &piece) { input.cursor -= piece.length; }

// What one pass over a scan found of its charge lines and bodies.
struct ScanWalk {
    bool in_header;         // before the first peak piece
    bool body_piece_seen;   // a piece that reaches a body, after the first charge line
};

// Moves the cursor past the whole lines that follow it, up to a line to stop at.
template <Stop stop>
void pass_lines(Ms2Input &input) {
    const char *line = input.data + input.cursor;
    const char *end = input.data + input.filled;
    if (line == end || (stop == Stop::kLetter ? is_letter(*line) : *line == 'S')) return;
    input.cursor = static_cast<std::size_t>(lines_end<stop>(line, end) - input.data);
}

// Notes what the piece just read tells of the scan, then moves the cursor past the lines
// after it that can tell nothing more.
void walk_piece(Ms2Input &input, Scan &scan, ScanWalk &walk, const LinePiece &piece) {
    const char first = piece.bytes[0];
    if (is_letter(first)) {
        if (walk.in_header && first == 'Z') {
            if (walk.body_piece_seen) scan.same_body = false;
            ++scan.charge_lines;
            scan.body_start = offset_of(input, input.cursor);
        }
        if (walk.body_piece_seen) scan.one_run = false;
        scan.run_start = offset_of(input, input.cursor);
    } else {
        if (walk.in_header && is_digit(first)) {
            walk.in_header = false;
            scan.header_end = offset_of(input, input.cursor) - static_cast<std::int64_t>(piece.length);
        }
        if (scan.charge_lines > 0) walk.body_piece_seen = true;
    }
    // Past the header, what follows changes nothing up to the next letter line while the
    // body may still be one run, and once it cannot be, up to the next S line: pass in bulk.
    if (walk.in_header) return;
    if (scan.one_run) {
        pass_lines<Stop::kLetter>(input);
    } else {
        pass_lines<Stop::kScanLine>(input);
    }
}

}  // namespace

#ifdef MS2SPLIT_SSE2
const char *line_runs(const char *line, const char *end, LineRun (&runs)[kLineRunsMax],
                      std::size_t &count) {
    const auto piece_max = static_cast<std::ptrdiff_t>(kLinePieceMax);
    count = 0;
    if (line == end) return line;
    const char *run = is_letter(*line) ? nullptr : line;  // where the open run began
    const char *start = line;                             // of the line being read
    for (const char *block = line; end - block > kBlock; block += kBlock) {
        const Marks marks = marks_of<Stop::kLetter>(block);
        for (std::uint64_t feeds = marks.feeds; feeds != 0; feeds &= feeds - 1) {
            const int bit = __builtin_ctzll(feeds);
            const char *next = block + bit + 1;
            if (next - start > piece_max) break;  // a line of several pieces
            start = next;
            const bool letter = ((marks.stops >> bit) & 1) != 0;
            if (letter && run != nullptr) {
                runs[count++] = {run, static_cast<std::size_t>(next - run)};
                run = nullptr;
                if (count == kLineRunsMax) return next;
            } else if (!letter && run == nullptr) {
                run = next;
            }
        }
        if (block + kBlock - start > piece_max) break;
    }
    if (run != nullptr && start > run) runs[count++] = {run, static_cast<std::size_t>(start - run)};
    return start;
}
#else
const char *line_runs(const char *line, const char *end, LineRun (&runs)[kLineRunsMax],
                      std::size_t &count) {
    count = 0;
    const char *run = nullptr;  // where the open run began
    while (line < end) {
        const std::size_t length = piece_length(line, static_cast<std::size_t>(end - line));
        if (line[length - 1] != '\n') break;  // perhaps longer than a piece, or not whole
        if (!is_letter(*line)) {
            if (run == nullptr) run = line;
        } else if (run != nullptr) {
            runs[count++] = {run, static_cast<std::size_t>(line - run)};
            run = nullptr;
            if (count == kLineRunsMax) return line;
        }
        line += length;
    }
    if (run != nullptr) runs[count++] = {run, static_cast<std::size_t>(line - run)};
    return line;
}
#endif

void attach_input(Ms2Input &input, int file, bool seekable, Format named) {
    input.buffer_offset = 0;
    input.cursor = input.filled = 0;
    input.scan_held = false;
    input.at_end = false;
    input.error = 0;
    input.cut_short = false;
    input.problem = nullptr;
    input.file_bytes = 0;
    input.scan_spilling = false;
    input.format = Format::kPlain;
    input.first_nul = -1;
    input.stamped = seekable && stamp_file(file, input.stamp);
    if (!open_source(input.source, file, seekable)) {
        fail(input, errno, nullptr);
        return;
    }
    input.format = format_of(input.source.head, input.source.head_length);
    input.rereads_source = seekable && input.format == Format::kPlain;
    if (named != Format::kPlain && input.format != named) {
        fail(input, EIO, named == Format::kZstd ? kZstdProblems.not_it : kGzipProblems.not_it);
        input.format = Format::kPlain;
    } else if (input.format != Format::kPlain) {
        start_decompress(input.decompress, input.source, input.format);
    }
}

bool next_scan(Ms2Input &input, Scan &scan) {
    input.scan_held = input.scan_spilling = false;
    LinePiece piece{};
    do {  // what comes before an S piece is passed over
        if (!read_piece(input, piece)) return false;
    } while (piece.bytes[0] != 'S');
    scan.numbers = parse_scan_line(piece);
    scan.start = offset_of(input, input.cursor);
    scan.header_end = -1;
    scan.run_start = scan.start;
    scan.charge_lines = 0;
    scan.one_run = scan.same_body = true;
    input.scan_held = true;
    input.scan_index = input.cursor;
    ScanWalk walk{true, false};
    while (read_piece(input, piece)) {
        if (piece.bytes[0] == 'S') {
            unread_piece(input, piece);
            break;
        }
        walk_piece(input, scan, walk, piece);
    }
    if (input.at_end && input.cursor == input.filled && input.cut_short) return false;
    scan.end = offset_of(input, input.cursor);
    if (scan.header_end < 0) scan.header_end = scan.end;
    if (input.scan_spilling && !spill_scan(input, scan.end)) return false;
    scan.held = input.scan_held ? input.data + input.scan_index : nullptr;
    return true;
}

void finish_input(Ms2Input &input) {
    if (input.format != Format::kPlain) finish_decompress(input.decompress);
}

namespace {

// Reads the scan's bytes from offset again into out; returns their count, or -1 after
// setting the input's error.
std::int64_t reread_scan(Ms2Input &input, const Scan &scan, std::int64_t offset, char *out,
                         std::size_t length) {
    if (static_cast<std::int64_t>(length) > scan.end - offset)
        length = static_cast<std::size_t>(scan.end - offset);
    const std::int64_t got = input.rereads_source
                                 ? read_file_at(input.source.file, offset, out, length)
                                 : read_file_at(input.spill, offset - input.spill_start, out, length);
    if (got < 0 || (got == 0 && length > 0)) {  // a disk fails, or the file has changed
        fail(input, got < 0 ? errno : EIO, got < 0 ? nullptr : kInputChanged);
        input.filled = input.cursor;  // nothing after the failure is written
        return -1;
    }
    return got;
}

}  // namespace

void start_cursor(ScanCursor &cursor, Ms2Input *input, const Scan &scan, std::int64_t from,
                  std::int64_t end, char *window) {
    cursor = {input, &scan, from, end, window, 0, 0, false};
}

const char *cursor_bytes(ScanCursor &cursor, std::size_t &available) {
    const std::int64_t left = cursor.end - cursor.position;
    const Scan &scan = *cursor.scan;
    if (left <= 0 || cursor.failed) return nullptr;
    if (scan.held != nullptr) {
        available = static_cast<std::size_t>(left);
        return scan.held + (cursor.position - scan.start);
    }
    const std::int64_t wanted = left < std::int64_t{kLinePieceMax} ? left : std::int64_t{kLinePieceMax};
    const std::int64_t window_end = cursor.window_offset + static_cast<std::int64_t>(cursor.window_length);
    if (cursor.position < cursor.window_offset || window_end - cursor.position < wanted) {
        const std::int64_t got = reread_scan(*cursor.input, scan, cursor.position, cursor.window, kRereadWindowSize);
        cursor.failed = got < 0;
        if (cursor.failed) return nullptr;
        cursor.window_offset = cursor.position;
        cursor.window_length = static_cast<std::size_t>(got);
    }
    const std::int64_t known = cursor.window_offset + static_cast<std::int64_t>(cursor.window_length) - cursor.position;
    available = static_cast<std::size_t>(known < left ? known : left);
    return cursor.window + (cursor.position - cursor.window_offset);
}

bool next_piece(ScanCursor &cursor, LinePiece &piece) {
    std::size_t available = 0;
    const char *bytes = cursor_bytes(cursor, available);
    if (bytes == nullptr) return false;
    piece = {bytes, piece_length(bytes, available)};
    cursor.position += static_cast<std::int64_t>(piece.length);
    return true;
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

bool read_retention_time(const LinePiece &piece, const char *&minutes, std::size_t &length) {
    Fields fields = fields_of(piece);
    const char *token = nullptr;
    if (!read_token(fields, token, length) || length != 1 || *token != 'I' || !read_token(fields, token, length))
        return false;
    const bool named = (length == 7 && std::memcmp(token, "RetTime", 7) == 0) ||
                       (length == 5 && std::memcmp(token, "RTime", 5) == 0);
    return named && read_token(fields, minutes, length);
}
