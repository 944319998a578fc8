#include "alloc_counter.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<bool> counting{true};
std::atomic<std::uint64_t> allocations{0};
std::atomic<std::int64_t> heldBytes{0};

void* allocate(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  if (counting.load(std::memory_order_relaxed)) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    heldBytes.fetch_add(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
  }
  return p;
}

void release(void* p) noexcept {
  if (p == nullptr) return;
  if (counting.load(std::memory_order_relaxed)) {
    heldBytes.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
  }
  std::free(p);
}
}  // namespace

namespace bench {
std::uint64_t allocationCount() { return allocations.load(std::memory_order_relaxed); }
std::int64_t liveBytes() { return heldBytes.load(std::memory_order_relaxed); }
void setCounting(bool on) { counting.store(on, std::memory_order_relaxed); }
}  // namespace bench

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
