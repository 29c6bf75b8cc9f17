#include "heap.hpp"

#include <algorithm>
#include <new>

#include "pages.hpp"

namespace TruvVM {

// Destroys every record still live, a word at a time, as a sweep does, then
// gives the chunks' memory back.
Heap::~Heap() {
  DictVal::forgetkeychanges();
  if (abandoned_) return;
  for (Chunk* chunk : chunks_)
    for (std::size_t w = 0; w < chunkwords; ++w)
      if (const std::uint64_t bits = chunk->livebits[w]) destroyword(chunk, w, bits);
  for (void* region : regions_) pages::unmap(region, regionbytes);
}

// Chunks are carved out of regions (pages.hpp), which stay mapped until the
// heap is destroyed, as the chunks do. A new chunk is filled with records
// before long, so its pages are made present at once: a program that keeps
// millions of records took a page fault per four kibibytes of them.
Heap::Chunk* Heap::newchunk() {
  static_assert(sizeof(Chunk) <= regionbytes);
  if (regionleft_ < sizeof(Chunk)) {
    regions_.reserve(regions_.size() + 1);
    void* region = pages::map(regionbytes);
    regions_.push_back(region);
    regionnext_ = static_cast<unsigned char*>(region);
    regionleft_ = regionbytes;
  }
  pages::prepare(regionnext_, sizeof(Chunk));
  Chunk* c = new (regionnext_) Chunk;
  regionnext_ += sizeof(Chunk);
  regionleft_ -= sizeof(Chunk);
  return c;
}

Heap::Chunk Heap::full_ = [] {
  Chunk c;
  for (std::uint64_t& bits : c.livebits) bits = ~std::uint64_t{0};
  return c;
}();

std::uint64_t Heap::advance() {
  noteyoung();
  Chunk* c = cur_;
  std::size_t w = word_;
  for (;;) {
    if (c != &full_ && ++w < chunkwords) {
      if (c->livebits[w] != ~std::uint64_t{0}) break;
      continue;
    }
    // The next chunk, or a new one.
    if (c != &full_) ++chunk_;
    if (chunk_ == chunks_.size()) {
      // Default-initialized: the record storage is not cleared, only the bits.
      chunks_.reserve(chunks_.size() + 1);
      chunks_.push_back(newchunk());
      chunks_.back()->index = chunk_;
    }
    c = chunks_[chunk_];
    w = 0;
    if (c->livebits[0] != ~std::uint64_t{0}) break;
  }
  moveto(c, w);
  return entrybits_;
}

namespace {

// A record with an out-of-line part: its destructor is not worth inlining
// into the sweep.
[[gnu::noinline]] void destroyext(variable* v) { v->~variable(); }

// Most records hold nothing out of line, so the common case is a check of
// two pointers.
inline void destroy(variable* v) {
  if (v->hasext())
    destroyext(v);
  else
    v->~variable();
}

}  // namespace

void Heap::destroyword(Chunk* c, std::size_t w, std::uint64_t bits) {
  unsigned char* const base = c->slot(w * 64);
  if (bits == ~std::uint64_t{0}) {
#pragma GCC unroll 4
    for (std::size_t k = 0; k < 64; ++k)
      destroy(std::launder(reinterpret_cast<variable*>(base + k * sizeof(variable))));
  } else {
    for (std::uint64_t rest = bits; rest; rest &= rest - 1)
      destroy(c->record(w * 64 + static_cast<std::size_t>(__builtin_ctzll(rest))));
  }
  c->livebits[w] &= ~bits;
}

std::size_t Heap::sweepword(Chunk* c, std::size_t w, std::uint64_t bits, std::uint8_t mark) {
  unsigned char* const base = c->slot(w * 64);
  // Most records die young, so the common case is a check of the mark and
  // of two pointers.
  auto sweepone = [mark](unsigned char* slot) {
    variable* v = std::launder(reinterpret_cast<variable*>(slot));
    if (v->gcmark == mark) return false;
    destroy(v);
    return true;
  };
  std::uint64_t kept = 0;
  if (bits == ~std::uint64_t{0}) {
    // A full word: its records one after the other.
    std::size_t survivors = 0;
#pragma GCC unroll 4
    for (std::size_t k = 0; k < 64; ++k) {
      if (!sweepone(base + k * sizeof(variable))) {
        kept |= std::uint64_t{1} << k;
        ++survivors;
      }
    }
    c->livebits[w] = kept;
    return 64 - survivors;
  }
  std::size_t freed = 0;
  for (std::uint64_t rest = bits; rest; rest &= rest - 1) {
    const auto k = static_cast<std::size_t>(__builtin_ctzll(rest));
    if (sweepone(base + k * sizeof(variable)))
      ++freed;
    else
      kept |= rest & (~rest + 1);
  }
  c->livebits[w] &= ~bits | kept;
  return freed;
}

std::size_t Heap::sweep(std::uint8_t mark) {
  // Records the dictionaries noted may be freed now.
  DictVal::keysfreed(mark, true);
  noteyoung();
  std::size_t freed = 0;
  std::size_t from = chunks_.size();
  for (Chunk* c : chunks_) {
    for (std::size_t w = 0; w < chunkwords; ++w) {
      if (!c->livebits[w]) continue;
      if (const std::size_t dead = sweepword(c, w, c->livebits[w], mark)) {
        freed += dead;
        from = std::min(from, c->index);
      }
    }
  }
  forgetyoung();
  swept(freed, from);
  return freed;
}

void Heap::keepall() {
  noteyoung();
  forgetyoung();
  swept(0, chunks_.size());
}

void Heap::forgetyoung() {
  for (Chunk* c = youngchunks_; c; c = c->nextyoung) {
    for (std::uint64_t& bits : c->youngbits) bits = 0;
    c->hasyoung = false;
  }
  youngchunks_ = nullptr;
}

std::size_t Heap::sweepyoung(std::uint8_t mark) {
  DictVal::keysfreed(mark, false);
  noteyoung();
  std::size_t freed = 0;
  std::size_t from = chunks_.size();
  for (Chunk* c = youngchunks_; c; c = c->nextyoung) {
    for (std::size_t w = 0; w < chunkwords; ++w) {
      if (!c->youngbits[w]) continue;
      if (const std::size_t dead = sweepword(c, w, c->youngbits[w], mark)) {
        freed += dead;
        from = std::min(from, c->index);
      }
      c->youngbits[w] = 0;
    }
    c->hasyoung = false;
  }
  youngchunks_ = nullptr;
  swept(freed, from);
  return freed;
}

void Heap::swept(std::size_t freed, std::size_t from) {
  room_ += freed;
  old_ = live();
  restart(from);
}

void Heap::restart(std::size_t from) {
  if (from >= chunks_.size() || (cur_ != &full_ && from > chunk_)) return;
  chunk_ = from;
  moveto(chunks_[from], 0);
}

void Heap::rememberslow(variable* v) { remembered_.push_back(v); }

void Heap::forget() {
  for (variable* v : remembered_) v->gcremembered = 0;
  remembered_.clear();
}

}  // namespace TruvVM
