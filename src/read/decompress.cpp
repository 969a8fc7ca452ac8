// Reading gzip and zstd on one loop. gzip: each member's header, its raw deflate data
// through the library, and its trailer, checked against the data's CRC-32 and length; zstd:
// frames, skippable ones included, through libzstd, which checks a frame's checksum. After
// the last member or frame: the end of the input, zero bytes to the end, or trailing
// garbage. Decoding runs ahead on a thread of its own, into a ring of slots that the caller
// empties in turn while the thread fills the others: 256 KiB ahead in slots of 32 KiB, so
// that neither side waits on the other for long. The slots are the only state the two
// threads share, each owned by one side at a time and passed under the lock.
#include "decompress.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#ifdef MS2SPLIT_ZSTD
#include <zstd.h>
#include <zstd_errors.h>
#endif

const Problems kGzipProblems = {
    "corrupt gzip data: DTA files written from it may hold wrong bytes",
    "gzip data fails its checksum: DTA files written from it may hold wrong bytes",
    "gzip data cut short: DTA files written from it may hold wrong bytes",
    "trailing garbage after the gzip data: neither gzip nor zeros; if it is damaged gzip, the "
    "DTA files of the last scan may be short",
    "not gzip data, though its name ends in .gz"};
const Problems kZstdProblems = {
    "corrupt zstd data: DTA files written from it may hold wrong bytes",
    "zstd data fails its checksum: DTA files written from it may hold wrong bytes",
    "zstd data cut short: DTA files written from it may hold wrong bytes",
    "trailing garbage after the zstd data: neither zstd nor zeros; if it is damaged zstd, the "
    "DTA files of the last scan may be short",
    "not zstd data, though its name ends in .zst"};

