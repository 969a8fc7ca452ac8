// Raw deflate data and gzip's CRC-32 through zlib.
#include <zlib.h>

#include <new>

#include "decompress.h"

// One of the two files is built, each with its own state.
// cppcheck-suppress ctuOneDefinitionRuleViolation
struct RawInflater {
    z_stream stream;
};

RawInflater *new_raw_inflater() {
    RawInflater *inflater = new (std::nothrow) RawInflater();
    if (inflater == nullptr || inflateInit2(&inflater->stream, -MAX_WBITS) == Z_OK) return inflater;  // raw
    delete inflater;
    return nullptr;
}

void restart_raw_inflate(RawInflater &inflater) { inflateReset(&inflater.stream); }

RawStatus raw_inflate(RawInflater &inflater, const std::uint8_t *&in, std::size_t &in_length,
                      std::uint8_t *&out, std::size_t &out_length) {
    z_stream &stream = inflater.stream;
    stream.next_in = const_cast<Bytef *>(in);
    stream.avail_in = static_cast<uInt>(in_length);
    stream.next_out = out;
    stream.avail_out = static_cast<uInt>(out_length);
    const int status = ::inflate(&stream, Z_NO_FLUSH);
    in = stream.next_in;
    in_length = stream.avail_in;
    out = stream.next_out;
    out_length = stream.avail_out;
    if (status == Z_STREAM_END) return RawStatus::kEnd;
    return status == Z_OK || status == Z_BUF_ERROR ? RawStatus::kMore : RawStatus::kCorrupt;
}

std::uint32_t update_crc32(std::uint32_t crc, const std::uint8_t *bytes, std::size_t length) {
    return static_cast<std::uint32_t>(crc32_z(crc, bytes, length));
}
