// Decoding gzip ahead, on a thread of its own, into a ring of slots that the caller empties
// in turn while the thread fills the others: 256 KiB ahead in slots of 32 KiB, which the
// reader takes 64 KiB at a time, so that neither side waits on the other for long. The
// slots are the only state the two threads share, each owned by one side at a time and
// passed under the lock.
#include "inflate.h"

#include <cerrno>
#include <cstring>

#include "platform.h"

// MinGW's win32 thread model has neither std::thread nor std::mutex: decode in turn there.
#if defined(__GLIBCXX__) && !defined(_GLIBCXX_HAS_GTHREADS)

struct InflateAhead {};

void start_inflate(Inflate &inflate, int file, const char *head, std::size_t head_length) {
    start_decoding(inflate.decoder, file, head, head_length);
}

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

void start_inflate(Inflate &inflate, int file, const char *head, std::size_t head_length) {
    start_decoding(inflate.decoder, file, head, head_length);
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
