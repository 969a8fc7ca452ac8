// What differs between POSIX systems and Windows, behind one interface: platform_posix.cpp
// and platform_windows.cpp each implement it, and the build compiles the one that fits.
#ifndef MS2SPLIT_PLATFORM_H
#define MS2SPLIT_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

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
// path whose full form is too long for the classic limit of 260 characters is made absolute
// and given the \\?\ prefix, which lifts it; elsewhere they pass as they are.

#ifdef _WIN32
// The arguments as Windows hands them over (UTF-16, patterns expanded), in UTF-8; a lone
// surrogate, which Windows allows in names, is kept as its three bytes (WTF-8).
char **utf8_arguments(int argc, wchar_t **argv);
#endif

// A path for std::filesystem.
std::filesystem::path native_path(const char *path);

// The errno-like reason for a name that opens, or stands, as something other than a
// regular file (or, at a DTA name, a directory: EISDIR).
constexpr int kNotRegularFile = -1;

// Opens a regular file for reading and returns its descriptor; -1 for anything else (a
// directory, a FIFO, a device) or when it cannot be opened, with the errno of the reason in
// reason (kNotRegularFile for a file of another kind). Never blocks.
int open_regular_file(const char *name, int &reason);
void close_file(int file);
// The descriptor of standard input, to read in turn.
int standard_input();
// Which file a descriptor reads; all zero when that cannot be told.
FileIdentity identify_file(int file);
// Which directory a path names; false when it names none.
bool identify_directory(const char *path, FileIdentity &identity);
// Which file (of any kind) a path names; false when it names none.
bool identify_path(const char *path, FileIdentity &identity);
// Reads up to length bytes from a 64-bit offset, without moving any file position. Returns
// the count read, 0 at the end of the file, or -1 with errno set. A read that fails is
// tried again sector by sector, so that the bytes before a bad sector are still read.
std::int64_t read_file_at(int file, std::int64_t offset, char *buffer, std::size_t length);

constexpr std::size_t kSectorSize = 512;  // the least a disk fails on its own

// Writes length bytes at a 64-bit offset; false, with errno set, if they could not all be.
bool write_file_at(int file, std::int64_t offset, const char *bytes, std::size_t length);

// An input read forward once: at offsets from a file that can be read so, in turn from any
// other (a pipe, a terminal). Its first bytes are looked at, to tell its format, before it
// is read; from a stream they are kept and handed over first.
constexpr std::size_t kSourceHeadSize = 4;
struct Source {
    int file;
    bool seekable;               // read at offsets, and so read again at will
    std::uint64_t taken;         // bytes handed over so far
    char head[kSourceHeadSize];  // the first bytes
    std::size_t head_length;     // how many there are (fewer only in a shorter input)
};
// Starts reading file from its first byte (seekable), or from where it stands; false, with
// errno set, when its first bytes cannot be read.
bool open_source(Source &source, int file, bool seekable);
// The next bytes, up to length: their count, 0 at the end, or -1 with errno set.
std::int64_t read_source(Source &source, char *buffer, std::size_t length);

// Bytes to write, one of several parts written in one call.
struct Part {
    const char *bytes;
    std::size_t length;
};
// Writes every part, in order, at offset (-1: at the file's own position, moving it);
// false, with errno set, if they could not all be written. The parts are used up.
bool write_all(int file, std::int64_t offset, Part *parts, int count);

// Each platform's own system calls, which platform.cpp builds on:
// reads at most length bytes at offset (-1: where the file stands, moving it) in one call:
// the count, 0 at the end, or -1;
std::int64_t read_once(int file, std::int64_t offset, char *buffer, std::size_t length);
// writes from the parts (none empty) at offset, or at the file's position for -1, in one
// call: the count written, or -1 (errno EINTR: to be tried again);
std::int64_t write_once(int file, std::int64_t offset, const Part *parts, int count);
// a number that differs from process to process and from run to run.
std::uint64_t name_seed();
// A file for reading and writing that has no name, in the system's temporary folder, and
// that the system removes when it is closed or the program ends, however it ends; -1, with
// errno set, when none can be made.
int open_anonymous_file();
// That folder, for messages: $TMPDIR, or /tmp where it is unset or empty, never another in
// its place (as GNU sort), so that a TMPDIR set wrong is told, not bypassed; on Windows,
// GetTempPath's.
std::string temporary_folder();
// The size of an open file; -1 when it cannot be told.
std::int64_t file_size(int file);
// What changes when a file is written: its size and the time of its last change to the
// nanosecond (POSIX: st_mtim; Windows: the last-write time, in 100 ns steps).
struct FileStamp {
    std::int64_t size;
    std::int64_t seconds;
    std::int64_t nanoseconds;
};
inline bool same_stamp(const FileStamp &a, const FileStamp &b) {
    return a.size == b.size && a.seconds == b.seconds && a.nanoseconds == b.nanoseconds;
}
// The stamp of an open file; false, with errno set, when it cannot be told.
bool stamp_file(int file, FileStamp &stamp);
// True when the descriptor is a terminal (a console on Windows).
bool is_terminal(int stream);
// Seconds on a clock that never goes back.
double monotonic_seconds();

