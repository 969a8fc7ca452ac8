// The DTA writer: a header line from the charge line, then the scan's peak lines copied
// byte for byte. Consecutive copied pieces lie side by side in the input buffer, so they
// are written as one run; a file smaller than the output buffer costs one write.
//
// Every charge line of a scan reads the same body: the pieces after a later charge line are
// a tail of those after an earlier one, and the ones in between are letter lines, which
// are skipped. So once a reading has shown the body to be one run of bytes, the scan's
// further files copy that run straight from the input buffer without splitting it into
// pieces again.
//
// DTA files are opened in text mode. Where text mode writes each '\n' as CR LF (Windows), a CR
// that already stands before a LF is left out, so that every line of the file ends in CR LF,
// never CR CR LF, whatever the input's line ends.
#include <cerrno>
#include <charconv>
#include <cstring>

#include "convert.h"
#include "platform.h"

namespace {

constexpr std::size_t kOutputBufferSize = std::size_t{64} * 1024;
char output_buffer[kOutputBufferSize];  // one DTA file is open at a time

bool is_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

struct Run {
    const char *start;   // first byte of the pieces waiting to be written
    std::size_t length;  // 0 when nothing waits
};

struct DtaFile {
    std::FILE *file;
    bool drops_cr_before_lf;  // text mode adds a CR before each LF
    bool held_cr;             // the last byte given was a CR not yet written
};

bool write_plain(DtaFile &out, const char *bytes, std::size_t length) {
    return std::fwrite(bytes, 1, length, out.file) == length;
}

// Writes body bytes, leaving out a CR before a LF where text mode adds one. A CR at the end
// waits for the next bytes (or the end of the file) to show whether a LF follows it.
bool write_body_bytes(DtaFile &out, const char *bytes, std::size_t length) {
    if (!out.drops_cr_before_lf) return write_plain(out, bytes, length);
    if (length == 0) return true;
    if (out.held_cr && bytes[0] != '\n' && std::fputc('\r', out.file) == EOF) return false;
    const char *end = bytes + length;
    out.held_cr = end[-1] == '\r';
    if (out.held_cr) --end;
    while (bytes < end) {
        const auto rest = static_cast<std::size_t>(end - bytes);
        const auto *cr = static_cast<const char *>(std::memchr(bytes, '\r', rest));
        const char *next = cr != nullptr ? cr + 1 : end;
        const char *written_end = next < end && *next == '\n' ? cr : next;
        if (!write_plain(out, bytes, static_cast<std::size_t>(written_end - bytes))) return false;
        bytes = next;
    }
    return true;
}

bool finish_body(DtaFile &out) {
    return !out.held_cr || std::fputc('\r', out.file) != EOF;
}

bool flush_run(Run &run, DtaFile &out) {
    const bool written = write_body_bytes(out, run.start, run.length);
    run.length = 0;
    return written;
}

std::int64_t position_before(const Ms2Input &input, const LinePiece &piece) {
    return input_position(input) - static_cast<std::int64_t>(piece.length);
}

// Copies every piece up to the next S piece that does not begin with a letter, and notes
// in body what the reading showed. Returns false when a write failed.
bool copy_body(Ms2Input &input, DtaFile &out, ScanBody &body) {
    ScanBody seen{input_position(input), -1, -1, true};
    Run run{nullptr, 0};
    LinePiece piece{};
    for (;;) {
        // A refill moves the buffer under the waiting run: write it first.
        if (run.length > 0 && input_needs_refill(input) && !flush_run(run, out)) return false;
        if (!read_piece(input, piece)) {
            seen.end = input_position(input);
            break;
        }
        const unsigned char first = static_cast<unsigned char>(piece.bytes[0]);
        if (first == 'S') {
            seen.end = position_before(input, piece);
            break;
        }
        if (is_letter(first)) {
            if (seen.start >= 0) seen.one_run = false;
            continue;
        }
        if (seen.start < 0) seen.start = position_before(input, piece);
        if (run.length > 0 && run.start + run.length == piece.bytes) {
            run.length += piece.length;
            continue;
        }
        if (run.length > 0 && !flush_run(run, out)) return false;
        run = {piece.bytes, piece.length};
    }
    if (run.length > 0 && !flush_run(run, out)) return false;
    if (seen.start < 0) seen.start = seen.end;  // an empty body is one empty run
    body = seen;
    return true;
}

// The body's bytes when an earlier reading from this scan found them to be one run and
// the buffer still holds them; nullptr when the pieces must be read.
const char *known_run(const Ms2Input &input, const ScanBody &body) {
    const std::int64_t position = input_position(input);
    const std::int64_t buffer_end = input.buffer_offset + static_cast<std::int64_t>(input.filled);
    if (body.read_from < 0 || !body.one_run) return nullptr;
    if (position < body.read_from || position > body.start) return nullptr;
    if (body.start < input.buffer_offset || body.end > buffer_end) return nullptr;
    return input.data + (body.start - input.buffer_offset);
}

bool write_header(DtaFile &out, const char *mass_text, std::int32_t charge) {
    char number[16];
    char *end = std::to_chars(number, number + sizeof number - 1, charge).ptr;
    *end++ = '\n';
    const auto length = static_cast<std::size_t>(end - number);
    return std::fputs(mass_text, out.file) >= 0 && std::fputc(' ', out.file) != EOF &&
           write_plain(out, number, length);
}

bool write_body(Ms2Input &input, DtaFile &out, ScanBody &body) {
    const char *run = known_run(input, body);
    const bool written = run != nullptr
        ? write_body_bytes(out, run, static_cast<std::size_t>(body.end - body.start))
        : copy_body(input, out, body);
    return written && finish_body(out);
}

void report_unwritable(const char *path) {
    std::printf(" skipping: %s (cannot write .dta file)\n", path);
}

void report_unremovable(const char *path) {
    const int error = errno;
    (void)std::fflush(stdout);  // keeps the order of messages when both streams share a log
    (void)std::fprintf(stderr, "ms2split: cannot remove incomplete file '%s': %s\n", path,
                       std::strerror(error));
}

}  // namespace

void WRITE_DTA(Ms2Input &input, ScanBody &body, const char *path, const char *mass_text,
               std::int32_t charge) {
    DtaFile out{std::fopen(path, "w"), text_mode_writes_crlf(), false};
    if (out.file == nullptr) {
        report_unwritable(path);
        return;
    }
    // If stdio refuses the buffer, it picks one of its own.
    (void)std::setvbuf(out.file, output_buffer, _IOFBF, sizeof output_buffer);
    bool complete = write_header(out, mass_text, charge) && write_body(input, out, body);
    complete = !std::ferror(out.file) && complete;
    if (std::fclose(out.file) != 0) complete = false;
    if (!complete) {  // a full disk, say: no incomplete file may stay behind
        report_unwritable(path);
        if (std::remove(path) != 0) report_unremovable(path);
    }
}
