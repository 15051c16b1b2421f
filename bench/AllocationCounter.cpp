#include "bench/AllocationCounter.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>

// glibc's own allocator under the names it keeps for replacements to call.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* memory, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* memory);
}

namespace {

std::atomic<bool> armed{false};
std::atomic<uint64_t> allocations{0};

inline void Count() {
    if (armed.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

namespace qelmor::bench {

void StartCountingAllocations() {
    allocations.store(0, std::memory_order_relaxed);
    armed.store(true, std::memory_order_relaxed);
}

uint64_t StopCountingAllocations() {
    armed.store(false, std::memory_order_relaxed);
    return allocations.load(std::memory_order_relaxed);
}

}  // namespace qelmor::bench

// Every entry point that hands out memory counts; free only forwards.
extern "C" {

void* malloc(size_t size) noexcept {
    Count();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) noexcept {
    Count();
    return __libc_calloc(count, size);
}

void* realloc(void* memory, size_t size) noexcept {
    Count();
    return __libc_realloc(memory, size);
}

void free(void* memory) noexcept {
    __libc_free(memory);
}

void* memalign(size_t alignment, size_t size) noexcept {
    Count();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) noexcept {
    Count();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** memory, size_t alignment, size_t size) noexcept {
    Count();
    // A power of two and a multiple of the pointer size, as POSIX requires.
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* block = __libc_memalign(alignment, size);
    if (block == nullptr) return ENOMEM;
    *memory = block;
    return 0;
}

}  // extern "C"
