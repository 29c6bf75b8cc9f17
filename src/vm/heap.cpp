#include "heap.hpp"

#include <algorithm>
#include <new>

namespace TruvVM {

Heap::~Heap() {
  forlive([](variable* v) { v->~variable(); });
}

Heap::Chunk Heap::full_ = [] {
  Chunk c;
  for (std::uint64_t& bits : c.livebits) bits = ~std::uint64_t{0};
  return c;
}();

std::uint64_t Heap::advance() {
  for (;;) {
    if (cur_ != &full_ && ++word_ < chunkwords) {
      if (std::uint64_t freebits = ~cur_->livebits[word_]) return freebits;
      continue;
    }
    // The next chunk, or a new one.
    if (cur_ != &full_) ++chunk_;
    if (chunk_ == chunks_.size()) {
      // Default-initialized: the record storage is not cleared, only the bits.
      chunks_.push_back(std::unique_ptr<Chunk>(new Chunk));
      chunks_.back()->index = chunk_;
    }
    cur_ = chunks_[chunk_].get();
    word_ = 0;
    if (std::uint64_t freebits = ~cur_->livebits[0]) return freebits;
  }
}

std::uint64_t Heap::sweepword(Chunk* c, std::size_t w, std::uint64_t bits, std::uint8_t mark) {
  std::uint64_t dead = 0;
  for (; bits; bits &= bits - 1) {
    const std::size_t i = w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits));
    variable* v = c->record(i);
    if (v->gcmark == mark) continue;
    v->~variable();
    dead |= bits & (~bits + 1);
  }
  c->livebits[w] &= ~dead;
  return dead;
}

std::size_t Heap::sweep(std::uint8_t mark) {
  std::size_t freed = 0;
  std::size_t from = chunks_.size();
  for (auto& chunk : chunks_) {
    Chunk* c = chunk.get();
    for (std::size_t w = 0; w < chunkwords; ++w) {
      if (!c->livebits[w]) continue;
      if (const std::uint64_t dead = sweepword(c, w, c->livebits[w], mark)) {
        freed += static_cast<std::size_t>(__builtin_popcountll(dead));
        from = std::min(from, c->index);
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
  restart(from);
  return freed;
}

std::size_t Heap::sweepyoung(std::uint8_t mark) {
  std::size_t freed = 0;
  std::size_t from = chunks_.size();
  for (Chunk* c = youngchunks_; c; c = c->nextyoung) {
    for (std::size_t w = 0; w < chunkwords; ++w) {
      if (!c->youngbits[w]) continue;
      if (const std::uint64_t dead = sweepword(c, w, c->youngbits[w], mark)) {
        freed += static_cast<std::size_t>(__builtin_popcountll(dead));
        from = std::min(from, c->index);
      }
      c->youngbits[w] = 0;
    }
    c->hasyoung = false;
  }
  youngchunks_ = nullptr;
  live_ -= freed;
  young_ = 0;
  restart(from);
  return freed;
}

void Heap::restart(std::size_t from) {
  if (from >= chunks_.size() || (cur_ != &full_ && from > chunk_)) return;
  chunk_ = from;
  word_ = 0;
  cur_ = chunks_[from].get();
}

void Heap::forget() {
  for (variable* v : remembered_) v->gcremembered = 0;
  remembered_.clear();
}

}  // namespace TruvVM
