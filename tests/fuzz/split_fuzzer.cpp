// libFuzzer target: arbitrary bytes are written to a scratch MS2 file, plain or (for inputs of
// odd length) gzip-compressed, and split, and the whole output tree is compared with a model
// of the rules run over the input held in memory: which files exist, and every byte of each.
// Half the gzip inputs are damaged (a byte changed, cut short, zeros or garbage after the
// data): each either converts exactly, or fails, leaving only files the model gives (some
// earlier file of the name, where the input gives it twice) unless the failure says that
// files may hold wrong bytes (or, for trailing garbage that may be damaged gzip, may be
// short); zeros change nothing, and garbage appended loses no scan. The gzip
// inputs are named as gzip, so that one damaged out of gzip is not read as MS2. A third of the
// inputs, by their length, are written by two threads, whose files must be the same.
// The model cuts pieces itself and builds each charge line's body itself; it takes scan
// numbers, charges, masses and file names from the field readers and the path composition,
// which have unit tests of their own. The input must also be left unchanged. Built with a
// small input buffer, so that refills, scans larger than the buffer, rereads and the spill
// of gzip input happen on short inputs.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "../gzip_of.h"
#include "decompress.h"
#include "dta_file.h"
#include "mgf_file.h"
#include "ms2_input.h"
#include "split_ms2.h"
#include "tree_writer.h"
#include "write_pool.h"

namespace fs = std::filesystem;

namespace {

using Tree = std::map<std::string, std::string>;  // file name -> contents

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
bool is_digit(char c) { return c >= '0' && c <= '9'; }
LinePiece as_piece(std::string_view piece) { return {piece.data(), piece.size()}; }

// The body of the charge line at pieces[z]: the pieces after it up to the next S piece,
// less those that begin with a letter.
std::string body_after(const std::vector<std::string_view> &pieces, std::size_t z) {
    std::string body;
    for (std::size_t i = z + 1; i < pieces.size() && pieces[i][0] != 'S'; ++i)
        if (!is_letter(pieces[i][0])) body += pieces[i];
    return body;
}

// What the split should leave in the stem's directory; a later file of the same name
// replaces an earlier one, which versions keeps.
using Files = std::vector<std::pair<std::string, std::string>>;  // name, contents: in input order

Tree model_tree(const std::vector<std::string_view> &pieces, Files *versions = nullptr) {
    Tree tree;
    std::string name = dta_path_prefix("in");
    const std::size_t prefix_length = name.size();
    ScanNumbers scan{0, 0};
    bool in_header = false;
    ChargeLine line;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const char first = pieces[i][0];
        if (first == 'S') {
            scan = parse_scan_line(as_piece(pieces[i]));
            in_header = true;
        } else if (in_header && first == 'Z') {
            parse_charge_line(as_piece(pieces[i]), line);
            compose_dta_path(name, prefix_length, {scan.first, scan.last, line.charge});
            std::string &file = tree[name.substr(name.find('/') + 1)];
            file = std::string(line.mass_text) + ' ' + std::to_string(line.charge) + '\n' + body_after(pieces, i);
            if (versions != nullptr) versions->emplace_back(name.substr(name.find('/') + 1), file);
        } else if (in_header && is_digit(first)) {
            in_header = false;
        }
    }
    return tree;
}

Tree written_tree() {
    Tree tree;
    for (const fs::directory_entry &entry : fs::directory_iterator(scratch().stem)) {
        if (!entry.is_regular_file()) std::abort();
        tree[entry.path().filename().string()] = read_file(entry.path());
    }
    return tree;
}

// Names the first file that differs, so that a crash report says what went wrong.
void compare(const Tree &expected, const Tree &written) {
    if (expected == written) return;
    for (const auto &[name, contents] : expected) {
        const auto found = written.find(name);
        if (found == written.end()) std::fprintf(stderr, "missing: %s\n", name.c_str());
        else if (found->second != contents) std::fprintf(stderr, "differs: %s\n", name.c_str());
    }
    for (const auto &[name, contents] : written) {
        if (expected.count(name) == 0) std::fprintf(stderr, "unexpected: %s\n", name.c_str());
    }
    std::abort();
}

// A quarter of the inputs, by their length, are stored as gzip and damaged in a way their
// first bytes choose.
enum class Damage { kNone, kByte, kCut, kZeros, kGarbage };

Damage damage_of(std::string_view text) {
    if (text.size() % 4 != 3) return Damage::kNone;
    return static_cast<Damage>(1 + static_cast<unsigned char>(text[0]) % 4);
}

std::string damaged(std::string stored, std::string_view text, Damage damage) {
    const std::size_t at = (static_cast<unsigned char>(text[1]) * 257u + static_cast<unsigned char>(text[2])) % stored.size();
    switch (damage) {
        case Damage::kByte: stored[at] = static_cast<char>(stored[at] ^ (text[1] | 1)); break;
        case Damage::kCut: stored.resize(at); break;
        case Damage::kZeros: stored.append(1 + static_cast<unsigned char>(text[1]) % 64, '\0'); break;
        case Damage::kGarbage: stored += "garbage"; break;
        case Damage::kNone: break;
    }
    return stored;
}

