// What differs between POSIX systems and Windows, behind one interface: platform_posix.cpp
// and platform_windows.cpp each implement it, and the build compiles the one that fits.
#ifndef MS2SPLIT_PLATFORM_H
#define MS2SPLIT_PLATFORM_H

#include <cstdint>
#include <cstdio>

// Opens a regular file for binary reading; nullptr for anything else (a directory, a FIFO,
// a device) or when it cannot be opened. Never blocks.
std::FILE *open_regular_file(const char *name);

// Moves a binary stream to a 64-bit offset.
bool seek_file(std::FILE *file, std::int64_t position);

// The last component of a path: what follows the last '/' (on Windows also the last '\', or
// a drive's "X:"), so that a stem's last component can begin a file name.
const char *last_path_component(const char *path);

// True where a stream opened in text mode writes each '\n' as CR LF.
bool text_mode_writes_crlf();

#endif
