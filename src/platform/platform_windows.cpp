// The Windows side of platform.h.
//
// Files are opened through the wide-character API, with the program's UTF-8 names converted
// at this seam, and handed to the C runtime as descriptors, in binary mode: the writer
// itself ends DTA lines in CR LF. Paths of 248 characters and more (CreateDirectory's
// limit; 260 for files) are made absolute and given the \\?\ prefix, which lifts the limit
// on every Windows version without the long-path setting of Windows 10.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "platform.h"
#include "utf16.h"

// MinGW-w64's runtime expands patterns such as *.ms2 among the arguments into the names of
// the matching files, as cmd.exe leaves that to the program. (MSVC links setargv.obj.)
extern "C" {
int _dowildcard = -1;
}

namespace {

std::string narrow(const wchar_t *wide) {
    std::u16string units;
    for (const wchar_t *unit = wide; *unit != L'\0'; ++unit) units += static_cast<char16_t>(*unit);
    return utf16_to_utf8(units.c_str());
}

std::wstring widen(const char *text) {
    const std::u16string units = utf8_to_utf16(text);
    return std::wstring(units.begin(), units.end());
}

bool has_long_prefix(const std::wstring &path) {
    return path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0;
}

// A path as the wide-character API takes it: as it is, unless its full form (GetFullPathNameW
// also resolves '/', '.', '..' and a drive-relative "C:run7") has 248 characters or more
// (CreateDirectory's limit; 260 for files); then that full form with the \\?\ prefix.
std::wstring wide_path(const char *path) {
    std::wstring wide = widen(path);
    if (has_long_prefix(wide)) return wide;
    const DWORD length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (length < 248) return wide;  // 0 too: let the call that uses it fail with its message
    std::wstring full(length, L'\0');
    if (GetFullPathNameW(wide.c_str(), length, &full[0], nullptr) >= length) return wide;
    full.resize(length - 1);
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC" + full.substr(1);  // \\server\share
    return L"\\\\?\\" + full;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE handle_of(int descriptor) { return reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)); }

FileIdentity identity_of(const BY_HANDLE_FILE_INFORMATION &information) {
    return {information.dwVolumeSerialNumber,
            (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
}

// A file on a disk, not a directory, a device or a pipe: one that can be read at an offset
// or written as a DTA file. A reparse point that is not a link (a OneDrive placeholder, a
// deduplicated file) is a file like any other: its data is read through it.
bool is_disk_file(HANDLE handle, BY_HANDLE_FILE_INFORMATION &information) {
    return GetFileType(handle) == FILE_TYPE_DISK &&
           GetFileInformationByHandle(handle, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Interruption (Ctrl-C, Ctrl-Break, a closed console window) arrives on a thread the system
// starts for it, while the program's threads go on. Each writing thread has a slot, whose
// lock it holds while it opens, renames or removes a DTA file: whenever the lock is free, the
// slot names its thread's incomplete file, if there is one. The handler takes every slot's
// lock in turn and keeps it until the program ends: it waits for a step under way, removes
// the file the slot names (opened with FILE_SHARE_DELETE), and the thread's next step waits
// for the end. A file opened in a slot not yet taken is seen when the handler gets there.
struct Guard {
    CRITICAL_SECTION lock;
    std::wstring path;  // what is being written, while writing is set
    bool writing;
};
Guard guards[kGuardSlots];

Guard &enter_guard(int slot) {
    Guard &guard = guards[slot];
    EnterCriticalSection(&guard.lock);
    return guard;
}

BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    for (Guard &guard : guards) {
        EnterCriticalSection(&guard.lock);  // never left: the program ends holding it
        if (guard.writing) DeleteFileW(guard.path.c_str());
    }
    return FALSE;  // the next handler, the system's, ends the program as the event would
}

// The errno value the C runtime gives a Windows error, for the ones a file operation meets.
int errno_of(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return EEXIST;
        case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        case ERROR_DIRECTORY: return ENOTDIR;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA:                // Windows, when the reader of a pipe is gone
        case ERROR_PIPE_NOT_CONNECTED: return EPIPE;  // and wine
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        default: return EIO;
    }
}

HANDLE create_new(const std::wstring &path) {
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return handle;
    BY_HANDLE_FILE_INFORMATION information{};
    if (is_disk_file(handle, information)) return handle;
    CloseHandle(handle);  // a device name such as CON or NUL
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
}

// Creates "<directory of path>\.ms2split-XXXXXXXX.tmp" exclusively; its name goes to temp.
HANDLE create_temp(const std::wstring &path, std::wstring &temp) {
    const std::size_t slash = path.find_last_of(L"\\/");
    for (int attempt = 0; attempt < 64; ++attempt) {
        char name[kTempNameSize];
        temp_file_name(name);
        temp.assign(path, 0, slash == std::wstring::npos ? 0 : slash + 1);
        temp += widen(name);
        const HANDLE handle = create_new(temp);
        if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return handle;
    }
    return INVALID_HANDLE_VALUE;
}

// As on POSIX: nothing at the name, an exclusive create; a file or a link to a file, a
// temporary file to be renamed over it; a link to a directory goes (its target stays) and
// the create is tried again; anything else is refused.
HANDLE create_output(const std::wstring &path, OutputFile &out, std::wstring &written) {
    out.replacing = false;
    written = path;
    errno = EEXIST;
    for (int attempt = 0; attempt < 8; ++attempt) {  // another process may change the name
        if (!out.names_taken && !out.whole_or_none) {  // in a re-run, the create that would fail is left out
            const HANDLE handle = create_new(path);
            if (handle != INVALID_HANDLE_VALUE) return handle;
            errno = errno_of(GetLastError());
            if (GetLastError() != ERROR_FILE_EXISTS) return handle;
        }
        WIN32_FILE_ATTRIBUTE_DATA found{};
        out.names_taken = GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &found) != 0;
        if (!out.names_taken && !out.whole_or_none) continue;  // gone since the create, or new: create it
        const bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (out.names_taken && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            errno = EISDIR;
            if (!link || !RemoveDirectoryW(path.c_str())) return INVALID_HANDLE_VALUE;
            continue;
        }
        out.replacing = true;
        const HANDLE temp = create_temp(path, written);
        if (temp == INVALID_HANDLE_VALUE) errno = errno_of(GetLastError());
        return temp;
    }
    return INVALID_HANDLE_VALUE;
}

}  // namespace

