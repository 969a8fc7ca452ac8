#include "tree_checker.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

bool is_temporary_name(const std::string &name) {
    constexpr std::size_t kPrefixLength = sizeof kTempPrefix - 1;
    return name.size() == kPrefixLength + 12 && name.compare(0, kPrefixLength, kTempPrefix) == 0 &&
           name.compare(kPrefixLength + 8, 4, ".tmp") == 0 &&
           std::all_of(name.begin() + kPrefixLength, name.begin() + kPrefixLength + 8,
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

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
    start_scan_files(files_, input_, scan, header_window_, body_window_);
    while (next_dta_file(files_, dta_)) {
        done.push_back(check_dta(dta_));
        if (done.back().what == Outcome::kReadFailed) return false;
    }
    return !files_.header.failed;
}

Outcome TreeChecker::check_dta(DtaFile &file) {
    compose_dta_path(path_, prefix_length_, file.key);
    Standing standing = Standing::kNothing;
    file_ = open_standing_file(path_.c_str(), standing, size_);
    error_ = errno;
    verdict_ = standing == Standing::kNothing ? Outcome::kMissing
               : standing == Standing::kOther ? Outcome::kNotAFile
               : standing == Standing::kUnreadable ? Outcome::kUnreadable
                                                   : Outcome::kSame;
    compared_ = window_offset_ = 0;
    window_length_ = 0;
    // What a conversion would write, through the same gather, compared part by part.
    start_gather(gather_);
    Part parts[2];
    LineRun run{file.header, file.header_length};
    for (bool more = true; more; more = next_body_run(file.body, run)) {
        while (run.length > 0) {
            const int count = gather_bytes(gather_, run.bytes, run.length, parts);
            for (int i = 0; i < count; ++i) compare(parts[i].bytes, parts[i].length);
        }
    }
    const bool read = !file.body.cursor.failed;
    parts[0] = gathered(gather_);
    compare(parts[0].bytes, parts[0].length);
    if (verdict_ == Outcome::kSame && compared_ != size_) verdict_ = Outcome::kDiffers;  // longer
    if (file_ >= 0) close_file(file_);
    file_ = -1;
    return {read ? verdict_ : Outcome::kReadFailed, file.key, error_, 0, nullptr, file.odd_header};
}

// Compares the next bytes a conversion would write, until a difference is found.
void TreeChecker::compare(const char *bytes, std::size_t length) {
    while (length > 0 && verdict_ == Outcome::kSame) {
        const std::int64_t window_end = window_offset_ + static_cast<std::int64_t>(window_length_);
        if (compared_ >= window_end && !refill_window(compared_)) {
            if (verdict_ == Outcome::kSame) verdict_ = Outcome::kDiffers;  // shorter
            return;
        }
        const auto at = static_cast<std::size_t>(compared_ - window_offset_);
        const std::size_t count = std::min(length, window_length_ - at);
        if (std::memcmp(window_ + at, bytes, count) != 0) verdict_ = Outcome::kDiffers;
        compared_ += static_cast<std::int64_t>(count);
        bytes += count;
        length -= count;
    }
}

// Reads the window again from the file at offset; false at its end or a failed read.
bool TreeChecker::refill_window(std::int64_t offset) {
    const std::int64_t got = read_file_at(file_, offset, window_, sizeof window_);
    if (got < 0) {
        verdict_ = Outcome::kUnreadable;
        error_ = errno;
    }
    window_offset_ = offset;
    window_length_ = got > 0 ? static_cast<std::size_t>(got) : 0;
    return got > 0;
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
            done.push_back(outcome_of(Outcome::kUnlistable, errno));
        std::sort(extras_.begin(), extras_.end());
        std::sort(temporary_.begin(), temporary_.end());
        for (const std::string &name : extras_) {
            DtaKey key{};
            read_dta_name(name, last_path_component(directory_.c_str()), key);
            done.push_back(outcome_of(Outcome::kExtra, 0, key));
        }
        for (const std::string &name : temporary_) done.push_back(outcome_of(Outcome::kLeftOver, 0, {}, name.c_str()));
    }
    done.push_back(outcome_of(Outcome::kChecked));
}
