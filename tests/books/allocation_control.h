// The test program replaces the global allocation functions, to count the
// blocks alive and to make chosen nothrow allocations fail (the program's
// lists and names are allocated that way; everything else in the test
// program uses the throwing forms, which never fail on purpose).
#pragma once

// Blocks obtained from operator new (any form) and not yet deleted.
long LiveAllocations();

// Lets `skip` nothrow allocations through, then makes the next `count` of
// them fail. count -1 fails every one from then on.
void FailNothrowAllocations(long skip, long count = 1);
// Back to normal: every allocation succeeds.
void StopFailingAllocations();

// Restores normal allocation when a scope ends, whatever the test did.
struct AllocationFailureScope {
    AllocationFailureScope(long skip, long count = 1) { FailNothrowAllocations(skip, count); }
    ~AllocationFailureScope() { StopFailingAllocations(); }
};
