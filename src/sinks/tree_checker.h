// The checker (--check): each DTA file of a scan compared, byte for byte through one fixed
// window, with what stands at its name; nothing is written or created. After the input, the
// names in its directory that a conversion would not leave there.
#ifndef MS2SPLIT_TREE_CHECKER_H
#define MS2SPLIT_TREE_CHECKER_H

#include <string>
#include <vector>

#include "gather.h"
#include "sink.h"

constexpr std::size_t kCompareWindowSize = std::size_t{64} * 1024;

class TreeChecker final : public Sink {
public:
    void start(const char *directory, Ms2Input &input) override;
    bool take(const Scan &scan, Outcomes &done) override;
    void finish(const WrittenNames *given, Outcomes &done) override;

private:
    void compare(const char *bytes, std::size_t length);
    bool refill_window(std::int64_t offset);
    Outcome check_dta(DtaFile &file);
    void sort_out(const char *entry, const WrittenNames &given);

    Ms2Input *input_ = nullptr;
    std::string directory_;
    std::string path_;               // of the file being checked
    std::size_t prefix_length_ = 0;  // the part of path_ every file of the input shares
    // The file that stands at the name being checked:
    int file_ = -1;                  // open for reading; -1 when none
    Outcome::What verdict_ = Outcome::kSame;  // so far
    int error_ = 0;                  // errno, for kUnreadable
    std::int64_t size_ = 0;
    std::int64_t compared_ = 0;      // bytes of it compared so far
    std::int64_t window_offset_ = 0; // of window_[0] in the file
    std::size_t window_length_ = 0;  // bytes window_ holds
    std::vector<std::string> extras_, temporary_;  // found in the directory, after the input
    ScanFiles files_{};
    DtaFile dta_{};
    Gather gather_{};
    char window_[kCompareWindowSize];
    char header_window_[kRereadWindowSize];
    char body_window_[kRereadWindowSize];
};

#endif
