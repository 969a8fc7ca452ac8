// What differs between POSIX systems and Windows, behind one interface: platform_posix.cpp
// and platform_windows.cpp each implement it, and the build compiles the one that fits.
#ifndef MS2SPLIT_PLATFORM_H
#define MS2SPLIT_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>

// What tells two names of one file apart from two files: device and inode on POSIX, volume
// and file index on Windows.
struct FileIdentity {
    std::uint64_t device;
    std::uint64_t index;
};

inline bool same_file(const FileIdentity &a, const FileIdentity &b) {
    return a.device == b.device && a.index == b.index;
}

// Names are UTF-8 throughout the program. On Windows they are converted at this seam, and a
// path too long for the classic limit of 260 characters is made absolute and given the
// \\?\ prefix, which lifts it; elsewhere they pass as they are.

#ifdef _WIN32
// The arguments as Windows hands them over (UTF-16, patterns expanded), in UTF-8; a lone
// surrogate, which Windows allows in names, is kept as its three bytes (WTF-8).
char **utf8_arguments(int argc, wchar_t **argv);
#endif

// A path for std::filesystem.
std::filesystem::path native_path(const char *path);

// Opens a regular file for reading and returns its descriptor; -1 for anything else (a
// directory, a FIFO, a device) or when it cannot be opened. Never blocks.
int open_regular_file(const char *name);
void close_file(int file);
// Which file a descriptor reads; all zero when that cannot be told.
FileIdentity identify_file(int file);
// Reads up to length bytes from a 64-bit offset, without moving any file position. Returns
// the count read, 0 at the end of the file, or -1 with errno set.
std::int64_t read_file_at(int file, std::int64_t offset, char *buffer, std::size_t length);

// The last component of a path: what follows the last '/' (on Windows also the last '\', or
// a drive's "X:"), so that a stem's last component can begin a file name.
const char *last_path_component(const char *path);

// Writes text to standard output or standard error: as it is, but to a Windows console as
// the characters its UTF-8 stands for. False when it could not be written.
bool write_text(std::FILE *stream, const char *text);

// True where a file opened for output writes each '\n' as CR LF (text mode).
bool text_mode_writes_crlf();

// A DTA file being written.
struct OutputFile {
    int descriptor;  // -1 once closed
};

// Opens path for a new DTA file's contents, without ever blocking:
// - nothing there: the file is created, without following links;
// - a symbolic link: the link itself is replaced by a new file; its target is never touched;
// - a regular file: its contents are replaced, unless it is the input itself (input);
// - anything else (a directory, FIFO, socket or device), or the input: left alone, false.
// Until the file is closed or discarded, an interruption removes it before the program ends.
bool open_output(const char *path, const FileIdentity &input, OutputFile &out);
// Writes first, then second; either may be empty.
bool write_output(OutputFile &out, const char *first, std::size_t first_length,
                  const char *second, std::size_t second_length);
// True when the close confirmed that everything written reached the file.
bool close_output(OutputFile &out);
// Closes the file if it is open and removes it; false, with errno set, if it stays.
bool discard_output(OutputFile &out, const char *path);

// From here on SIGINT, SIGTERM and SIGHUP (Ctrl-C and Ctrl-Break on Windows) remove the DTA
// file being written before the program ends as the signal would have ended it, and a
// broken pipe or the file-size limit make writes fail instead of ending the program.
void guard_against_interruption();

#endif
