// Test inputs in gzip: the text compressed by zlib, in as many members as parts are given.
#ifndef MS2SPLIT_TESTS_GZIP_OF_H
#define MS2SPLIT_TESTS_GZIP_OF_H

#include <zlib.h>

#include <initializer_list>
#include <string>
#include <string_view>

// text deflated by zlib at level 1; window_bits as deflateInit2 takes them (16 + 15: gzip,
// -15: raw deflate).
inline std::string deflated(std::string_view text, int window_bits) {
    z_stream stream{};
    deflateInit2(&stream, 1, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, static_cast<uLong>(text.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef *>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

inline std::string gzip_of(std::initializer_list<std::string_view> members) {
    std::string out;
    for (const std::string_view member : members) out += deflated(member, 16 + MAX_WBITS);
    return out;
}

// One member whose header carries every optional field (FTEXT, FEXTRA, FNAME, FCOMMENT and
// its CRC, FHCRC), made by hand around zlib's raw deflate data; header_crc_change spoils it.
inline std::string gzip_with_every_header_field(std::string_view text, unsigned header_crc_change = 0) {
    std::string header("\x1f\x8b\x08\x1f\0\0\0\0\0\x03", 10);
    header += std::string("\x05\0ab\x02\0x", 7) + "name.ms2" + '\0' + "a comment" + '\0';
    const uLong crc = crc32(0, reinterpret_cast<const Bytef *>(header.data()), static_cast<uInt>(header.size()));
    const unsigned header_crc = (crc & 0xffff) ^ header_crc_change;
    header += static_cast<char>(header_crc & 0xff);
    header += static_cast<char>(header_crc >> 8);
    const std::string data = deflated(text, -MAX_WBITS);
    const uLong data_crc = crc32(0, reinterpret_cast<const Bytef *>(text.data()), static_cast<uInt>(text.size()));
    std::string trailer;
    for (const uLong word : {data_crc, static_cast<uLong>(text.size())})
        for (int shift = 0; shift < 32; shift += 8) trailer += static_cast<char>((word >> shift) & 0xff);
    return header + data + trailer;
}

#endif
