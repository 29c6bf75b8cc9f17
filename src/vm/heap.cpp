#include "heap.hpp"

#include <new>

namespace TruvVM {

Heap::~Heap() {
  for (auto& chunk : chunks_)
    for (std::size_t w = 0; w < chunkrecords / 64; ++w)
      for (std::uint64_t bits = chunk->livebits[w]; bits; bits &= bits - 1)
        chunk->record(w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits)))->~variable();
}

void Heap::grow() {
  // Default-initialized: the record storage is not cleared, only the live bits.
  std::unique_ptr<Chunk> chunk(new Chunk);
  Chunk* c = chunk.get();
  chunks_.push_back(std::move(chunk));
  // Free slots are handed out from the start of the chunk.
  for (std::size_t i = chunkrecords; i-- > 0;) {
    free_ = new (c->slot(i)) FreeSlot{free_, c, i};
  }
}

variable* Heap::alloc(std::uint64_t seq) {
  if (!free_) grow();
  FreeSlot* slot = free_;
  free_ = slot->next;
  Chunk* c = slot->chunk;
  std::size_t i = slot->index;
  c->livebits[i / 64] |= std::uint64_t{1} << (i % 64);
  variable* v = new (c->slot(i)) variable();
  v->seq = seq;
  ++live_;
  return v;
}

std::size_t Heap::sweep(std::uint8_t mark) {
  std::size_t freed = 0;
  for (auto& chunk : chunks_) {
    Chunk* c = chunk.get();
    for (std::size_t w = 0; w < chunkrecords / 64; ++w) {
      for (std::uint64_t bits = c->livebits[w]; bits; bits &= bits - 1) {
        std::size_t i = w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits));
        variable* v = c->record(i);
        if (v->gcmark == mark) continue;
        v->~variable();
        c->livebits[w] &= ~(std::uint64_t{1} << (i % 64));
        free_ = new (c->slot(i)) FreeSlot{free_, c, i};
        ++freed;
      }
    }
  }
  live_ -= freed;
  return freed;
}

}  // namespace TruvVM
