// Where the DTA files of a conversion go, behind one interface: a sink takes the scans of an
// input in order and tells what became of each file, in the same order. The tree writer
// writes them, the pool writes them from several threads, the checker compares them with
// what stands; the conversion neither knows nor asks which one it feeds.
#ifndef MS2SPLIT_SINK_H
#define MS2SPLIT_SINK_H

#include <cstdint>
#include <vector>

#include "dta_file.h"
#include "ms2_input.h"
#include "written_names.h"

// What became of one DTA file, or what else a sink found about an input's output.
struct Outcome {
    enum What : std::uint8_t {
        kWritten,      // the file stands complete at its name
        kFailed,       // it could not be written: error; what was written is gone
        kReadFailed,   // reading its scan again failed, which the input's error tells
        kSame,         // checked: the file at its name is what a conversion writes
        kMissing,      // checked: nothing stands at its name
        kDiffers,      // checked: a file with other bytes stands there
        kNotAFile,     // checked: something that is not a regular file stands there
        kUnreadable,   // checked: the file there cannot be read: error
        kExtra,        // a DTA file of the input's name that the input does not give
        kLeftOver,     // a temporary file that an interrupted run left: name
        kUnlistable,   // the directory cannot be listed: error
        kChecked,      // the input's files are all checked
        kNotDurable,   // the files may not survive a power loss: error
        kOutOfMemory,  // files of the input were not written for want of memory
        kSpectrum,     // an entry of a file that holds every spectrum (MGF): written or compared
        kFileWritten,  // that file stands complete at its name
        kFileFailed,   // it could not be written: error; what was written is gone
    } what;
    DtaKey key;        // the DTA file's scan numbers and charge
    int error;         // errno, where the outcome has a reason
    int remove_error;  // errno of a failed removal of what was written; 0 if none failed
    const char *name;  // the path of a file the outcome names other than by key, valid until the
                       // sink's next start
    bool odd_header;   // the DTA file's header is one that search engines reject
};
using Outcomes = std::vector<Outcome>;  // keeps its room from scan to scan

// An outcome about the input's output as a whole, or a file it names by key.
inline Outcome outcome_of(Outcome::What what, int error = 0, DtaKey key = {}, const char *name = nullptr) {
    return {what, key, error, 0, name, false};
}

class Sink {
public:
    virtual ~Sink() = default;
    // Starts an input whose files go to directory; a scan the buffer does not hold is read
    // again from input.
    virtual void start(const char *directory, Ms2Input &input) = 0;
    // Takes the files of the input's next scan, telling in done, in order, what became of
    // every file finished meanwhile. False when reading the scan again failed, which ends
    // the input.
    virtual bool take(const Scan &scan, Outcomes &done) = 0;
    // Tells what became of the files not yet told, once they are finished. given: the names
    // the input gives, when it was read whole (nullptr when it was cut short).
    virtual void finish(const WrittenNames *given, Outcomes &done) = 0;
};

#endif
