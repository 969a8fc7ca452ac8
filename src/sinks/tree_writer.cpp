#include "tree_writer.h"

#include <cerrno>

TreeWriter::TreeWriter(int guard, bool durable) : file_{guard, -1, durable, false, false, false, {}}, durable_(durable) {}

void TreeWriter::start(const char *directory, Ms2Input &input) {
    input_ = &input;
    directory_ = directory;
    path_ = dta_path_prefix(directory);
    prefix_length_ = path_.size();
}

bool TreeWriter::take(const Scan &scan, Outcomes &done) {
    start_scan_files(files_, input_, scan);
    while (next_dta_file(files_, dta_)) {
        done.push_back(write_dta(dta_));
        if (done.back().what == Outcome::kReadFailed) return false;
    }
    return !files_.header.failed;
}

void TreeWriter::finish(const WrittenNames *, Outcomes &done) {
    if (durable_ && !make_durable(directory_.c_str())) done.push_back(outcome_of(Outcome::kNotDurable, errno));
}

Outcome TreeWriter::write_dta(DtaFile &file) {
    compose_dta_path(path_, prefix_length_, file.key);
    const char *path = path_.c_str();
    Outcome outcome{Outcome::kWritten, file.key, 0, 0, nullptr, file.odd_header};
    if (!open_output(path, file_)) {
        outcome = {Outcome::kFailed, file.key, errno, 0, nullptr, file.odd_header};
        return outcome;
    }
    // The header, then the body run by run, through the gather, each write checked.
    start_gather(gather_);
    bool failed = false;
    int error = 0;  // errno of the first failure, which ends the writing
    Part parts[2];
    LineRun run{file.header, file.header_length};
    for (bool more = true; more; more = next_body_run(file.body, run)) {
        while (run.length > 0) {
            const int count = gather_bytes(gather_, run.bytes, run.length, parts);
            if (count > 0 && !failed && !write_all(file_.descriptor, -1, parts, count)) {
                failed = true;
                error = errno;
            }
        }
    }
    parts[0] = gathered(gather_);
    const bool read = !file.body.cursor.failed;
    if (read && !failed && (!write_all(file_.descriptor, -1, parts, 1) || !close_output(file_, path))) {
        failed = true;
        error = errno;
    }
    if (read && !failed) return outcome;
    outcome.what = read ? Outcome::kFailed : Outcome::kReadFailed;
    outcome.error = error;
    // Gone before the line that reports it: no incomplete file stays behind.
    if (!discard_output(file_, path)) outcome.remove_error = errno;
    return outcome;
}
