// The speed of the cable between the host and the device. Every transport
// that carries the device's frames (the named pipe, a network link) paces
// each request and its answer here, around the translator that answers it,
// so a copy takes as long as it would over a real cable. Unlimited unless
// set. All sessions share the one cable: two copies at once each get about
// half of it. Each request also waits the link's delay per call before its
// answer, as a real link's round trip takes; the calls of different sessions
// wait side by side, since a delay holds no cable and no model.
#pragma once

#include <stdint.h>

#include <condition_variable>
#include <mutex>

class LinkSpeed {
public:
    // Bytes per second; 0 is unlimited.
    void SetBytesPerSecond(uint64_t bytesPerSecond);
    uint64_t BytesPerSecond();
    // Returns when `bytes` more bytes have had time to cross the cable after
    // everything paced before them. Call it without holding other locks.
    void Pace(uint64_t bytes);

    // Milliseconds each request waits before its answer; 0 (the default):
    // none.
    void SetLatency(uint32_t milliseconds);
    uint32_t LatencyMs();
    // Returns once one call's delay has passed. Call it without holding
    // other locks. A delay changed while calls wait counts for them at once,
    // from the moment each began to wait.
    void Delay();

private:
    std::mutex mutex_;
    std::condition_variable latencyChanged_;
    uint32_t latencyMs_ = 0;
    uint64_t bytesPerSecond_ = 0;
    int64_t busyUntil_ = 0;  // performance-counter ticks: when the cable is free again
};
