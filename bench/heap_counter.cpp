// Replaces the global allocation functions of the program it is linked into, so that it can count the bytes
// the engines hold. Memory taken with malloc directly is not counted.
#include "bench/heap_counter.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace korvex::bench::heap {

namespace {

std::atomic<std::size_t> held{0};
std::atomic<std::size_t> highest{0};

void* counted(void* block) {
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    const std::size_t size = malloc_usable_size(block);
    const std::size_t now = held.fetch_add(size, std::memory_order_relaxed) + size;
    std::size_t seen = highest.load(std::memory_order_relaxed);
    while (now > seen && !highest.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
    }
    return block;
}

void uncounted(void* block) {
    if (block != nullptr) {
        held.fetch_sub(malloc_usable_size(block), std::memory_order_relaxed);
        std::free(block);
    }
}

void* aligned(std::size_t size, std::align_val_t alignment) {
    const auto bytes = static_cast<std::size_t>(alignment);
    return counted(std::aligned_alloc(bytes, (size + bytes - 1) / bytes * bytes));
}

}  // namespace

std::size_t live() { return held.load(std::memory_order_relaxed); }
std::size_t peak() { return highest.load(std::memory_order_relaxed); }
void resetPeak() { highest.store(held.load(std::memory_order_relaxed), std::memory_order_relaxed); }

}  // namespace korvex::bench::heap

using korvex::bench::heap::aligned;
using korvex::bench::heap::counted;
using korvex::bench::heap::uncounted;

void* operator new(std::size_t size) { return counted(std::malloc(size == 0 ? 1 : size)); }
void* operator new[](std::size_t size) { return counted(std::malloc(size == 0 ? 1 : size)); }
void* operator new(std::size_t size, std::align_val_t alignment) { return aligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return aligned(size, alignment); }
void operator delete(void* block) noexcept { uncounted(block); }
void operator delete[](void* block) noexcept { uncounted(block); }
void operator delete(void* block, std::size_t) noexcept { uncounted(block); }
void operator delete[](void* block, std::size_t) noexcept { uncounted(block); }
void operator delete(void* block, std::align_val_t) noexcept { uncounted(block); }
void operator delete[](void* block, std::align_val_t) noexcept { uncounted(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { uncounted(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { uncounted(block); }
