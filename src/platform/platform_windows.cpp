// The Windows side of platform.h.
//
// Files are opened through the wide-character API, with the program's UTF-8 names converted
// at this seam, and handed to the C runtime as descriptors: DTA files in text mode, so that
// the runtime writes each LF as CR LF. Paths of 248 characters and more (CreateDirectory's
// limit; 260 for files) are made absolute and given the \\?\ prefix, which lifts the limit
// on every Windows version without the long-path setting of Windows 10.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
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

// A path as the wide-character API takes it. One of 248 characters or more is made absolute
// (GetFullPathNameW also resolves '/', '.', '..' and a drive-relative "C:run7") and given the
// \\?\ prefix; shorter ones stay as they are, relative or not.
std::wstring wide_path(const char *path) {
    std::wstring wide = widen(path);
    if (wide.size() < 248 || wide.compare(0, 4, L"\\\\?\\") == 0) return wide;
    const DWORD length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(length, L'\0');
    if (length == 0 || GetFullPathNameW(wide.c_str(), length, &full[0], nullptr) >= length)
        return wide;  // let the call that uses it fail, with its own message
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
// or written as a DTA file.
bool is_disk_file(HANDLE handle, BY_HANDLE_FILE_INFORMATION &information) {
    return GetFileType(handle) == FILE_TYPE_DISK &&
           GetFileInformationByHandle(handle, &information) &&
           (information.dwFileAttributes &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// Interruption (Ctrl-C, Ctrl-Break, a closed console window) arrives on a thread of its own;
// the lock keeps it from acting while a DTA file is being opened, closed or removed.
CRITICAL_SECTION guard;
std::wstring guarded_path;  // the DTA file being written, while writing is set
bool writing = false;

BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    EnterCriticalSection(&guard);  // never left: the program ends holding it
    if (writing) DeleteFileW(guarded_path.c_str());  // opened with FILE_SHARE_DELETE
    return FALSE;  // the next handler, the system's, ends the program as the event would
}

HANDLE create_file(const std::wstring &path, DWORD disposition) {
    return CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// The regular file found at path, opened and emptied, unless it is the input.
HANDLE replace_regular_file(const std::wstring &path, const FileIdentity &input) {
    const HANDLE handle = create_file(path, OPEN_EXISTING);
    if (handle == INVALID_HANDLE_VALUE) return handle;
    BY_HANDLE_FILE_INFORMATION information{};
    if (is_disk_file(handle, information) && !same_file(identity_of(information), input) &&
        SetEndOfFile(handle)) {
        return handle;
    }
    CloseHandle(handle);
    return INVALID_HANDLE_VALUE;
}

HANDLE create_or_replace(const std::wstring &path, const FileIdentity &input) {
    for (int attempt = 0; attempt < 3; ++attempt) {  // another process may change the name
        const HANDLE handle = create_file(path, CREATE_NEW);
        if (handle != INVALID_HANDLE_VALUE) {
            BY_HANDLE_FILE_INFORMATION information{};
            if (is_disk_file(handle, information)) return handle;
            CloseHandle(handle);  // a device name such as CON or NUL
            return INVALID_HANDLE_VALUE;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) return handle;
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) continue;
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {  // a link: it goes, not its target
            const bool removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                                     ? RemoveDirectoryW(path.c_str())
                                     : DeleteFileW(path.c_str());
            if (!removed) return INVALID_HANDLE_VALUE;
            continue;
        }
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return INVALID_HANDLE_VALUE;
        return replace_regular_file(path, input);
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
bool write_text(std::FILE *stream, const char *text) {
    DWORD mode = 0;
    const HANDLE console = handle_of(_fileno(stream));
    if (!GetConsoleMode(console, &mode)) return std::fputs(text, stream) >= 0;
    const std::wstring wide = widen(text);
    DWORD written = 0;
    return WriteConsoleW(console, wide.c_str(), static_cast<DWORD>(wide.size()), &written,
                         nullptr) != 0;
}

int open_regular_file(const char *name) {
    const HANDLE handle = CreateFileW(wide_path(name).c_str(), GENERIC_READ, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return -1;
    BY_HANDLE_FILE_INFORMATION information{};
    const int descriptor = is_disk_file(handle, information)
                               ? _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY)
                               : -1;
    if (descriptor < 0) CloseHandle(handle);
    return descriptor;
}

void close_file(int file) { _close(file); }

FileIdentity identify_file(int file) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle_of(file), &information)) return {0, 0};
    return identity_of(information);
}

std::int64_t read_file_at(int file, std::int64_t offset, char *buffer, std::size_t length) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    const DWORD wanted = length < (DWORD{1} << 30) ? static_cast<DWORD>(length) : DWORD{1} << 30;
    DWORD got = 0;
    if (ReadFile(handle_of(file), buffer, wanted, &got, &at)) return got;
    if (GetLastError() == ERROR_HANDLE_EOF) return 0;
    errno = EIO;
    return -1;
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

bool text_mode_writes_crlf() { return true; }

bool open_output(const char *path, const FileIdentity &input, OutputFile &out) {
    const std::wstring wide = wide_path(path);
    EnterCriticalSection(&guard);
    const HANDLE handle = create_or_replace(wide, input);
    out.descriptor = handle != INVALID_HANDLE_VALUE
                         ? _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_TEXT)
                         : -1;
    if (out.descriptor < 0 && handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        DeleteFileW(wide.c_str());
    }
    writing = out.descriptor >= 0;
    if (writing) guarded_path = wide;
    LeaveCriticalSection(&guard);
    return out.descriptor >= 0;
}

bool write_output(OutputFile &out, const char *first, std::size_t first_length,
                  const char *second, std::size_t second_length) {
    const char *parts[2] = {first, second};
    std::size_t lengths[2] = {first_length, second_length};
    for (int i = 0; i < 2; ++i) {
        while (lengths[i] > 0) {
            const unsigned chunk =
                lengths[i] < (1U << 30) ? static_cast<unsigned>(lengths[i]) : 1U << 30;
            const int written = _write(out.descriptor, parts[i], chunk);
            if (written <= 0) return false;
            parts[i] += written;
            lengths[i] -= static_cast<std::size_t>(written);
        }
    }
    return true;
}

bool close_output(OutputFile &out) {
    EnterCriticalSection(&guard);
    const bool closed = _close(out.descriptor) == 0;
    out.descriptor = -1;
    writing = !closed;  // a failed close stays guarded until the file is removed
    LeaveCriticalSection(&guard);
    return closed;
}

bool discard_output(OutputFile &out, const char *path) {
    EnterCriticalSection(&guard);
    if (out.descriptor >= 0) _close(out.descriptor);
    out.descriptor = -1;
    const bool removed = DeleteFileW(wide_path(path).c_str()) != 0;
    writing = false;
    LeaveCriticalSection(&guard);
    if (!removed) errno = EACCES;
    return removed;
}

void guard_against_interruption() {
    InitializeCriticalSection(&guard);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}
