#include "messages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform.h"

#ifndef MS2SPLIT_VERSION  // CMake passes the version of its project()
#define MS2SPLIT_VERSION "unknown"
#endif

const char kProgramName[] = "ms2split";

namespace {

using Parts = std::initializer_list<const char *>;

bool failed = false;   // a failure has been reported
int output_error = 0;  // errno of the first write to standard output that failed

// Standard output that cannot be written never stops the work: the first failure is kept
// and reported at the end.
void keep_output_error() {
    if (output_error == 0) output_error = errno != 0 ? errno : EIO;
}

// One line on standard output, in parts.
void say(Parts parts) {
    for (const char *part : parts) {
        if (!write_text(stdout, part)) keep_output_error();
    }
}

void say_failure(Parts parts) {
    failed = true;
    say(parts);
}

// One line on standard error, after the program's name. Standard output is flushed first,
// so that a log holding both streams keeps their order.
void tell(Parts parts) {
    if (std::fflush(stdout) != 0) keep_output_error();
    (void)write_text(stderr, kProgramName);
    (void)write_text(stderr, ": ");
    for (const char *part : parts) (void)write_text(stderr, part);
    (void)write_text(stderr, "\n");
}

void tell_failure(Parts parts) {
    failed = true;
    tell(parts);
}

}  // namespace

void usage(const char *program) {
    say({"\n USAGE: ", program, " *.ms2\n\n",
         " This program converts .ms2 files to individual .dta files\n"
         " which are placed in separate subdirectories, one for each\n"
         " input .ms2 file.\n\n"});
}

void help(const char *program) {
    usage(program);
    say({" It writes NAME/NAME.FIRST.LAST.CHARGE.dta for each scan and charge line\n"
         " of NAME.ms2. Exit status: 0 if nothing failed, 1 if an input could not\n"
         " be read or a directory, a DTA file or standard output not written.\n"
         " More in the manual page, ms2split(1): man ms2split\n\n"});
}

void version() {
    say({kProgramName, " " MS2SPLIT_VERSION "\n",
         "License: Apache License 2.0 <https://www.apache.org/licenses/LICENSE-2.0>\n"});
}

void report_converting(const char *name) { say({" converting ", name, "\n"}); }

void report_skipped(const char *name) { say({" skipping: ", name, "\n"}); }

void report_unreadable(const char *name) { say_failure({" skipping: ", name, " (cannot read)\n"}); }

void report_unwritable(const char *dta_path) {
    say_failure({" skipping: ", dta_path, " (cannot write .dta file)\n"});
}

void report_read_error(const char *name, int error) {
    tell_failure({name, ": read error: ", std::strerror(error)});
}

void report_directory_failure(const char *directory, const char *reason) {
    tell_failure({"cannot create directory '", directory, "': ", reason});
}

void report_unremovable(const char *dta_path, int error) {
    tell_failure({"cannot remove incomplete file '", dta_path, "': ", std::strerror(error)});
}

void report_argument_failure(const char *name, const char *reason) {
    tell_failure({name, ": ", reason});
}

void notice_no_dta_file(const char *name) {
    tell({name, ": no scan with a charge line; no DTA file written"});
}

void notice_replaced(const char *dta_path) {
    tell({dta_path, ": replaces the file of an earlier charge line of the same scan"});
}

int exit_status() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) keep_output_error();
    if (output_error != 0) tell_failure({"standard output: ", std::strerror(output_error)});
    return failed ? 1 : 0;
}
