#include "counting_allocator.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

std::atomic<quendra::test::CountNow> predicate{nullptr};
std::atomic<long> allocations{0};
std::atomic<long> releases{0};

bool countingNow() {
    const auto countNow = predicate.load(std::memory_order_acquire);
    return countNow != nullptr && countNow();
}

void* allocate(std::size_t size, std::size_t alignment = 0) {
    if (countingNow()) allocations.fetch_add(1, std::memory_order_relaxed);
    void* p = alignment > alignof(std::max_align_t)
                  ? std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)
                  : std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void* allocateOrNull(std::size_t size) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}

void release(void* p) noexcept {
    if (p == nullptr) return;
    if (countingNow()) releases.fetch_add(1, std::memory_order_relaxed);
    std::free(p);
}

}  // namespace

namespace quendra::test {

void countHeapUseWhen(CountNow countNow) { predicate.store(countNow, std::memory_order_release); }

HeapUse heapUse() { return {allocations.load(), releases.load()}; }

void resetHeapUse() {
    allocations = 0;
    releases = 0;
}

}  // namespace quendra::test

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocateOrNull(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocateOrNull(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
