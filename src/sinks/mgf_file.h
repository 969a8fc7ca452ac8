// One MGF file for a whole input, NAME.mgf in place of the tree NAME/: one entry per scan and
// charge line, in input order, the spectra a DTA tree holds and those a tree loses (a name
// given twice keeps both entries):
//   BEGIN IONS
//   TITLE=BASE.FIRST.LAST.CHARGE   the DTA file's name less ".dta"
//   SCANS=FIRST                    or FIRST-LAST when they differ
//   RTINSECONDS=T                  from an "I RetTime" (or "I RTime") line, minutes times 60
//   PEPMASS=M                      (MH+ + (z - 1) * 1.007276466621) / z, 6 decimals
//   CHARGE=z+                      for a charge of 1 or more
//   the DTA file's body, byte for byte, its last line ended
//   END IONS
// The lines it writes end as a DTA file's header line does (LF; CR LF on Windows). The file
// is written under a temporary name and renamed once the input is read, so its name holds
// a whole file or what stood there before; after a read error it holds the entries of the
// scans before, each whole.
#ifndef MS2SPLIT_MGF_FILE_H
#define MS2SPLIT_MGF_FILE_H

#include <string>
#include <vector>

#include "compared_file.h"
#include "gather.h"
#include "sink.h"

// What both MGF sinks share: the entries, in the file's bytes. Where the bytes go is theirs.
class MgfSink : public Sink {
public:
    void start(const char *output, Ms2Input &input) override;
    bool take(const Scan &scan, Outcomes &done) override;

protected:
    virtual void emit(Part *parts, int count) = 0;
    // Emits what is still gathered, at the file's end.
    void flush();
    std::string path_;             // NAME.mgf
    std::int64_t emitted_ = 0;     // bytes of the file given to emit
    std::int64_t cut_at_ = -1;     // where the file must end: a failed read cut the entry there

private:
    void put(const char *bytes, std::size_t length);
    bool put_entry(DtaFile &file, bool &odd_mass);
    void find_retention_time(const Scan &scan);

    Ms2Input *input_ = nullptr;
    std::string title_;            // "BASE.", then the entry's title
    std::size_t base_length_ = 0;  // of "BASE." in title_
    std::string head_;             // the entry's lines before its peaks
    std::string seconds_;          // the scan's retention time in seconds; empty: none
    ScanFiles files_{};
    DtaFile dta_{};
    Gather gather_{};
    char header_window_[kRereadWindowSize];
    char body_window_[kRereadWindowSize];
};

class MgfWriter final : public MgfSink {
public:
    explicit MgfWriter(bool durable);
    void start(const char *output, Ms2Input &input) override;
    void finish(const WrittenNames *given, Outcomes &done) override;

private:
    void emit(Part *parts, int count) override;
    OutputFile file_;
    bool durable_;
    bool opened_ = false;  // the file was created
    int error_ = 0;        // errno of the first failure; 0 while none has
};

// --check: the entries compared with what stands at NAME.mgf.
class MgfChecker final : public MgfSink {
public:
    void start(const char *output, Ms2Input &input) override;
    void finish(const WrittenNames *given, Outcomes &done) override;

private:
    void emit(Part *parts, int count) override;
    ComparedFile compared_{};
    std::vector<std::string> temporary_;  // left-over temporary files beside it
};

// Appends (MH+ + (z - 1) * proton) / z in decimal, exact to the MH+ text's twelfth decimal
// and rounded half up to six; false (out untouched) for a charge below 1, or a text that is
// not a decimal number of at most 6 digits before its point.
bool precursor_mz(const char *mass_text, std::int32_t charge, std::string &out);
// Minutes as written ("12.43") times 60, exactly ("745.80"); false when not a plain decimal.
bool minutes_to_seconds(const char *minutes, std::size_t length, std::string &out);

#endif