// After a failure: every file written is one the model gives at its name.
void compare_after_failure(const std::vector<std::string_view> &pieces, const Tree &written, const char *problem) {
    Files versions;
    model_tree(pieces, &versions);
    for (const auto &file : written) {
        if (std::none_of(versions.begin(), versions.end(), [&file](const auto &v) { return v.first == file.first && v.second == file.second; })) {
            std::fprintf(stderr, "wrong after \"%s\": %s\n", problem != nullptr ? problem : "a read error", file.first.c_str());
            std::abort();
        }
    }
}

// The MGF file holds, in input order, an entry per DTA file the model gives, titled by its
// name and holding its body, the last line ended.
void compare_mgf(const std::vector<std::string_view> &pieces, const std::string &mgf) {
    Files versions;
    model_tree(pieces, &versions);
    std::size_t at = 0;
    for (const auto &[name, contents] : versions) {
        std::string body = contents.substr(contents.find('\n') + 1);
        if (!body.empty() && body.back() != '\n') body += '\n';
        const std::string title = "BEGIN IONS\nTITLE=" + name.substr(0, name.size() - 4) + "\n";
        const std::size_t begin = mgf.compare(at, title.size(), title) == 0 ? mgf.find("\nPEPMASS=", at) : std::string::npos;
        const std::size_t peaks = begin == std::string::npos ? begin : mgf.find('\n', mgf.find('\n', begin + 1) + 1);
        const bool charged = peaks != std::string::npos && mgf.compare(mgf.rfind('\n', peaks - 1) + 1, 7, "CHARGE=") == 0;
        const std::size_t start = peaks == std::string::npos ? peaks : charged ? peaks + 1 : mgf.rfind('\n', peaks - 1) + 1;
        if (start == std::string::npos || mgf.compare(start, body.size(), body) != 0 ||
            mgf.compare(start + body.size(), 9, "END IONS\n") != 0) {
            std::fprintf(stderr, "MGF entry differs: %s at byte %zu\n", name.c_str(), at);
            std::abort();
        }
        at = start + body.size() + 9;
    }
    if (at != mgf.size()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static Conversion conversion;
    static Messages messages;
    static const std::unique_ptr<Sink> pool = start_write_pool({2, 2}, false);
    static TreeWriter writer(0, false);
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    if (format_of(text.data(), text.size()) != Format::kPlain) return 0;  // not what the model knows
    const Damage damage = damage_of(text);
    std::string stored = size % 2 == 1 ? gzip_of({text.substr(0, size / 2), text.substr(size / 2)})
                                        : std::string(text);
    if (damage != Damage::kNone) stored = damaged(std::move(stored), text, damage);
    const Scratch &paths = scratch();
    fs::remove_all(paths.stem);
    fs::create_directory(paths.stem);
    {
        std::ofstream out(paths.input, std::ios::binary | std::ios::trunc);
        out.write(stored.data(), static_cast<std::streamsize>(stored.size()));
    }
    const int file = open(paths.input.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) std::abort();
    const Format named = size % 2 == 1 ? Format::kGzip : Format::kPlain;  // as gzip, if it is
    Sink &sink = size % 3 == 0 ? *pool : static_cast<Sink &>(writer);
    const InputResult result = split_ms2(conversion, messages, {"in.ms2", file, true, named, OutputKind::kTree, paths.stem.string()}, sink);
    close(file);
    const char *problem = result.problem;
    const bool trailing = problem == kGzipProblems.trailing_garbage;
    if (result.error != 0 && (damage == Damage::kNone || damage == Damage::kZeros ||
                                        (damage == Damage::kGarbage && !trailing))) {
        std::fprintf(stderr, "read error: %s\n", problem);
        std::abort();
    }
    if (result.error == 0 && damage == Damage::kCut) {
        // cut where a member ends: nothing can tell
    } else if (result.error == 0 || (trailing && damage == Damage::kGarbage)) {
        compare(model_tree(pieces_of(text)), written_tree());
    } else if (!trailing && (problem == nullptr || std::strstr(problem, "may hold wrong bytes") == nullptr)) {
        compare_after_failure(pieces_of(text), written_tree(), problem);
    }
    if (result.error == 0 && size % 5 == 0) {  // a fifth, again into one MGF file
        static MgfWriter mgf(false, size % 2 == 0);
        const int again = open(paths.input.c_str(), O_RDONLY | O_CLOEXEC);
        split_ms2(conversion, messages, {"in.ms2", again, true, named, OutputKind::kMgf, paths.stem.string() + ".mgf"}, mgf);
        close(again);
        compare_mgf(pieces_of(text), read_file(paths.stem.string() + ".mgf"));
    }
    if (read_file(paths.input) != stored) {
        std::fprintf(stderr, "the input was changed\n");
        std::abort();
    }
    return 0;
}
