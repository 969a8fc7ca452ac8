// gzip decompression behind one small interface. The gzip format itself (each member's
// header, its data's CRC-32 and length, what may follow the last member) is read here, in
// inflate.cpp; only the raw deflate data goes to whichever library the build found: Intel's
// ISA-L where it builds (inflate_isal.cpp), zlib elsewhere (inflate_zlib.cpp). Where the
// system has two cores or more, decoding runs ahead on a thread of its own while the caller
// splits and writes. Files of several members (concatenated, or bgzip's blocks) read as one
// stream; zero bytes after the last member are ignored, as gzip ignores them.
#ifndef MS2SPLIT_INFLATE_H
#define MS2SPLIT_INFLATE_H

#include <cstddef>
#include <cstdint>

// What is wrong with gzip data, in the same words whichever library reads it. Damaged data
// may decode into wrong bytes for a while before the damage shows, or until the checksum at
// its member's end, after the files of the scans before were written.
inline constexpr char kCorrupt[] = "corrupt gzip data: DTA files written from it may hold wrong bytes";
inline constexpr char kBadChecksum[] =
    "gzip data fails its checksum: DTA files written from it may hold wrong bytes";
inline constexpr char kBadHeaderChecksum[] = "corrupt gzip data: a member's header fails its checksum";
inline constexpr char kCutShort[] = "gzip data cut short: DTA files written from it may hold wrong bytes";
inline constexpr char kNotGzip[] = "not gzip data, though its name ends in .gz";
inline constexpr char kTrailingGarbage[] =
    "trailing garbage after the gzip data: neither gzip nor zeros; if it is damaged gzip, the "
    "DTA files of the last scan may be short";

// The first two bytes of every gzip member.
inline bool is_gzip(const char *bytes, std::size_t length) {
    return length >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1f &&
           static_cast<unsigned char>(bytes[1]) == 0x8b;
}

// The library's side: raw deflate data, one member's at a time, and gzip's CRC-32.
struct RawInflater;
enum class RawStatus { kMore, kEnd, kCorrupt };
RawInflater *new_raw_inflater();  // nullptr when there is no memory for one
void restart_raw_inflate(RawInflater &inflater);
// Decodes from in into out, moving both past the bytes used and made; kEnd when the
// deflate data has ended, with in at the first byte after it. The kReadAhead bytes before
// in are always the input's bytes before it, so that in may move back over bytes the
// library read ahead.
RawStatus raw_inflate(RawInflater &inflater, const std::uint8_t *&in, std::size_t &in_length,
                      std::uint8_t *&out, std::size_t &out_length);
std::uint32_t update_crc32(std::uint32_t crc, const std::uint8_t *bytes, std::size_t length);

constexpr std::size_t kCompressedBufferSize = std::size_t{64} * 1024;
constexpr std::size_t kReadAhead = 8;  // the most a library reads past the deflate data

// Where the reading of the gzip format stands.
enum class GzipStage { kHeader, kData, kTrailer, kAfterMember, kEnd };

struct Decoder {
    RawInflater *raw;          // made on the first gzip input, kept for the next
    int file;                  // the compressed file, read from its start
    std::uint64_t file_bytes;  // read from it so far
    GzipStage stage;
    std::uint32_t crc;         // of the member's data so far
    std::uint32_t size;        // of the member's data so far, modulo 2^32 as gzip keeps it
    const char *failure;       // what ended the data, once the bytes before it are handed over
    int error;                 // errno of a read that failed, when failure is nullptr
    bool failed;               // failure or error tells why the data ended
    std::size_t next;          // the first unused byte of input
    std::size_t end;           // just past the last byte of input read
    std::uint8_t input[kReadAhead + kCompressedBufferSize];  // after the bytes read before
};

struct InflateAhead;  // the thread that decodes ahead, and what it has decoded
struct Inflate {
    Decoder decoder;
    InflateAhead *ahead;  // nullptr: decoding happens in inflate_some itself
};

// Starts reading the gzip file from its first byte.
void start_inflate(Inflate &inflate, int file);
// Decompresses up to capacity bytes into out. Returns their count; 0 at the end of the data,
// where problem is nullptr or, if bytes other than zeros follow the last member,
// kTrailingGarbage; -1 when the file cannot be read (errno set) or its data is corrupt or
// cut short (problem set to what is wrong).
std::int64_t inflate_some(Inflate &inflate, char *out, std::size_t capacity, const char *&problem);
// Stops reading ahead; the file may then be closed.
void finish_inflate(Inflate &inflate);
// Compressed bytes read so far (ahead of what inflate_some has handed over).
std::uint64_t inflate_file_bytes(const Inflate &inflate);

#endif
