#include "check_tree.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "messages.h"
#include "split_ms2.h"

namespace {

const char *problem_text(Verdict verdict) {
    switch (verdict) {
        case Verdict::kMissing: return " missing: ";
        case Verdict::kDiffers: return " differs: ";
        case Verdict::kNotAFile: return " not a file: ";
        default: return nullptr;  // the same, or told when it was met
    }
}

// Reads the window again from the file at offset; false at its end or a failed read.
bool refill_window(CheckedFile &checked, std::int64_t offset) {
    const std::int64_t got = read_file_at(checked.file, offset, checked.window, sizeof checked.window);
    if (got < 0) {
        checked.verdict = Verdict::kUnreadable;
        checked.error = errno;
    }
    checked.window_offset = offset;
    checked.window_length = got > 0 ? static_cast<std::size_t>(got) : 0;
    return got > 0;
}

bool is_temporary_name(const std::string &name) {
    constexpr std::size_t kPrefixLength = sizeof kTempPrefix - 1;
    return name.size() == kPrefixLength + 12 && name.compare(0, kPrefixLength, kTempPrefix) == 0 &&
           name.compare(kPrefixLength + 8, 4, ".tmp") == 0 &&
           std::all_of(name.begin() + kPrefixLength, name.begin() + kPrefixLength + 8,
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Whether name is the DTA name this input would give to key, as read from name.
bool is_dta_name(const std::string &name, std::string &path, std::size_t prefix_length,
                 std::size_t base_start, DtaKey &key) {
    const std::size_t base_length = prefix_length - base_start;  // with its '.'
    if (name.size() <= base_length || name.compare(0, base_length, path, base_start, base_length) != 0)
        return false;
    const char *next = name.data() + base_length;
    const char *end = name.data() + name.size();
    std::int32_t fields[3] = {};  // first, last, charge
    for (std::int32_t &field : fields) {
        const std::from_chars_result read = std::from_chars(next, end, field);
        if (read.ec != std::errc() || read.ptr == end || *read.ptr != '.') return false;
        next = read.ptr + 1;
    }
    key = {fields[0], fields[1], fields[2]};
    compose_dta_path(path, prefix_length, {key.first, key.last}, key.charge);
    return path.compare(base_start, std::string::npos, name) == 0;  // written as this program does
}

// The names in a directory that a conversion of the input would not leave there.
struct Strays {
    const WrittenNames &names;  // those the input gives
    std::string &path;
    std::size_t prefix_length;
    std::size_t base_start;                  // of the name in path
    std::vector<std::string> extras, temporary;
};

void sort_out(void *context, const char *entry) {
    Strays &strays = *static_cast<Strays *>(context);
    DtaKey key{};
    const std::string name(entry);
    if (is_temporary_name(name)) {
        strays.temporary.push_back(name);
    } else if (is_dta_name(name, strays.path, strays.prefix_length, strays.base_start, key) &&
               !wrote(strays.names, key)) {
        strays.extras.push_back(name);
    }
}

// Reports each of them in a line, in order of name; returns their count.
std::uint64_t report_strays(Messages &messages, const WrittenNames &names, const char *directory,
                            std::string &path, std::size_t prefix_length) {
    const std::size_t base_start = prefix_length - std::strlen(last_path_component(directory)) - 1;
    Strays strays{names, path, prefix_length, base_start, {}, {}};
    if (!visit_directory(directory, sort_out, &strays)) {
        if (errno == ENOENT) return 0;  // its files were each found missing
        report_unlistable(messages, directory, errno);
        return 1;
    }
    for (const bool temporary : {false, true}) {
        std::vector<std::string> &found = temporary ? strays.temporary : strays.extras;
        std::sort(found.begin(), found.end());
        for (const std::string &name : found) {
            path.replace(base_start, std::string::npos, name);
            report_check_problem(messages, temporary ? " left over: " : " extra: ", path.c_str());
        }
    }
    return strays.extras.size() + strays.temporary.size();
}

}  // namespace

void open_checked(CheckedFile &checked, const char *path) {
    checked.verdict = Verdict::kSame;
    checked.compared = 0;
    checked.window_offset = 0;
    checked.window_length = 0;
    Standing standing = Standing::kNothing;
    checked.file = open_standing_file(path, standing, checked.size);
    checked.error = errno;
    if (standing == Standing::kNothing) checked.verdict = Verdict::kMissing;
    if (standing == Standing::kOther) checked.verdict = Verdict::kNotAFile;
    if (standing == Standing::kUnreadable) checked.verdict = Verdict::kUnreadable;
}

void compare_checked(CheckedFile &checked, const char *bytes, std::size_t length) {
    while (length > 0 && checked.verdict == Verdict::kSame) {
        const std::int64_t window_end = checked.window_offset + static_cast<std::int64_t>(checked.window_length);
        if (checked.compared >= window_end && !refill_window(checked, checked.compared)) {
            if (checked.verdict == Verdict::kSame) checked.verdict = Verdict::kDiffers;  // shorter
            return;
        }
        const auto at = static_cast<std::size_t>(checked.compared - checked.window_offset);
        const std::size_t count = std::min(length, checked.window_length - at);
        if (std::memcmp(checked.window + at, bytes, count) != 0) checked.verdict = Verdict::kDiffers;
        checked.compared += static_cast<std::int64_t>(count);
        bytes += count;
        length -= count;
    }
}

Verdict close_checked(CheckedFile &checked) {
    if (checked.verdict == Verdict::kSame && checked.compared != checked.size)
        checked.verdict = Verdict::kDiffers;  // longer
    if (checked.file >= 0) close_file(checked.file);
    checked.file = -1;
    return checked.verdict;
}

void start_tree_check(TreeCheck &check) {
    check.problems.clear();
    check.differing.clear();
    check.files = 0;
}

void note_verdict(TreeCheck &check, DtaKey key, Noted noted, Verdict verdict) {
    if (noted != Noted::kAgain) {
        ++check.files;
        if (verdict == Verdict::kSame) return;
        if (verdict == Verdict::kDiffers) check.differing[key] = check.problems.size();
        check.problems.push_back({key, verdict, false});
        return;
    }
    // The same file stands at the name for both: only its contents are judged again.
    const auto earlier = check.differing.find(key);
    if (verdict == Verdict::kSame && earlier != check.differing.end()) {
        check.problems[earlier->second].superseded = true;
        check.differing.erase(earlier);
    } else if (verdict == Verdict::kDiffers && earlier == check.differing.end()) {
        check.differing[key] = check.problems.size();
        check.problems.push_back({key, verdict, false});
    }
}

std::uint64_t finish_tree_check(Messages &messages, const TreeCheck &check, const WrittenNames &names, const char *name,
                                const std::string &directory, bool cut_short, std::string &path,
                                std::size_t prefix_length) {
    std::uint64_t problems = 0;
    for (const TreeCheck::Problem &problem : check.problems) {
        if (problem.superseded) continue;
        ++problems;
        const char *text = problem_text(problem.verdict);
        if (text == nullptr) continue;
        compose_dta_path(path, prefix_length, {problem.key.first, problem.key.last}, problem.key.charge);
        report_check_problem(messages, text, path.c_str());
    }
    if (!cut_short) problems += report_strays(messages, names, directory.c_str(), path, prefix_length);
    report_check_summary(messages, name, check.files, problems);
    return problems;
}
