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

#include "decompress.h"
#include "dta_file.h"
#include "gzip_of.h"
#include "mgf_file.h"
#include "ms2_input.h"
#include "split_ms2.h"
#include "tree_writer.h"
#include "utf16.h"
#include "write_pool.h"
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
        const std::string base = fs::is_directory("/dev/shm") ? "/dev/shm/" : ::testing::TempDir();
        std::string pattern = base + "ms2split-test-XXXXXX";  // tmpfs, where there is one: quick
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

// Splits the contents as the input file NAME.ms2 into the directory NAME, with one writer.
InputResult split_text(const Scratch &scratch, const std::string &name, const std::string &contents) {
    static Conversion conversion;
    static Messages messages;
    static TreeWriter writer(0, false);
    const int file = scratch.input(name + ".ms2", contents);
    EXPECT_GE(file, 0);
    EXPECT_TRUE(fs::create_directory(scratch.path(name)));
    const std::string input = name + ".ms2";
    const InputResult result =
        split_ms2(conversion, messages, {input.c_str(), file, true, Format::kPlain, OutputKind::kTree, scratch.path(name)}, writer);
    close(file);
    return result;
}

// Bytes this process has read so far, as the kernel counts them.
std::uint64_t bytes_read() {
    std::ifstream io("/proc/self/io");
    std::string field;
    std::uint64_t value = 0;
    while (io >> field >> value) {
        if (field == "rchar:") return value;
    }
    return 0;
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
    compose_dta_path(path, prefix_length, {-2147483647 - 1, 123456, -12});
    EXPECT_EQ(path, "data/run 7/run 7.-2147483648.123456.-12.dta");
    compose_dta_path(path, prefix_length, {7, -3, 2});  // a shorter suffix leaves nothing behind
    EXPECT_EQ(path, "data/run 7/run 7.00007.-00003.2.dta");
    DtaKey key{};  // a name is read back only as this program writes it
    EXPECT_TRUE(read_dta_name("run 7.00007.-00003.2.dta", "run 7", key));
    EXPECT_TRUE(key == (DtaKey{7, -3, 2}));
    for (const char *other : {"run 7.7.-00003.2.dta", "run 7.00007.-00003.+2.dta", "run 7.00007.00003.2.dta.tmp", "run.00007.00007.2.dta"})
        EXPECT_FALSE(read_dta_name(other, "run 7", key)) << other;
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

// What line_runs passes is whole pieces, as piece_length cuts them; its runs are exactly
// those of them that do not begin with a letter; and it passes most lines.
TEST(Pieces, LineRunsAreTheWholePiecesABodyKeeps) {
    for (std::uint32_t seed = 1; seed <= 3; ++seed) {
        const std::string text = mixed_lines(seed);
        const char *end = text.data() + text.size();
        std::size_t passed_total = 0;
        for (const char *at = text.data(); at < end;) {
            LineRun runs[kLineRunsMax];
            std::size_t count = 0;
            const char *stop = line_runs(at, end, runs, count);
            std::string kept;
            for (const char *line = at; line < stop;) {
                const std::size_t length = piece_length(line, static_cast<std::size_t>(end - line));
                ASSERT_EQ(line[length - 1], '\n') << "a line passed longer than a piece";
                if (!is_letter(*line)) kept.append(line, length);
                line += length;
            }
            std::string gathered;
            for (std::size_t i = 0; i < count; ++i) gathered.append(runs[i].bytes, runs[i].length);
            ASSERT_EQ(gathered, kept);
            passed_total += static_cast<std::size_t>(stop - at);
            at = stop != at ? stop : at + piece_length(at, static_cast<std::size_t>(end - at));
        }
        EXPECT_GT(passed_total, text.size() / 4);  // in bulk; long lines hold half the bytes
    }
}

// A scan whose peaks outrun the input buffer, plain and in gzip (where it goes through the
// temporary file): both charge files hold every peak, and the split goes on correctly.
TEST(SplitMs2, ScanLargerThanTheInputBuffer) {
    const Scratch scratch;
    std::string peaks;
    for (int i = 0; peaks.size() < 2 * kInputBufferSize; ++i) {
        peaks += std::to_string(100 + i) + ".5 " + std::to_string(i % 977) + "\r\n";
        if (i % 1000 == 0) peaks += "I\tnot a peak\n";
    }
    const std::string text = "S 1 1\nZ 2 100.1\nZ 3 150.2\n" + peaks + "S 2 2\nZ 1 9.9\n1 2\n";
    std::string body;
    for (std::size_t at = 0, end; at < peaks.size(); at = end) {
        end = peaks.find('\n', at) + 1;
        if (peaks[at] != 'I') body += peaks.substr(at, end - at);
    }
    for (const std::string name : {"big", "gz"}) {
        split_text(scratch, name, name == "gz" ? gzip_of({text}) : text);
        const std::string dta = scratch.path(name + "/" + name + ".0000");
        expect_file(dta + "1.00001.2.dta", "100.1 2\n" + body);
        expect_file(dta + "1.00001.3.dta", "150.2 3\n" + body);
        expect_file(dta + "2.00002.1.dta", "9.9 1\n1 2\n");
    }
}

// A charge line after the body's first piece (here after a blank line) has a body of its
// own, without the pieces before it.
TEST(SplitMs2, ChargeLineAfterTheBodysStartHasItsOwnBody) {
    const Scratch scratch;
    split_text(scratch, "late", "S 1 1\nZ 2 2.5\n\nZ 3 3.5\nI x\nZ 4 4.5\n5 5\n");
    expect_file(scratch.path("late/late.00001.00001.2.dta"), "2.5 2\n\n5 5\n");
    expect_file(scratch.path("late/late.00001.00001.3.dta"), "3.5 3\n5 5\n");
    expect_file(scratch.path("late/late.00001.00001.4.dta"), "4.5 4\n5 5\n");
}

// A scan the buffer holds is read once; charge lines that outgrow the buffer are read again
// once, and the body once per charge line: never the square of the charge lines.
TEST(SplitMs2, ReadsAreBounded) {
    const Scratch scratch;
    std::string peaks;
    for (int i = 0; i < 1000; ++i) peaks += std::to_string(i) + ".25 7\nI x\n";
    std::string held;
    for (int scan = 1; held.size() < 3 * kInputBufferSize; ++scan)
        held += "S " + std::to_string(scan) + " 1\nZ 2 200.2\nZ 3 300.3\n" + peaks;
    std::uint64_t before = bytes_read();
    split_text(scratch, "held", held);
    EXPECT_LE(bytes_read() - before, held.size() + 4096);  // kept in the buffer across refills; /proc read too
    std::string text = "S 1 1\n";
    const int charge_lines = 3000;
    const std::string rest_of_line = " 1.5 " + std::string(90, '.') + "\n";  // ignored fields
    for (int i = 0; i < charge_lines; ++i) text += "Z " + std::to_string(1 + i % 3) + rest_of_line;
    ASSERT_GT(text.size(), kInputBufferSize);
    const std::string body = "1 1\n2 2\nI among the peaks\n3 3\n";
    text += body + "S 2 2\n";
    before = bytes_read();
    const InputResult many = split_text(scratch, "many", text);
    EXPECT_EQ(many.files, static_cast<std::uint64_t>(charge_lines));
    EXPECT_LE(bytes_read() - before, 3 * text.size() + charge_lines * (body.size() + kLinePieceSize));
    expect_file(scratch.path("many/many.00001.00001.2.dta"), "1.5 2\n1 1\n2 2\n3 3\n");
}

// A scan as a sink takes it, made by hand from the bytes after its S line (held: the sink
// never reads the input); every charge line's body taken after the line itself.
Scan scan_of(const std::string &bytes, std::int32_t number) {
    std::size_t header_end = 0;
    std::uint32_t charge_lines = 0;
    while (header_end < bytes.size() && !is_digit(bytes[header_end])) {
        charge_lines += bytes[header_end] == 'Z' ? 1 : 0;
        header_end = bytes.find('\n', header_end) + 1;
    }
    const auto end = static_cast<std::int64_t>(bytes.size());
    return {{number, number}, 0, end, static_cast<std::int64_t>(header_end), 0, 0, charge_lines, false, false, bytes.data()};
}

std::vector<Outcome::What> take_all(Sink &sink, const char *directory, const std::vector<Scan> &scans) {
    static Ms2Input unused;
    Outcomes done;
    sink.start(directory, unused);
    for (const Scan &scan : scans) EXPECT_TRUE(sink.take(scan, done));
    sink.finish(nullptr, done);
    std::vector<Outcome::What> whats;
    for (const Outcome &outcome : done) whats.push_back(outcome.what);
    return whats;
}

// The pool tells what one writer tells, file for file in input order, and leaves the same
// files: the later of two files of one name wins, and a name held by a directory fails.
TEST(Sinks, PoolTellsWhatOneWriterTells) {
    const Scratch scratch;
    std::vector<std::string> texts;
    for (int i = 0; i < 3000; ++i) texts.push_back("Z 2 " + std::to_string(i) + ".5\nZ 3 9.5\n" + std::to_string(i) + " 1\n");
    texts[2000] = "Z 2 repeated\nZ 2 again\n\n7 7\n";
    std::vector<Scan> scans;
    for (std::size_t i = 0; i < texts.size(); ++i) scans.push_back(scan_of(texts[i], static_cast<std::int32_t>(i % 1500)));
    std::vector<Outcome::What> told[2];
    for (const int threads : {1, 3}) {
        const std::string directory = scratch.path(std::to_string(threads) + "/run");
        ASSERT_TRUE(fs::create_directories(directory + "/run.00007.00007.3.dta"));
        std::unique_ptr<Sink> sink = threads == 1 ? std::unique_ptr<Sink>(new TreeWriter(0, false))
                                                  : start_write_pool({threads, threads}, false);
        told[threads / 3] = take_all(*sink, directory.c_str(), scans);
    }
    EXPECT_TRUE(told[0] == told[1]);
    EXPECT_EQ(std::count(told[1].begin(), told[1].end(), Outcome::kFailed), 2);  // scan 7, and 1507
    expect_file(scratch.path("3/run/run.00500.00500.2.dta"), "again 2\n\n7 7\n");  // the later scan 500's
    expect_file(scratch.path("3/run/run.00500.00500.3.dta"), "9.5 3\n500 1\n");
    EXPECT_EQ(std::system(("diff -r " + scratch.path("1") + " " + scratch.path("3")).c_str()), 0);
}

// gzip reads as gzip itself reads it, through whichever library the build uses (the
// portable build of these tests uses zlib): several members as one stream, any header,
// zeros after the last member; each fault named for what it is, and trailing garbage told
// only after the whole data.
TEST(Inflate, ReadAsGzipReadsIt) {
    const Scratch scratch;
    const std::string text = "S 1 1\nZ 2 2.5\n" + std::string(300000, '7') + "\n";
    const std::string members = gzip_of({text.substr(0, 100), text.substr(100), ""});
    std::string corrupt = members, bad_crc = members, bad_size = members;
    corrupt[2] = 9;  // no such compression method
    bad_crc[bad_crc.size() - 8] ^= 0x55;
    bad_size.back() ^= 1;  // the length of the last member's data (ISIZE), the CRC left right
    // zlib's one member with optional fields put in after its plain 10-byte header.
    const auto with_fields = [&text](char flags, const std::string &fields) {
        std::string member = gzip_of({text});
        member[3] = flags;
        return member.insert(10, fields);
    };
    const Problems &gzip = kGzipProblems;
    struct Case { std::string stored; std::int64_t last; const char *problem; };
    const Case cases[] = {{members, 0, nullptr},
                          {members + std::string(1000, '\0'), 0, nullptr},
                          {gzip_with_every_header_field(text), 0, nullptr},
                          {gzip_with_every_header_field(text, 1), -1, kBadHeaderChecksum},
                          {with_fields(16, std::string("a comment\0", 10)), 0, nullptr},  // FCOMMENT alone
                          {with_fields(4, "\x2c\x01" + std::string(300, 'x')), 0, nullptr},  // FEXTRA of 300
                          {with_fields(0x20, ""), -1, gzip.corrupt},  // a reserved flag
                          {members.substr(0, members.size() - 30), -1, gzip.cut_short},
                          {corrupt, -1, gzip.corrupt},
                          {bad_crc, -1, gzip.bad_checksum},
                          {bad_size, -1, gzip.bad_checksum},
                          {members + std::string(9, '\0') + "trailing", 0, gzip.trailing_garbage},
                          {members + "\x1f" + "trailing", 0, gzip.trailing_garbage}};  // no member
    for (const Case &c : cases) {
        const int file = scratch.input("in.gz", c.stored);
        ASSERT_GE(file, 0);
        static Decompress decompress;
        Source source{};
        ASSERT_TRUE(open_source(source, file, true));
        start_decompress(decompress, source, Format::kGzip);
        std::string out;
        static char chunk[65536];
        const char *problem = nullptr;
        std::int64_t got = 0;
        while ((got = decompress_some(decompress, chunk, sizeof chunk, problem)) > 0)
            out.append(chunk, static_cast<std::size_t>(got));
        finish_decompress(decompress);
        close(file);
        EXPECT_EQ(got, c.last) << c.stored.size();
        EXPECT_EQ(problem, c.problem) << (problem != nullptr ? problem : "none");
        if (c.last == 0) {
            EXPECT_TRUE(out == text);
        }
    }
}

// The reader tells where the first NUL byte of the text lies, as decompressed and past the
// first buffer too; -1 for none.
TEST(Inflate, FirstNulByteOfTheText) {
    const Scratch scratch;
    const std::string text = "S 1 1\nZ 2 2.5\n" + std::string(700000, '7') + "\n";
    std::string nuls = text;
    nuls[290000] = nuls[600000] = '\0';  // in the second and the third buffer
    struct Case { std::string stored; std::int64_t first_nul; };
    const Case cases[] = {{text, -1}, {nuls, 290000}, {gzip_of({nuls}), 290000}, {gzip_of({text}), -1}};
    for (const Case &c : cases) {
        const int file = scratch.input("in.ms2", c.stored);
        ASSERT_GE(file, 0);
        static Ms2Input input;
        attach_input(input, file, true, Format::kPlain);
        Scan scan{};
        while (next_scan(input, scan)) {}
        finish_input(input);
        close(file);
        EXPECT_EQ(input.first_nul, c.first_nul);
    }
}

// The names a conversion wrote are known exactly, at any number of files: each is found
// again, no other is, and the table never takes more than 16 bytes a name (past its first
// 48 KiB). Keys at the limits of 32 bits, the free slot's own among them, are names too.
TEST(WrittenNames, ExactAtAnyNumberOfFiles) {
    static WrittenNames names;
    for (int round = 0; round < 2; ++round) {  // a second conversion starts empty
        clear_written_names(names);
        auto key = [round](std::int32_t i) { return DtaKey{i / 3, i / 3 + round, i % 3 - 1}; };
        const std::int32_t files = 300000;
        for (std::int32_t i = 0; i < files; ++i) ASSERT_EQ(note_written(names, key(i)), Noted::kNew) << i;
        EXPECT_LE(names.capacity * sizeof(DtaKey), std::max<std::size_t>(48 * 1024, 16 * names.count));
        for (std::int32_t i = 0; i < files; i += 7) EXPECT_EQ(note_written(names, key(i)), Noted::kAgain);
        for (std::int32_t i = files; i < 2 * files; i += 3) EXPECT_FALSE(wrote(names, key(i)));
    }
    const DtaKey limits[] = {{INT32_MIN, INT32_MIN, INT32_MIN}, {INT32_MAX, INT32_MIN, 0}};
    for (const DtaKey &limit : limits) {
        EXPECT_FALSE(wrote(names, limit));
        EXPECT_EQ(note_written(names, limit), Noted::kNew);
        EXPECT_EQ(note_written(names, limit), Noted::kAgain);
    }
}

// PEPMASS and RTINSECONDS in exact decimal: rounded half up at the sixth place, leading
// zeros and a twelfth decimal taken, anything else (too large, not a number) refused.
TEST(Mgf, PrecursorAndRetentionTimeInExactDecimal) {
    struct Case { const char *mass; std::int32_t charge; const char *mz; };
    const Case masses[] = {
        {"609.39", 2, "305.198638"},     {"609.39", 1, "609.390000"},      {"0.5", 4, "0.880457"},
        {"000609.39", 2, "305.198638"},  {"+1.0000005", 1, "1.000001"},    {"1.0000004999999", 1, "1.000000"},
        {"999999.9", 2147483647, "1.007742"}, {"1000000", 2, nullptr},       {"77777777777777777777", 2, nullptr},
        {"1372.55junk", 1, nullptr},     {"12e3", 2, nullptr},             {"609.39", 0, nullptr},
    };
    for (const Case &c : masses) {
        std::string out = "PEPMASS=";
        EXPECT_EQ(precursor_mz(c.mass, c.charge, out), c.mz != nullptr) << c.mass;
        if (c.mz != nullptr) {
            EXPECT_EQ(out, std::string("PEPMASS=") + c.mz) << c.mass << " " << c.charge;
        }
    }
    const char *times[][2] = {{"12.43", "745.80"}, {"0.001", "0.060"}, {"7", "420"}, {".5", "30.0"},
                              {"-1", nullptr}, {"1e2", nullptr}, {"1.2.3", nullptr}, {"", nullptr}};
    for (const auto &t : times) {
        std::string out;
        EXPECT_EQ(minutes_to_seconds(t[0], std::strlen(t[0]), out), t[1] != nullptr) << t[0];
        if (t[1] != nullptr) {
            EXPECT_EQ(out, t[1]) << t[0];
        }
    }
}

// Line ends as a file with CR LF lines holds them, the bytes given in several calls.
TEST(LineEnds, EachLineEndsInOneCrLf) {
    struct Case { std::vector<std::string> calls; std::string file; };
    const Case cases[] = {
        {{"1 2\r\n"}, "1 2\r\n"},                   // CR LF stays CR LF
        {{"1 2\n3 4\n"}, "1 2\r\n3 4\r\n"},         // LF becomes CR LF
        {{"1 2\r", "\n3 4\n"}, "1 2\r\n3 4\r\n"},   // a CR at a call's end, then LF
        {{"1 2\r", "3 4\n"}, "1 2\r3 4\r\n"},       // ... then something else
        {{"1 2\n3 4\r"}, "1 2\r\n3 4\r"},           // a lone CR at the end stays
        {{"1 2\r\r\n"}, "1 2\r\r\n"},               // CR CR LF comes out as it came in
        {{"\n", "", "\n"}, "\r\n\r\n"},
    };
    for (const Case &c : cases) {
        char previous = '\0';
        std::string file;
        char out[64];
        for (const std::string &call : c.calls)
            file.append(out, end_lines_in_crlf(call.data(), call.size(), previous, out));
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
