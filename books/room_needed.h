// How much room a transfer needs in one store, worked out before anything
// is written, and how the figures are shown to the user.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// One file the transfer may write into the store, in the order of writing.
struct PlannedCopy {
    std::string target;   // device path written; repeats name one file
    uint64_t bytes;       // size of the host file
    bool always;          // replaced whatever the times (the newspaper)
    bool upToDate;        // the device's copy is not older than the host's
    uint64_t replaces;    // size of the device file it replaces; 0: none
};

// The room the copies need at their peak, plus the file system's margin; 0
// when nothing will be written. A copy skipped by the newer-only rule needs
// nothing; a file written twice is, the second time, compared with the
// first copy, which got the host file's times. A replaced file is deleted
// only once its new copy is whole, so both count while it is written.
uint64_t RoomNeeded(const std::vector<PlannedCopy> &copies);

// The margin for the file system's own records: the larger of 1% and 64 KB.
uint64_t RoomMargin(uint64_t bytes);

// A size for the user: "900 KB" below 1 MB, else "25.3 MB". A needed size
// is rounded up, a free one down, so that "need" is never shown below
// "free" for a transfer that does not fit.
std::string RoomText(uint64_t bytes, bool roundUp);
