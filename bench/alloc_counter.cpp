// Counts the heap allocations a running `ombrix` makes inside its sound stream callbacks, the
// paths that must never allocate. Preloaded by bench/load.py:
//   LD_PRELOAD=libombrix_alloc_counter.so OMBRIX_ALLOC_COUNTS=<file> ombrix
// The program's StreamCallbackScope calls ombrix_stream_callback_mark, a weak symbol that only
// this library defines, on entering and leaving a callback; the allocation functions below count
// only while the calling thread is inside one. The counters live in a shared mapping of <file>
// (the layout is `Counts`), so the script reads them while the process runs, whatever way it ends.
//
// Everything here runs inside malloc: no allocation, no lock, no stdio. The functions pass
// straight to glibc's own (__libc_malloc and the like) to stay clear of dlsym.
#include <execinfo.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

namespace {

constexpr std::uint64_t kMagic = 0x32746e756f636c61;  // "alcount2"
constexpr int kStacks = 8;
constexpr int kFrames = 8;

// The file's layout, read by bench/load.py: little-endian 64-bit fields in this order.
struct Counts {
    std::uint64_t magic;
    std::atomic<std::uint64_t> callbacks;    // stream callbacks entered
    std::atomic<std::uint64_t> news;         // operator new, any form
    std::atomic<std::uint64_t> mallocs;      // malloc, calloc, realloc, the aligned forms
    std::atomic<std::uint64_t> frees;        // free (operator delete ends there too)
    std::atomic<std::uint64_t> bytes;        // requested by the counted allocations
    std::atomic<std::uint64_t> stacks;       // how many of `stack` are filled
    std::uint64_t stack[kStacks][kFrames];   // distinct call stacks of counted calls, innermost first
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

Counts* gCounts = nullptr;
// How deep the thread is inside stream callbacks. Initial-exec: a preloaded library's TLS is
// static, so touching it never allocates.
__attribute__((tls_model("initial-exec"))) thread_local int tDepth = 0;

__attribute__((constructor)) void mapCounts() {
    const char* path = std::getenv("OMBRIX_ALLOC_COUNTS");
    if (path == nullptr || *path == '\0') return;
    const int fd = ::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    void* map = MAP_FAILED;
    if (::ftruncate(fd, sizeof(Counts)) == 0)
        map = ::mmap(nullptr, sizeof(Counts), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) return;
    auto* counts = static_cast<Counts*>(map);  // zero-filled by ftruncate
    counts->magic = kMagic;
    void* frame = nullptr;
    (void)::backtrace(&frame, 1);
    gCounts = counts;
}

// Keeps the call stack of a counted call, when it is a new one and there is room. backtrace()
// may take the loader's lock: acceptable here, where something already went wrong; it was primed
// at load (its first call loads libgcc_s), and whatever it allocates itself is not counted.
__attribute__((tls_model("initial-exec"))) thread_local bool tTracing = false;

__attribute__((noinline)) void remember() {
    if (tTracing || gCounts->stacks.load(std::memory_order_relaxed) >= kStacks) return;
    tTracing = true;
    void* frames[kFrames + 1] = {};
    const int n = ::backtrace(frames, kFrames + 1);
    std::uint64_t stack[kFrames] = {};
    // Frame 0 is this function; the reader drops the allocation functions of this library.
    for (int i = 1; i < n; ++i) stack[i - 1] = reinterpret_cast<std::uint64_t>(frames[i]);
    const auto filled = std::min<std::uint64_t>(gCounts->stacks.load(std::memory_order_acquire), kStacks);
    bool seen = false;
    for (std::uint64_t k = 0; k < filled && !seen; ++k)
        seen = std::equal(std::begin(stack), std::end(stack), gCounts->stack[k]);
    if (!seen) {
        const auto slot = gCounts->stacks.fetch_add(1, std::memory_order_acq_rel);
        if (slot < kStacks) std::copy(std::begin(stack), std::end(stack), gCounts->stack[slot]);
    }
    tTracing = false;
}

inline bool counting() { return tDepth > 0 && gCounts != nullptr; }

__attribute__((noinline)) void countAllocation(std::atomic<std::uint64_t> Counts::*kind, std::size_t size) {
    (gCounts->*kind).fetch_add(1, std::memory_order_relaxed);
    gCounts->bytes.fetch_add(size, std::memory_order_relaxed);
    remember();
}

void* newAligned(std::size_t size, std::size_t alignment) {
    if (size == 0) size = 1;
    return alignment > alignof(std::max_align_t) ? __libc_memalign(alignment, size) : __libc_malloc(size);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void ombrix_stream_callback_mark(int inside) {
    if (inside) {
        if (tDepth++ == 0 && gCounts != nullptr) gCounts->callbacks.fetch_add(1, std::memory_order_relaxed);
    } else if (tDepth > 0) {
        --tDepth;
    }
}

void* malloc(std::size_t size) noexcept {
    if (counting()) countAllocation(&Counts::mallocs, size);
    return __libc_malloc(size);
}

void* calloc(std::size_t n, std::size_t size) noexcept {
    if (counting()) countAllocation(&Counts::mallocs, n * size);
    return __libc_calloc(n, size);
}

void* realloc(void* p, std::size_t size) noexcept {
    if (counting()) countAllocation(&Counts::mallocs, size);
    return __libc_realloc(p, size);
}

void* reallocarray(void* p, std::size_t n, std::size_t size) noexcept {
    std::size_t total = 0;
    if (__builtin_mul_overflow(n, size, &total)) {
        errno = ENOMEM;
        return nullptr;
    }
    if (counting()) countAllocation(&Counts::mallocs, total);
    return __libc_realloc(p, total);
}

void free(void* p) noexcept {
    if (p != nullptr && counting()) {
        gCounts->frees.fetch_add(1, std::memory_order_relaxed);
        remember();
    }
    __libc_free(p);
}

void* memalign(std::size_t alignment, std::size_t size) noexcept {
    if (counting()) countAllocation(&Counts::mallocs, size);
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    if (counting()) countAllocation(&Counts::mallocs, size);
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
    if (counting()) countAllocation(&Counts::mallocs, size);
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}

}  // extern "C"

// operator new straight to glibc, so that one allocation counts once, as `news`; operator delete
// stays libstdc++'s, which ends in the free above.
void* operator new(std::size_t size) {
    if (counting()) countAllocation(&Counts::news, size);
    if (void* p = newAligned(size, 0)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (counting()) countAllocation(&Counts::news, size);
    if (void* p = newAligned(size, 0)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    if (counting()) countAllocation(&Counts::news, size);
    if (void* p = newAligned(size, static_cast<std::size_t>(alignment))) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    if (counting()) countAllocation(&Counts::news, size);
    if (void* p = newAligned(size, static_cast<std::size_t>(alignment))) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (counting()) countAllocation(&Counts::news, size);
    return newAligned(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (counting()) countAllocation(&Counts::news, size);
    return newAligned(size, 0);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    if (counting()) countAllocation(&Counts::news, size);
    return newAligned(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    if (counting()) countAllocation(&Counts::news, size);
    return newAligned(size, static_cast<std::size_t>(alignment));
}
