#include "dta_file.h"

#include <charconv>
#include <cstring>
#include <limits>

#include "platform.h"

namespace {

constexpr int kScanDigits = 5;  // scan numbers are zero-filled to this many
constexpr std::size_t kNumberMax = std::numeric_limits<std::int32_t>::digits10 + 2;  // sign
constexpr std::size_t kDtaSuffixSize = 3 * kNumberMax + sizeof "...dta";
static_assert(kDtaSuffixSize >= sizeof "-2147483648.-2147483648.-2147483648.dta",
              "the longest suffix must fit");

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

}  // namespace

bool is_positive_number(const char *text) {
    if (*text == '+') ++text;
    bool point = false, digits = false, above_zero = false;
    for (; *text != '\0' && *text != 'e' && *text != 'E'; ++text) {
        if (*text == '.' && !point) {
            point = true;
        } else if (is_digit(*text)) {
            digits = true;
            above_zero = above_zero || *text != '0';
        } else {
            return false;
        }
    }
    if (*text != '\0') {  // an exponent: perhaps a sign, then digits
        ++text;
        if (*text == '+' || *text == '-') ++text;
        if (!is_digit(*text)) return false;
        while (is_digit(*text)) ++text;
    }
    return digits && above_zero && *text == '\0';
}

namespace {

std::size_t compose_header(const ChargeLine &line, char (&header)[kDtaHeaderSize]) {
    const std::size_t mass_length = std::strlen(line.mass_text);
    std::memcpy(header, line.mass_text, mass_length);
    char *end = header + mass_length;
    *end++ = ' ';
    end = std::to_chars(end, header + kDtaHeaderSize - 2, line.charge).ptr;
    if (lines_end_in_crlf()) *end++ = '\r';
    *end++ = '\n';
    return static_cast<std::size_t>(end - header);
}

}  // namespace

std::string dta_path_prefix(const char *directory) {
    std::string prefix(directory);
    prefix += separator_for(directory);
    prefix += last_path_component(directory);
    prefix += '.';
    prefix.reserve(prefix.size() + kDtaSuffixSize);  // none per file
    return prefix;
}

std::string mgf_title_prefix(const char *mgf_path) {
    const char *base = last_path_component(mgf_path);
    std::string prefix(base, std::strlen(base) - (sizeof ".mgf" - 1));
    prefix += '.';
    return prefix;
}

void compose_mgf_title(std::string &title, std::size_t prefix_length, DtaKey key) {
    compose_dta_path(title, prefix_length, key);
    title.resize(title.size() - (sizeof ".dta" - 1));
}

void compose_dta_path(std::string &path, std::size_t prefix_length, DtaKey key) {
    char suffix[kDtaSuffixSize];
    char *end = append_decimal<kScanDigits>(suffix, key.first);
    *end++ = '.';
    end = append_decimal<kScanDigits>(end, key.last);
    *end++ = '.';
    end = append_decimal<1>(end, key.charge);
    std::memcpy(end, ".dta", 4);
    path.resize(prefix_length);
    path.append(suffix, static_cast<std::size_t>(end + 4 - suffix));
}

bool read_dta_name(const std::string &name, const char *base, DtaKey &key) {
    std::string composed = std::string(base) + '.';
    const std::size_t base_length = composed.size();
    if (name.size() <= base_length || name.compare(0, base_length, composed) != 0) return false;
    const char *next = name.data() + base_length;
    const char *end = name.data() + name.size();
    std::int32_t fields[3] = {};  // first, last, charge
    for (std::int32_t &field : fields) {
        const std::from_chars_result read = std::from_chars(next, end, field);
        if (read.ec != std::errc() || read.ptr == end || *read.ptr != '.') return false;
        next = read.ptr + 1;
    }
    key = {fields[0], fields[1], fields[2]};
    compose_dta_path(composed, base_length, key);
    return composed == name;  // written as this program writes it
}

void start_scan_files(ScanFiles &files, Ms2Input *input, const Scan &scan) {
    start_cursor(files.header, input, scan, scan.start, scan.header_end, files.header_window);
}

bool next_dta_file(ScanFiles &files, DtaFile &file) {
    LinePiece piece{};
    do {  // every Z piece before the first peak is a charge line
        if (!next_piece(files.header, piece)) return false;
    } while (piece.bytes[0] != 'Z');
    const Scan &scan = *files.header.scan;
    parse_charge_line(piece, file.line);
    file.key = {scan.numbers.first, scan.numbers.last, file.line.charge};
    file.odd_header = file.line.charge < 1 || !is_positive_number(file.line.mass_text);
    file.header_length = compose_header(file.line, file.header);
    const std::int64_t from = scan.one_run ? scan.run_start : scan.same_body ? scan.body_start : files.header.position;
    start_cursor(file.body.cursor, files.header.input, scan, from, scan.end, files.body_window);
    file.body.one_run = scan.one_run;
    file.body.count = file.body.next = 0;
    return true;
}

bool next_body_run(DtaBody &body, LineRun &run) {
    while (body.next == body.count) {
        std::size_t available = 0;
        const char *bytes = cursor_bytes(body.cursor, available);
        if (bytes == nullptr) return false;
        body.next = body.count = 0;
        if (body.one_run) {
            body.runs[body.count++] = {bytes, available};
            body.cursor.position += static_cast<std::int64_t>(available);
            break;
        }
        const char *stop = line_runs(bytes, bytes + available, body.runs, body.count);
        if (stop == bytes) {  // a line longer than a piece, or the last few bytes: one piece
            const std::size_t length = piece_length(bytes, available);
            if (!is_letter(*bytes)) body.runs[body.count++] = {bytes, length};
            stop += length;
        }
        body.cursor.position += stop - bytes;
    }
    run = body.runs[body.next++];
    return true;
}

std::size_t end_lines_in_crlf(const char *bytes, std::size_t length, char &previous, char *out) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (bytes[i] == '\n' && previous != '\r') out[count++] = '\r';
        out[count++] = previous = bytes[i];
    }
    return count;
}