char **utf8_arguments(int argc, wchar_t **argv) {
    static std::vector<std::string> texts;  // live as long as the program
    static std::vector<char *> arguments;
    texts.reserve(static_cast<std::size_t>(argc));  // so that no text moves
    for (int i = 0; i < argc; ++i) {
        texts.push_back(narrow(argv[i]));
        arguments.push_back(&texts.back()[0]);
    }
    arguments.push_back(nullptr);
    return arguments.data();
}

std::filesystem::path native_path(const char *path) { return wide_path(path); }

// A console shows UTF-16 characters; bytes written to it would be read in its code page.
// Anything else gets the line as it is, but with CR LF line ends, in one WriteFile.
int write_message(int stream, const char *text, std::size_t length) {
    const HANDLE handle = GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        const std::wstring wide = widen(std::string(text, length).c_str());
        DWORD written = 0;
        return WriteConsoleW(handle, wide.c_str(), static_cast<DWORD>(wide.size()), &written,
                             nullptr) ? 0 : errno_of(GetLastError());
    }
    static char line[2 * 16 * 1024];
    while (length > 0) {
        std::size_t count = 0;
        for (; length > 0 && count + 2 <= sizeof line; ++text, --length) {
            if (*text == '\n') line[count++] = '\r';
            line[count++] = *text;
        }
        Part part{line, count};
        if (!write_all(stream, -1, &part, 1)) return errno;
    }
    return 0;
}

