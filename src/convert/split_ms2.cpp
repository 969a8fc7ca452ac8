// The MS2 scan splitter.
//
// How it works
// - Pieces. The input is read in line pieces of at most 4999 bytes, each judged by its first
//   byte. An S piece opens a scan and gives its scan numbers; until the scan's first peak
//   piece (a decimal digit) every Z piece is a charge line, and each gets one DTA file. The
//   writer copies the pieces that follow a charge line, up to the next S piece, less those
//   that begin with a letter. No scan is held in memory, so the input must be a file that
//   can be read at any offset.
// - The return. After each DTA file the input goes back to the position just past its Z
//   piece. The input buffer (256 KiB) holds that position across refills while the held
//   bytes leave room for two pieces, so the return is nearly always a move of the cursor:
//   on 100 MB of typical scans this took the run from 386 returns that read the file again
//   (a seek each, and twice the reads, as every refill across a scan re-read its start) to
//   none.
// - The known body. One reading of a scan's body shows where it lies (see KnownBody), so
//   the scan's further charge lines copy it straight from the buffer, and once the peaks
//   begin the split jumps to the body's end instead of reading it a second time. With the
//   pieces read once instead of once per charge line, the run on 100 MB went from 937 M to
//   613 M instructions. When a scan's charge lines outgrow the buffer, a second reader
//   fetches the known body, so the charge lines themselves are read once: 100,000 of them
//   in one scan took 63 s when each file read through all the later ones.
// - Plain lines in bulk. Within a body the writer passes runs of peak lines 64 bytes at a
//   time, looking only for line ends and a letter after one (skip_plain_lines), instead of
//   cutting every line into a piece of its own: with DTA paths composed without printf, the
//   run on 100 MB went from 526 M to 176 M instructions.
//
// Choices where the behaviour could have gone two ways:
// - An S piece met before any peak starts a new scan, so the Z lines after it carry its
//   numbers rather than overwriting the earlier scan's files.
// - A Z line without a mass token (none on the line, or a charge that is not a number) writes
//   the mass text "0", never a token left over from an earlier line.
// - Numbers beyond the signed 32-bit range are clamped to the nearest limit.
// - Fields end at a NUL byte, as in the C string a line would have been.
// - The DTA file names begin with the stem's last component, so that "data/run7.ms2" gives
//   "data/run7/run7.00012.00012.2.dta" and every path lies inside the created directory.
#include "split_ms2.h"

#include <charconv>
#include <cstring>

#include "platform.h"
#include "write_dta.h"

