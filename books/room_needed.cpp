#include "books/room_needed.h"

#include <string.h>

#include <algorithm>

namespace {

const uint64_t kKilobyte = 1024;
const uint64_t kMegabyte = 1024 * 1024;
const uint64_t kMinimumMargin = 64 * kKilobyte;

uint64_t Divide(uint64_t value, uint64_t unit, bool roundUp) {
    return roundUp ? value / unit + (value % unit != 0) : value / unit;
}

// Device paths compare without regard to case, as the device's do.
bool SameTarget(const std::string &a, const std::string &b) {
    return a.size() == b.size() && _strnicmp(a.c_str(), b.c_str(), a.size()) == 0;
}

}  // namespace

uint64_t RoomMargin(uint64_t bytes) { return std::max(Divide(bytes, 100, true), kMinimumMargin); }

uint64_t RoomNeeded(const std::vector<PlannedCopy> &copies) {
    // Bytes the store has gained so far (a replaced larger file frees room),
    // and the most it held at any moment.
    int64_t grown = 0, peak = 0;
    std::vector<bool> written(copies.size(), false);
    for (size_t i = 0; i < copies.size(); ++i) {
        const PlannedCopy &copy = copies[i];
        // A file this run wrote already is that copy now, with the host times.
        const PlannedCopy *before = nullptr;
        for (size_t earlier = 0; earlier < i; ++earlier) {
            if (written[earlier] && SameTarget(copies[earlier].target, copy.target)) before = &copies[earlier];
        }
        const bool upToDate = before ? true : copy.upToDate;
        if (!copy.always && upToDate) continue;
        written[i] = true;
        const int64_t bytes = static_cast<int64_t>(copy.bytes);
        peak = std::max(peak, grown + bytes);
        grown += bytes - static_cast<int64_t>(before ? before->bytes : copy.replaces);
    }
    if (peak <= 0) return 0;
    return static_cast<uint64_t>(peak) + RoomMargin(static_cast<uint64_t>(peak));
}

std::string RoomText(uint64_t bytes, bool roundUp) {
    const uint64_t kilobytes = Divide(bytes, kKilobyte, roundUp);
    if (kilobytes < kMegabyte / kKilobyte) return std::to_string(kilobytes) + " KB";
    const uint64_t tenths = Divide(bytes * 10, kMegabyte, roundUp);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " MB";
}