int open_regular_file(const char *name, int &reason) {
    const HANDLE handle = CreateFileW(wide_path(name).c_str(), GENERIC_READ, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(wide_path(name).c_str());
        const bool directory = attributes != INVALID_FILE_ATTRIBUTES &&
                               (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        reason = directory ? kNotRegularFile : errno_of(error);  // opens as access denied
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const int descriptor = is_disk_file(handle, information)
                               ? _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY)
                               : -1;
    if (descriptor < 0) {
        reason = kNotRegularFile;
        CloseHandle(handle);
    }
    return descriptor;
}

void close_file(int file) { _close(file); }

int standard_input() { return _fileno(stdin); }  // read through its handle, never translated

namespace {

// Which file a path names, and whether it is a directory; false when it names none.
bool identify(const char *path, FileIdentity &identity, bool &directory) {
    const HANDLE handle = CreateFileW(wide_path(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION information{};
    const bool found = GetFileInformationByHandle(handle, &information) != 0;
    CloseHandle(handle);
    if (found) identity = identity_of(information);
    directory = found && (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return found;
}

}  // namespace

bool identify_directory(const char *path, FileIdentity &identity) {
    bool directory = false;
    return identify(path, identity, directory) && directory;
}

bool identify_path(const char *path, FileIdentity &identity) {
    bool directory = false;
    return identify(path, identity, directory);
}

FileIdentity identify_file(int file) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle_of(file), &information)) return {0, 0};
    return identity_of(information);
}

std::int64_t read_once(int file, std::int64_t offset, char *buffer, std::size_t length) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    const DWORD wanted = length < (DWORD{1} << 30) ? static_cast<DWORD>(length) : DWORD{1} << 30;
    DWORD got = 0;
    if (ReadFile(handle_of(file), buffer, wanted, &got, offset >= 0 ? &at : nullptr)) return got;
    if (GetLastError() == ERROR_HANDLE_EOF || GetLastError() == ERROR_BROKEN_PIPE) return 0;  // a pipe's end
    errno = errno_of(GetLastError());
    return -1;
}

// The first part only: Windows has no gathered write for ordinary files.
std::int64_t write_once(int file, std::int64_t offset, const Part *parts, int) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    const DWORD wanted = parts->length < (DWORD{1} << 30) ? static_cast<DWORD>(parts->length) : DWORD{1} << 30;
    DWORD written = 0;
    if (WriteFile(handle_of(file), parts->bytes, wanted, &written, offset >= 0 ? &at : nullptr))
        return written;
    errno = errno_of(GetLastError());
    return -1;
}

std::uint64_t name_seed() {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return (std::uint64_t{GetCurrentProcessId()} << 32) ^ static_cast<std::uint64_t>(now.QuadPart);
}

bool is_path_separator(char c) { return c == '/' || c == '\\'; }

char separator_for(const char *path) {
    if (std::strncmp(path, "\\\\?\\", 4) == 0) return '\\';
    char last = '/';
    for (const char *p = path; *p != '\0'; ++p) {
        if (is_path_separator(*p)) last = *p;
    }
    return last;
}

bool trims_component(const char *component, std::size_t length) {
    return length > 0 && (component[length - 1] == '.' || component[length - 1] == ' ');
}

const char *last_path_component(const char *path) {
    const char letter = static_cast<char>(path[0] | 0x20);
    const bool drive = letter >= 'a' && letter <= 'z' && path[1] == ':';
    const char *component = drive ? path + 2 : path;  // "C:run7" names run7 on drive C
    for (const char *p = component; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') component = p + 1;
    }
    return component;
}

bool lines_end_in_crlf() { return true; }

int open_anonymous_file() {
    wchar_t folder[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, L"ms2", 0, name) == 0) {
        errno = errno_of(GetLastError());
        return -1;
    }
    // Removed by the system when the last handle closes, however the program ends.
    const HANDLE handle = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_of(GetLastError());
        DeleteFileW(name);
        return -1;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
    if (descriptor < 0) CloseHandle(handle);
    return descriptor;
}

std::int64_t file_size(int file) {
    LARGE_INTEGER size{};
    return GetFileSizeEx(handle_of(file), &size) ? size.QuadPart : -1;
}

bool stamp_file(int file, FileStamp &stamp) {
    LARGE_INTEGER size{};
    FILETIME written{};
    if (!GetFileSizeEx(handle_of(file), &size) || !GetFileTime(handle_of(file), nullptr, nullptr, &written)) {
        errno = errno_of(GetLastError());
        return false;
    }
    const std::uint64_t ticks = (std::uint64_t{written.dwHighDateTime} << 32) | written.dwLowDateTime;  // 100 ns
    stamp = {size.QuadPart, static_cast<std::int64_t>(ticks / 10000000), static_cast<std::int64_t>(ticks % 10000000) * 100};
    return true;
}

