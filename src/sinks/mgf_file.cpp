#include "mgf_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <new>

namespace {

constexpr std::int64_t kProton = 1007276466621;  // its mass in Da, times 10^12
constexpr int kMassDecimals = 12;                // of MH+ taken exactly
constexpr std::int64_t kMicro = 1000000;         // 10^6: PEPMASS has six decimals

void append_number(std::string &out, std::int64_t value) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// A decimal number as written, times 10^12; false for anything else, or one too large.
bool read_mass(const char *text, std::int64_t &mass) {
    if (*text == '+') ++text;
    std::int64_t whole = 0;
    int whole_digits = 0, decimals = 0;
    std::int64_t fraction = 0;
    bool digits = false;
    for (; *text >= '0' && *text <= '9'; ++text) {
        digits = true;
        if (whole == 0 && *text == '0') continue;  // leading zeros
        if (++whole_digits > 6) return false;      // a million Da and more: no precursor
        whole = whole * 10 + (*text - '0');
    }
    if (*text == '.') {
        for (++text; *text >= '0' && *text <= '9'; ++text) {
            if (decimals == kMassDecimals) continue;  // beyond what a precursor's mass can mean
            fraction = fraction * 10 + (*text - '0');
            ++decimals;
        }
    }
    if (*text != '\0' || (!digits && decimals == 0)) return false;
    for (int d = decimals; d < kMassDecimals; ++d) fraction *= 10;
    mass = whole * 1000000000000 + fraction;
    return true;
}

}  // namespace

bool precursor_mz(const char *mass_text, std::int32_t charge, std::string &out) {
    std::int64_t mass = 0;
    if (charge < 1 || !read_mass(mass_text, mass)) return false;
    // (MH+ - p) / z + p, in 10^-12 Da: a quotient and a remainder, so nothing overflows.
    const std::int64_t difference = mass - kProton;
    std::int64_t quotient = difference / charge;
    std::int64_t remainder = difference % charge;
    if (remainder < 0) {  // the floor, for a mass below a proton's
        --quotient;
        remainder += charge;
    }
    const std::int64_t total = quotient + kProton;  // and remainder / charge
    std::int64_t micro = total / kMicro;
    const std::int64_t rest = total % kMicro;
    if (2 * (rest * charge + remainder) >= kMicro * charge) ++micro;  // half up
    append_number(out, micro / kMicro);
    char decimals[] = ".000000";
    for (std::int64_t digits = micro % kMicro, at = 6; digits > 0; digits /= 10, --at)
        decimals[at] = static_cast<char>('0' + digits % 10);
    out += decimals;
    return true;
}

bool minutes_to_seconds(const char *minutes, std::size_t length, std::string &out) {
    std::uint64_t digits = 0;  // the number without its point
    std::size_t decimals = 0, count = 0;
    bool point = false;
    for (std::size_t i = 0; i < length; ++i) {
        if (minutes[i] == '.' && !point) {
            point = true;
        } else if (minutes[i] >= '0' && minutes[i] <= '9' && count < 17) {
            digits = digits * 10 + static_cast<std::uint64_t>(minutes[i] - '0');
            decimals += point ? 1 : 0;
            ++count;
        } else {
            return false;
        }
    }
    if (count == 0) return false;
    char text[24];
    const std::size_t size = static_cast<std::size_t>(std::to_chars(text, text + sizeof text, digits * 60).ptr - text);
    const std::size_t whole = size > decimals ? size - decimals : 0;
    out.assign(text, whole);
    if (whole == 0) out += '0';
    if (decimals == 0) return true;
    out += '.';
    out.append(decimals - (size - whole), '0');  // zeros after the point that the digits lack
    out.append(text + whole, size - whole);
    return true;
}

MgfSink::MgfSink() : first_(new char[kMgfBufferSize]), buffer_(first_.get()) {}

void MgfSink::start(const char *output, Ms2Input &input) {
    input_ = &input;
    path_ = output;
    folder_.assign(output, static_cast<std::size_t>(last_path_component(output) - output));
    title_ = mgf_title_prefix(output);
    base_length_ = title_.size();
    emitted_ = 0;
    cut_at_ = -1;
    crlf_ = lines_end_in_crlf();
    previous_ = '\0';
    length_ = 0;
}

