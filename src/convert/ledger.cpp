#include "ledger.h"

#include <cstring>

namespace {

const char *problem_text(Outcome::What verdict) {
    switch (verdict) {
        case Outcome::kMissing: return " missing: ";
        case Outcome::kDiffers: return " differs: ";
        case Outcome::kNotAFile: return " not a file: ";
        default: return nullptr;  // told when it was met
    }
}

// The DTA file of key, or for an MGF file the title of its entry.
const char *path_of(Ledger &ledger, DtaKey key) {
    if (ledger.kind == OutputKind::kMgf) {
        compose_mgf_title(ledger.path, ledger.prefix_length, key);
    } else {
        compose_dta_path(ledger.path, ledger.prefix_length, key);
    }
    return ledger.path.c_str();
}

void note_written_file(Ledger &ledger, Messages &messages, DtaKey key) {
    const Noted noted = note_written(ledger.names, key);
    if (noted == Noted::kAgain) notice_replaced(messages, path_of(ledger, key));
    if (noted == Noted::kNoRoom && !ledger.names_lost) notice_names_lost(messages, path_of(ledger, key));
    ledger.names_lost = ledger.names_lost || noted == Noted::kNoRoom;
}

// The verdict on the file at a name the input gives.
void note_verdict(CheckFindings &check, DtaKey key, Noted noted, Outcome::What verdict) {
    if (noted != Noted::kAgain) {
        ++check.files;
        if (verdict == Outcome::kSame) return;
        if (verdict == Outcome::kDiffers) check.differing[key] = check.problems.size();
        check.problems.push_back({key, verdict, false, nullptr});
        return;
    }
    // The same file stands at the name for both: only its contents are judged again.
    const auto earlier = check.differing.find(key);
    if (verdict == Outcome::kSame && earlier != check.differing.end()) {
        check.problems[earlier->second].superseded = true;
        check.differing.erase(earlier);
    } else if (verdict == Outcome::kDiffers && earlier == check.differing.end()) {
        check.differing[key] = check.problems.size();
        check.problems.push_back({key, verdict, false, nullptr});
    }
}

void check_file(Ledger &ledger, Messages &messages, const Outcome &outcome) {
    if (outcome.name != nullptr) {  // a file that holds every spectrum: one verdict
        if (outcome.what == Outcome::kUnreadable) report_unreadable_dta(messages, outcome.name, outcome.error);
        if (outcome.what != Outcome::kSame) ledger.check.problems.push_back({{}, outcome.what, false, outcome.name});
        return;
    }
    const Noted noted = note_written(ledger.names, outcome.key);
    if (outcome.what == Outcome::kUnreadable && noted != Noted::kAgain)  // a name the input repeats, once
        report_unreadable_dta(messages, path_of(ledger, outcome.key), outcome.error);
    note_verdict(ledger.check, outcome.key, noted, outcome.what);
}

// The problems with the input's own files, once they are all known.
void tell_problems(Ledger &ledger, Messages &messages) {
    CheckFindings &check = ledger.check;
    if (check.told) return;
    check.told = true;
    for (const CheckFindings::Problem &problem : check.problems) {
        const char *text = problem_text(problem.verdict);
        if (problem.superseded || text == nullptr) continue;
        report_check_problem(messages, text, problem.path != nullptr ? problem.path : path_of(ledger, problem.key));
    }
}

// What a check found in the directory besides the input's files.
void tell_stray(Ledger &ledger, Messages &messages, const Outcome &outcome) {
    tell_problems(ledger, messages);
    CheckFindings &check = ledger.check;
    ++check.strays;
    check.extra = check.extra || outcome.what == Outcome::kExtra;
    check.left_over = check.left_over || outcome.what == Outcome::kLeftOver;
    if (outcome.what == Outcome::kExtra) {
        report_check_problem(messages, " extra: ", path_of(ledger, outcome.key));
    } else if (outcome.what == Outcome::kLeftOver) {
        report_check_problem(messages, " left over: ", outcome.name);
    } else {
        report_unlistable(messages, outcome.name, outcome.error);
    }
}

void note_odd_header(Ledger &ledger, const Outcome &outcome) {
    if (!outcome.odd_header || outcome.what == Outcome::kReadFailed) return;
    if (ledger.odd_headers++ == 0) ledger.first_odd_header = path_of(ledger, outcome.key);
}

void tell_file_failure(Ledger &ledger, Messages &messages, const Outcome &outcome) {
    if (outcome.what == Outcome::kFailed) {
        report_unwritable(messages, ledger.failures, path_of(ledger, outcome.key), outcome.error);
    } else {
        report_argument_failure(messages, outcome.name, std::strerror(outcome.error));
    }
}

}  // namespace