std::string temporary_folder() {
    wchar_t folder[MAX_PATH + 1];
    return GetTempPathW(MAX_PATH + 1, folder) != 0 ? narrow(folder) : std::string("%TEMP%");
}

bool is_terminal(int stream) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), &mode) != 0;
}

double monotonic_seconds() { return static_cast<double>(GetTickCount64()) / 1000.0; }

bool open_output(const char *path, OutputFile &out) {
    const std::wstring wide = wide_path(path);
    std::wstring written;
    Guard &guard = enter_guard(out.guard);
    const HANDLE handle = create_output(wide, out, written);
    out.descriptor = handle != INVALID_HANDLE_VALUE
                         ? _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY)
                         : -1;
    if (out.descriptor < 0 && handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        DeleteFileW(written.c_str());
    }
    guard.writing = out.descriptor >= 0;
    if (guard.writing) guard.path.swap(written);
    LeaveCriticalSection(&guard.lock);
    return out.descriptor >= 0;
}

// Flushed and closed outside the slot's lock, which a flush may hold for long: the name
// stands as it did, and the slot still tells the handler what to remove.
bool close_output(OutputFile &out, const char *path) {
    bool complete = !out.durable || FlushFileBuffers(handle_of(out.descriptor));
    if (!complete) errno = errno_of(GetLastError());
    complete = _close(out.descriptor) == 0 && complete;
    out.descriptor = -1;
    const std::wstring wide = wide_path(path);
    Guard &guard = enter_guard(out.guard);
    if (complete && out.replacing) {
        complete = MoveFileExW(guard.path.c_str(), wide.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
        if (!complete) errno = errno_of(GetLastError());
    }
    guard.writing = !complete;  // a file that did not reach its name stays guarded until removed
    LeaveCriticalSection(&guard.lock);
    return complete;
}

bool cut_output(OutputFile &out, std::int64_t length) {
    const errno_t error = _chsize_s(out.descriptor, length);
    errno = error;
    return error == 0;
}

bool discard_output(OutputFile &out, const char *path) {
    (void)path;  // what was written is the slot's path: the file itself or its temporary
    if (out.descriptor >= 0) _close(out.descriptor);
    out.descriptor = -1;
    Guard &guard = enter_guard(out.guard);
    const bool removed = DeleteFileW(guard.path.c_str()) != 0;
    const int error = removed ? 0 : errno_of(GetLastError());
    guard.writing = false;
    LeaveCriticalSection(&guard.lock);
    errno = error;
    return removed;
}

bool make_durable(const char *) { return true; }

int open_standing_file(const char *path, Standing &standing, std::int64_t &size) {
    const HANDLE handle = CreateFileW(wide_path(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT |
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const bool gone = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        standing = gone ? Standing::kNothing : Standing::kUnreadable;
        errno = errno_of(error);
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const bool file = is_disk_file(handle, information) &&
                      (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    const int descriptor = file ? _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY) : -1;
    if (descriptor < 0) {
        CloseHandle(handle);
        standing = file ? Standing::kUnreadable : Standing::kOther;
        return -1;
    }
    standing = Standing::kFile;
    size = static_cast<std::int64_t>((std::uint64_t{information.nFileSizeHigh} << 32) |
                                     information.nFileSizeLow);
    return descriptor;
}

bool visit_directory(const char *path, NameVisitor visit, void *context) {
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((wide_path(path) + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        errno = errno_of(GetLastError());
        return false;
    }
    do {
        const std::string name = narrow(found.cFileName);
        if (name != "." && name != "..") visit(context, name.c_str());
    } while (FindNextFileW(search, &found));
    const DWORD error = GetLastError();
    FindClose(search);
    errno = errno_of(error);
    return error == ERROR_NO_MORE_FILES;
}

void guard_against_interruption() {
    for (Guard &guard : guards) InitializeCriticalSection(&guard.lock);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

// Console events never interrupt a thread of the program's own: the system runs the handler
// on a thread it starts for each event.
void block_interruptions() {}

int free_descriptors() { return 1024; }  // the C runtime's limit is far above what the program opens

int available_processors() {
    DWORD_PTR process = 0, system = 0;
    int count = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
        for (; process != 0; process &= process - 1) ++count;
    }
    if (count == 0) {  // a process spread over several processor groups has no one mask
        count = static_cast<int>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
    }
    return count > 0 ? count : 1;
}
