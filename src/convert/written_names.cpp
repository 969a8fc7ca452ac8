#include "written_names.h"

#include <cstring>

namespace {

constexpr int kFilterBits = 4;  // per name, all in one word: one cache miss per file
constexpr std::size_t kFirstTickSlots = 2 * kFirstTickNames;

struct FilterBits {
    std::size_t word;
    std::uint64_t mask;
};

FilterBits filter_bits(std::uint64_t name_hash) {
    std::uint64_t mask = 0;
    for (int i = 0; i < kFilterBits; ++i) mask |= std::uint64_t{1} << ((name_hash >> (6 * i)) & 63);
    return {static_cast<std::size_t>(name_hash >> (64 - kFilterWordsLog2)), mask};
}

// The slot that holds name_hash, or the free one where it would go.
std::size_t first_tick_slot(const WrittenNames &names, std::uint64_t name_hash) {
    std::size_t slot = (name_hash >> 24) % kFirstTickSlots;
    while (names.first_tick[slot] != 0 && names.first_tick[slot] != name_hash)
        slot = (slot + 1) % kFirstTickSlots;
    return slot;
}

}  // namespace

void clear_written_names(WrittenNames &names) {
    if (names.count != 0 || names.first_tick_count != 0) {
        std::memset(names.filter, 0, sizeof names.filter);
        std::memset(names.first_tick, 0, sizeof names.first_tick);
    }
    names.first_tick_count = 0;
    names.count = 0;
    names.first_stamp = kNoStamp;
    names.in_first_tick = true;
    names.first_tick_overflowed = false;
}

bool note_opened(WrittenNames &names, ChangeStamp stamp) {
    if (!names.in_first_tick) return false;
    if (names.first_stamp == kNoStamp) names.first_stamp = stamp;
    // Once the clock has moved on, every later file is stamped later.
    names.in_first_tick = stamp == names.first_stamp;
    return names.in_first_tick;
}

void note_written(WrittenNames &names, NameHash name, bool opened_in_first_tick) {
    const std::uint64_t name_hash = name.value;
    const FilterBits bits = filter_bits(name_hash);
    names.filter[bits.word] |= bits.mask;
    ++names.count;
    if (!opened_in_first_tick) return;
    std::uint64_t &slot = names.first_tick[first_tick_slot(names, name_hash)];
    if (slot == name_hash) return;
    if (names.first_tick_count == kFirstTickNames) {  // the filter must answer for the rest
        names.first_tick_overflowed = true;
        names.in_first_tick = false;
        return;
    }
    slot = name_hash;
    ++names.first_tick_count;
}

bool wrote(const WrittenNames &names, NameHash name, ChangeStamp found_stamp) {
    const std::uint64_t name_hash = name.value;
    if (names.first_stamp == kNoStamp || found_stamp < names.first_stamp) return false;
    if (found_stamp == names.first_stamp && !names.first_tick_overflowed)
        return names.first_tick[first_tick_slot(names, name_hash)] == name_hash;
    const FilterBits bits = filter_bits(name_hash);
    return (names.filter[bits.word] & bits.mask) == bits.mask;
}

NameHash hash_name(const char *path) {
    std::uint64_t h = std::strlen(path);
    for (const char *p = path, *end = path + h; p < end; p += 8) {  // eight bytes at a time
        std::uint64_t word = 0;
        std::memcpy(&word, p, end - p < 8 ? static_cast<std::size_t>(end - p) : 8);
        h = (h ^ word) * 0x9e3779b97f4a7c15ULL;
        h ^= h >> 32;
    }
    h ^= h >> 33;  // MurmurHash3's finaliser
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return {h != 0 ? h : 1};  // 0 marks a free slot
}
