// A file's bytes on their way out: gathered so that every write but a file's last carries at
// least kGatherSize bytes (a file costs at most one write per 64 KiB of its bytes, plus one),
// with line ends made CR LF where DTA files' lines end so. The caller writes what comes out.
#ifndef MS2SPLIT_GATHER_H
#define MS2SPLIT_GATHER_H

#include <cstddef>

#include "dta_file.h"
#include "platform.h"

constexpr std::size_t kGatherSize = std::size_t{64} * 1024;

struct Gather {
    bool crlf;            // LF becomes CR LF
    char previous;        // the last byte taken: a CR before a LF keeps it one line end
    std::size_t length;   // of bytes, waiting
    char bytes[kGatherSize];
};

// Starts a file.
void start_gather(Gather &gather);
// Takes what it can of the bytes, moving bytes and length past it, and returns how many of
// parts must be written now, before anything more is taken: 0 while what it took waits.
int gather_bytes(Gather &gather, const char *&bytes, std::size_t &length, Part (&parts)[2]);
// What waits, at the file's end, to be written; the gather is then empty.
Part gathered(Gather &gather);

#endif
