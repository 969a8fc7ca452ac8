// The tree writer: each DTA file of a scan in turn, in one thread, under its name in the
// input's directory. A file is created at its name when nothing stands there, else written
// under a temporary name and renamed over it once complete; one that cannot be completed
// is removed, so that a name holds a complete file or what stood there before.
#ifndef MS2SPLIT_TREE_WRITER_H
#define MS2SPLIT_TREE_WRITER_H

#include <string>

#include "gather.h"
#include "sink.h"

class TreeWriter final : public Sink {
public:
    // guard: the writing thread's slot (0 for the main thread). durable (--sync): each
    // input's files survive a power loss once it is finished.
    TreeWriter(int guard, bool durable);
    void start(const char *directory, Ms2Input &input) override;
    bool take(const Scan &scan, Outcomes &done) override;
    void finish(const WrittenNames *given, Outcomes &done) override;

private:
    Outcome write_dta(DtaFile &file);

    OutputFile file_;            // the DTA file being written
    bool durable_;
    Ms2Input *input_ = nullptr;  // to read a large scan again; nullptr: only held scans come
    std::string directory_;
    std::string path_;           // of the file being written
    std::size_t prefix_length_ = 0;  // the part of path_ every file of the input shares
    ScanFiles files_{};          // of the scan being written
    DtaFile dta_{};
    Gather gather_{};
};

#endif