void open_ledger(Ledger &ledger, const char *name, OutputKind kind, const char *output) {
    ledger.name = name;
    ledger.kind = kind;
    ledger.output = output;
    ledger.path = kind == OutputKind::kTree ? dta_path_prefix(output) : mgf_title_prefix(output);
    ledger.prefix_length = ledger.path.size();
    clear_written_names(ledger.names);
    ledger.names_lost = false;
    ledger.failures = WriteFailures{};
    ledger.not_durable = 0;
    ledger.odd_headers = 0;
    CheckFindings &check = ledger.check;
    check.problems.clear();
    check.differing.clear();
    check.files = check.strays = 0;
    check.told = check.checked = check.extra = check.left_over = false;
}

void enter(Ledger &ledger, Messages &messages, const Outcome &outcome) {
    note_odd_header(ledger, outcome);
    switch (outcome.what) {
        case Outcome::kWritten: note_written_file(ledger, messages, outcome.key); break;
        case Outcome::kFailed:
        case Outcome::kFileFailed: tell_file_failure(ledger, messages, outcome); break;
        case Outcome::kReadFailed:  // the input's read error tells
        case Outcome::kFileWritten: break;
        case Outcome::kSpectrum: ++ledger.check.files; break;
        case Outcome::kSame:
        case Outcome::kMissing:
        case Outcome::kDiffers:
        case Outcome::kNotAFile:
        case Outcome::kUnreadable: check_file(ledger, messages, outcome); break;
        case Outcome::kExtra:
        case Outcome::kLeftOver:
        case Outcome::kUnlistable: tell_stray(ledger, messages, outcome); break;
        case Outcome::kChecked:
            tell_problems(ledger, messages);
            ledger.check.checked = true;
            break;
        case Outcome::kNotDurable: ledger.not_durable = outcome.error; break;
        case Outcome::kOutOfMemory: report_argument_failure(messages, ledger.name, "out of memory"); break;
    }
    if (outcome.remove_error != 0)
        report_unremovable(messages, outcome.name != nullptr ? outcome.name : path_of(ledger, outcome.key), outcome.remove_error);
}

void close_ledger(Ledger &ledger, Messages &messages, const Ms2Input &reader, std::uint64_t files) {
    const bool mgf = ledger.kind == OutputKind::kMgf;
    report_failure_counts(messages, ledger.failures, ledger.name);
    if (reader.error != 0) {
        report_read_error(messages, ledger.name, reader.error, reader.problem);
    } else if (files == 0) {  // not MS2 at all, perhaps
        notice_no_spectrum(messages, ledger.name, mgf ? ledger.output : nullptr);
    }
    if (reader.first_nul >= 0) notice_not_text(messages, ledger.name, reader.first_nul);
    if (ledger.odd_headers > 0)
        notice_odd_headers(messages, ledger.name, ledger.odd_headers, ledger.first_odd_header.c_str(), mgf);
    const CheckFindings &check = ledger.check;
    if (check.checked) {
        CheckSummary summary{check.files, check.strays, false, false, check.extra, check.left_over, mgf ? ledger.output : nullptr};
        for (const CheckFindings::Problem &found : check.problems) {
            if (found.superseded) continue;
            ++summary.problems;
            (found.verdict == Outcome::kNotAFile ? summary.not_a_file : summary.convert_again) = true;
        }
        report_check_summary(messages, ledger.name, summary);
    }
    if (ledger.not_durable != 0) report_not_durable(messages, ledger.name, ledger.not_durable);
}
