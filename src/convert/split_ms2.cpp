// The MS2 scan splitter.
//
// How it works
// - The reader hands over one scan at a time (next_scan): its scan numbers, where it lies,
//   where each of its charge lines begins, whether every charge line's body is one run of
//   bytes, and the bytes themselves when the buffer holds them.
// - For each charge line of the scan, one DTA file: the header line, then the body, which
//   is every piece after the charge line up to the scan's end that does not begin with a
//   letter. A body that is one run is written as it stands, in one write from the buffer;
//   any other is gathered into the writer's 64 KiB buffer, whole lines at a time sorted into
//   the runs it keeps (body_runs), piece by piece only around lines longer than a piece, and
//   kept there for the scan's other charge lines when they share it. A scan larger than
//   the buffer is read again for each file, through windows of 64 KiB.
// - Progress shows on standard error when it is a terminal and the input takes more than a
//   second; the clock is read every 256 scans, not per line.
//
// The DTA files are named after the last component of the directory, so that
// "data/run7.ms2" gives "data/run7/run7.00012.00012.2.dta" and every path lies inside the
// directory made for it.
#include "split_ms2.h"

#include <charconv>
#include <cstring>
#include <limits>

#include "messages.h"
#include "platform.h"
#include "write_pool.h"

namespace {

constexpr int kScanDigits = 5;  // scan numbers are zero-filled to this many
constexpr std::size_t kNumberMax = std::numeric_limits<std::int32_t>::digits10 + 2;  // sign
constexpr std::size_t kDtaSuffixSize = 3 * kNumberMax + sizeof "...dta";
static_assert(kDtaSuffixSize >= sizeof "-2147483648.-2147483648.-2147483648.dta",
              "the longest suffix must fit");
constexpr double kProgressDelay = 1.0;       // seconds before an input shows progress
constexpr double kProgressInterval = 0.25;   // between its updates
constexpr std::uint64_t kScansPerLook = 256;  // between looks at the clock

// Writes value as printf's "%.Nd" would with N = kDigits: at least that many digits, zero-
// filled after any sign ("-00003"). Not printf itself: this runs once per DTA file.
template <int kDigits>
char *append_decimal(char *out, std::int32_t value) {
    char text[12];
    const char *end = std::to_chars(text, text + sizeof text, value).ptr;
    const char *first = text;
    if (*first == '-') *out++ = *first++;
    for (auto count = end - first; count < kDigits; ++count) *out++ = '0';
    const auto length = static_cast<std::size_t>(end - first);
    std::memcpy(out, first, length);
    return out + length;
}

// The pieces of part of a scan, from the buffer when it holds the scan, else read again
// through a window.
struct PieceReader {
    std::int64_t position;       // of the next piece
    std::int64_t end;            // of the part
    char *window;                // of kRereadWindowSize bytes, for a scan not held
    std::int64_t window_offset;  // of window[0]
    std::size_t window_length;   // bytes the window holds
};

// The bytes known from the reader's position on, reading the window again when it could not
// hold the next piece whole; nullptr after a failed read, which ends the input.
const char *bytes_at(Ms2Input *input, const Scan &scan, PieceReader &reader, std::size_t &available) {
    const std::int64_t left = reader.end - reader.position;
    if (scan.held != nullptr) {
        available = static_cast<std::size_t>(left);
        return scan.held + (reader.position - scan.start);
    }
    const std::int64_t window_end = reader.window_offset + static_cast<std::int64_t>(reader.window_length);
    const std::int64_t wanted = left < std::int64_t{kLinePieceMax} ? left : std::int64_t{kLinePieceMax};
    if (reader.position < reader.window_offset || window_end - reader.position < wanted) {
        const std::int64_t got = reread_scan(*input, scan, reader.position, reader.window, kRereadWindowSize);
        if (got < 0) return nullptr;
        reader.window_offset = reader.position;
        reader.window_length = static_cast<std::size_t>(got);
    }
    available = static_cast<std::size_t>(reader.window_offset +
                                         static_cast<std::int64_t>(reader.window_length) -
                                         reader.position);
    if (static_cast<std::int64_t>(available) > left) available = static_cast<std::size_t>(left);
    return reader.window + (reader.position - reader.window_offset);
}

// A body that is not one run: the pieces after the charge line, less those that begin with
// a letter, sorted whole lines at a time where they can be, else one piece at a time.
bool gather_pieces(FileWriter &files, const Scan &scan, std::int64_t from) {
    DtaWriter &writer = files.writer;
    PieceReader reader{from, scan.end, files.body_window, 0, 0};
    while (reader.position < reader.end) {
        std::size_t available = 0;
        const char *bytes = bytes_at(files.input, scan, reader, available);
        if (bytes == nullptr) return false;
        BodyRun runs[kBodyRunsMax];
        std::size_t count = 0;
        const char *stop = body_runs(bytes, bytes + available, runs, count);
        for (std::size_t i = 0; i < count; ++i) gather_body(writer, runs[i].bytes, runs[i].length);
        if (stop == bytes) {  // a line longer than a piece, or the last few bytes: one piece
            const std::size_t length = piece_length(bytes, available);
            if (!is_letter(*bytes)) gather_body(writer, bytes, length);
            stop += length;
        }
        reader.position += stop - bytes;
    }
    if (scan.same_body) keep_gathered_body(writer, scan.number);
    return true;
}

// Bytes of a body that is one run: written as they stand, unless line ends must change.
void put_run(DtaWriter &writer, const char *bytes, std::size_t length) {
    if (writer.crlf) {
        gather_body(writer, bytes, length);
    } else {
        write_body(writer, bytes, length);
    }
}

// The body of the charge line that ends at after_charge_line, to the writer; false when
// reading the scan again failed.
bool copy_body(FileWriter &files, const Scan &scan, std::int64_t after_charge_line) {
    DtaWriter &writer = files.writer;
    if (!scan.one_run) {
        if (scan.same_body && reuse_kept_body(writer, scan.number)) return true;
        return gather_pieces(files, scan, after_charge_line);
    }
    if (scan.held != nullptr) {
        put_run(writer, scan.held + (scan.run_start - scan.start), static_cast<std::size_t>(scan.end - scan.run_start));
        return true;
    }
    for (std::int64_t at = scan.run_start; at < scan.end;) {
        const std::int64_t got = reread_scan(*files.input, scan, at, files.body_window, kRereadWindowSize);
        if (got < 0) return false;
        put_run(writer, files.body_window, static_cast<std::size_t>(got));
        at += got;
    }
    return true;
}

void start_progress(Progress &progress, std::int64_t size) {
    progress.on_terminal = is_terminal(2);
    progress.start = monotonic_seconds();
    progress.next_look = progress.start + kProgressDelay;
    progress.size = size;
    progress.scans = 0;
    progress.shown = false;
}

void show(Conversion &conversion, double now) {
    Progress &progress = conversion.progress;
    const std::uint64_t read = conversion.input.file_bytes;
    show_progress(*conversion.messages, conversion.name,
                  {read, progress.size, conversion.files, static_cast<double>(read) / 1e6 / (now - progress.start)});
    progress.shown = true;
}

void look_at_progress(Conversion &conversion) {
    Progress &progress = conversion.progress;
    if (!progress.on_terminal || ++progress.scans < kScansPerLook) return;
    progress.scans = 0;
    const double now = monotonic_seconds();
    if (now < progress.next_look) return;
    progress.next_look = now + kProgressInterval;
    show(conversion, now);
}

}  // namespace

