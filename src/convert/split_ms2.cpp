// The conversion loop.
//
// How it works
// - The reader hands over one scan at a time (next_scan): its scan numbers, where it lies,
//   and its bytes when the buffer holds them; the sink writes (or checks) its DTA files, one
//   per charge line, and tells what became of each, in input order, for the ledger to tell.
// - Progress shows on standard error when it is a terminal and the input takes more than a
//   second; the clock is read every 256 scans, not per line.
#include "split_ms2.h"

#include <cerrno>
#include <new>

#include "platform.h"

namespace {

constexpr double kProgressDelay = 1.0;       // seconds before an input shows progress
constexpr double kProgressInterval = 0.25;   // between its updates
constexpr std::uint64_t kScansPerLook = 256;  // between looks at the clock

void start_progress(Progress &progress, std::int64_t size) {
    progress.on_terminal = is_terminal(2);
    progress.start = monotonic_seconds();
    progress.next_look = progress.start + kProgressDelay;
    progress.size = size;
    progress.scans = 0;
    progress.shown = false;
}

void show(Messages &messages, Conversion &conversion, std::uint64_t files, double now) {
    Progress &progress = conversion.progress;
    const std::uint64_t read = conversion.reader.file_bytes;
    const char *unit = conversion.ledger.kind == OutputKind::kMgf ? "spectra" : "DTA files";
    show_progress(messages, conversion.ledger.name,
                  {read, progress.size, files, unit, static_cast<double>(read) / 1e6 / (now - progress.start)});
    progress.shown = true;
}

void look_at_progress(Messages &messages, Conversion &conversion, std::uint64_t files) {
    Progress &progress = conversion.progress;
    if (!progress.on_terminal || ++progress.scans < kScansPerLook) return;
    progress.scans = 0;
    const double now = monotonic_seconds();
    if (now < progress.next_look) return;
    progress.next_look = now + kProgressInterval;
    show(messages, conversion, files, now);
}

void tell(Conversion &conversion, Messages &messages) {
    for (const Outcome &outcome : conversion.told) enter(conversion.ledger, messages, outcome);
    conversion.told.clear();
}

}  // namespace

InputResult split_ms2(Conversion &conversion, Messages &messages, const Input &input, Sink &sink) {
    Ms2Input &reader = conversion.reader;
    attach_input(reader, input.file, input.seekable, input.named);
    open_ledger(conversion.ledger, input.name, input.kind, input.output.c_str());
    sink.start(input.output.c_str(), reader);
    start_progress(conversion.progress, input.seekable ? file_size(input.file) : -1);
    std::uint64_t files = 0;
    Scan scan{};
    bool whole = true;  // every scan read reached the sink
    try {
        bool read = true;
        while (read && next_scan(reader, scan)) {  // it stops at a failure, and scans past it
            files += scan.charge_lines;
            read = sink.take(scan, conversion.told);
            tell(conversion, messages);
            look_at_progress(messages, conversion, files);
        }
    } catch (const std::bad_alloc &) {  // ends the input as a failed read would, and says so
        whole = false;
        conversion.told.clear();
        enter(conversion.ledger, messages, outcome_of(Outcome::kOutOfMemory, ENOMEM));
    }
    sink.finish(reader.cut_short || !whole ? nullptr : &conversion.ledger.names, conversion.told);
    tell(conversion, messages);
    finish_input(reader);
    if (conversion.progress.shown) {  // completed, as it ends
        show(messages, conversion, files, monotonic_seconds());
        end_progress(messages);
    }
    close_ledger(conversion.ledger, messages, reader, files);
    return {files, reader.error, reader.problem};
}
