// Every line the program prints, and its name, in one place. Progress and per-file problems
// go to standard output, each line beginning with a blank; what a user must act on beyond
// that goes to standard error, prefixed with the program's name. Every failure reported here
// also sets the exit status.
#ifndef MS2SPLIT_MESSAGES_H
#define MS2SPLIT_MESSAGES_H

extern const char kProgramName[];

void usage(const char *program);
// --help: the usage text, what the program writes, the exit statuses and where to read more.
void help(const char *program);
// --version: the version and the licence.
void version();

void report_converting(const char *name);
// The name does not end in the MS2 ending, or names no stem: not a failure.
void report_skipped(const char *name);

void report_unreadable(const char *name);
void report_unwritable(const char *dta_path);
void report_read_error(const char *name, int error);
void report_directory_failure(const char *directory, const char *reason);
void report_unremovable(const char *dta_path, int error);
void report_argument_failure(const char *name, const char *reason);

// Notices of output that is silently smaller than the input suggests: not failures.
void notice_no_dta_file(const char *name);
void notice_replaced(const char *dta_path);

// Flushes standard output, reports if it could not be written, and returns the exit status:
// 0 when nothing failed, 1 otherwise.
int exit_status();

#endif
