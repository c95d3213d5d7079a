// Global allocation functions that count, for tests that prove a path never touches the heap.
// A test binary gets them by compiling counting_allocator.cpp among its sources (they replace the
// standard ones for the whole binary) and says when to count with a predicate, which is asked on
// every allocation and release on every thread, so it must neither allocate nor block: a
// thread-local flag, or the code's own marker of a real-time section.
#pragma once

namespace quendra::test {

using CountNow = bool (*)();

// Counts from now on whenever `countNow` returns true; nullptr stops counting.
void countHeapUseWhen(CountNow countNow);

struct HeapUse {
    long allocations = 0;
    long releases = 0;
};

// What was counted since the last reset.
HeapUse heapUse();
void resetHeapUse();

}  // namespace quendra::test
