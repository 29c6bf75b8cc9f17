#include "pages.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <new>

#include "sanitizer.hpp"

namespace TruvVM::pages {

namespace {
std::size_t inuse = 0;
}

void* map(std::size_t bytes) {
#if TRUV_ASAN
  return ::operator new(bytes);
#else
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) throw std::bad_alloc();
  inuse += bytes;
  return block;
#endif
}

void unmap(void* block, std::size_t bytes) {
#if TRUV_ASAN
  ::operator delete(block);
  (void)bytes;
#else
  munmap(block, bytes);
  inuse -= bytes;
#endif
}

std::size_t mapped() { return inuse; }

void prepare(void* start, std::size_t bytes) {
#if TRUV_ASAN
  (void)start;
  (void)bytes;
#else
#ifdef MADV_POPULATE_WRITE
  // Known to systems since Linux 5.14; older ones refuse the advice, and
  // the pages come as they are touched.
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto first = reinterpret_cast<std::uintptr_t>(start) & ~(page - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(start) + bytes + page - 1) & ~(page - 1);
  madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
  (void)start;
  (void)bytes;
#endif
#endif
}

}  // namespace TruvVM::pages
