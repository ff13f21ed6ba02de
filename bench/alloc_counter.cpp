// Replacement global operator new/delete that count every allocation, and
// GMP memory functions that count its allocations too.
#include "alloc_counter.hpp"

#include <gmp.h>
#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::uint64_t> g_allocations{0};

void* allocate(std::size_t size, std::size_t alignment = 0) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (size == 0) size = 1;
  void* p = alignment > alignof(std::max_align_t)
                ? std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)
                : std::malloc(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* gmpAllocate(std::size_t size) { return allocate(size); }
void* gmpReallocate(void* p, std::size_t, std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  void* q = std::realloc(p, size);
  if (q == nullptr) throw std::bad_alloc();
  return q;
}
void gmpFree(void* p, std::size_t) { std::free(p); }

const bool g_gmpCounted = [] {
  mp_set_memory_functions(gmpAllocate, gmpReallocate, gmpFree);
  return true;
}();

}  // namespace

namespace bench {
std::uint64_t allocations() { return g_allocations.load(std::memory_order_relaxed); }
std::int64_t heapBytes() {
  // Every arena's chunks in use, and the large blocks mapped on their own.
  const struct mallinfo2 info = mallinfo2();
  return static_cast<std::int64_t>(info.uordblks + info.hblkhd);
}
}  // namespace bench

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, std::align_val_t a) {
  return allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return allocate(n, static_cast<std::size_t>(a));
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return allocate(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return allocate(n);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
