#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "convert.h"

namespace {

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

// An input file holding the contents, opened for reading as the program opens it.
std::FILE *open_temp_input(const std::string &name, const std::string &contents) {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << contents;
    return std::fopen(path.c_str(), "rb");
}

TEST(FieldReading, ScanNumbersAtTheLimitsOf32Bits) {
    struct Case { const char *line; std::int32_t first, last; };
    const Case cases[] = {
        {"S 2147483647 -2147483648\n", INT32_MAX, INT32_MIN},
        {"S 2147483648 -2147483649\n", INT32_MAX, INT32_MIN},
        {"S 000000000000000000000012 +0012\n", 12, 12},
        {"S 123456789012345678901234567890 7\n", INT32_MAX, 7},
        {"S +-5 6\n", 0, 0},
        {"S - 5\n", 0, 0},
        {"S\v1\f2\r\n", 1, 2},
        {"S 0x1f 9\n", 0, 0},  // decimal only: "0" is read, then "x1f" is no number
    };
    for (const Case &c : cases) {
        const ScanNumbers scan = parse_scan_line(piece_of(c.line));
        EXPECT_EQ(scan.first, c.first) << c.line;
        EXPECT_EQ(scan.last, c.last) << c.line;
    }
}

TEST(FieldReading, MassTokenEndsAtWhiteSpaceOrNul) {
    ChargeLine line;
    parse_charge_line(piece_of("Z 2 609.39\r\n"), line);
    EXPECT_STREQ(line.mass_text, "609.39");
    parse_charge_line(piece_of(std::string("Z 3 12\0" "34 x", 11)), line);
    EXPECT_STREQ(line.mass_text, "12");
    EXPECT_EQ(line.charge, 3);
    parse_charge_line(piece_of("Z 4\t\n"), line);
    EXPECT_STREQ(line.mass_text, "0");

    const std::string longest = "Z 5 " + std::string(kLinePieceMax - 4, '9');
    parse_charge_line(piece_of(longest), line);
    EXPECT_EQ(std::string(line.mass_text), longest.substr(4));
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
    const std::string text = varied_lines();
    std::FILE *file = open_temp_input("pieces.ms2", text);
    ASSERT_NE(file, nullptr);
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
    std::fclose(file);
}

// Reads pieces until the input has moved its buffer and then gone `beyond` bytes further;
// returns whether the return to `held` afterwards was served without a seek in the file.
bool returned_from_buffer(Ms2Input &input, std::int64_t held, std::int64_t beyond) {
    LinePiece piece{};
    const std::int64_t first_offset = input.buffer_offset;
    while (input.buffer_offset == first_offset) read_piece(input, piece);
    const std::int64_t target = input_position(input) + beyond;
    while (input_position(input) < target) read_piece(input, piece);
    const std::int64_t file_position = ftello(input.file);
    return seek_input(input, held) && ftello(input.file) == file_position;
}

// A held position survives refills while the buffer can keep it, so the return to it needs
// no seek in the file; one held longer is read again from the file, still correctly.
TEST(Ms2Input, HeldPositionIsKeptAcrossRefills) {
    const std::string text = varied_lines() + varied_lines();
    std::FILE *file = open_temp_input("held.ms2", text);
    ASSERT_NE(file, nullptr);
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
    std::fclose(file);
}

// A scan whose peaks outrun the input buffer: both charge files hold every peak, and the
// split goes on correctly after the return to a position the buffer no longer holds.
TEST(SplitMs2, ScanLargerThanTheInputBuffer) {
    std::string peaks;
    for (int i = 0; peaks.size() < 2 * kInputBufferSize; ++i) {
        peaks += std::to_string(100 + i) + ".5 " + std::to_string(i % 977) + "\r\n";
        if (i % 1000 == 0) peaks += "I\tnot a peak\n";
    }
    const std::string text = "S 1 1\nZ 2 100.1\nZ 3 150.2\n" + peaks + "S 2 2\nZ 1 9.9\n1 2\n";
    const std::string stem = ::testing::TempDir() + "big";
    std::FILE *file = open_temp_input("big.ms2", text);
    ASSERT_NE(file, nullptr);
    std::filesystem::remove_all(stem);
    ASSERT_TRUE(std::filesystem::create_directory(stem));
    static Ms2Input input;
    attach_input(input, file);
    SPLIT_MS2(input, stem.c_str());
    std::fclose(file);

    std::string body;
    for (std::size_t at = 0, end; at < peaks.size(); at = end) {
        end = peaks.find('\n', at) + 1;
        if (peaks[at] != 'I') body += peaks.substr(at, end - at);
    }
    expect_file(stem + "/big.00001.00001.2.dta", "100.1 2\n" + body);
    expect_file(stem + "/big.00001.00001.3.dta", "150.2 3\n" + body);
    expect_file(stem + "/big.00002.00002.1.dta", "9.9 1\n1 2\n");
}

}  // namespace