namespace {

constexpr std::uint8_t kFlagExtra = 4, kFlagName = 8, kFlagComment = 16, kFlagHeaderCrc = 2;
constexpr std::uint8_t kReservedFlags = 0xe0;
constexpr std::uint8_t kDeflate = 8;  // the only compression method gzip has

void fail(Decoder &decoder, const char *failure) {
    decoder.failure = failure;
    decoder.error = failure != nullptr ? 0 : errno;
    decoder.failed = true;
}

// Makes at least one byte of input available; false at the end of the input or after a
// failed read (failed then set).
bool fill(Decoder &decoder) {
    if (decoder.next < decoder.end) return true;
    std::memmove(decoder.input, decoder.input + decoder.end - kReadAhead, kReadAhead);
    const std::int64_t got = read_source(decoder.source, reinterpret_cast<char *>(decoder.input) + kReadAhead,
                                         kCompressedBufferSize);
    if (got < 0) fail(decoder, nullptr);
    if (got <= 0) return false;
    decoder.next = kReadAhead;
    decoder.end = kReadAhead + static_cast<std::size_t>(got);
    return true;
}

// The bytes after the last member or frame: zeros to the end are ignored; anything else is
// trailing garbage, which leaves every byte decoded before it whole.
void read_trailing_bytes(Decoder &decoder) {
    while (fill(decoder)) {
        const std::uint8_t *bytes = decoder.input + decoder.next;
        const std::size_t length = decoder.end - decoder.next;
        for (std::size_t i = 0; i < length; ++i) {
            if (bytes[i] != 0) {
                fail(decoder, decoder.problems->trailing_garbage);
                return;
            }
        }
        decoder.next = decoder.end;
    }
    if (!decoder.failed) decoder.stage = Stage::kEnd;
}

// Takes length bytes of the header into out (unless nullptr), adding them to crc; false, with
// failed set, when the input ends or cannot be read first.
bool take(Decoder &decoder, std::uint8_t *out, std::size_t length, std::uint32_t &crc) {
    while (length > 0) {
        if (!fill(decoder)) {
            if (!decoder.failed) fail(decoder, decoder.problems->cut_short);
            return false;
        }
        const std::size_t available = decoder.end - decoder.next;
        const std::size_t taken = available < length ? available : length;
        const std::uint8_t *bytes = decoder.input + decoder.next;
        crc = update_crc32(crc, bytes, taken);
        if (out != nullptr) std::memcpy(out, bytes, taken), out += taken;
        decoder.next += taken;
        length -= taken;
    }
    return true;
}

// Passes over a zero-terminated field of the header (a name or a comment), of any length.
bool take_string(Decoder &decoder, std::uint32_t &crc) {
    std::uint8_t byte = 1;
    while (byte != 0) {
        if (!take(decoder, &byte, 1, crc)) return false;
    }
    return true;
}

std::uint32_t little_endian(const std::uint8_t *bytes, int count) {
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
    return value;
}

// A gzip member's header, with every optional field gzip allows; false, with failed set,
// when it is not one.
bool read_header(Decoder &decoder) {
    std::uint32_t crc = 0;
    std::uint8_t fixed[10];
    if (!take(decoder, fixed, sizeof fixed, crc)) return false;
    const std::uint8_t flags = fixed[3];
    if (fixed[0] != 0x1f || fixed[1] != 0x8b || fixed[2] != kDeflate || (flags & kReservedFlags) != 0) {
        fail(decoder, decoder.problems->corrupt);
        return false;
    }
    std::uint8_t field[2];
    if ((flags & kFlagExtra) != 0 &&
        !(take(decoder, field, 2, crc) && take(decoder, nullptr, little_endian(field, 2), crc)))
        return false;
    if ((flags & kFlagName) != 0 && !take_string(decoder, crc)) return false;
    if ((flags & kFlagComment) != 0 && !take_string(decoder, crc)) return false;
    if ((flags & kFlagHeaderCrc) != 0) {
        const std::uint32_t header_crc = crc & 0xffff;  // of every byte before it
        if (!take(decoder, field, 2, crc)) return false;
        if (little_endian(field, 2) != header_crc) {
            fail(decoder, kBadHeaderChecksum);
            return false;
        }
    }
    restart_raw_inflate(*decoder.raw);
    decoder.crc = decoder.size = 0;
    return true;
}

// The member's data into out; returns the count made. At the data's end the stage moves on.
std::size_t read_data(Decoder &decoder, std::uint8_t *out, std::size_t capacity) {
    if (!fill(decoder)) {
        if (!decoder.failed) fail(decoder, decoder.problems->cut_short);
        return 0;
    }
    const std::uint8_t *in = decoder.input + decoder.next;
    std::size_t in_length = decoder.end - decoder.next;
    std::uint8_t *made = out;
    std::size_t room = capacity;
    const RawStatus status = raw_inflate(*decoder.raw, in, in_length, made, room);
    decoder.next = decoder.end - in_length;
    const auto count = static_cast<std::size_t>(made - out);
    decoder.crc = update_crc32(decoder.crc, out, count);
    decoder.size += static_cast<std::uint32_t>(count);
    if (status == RawStatus::kEnd) decoder.stage = Stage::kTrailer;
    if (status == RawStatus::kCorrupt) fail(decoder, decoder.problems->corrupt);
    return count;
}

// The CRC-32 and length of the data, as the member's last eight bytes give them.
void read_trailer(Decoder &decoder) {
    std::uint32_t ignored = 0;
    std::uint8_t trailer[8];
    if (!take(decoder, trailer, sizeof trailer, ignored)) return;
    if (little_endian(trailer, 4) != decoder.crc || little_endian(trailer + 4, 4) != decoder.size) {
        fail(decoder, decoder.problems->bad_checksum);
        return;
    }
    decoder.stage = Stage::kAfterData;
}

// After a member: the end of the input, another member, or the trailing bytes.
void read_after_member(Decoder &decoder) {
    if (!fill(decoder)) {
        if (!decoder.failed) decoder.stage = Stage::kEnd;
        return;
    }
    if (decoder.input[decoder.next] != 0x1f) {
        read_trailing_bytes(decoder);
        return;
    }
    ++decoder.next;  // another member, if 0x8b follows
    const bool member = fill(decoder) && decoder.input[decoder.next] == 0x8b;
    if (decoder.failed) return;
    if (!member) {
        fail(decoder, decoder.problems->trailing_garbage);
        return;
    }
    --decoder.next;  // the bytes before next are always kept
    decoder.stage = Stage::kHeader;
}

// One step of gzip: at most one call into the library. Returns the bytes made.
std::size_t gzip_step(Decoder &decoder, std::uint8_t *out, std::size_t capacity) {
    switch (decoder.stage) {
        case Stage::kHeader:
            if (read_header(decoder)) decoder.stage = Stage::kData;
            return 0;
        case Stage::kData: return read_data(decoder, out, capacity);
        case Stage::kTrailer: read_trailer(decoder); return 0;
        case Stage::kAfterData: read_after_member(decoder); return 0;
        case Stage::kEnd: return 0;
    }
    return 0;
}

#ifdef MS2SPLIT_ZSTD
}  // namespace

