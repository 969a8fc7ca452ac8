// Buffered, seekable reading of an MS2 input in line pieces.
//
// The buffer always holds at least one whole piece ahead of the cursor unless the file has
// ended, so a piece is handed out as a view into the buffer and never copied. A seek that
// lands inside the buffer only moves the cursor. The splitter holds the position after each
// Z line, so its return there is served from memory even when the scan straddles a refill.
#include "convert.h"
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

}  // namespace

void attach_input(Ms2Input &input, std::FILE *file) {
    input.file = file;
    input.buffer_offset = 0;
    input.held_position = -1;
    input.filled = 0;
    input.cursor = 0;
    input.exhausted = false;
    // Our buffer is the only one; if stdio refuses, it buffers too: slower, still right.
    (void)std::setvbuf(file, nullptr, _IONBF, 0);
}

void refill_input(Ms2Input &input) {
    const std::size_t kept_from = first_kept_byte(input);
    const std::size_t kept = input.filled - kept_from;
    std::memmove(input.data, input.data + kept_from, kept);
    input.buffer_offset += static_cast<std::int64_t>(kept_from);
    input.cursor -= kept_from;
    input.filled = kept;
    const std::size_t wanted = sizeof input.data - kept;
    const std::size_t got = std::fread(input.data + kept, 1, wanted, input.file);
    input.filled += got;
    if (got < wanted) input.exhausted = true;  // end of file, or a read error: both end the input
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
    input.cursor = input.filled = 0;
    if (!seek_file(input.file, position)) {
        input.exhausted = true;
        return false;
    }
    input.buffer_offset = position;
    input.exhausted = false;
    return true;
}
