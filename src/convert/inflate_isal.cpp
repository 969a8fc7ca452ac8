// gzip through Intel's ISA-L, which decompresses several times faster than zlib.
#include <isa-l/igzip_lib.h>

#include <cerrno>
#include <cstring>

#include "inflate.h"
#include "platform.h"

constexpr std::size_t kCompressedBufferSize = std::size_t{64} * 1024;

// One of the two files is built, each with its own state.
// cppcheck-suppress ctuOneDefinitionRuleViolation
struct DecoderState {
    inflate_state state;
    bool in_member;       // between a member's header and its end
    const char *failure;  // what ended the data, once the bytes before it are handed over
    std::uint8_t input[kCompressedBufferSize];
};

namespace {

void start_member(DecoderState &state) {
    std::uint8_t *next_in = state.state.next_in;
    const std::uint32_t avail_in = state.state.avail_in;
    isal_inflate_reset(&state.state);
    state.state.crc_flag = ISAL_GZIP;  // parses the header, checks the trailer
    state.state.next_in = next_in;
    state.state.avail_in = avail_in;
    state.in_member = false;
}

// Reads more compressed input; false at the end of the file or on a read error (-1 in got).
bool read_compressed(Decoder &decoder, std::int64_t &got) {
    DecoderState &state = *decoder.state;
    got = read_file_at(decoder.file, static_cast<std::int64_t>(decoder.file_bytes),
                       reinterpret_cast<char *>(state.input), sizeof state.input);
    if (got <= 0) return false;
    decoder.file_bytes += static_cast<std::uint64_t>(got);
    state.state.next_in = state.input;
    state.state.avail_in = static_cast<std::uint32_t>(got);
    return true;
}

}  // namespace

void start_decoding(Decoder &decoder, int file, const char *head, std::size_t head_length) {
    if (decoder.state == nullptr) decoder.state = new DecoderState{};  // kept for the program's life
    DecoderState &state = *decoder.state;
    isal_inflate_init(&state.state);
    std::memcpy(state.input, head, head_length);
    state.state.next_in = state.input;
    state.state.avail_in = static_cast<std::uint32_t>(head_length);
    start_member(state);
    state.failure = nullptr;
    decoder.file = file;
    decoder.file_bytes = head_length;
}

std::int64_t decode_some(Decoder &decoder, char *out, std::size_t capacity, const char *&problem) {
    DecoderState &state = *decoder.state;
    inflate_state &stream = state.state;
    if (state.failure != nullptr) {
        problem = state.failure;
        return -1;
    }
    stream.next_out = reinterpret_cast<std::uint8_t *>(out);
    stream.avail_out = static_cast<std::uint32_t>(capacity);
    while (stream.avail_out == capacity) {
        std::int64_t got = 0;
        if (stream.avail_in == 0 && !read_compressed(decoder, got)) {
            if (got < 0) return -1;
            if (!state.in_member) return 0;  // the end of the last member
            problem = kCutShort;
            return -1;
        }
        state.in_member = true;
        const int status = isal_inflate(&stream);
        if (status < 0) {
            state.failure = status == ISAL_INCORRECT_CHECKSUM ? kBadChecksum : kCorrupt;
            break;
        }
        if (stream.block_state == ISAL_BLOCK_FINISH) start_member(state);  // another may follow
    }
    const auto produced = static_cast<std::int64_t>(capacity - stream.avail_out);
    if (produced == 0 && state.failure != nullptr) {
        problem = state.failure;
        return -1;
    }
    return produced;  // a failure after these bytes is told by the next call
}