bool MgfSink::take(const Scan &scan, Outcomes &done) {
    find_retention_time(scan);
    start_scan_files(files_, input_, scan);
    while (next_dta_file(files_, dta_)) {
        const std::int64_t entry_start = emitted_ + static_cast<std::int64_t>(length_);
        bool odd_mass = false;
        const bool read = put_entry(dta_, odd_mass);
        done.push_back({read ? Outcome::kSpectrum : Outcome::kReadFailed, dta_.key, 0, 0, nullptr, odd_mass});
        if (read) continue;
        // The file keeps whole entries only: what is held of this one goes, and what was
        // emitted of it is cut when the file ends.
        if (entry_start >= emitted_) length_ = static_cast<std::size_t>(entry_start - emitted_);
        cut_at_ = entry_start;
        return false;
    }
    return !files_.header.failed;
}

// Copies bytes to the buffer (each LF that no CR precedes as CR LF, on Windows), emitting
// it whenever it is full.
void MgfSink::put(const char *bytes, std::size_t length) {
    while (length > 0) {
        const std::size_t room = kMgfBufferSize - length_;
        std::size_t taken = crlf_ ? room / 2 : room;  // each byte may become two
        if (taken > length) taken = length;
        if (crlf_) {
            length_ += end_lines_in_crlf(bytes, taken, previous_, buffer_ + length_);
        } else {
            std::memcpy(buffer_ + length_, bytes, taken);
            length_ += taken;
        }
        bytes += taken;
        length -= taken;
        if (kMgfBufferSize - length_ < 2) flush();
    }
}

void MgfSink::flush() {
    emitted_ += static_cast<std::int64_t>(length_);
    if (length_ > 0) buffer_ = emit(buffer_, length_);
    length_ = 0;
}

// The scan's retention time in seconds, from the first line of its header that gives it.
void MgfSink::find_retention_time(const Scan &scan) {
    seconds_.clear();
    ScanCursor header{};
    start_cursor(header, input_, scan, scan.start, scan.header_end, files_.header_window);
    LinePiece piece{};
    const char *minutes = nullptr;
    std::size_t length = 0;
    while (seconds_.empty() && next_piece(header, piece)) {
        if (piece.bytes[0] == 'I' && read_retention_time(piece, minutes, length))
            minutes_to_seconds(minutes, length, seconds_);
    }
}

// One entry; false when reading its scan again failed. odd_mass: its PEPMASS is not a mass.
bool MgfSink::put_entry(DtaFile &file, bool &odd_mass) {
    compose_mgf_title(title_, base_length_, file.key);
    head_.assign("BEGIN IONS\nTITLE=");
    head_ += title_;
    head_ += "\nSCANS=";
    append_number(head_, file.key.first);
    if (file.key.last != file.key.first) append_number(head_ += '-', file.key.last);
    if (!seconds_.empty()) (head_ += "\nRTINSECONDS=") += seconds_;
    head_ += "\nPEPMASS=";
    const bool charged = file.key.charge >= 1;
    odd_mass = charged ? !precursor_mz(file.line.mass_text, file.key.charge, head_) : !is_positive_number(file.line.mass_text);
    if (!charged || odd_mass) head_ += file.line.mass_text;  // the mass of a singly charged ion, or as written
    if (charged) {
        append_number(head_ += "\nCHARGE=", file.key.charge);
        head_ += '+';
    }
    head_ += '\n';
    put(head_.data(), head_.size());
    LineRun run{};
    char last = '\n';
    while (next_body_run(file.body, run)) {
        put(run.bytes, run.length);
        last = run.bytes[run.length - 1];
    }
    if (file.body.cursor.failed) return false;
    const char *end = "\nEND IONS\n";  // its last line ended first
    put(last == '\n' ? end + 1 : end, last == '\n' ? 9 : 10);
    return true;
}

MgfWriter::MgfWriter(bool durable, bool background)
    : file_{0, -1, durable, false, false, true, {}}, durable_(durable) {
    if (!background) return;
    second_.reset(new char[kMgfBufferSize]);
    try {
        writer_ = std::thread(&MgfWriter::write_in_background, this);
    } catch (const std::exception &) {  // no thread to be had: the main thread writes
    }
}

