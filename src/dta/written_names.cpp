#include "written_names.h"

#include <climits>
#include <new>

namespace {

constexpr DtaKey kFreeSlot{INT32_MIN, INT32_MIN, INT32_MIN};
constexpr std::size_t kFirstCapacity = 4096;

// The slot a key's search begins at: the high half of a well-mixed hash, scaled to the table.
std::size_t home_slot(DtaKey key, std::size_t capacity) {
    std::uint64_t h = static_cast<std::uint32_t>(key.first) * 0x9e3779b97f4a7c15ULL;
    h = (h ^ static_cast<std::uint32_t>(key.last)) * 0xff51afd7ed558ccdULL;
    h = (h ^ static_cast<std::uint32_t>(key.charge)) * 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 29;
    return static_cast<std::size_t>(((h >> 32) * capacity) >> 32);
}

// The slot that holds key, or the free one where it would go.
std::size_t find_slot(const WrittenNames &names, DtaKey key) {
    std::size_t slot = home_slot(key, names.capacity);
    while (!(names.slots[slot] == kFreeSlot) && !(names.slots[slot] == key)) {
        if (++slot == names.capacity) slot = 0;
    }
    return slot;
}

// A table of capacity slots holding every key of the old one; false without the memory.
bool rebuild(WrittenNames &names, std::size_t capacity) {
    std::unique_ptr<DtaKey[]> slots(new (std::nothrow) DtaKey[capacity]);
    if (!slots) return false;
    for (std::size_t i = 0; i < capacity; ++i) slots[i] = kFreeSlot;
    std::unique_ptr<DtaKey[]> old = std::move(names.slots);
    const std::size_t old_capacity = names.capacity;
    names.slots = std::move(slots);
    names.capacity = capacity;
    for (std::size_t i = 0; i < old_capacity; ++i) {
        if (!(old[i] == kFreeSlot)) names.slots[find_slot(names, old[i])] = old[i];
    }
    return true;
}

}  // namespace

void clear_written_names(WrittenNames &names) {
    for (std::size_t i = 0; i < names.capacity && names.count > 0; ++i) names.slots[i] = kFreeSlot;
    names.count = 0;
    names.holds_free_key = false;
}

bool wrote(const WrittenNames &names, DtaKey key) {
    if (key == kFreeSlot) return names.holds_free_key;
    return names.capacity > 0 && names.slots[find_slot(names, key)] == key;
}

Noted note_written(WrittenNames &names, DtaKey key) {
    if (key == kFreeSlot) {
        const bool again = names.holds_free_key;
        names.holds_free_key = true;
        return again ? Noted::kAgain : Noted::kNew;
    }
    if (names.capacity == 0 && !rebuild(names, kFirstCapacity)) return Noted::kNoRoom;
    std::size_t slot = find_slot(names, key);
    if (names.slots[slot] == key) return Noted::kAgain;
    if (10 * (names.count + 1) > 9 * names.capacity) {  // grown by a fifth: 3/4 full after
        if (!rebuild(names, names.capacity + names.capacity / 5) && names.count + 1 >= names.capacity)
            return Noted::kNoRoom;
        slot = find_slot(names, key);
    }
    names.slots[slot] = key;
    ++names.count;
    return Noted::kNew;
}
