// The checker (--check): each DTA file of a scan compared, byte for byte through one fixed
// window, with what stands at its name; nothing is written or created. After the input, the
// names in its directory that a conversion would not leave there.
#ifndef MS2SPLIT_TREE_CHECKER_H
#define MS2SPLIT_TREE_CHECKER_H

#include <string>
#include <vector>

#include "compared_file.h"
#include "gather.h"
#include "sink.h"

class TreeChecker final : public Sink {
public:
    void start(const char *directory, Ms2Input &input) override;
    bool take(const Scan &scan, Outcomes &done) override;
    void finish(const WrittenNames *given, Outcomes &done) override;

private:
    Outcome check_dta(DtaFile &file);
    void sort_out(const char *entry, const WrittenNames &given);

    Ms2Input *input_ = nullptr;
    std::string directory_;
    std::string path_;               // of the file being checked
    std::size_t prefix_length_ = 0;  // the part of path_ every file of the input shares
    ComparedFile compared_{};        // what stands at the name being checked
    std::vector<std::string> extras_, temporary_;  // found in the directory, after the input
    ScanFiles files_{};
    DtaFile dta_{};
    Gather gather_{};
};

#endif
