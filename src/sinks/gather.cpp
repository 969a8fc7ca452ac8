#include "gather.h"

#include <cstring>

void start_gather(Gather &gather) {
    gather.crlf = lines_end_in_crlf();
    gather.previous = '\0';
    gather.length = 0;
}

int gather_bytes(Gather &gather, const char *&bytes, std::size_t &length, Part (&parts)[2]) {
    const std::size_t room = kGatherSize - gather.length;
    if (gather.crlf) {
        const std::size_t taken = room / 2 < length ? room / 2 : length;  // each byte may become two
        gather.length += end_lines_in_crlf(bytes, taken, gather.previous, gather.bytes + gather.length);
        bytes += taken;
        length -= taken;
        if (kGatherSize - gather.length >= 2) return 0;
        parts[0] = gathered(gather);
        return 1;
    }
    if (length <= room) {
        std::memcpy(gather.bytes + gather.length, bytes, length);
        gather.length += length;
        bytes += length;
        length = 0;
        return 0;
    }
    parts[0] = gathered(gather);  // and the new bytes as they stand, in one write
    parts[1] = {bytes, length};
    bytes += length;
    length = 0;
    return 2;
}

Part gathered(Gather &gather) {
    const Part waiting{gather.bytes, gather.length};
    gather.length = 0;
    return waiting;
}
