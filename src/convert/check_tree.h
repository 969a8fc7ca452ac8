// Checking the tree an earlier conversion left against what the input gives, for --check:
// each DTA file's bytes are compared with what a conversion would write, through one fixed
// window, and files the input does not give, or temporary files, are found in the directory.
#ifndef MS2SPLIT_CHECK_TREE_H
#define MS2SPLIT_CHECK_TREE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "messages.h"
#include "platform.h"
#include "written_names.h"

enum class Verdict { kSame, kMissing, kDiffers, kNotAFile, kUnreadable };

constexpr std::size_t kCompareWindowSize = std::size_t{64} * 1024;

// The file at one DTA name, compared with what a conversion would write there.
struct CheckedFile {
    int file;                    // open for reading; -1 when nothing to compare with stands there
    Verdict verdict;             // so far
    int error;                   // errno, for kUnreadable
    std::int64_t size;           // of the file
    std::int64_t compared;       // bytes of it compared so far
    std::int64_t window_offset;  // of window[0] in the file
    std::size_t window_length;   // bytes the window holds
    char window[kCompareWindowSize];
};

void open_checked(CheckedFile &checked, const char *path);
// The next bytes a conversion would write; compared until a difference is found.
void compare_checked(CheckedFile &checked, const char *bytes, std::size_t length);
// The verdict, once every byte a conversion would write was given; closes the file.
Verdict close_checked(CheckedFile &checked);

struct DtaKeyHash {
    std::size_t operator()(const DtaKey &key) const {
        return (static_cast<std::size_t>(static_cast<std::uint32_t>(key.first)) * 0x9e3779b9u) ^
               (static_cast<std::size_t>(static_cast<std::uint32_t>(key.last)) << 7) ^
               static_cast<std::size_t>(static_cast<std::uint32_t>(key.charge));
    }
};

// What one input's check found, in input order. A name the input gives twice holds the
// later file, so the later verdict stands.
struct TreeCheck {
    struct Problem {
        DtaKey key;
        Verdict verdict;
        bool superseded;  // a later file of the same name was found the same as expected
    };
    std::vector<Problem> problems;
    std::unordered_map<DtaKey, std::size_t, DtaKeyHash> differing;  // their problems' indexes
    std::uint64_t files;  // the DTA files the input gives
};

void start_tree_check(TreeCheck &check);
// The verdict on the file at a name the input gives (again, if noted is kAgain).
void note_verdict(TreeCheck &check, DtaKey key, Noted noted, Verdict verdict);
// Tells every problem with the input's files, each in a line with its path (which has the
// prefix of path), then, unless the input was cut short, the files in the directory that a
// conversion would not leave; then the summary. Returns the count of problems.
std::uint64_t finish_tree_check(Messages &messages, const TreeCheck &check, const WrittenNames &names, const char *name,
                                const std::string &directory, bool cut_short, std::string &path,
                                std::size_t prefix_length);

#endif
