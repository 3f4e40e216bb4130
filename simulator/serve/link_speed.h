// The speed of the cable between the host and the device. Every transport
// that carries the device's frames (the named pipe, a network link) paces
// each request and its answer here, around the translator that answers it,
// so a copy takes as long as it would over a real cable. Unlimited unless
// set. All sessions share the one cable: two copies at once each get about
// half of it.
#pragma once

#include <stdint.h>

#include <mutex>

class LinkSpeed {
public:
    // Bytes per second; 0 is unlimited.
    void SetBytesPerSecond(uint64_t bytesPerSecond);
    uint64_t BytesPerSecond();
    // Returns when `bytes` more bytes have had time to cross the cable after
    // everything paced before them. Call it without holding other locks.
    void Pace(uint64_t bytes);

private:
    std::mutex mutex_;
    uint64_t bytesPerSecond_ = 0;
    int64_t busyUntil_ = 0;  // performance-counter ticks: when the cable is free again
};
