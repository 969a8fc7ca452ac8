#include "tree_checker.h"

#include <algorithm>
#include <cerrno>

namespace {

struct Listing {
    TreeChecker *checker;
    const WrittenNames *given;
};

}  // namespace

void TreeChecker::start(const char *directory, Ms2Input &input) {
    input_ = &input;
    directory_ = directory;
    path_ = dta_path_prefix(directory);
    prefix_length_ = path_.size();
}

bool TreeChecker::take(const Scan &scan, Outcomes &done) {
    start_scan_files(files_, input_, scan);
    while (next_dta_file(files_, dta_)) {
        done.push_back(check_dta(dta_));
        if (done.back().what == Outcome::kReadFailed) return false;
    }
    return !files_.header.failed;
}

Outcome TreeChecker::check_dta(DtaFile &file) {
    compose_dta_path(path_, prefix_length_, file.key);
    open_compared(compared_, path_.c_str());
    // What a conversion would write, through the same gather, compared part by part.
    start_gather(gather_);
    Part parts[2];
    LineRun run{file.header, file.header_length};
    for (bool more = true; more; more = next_body_run(file.body, run)) {
        while (run.length > 0) {
            const int count = gather_bytes(gather_, run.bytes, run.length, parts);
            for (int i = 0; i < count; ++i) compare_bytes(compared_, parts[i].bytes, parts[i].length);
        }
    }
    parts[0] = gathered(gather_);
    compare_bytes(compared_, parts[0].bytes, parts[0].length);
    const Outcome::What verdict = close_compared(compared_);
    const bool read = !file.body.cursor.failed;
    return {read ? verdict : Outcome::kReadFailed, file.key, compared_.error, 0, nullptr, file.odd_header};
}

void TreeChecker::sort_out(const char *entry, const WrittenNames &given) {
    const std::string name(entry);
    DtaKey key{};
    if (is_temporary_name(name)) {
        temporary_.push_back(name);
    } else if (read_dta_name(name, last_path_component(directory_.c_str()), key) && !wrote(given, key)) {
        extras_.push_back(name);
    }
}

void TreeChecker::finish(const WrittenNames *given, Outcomes &done) {
    extras_.clear();
    temporary_.clear();
    if (given != nullptr) {  // the names a conversion would not leave, in order of name
        Listing listing{this, given};
        const auto visit = [](void *context, const char *entry) {
            const Listing &found = *static_cast<Listing *>(context);
            found.checker->sort_out(entry, *found.given);
        };
        if (!visit_directory(directory_.c_str(), visit, &listing) && errno != ENOENT)  // ENOENT: each file missing
            done.push_back(outcome_of(Outcome::kUnlistable, errno, {}, directory_.c_str()));
        std::sort(extras_.begin(), extras_.end());
        std::sort(temporary_.begin(), temporary_.end());
        for (const std::string &name : extras_) {
            DtaKey key{};
            read_dta_name(name, last_path_component(directory_.c_str()), key);
            done.push_back(outcome_of(Outcome::kExtra, 0, key));
        }
        for (std::string &name : temporary_) {
            name.insert(0, 1, separator_for(directory_.c_str())).insert(0, directory_);
            done.push_back(outcome_of(Outcome::kLeftOver, 0, {}, name.c_str()));
        }
    }
    done.push_back(outcome_of(Outcome::kChecked));
}
