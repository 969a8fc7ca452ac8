// The DTA writer.
#include "write_dta.h"

#include <cerrno>
#include <charconv>
#include <cstring>

#include "messages.h"

namespace {

void compose_header(DtaWriter &writer, const ChargeLine &line) {
    const std::size_t mass_length = std::strlen(line.mass_text);
    std::memcpy(writer.header, line.mass_text, mass_length);
    char *end = writer.header + mass_length;
    *end++ = ' ';
    end = std::to_chars(end, writer.header + kHeaderSize - 2, line.charge).ptr;
    if (writer.crlf) *end++ = '\r';
    *end++ = '\n';
    writer.header_length = static_cast<std::size_t>(end - writer.header);
}

void write_gathered(DtaWriter &writer) {
    write_body(writer, writer.gather, writer.gathered);
    writer.gathered = 0;
    writer.gather_written = true;
    writer.kept_body = 0;  // gather no longer holds one whole body
}

}  // namespace

void start_dta_files(DtaWriter &writer, bool checking) {
    writer.checking = checking;
    writer.crlf = lines_end_in_crlf();
    writer.kept_body = 0;
}

bool open_dta(DtaWriter &writer, const char *path, ScanNumbers scan, const ChargeLine &line,
              DtaOutcome &outcome) {
    writer.key = {scan.first, scan.last, line.charge};
    if (writer.checking) {
        open_checked(writer.checked, path);
    } else if (!open_output(path, writer.file)) {
        outcome = {writer.key, false, false, false, errno, 0, Verdict::kSame};
        return false;
    }
    writer.failed = false;
    writer.previous = '\0';
    writer.gathered = 0;
    writer.gather_written = false;
    compose_header(writer, line);
    return true;
}

void write_body(DtaWriter &writer, const char *bytes, std::size_t length) {
    if (writer.checking) {
        compare_checked(writer.checked, writer.header, writer.header_length);
        compare_checked(writer.checked, bytes, length);
    } else if (!writer.failed) {
        Part parts[2] = {{writer.header, writer.header_length}, {bytes, length}};
        if (!write_all(writer.file.descriptor, -1, parts, 2)) {
            writer.failed = true;
            writer.error = errno;
        }
    }
    writer.header_length = 0;
}

void gather_body(DtaWriter &writer, const char *bytes, std::size_t length) {
    while (length > 0) {
        const std::size_t room = kGatherSize - writer.gathered;
        char *out = writer.gather + writer.gathered;
        std::size_t taken = 0;
        if (writer.crlf) {  // each byte may become two
            taken = room / 2 < length ? room / 2 : length;
            writer.gathered += end_lines_in_crlf(bytes, taken, writer.previous, out);
        } else {
            taken = room < length ? room : length;
            std::memcpy(out, bytes, taken);
            writer.gathered += taken;
        }
        bytes += taken;
        length -= taken;
        if (kGatherSize - writer.gathered < (writer.crlf ? 2 : 1)) write_gathered(writer);
    }
}

void keep_gathered_body(DtaWriter &writer, std::uint64_t scan) {
    if (writer.gather_written) return;
    writer.kept_body = scan;
    writer.kept_length = writer.gathered;
}

bool reuse_kept_body(DtaWriter &writer, std::uint64_t scan) {
    if (writer.kept_body != scan) return false;
    writer.gathered = writer.kept_length;
    return true;
}

DtaOutcome close_dta(DtaWriter &writer, const char *path, bool read_failed) {
    DtaOutcome outcome{writer.key, true, false, read_failed, 0, 0, Verdict::kSame};
    if (!read_failed) {
        write_body(writer, writer.gather, writer.gathered);  // the header too, for an empty body
        writer.gathered = 0;
    }
    if (writer.checking) {
        outcome.verdict = close_checked(writer.checked);
        outcome.error = writer.checked.error;
        return outcome;
    }
    if (!read_failed && !writer.failed && !close_output(writer.file, path)) {
        writer.failed = true;
        writer.error = errno;
    }
    outcome.complete = !read_failed && !writer.failed;
    outcome.error = writer.error;
    // Gone before the line that reports it: no incomplete file stays behind.
    if (!outcome.complete && !discard_output(writer.file, path)) outcome.remove_error = errno;
    return outcome;
}

std::size_t end_lines_in_crlf(const char *bytes, std::size_t length, char &previous, char *out) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (bytes[i] == '\n' && previous != '\r') out[count++] = '\r';
        out[count++] = previous = bytes[i];
    }
    return count;
}
