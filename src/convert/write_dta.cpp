// The DTA writer: a header line from the charge line, then the scan's peak lines copied
// byte for byte. Consecutive copied pieces lie side by side in the input buffer, so they
// are written as one run, together with the header: a body the buffer holds costs one write.
#include "write_dta.h"

#include <cerrno>
#include <charconv>
#include <cstring>

#include "messages.h"
#include "platform.h"
#include "written_names.h"

namespace {

constexpr std::size_t kHeaderSize = kLinePieceSize + 16;  // mass token, blank, charge, LF
constexpr std::size_t kFilterChunk = 4096;  // body bytes filtered for text mode at a time


WrittenNames written_names;  // by this conversion

struct DtaFile {
    OutputFile file;
    bool replaces_own;          // it replaces a file this conversion wrote
    std::uint64_t name_hash;    // of its path
    bool opened_in_first_tick;  // of the conversion's clock
    bool text_mode_adds_cr;     // the file writes each LF as CR LF
    bool held_cr;               // the last body byte given was a CR not yet written
    std::size_t header_length;  // bytes of header not yet written
    char header[kHeaderSize];
};
DtaFile dta;  // one DTA file is open at a time

// Writes what is left of the header, then the bytes.
bool write_plain(DtaFile &out, const char *bytes, std::size_t length) {
    const bool written = write_output(out.file, out.header, out.header_length, bytes, length);
    out.header_length = 0;
    return written;
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

// Writes a CR still held, and the header if no body byte has carried it out.
bool finish_body(DtaFile &out) {
    char last[1];
    const std::size_t count =
        filter_line_ends(out.text_mode_adds_cr, out.held_cr, last, 0, true, last);
    return (count == 0 && out.header_length == 0) || write_plain(out, last, count);
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

enum class Copy { kComplete, kWriteFailed, kReadFailed };

// Copies every piece up to the next S piece that does not begin with a letter, and notes
// in range what the reading found.
Copy copy_body(Ms2Input &input, DtaFile &out, BodyRange &range) {
    BodyRange seen{-1, -1, true};
    Run run{nullptr, 0};
    LinePiece piece{};
    for (;;) {
        // A refill moves the buffer under the waiting run: write it first.
        if (run.length > 0 && input_needs_refill(input) && !flush_run(run, out))
            return Copy::kWriteFailed;
        if (!read_piece(input, piece)) {
            if (input.error != 0) return Copy::kReadFailed;
            seen.end = input_position(input);
            break;
        }
        const char first = piece.bytes[0];
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
        } else {
            if (run.length > 0 && !flush_run(run, out)) return Copy::kWriteFailed;
            run = {piece.bytes, piece.length};
        }
        run.length += skip_plain_lines(input);  // the peak lines that follow, all at once
    }
    if (run.length > 0 && !flush_run(run, out)) return Copy::kWriteFailed;
    if (seen.start < 0) seen.start = seen.end;  // an empty body is one empty run
    range = seen;
    return Copy::kComplete;
}

void compose_header(DtaFile &out, const ChargeLine &line) {
    const std::size_t mass_length = std::strlen(line.mass_text);
    std::memcpy(out.header, line.mass_text, mass_length);
    char *end = out.header + mass_length;
    *end++ = ' ';
    end = std::to_chars(end, out.header + kHeaderSize - 1, line.charge).ptr;
    *end++ = '\n';
    out.header_length = static_cast<std::size_t>(end - out.header);
}

bool open_dta(const char *path, const ChargeLine &line, DtaFile &out) {
    if (!open_output(path, out.file)) {
        report_unwritable(path);
        return false;
    }
    WrittenNames &names = written_names;
    out.name_hash = hash_name(path);
    out.opened_in_first_tick = needs_stamp(names) && note_opened(names, output_stamp(out.file));
    out.replaces_own = out.file.replacing && wrote(names, out.name_hash, out.file.found_stamp);
    out.text_mode_adds_cr = text_mode_writes_crlf();
    out.held_cr = false;
    compose_header(out, line);
    return true;
}

// Closes a complete file under its name. Any other goes, before the line that reports it:
// no incomplete file stays behind, and what stood at the name stays as it was. One cut short
// by a failed read is not the file's fault, and the input's error is reported instead.
void close_dta(const char *path, DtaFile &out, Copy copy) {
    if (copy == Copy::kComplete && close_output(out.file, path)) {
        note_written(written_names, out.name_hash, out.opened_in_first_tick);
        if (out.replaces_own) notice_replaced(path);
        return;
    }
    const bool removed = discard_output(out.file, path);
    const int error = errno;
    if (copy != Copy::kReadFailed) report_unwritable(path);
    if (!removed) report_unremovable(path, error);
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

void start_dta_files() { clear_written_names(written_names); }

bool write_dta(Ms2Input &input, const char *path, const ChargeLine &line, BodyRange &range) {
    if (!open_dta(path, line, dta)) return false;
    const Copy copy = copy_body(input, dta, range);
    const bool read_through = copy == Copy::kComplete;
    close_dta(path, dta, read_through && !finish_body(dta) ? Copy::kWriteFailed : copy);
    return read_through;
}

void write_dta(const char *path, const ChargeLine &line, const char *body, std::size_t length) {
    if (!open_dta(path, line, dta)) return;
    const bool written = write_body_bytes(dta, body, length) && finish_body(dta);
    close_dta(path, dta, written ? Copy::kComplete : Copy::kWriteFailed);
}
