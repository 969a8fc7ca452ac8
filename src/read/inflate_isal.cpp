// Raw deflate data and gzip's CRC-32 through Intel's ISA-L, several times faster than zlib.
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <new>

#include "decompress.h"

// One of the two files is built, each with its own state.
// cppcheck-suppress ctuOneDefinitionRuleViolation
struct RawInflater {
    inflate_state state;
};

RawInflater *new_raw_inflater() { return new (std::nothrow) RawInflater{}; }

void restart_raw_inflate(RawInflater &inflater) {
    isal_inflate_init(&inflater.state);
    inflater.state.crc_flag = ISAL_DEFLATE;  // the gzip format around it is read by the caller
}

RawStatus raw_inflate(RawInflater &inflater, const std::uint8_t *&in, std::size_t &in_length,
                      std::uint8_t *&out, std::size_t &out_length) {
    inflate_state &state = inflater.state;
    state.next_in = const_cast<std::uint8_t *>(in);
    state.avail_in = static_cast<std::uint32_t>(in_length);
    state.next_out = out;
    state.avail_out = static_cast<std::uint32_t>(out_length);
    const int status = isal_inflate(&state);
    // Whole bytes still in the bit buffer at the end were read ahead past the data: they are
    // the bytes just before next_in, which the caller keeps.
    const std::uint32_t read_ahead = state.block_state == ISAL_BLOCK_FINISH ? state.read_in_length / 8 : 0;
    in = state.next_in - read_ahead;
    in_length = state.avail_in + read_ahead;
    out = state.next_out;
    out_length = state.avail_out;
    if (status < 0) return RawStatus::kCorrupt;
    return state.block_state == ISAL_BLOCK_FINISH ? RawStatus::kEnd : RawStatus::kMore;
}

std::uint32_t update_crc32(std::uint32_t crc, const std::uint8_t *bytes, std::size_t length) {
    return crc32_gzip_refl(crc, bytes, length);
}
