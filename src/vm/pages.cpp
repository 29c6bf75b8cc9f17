#include "pages.hpp"

#include <sys/mman.h>

#include <cstdint>

#include "sanitizer.hpp"

namespace TruvVM::pages {

namespace {
std::size_t inuse = 0;
}

void* map(std::size_t bytes) {
#if TRUV_ASAN
  return ::operator new(bytes, std::align_val_t{unit});
#else
  // Map one unit more than asked, then unmap what lies outside the aligned
  // block.
  void* p = mmap(nullptr, bytes + unit, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t aligned = (start + unit - 1) & ~(unit - 1);
  if (aligned > start) munmap(p, aligned - start);
  if (const std::uintptr_t tail = start + bytes + unit - (aligned + bytes))
    munmap(reinterpret_cast<void*>(aligned + bytes), tail);
  void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  madvise(block, bytes, MADV_HUGEPAGE);  // advice only: fine to fail
#endif
  inuse += bytes;
  return block;
#endif
}

void unmap(void* block, std::size_t bytes) {
#if TRUV_ASAN
  ::operator delete(block, std::align_val_t{unit});
  (void)bytes;
#else
  munmap(block, bytes);
  inuse -= bytes;
#endif
}

std::size_t mapped() { return inuse; }

}  // namespace TruvVM::pages
