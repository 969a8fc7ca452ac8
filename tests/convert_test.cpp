#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ms2_input.h"
#include "split_ms2.h"
#include "utf16.h"
#include "write_dta.h"
#include "written_names.h"

namespace {

namespace fs = std::filesystem;

LinePiece piece_of(const std::string &text) { return {text.data(), text.size()}; }

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Large contents: report where they part, not a diff of megabytes.
void expect_file(const std::string &path, const std::string &expected) {
    const std::string actual = read_file(path);
    const auto parted =
        std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    EXPECT_TRUE(actual == expected) << path << ": " << actual.size() << " bytes, expected "
                                    << expected.size() << ", first difference at byte "
                                    << (parted.first - actual.begin());
}

// A directory of the test's own, removed with its contents when the test ends, so that
// tests running side by side never meet.
class Scratch {
public:
    Scratch() {
        std::string pattern = ::testing::TempDir() + "ms2split-test-XXXXXX";
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : "";
        EXPECT_FALSE(path_.empty()) << "cannot make a directory under " << ::testing::TempDir();
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    std::string path(const std::string &name) const { return path_ + "/" + name; }
    // An input file holding the contents, opened for reading as the program opens it.
    int input(const std::string &name, const std::string &contents) const {
        std::ofstream(path(name), std::ios::binary) << contents;
        return open(path(name).c_str(), O_RDONLY | O_CLOEXEC);
    }

private:
    std::string path_;
};

// Splits text as the input file NAME.ms2 into the directory NAME.
SplitResult split_text(const Scratch &scratch, const std::string &name, const std::string &text) {
    static Ms2Input input;
    const int file = scratch.input(name + ".ms2", text);
    EXPECT_GE(file, 0);
    EXPECT_TRUE(fs::create_directory(scratch.path(name)));
    if (file < 0) return {0, 0, 0};
    attach_input(input, file);
    const SplitResult result = split_ms2(input, scratch.path(name).c_str());
    close(file);
    return result;
}

TEST(FieldReading, ScanNumbersAtTheLimitsOf32Bits) {
    struct Case { std::string line; std::int32_t first, last; };
    const Case cases[] = {
        {"S 2147483647 -2147483648\n", INT32_MAX, INT32_MIN},
        {"S 2147483648 -2147483649\n", INT32_MAX, INT32_MIN},
        {"S 000000000000000000000012 +0012\n", 12, 12},
        {"S 123456789012345678901234567890 7\n", INT32_MAX, 7},
        {"S +-5 6\n", 0, 0},
        {"S - 5\n", 0, 0},
        {"S\v1\f2\r\n", 1, 2},
        {"S 0x1f 9\n", 0, 0},                  // decimal only: "0" is read, then "x1f" is no number
        {std::string("S\0 5 6\n", 7), 0, 0},  // the fields end at the NUL
    };
    for (const Case &c : cases) {
        const ScanNumbers scan = parse_scan_line(piece_of(c.line));
        EXPECT_EQ(scan.first, c.first) << c.line;
        EXPECT_EQ(scan.last, c.last) << c.line;
    }
}

TEST(FieldReading, MassTokenEndsAtWhiteSpaceOrNul) {
    struct Case { std::string line; std::int32_t charge; std::string mass; };
    const Case cases[] = {
        {"Z 2 609.39\r\n", 2, "609.39"},
        {std::string("Z 3 12\0" "34 x", 11), 3, "12"},
        {std::string("Z 3\0 7.5\n", 9), 3, "0"},  // the NUL ends the line before the mass
        {"Z 4\t\n", 4, "0"},
        {"Z 5 " + std::string(kLinePieceMax - 4, '9'), 5, std::string(kLinePieceMax - 4, '9')},
    };
    ChargeLine line;
    for (const Case &c : cases) {
        parse_charge_line(piece_of(c.line), line);
        EXPECT_EQ(line.charge, c.charge) << c.line;
        // Compared with the terminator, so that bytes after a NUL cannot hide behind it.
        EXPECT_EQ(std::string(line.mass_text, c.mass.size() + 1), c.mass + '\0') << c.line;
    }
}

TEST(DtaPath, NamedAfterTheStemsLastComponent) {
    std::string path = dta_path_prefix("data/run 7");
    const std::size_t prefix_length = path.size();
    compose_dta_path(path, prefix_length, {-2147483647 - 1, 123456}, -12);
    EXPECT_EQ(path, "data/run 7/run 7.-2147483648.123456.-12.dta");
    compose_dta_path(path, prefix_length, {7, -3}, 2);  // a shorter suffix leaves nothing behind
    EXPECT_EQ(path, "data/run 7/run 7.00007.-00003.2.dta");
}

// Input several buffers long, with lines of every length up to beyond one piece.
std::string varied_lines() {
    std::string text;
    for (std::size_t i = 0; text.size() < 3 * kInputBufferSize; ++i) {
        text.append((i * 7919) % 12000, static_cast<char>('0' + i % 10));
        text += '\n';
    }
    return text;
}

TEST(Ms2Input, PiecesCoverTheFileAndSeeksReturnAnywhere) {
    const Scratch scratch;
    const std::string text = varied_lines();
    const int file = scratch.input("pieces.ms2", text);
    ASSERT_GE(file, 0);
    static Ms2Input input;
    attach_input(input, file);

    std::vector<std::int64_t> starts;
    std::string joined;
    LinePiece piece{};
    for (starts.push_back(0); read_piece(input, piece); starts.push_back(input_position(input))) {
        ASSERT_LE(piece.length, kLinePieceMax);
        const bool ends_line = piece.bytes[piece.length - 1] == '\n';
        ASSERT_TRUE(ends_line || piece.length == kLinePieceMax);
        joined.append(piece.bytes, piece.length);
    }
    EXPECT_EQ(joined, text);

    for (std::size_t i : {starts.size() / 2, std::size_t{0}, starts.size() - 2, std::size_t{1}}) {
        ASSERT_TRUE(seek_input(input, starts[i]));
        ASSERT_TRUE(read_piece(input, piece));
        const auto start = static_cast<std::size_t>(starts[i]);
        EXPECT_EQ(std::string(piece.bytes, piece.length),
                  text.substr(start, static_cast<std::size_t>(starts[i + 1]) - start));
    }
    close(file);
}

// Lines of every kind in random order: peak lines, letter lines, blank lines, lines of a
// piece's length and either side of it, and a last line without a LF.
std::string mixed_lines(std::uint32_t seed) {
    std::string text;
    const char firsts[] = "0123456789 \t.-SZIHsz\r\n\x80";
    while (text.size() < 2 * kInputBufferSize) {
        seed = seed * 1103515245 + 12345;
        const std::size_t kind = seed >> 16;
        std::size_t length = kind % 40;
        if (kind % 97 == 0) length = kLinePieceMax - 2 + kind % 5;  // 4997 to 5001 bytes
        text += firsts[kind % (sizeof firsts - 1)];
        text.append(length, static_cast<char>('0' + kind % 10));
        text += '\n';
    }
    return text + "7 7";
}

// Whatever skip_plain_lines passes is whole pieces, as read_piece would cut them, none of
// them beginning with a letter; and reading on afterwards misses nothing.
TEST(Ms2Input, SkippedLinesAreWholePlainPieces) {
    const Scratch scratch;
    for (std::uint32_t seed = 1; seed <= 3; ++seed) {
        const std::string text = mixed_lines(seed);
        const int file = scratch.input("mixed.ms2", text);
        ASSERT_GE(file, 0);
        static Ms2Input input;
        attach_input(input, file);
        std::string joined;
        std::size_t skipped_total = 0;
        LinePiece piece{};
        while (read_piece(input, piece)) {
            joined.append(piece.bytes, piece.length);
            const std::size_t from = joined.size();
            const std::size_t skipped = skip_plain_lines(input);
            joined.append(input.data + input.cursor - skipped, skipped);
            for (std::size_t at = from; at < joined.size();) {
                const std::size_t feed = joined.find('\n', at);
                ASSERT_NE(feed, std::string::npos);
                ASSERT_LE(feed + 1 - at, kLinePieceMax) << "a skipped line longer than a piece";
                const char first = static_cast<char>(joined[at] | 0x20);
                ASSERT_FALSE(first >= 'a' && first <= 'z') << "a skipped line begins with a letter";
                at = feed + 1;
            }
            skipped_total += skipped;
        }
        EXPECT_EQ(joined, text);
        EXPECT_GT(skipped_total, text.size() / 4);  // runs of plain lines are passed in bulk
        close(file);
    }
}

// Reads pieces until the input has moved its buffer and then gone `beyond` bytes further;
// returns whether the return to `held` afterwards was served from the buffer.
bool returned_from_buffer(Ms2Input &input, std::int64_t held, std::int64_t beyond) {
    LinePiece piece{};
    const std::int64_t first_offset = input.buffer_offset;
    while (input.buffer_offset == first_offset) read_piece(input, piece);
    const std::int64_t target = input_position(input) + beyond;
    while (input_position(input) < target) read_piece(input, piece);
    const std::int64_t buffer_offset = input.buffer_offset;
    return seek_input(input, held) && input.buffer_offset == buffer_offset && input.filled > 0;
}

// A held position survives refills while the buffer can keep it, so the return to it needs
// no read of the file; one held longer is read again from the file, still correctly.
TEST(Ms2Input, HeldPositionIsKeptAcrossRefills) {
    const Scratch scratch;
    const std::string text = varied_lines() + varied_lines();
    const int file = scratch.input("held.ms2", text);
    ASSERT_GE(file, 0);
    static Ms2Input input;
    attach_input(input, file);
    LinePiece piece{};
    while (input_position(input) < static_cast<std::int64_t>(kInputBufferSize) - 20000)
        read_piece(input, piece);
    // Held 20 KB before a refill: kept. Held just after one, the next refill finds it too far.
    for (const bool kept : {true, false}) {
        const std::int64_t held = hold_input_position(input);
        EXPECT_EQ(returned_from_buffer(input, held, 1000), kept);
        ASSERT_TRUE(read_piece(input, piece));
        EXPECT_EQ(std::string(piece.bytes, piece.length),
                  text.substr(static_cast<std::size_t>(held), piece.length));
    }
    close(file);
}

// A scan whose peaks outrun the input buffer: both charge files hold every peak, and the
// split goes on correctly after the return to a position the buffer no longer holds.
TEST(SplitMs2, ScanLargerThanTheInputBuffer) {
    const Scratch scratch;
    std::string peaks;
    for (int i = 0; peaks.size() < 2 * kInputBufferSize; ++i) {
        peaks += std::to_string(100 + i) + ".5 " + std::to_string(i % 977) + "\r\n";
        if (i % 1000 == 0) peaks += "I\tnot a peak\n";
    }
    split_text(scratch, "big", "S 1 1\nZ 2 100.1\nZ 3 150.2\n" + peaks + "S 2 2\nZ 1 9.9\n1 2\n");

    std::string body;
    for (std::size_t at = 0, end; at < peaks.size(); at = end) {
        end = peaks.find('\n', at) + 1;
        if (peaks[at] != 'I') body += peaks.substr(at, end - at);
    }
    expect_file(scratch.path("big/big.00001.00001.2.dta"), "100.1 2\n" + body);
    expect_file(scratch.path("big/big.00001.00001.3.dta"), "150.2 3\n" + body);
    expect_file(scratch.path("big/big.00002.00002.1.dta"), "9.9 1\n1 2\n");
}

// The scan's further charge lines take the body that the first one's reading found, rather
// than reading it again.
TEST(SplitMs2, BodyIsReadOncePerScan) {
    const Scratch scratch;
    const std::string scan = "S 1 1\nZ 2 200.2\nI x\nZ 3 300.3\nZ 4 400.4\n";
    std::string peaks;
    for (int i = 0; i < 1000; ++i) peaks += std::to_string(i) + ".25 7\n";
    const SplitResult result = split_text(scratch, "once", scan + peaks + "S 2 2\n");
    EXPECT_EQ(result.charge_lines, 3U);
    const std::size_t first_reading = std::string("I x\nZ 3 300.3\nZ 4 400.4\nS 2 2\n").size();
    EXPECT_EQ(result.body_bytes_read, peaks.size() + first_reading);
    expect_file(scratch.path("once/once.00001.00001.3.dta"), "300.3 3\n" + peaks);
    expect_file(scratch.path("once/once.00001.00001.4.dta"), "400.4 4\n" + peaks);
}

// A charge line after the body's first piece (here after a blank line) has a body of its
// own, without the pieces before it.
TEST(SplitMs2, ChargeLineAfterTheBodysStartHasItsOwnBody) {
    const Scratch scratch;
    split_text(scratch, "late", "S 1 1\nZ 2 2.5\n\nZ 3 3.5\nI x\n5 5\n");
    expect_file(scratch.path("late/late.00001.00001.2.dta"), "2.5 2\n\n5 5\n");
    expect_file(scratch.path("late/late.00001.00001.3.dta"), "3.5 3\n5 5\n");
}

// Charge lines that outgrow the input buffer are read once, not once for each of them: the
// bytes read for bodies grow with the charge lines times the body, never with their square,
// and the file is read about twice, not once per charge line.
TEST(SplitMs2, ManyChargeLinesAreReadOnce) {
    const Scratch scratch;
    std::string text = "S 1 1\n";
    const int charge_lines = 3000;
    const std::string rest_of_line = " 1.5 " + std::string(90, '.') + "\n";  // ignored fields
    for (int i = 0; i < charge_lines; ++i) text += "Z " + std::to_string(1 + i % 3) + rest_of_line;
    ASSERT_GT(text.size(), kInputBufferSize);
    const std::string body = "1 1\n2 2\nI among the peaks\n3 3\n";
    text += body + "S 2 2\n";
    const SplitResult result = split_text(scratch, "many", text);
    EXPECT_EQ(result.charge_lines, static_cast<std::uint64_t>(charge_lines));
    EXPECT_LE(result.body_bytes_read, text.size() + charge_lines * (body.size() + 6));
    EXPECT_LE(result.file_bytes_read, 3 * text.size());
    expect_file(scratch.path("many/many.00001.00001.2.dta"), "1.5 2\n1 1\n2 2\n3 3\n");
}

// A conversion writes 400,000 names over an earlier run's tree, its clock ticking every
// 300 files. The earlier run's files stamped in the conversion's first tick are never taken
// for its own, however full the filter; every file it wrote is, and so is every file on a
// clock of whole seconds, where the first tick outgrows the exact names.
TEST(WrittenNames, EarlierFilesOfTheFirstTickAreNeverTakenForOwn) {
    static WrittenNames names;
    for (const ChangeStamp files_per_tick : {ChangeStamp{300}, ChangeStamp{1000000}}) {
        clear_written_names(names);
        const ChangeStamp first = 5000;
        auto own = [](int i) { return hash_name(("own/" + std::to_string(i)).c_str()); };
        for (int i = 0; i < 400000; ++i) {
            const ChangeStamp stamp = first + i / files_per_tick;
            const bool in_first_tick = needs_stamp(names) && note_opened(names, stamp);
            note_written(names, own(i), in_first_tick);
        }
        for (int i = 0; i < 400000; i += 97)
            ASSERT_TRUE(wrote(names, own(i), first + i / files_per_tick)) << i;
        int false_positives = 0;
        for (int i = 0; i < 100000; ++i) {
            const std::uint64_t earlier = hash_name(("earlier/" + std::to_string(i)).c_str());
            EXPECT_FALSE(wrote(names, earlier, first - 1));
            false_positives += wrote(names, earlier, first);
        }
        if (files_per_tick == 300) EXPECT_EQ(false_positives, 0);
        else EXPECT_LT(false_positives, 100000 / 10);  // the filter alone: a few in a hundred
    }
}

// Each call's bytes as a text-mode stream receives them, then as the file holds them.
TEST(LineEnds, TextModeKeepsTheInputsLineEnds) {
    struct Case { bool text_mode; std::vector<std::string> calls; std::string file; };
    const Case cases[] = {
        {true, {"1 2\r\n"}, "1 2\r\n"},                   // CR LF stays CR LF
        {true, {"1 2\n3 4\n"}, "1 2\r\n3 4\r\n"},         // LF becomes CR LF
        {true, {"1 2\r", "\n3 4\n"}, "1 2\r\n3 4\r\n"},   // a CR at a run boundary, then LF
        {true, {"1 2\r", "3 4\n"}, "1 2\r3 4\r\n"},       // ... then something else
        {true, {"1 2\n3 4\r"}, "1 2\r\n3 4\r"},           // a lone CR at the end stays
        {true, {"1 2\r\r\n"}, "1 2\r\r\n"},               // CR CR LF comes out as it came in
        {true, {"\r", "", "\r", "\n"}, "\r\r\n"},
        {false, {"1 2\r", "\n3 4\r\r\n", "\r"}, "1 2\r\n3 4\r\r\n\r"},  // no text mode: as is
    };
    for (const Case &c : cases) {
        bool held_cr = false;
        std::string given;
        char out[64];
        for (const std::string &call : c.calls) {
            given.append(out, filter_line_ends(c.text_mode, held_cr, call.data(), call.size(),
                                               false, out));
        }
        given.append(out, filter_line_ends(c.text_mode, held_cr, out, 0, true, out));
        std::string file;
        for (const char byte : given)
            file += c.text_mode && byte == '\n' ? "\r\n" : std::string(1, byte);
        EXPECT_EQ(file, c.file) << "case ending in " << c.calls.back().size() << " bytes";
    }
}

// Names pass between UTF-8 and Windows' UTF-16 unchanged, in any script, outside the basic
// plane, and with an unpaired surrogate (which Windows allows in names) as WTF-8.
TEST(Names, Utf16RoundTrip) {
    const std::u16string names[] = {
        u"run7.ms2", u"uni/\u5B9F\u9A13.ms2", u"\u00E9t\u00E9.ms2", u"\u03A9\u03BC.ms2",
        u"\U0001F9EA.ms2", u"a\xD800" u"b.ms2", u"\xDC00" u".ms2",
    };
    for (const std::u16string &name : names) {
        const std::string utf8 = utf16_to_utf8(name.c_str());
        EXPECT_EQ(utf8_to_utf16(utf8.c_str()), name) << utf8;
    }
    EXPECT_EQ(utf16_to_utf8(u"\u5B9F\U0001F9EA"), "\xE5\xAE\x9F\xF0\x9F\xA7\xAA");
    EXPECT_EQ(utf8_to_utf16("a\x80" "b\xE5\xAE"), u"a\uFFFDb\uFFFD");  // not UTF-8 at all
}

}  // namespace
