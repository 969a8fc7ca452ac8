// Which DTA names a conversion wrote, to tell a file it replaces from one of an earlier run,
// in fixed memory and at a constant cost per file.
//
// What stands at a name carries its change stamp. A file of an earlier run was stamped
// before this conversion made its first file, or in the same tick of the file system's
// clock; one this conversion wrote, then or later. So a file stamped:
// - before the first file's stamp is never this conversion's own;
// - in the first file's tick is its own exactly when its name is among those opened in
//   that tick, which are kept as 64-bit hashes (up to kFirstTickNames of them);
// - later is its own when a Bloom filter of all names written says so; only a file that
//   another process changed during the conversion could fool it.
// Only a clock so coarse that more than kFirstTickNames files share the first tick (whole
// seconds, on some file systems) leaves the first tick to the filter as well.
#ifndef MS2SPLIT_WRITTEN_NAMES_H
#define MS2SPLIT_WRITTEN_NAMES_H

#include <cstddef>
#include <cstdint>

#include "platform.h"

constexpr std::size_t kFirstTickNames = 4096;

struct NameHash {
    std::uint64_t value;  // never 0
};
constexpr int kFilterWordsLog2 = 15;  // 32,768 words of 64 bits: 256 KiB

struct WrittenNames {
    std::uint64_t filter[std::size_t{1} << kFilterWordsLog2];  // blocked Bloom filter
    std::uint64_t first_tick[2 * kFirstTickNames];  // hashes, open addressing; 0: free
    std::size_t first_tick_count;  // names in first_tick
    std::size_t count;             // names noted since the last clear
    ChangeStamp first_stamp;       // of the conversion's first file; kNoStamp before it
    bool in_first_tick;            // files opened now may still share the first stamp
    bool first_tick_overflowed;    // more names shared it than first_tick holds
};

// Forgets every name, for a new conversion.
void clear_written_names(WrittenNames &names);
// Whether a file being opened at this moment may still be stamped in the first tick; only
// then does note_opened need its stamp, which costs a system call.
inline bool needs_stamp(const WrittenNames &names) { return names.in_first_tick; }
// A file was opened now, stamped as given; returns whether it was opened in the first tick.
bool note_opened(WrittenNames &names, ChangeStamp stamp);
// A file of this name, opened in the first tick or not, was completed.
void note_written(WrittenNames &names, NameHash name, bool opened_in_first_tick);
// Whether the file found at a name, with this stamp, is one this conversion wrote.
bool wrote(const WrittenNames &names, NameHash name, ChangeStamp found_stamp);

NameHash hash_name(const char *path);

#endif
