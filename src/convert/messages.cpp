#include "messages.h"

#include <cstdio>
#include <cstring>

const char kProgramName[] = "ms2split";

namespace {

// Standard output is flushed first, so that a log holding both streams keeps their order.
void print_error(const char *format, const char *subject, const char *reason) {
    (void)std::fflush(stdout);
    (void)std::fprintf(stderr, format, kProgramName, subject, reason);
}

}  // namespace

void usage(const char *program) {
    std::printf("\n USAGE: %s *.ms2\n\n", program);
    std::printf(" This program converts .ms2 files to individual .dta files\n"
                " which are placed in separate subdirectories, one for each\n"
                " input .ms2 file.\n\n");
}

void report_converting(const char *name) { std::printf(" converting %s\n", name); }

void report_skipped(const char *name) { std::printf(" skipping: %s\n", name); }

void report_unreadable(const char *name) { std::printf(" skipping: %s (cannot read)\n", name); }

void report_unwritable(const char *dta_path) {
    std::printf(" skipping: %s (cannot write .dta file)\n", dta_path);
}

void report_directory_failure(const char *directory, const char *reason) {
    print_error("%s: cannot create directory '%s': %s\n", directory, reason);
}

void report_unremovable(const char *dta_path, int error) {
    print_error("%s: cannot remove incomplete file '%s': %s\n", dta_path, std::strerror(error));
}

void report_argument_failure(const char *name, const char *reason) {
    print_error("%s: %s: %s\n", name, reason);
}
