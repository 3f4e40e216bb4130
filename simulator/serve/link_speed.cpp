#include "serve/link_speed.h"

#include <windows.h>

#include <chrono>

namespace {

int64_t Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// The part of a call's delay waited out in short steps.
const std::chrono::milliseconds kFineWait(2);

// Returns at end, not before, and at most a step after: a millisecond's
// sleep while more than that is left, then yielding the processor.
void WaitUntil(std::chrono::steady_clock::time_point end) {
    for (;;) {
        const std::chrono::steady_clock::duration left = end - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return;
        if (left > std::chrono::microseconds(1500)) {
            Sleep(1);
        } else {
            SwitchToThread();
        }
    }
}

int64_t TicksPerSecond() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

}  // namespace

void LinkSpeed::SetBytesPerSecond(uint64_t bytesPerSecond) {
    std::lock_guard<std::mutex> lock(mutex_);
    bytesPerSecond_ = bytesPerSecond;
    busyUntil_ = 0;
}

uint64_t LinkSpeed::BytesPerSecond() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytesPerSecond_;
}

void LinkSpeed::Pace(uint64_t bytes) {
    int64_t waitTicks = 0;
    const int64_t perSecond = TicksPerSecond();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (bytesPerSecond_ == 0 || bytes == 0) return;
        const int64_t now = Now();
        // An idle cable does not save up time for later bursts.
        const int64_t start = busyUntil_ > now ? busyUntil_ : now;
        const int64_t crossing = static_cast<int64_t>(
            static_cast<double>(bytes) * static_cast<double>(perSecond) / static_cast<double>(bytesPerSecond_));
        busyUntil_ = start + crossing;
        waitTicks = busyUntil_ - now;
    }
    const int64_t waitMs = waitTicks * 1000 / perSecond;
    if (waitMs > 0) Sleep(static_cast<DWORD>(waitMs));
}

void LinkSpeed::SetLatency(uint32_t milliseconds) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        latencyMs_ = milliseconds;
    }
    latencyChanged_.notify_all();
}

uint32_t LinkSpeed::LatencyMs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return latencyMs_;
}

void LinkSpeed::Delay() {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    // Woken early by a change (or spuriously), the wait goes on to the end
    // that the delay in effect now gives. A timed wait on the condition ends
    // about a millisecond late under Wine, which a thousand calls add up to
    // a second the cable never took: it waits for all but the delay's last
    // milliseconds, and those are waited out in steps that end on time.
    while (latencyMs_ > 0) {
        const std::chrono::steady_clock::time_point end = start + std::chrono::milliseconds(latencyMs_);
        const std::chrono::steady_clock::time_point coarseEnd = end - kFineWait;
        if (std::chrono::steady_clock::now() < coarseEnd) {
            latencyChanged_.wait_until(lock, coarseEnd);
            continue;
        }
        lock.unlock();
        WaitUntil(end);
        return;
    }
}
