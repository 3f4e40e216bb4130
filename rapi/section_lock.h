// Locks of the stand-in. It uses the system's own critical sections rather
// than the C++ thread library, whose runtime needs functions that Windows XP
// lacks (the stand-in links the win32 thread model runtime).
#pragma once

#include <windows.h>

// A critical section that lives as long as its owner.
class SectionLock {
public:
    SectionLock() { InitializeCriticalSection(&section_); }
    ~SectionLock() { DeleteCriticalSection(&section_); }
    SectionLock(const SectionLock &) = delete;
    SectionLock &operator=(const SectionLock &) = delete;
    void Enter() { EnterCriticalSection(&section_); }
    void Leave() { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

// A lock held for one scope.
class SectionGuard {
public:
    explicit SectionGuard(SectionLock &lock) : lock_(lock) { lock_.Enter(); }
    ~SectionGuard() { lock_.Leave(); }
    SectionGuard(const SectionGuard &) = delete;
    SectionGuard &operator=(const SectionGuard &) = delete;

private:
    SectionLock &lock_;
};