struct ZstdStream {
    ZSTD_DStream *stream;
};

namespace {

bool is_zstd_frame_start(std::uint8_t first) { return first == 0x28 || (first & 0xf0) == 0x50; }

// The window a zstd frame needs, from its first bytes (RFC 8878, 3.1.1.1); 0 if they do not
// hold it.
std::uint64_t zstd_window(const std::uint8_t *head, std::size_t length) {
    if (length < 6 || little_endian(head, 4) != 0xfd2fb528) return 0;
    const std::uint8_t descriptor = head[4];
    if ((descriptor & 0x20) == 0) {  // a window descriptor: 2^(10 + exponent), plus eighths
        const std::uint64_t base = std::uint64_t{1} << (10 + (head[5] >> 3));
        return base + base / 8 * (head[5] & 7);
    }
    // A single segment: the window is the content's size, which follows the dictionary ID.
    const std::size_t at = 5 + (descriptor & 3) + ((descriptor & 3) == 3);
    const std::size_t count = std::size_t{1} << (descriptor >> 6);
    if (length < at + count) return 0;
    std::uint64_t size = 0;
    for (std::size_t i = count; i > 0; --i) size = size << 8 | head[at + i - 1];
    return count == 2 ? size + 256 : size;
}

// Keeps the frame's first bytes, which hold its header: the bytes from next on are the
// frame's next ones, while the header is being read.
void keep_frame_head(Decoder &decoder) {
    const std::size_t wanted = kZstdFrameHeaderMax - decoder.frame_head_length;
    const std::size_t count = decoder.end - decoder.next < wanted ? decoder.end - decoder.next : wanted;
    std::memcpy(decoder.frame_head + decoder.frame_head_length, decoder.input + decoder.next, count);
    decoder.frame_head_length += count;
}

// What a libzstd error means to the user: memory, a window beyond the limit (and how to get
// past it), the checksum, or damage.
void fail_zstd(Decoder &decoder, ZSTD_ErrorCode code) {
    if (code == ZSTD_error_memory_allocation) {
        errno = ENOMEM;
        fail(decoder, nullptr);
    } else if (code == ZSTD_error_frameParameter_windowTooLarge) {
        const std::uint64_t mebibytes = (zstd_window(decoder.frame_head, decoder.frame_head_length) + (1 << 20) - 1) >> 20;
        (void)std::snprintf(decoder.window_problem, sizeof decoder.window_problem,
                            "zstd data needs a %llu MiB window, more than the %d MiB this program allows: "
                            "decompress it first, with 'zstd -d --memory=%lluMB'",
                            static_cast<unsigned long long>(mebibytes), 1 << (kZstdWindowLogMax - 20),
                            static_cast<unsigned long long>(mebibytes));
        fail(decoder, decoder.window_problem);
    } else {
        fail(decoder, code == ZSTD_error_checksum_wrong ? decoder.problems->bad_checksum : decoder.problems->corrupt);
    }
}

// One step of zstd: a frame's bytes while in one (kData); between frames (kAfterData), the
// end, another frame, or the trailing bytes. Returns the bytes made.
std::size_t zstd_step(Decoder &decoder, std::uint8_t *out, std::size_t capacity) {
    if (!fill(decoder)) {
        if (decoder.failed) return 0;
        if (decoder.stage == Stage::kData) fail(decoder, decoder.problems->cut_short);
        decoder.stage = Stage::kEnd;
        return 0;
    }
    if (decoder.stage == Stage::kAfterData && !is_zstd_frame_start(decoder.input[decoder.next])) {
        read_trailing_bytes(decoder);
        return 0;
    }
    if (decoder.stage == Stage::kAfterData) decoder.frame_head_length = 0;
    if (decoder.frame_head_length < kZstdFrameHeaderMax) keep_frame_head(decoder);
    ZSTD_inBuffer in{decoder.input + decoder.next, decoder.end - decoder.next, 0};
    ZSTD_outBuffer made{out, capacity, 0};
    const std::size_t left = ZSTD_decompressStream(decoder.zstd->stream, &made, &in);
    decoder.next += in.pos;
    if (ZSTD_isError(left)) {
        fail_zstd(decoder, ZSTD_getErrorCode(left));
    } else {
        decoder.stage = left == 0 ? Stage::kAfterData : Stage::kData;  // 0: a frame ends here
    }
    return made.pos;
}

bool start_zstd(Decoder &decoder) {
    if (decoder.zstd == nullptr) {  // kept for the program's life
        ZSTD_DStream *stream = ZSTD_createDStream();
        if (stream != nullptr) (void)ZSTD_DCtx_setParameter(stream, ZSTD_d_windowLogMax, kZstdWindowLogMax);
        if (stream != nullptr) decoder.zstd = new (std::nothrow) ZstdStream{stream};
    }
    return decoder.zstd != nullptr && !ZSTD_isError(ZSTD_DCtx_reset(decoder.zstd->stream, ZSTD_reset_session_only));
}
#else
std::size_t zstd_step(Decoder &decoder, std::uint8_t *, std::size_t) {
    fail(decoder, kNoZstd);
    return 0;
}

bool start_zstd(Decoder &) { return true; }
#endif

void start_decoding(Decoder &decoder, const Source &source, Format format) {
    decoder.source = source;
    decoder.format = format;
    decoder.problems = format == Format::kZstd ? &kZstdProblems : &kGzipProblems;
    decoder.next = decoder.end = kReadAhead;
    decoder.stage = format == Format::kZstd ? Stage::kAfterData : Stage::kHeader;
    decoder.failure = nullptr;
    decoder.error = 0;
    if (format == Format::kGzip && decoder.raw == nullptr) decoder.raw = new_raw_inflater();  // kept
    decoder.failed = format == Format::kZstd ? !start_zstd(decoder) : decoder.raw == nullptr;
    if (decoder.failed) decoder.error = ENOMEM;
}

// As decompress_some: the bytes before a failure are handed over first, and the failure is
// told by the next call, and every call after it.
std::int64_t decode_some(Decoder &decoder, char *out, std::size_t capacity, const char *&problem) {
    auto *bytes = reinterpret_cast<std::uint8_t *>(out);
    std::size_t made = 0;
    while (made == 0 && !decoder.failed && decoder.stage != Stage::kEnd)
        made = decoder.format == Format::kZstd ? zstd_step(decoder, bytes, capacity)
                                               : gzip_step(decoder, bytes, capacity);
    if (made > 0) return static_cast<std::int64_t>(made);
    problem = decoder.failure;
    errno = decoder.error;
    return decoder.failed && decoder.failure != decoder.problems->trailing_garbage ? -1 : 0;
}

}  // namespace

