// Which DTA files a conversion wrote, exactly: the scan numbers and charge of each, which
// its name is made of, so that a file it replaces is known to be its own without looking at
// the file, whatever the file system's clock. An open-addressing table of 12-byte keys, kept
// between 3/4 and 9/10 full: at most 16 bytes per DTA file, and 48 KiB to begin with.
#ifndef MS2SPLIT_WRITTEN_NAMES_H
#define MS2SPLIT_WRITTEN_NAMES_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "dta_file.h"

struct WrittenNames {
    std::unique_ptr<DtaKey[]> slots;  // free slots hold kFreeSlot
    std::size_t capacity;             // slots
    std::size_t count;                // keys held, kFreeSlot's own among them
    bool holds_free_key;              // kFreeSlot itself was written
};

enum class Noted { kNew, kAgain, kNoRoom };

// Forgets every name, for a new conversion; the table keeps its size.
void clear_written_names(WrittenNames &names);
bool wrote(const WrittenNames &names, DtaKey key);
// Notes a file written; kAgain if one of the same name was written before, kNoRoom if there
// was no memory to keep it.
Noted note_written(WrittenNames &names, DtaKey key);

#endif
