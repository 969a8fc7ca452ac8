// The DTA writer: one file per call, a header line from the charge line, then the body.
#ifndef MS2SPLIT_WRITE_DTA_H
#define MS2SPLIT_WRITE_DTA_H

#include <cstddef>
#include <cstdint>

#include "ms2_input.h"

// Where a scan's body lies in the input, as a reading of it found.
struct BodyRange {
    std::int64_t start;  // the first copied piece; end when nothing was copied
    std::int64_t end;    // the next S piece, or the end of the input
    bool one_run;        // the copied bytes are exactly those from start to end
};

// Starts the DTA files of a conversion: files replaced from here on are told apart from
// those of earlier runs by whether this conversion wrote them.
void start_dta_files();

// Writes a DTA file whose body is copied from the pieces that follow in the input: each up
// to the next S piece that does not begin with a letter. Returns true when it read the body
// to its end, and then reports in range what it found. A file that cannot be written is
// reported; one left incomplete, by a failed write or a failed read, is removed. A file that
// replaces one written earlier in this conversion is announced.
bool write_dta(Ms2Input &input, const char *path, const ChargeLine &line, BodyRange &range);

// Writes a DTA file whose body is the given bytes.
void write_dta(const char *path, const ChargeLine &line, const char *body, std::size_t length);

// Where text mode writes each LF as CR LF (Windows), a CR that stands right before a LF in
// the body is left out, so that CR LF comes out as CR LF, not CR CR LF; every other CR stays,
// so CR CR LF comes out as CR CR LF. A CR at the end of one call waits in held_cr for the next
// call to show whether a LF follows; a call with at_end set writes it.
// Puts the bytes to hand to the stream into out, which has room for length + 1 bytes, and
// returns their count. Without text_mode_adds_cr the bytes pass unchanged.
std::size_t filter_line_ends(bool text_mode_adds_cr, bool &held_cr, const char *bytes,
                             std::size_t length, bool at_end, char *out);

#endif
