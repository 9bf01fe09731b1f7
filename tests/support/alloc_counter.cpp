#include "alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
thread_local size_t t_allocations = 0;
std::atomic<size_t> g_allocations{0};

void* counted(size_t size) {
  ++t_allocations;
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

void* countedAligned(size_t size, std::align_val_t align) {
  ++t_allocations;
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  const size_t a = static_cast<size_t>(align);
  if (void* p = std::aligned_alloc(a, (size + a - 1) / a * a)) return p;
  throw std::bad_alloc();
}
}  // namespace

namespace alloc_counter {
size_t threadAllocations() { return t_allocations; }
size_t processAllocations() { return g_allocations.load(); }
}  // namespace alloc_counter

void* operator new(size_t size) { return counted(size); }
void* operator new[](size_t size) { return counted(size); }
void* operator new(size_t size, std::align_val_t align) { return countedAligned(size, align); }
void* operator new[](size_t size, std::align_val_t align) { return countedAligned(size, align); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { std::free(p); }
