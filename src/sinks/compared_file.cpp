#include "compared_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Reads the window again from the file at offset; false at its end or a failed read.
bool refill_window(ComparedFile &compared, std::int64_t offset) {
    const std::int64_t got = read_file_at(compared.file, offset, compared.window, sizeof compared.window);
    if (got < 0) {
        compared.verdict = Outcome::kUnreadable;
        compared.error = errno;
    }
    compared.window_offset = offset;
    compared.window_length = got > 0 ? static_cast<std::size_t>(got) : 0;
    return got > 0;
}

}  // namespace

void open_compared(ComparedFile &compared, const char *path) {
    Standing standing = Standing::kNothing;
    compared.file = open_standing_file(path, standing, compared.size);
    compared.error = errno;
    compared.verdict = standing == Standing::kNothing      ? Outcome::kMissing
                       : standing == Standing::kOther      ? Outcome::kNotAFile
                       : standing == Standing::kUnreadable ? Outcome::kUnreadable
                                                           : Outcome::kSame;
    compared.compared = compared.window_offset = 0;
    compared.window_length = 0;
}

void compare_bytes(ComparedFile &compared, const char *bytes, std::size_t length) {
    while (length > 0 && compared.verdict == Outcome::kSame) {
        const std::int64_t window_end = compared.window_offset + static_cast<std::int64_t>(compared.window_length);
        if (compared.compared >= window_end && !refill_window(compared, compared.compared)) {
            if (compared.verdict == Outcome::kSame) compared.verdict = Outcome::kDiffers;  // shorter
            return;
        }
        const auto at = static_cast<std::size_t>(compared.compared - compared.window_offset);
        const std::size_t count = std::min(length, compared.window_length - at);
        if (std::memcmp(compared.window + at, bytes, count) != 0) compared.verdict = Outcome::kDiffers;
        compared.compared += static_cast<std::int64_t>(count);
        bytes += count;
        length -= count;
    }
}

Outcome::What close_compared(ComparedFile &compared) {
    if (compared.verdict == Outcome::kSame && compared.compared != compared.size)
        compared.verdict = Outcome::kDiffers;  // longer
    if (compared.file >= 0) close_file(compared.file);
    compared.file = -1;
    return compared.verdict;
}
