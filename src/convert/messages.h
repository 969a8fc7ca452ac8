// Every line the program prints, and its name, in one place. Progress and per-file problems
// go to standard output, each line beginning with a blank; what a user must act on beyond
// that goes to standard error, prefixed with the program's name.
#ifndef MS2SPLIT_MESSAGES_H
#define MS2SPLIT_MESSAGES_H

extern const char kProgramName[];

void usage(const char *program);

void report_converting(const char *name);
// The name does not end in the MS2 ending, or names no stem.
void report_skipped(const char *name);
void report_unreadable(const char *name);
void report_unwritable(const char *dta_path);

void report_directory_failure(const char *directory, const char *reason);
void report_unremovable(const char *dta_path, int error);
void report_argument_failure(const char *name, const char *reason);

#endif
