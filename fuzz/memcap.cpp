// A hard cap on the bytes that one harness run may allocate through the
// global allocation functions. Past the cap, allocation throws std::bad_alloc,
// which is what the machine sees when the host refuses memory; the machine
// must turn that into its "Out of memory." report. The cap catches the single
// large allocations (a string doubled, a list printed whole) that grow past
// any limit between two checks of the machine's own limit. The records (the
// heap's mapped regions) and the element arrays of lists (grown with
// realloc) are not counted: an instruction makes a few records, appends one
// element or copies an array the program holds already, so those grow no
// faster than the instruction budget allows, and the machine's limit bounds
// them.
//
// Every allocation is counted by its usable size, so that a release, which
// may not know the size it was asked for, takes away exactly what was added.

#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

#include "memcap.hpp"

namespace truvfuzz {

namespace {

std::atomic<std::size_t> inuse{0};
std::atomic<std::size_t> ceiling{0};  // 0: no cap

void* allocate(std::size_t n, std::size_t alignment) {
  if (n == 0) n = 1;
  const std::size_t cap = ceiling.load(std::memory_order_relaxed);
  if (cap != 0 && (n > cap || inuse.load(std::memory_order_relaxed) > cap - n)) return nullptr;
  void* p = nullptr;
  if (alignment <= alignof(std::max_align_t)) {
    p = std::malloc(n);
  } else if (posix_memalign(&p, alignment, n) != 0) {
    p = nullptr;
  }
  if (p) inuse.fetch_add(malloc_usable_size(p), std::memory_order_relaxed);
  return p;
}

void release(void* p) noexcept {
  if (!p) return;
  inuse.fetch_sub(malloc_usable_size(p), std::memory_order_relaxed);
  std::free(p);
}

void* allocateorthrow(std::size_t n, std::size_t alignment) {
  void* p = allocate(n, alignment);
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace

AllocationCap::AllocationCap(std::size_t bytes) {
  // The cap counts from what is in use now: the harness's own data and the
  // fuzzer's corpus are not the run's.
  const std::size_t now = inuse.load(std::memory_order_relaxed);
  ceiling.store(now + bytes, std::memory_order_relaxed);
}

AllocationCap::~AllocationCap() { ceiling.store(0, std::memory_order_relaxed); }

}  // namespace truvfuzz

using truvfuzz::allocate;
using truvfuzz::allocateorthrow;
using truvfuzz::release;

constexpr std::size_t plain = alignof(std::max_align_t);

void* operator new(std::size_t n) { return allocateorthrow(n, plain); }
void* operator new[](std::size_t n) { return allocateorthrow(n, plain); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, plain); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, plain); }
void* operator new(std::size_t n, std::align_val_t a) { return allocateorthrow(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocateorthrow(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, static_cast<std::size_t>(a));
}

void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }
