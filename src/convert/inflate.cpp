// Reading gzip: each member's header, its raw deflate data through the library, and its
// trailer, checked against the data's CRC-32 and length; then another member, zero bytes to
// the end of the file, or trailing garbage. Decoding runs ahead on a thread of its own, into
// a ring of slots that the caller empties in turn while the thread fills the others: 256 KiB
// ahead in slots of 32 KiB, so that neither side waits on the other for long. The slots are
// the only state the two threads share, each owned by one side at a time and passed under
// the lock.
#include "inflate.h"

#include <cerrno>
#include <cstring>

#include "platform.h"

namespace {

constexpr std::uint8_t kFlagExtra = 4, kFlagName = 8, kFlagComment = 16, kFlagHeaderCrc = 2;
constexpr std::uint8_t kReservedFlags = 0xe0;
constexpr std::uint8_t kDeflate = 8;  // the only compression method gzip has

void fail(Decoder &decoder, const char *failure) {
    decoder.failure = failure;
    decoder.error = failure != nullptr ? 0 : errno;
    decoder.failed = true;
}

// Makes at least one byte of input available; false at the end of the file or after a
// failed read (failed then set).
bool fill(Decoder &decoder) {
    if (decoder.next < decoder.end) return true;
    std::memmove(decoder.input, decoder.input + decoder.end - kReadAhead, kReadAhead);
    const std::int64_t got = read_file_at(decoder.file, static_cast<std::int64_t>(decoder.file_bytes),
                                          reinterpret_cast<char *>(decoder.input) + kReadAhead,
                                          kCompressedBufferSize);
    if (got < 0) fail(decoder, nullptr);
    if (got <= 0) return false;
    decoder.file_bytes += static_cast<std::uint64_t>(got);
    decoder.next = kReadAhead;
    decoder.end = kReadAhead + static_cast<std::size_t>(got);
    return true;
}

// Takes length bytes of the header into out (unless nullptr), adding them to crc; false, with
// failed set, when the file ends or cannot be read first.
bool take(Decoder &decoder, std::uint8_t *out, std::size_t length, std::uint32_t &crc) {
    while (length > 0) {
        if (!fill(decoder)) {
            if (!decoder.failed) fail(decoder, kCutShort);
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

// A member's header, with every optional field gzip allows; false, with failed set, when it
// is not one.
bool read_header(Decoder &decoder) {
    std::uint32_t crc = 0;
    std::uint8_t fixed[10];
    if (!take(decoder, fixed, sizeof fixed, crc)) return false;
    const std::uint8_t flags = fixed[3];
    if (!is_gzip(reinterpret_cast<const char *>(fixed), 2) || fixed[2] != kDeflate ||
        (flags & kReservedFlags) != 0) {
        fail(decoder, kCorrupt);
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
        if (!decoder.failed) fail(decoder, kCutShort);
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
    if (status == RawStatus::kEnd) decoder.stage = GzipStage::kTrailer;
    if (status == RawStatus::kCorrupt) fail(decoder, kCorrupt);
    return count;
}

// The CRC-32 and length of the data, as the member's last eight bytes give them.
void read_trailer(Decoder &decoder) {
    std::uint32_t ignored = 0;
    std::uint8_t trailer[8];
    if (!take(decoder, trailer, sizeof trailer, ignored)) return;
    if (little_endian(trailer, 4) != decoder.crc || little_endian(trailer + 4, 4) != decoder.size) {
        fail(decoder, kBadChecksum);
        return;
    }
    decoder.stage = GzipStage::kAfterMember;
}

// After a member: the end of the file, another member, or zeros to the end; anything else
// is trailing garbage, which leaves every byte decoded before it good.
void read_after_member(Decoder &decoder) {
    if (!fill(decoder)) {
        if (!decoder.failed) decoder.stage = GzipStage::kEnd;
        return;
    }
    if (decoder.input[decoder.next] == 0x1f) {  // another member, if 0x8b follows
        ++decoder.next;
        const bool member = fill(decoder) && decoder.input[decoder.next] == 0x8b;
        if (decoder.failed) return;
        if (member) {
            --decoder.next;  // the bytes before next are always kept
            decoder.stage = GzipStage::kHeader;
            return;
        }
        fail(decoder, kTrailingGarbage);
        return;
    }
    while (fill(decoder)) {
        const std::uint8_t *bytes = decoder.input + decoder.next;
        const std::size_t length = decoder.end - decoder.next;
        for (std::size_t i = 0; i < length; ++i) {
            if (bytes[i] != 0) {
                fail(decoder, kTrailingGarbage);
                return;
            }
        }
        decoder.next = decoder.end;
    }
    if (!decoder.failed) decoder.stage = GzipStage::kEnd;
}

// One step of the format: at most one call into the library. Returns the bytes made.
std::size_t decode_step(Decoder &decoder, std::uint8_t *out, std::size_t capacity) {
    switch (decoder.stage) {
        case GzipStage::kHeader:
            if (read_header(decoder)) decoder.stage = GzipStage::kData;
            return 0;
        case GzipStage::kData: return read_data(decoder, out, capacity);
        case GzipStage::kTrailer: read_trailer(decoder); return 0;
        case GzipStage::kAfterMember: read_after_member(decoder); return 0;
        case GzipStage::kEnd: return 0;
    }
    return 0;
}

void start_decoding(Decoder &decoder, int file) {
    if (decoder.raw == nullptr) decoder.raw = new_raw_inflater();  // kept for the program's life
    decoder.file = file;
    decoder.file_bytes = 0;
    decoder.next = decoder.end = kReadAhead;
    decoder.stage = GzipStage::kHeader;
    decoder.failure = nullptr;
    decoder.error = 0;
    decoder.failed = decoder.raw == nullptr;
    if (decoder.failed) decoder.error = ENOMEM;
}

// As inflate_some: the bytes before a failure are handed over first, and the failure is
// told by the next call, and every call after it.
std::int64_t decode_some(Decoder &decoder, char *out, std::size_t capacity, const char *&problem) {
    auto *bytes = reinterpret_cast<std::uint8_t *>(out);
    std::size_t made = 0;
    while (made == 0 && !decoder.failed && decoder.stage != GzipStage::kEnd)
        made = decode_step(decoder, bytes, capacity);
    if (made > 0) return static_cast<std::int64_t>(made);
    problem = decoder.failure;
    errno = decoder.error;
    return decoder.failed && decoder.failure != kTrailingGarbage ? -1 : 0;
}

}  // namespace

// MinGW's win32 thread model has neither std::thread nor std::mutex: decode in turn there.
#if defined(__GLIBCXX__) && !defined(_GLIBCXX_HAS_GTHREADS)

struct InflateAhead {};

void start_inflate(Inflate &inflate, int file) { start_decoding(inflate.decoder, file); }

std::int64_t inflate_some(Inflate &inflate, char *out, std::size_t capacity, const char *&problem) {
    return decode_some(inflate.decoder, out, capacity, problem);
}

void finish_inflate(Inflate &) {}

std::uint64_t inflate_file_bytes(const Inflate &inflate) { return inflate.decoder.file_bytes; }

#else

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace {

constexpr std::size_t kSlotSize = std::size_t{32} * 1024;
constexpr int kSlots = 8;

struct Slot {
    std::int64_t length;   // bytes decoded; 0: the end of the data; -1: a failure
    std::size_t taken;     // bytes handed over so far
    const char *problem;   // of a failure
    int error;             // errno of a failure
    char bytes[kSlotSize];
};

}  // namespace

struct InflateAhead {
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

void decode_ahead(Inflate *inflate) {
    block_interruptions();  // they are handled where the files are written
    InflateAhead &ahead = *inflate->ahead;
    for (;;) {
        std::unique_lock<std::mutex> held(ahead.lock);
        ahead.changed.wait(held, [&ahead] { return ahead.ready < kSlots || ahead.stop; });
        if (ahead.stop) return;
        Slot &slot = ahead.slots[ahead.next_to_fill];
        held.unlock();  // the slot is the decoder's until it is counted ready
        slot.taken = 0;
        slot.problem = nullptr;
        slot.length = decode_some(inflate->decoder, slot.bytes, kSlotSize, slot.problem);
        slot.error = errno;
        held.lock();
        ahead.file_bytes = inflate->decoder.file_bytes;
        ahead.next_to_fill = (ahead.next_to_fill + 1) % kSlots;
        ++ahead.ready;
        ahead.changed.notify_all();
        if (slot.length <= 0) return;
    }
}

// Starts the thread; false where the system cannot, or has one core only.
// cppcheck-suppress constParameter ; the thread decodes through it
bool start_ahead(Inflate &inflate) {
    if (std::thread::hardware_concurrency() < 2) return false;
    if (inflate.ahead == nullptr) inflate.ahead = new (std::nothrow) InflateAhead{};
    if (inflate.ahead == nullptr) return false;
    InflateAhead &ahead = *inflate.ahead;
    ahead.ready = ahead.next_to_fill = ahead.next_to_take = 0;
    ahead.stop = false;
    ahead.file_bytes = inflate.decoder.file_bytes;
    try {
        ahead.worker = std::thread(decode_ahead, &inflate);
    } catch (const std::system_error &) {  // no thread to be had: decode in turn
        return false;
    }
    return true;
}

}  // namespace

void start_inflate(Inflate &inflate, int file) {
    start_decoding(inflate.decoder, file);
    if (!start_ahead(inflate) && inflate.ahead != nullptr) {
        delete inflate.ahead;
        inflate.ahead = nullptr;
    }
}

std::int64_t inflate_some(Inflate &inflate, char *out, std::size_t capacity, const char *&problem) {
    if (inflate.ahead == nullptr) return decode_some(inflate.decoder, out, capacity, problem);
    InflateAhead &ahead = *inflate.ahead;
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

void finish_inflate(Inflate &inflate) {
    if (inflate.ahead == nullptr || !inflate.ahead->worker.joinable()) return;
    {
        const std::lock_guard<std::mutex> held(inflate.ahead->lock);
        inflate.ahead->stop = true;
        inflate.ahead->changed.notify_all();
    }
    inflate.ahead->worker.join();
}

std::uint64_t inflate_file_bytes(const Inflate &inflate) {
    return inflate.ahead != nullptr ? inflate.ahead->file_bytes.load() : inflate.decoder.file_bytes;
}

#endif
