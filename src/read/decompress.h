// Decompression behind one small interface, for gzip and zstd. The gzip format itself (each
// member's header, its data's CRC-32 and length) is read here, in decompress.cpp; only the
// raw deflate data goes to whichever library the build found: Intel's ISA-L where it builds
// (inflate_isal.cpp), zlib elsewhere (inflate_zlib.cpp). zstd frames go to libzstd where the
// build has it. Both run on one loop, and where the system has two cores or more, decoding
// runs ahead on a thread of its own while the caller splits and writes. Several members or
// frames read as one stream; zero bytes after the last are ignored, as gzip ignores them.
#ifndef MS2SPLIT_DECOMPRESS_H
#define MS2SPLIT_DECOMPRESS_H

#include <cstddef>
#include <cstdint>

#include "platform.h"

enum class Format { kPlain, kGzip, kZstd };

// The format the first bytes of an input begin: gzip's 1f 8b, zstd's frame or skippable frame.
Format format_of(const char *head, std::size_t length);
// Whether this build reads zstd.
bool reads_zstd();

// What is wrong with compressed data, in the same words whichever library reads it. Damaged
// data may decode into wrong bytes for a while before the damage shows, or until the
// checksum at its end, after the files of the scans before were written.
struct Problems {
    const char *corrupt;
    const char *bad_checksum;
    const char *cut_short;
    const char *trailing_garbage;  // told after the data, which is whole
    const char *not_it;            // a name of the format, bytes of another
};
extern const Problems kGzipProblems;
extern const Problems kZstdProblems;
inline constexpr char kBadHeaderChecksum[] = "corrupt gzip data: a member's header fails its checksum";
inline constexpr char kNoZstd[] = "zstd data, which this build of ms2split cannot read";

// The library's side of gzip: raw deflate data, one member's at a time, and its CRC-32.
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

// Where the reading of the format stands.
enum class Stage { kHeader, kData, kTrailer, kAfterData, kEnd };

struct ZstdStream;  // libzstd's state
constexpr std::size_t kZstdFrameHeaderMax = 18;  // a frame header's most bytes, its window among them
// The largest window a zstd frame may need: zstd's own default, 128 MiB, which zstd -d keeps
// to as well and every level stays within (--long=28 and beyond do not). Decoding at it took
// 140 MB of memory (a 300 MB input), against 14 MB for level 19's 8 MiB.
constexpr int kZstdWindowLogMax = 27;
struct Decoder {
    Source source;             // the compressed input
    Format format;
    const Problems *problems;  // in the format's words
    RawInflater *raw;          // made on the first gzip input, kept for the next
    ZstdStream *zstd;          // made on the first zstd input, kept for the next
    Stage stage;
    std::uint32_t crc;         // of the gzip member's data so far
    std::uint32_t size;        // of its data so far, modulo 2^32 as gzip keeps it
    const char *failure;       // what ended the data, once the bytes before it are handed over
    int error;                 // errno of a read that failed, when failure is nullptr
    bool failed;               // failure or error tells why the data ended
    std::size_t next;          // the first unused byte of input
    std::size_t end;           // just past the last byte of input read
    std::uint8_t frame_head[kZstdFrameHeaderMax];  // the zstd frame's first bytes, as they pass
    std::size_t frame_head_length;
    char window_problem[192];  // a zstd frame's window beyond kZstdWindowLogMax, in words
    std::uint8_t input[kReadAhead + kCompressedBufferSize];  // after the bytes read before
};

struct DecodeAhead;  // the thread that decodes ahead, and what it has decoded
struct Decompress {
    Decoder decoder;
    DecodeAhead *ahead;  // nullptr: decoding happens in decompress_some itself
};

// Starts reading source, of the format given (gzip or zstd), from its first byte.
void start_decompress(Decompress &decompress, const Source &source, Format format);
// Decompresses up to capacity bytes into out. Returns their count; 0 at the end of the data,
// where problem is nullptr or, if bytes other than zeros follow the last member or frame,
// its trailing_garbage; -1 when the input cannot be read (errno set) or its data is corrupt
// or cut short (problem set to what is wrong).
std::int64_t decompress_some(Decompress &decompress, char *out, std::size_t capacity, const char *&problem);
// Stops reading ahead; the file may then be closed.
void finish_decompress(Decompress &decompress);
// Compressed bytes read so far (ahead of what decompress_some has handed over).
std::uint64_t decompress_file_bytes(const Decompress &decompress);

#endif
