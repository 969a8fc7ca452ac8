// The DTA writer: a header line from the charge line, then the scan's peak lines copied
// byte for byte. Consecutive copied pieces lie side by side in the input buffer, so they
// are written as one run; a file smaller than the output buffer costs one write.
#include "write_dta.h"

#include <cerrno>
#include <charconv>
#include <cstring>

#include "messages.h"
#include "platform.h"

namespace {

constexpr std::size_t kOutputBufferSize = std::size_t{64} * 1024;
char output_buffer[kOutputBufferSize];  // one DTA file is open at a time
constexpr std::size_t kFilterChunk = 4096;  // body bytes filtered for text mode at a time

bool is_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

struct DtaFile {
    std::FILE *file;
    bool text_mode_adds_cr;  // text mode writes each LF as CR LF
    bool held_cr;            // the last body byte given was a CR not yet written
};

bool write_plain(DtaFile &out, const char *bytes, std::size_t length) {
    return std::fwrite(bytes, 1, length, out.file) == length;
}

bool write_body_bytes(DtaFile &out, const char *bytes, std::size_t length) {
    if (!out.text_mode_adds_cr) return write_plain(out, bytes, length);
    char filtered[kFilterChunk + 1];
    while (length > 0) {
        const std::size_t chunk = length < kFilterChunk ? length : kFilterChunk;
        const std::size_t count =
            filter_line_ends(true, out.held_cr, bytes, chunk, false, filtered);
        if (!write_plain(out, filtered, count)) return false;
        bytes += chunk;
        length -= chunk;
    }
    return true;
}

bool finish_body(DtaFile &out) {
    char last[1];
    const std::size_t count =
        filter_line_ends(out.text_mode_adds_cr, out.held_cr, last, 0, true, last);
    return write_plain(out, last, count);
}

struct Run {
    const char *start;   // first byte of the pieces waiting to be written
    std::size_t length;  // 0 when nothing waits
};

bool flush_run(Run &run, DtaFile &out) {
    const bool written = write_body_bytes(out, run.start, run.length);
    run.length = 0;
    return written;
}

// Copies every piece up to the next S piece that does not begin with a letter, and notes
// in range what the reading found. Returns false when a write failed.
bool copy_body(Ms2Input &input, DtaFile &out, BodyRange &range) {
    BodyRange seen{-1, -1, true};
    Run run{nullptr, 0};
    LinePiece piece{};
    for (;;) {
        // A refill moves the buffer under the waiting run: write it first.
        if (run.length > 0 && input_needs_refill(input) && !flush_run(run, out)) return false;
        if (!read_piece(input, piece)) {
            seen.end = input_position(input);
            break;
        }
        const auto first = static_cast<unsigned char>(piece.bytes[0]);
        if (first == 'S') {
            seen.end = piece_position(input, piece);
            break;
        }
        if (is_letter(first)) {
            if (seen.start >= 0) seen.one_run = false;
            continue;
        }
        if (seen.start < 0) seen.start = piece_position(input, piece);
        if (run.length > 0 && run.start + run.length == piece.bytes) {
            run.length += piece.length;
            continue;
        }
        if (run.length > 0 && !flush_run(run, out)) return false;
        run = {piece.bytes, piece.length};
    }
    if (run.length > 0 && !flush_run(run, out)) return false;
    if (seen.start < 0) seen.start = seen.end;  // an empty body is one empty run
    range = seen;
    return true;
}

bool write_header(DtaFile &out, const ChargeLine &line) {
    char number[16];
    char *end = std::to_chars(number, number + sizeof number - 1, line.charge).ptr;
    *end++ = '\n';
    const auto length = static_cast<std::size_t>(end - number);
    return std::fputs(line.mass_text, out.file) >= 0 && std::fputc(' ', out.file) != EOF &&
           write_plain(out, number, length);
}

bool open_dta(const char *path, DtaFile &out) {
    out = {std::fopen(path, "w"), text_mode_writes_crlf(), false};
    if (out.file == nullptr) {
        report_unwritable(path);
        return false;
    }
    // If stdio refuses the buffer, it picks one of its own.
    (void)std::setvbuf(out.file, output_buffer, _IOFBF, sizeof output_buffer);
    return true;
}

// Closes the file and checks that everything reached it; no incomplete file stays behind.
void close_dta(const char *path, DtaFile &out, bool written) {
    written = !std::ferror(out.file) && written;
    if (std::fclose(out.file) != 0) written = false;
    if (written) return;
    report_unwritable(path);
    if (std::remove(path) != 0) report_unremovable(path, errno);
}

}  // namespace

std::size_t filter_line_ends(bool text_mode_adds_cr, bool &held_cr, const char *bytes,
                             std::size_t length, bool at_end, char *out) {
    if (!text_mode_adds_cr) {
        if (length > 0) std::memcpy(out, bytes, length);
        return length;
    }
    std::size_t count = 0;
    if (held_cr && (length > 0 ? bytes[0] != '\n' : at_end)) out[count++] = '\r';
    if (length > 0 || at_end) held_cr = false;
    for (std::size_t i = 0; i < length; ++i) {
        if (bytes[i] == '\r' && i + 1 == length && !at_end) {
            held_cr = true;
            break;
        }
        if (bytes[i] == '\r' && i + 1 < length && bytes[i + 1] == '\n') continue;
        out[count++] = bytes[i];
    }
    return count;
}

bool write_dta(Ms2Input &input, const char *path, const ChargeLine &line, BodyRange &range) {
    DtaFile out{};
    if (!open_dta(path, out)) return false;
    bool read_through = false;
    const bool written = write_header(out, line) &&
                         (read_through = copy_body(input, out, range)) && finish_body(out);
    close_dta(path, out, written);
    return read_through;
}

void write_dta(const char *path, const ChargeLine &line, const char *body, std::size_t length) {
    DtaFile out{};
    if (!open_dta(path, out)) return;
    const bool written =
        write_header(out, line) && write_body_bytes(out, body, length) && finish_body(out);
    close_dta(path, out, written);
}
