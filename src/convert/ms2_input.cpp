// Buffered, seekable reading of an MS2 input in line pieces.
//
// The buffer always holds at least one whole piece ahead of the cursor unless the file has
// ended, so a piece is handed out as a view into the buffer and never copied. A seek that
// lands inside the buffer only moves the cursor; the splitter's return to the line after a
// Z line is almost always of that kind.
#include <cstring>

#include "convert.h"

namespace {

bool seek_file(std::FILE *file, std::int64_t position) {
    return fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
}

// Keeps the unread bytes, moved to the front, and fills the rest of the buffer.
void refill(Ms2Input &input) {
    const std::size_t unread = input.filled - input.cursor;
    std::memmove(input.data, input.data + input.cursor, unread);
    input.buffer_offset += static_cast<std::int64_t>(input.cursor);
    input.cursor = 0;
    input.filled = unread;
    const std::size_t wanted = sizeof input.data - unread;
    const std::size_t got = std::fread(input.data + unread, 1, wanted, input.file);
    input.filled += got;
    if (got < wanted) input.exhausted = true;  // end of file, or a read error: both end the input
}

}  // namespace

void attach_input(Ms2Input &input, std::FILE *file) {
    input.file = file;
    input.buffer_offset = 0;
    input.filled = 0;
    input.cursor = 0;
    input.exhausted = false;
    std::setvbuf(file, nullptr, _IONBF, 0);  // our buffer is the only one
}

bool input_needs_refill(const Ms2Input &input) {
    return !input.exhausted && input.filled - input.cursor < kLinePieceMax;
}

bool read_piece(Ms2Input &input, LinePiece &piece) {
    if (input_needs_refill(input)) refill(input);
    std::size_t length = input.filled - input.cursor;
    if (length == 0) return false;
    if (length > kLinePieceMax) length = kLinePieceMax;
    const char *start = input.data + input.cursor;
    const auto *line_end = static_cast<const char *>(std::memchr(start, '\n', length));
    if (line_end != nullptr) length = static_cast<std::size_t>(line_end - start) + 1;
    piece.bytes = start;
    piece.length = length;
    input.cursor += length;
    return true;
}

std::int64_t input_position(const Ms2Input &input) {
    return input.buffer_offset + static_cast<std::int64_t>(input.cursor);
}

bool seek_input(Ms2Input &input, std::int64_t position) {
    const std::int64_t end_of_buffer = input.buffer_offset + static_cast<std::int64_t>(input.filled);
    if (position >= input.buffer_offset && position <= end_of_buffer) {
        input.cursor = static_cast<std::size_t>(position - input.buffer_offset);
        return true;
    }
    input.cursor = input.filled = 0;
    if (!seek_file(input.file, position)) {
        input.exhausted = true;
        return false;
    }
    input.buffer_offset = position;
    input.exhausted = false;
    return true;
}
