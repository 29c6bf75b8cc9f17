#pragma once
// The record heap: allocation in chunks, a free list, and sweeping for the
// collector. Every record of a run lives here and dies with the heap at the
// latest.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "value.hpp"

namespace TruvVM {

class Heap {
 public:
  Heap() = default;
  Heap(const Heap&) = delete;
  Heap& operator=(const Heap&) = delete;
  ~Heap();

  // A blank record with the next creation sequence number.
  variable* alloc() { return alloc(nextseq_++); }
  // A blank record with a sequence number reserved earlier.
  variable* alloc(std::uint64_t seq);
  // Takes the next creation sequence number for a record made later.
  std::uint64_t reserveseq() { return nextseq_++; }

  std::size_t live() const { return live_; }
  std::uint64_t allocated() const { return nextseq_; }

  // Destroys every live record whose gcmark differs from mark; returns how
  // many were freed.
  std::size_t sweep(std::uint8_t mark);

 private:
  static constexpr std::size_t chunkrecords = 1024;
  struct Chunk {
    alignas(variable) unsigned char storage[chunkrecords * sizeof(variable)];
    std::uint64_t livebits[chunkrecords / 64] = {};
    unsigned char* slot(std::size_t i) { return storage + i * sizeof(variable); }
    // The live record in slot i.
    variable* record(std::size_t i) { return std::launder(reinterpret_cast<variable*>(slot(i))); }
  };
  struct FreeSlot {
    FreeSlot* next;
    Chunk* chunk;
    std::size_t index;
  };
  static_assert(sizeof(FreeSlot) <= sizeof(variable));

  void grow();

  std::vector<std::unique_ptr<Chunk>> chunks_;
  FreeSlot* free_ = nullptr;
  std::size_t live_ = 0;
  std::uint64_t nextseq_ = 0;
};

}  // namespace TruvVM
