// The MS2 scan splitter.
//
// One pass over the input in line pieces, judged by their first byte. An S piece opens a
// scan and gives its scan numbers; until the scan's first peak piece (a decimal digit) every
// Z piece is a charge line. For each charge line the position just past it is saved, the DTA
// writer copies the peaks that follow into one file, and the input returns to the saved
// position. No scan is held in memory, so the input must be a seekable file. Once the peaks
// begin, the rest of the scan was already read by the writer, which said where it ends, so
// the split goes straight there.
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
#include <climits>
#include <cstring>

#include "convert.h"
#include "platform.h"

namespace {

constexpr std::size_t kDtaSuffixSize = 48;  // "%.5d.%.5d.%d.dta" needs at most 39 bytes

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

const char *last_component(const char *path) {
    const char *component = path;
    for (const char *p = path; *p != '\0'; ++p) {
        if (is_path_separator(*p)) component = p + 1;
    }
    return component;
}

// Writes one DTA file for the charge line just read, then returns to the line after it.
void split_charge_line(Ms2Input &input, ScanBody &body, const LinePiece &piece,
                       ScanNumbers scan, std::string &path, std::size_t prefix_length) {
    ChargeLine line;
    const std::int64_t saved_position = hold_input_position(input);
    parse_charge_line(piece, line);
    compose_dta_path(path, prefix_length, scan, line.charge);
    WRITE_DTA(input, body, path.c_str(), line.mass_text, line.charge);
    seek_input(input, saved_position);  // a failure leaves the input ended: the split stops
}

}  // namespace

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

std::string dta_path_prefix(const char *stem) {
    std::string prefix(stem);
    prefix += '/';
    prefix += last_component(stem);
    prefix += '.';
    return prefix;
}

void compose_dta_path(std::string &path, std::size_t prefix_length, ScanNumbers scan,
                      std::int32_t charge) {
    char suffix[kDtaSuffixSize];
    const int length = std::snprintf(suffix, sizeof suffix, "%.5d.%.5d.%d.dta",
                                     static_cast<int>(scan.first), static_cast<int>(scan.last),
                                     static_cast<int>(charge));
    path.resize(prefix_length);
    path.append(suffix, static_cast<std::size_t>(length));
}

void SPLIT_MS2(Ms2Input &input, const char *stem) {
    std::string path = dta_path_prefix(stem);
    const std::size_t prefix_length = path.size();
    path.reserve(prefix_length + kDtaSuffixSize);  // no allocation per charge line
    ScanNumbers scan{0, 0};          // numbers of the scan whose header is being read
    bool in_header = false;          // between an S line and the scan's first peak line
    ScanBody body{-1, 0, 0, false};  // what a writer has seen of this scan's body
    LinePiece piece{};
    while (read_piece(input, piece)) {
        const char first = piece.bytes[0];
        if (first == 'S') {  // a scan starts, even straight after another scan's header
            scan = parse_scan_line(piece);
            in_header = true;
            body.read_from = -1;
        } else if (!in_header) {
            continue;  // peaks and annotations up to the next S line
        } else if (first == 'Z') {
            split_charge_line(input, body, piece, scan, path, prefix_length);
        } else if (is_digit(first)) {
            in_header = false;  // the peak list has begun
            if (body.read_from >= 0) seek_input(input, body.end);
        }
    }
}
