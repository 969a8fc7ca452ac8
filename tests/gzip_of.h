// Test inputs in gzip: the text compressed by zlib, in as many members as parts are given.
#ifndef MS2SPLIT_TESTS_GZIP_OF_H
#define MS2SPLIT_TESTS_GZIP_OF_H

#include <zlib.h>

#include <initializer_list>
#include <string>
#include <string_view>

inline std::string gzip_of(std::initializer_list<std::string_view> members) {
    std::string out;
    for (const std::string_view member : members) {
        z_stream stream{};
        deflateInit2(&stream, 1, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
        std::string compressed(deflateBound(&stream, static_cast<uLong>(member.size())), '\0');
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(member.data()));
        stream.avail_in = static_cast<uInt>(member.size());
        stream.next_out = reinterpret_cast<Bytef *>(&compressed[0]);
        stream.avail_out = static_cast<uInt>(compressed.size());
        deflate(&stream, Z_FINISH);
        out.append(compressed.data(), stream.total_out);
        deflateEnd(&stream);
    }
    return out;
}

#endif
