// libFuzzer target: arbitrary bytes are written to a scratch MS2 file and split, and what the
// splitter wrote is checked against rules that hold for every input:
// - every file is named "in.<first>.<last>.<charge>.dta" and there are no more files than
//   pieces that begin with Z;
// - each file starts with one header line "<token> <integer>\n";
// - its body is what one charge line gives: the whole pieces after that Z piece, up to the
//   next S piece, less those that begin with a letter, in input order;
// - the input is left unchanged.
// Built with a small input buffer so that refills, held positions and seeks in the file
// happen on short inputs.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "convert.h"

namespace fs = std::filesystem;

namespace {

struct Scratch {
    fs::path input;  // <dir>/in.ms2
    fs::path stem;   // <dir>/in
};

fs::path scratch_directory() {
    const fs::path base =
        fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    return base / ("ms2split-fuzz." + std::to_string(getpid()));  // one per fuzzing process
}

void remove_scratch() { fs::remove_all(scratch_directory()); }

const Scratch &scratch() {
    static const Scratch paths = [] {
        fs::create_directories(scratch_directory());
        std::atexit(remove_scratch);
        return Scratch{scratch_directory() / "in.ms2", scratch_directory() / "in"};
    }();
    return paths;
}

void check(bool holds, const char *rule) {
    if (holds) return;
    std::fprintf(stderr, "rule broken: %s\n", rule);
    std::abort();
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The input cut as the reader cuts it: at line ends, and after kLinePieceMax bytes.
std::vector<std::string_view> pieces_of(std::string_view text) {
    std::vector<std::string_view> pieces;
    while (!text.empty()) {
        std::size_t length = std::min(text.size(), kLinePieceMax);
        const std::size_t newline = text.substr(0, length).find('\n');
        if (newline != std::string_view::npos) length = newline + 1;
        pieces.push_back(text.substr(0, length));
        text.remove_prefix(length);
    }
    return pieces;
}

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Every body some Z piece could give, whether or not the splitter took that Z piece.
std::set<std::string> possible_bodies(const std::vector<std::string_view> &pieces) {
    std::set<std::string> bodies;
    for (std::size_t z = 0; z < pieces.size(); ++z) {
        if (pieces[z][0] != 'Z') continue;
        std::string body;
        for (std::size_t i = z + 1; i < pieces.size() && pieces[i][0] != 'S'; ++i)
            if (!is_letter(pieces[i][0])) body += pieces[i];
        bodies.insert(body);
    }
    return bodies;
}

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// "<token> <integer>\n": the token has no white space or NUL, the integer is a 32-bit
// decimal as printf writes it. Returns the header's length, or 0.
std::size_t header_length(std::string_view file) {
    std::size_t i = 0;
    while (i < file.size() && !is_space(file[i]) && file[i] != '\0') ++i;
    if (i == 0 || i >= file.size() || file[i] != ' ') return 0;
    const std::size_t number = ++i;
    if (i < file.size() && file[i] == '-') ++i;
    const std::size_t digits = i;
    while (i < file.size() && file[i] >= '0' && file[i] <= '9') ++i;
    if (i == digits || i >= file.size() || file[i] != '\n') return 0;
    if (file[digits] == '0' && i - digits > 1) return 0;
    const std::string text(file.substr(number, i - number));
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value < INT32_MIN || value > INT32_MAX || i - digits > 10) return 0;
    return i + 1;
}

void check_output(std::string_view input, const std::vector<std::string_view> &pieces) {
    std::size_t charge_pieces = 0;
    for (const std::string_view piece : pieces) charge_pieces += piece[0] == 'Z';
    const std::set<std::string> bodies = possible_bodies(pieces);
    std::size_t files = 0;
    for (const fs::directory_entry &entry : fs::directory_iterator(scratch().stem)) {
        ++files;
        const std::string name = entry.path().filename().string();
        const bool dta_name = name.rfind("in.", 0) == 0 && name.size() > 7 &&
                              name.substr(name.size() - 4) == ".dta";
        check(dta_name, "DTA file name");
        check(entry.is_regular_file(), "DTA file is a regular file");
        const std::string file = read_file(entry.path());
        const std::size_t header = header_length(file);
        check(header > 0, "header line is \"<token> <integer>\\n\"");
        check(bodies.count(file.substr(header)) == 1, "body is the pieces a Z line gives");
    }
    check(files <= charge_pieces, "no more DTA files than Z pieces");
    check(read_file(scratch().input) == input, "input unchanged");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static Ms2Input input;
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const Scratch &paths = scratch();
    fs::remove_all(paths.stem);
    fs::create_directory(paths.stem);
    {
        std::ofstream out(paths.input, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    std::FILE *file = std::fopen(paths.input.c_str(), "rb");
    check(file != nullptr, "scratch input opens");
    attach_input(input, file);
    SPLIT_MS2(input, paths.stem.c_str());
    std::fclose(file);
    check_output(text, pieces_of(text));
    return 0;
}
