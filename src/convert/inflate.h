// gzip decompression behind one small interface. The decoding itself comes from whichever
// library the build found: Intel's ISA-L where it builds (inflate_isal.cpp), zlib elsewhere
// (inflate_zlib.cpp). Where the system has two cores or more, it runs ahead on a thread of
// its own while the caller splits and writes (inflate.cpp). Files of several members
// (concatenated, or bgzip's blocks) read as one stream.
#ifndef MS2SPLIT_INFLATE_H
#define MS2SPLIT_INFLATE_H

#include <cstddef>
#include <cstdint>

// What is wrong with gzip data, in the same words whichever library reads it. Data that
// still decodes is found corrupt only by the checksum at its member's end, after the files
// of the scans before were written.
constexpr char kCorrupt[] = "corrupt gzip data";
constexpr char kBadChecksum[] =
    "gzip data fails its checksum: DTA files written from it may hold wrong bytes";
constexpr char kCutShort[] = "gzip data cut short";

// The first two bytes of every gzip member.
inline bool is_gzip(const char *bytes, std::size_t length) {
    return length >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1f &&
           static_cast<unsigned char>(bytes[1]) == 0x8b;
}

// The library's side.
struct DecoderState;  // its state and a buffer of compressed input
struct Decoder {
    DecoderState *state;       // made on the first gzip input, kept for the next
    int file;                  // the compressed file, read from its start
    std::uint64_t file_bytes;  // read from it so far
};
void start_decoding(Decoder &decoder, int file, const char *head, std::size_t head_length);
// As inflate_some.
std::int64_t decode_some(Decoder &decoder, char *out, std::size_t capacity, const char *&problem);

struct InflateAhead;  // the thread that decodes ahead, and what it has decoded
struct Inflate {
    Decoder decoder;
    InflateAhead *ahead;  // nullptr: decoding happens in inflate_some itself
};

// Starts reading file, whose first head_length bytes (already read) are in head.
void start_inflate(Inflate &inflate, int file, const char *head, std::size_t head_length);
// Decompresses up to capacity bytes into out. Returns their count; 0 at the end of the last
// member; -1 when the file cannot be read (errno set) or its data is corrupt or cut short
// (problem set to what is wrong).
std::int64_t inflate_some(Inflate &inflate, char *out, std::size_t capacity, const char *&problem);
// Stops reading ahead; the file may then be closed.
void finish_inflate(Inflate &inflate);
// Compressed bytes read so far (ahead of what inflate_some has handed over).
std::uint64_t inflate_file_bytes(const Inflate &inflate);

#endif
