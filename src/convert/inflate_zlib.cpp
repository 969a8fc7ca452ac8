// gzip through zlib.
#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "inflate.h"
#include "platform.h"

constexpr std::size_t kCompressedBufferSize = std::size_t{64} * 1024;

// One of the two files is built, each with its own state.
// cppcheck-suppress ctuOneDefinitionRuleViolation
struct DecoderState {
    z_stream stream;
    bool in_member;       // between a member's header and its end
    const char *failure;  // what ended the data, once the bytes before it are handed over
    unsigned char input[kCompressedBufferSize];
};

namespace {

// Reads more compressed input; false at the end of the file or on a read error (-1 in got).
bool read_compressed(Decoder &decoder, std::int64_t &got) {
    DecoderState &state = *decoder.state;
    got = read_file_at(decoder.file, static_cast<std::int64_t>(decoder.file_bytes),
                       reinterpret_cast<char *>(state.input), sizeof state.input);
    if (got <= 0) return false;
    decoder.file_bytes += static_cast<std::uint64_t>(got);
    state.stream.next_in = state.input;
    state.stream.avail_in = static_cast<uInt>(got);
    return true;
}

}  // namespace

void start_decoding(Decoder &decoder, int file, const char *head, std::size_t head_length) {
    if (decoder.state == nullptr) {  // kept for the program's life
        decoder.state = new DecoderState{};
        inflateInit2(&decoder.state->stream, 16 + MAX_WBITS);  // gzip wrapper only
    }
    DecoderState &state = *decoder.state;
    inflateReset(&state.stream);
    state.in_member = false;
    state.failure = nullptr;
    decoder.file = file;
    decoder.file_bytes = head_length;
    for (std::size_t i = 0; i < head_length; ++i) state.input[i] = static_cast<unsigned char>(head[i]);
    state.stream.next_in = state.input;
    state.stream.avail_in = static_cast<uInt>(head_length);
}

std::int64_t decode_some(Decoder &decoder, char *out, std::size_t capacity, const char *&problem) {
    DecoderState &state = *decoder.state;
    z_stream &stream = state.stream;
    if (state.failure != nullptr) {
        problem = state.failure;
        return -1;
    }
    stream.next_out = reinterpret_cast<Bytef *>(out);
    stream.avail_out = static_cast<uInt>(capacity);
    while (stream.avail_out == capacity) {
        std::int64_t got = 0;
        if (stream.avail_in == 0 && !read_compressed(decoder, got)) {
            if (got < 0) return -1;
            if (!state.in_member) return 0;  // the end of the last member
            problem = kCutShort;
            return -1;
        }
        state.in_member = true;
        const int status = ::inflate(&stream, Z_NO_FLUSH);
        if (status == Z_STREAM_END) {  // another member may follow
            state.in_member = false;
            inflateReset(&stream);
        } else if (status != Z_OK && status != Z_BUF_ERROR) {
            const bool checksum = stream.msg != nullptr && (std::strcmp(stream.msg, "incorrect data check") == 0 ||
                                                            std::strcmp(stream.msg, "incorrect length check") == 0);
            state.failure = checksum ? kBadChecksum : kCorrupt;
            break;
        }
    }
    const auto produced = static_cast<std::int64_t>(capacity - stream.avail_out);
    if (produced == 0 && state.failure != nullptr) {
        problem = state.failure;
        return -1;
    }
    return produced;  // a failure after these bytes is told by the next call
}