MgfWriter::~MgfWriter() {
    if (!writer_.joinable()) return;
    {
        const std::lock_guard<std::mutex> held(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    writer_.join();
}

void MgfWriter::start(const char *output, Ms2Input &input) {
    MgfSink::start(output, input);
    error_ = open_output(path_.c_str(), file_) ? 0 : errno;
    opened_ = error_ == 0;
}

void MgfWriter::write(const char *bytes, std::size_t length) {
    Part part{bytes, length};
    if (error_ == 0 && !write_all(file_.descriptor, -1, &part, 1)) error_ = errno;
}

// Writes each full buffer while the main thread fills the other.
void MgfWriter::write_in_background() {
    block_interruptions();  // they are handled by the main thread
    std::unique_lock<std::mutex> held(lock_);
    for (;;) {
        changed_.wait(held, [this] { return pending_ != nullptr || stopping_; });
        if (pending_ == nullptr) return;
        held.unlock();
        write(pending_, pending_length_);
        held.lock();
        pending_ = nullptr;
        changed_.notify_all();
    }
}

void MgfWriter::wait_for_writes() {
    std::unique_lock<std::mutex> held(lock_);
    changed_.wait(held, [this] { return pending_ == nullptr; });
}

// Hands the buffer to the thread that writes, and fills the other meanwhile.
char *MgfWriter::emit(char *bytes, std::size_t length) {
    if (!writer_.joinable()) {
        write(bytes, length);
        return bytes;
    }
    wait_for_writes();  // the other buffer's, which is then free
    {
        const std::lock_guard<std::mutex> held(lock_);
        pending_ = bytes;
        pending_length_ = length;
    }
    changed_.notify_all();
    return bytes == second_.get() ? first_buffer() : second_.get();
}

void MgfWriter::finish(const WrittenNames *, Outcomes &done) {
    flush();
    if (writer_.joinable()) wait_for_writes();
    const char *path = path_.c_str();
    if (error_ == 0 && cut_at_ >= 0 && !cut_output(file_, cut_at_)) error_ = errno;
    if (error_ == 0 && !close_output(file_, path)) error_ = errno;
    if (error_ != 0) {
        Outcome failed = outcome_of(Outcome::kFileFailed, error_, {}, path);
        // Gone before the line that reports it: no incomplete file stays behind.
        if (opened_ && !discard_output(file_, path)) failed.remove_error = errno;
        done.push_back(failed);
        return;
    }
    done.push_back(outcome_of(Outcome::kFileWritten, 0, {}, path));
    if (durable_ && !make_durable(folder())) done.push_back(outcome_of(Outcome::kNotDurable, errno));
}

void MgfChecker::start(const char *output, Ms2Input &input) {
    MgfSink::start(output, input);
    open_compared(compared_, path_.c_str());
}

char *MgfChecker::emit(char *bytes, std::size_t length) {
    compare_bytes(compared_, bytes, length);
    return bytes;
}

void MgfChecker::finish(const WrittenNames *given, Outcomes &done) {
    flush();
    if (cut_at_ >= 0 && compared_.compared > cut_at_) compared_.compared = cut_at_;  // as a conversion cuts it
    done.push_back(outcome_of(close_compared(compared_), compared_.error, {}, path_.c_str()));
    temporary_.clear();
    if (given != nullptr) {  // temporary files beside it, which an interrupted conversion left
        const auto visit = [](void *context, const char *entry) {
            if (is_temporary_name(entry)) static_cast<std::vector<std::string> *>(context)->push_back(entry);
        };
        if (!visit_directory(folder(), visit, &temporary_) && errno != ENOENT)
            done.push_back(outcome_of(Outcome::kUnlistable, errno, {}, path_.c_str()));
        std::sort(temporary_.begin(), temporary_.end());
        for (std::string &name : temporary_) {
            name.insert(0, folder_);
            done.push_back(outcome_of(Outcome::kLeftOver, 0, {}, name.c_str()));
        }
    }
    done.push_back(outcome_of(Outcome::kChecked));
}