std::string dta_path_prefix(const char *directory) {  // every path lies inside the directory
    std::string prefix(directory);
    prefix += separator_for(directory);
    prefix += last_path_component(directory);
    prefix += '.';
    return prefix;
}

void compose_dta_path(std::string &path, std::size_t prefix_length, ScanNumbers scan,
                      std::int32_t charge) {
    char suffix[kDtaSuffixSize];
    char *end = append_decimal<kScanDigits>(suffix, scan.first);
    *end++ = '.';
    end = append_decimal<kScanDigits>(end, scan.last);
    *end++ = '.';
    end = append_decimal<1>(end, charge);
    std::memcpy(end, ".dta", 4);
    path.resize(prefix_length);
    path.append(suffix, static_cast<std::size_t>(end + 4 - suffix));
}

bool write_scan(FileWriter &files, const Scan &scan) {
    PieceReader header{scan.start, scan.header_end, files.header_window, 0, 0};
    for (const std::int64_t charge_line : scan.charge_lines) {
        header.position = charge_line;
        std::size_t available = 0;
        const char *bytes = bytes_at(files.input, scan, header, available);
        if (bytes == nullptr) return false;
        const LinePiece piece{bytes, piece_length(bytes, available)};
        parse_charge_line(piece, files.line);
        compose_dta_path(files.path, files.prefix_length, scan.numbers, files.line.charge);
        const char *path = files.path.c_str();
        files.outcomes.emplace_back();
        if (!open_dta(files.writer, path, scan.numbers, files.line, files.outcomes.back())) continue;
        const bool read = copy_body(files, scan, charge_line + static_cast<std::int64_t>(piece.length));
        files.outcomes.back() = close_dta(files.writer, path, !read);
        if (!read) return false;
    }
    return true;
}

