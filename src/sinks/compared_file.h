// The file that stands at a name, compared, byte for byte through one fixed window, with
// what a conversion would write there: for --check, which writes nothing.
#ifndef MS2SPLIT_COMPARED_FILE_H
#define MS2SPLIT_COMPARED_FILE_H

#include <cstddef>
#include <cstdint>

#include "sink.h"

constexpr std::size_t kCompareWindowSize = std::size_t{64} * 1024;

struct ComparedFile {
    int file;                    // open for reading; -1 when none
    Outcome::What verdict;       // so far: kSame, kMissing, kDiffers, kNotAFile or kUnreadable
    int error;                   // errno, for kUnreadable
    std::int64_t size;           // of the file
    std::int64_t compared;       // bytes of it compared so far
    std::int64_t window_offset;  // of window[0] in the file
    std::size_t window_length;   // bytes window holds
    char window[kCompareWindowSize];
};

void open_compared(ComparedFile &compared, const char *path);
// The next bytes a conversion would write; compared until a difference is found.
void compare_bytes(ComparedFile &compared, const char *bytes, std::size_t length);
// The verdict, once every byte was given; closes the file.
Outcome::What close_compared(ComparedFile &compared);

#endif
