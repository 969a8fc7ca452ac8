// The MS2 scan splitter: one DTA file per charge line of every scan.
#ifndef MS2SPLIT_SPLIT_MS2_H
#define MS2SPLIT_SPLIT_MS2_H

#include <cstdint>
#include <string>

#include "ms2_input.h"

struct SplitResult {
    std::uint64_t charge_lines;     // charge lines taken, each given a DTA file
    std::uint64_t body_bytes_read;  // input bytes read to copy bodies, skipped lines included
    std::uint64_t file_bytes_read;  // bytes read from the file, rereads included
};

// Splits the input from its start to its end into DTA files under the directory stem.
SplitResult split_ms2(Ms2Input &input, const char *stem);

// "<stem>/<last component of stem>." : the part of every DTA path that one input shares.
std::string dta_path_prefix(const char *stem);
// Replaces whatever follows the prefix with "<first>.<last>.<charge>.dta".
void compose_dta_path(std::string &path, std::size_t prefix_length, ScanNumbers scan,
                      std::int32_t charge);

#endif