void start_file_writer(FileWriter &files, const char *directory, bool checking, Ms2Input *input) {
    files.path = dta_path_prefix(directory);
    files.prefix_length = files.path.size();
    files.path.reserve(files.prefix_length + kDtaSuffixSize);  // none per file
    files.input = input;
    files.outcomes.clear();
    start_dta_files(files.writer, checking);
}

void tell_outcomes(Conversion &conversion, std::vector<DtaOutcome> &outcomes) {
    Messages &messages = *conversion.messages;
    for (const DtaOutcome &outcome : outcomes) {
        const DtaKey key = outcome.key;
        compose_dta_path(conversion.path, conversion.prefix_length, {key.first, key.last}, key.charge);
        const char *path = conversion.path.c_str();
        if (outcome.read_failed) {  // the input's error tells
        } else if (conversion.checking) {
            if (outcome.verdict == Verdict::kUnreadable) report_unreadable_dta(messages, path, outcome.error);
            note_verdict(conversion.tree, key, note_written(conversion.names, key), outcome.verdict);
        } else if (outcome.complete) {
            const Noted noted = note_written(conversion.names, key);
            if (noted == Noted::kAgain) notice_replaced(messages, path);
            if (noted == Noted::kNoRoom && !conversion.names_lost) notice_names_lost(messages, path);
            conversion.names_lost = conversion.names_lost || noted == Noted::kNoRoom;
        } else {
            report_unwritable(messages, conversion.failures, path, outcome.error);
        }
        if (outcome.remove_error != 0) report_unremovable(messages, path, outcome.remove_error);
    }
    outcomes.clear();
}

namespace {

// The files of one scan: by the main thread, or, when several threads write and the buffer
// holds the scan, by one of them; false when reading the scan again failed.
bool write_files(Conversion &conversion, const Scan &scan) {
    if (conversion.writers != nullptr && scan.held != nullptr) {
        hand_over(*conversion.writers, conversion, scan);
        return true;
    }
    if (conversion.writers != nullptr) wait_for_writes(*conversion.writers, conversion);  // read again here
    const bool read = write_scan(conversion.writer, scan);
    tell_outcomes(conversion, conversion.writer.outcomes);
    return read;
}

}  // namespace

void split_ms2(Conversion &conversion, Messages &messages, const InputFile &input, const char *directory) {
    conversion.name = input.name;
    conversion.messages = &messages;
    conversion.path = dta_path_prefix(directory);
    conversion.prefix_length = conversion.path.size();
    conversion.path.reserve(conversion.prefix_length + kDtaSuffixSize);  // none per file
    conversion.scans = conversion.files = 0;
    clear_written_names(conversion.names);
    conversion.names_lost = false;
    conversion.failures = WriteFailures{};
    if (conversion.checking) start_tree_check(conversion.tree);
    attach_input(conversion.input, input.file, input.seekable, input.named);
    start_file_writer(conversion.writer, directory, conversion.checking, &conversion.input);
    // Input decoded as it is read leaves the decoding thread a processor; with fewer than
    // two writers, the main thread writes alone.
    const int writers = conversion.input.format == Format::kPlain ? kWritingThreadsMax : conversion.decoding_writers;
    conversion.writers = writers >= 2 ? conversion.pool : nullptr;
    if (conversion.writers != nullptr) {
        use_writers(*conversion.writers, writers);
        start_pool_files(*conversion.writers, directory);
    }
    start_progress(conversion.progress, input.seekable ? file_size(input.file) : -1);
    Scan scan{};
    while (next_scan(conversion.input, scan)) {  // it stops at a failure, and scans past it
        scan.number = ++conversion.scans;
        conversion.files += scan.charge_lines.size();
        if (!write_files(conversion, scan)) break;
        look_at_progress(conversion);
    }
    if (conversion.writers != nullptr) wait_for_writes(*conversion.writers, conversion);
    finish_input(conversion.input);
    if (conversion.progress.shown) {  // completed, as it ends
        show(conversion, monotonic_seconds());
        end_progress(messages);
    }
    report_failure_counts(messages, conversion.failures, input.name);
}
