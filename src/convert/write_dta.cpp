// The DTA writer: a header line from the charge line, then the scan's peak lines copied
// byte for byte. Consecutive copied pieces lie side by side in the input buffer, so they
// are written as one run; a file smaller than the output buffer costs one write.
#include <cstring>

#include "convert.h"

namespace {

constexpr std::size_t kOutputBufferSize = 64 * 1024;
char output_buffer[kOutputBufferSize];  // one DTA file is open at a time

bool is_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

struct Run {
    const char *start;   // first byte of the pieces waiting to be written
    std::size_t length;  // 0 when nothing waits
};

bool flush_run(Run &run, std::FILE *out) {
    const bool written = std::fwrite(run.start, 1, run.length, out) == run.length;
    run.length = 0;
    return written;
}

// Copies every piece up to the next S piece that does not begin with a letter. Returns the
// position where the body ends, or -1 when a write failed.
std::int64_t copy_body(Ms2Input &input, std::FILE *out) {
    Run run{nullptr, 0};
    LinePiece piece{};
    std::int64_t body_end = -1;
    for (;;) {
        // A refill moves the buffer under the waiting run: write it first.
        if (run.length > 0 && input_needs_refill(input) && !flush_run(run, out)) return -1;
        if (!read_piece(input, piece)) {
            body_end = input_position(input);
            break;
        }
        const unsigned char first = static_cast<unsigned char>(piece.bytes[0]);
        if (first == 'S') {
            body_end = input_position(input) - static_cast<std::int64_t>(piece.length);
            break;
        }
        if (is_letter(first)) continue;
        if (run.length > 0 && run.start + run.length == piece.bytes) {
            run.length += piece.length;
            continue;
        }
        if (run.length > 0 && !flush_run(run, out)) return -1;
        run = {piece.bytes, piece.length};
    }
    return run.length == 0 || flush_run(run, out) ? body_end : -1;
}

void report_unwritable(const char *path) {
    std::printf(" skipping: %s (cannot write .dta file)\n", path);
}

}  // namespace

std::int64_t WRITE_DTA(Ms2Input &input, const char *path, const char *mass_text,
                       std::int32_t charge) {
    std::FILE *out = std::fopen(path, "w");
    if (out == nullptr) {
        report_unwritable(path);
        return -1;
    }
    std::setvbuf(out, output_buffer, _IOFBF, sizeof output_buffer);
    std::int64_t body_end = -1;
    if (std::fprintf(out, "%s %d\n", mass_text, static_cast<int>(charge)) >= 0)
        body_end = copy_body(input, out);
    bool complete = body_end >= 0 && !std::ferror(out);
    if (std::fclose(out) != 0) complete = false;
    if (!complete) {  // a full disk, say: no incomplete file may stay behind
        report_unwritable(path);
        std::remove(path);
        return -1;
    }
    return body_end;
}