namespace {

constexpr std::size_t kDtaSuffixSize = 48;  // "%.5d.%.5d.%d.dta" needs at most 39 bytes
constexpr int kScanDigits = 5;             // scan numbers are zero-filled to this many

// Writes value as printf's "%.Nd" would with N = kDigits: at least that many digits, zero-
// filled after any sign ("-00003"). Not printf itself: this runs once per DTA file.
template <int kDigits>
char *append_decimal(char *out, std::int32_t value) {
    char text[12];
    const char *end = std::to_chars(text, text + sizeof text, value).ptr;
    const char *first = text;
    if (*first == '-') *out++ = *first++;
    for (auto count = end - first; count < kDigits; ++count) *out++ = '0';
    const auto length = static_cast<std::size_t>(end - first);
    std::memcpy(out, first, length);
    return out + length;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// What one reading found of the current scan's body.
//
// Invariant: every charge line of the scan that ends at or before range.start has exactly
// this body. Pieces are cut the same way from any piece boundary, and every reading starts at
// one, so all readings see the same pieces; those between such a charge line and range.start
// begin with a letter (range.start is the first that does not, counted from a charge line
// at or before this one), and letter pieces never reach a body. A charge line after
// range.start (a blank line can come before a further Z line) has a shorter body of its own.
struct KnownBody {
    bool known;       // a reading of this scan's body went through to its end
    BodyRange range;  // what that reading found
};

struct DtaPath {
    std::string text;           // the full path of the current DTA file
    std::size_t prefix_length;  // what every path of this input shares
};

Ms2Input body_reader;  // reads known bodies again, apart from the walk over the scan

// Copies the body that follows in reader into a DTA file, and notes what the reading found.
void copy_body(Ms2Input &reader, KnownBody &body, const char *path, const ChargeLine &line,
               SplitResult &result) {
    const std::int64_t read_from = input_position(reader);
    body.known = write_dta(reader, path, line, body.range);
    result.body_bytes_read += static_cast<std::uint64_t>(input_position(reader) - read_from);
}

// Writes a known body: straight from a buffer that holds it as one run, or else copied again
// from its first piece by the body reader. That leaves the walk's buffer, and with it the way
// back to the charge line, as it is; the letter pieces before the body (further charge
// lines, however many) are never read again, so a scan costs its charge lines times its body.
void write_known_body(Ms2Input &input, KnownBody &body, const char *path, const ChargeLine &line,
                      SplitResult &result) {
    const BodyRange range = body.range;
    if (range.one_run) {
        const char *run = buffered_bytes(input, range.start, range.end);
        if (run == nullptr) run = buffered_bytes(body_reader, range.start, range.end);
        if (run != nullptr) {
            write_dta(path, line, run, static_cast<std::size_t>(range.end - range.start));
            return;
        }
    }
    seek_input(body_reader, range.start);
    copy_body(body_reader, body, path, line, result);
    if (body_reader.error != 0) fail_input(input, body_reader.error);
}

// Writes one DTA file for the charge line just read, then returns to the line after it.
void split_charge_line(Ms2Input &input, KnownBody &body, const LinePiece &piece,
                       ScanNumbers scan, DtaPath &path, SplitResult &result) {
    ChargeLine line;
    parse_charge_line(piece, line);
    compose_dta_path(path.text, path.prefix_length, scan, line.charge);
    const std::int64_t saved_position = hold_input_position(input);
    if (body.known && saved_position <= body.range.start) {
        write_known_body(input, body, path.text.c_str(), line, result);
    } else {
        copy_body(input, body, path.text.c_str(), line, result);
    }
    ++result.charge_lines;
    seek_input(input, saved_position);
}

}  // namespace

std::string dta_path_prefix(const char *stem) {
    std::string prefix(stem);
    prefix += '/';
    prefix += last_path_component(stem);
    prefix += '.';
    return prefix;
}

void compose_dta_path(std::string &path, std::size_t prefix_length, ScanNumbers scan,
                      std::int32_t charge) {
    char suffix[kDtaSuffixSize];
    char *end = append_decimal<kScanDigits>(suffix, scan.first);
    *end++ = '.';
    end = append_decimal<kScanDigits>(end, scan.last);
    *end++ = '.';
    end = append_decimal<1>(end, charge);
    std::memcpy(end, ".dta", 4);
    path.resize(prefix_length);
    path.append(suffix, static_cast<std::size_t>(end + 4 - suffix));
}

SplitResult split_ms2(Ms2Input &input, const char *stem) {
    DtaPath path{dta_path_prefix(stem), 0};
    path.prefix_length = path.text.size();
    path.text.reserve(path.prefix_length + kDtaSuffixSize);  // no allocation per charge line
    SplitResult result{0, 0, 0};
    ScanNumbers scan{0, 0};          // numbers of the scan whose header is being read
    bool in_header = false;          // between an S line and the scan's first peak line
    KnownBody body{false, {0, 0, false}};
    attach_input(body_reader, input.file);
    start_dta_files();
    LinePiece piece{};
    while (read_piece(input, piece)) {
        const char first = piece.bytes[0];
        if (first == 'S') {  // a scan starts, even straight after another scan's header
            scan = parse_scan_line(piece);
            in_header = true;
            body.known = false;
        } else if (!in_header) {
            continue;  // peaks and annotations up to the next S line
        } else if (first == 'Z') {
            split_charge_line(input, body, piece, scan, path, result);
        } else if (is_digit(first)) {
            in_header = false;  // the peak list has begun; the body's reading saw it to its end
            if (body.known) seek_input(input, body.range.end);
        }
    }
    result.file_bytes_read = input.bytes_read + body_reader.bytes_read;
    return result;
}