Format format_of(const char *head, std::size_t length) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(head);
    if (length >= 2 && bytes[0] == 0x1f && bytes[1] == 0x8b) return Format::kGzip;
    const bool frame = length >= 4 && bytes[1] == 0xb5 && bytes[2] == 0x2f && bytes[3] == 0xfd && bytes[0] == 0x28;
    const bool skippable = length >= 4 && (bytes[0] & 0xf0) == 0x50 && bytes[1] == 0x2a && bytes[2] == 0x4d &&
                           bytes[3] == 0x18;
    return frame || skippable ? Format::kZstd : Format::kPlain;
}

bool reads_zstd() {
#ifdef MS2SPLIT_ZSTD
    return true;
#else
    return false;
#endif
}

namespace {

constexpr std::size_t kSlotSize = std::size_t{128} * 1024;
constexpr int kSlots = 4;

struct Slot {
    std::int64_t length;   // bytes decoded; 0: the end of the data; -1: a failure
    std::size_t taken;     // bytes handed over so far
    const char *problem;   // of a failure
    int error;             // errno of a failure
    char bytes[kSlotSize];
};

}  // namespace

struct DecodeAhead {
    std::mutex lock;
    std::condition_variable changed;
    int ready;                              // slots decoded, not yet handed over whole
    int next_to_fill;                       // the decoder's slot
    int next_to_take;                       // the caller's
    bool stop;                              // the caller is done with the input
    std::atomic<std::uint64_t> file_bytes;  // compressed bytes read by the decoder
    std::thread worker;
    Slot slots[kSlots];
};

