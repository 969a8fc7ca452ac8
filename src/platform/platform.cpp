// What both platforms share on top of their system calls: reading that salvages what it
// can, writing all of several parts, and the names of temporary files.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform.h"

namespace {

// Moves the parts past count bytes, and past any that are then empty.
void use_up(Part *&parts, int &count, std::size_t bytes) {
    for (; count > 0 && bytes >= parts->length; ++parts, --count) bytes -= parts->length;
    if (count > 0) {
        parts->bytes += bytes;
        parts->length -= bytes;
    }
}

}  // namespace

std::int64_t read_file_at(int file, std::int64_t offset, char *buffer, std::size_t length) {
    const std::int64_t got = read_once(file, offset, buffer, length);  // EINTR: pread retries
    if (got >= 0 || length <= kSectorSize) return got;
    std::size_t salvaged = 0;  // the sectors before the one that fails
    for (std::int64_t part = 0; salvaged < length; salvaged += static_cast<std::size_t>(part)) {
        const std::size_t left = length - salvaged;
        part = read_once(file, offset + static_cast<std::int64_t>(salvaged), buffer + salvaged,
                         left < kSectorSize ? left : kSectorSize);
        if (part <= 0) break;
    }
    return salvaged > 0 ? static_cast<std::int64_t>(salvaged) : -1;
}

bool open_source(Source &source, int file, bool seekable) {
    source = {file, seekable, 0, {}, 0};
    while (source.head_length < kSourceHeadSize) {
        const std::int64_t got = seekable ? read_file_at(file, static_cast<std::int64_t>(source.head_length),
                                                         source.head + source.head_length,
                                                         kSourceHeadSize - source.head_length)
                                          : read_once(file, -1, source.head + source.head_length,
                                                      kSourceHeadSize - source.head_length);
        if (got < 0 && errno != EINTR) return false;
        if (got == 0) break;
        if (got > 0) source.head_length += static_cast<std::size_t>(got);
    }
    return true;
}

std::int64_t read_source(Source &source, char *buffer, std::size_t length) {
    std::int64_t got = 0;
    if (source.seekable) {
        got = read_file_at(source.file, static_cast<std::int64_t>(source.taken), buffer, length);
    } else if (source.taken < source.head_length) {  // the first bytes, kept
        got = static_cast<std::int64_t>(std::min(length, source.head_length - static_cast<std::size_t>(source.taken)));
        std::memcpy(buffer, source.head + source.taken, static_cast<std::size_t>(got));
    } else {
        do {
            got = read_once(source.file, -1, buffer, length);
        } while (got < 0 && errno == EINTR);
    }
    if (got > 0) source.taken += static_cast<std::uint64_t>(got);
    return got;
}

bool write_all(int file, std::int64_t offset, Part *parts, int count) {
    for (use_up(parts, count, 0); count > 0;) {
        const std::int64_t written = write_once(file, offset, parts, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = EIO;
            return false;
        }
        if (offset >= 0) offset += written;
        use_up(parts, count, static_cast<std::size_t>(written));
    }
    return true;
}

bool write_file_at(int file, std::int64_t offset, const char *bytes, std::size_t length) {
    Part part{bytes, length};
    return write_all(file, offset, &part, 1);
}

void temp_file_name(char (&name)[kTempNameSize]) {
    thread_local std::uint64_t state = 0;  // each writing thread's own: no lock, no race
    if (state == 0) state = (name_seed() ^ reinterpret_cast<std::uintptr_t>(&state)) | 1;  // never 0, kept by xorshift
    state ^= state << 13;  // xorshift64
    state ^= state >> 7;
    state ^= state << 17;
    const auto number = static_cast<std::uint32_t>(state >> 16);
    char *end = name;
    for (const char *prefix = kTempPrefix; *prefix != '\0'; ++prefix) *end++ = *prefix;
    for (int shift = 28; shift >= 0; shift -= 4) *end++ = "0123456789abcdef"[(number >> shift) & 15];
    for (const char *suffix = ".tmp"; *suffix != '\0'; ++suffix) *end++ = *suffix;
    *end = '\0';
}

bool is_temporary_name(const std::string &name) {
    constexpr std::size_t kPrefixLength = sizeof kTempPrefix - 1;
    return name.size() == kPrefixLength + 12 && name.compare(0, kPrefixLength, kTempPrefix) == 0 &&
           name.compare(kPrefixLength + 8, 4, ".tmp") == 0 &&
           std::all_of(name.begin() + kPrefixLength, name.begin() + kPrefixLength + 8,
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}
