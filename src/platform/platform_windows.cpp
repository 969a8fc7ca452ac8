// The Windows side of platform.h.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "platform.h"

// MinGW-w64's runtime expands patterns such as *.ms2 among the arguments into the names of
// the matching files, as cmd.exe leaves that to the program. (MSVC links setargv.obj.)
extern "C" {
int _dowildcard = -1;
}

std::FILE *open_regular_file(const char *name) {
    const int fd = _open(name, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) return nullptr;
    struct _stat64 status {};
    std::FILE *file = nullptr;
    if (_fstat64(fd, &status) == 0 && (status.st_mode & _S_IFMT) == _S_IFREG) {
        file = _fdopen(fd, "rb");
    }
    if (file == nullptr) _close(fd);
    return file;
}

bool seek_file(std::FILE *file, std::int64_t position) {
    return _fseeki64(file, position, SEEK_SET) == 0;
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
