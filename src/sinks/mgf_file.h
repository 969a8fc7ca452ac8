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

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "compared_file.h"
#include "sink.h"

constexpr std::size_t kMgfBufferSize = std::size_t{1} << 20;  // the file's bytes per write

// What both MGF sinks share: the entries, in the file's bytes. Where the bytes go is theirs.
class MgfSink : public Sink {
public:
    MgfSink();
    void start(const char *output, Ms2Input &input) override;
    bool take(const Scan &scan, Outcomes &done) override;

protected:
    // Hands over length bytes of the file, a full buffer; returns the buffer to fill next.
    virtual char *emit(char *bytes, std::size_t length) = 0;
    // Emits what the buffer holds, at the file's end.
    void flush();
    char *first_buffer() { return first_.get(); }
    // The folder that holds the file, "." for the current one.
    const char *folder() const { return folder_.empty() ? "." : folder_.c_str(); }
    std::string path_;             // NAME.mgf
    std::string folder_;           // the part of path_ before its last component: "" or "DIR/"
    std::int64_t emitted_ = 0;     // bytes of the file emitted
    std::int64_t cut_at_ = -1;     // where the file must end: a failed read cut the entry there

private:
    void put(const char *bytes, std::size_t length);
    bool put_entry(DtaFile &file, bool &odd_mass);
    void find_retention_time(const Scan &scan);

    std::unique_ptr<char[]> first_;
    char *buffer_;                 // kMgfBufferSize bytes: the file's next bytes
    std::size_t length_ = 0;       // bytes buffer_ holds
    bool crlf_ = false;            // lines end in CR LF
    char previous_ = '\0';         // the last byte put: a CR before a LF keeps it one line end
    Ms2Input *input_ = nullptr;
    std::string title_;            // "BASE.", then the entry's title (the DTA name less ".dta")
    std::size_t base_length_ = 0;  // of "BASE." in title_
    std::string head_;             // the entry's lines before its peaks
    std::string seconds_;          // the scan's retention time in seconds; empty: none
    ScanFiles files_{};
    DtaFile dta_{};
};

class MgfWriter final : public MgfSink {
public:
    // background: a thread writes each full buffer while the next is filled.
    MgfWriter(bool durable, bool background);
    ~MgfWriter() override;
    void start(const char *output, Ms2Input &input) override;
    void finish(const WrittenNames *given, Outcomes &done) override;

private:
    char *emit(char *bytes, std::size_t length) override;
    void write(const char *bytes, std::size_t length);
    void write_in_background();
    void wait_for_writes();

    OutputFile file_;
    bool durable_;
    bool opened_ = false;              // the file was created
    int error_ = 0;                    // errno of the first failure; 0 while none has
    std::unique_ptr<char[]> second_;   // the buffer filled while the other is written
    std::thread writer_;               // writes in the background, where it started
    std::mutex lock_;
    std::condition_variable changed_;  // a buffer is handed over, written, or the thread is to stop
    const char *pending_ = nullptr;    // handed over, not yet written
    std::size_t pending_length_ = 0;
    bool stopping_ = false;
};

// --check: the entries compared with what stands at NAME.mgf.
class MgfChecker final : public MgfSink {
public:
    void start(const char *output, Ms2Input &input) override;
    void finish(const WrittenNames *given, Outcomes &done) override;

private:
    char *emit(char *bytes, std::size_t length) override;
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
