#include "messages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifndef MS2SPLIT_VERSION  // CMake passes the version of its project()
#define MS2SPLIT_VERSION "unknown"
#endif

const char kProgramName[] = "ms2split";

namespace {

bool failed = false;     // a failure has been reported
int output_error = 0;    // errno of the first write to standard output that failed

// Standard output that cannot be written never stops the work; it is reported at the end.
void print_line(const char *format, const char *subject) {
    if (std::printf(format, subject) < 0 && output_error == 0) output_error = errno;
}

void print_failure(const char *format, const char *subject) {
    failed = true;
    print_line(format, subject);
}

// Standard output is flushed first, so that a log holding both streams keeps their order.
void print_notice(const char *format, const char *subject, const char *reason) {
    if (std::fflush(stdout) != 0 && output_error == 0) output_error = errno;
    (void)std::fprintf(stderr, format, kProgramName, subject, reason);
}

void print_error(const char *format, const char *subject, const char *reason) {
    failed = true;
    print_notice(format, subject, reason);
}

}  // namespace

void usage(const char *program) {
    print_line("\n USAGE: %s *.ms2\n\n", program);
    print_line("%s", " This program converts .ms2 files to individual .dta files\n"
                     " which are placed in separate subdirectories, one for each\n"
                     " input .ms2 file.\n\n");
}

void help(const char *program) {
    usage(program);
    print_line("%s", " It writes NAME/NAME.FIRST.LAST.CHARGE.dta for each scan and charge line\n"
                     " of NAME.ms2. Exit status: 0 if nothing failed, 1 if an input could not\n"
                     " be read or a directory, a DTA file or standard output not written.\n"
                     " More in the manual page, ms2split(1): man ms2split\n\n");
}

void version() {
    print_line("%s", kProgramName);
    print_line(" %s\n", MS2SPLIT_VERSION);
    print_line("%s", "License: Apache License 2.0 <https://www.apache.org/licenses/LICENSE-2.0>\n");
}

void report_converting(const char *name) { print_line(" converting %s\n", name); }

void report_skipped(const char *name) { print_line(" skipping: %s\n", name); }

void report_unreadable(const char *name) { print_failure(" skipping: %s (cannot read)\n", name); }

void report_unwritable(const char *dta_path) {
    print_failure(" skipping: %s (cannot write .dta file)\n", dta_path);
}

void report_read_error(const char *name, int error) {
    print_error("%s: %s: read error: %s\n", name, std::strerror(error));
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

void notice_no_dta_file(const char *name) {
    print_notice("%s: %s: %s\n", name, "no scan with a charge line; no DTA file written");
}

void notice_replaced(const char *dta_path) {
    print_notice("%s: %s: %s\n", dta_path,
                 "replaces the file of an earlier charge line of the same scan");
}

int exit_status() {
    if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && output_error == 0)
        output_error = errno != 0 ? errno : EIO;
    if (output_error != 0) {
        (void)std::fprintf(stderr, "%s: standard output: %s\n", kProgramName,
                           std::strerror(output_error));
        failed = true;
    }
    return failed ? 1 : 0;
}
