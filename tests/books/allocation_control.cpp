#include "tests/books/allocation_control.h"

#include <stdlib.h>

#include <atomic>
#include <new>

namespace {

std::atomic<long> g_live{0};
// Nothrow allocations to let through before failing, and how many to fail.
std::atomic<long> g_skip{0};
std::atomic<long> g_failures{0};

bool NextNothrowAllocationFails() {
    if (g_failures.load() == 0) return false;
    if (g_skip.load() > 0) {
        --g_skip;
        return false;
    }
    if (g_failures.load() > 0) --g_failures;
    return true;
}

void *Allocate(size_t size) {
    void *block = malloc(size ? size : 1);
    if (block) ++g_live;
    return block;
}

void Release(void *block) {
    if (!block) return;
    --g_live;
    free(block);
}

}  // namespace

long LiveAllocations() { return g_live.load(); }

void FailNothrowAllocations(long skip, long count) {
    g_skip = skip;
    g_failures = count;
}

void StopFailingAllocations() {
    g_failures = 0;
    g_skip = 0;
}

void *operator new(size_t size) {
    void *block = Allocate(size);
    if (!block) throw std::bad_alloc();
    return block;
}
void *operator new[](size_t size) { return operator new(size); }
void *operator new(size_t size, const std::nothrow_t &) noexcept {
    return NextNothrowAllocationFails() ? nullptr : Allocate(size);
}
void *operator new[](size_t size, const std::nothrow_t &tag) noexcept { return operator new(size, tag); }
void operator delete(void *block) noexcept { Release(block); }
void operator delete[](void *block) noexcept { Release(block); }
void operator delete(void *block, size_t) noexcept { Release(block); }
void operator delete[](void *block, size_t) noexcept { Release(block); }
void operator delete(void *block, const std::nothrow_t &) noexcept { Release(block); }
void operator delete[](void *block, const std::nothrow_t &) noexcept { Release(block); }
