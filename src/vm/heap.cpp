#include "heap.hpp"

#include <new>

namespace TruvVM {

Heap::~Heap() {
  forlive([](variable* v) { v->~variable(); });
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

void Heap::release(Chunk* c, std::size_t i) {
  c->record(i)->~variable();
  c->livebits[i / 64] &= ~(std::uint64_t{1} << (i % 64));
  free_ = new (c->slot(i)) FreeSlot{free_, c, i};
}

std::size_t Heap::sweep(std::uint8_t mark) {
  std::size_t freed = 0;
  for (auto& chunk : chunks_) {
    Chunk* c = chunk.get();
    for (std::size_t w = 0; w < chunkrecords / 64; ++w) {
      for (std::uint64_t bits = c->livebits[w]; bits; bits &= bits - 1) {
        std::size_t i = w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits));
        if (c->record(i)->gcmark == mark) continue;
        release(c, i);
        ++freed;
      }
    }
  }
  live_ -= freed;
  for (Chunk* c = youngchunks_; c; c = c->nextyoung) {
    for (std::uint64_t& bits : c->youngbits) bits = 0;
    c->hasyoung = false;
  }
  youngchunks_ = nullptr;
  young_ = 0;
  return freed;
}

std::size_t Heap::sweepyoung(std::uint8_t mark) {
  std::size_t freed = 0;
  for (Chunk* c = youngchunks_; c; c = c->nextyoung) {
    for (std::size_t w = 0; w < chunkrecords / 64; ++w) {
      for (std::uint64_t bits = c->youngbits[w]; bits; bits &= bits - 1) {
        std::size_t i = w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits));
        if (c->record(i)->gcmark == mark) continue;
        release(c, i);
        ++freed;
      }
      c->youngbits[w] = 0;
    }
    c->hasyoung = false;
  }
  youngchunks_ = nullptr;
  live_ -= freed;
  young_ = 0;
  return freed;
}

void Heap::forget() {
  for (variable* v : remembered_) v->gcremembered = 0;
  remembered_.clear();
}

}  // namespace TruvVM