// '/', and on Windows also '\'.
bool is_path_separator(char c);
// The separator to join a name to path with: '/', but on Windows the one path itself uses
// last, and always '\' after a "\\?\" prefix, which Windows takes literally.
char separator_for(const char *path);
// Whether the system would change a path component of this name, so that it names no
// folder of its own: on Windows, one that ends in a dot or a blank, which Windows trims.
bool trims_component(const char *component, std::size_t length);

// The last component of a path: what follows the last separator (or on Windows a drive's
// "X:"), so that a stem's last component can begin a file name.
const char *last_path_component(const char *path);

// Writes a whole message line to standard output (1) or standard error (2) in one call:
// as it is, but to a Windows console as the characters its UTF-8 stands for. Returns 0, or
// the errno of a write that failed.
int write_message(int stream, const char *text, std::size_t length);

// True where the lines of a text file end in CR LF (Windows): DTA files are written so.
bool lines_end_in_crlf();

// The threads that may write DTA files at once: the main thread and up to 8 others.
constexpr int kGuardSlots = 9;

// A DTA file being written.
struct OutputFile {
    int guard;                // the slot of the thread that writes it, below kGuardSlots
    int descriptor;           // -1 once closed
    bool durable;             // written through to the disk before it is closed (Windows)
    bool names_taken;         // the last name was taken: the next is looked at first
    bool replacing;           // a file or link stood at the name: written under temp_path
    bool whole_or_none;       // always written under temp_path, so its name never holds part
    std::string temp_path;    // while replacing; its capacity is kept from file to file
};

// Prefix of the temporary name a replacement is written under, in the DTA file's directory:
// ".ms2split-" followed by eight hexadecimal digits and ".tmp", never a DTA name.
constexpr char kTempPrefix[] = ".ms2split-";
constexpr std::size_t kTempNameSize = sizeof kTempPrefix - 1 + 8 + sizeof ".tmp";
// The next such name, different from call to call, thread to thread and process to process.
void temp_file_name(char (&name)[kTempNameSize]);
// Whether a name in a directory is one of them.
bool is_temporary_name(const std::string &name);

// Opens a new file for a DTA file's contents, without ever blocking, following a link or
// opening what stands at path:
// - nothing: the file is created exclusively, at path itself;
// - a regular file or a symbolic link: a temporary file is created beside it, to be renamed
//   over the name once complete, so that other names of the old file keep their contents;
// - anything else (a directory, FIFO, socket or device): left alone, false.
// A name that disappears between the checks and the create is tried again. Until the file is
// closed or discarded, an interruption removes what was written before the program ends.
// Each of these that fails sets errno (kNotRegularFile, or EISDIR, for what stands there).
bool open_output(const char *path, OutputFile &out);
// Closes the file and, for a replacement, renames it over path. True when the complete file
// stands at path.
bool close_output(OutputFile &out, const char *path);
// Cuts what was written short, to length bytes; false, with errno set, if it cannot be.
bool cut_output(OutputFile &out, std::int64_t length);
// Closes the file if it is open and removes what was written; false, with errno set, if it
// stays. What stood at path before is never touched.
bool discard_output(OutputFile &out, const char *path);

// Makes every file written in directory so far survive a power loss: on Linux one syncfs of
// its file system; on Windows nothing more, as each file with durable set was flushed as it
// closed. False, with errno set, when the system reports a failure.
bool make_durable(const char *directory);

// What stands at a DTA name, for a check of an earlier conversion's tree.
enum class Standing { kFile, kNothing, kOther, kUnreadable };
// Opens the regular file at path for reading, never through a link and never blocking, and
// gives its size; -1 for anything else, with what stands there (errno set for kUnreadable).
int open_standing_file(const char *path, Standing &standing, std::int64_t &size);
// Calls visit with each name in a directory, in UTF-8, but "." and ".."; false, with errno
// set, when it cannot be read.
using NameVisitor = void (*)(void *context, const char *name);
bool visit_directory(const char *path, NameVisitor visit, void *context);

// From here on SIGINT, SIGTERM and SIGHUP (Ctrl-C and Ctrl-Break on Windows) remove every
// DTA file being written, by any thread, before the program ends as the first of them would
// have ended it; one ignored when the program started stays ignored. A broken pipe or the
// file-size limit make writes fail instead of ending the program.
void guard_against_interruption();
// Called by a thread of the program's own, so that interruptions reach the main thread only.
void block_interruptions();
// How many more files the program may open at once (RLIMIT_NOFILE); a large number where
// there is no tight limit.
int free_descriptors();
// The processors the program may run on (its affinity, as nproc counts them); at least 1.
int available_processors();

#endif