namespace {

void decode_ahead(Decompress *decompress) {
    block_interruptions();  // they are handled where the files are written
    DecodeAhead &ahead = *decompress->ahead;
    for (;;) {
        std::unique_lock<std::mutex> held(ahead.lock);
        ahead.changed.wait(held, [&ahead] { return ahead.ready < kSlots || ahead.stop; });
        if (ahead.stop) return;
        Slot &slot = ahead.slots[ahead.next_to_fill];
        held.unlock();  // the slot is the decoder's until it is counted ready
        slot.taken = 0;
        slot.problem = nullptr;
        slot.length = decode_some(decompress->decoder, slot.bytes, kSlotSize, slot.problem);
        slot.error = errno;
        held.lock();
        ahead.file_bytes = decompress->decoder.source.taken;
        ahead.next_to_fill = (ahead.next_to_fill + 1) % kSlots;
        ++ahead.ready;
        ahead.changed.notify_all();
        if (slot.length <= 0) return;
    }
}

// Starts the thread; false where the system cannot, or has one core only.
// cppcheck-suppress constParameter ; the thread decodes through it
bool start_ahead(Decompress &decompress) {
    if (std::thread::hardware_concurrency() < 2) return false;
    if (decompress.ahead == nullptr) decompress.ahead = new (std::nothrow) DecodeAhead{};
    if (decompress.ahead == nullptr) return false;
    DecodeAhead &ahead = *decompress.ahead;
    ahead.ready = ahead.next_to_fill = ahead.next_to_take = 0;
    ahead.stop = false;
    ahead.file_bytes = decompress.decoder.source.taken;
    try {
        ahead.worker = std::thread(decode_ahead, &decompress);
    } catch (const std::exception &) {  // no thread (or memory for one) to be had: decode in turn
        return false;
    }
    return true;
}

}  // namespace

void start_decompress(Decompress &decompress, const Source &source, Format format) {
    start_decoding(decompress.decoder, source, format);
    if (!start_ahead(decompress) && decompress.ahead != nullptr) {
        delete decompress.ahead;
        decompress.ahead = nullptr;
    }
}

std::int64_t decompress_some(Decompress &decompress, char *out, std::size_t capacity, const char *&problem) {
    if (decompress.ahead == nullptr) return decode_some(decompress.decoder, out, capacity, problem);
    DecodeAhead &ahead = *decompress.ahead;
    std::unique_lock<std::mutex> held(ahead.lock);
    ahead.changed.wait(held, [&ahead] { return ahead.ready > 0; });
    Slot &slot = ahead.slots[ahead.next_to_take];
    held.unlock();  // the slot is the caller's until it is handed back
    if (slot.length <= 0) {  // the end, or a failure: it stays for every later call
        problem = slot.problem;
        errno = slot.error;
        return slot.length;
    }
    const std::size_t left = static_cast<std::size_t>(slot.length) - slot.taken;
    const std::size_t count = left < capacity ? left : capacity;
    std::memcpy(out, slot.bytes + slot.taken, count);
    slot.taken += count;
    if (slot.taken == static_cast<std::size_t>(slot.length)) {
        held.lock();
        ahead.next_to_take = (ahead.next_to_take + 1) % kSlots;
        --ahead.ready;
        ahead.changed.notify_all();
    }
    return static_cast<std::int64_t>(count);
}

void finish_decompress(Decompress &decompress) {
    if (decompress.ahead == nullptr || !decompress.ahead->worker.joinable()) return;
    {
        const std::lock_guard<std::mutex> held(decompress.ahead->lock);
        decompress.ahead->stop = true;
        decompress.ahead->changed.notify_all();
    }
    decompress.ahead->worker.join();
}

std::uint64_t decompress_file_bytes(const Decompress &decompress) {
    return decompress.ahead != nullptr ? decompress.ahead->file_bytes.load() : decompress.decoder.source.taken;
}

