#pragma once
// A hard cap on what one harness run may allocate (memcap.cpp replaces the
// global allocation functions of the program it is linked into).

#include <cstddef>

namespace truvfuzz {

// While one of these lives, allocations beyond `bytes` more than were in use
// when it was made fail: the throwing forms throw std::bad_alloc.
class AllocationCap {
 public:
  explicit AllocationCap(std::size_t bytes);
  ~AllocationCap();
  AllocationCap(const AllocationCap&) = delete;
  AllocationCap& operator=(const AllocationCap&) = delete;
};

}  // namespace truvfuzz
