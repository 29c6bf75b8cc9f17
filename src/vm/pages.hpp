#pragma once
// Large blocks of memory taken from the host directly, in units of two
// mebibytes aligned to that size and marked for huge pages: where the system
// allows it, touching a block takes one page fault per unit instead of one
// per four kibibytes. The record heap's chunks and the element arrays of
// long lists live in such blocks; page faults were a large part of the run
// time of programs that keep millions of records or elements.

#include <cstddef>
#include <new>

namespace TruvVM::pages {

constexpr std::size_t unit = std::size_t{2} << 20;

// A block of `bytes` (a multiple of unit), aligned to unit. Throws
// std::bad_alloc when the host refuses it.
void* map(std::size_t bytes);
void unmap(void* block, std::size_t bytes);
// The bytes of the blocks mapped now, which malloc's statistics leave out
// (0 under the address sanitizer, whose allocator serves and counts them).
std::size_t mapped();

// An allocator for the element arrays of containers: an array of at least
// one unit gets a block of its own, smaller ones come from operator new.
template <class T>
struct Allocator {
  using value_type = T;
  Allocator() = default;
  template <class U>
  Allocator(const Allocator<U>&) {}

  static std::size_t blockbytes(std::size_t n) { return (n * sizeof(T) + unit - 1) / unit * unit; }
  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / 2 / sizeof(T)) throw std::bad_array_new_length();
    if (n * sizeof(T) >= unit) return static_cast<T*>(map(blockbytes(n)));
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) {
    if (n * sizeof(T) >= unit)
      unmap(p, blockbytes(n));
    else
      ::operator delete(p);
  }
  template <class U>
  bool operator==(const Allocator<U>&) const {
    return true;
  }
};

}  // namespace TruvVM::pages
