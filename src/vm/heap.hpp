#pragma once
// The record heap: records in chunks, each with a bit per slot that says
// whether it holds a live record, and sweeping for the collector. Every
// record of a run lives here and dies with the heap at the latest.
//
// Allocation takes the lowest free slot of the word of live bits it is at,
// and moves on word by word and chunk by chunk; a sweep frees a slot by
// clearing its bit, and sends allocation back to the lowest chunk where it
// freed any. So a collection builds no list of free slots, and the records
// made after it reuse the slots of those it freed, in address order.
//
// The collector is generational. A record is young from its allocation to
// the end of the first collection it survives, old from then on (its gcmark
// is nonzero). The heap knows the young records, so that a minor collection
// sweeps only them: each chunk has a bit per young record, and the chunks
// that have any are kept in a list. Allocation does not set those bits: the
// young records of a word are the live ones that were not there when
// allocation came to it, and they are noted when allocation moves on and
// before a sweep. It also keeps the remembered set: the old records written
// since the last collection (see variable's write barriers) and the young
// records that an old record was given an edge to.

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "pages.hpp"
#include "value.hpp"

namespace TruvVM {

// The run loop's count of instructions and its deadline for the next check,
// kept as one signed number so that every cycle only decrements and tests
// it: `left` is how many instructions may still run before the check, and
// the count is `base - left`. Waking makes the check due at once without
// changing the count.
struct Countdown {
  std::uint64_t base = 0;
  std::int64_t left = 0;

  std::uint64_t count() const { return base - static_cast<std::uint64_t>(left); }
  void wake() {
    base = count();
    left = 0;
  }
  // The next check when the count reaches at (at once when it has already).
  void checkat(std::uint64_t at) {
    const std::uint64_t now = count();
    if (at <= now) {
      wake();
      return;
    }
    base = at;
    left = static_cast<std::int64_t>(at - now);
  }
};

class Heap {
 public:
  Heap() = default;
  Heap(const Heap&) = delete;
  Heap& operator=(const Heap&) = delete;
  ~Heap();
  // Leaves the records and their memory to the end of the process: the
  // destructor then frees nothing.
  void abandon() { abandoned_ = true; }

  // A blank record with the next creation sequence number.
  variable* alloc() { return alloc(nextseq_++); }
  // A blank record with a sequence number reserved earlier.
  variable* alloc(std::uint64_t seq) {
    std::uint64_t bits = *curbits_;
    if (bits == ~std::uint64_t{0}) bits = advance();
    return place(bits, seq);
  }
  // The same when the current word has a free slot, so that nothing is
  // called; null, with nothing done, when it has none.
  variable* allocinword(std::uint64_t seq) {
    const std::uint64_t bits = *curbits_;
    if (bits == ~std::uint64_t{0}) return nullptr;
    return place(bits, seq);
  }
  // Takes the next creation sequence number for a record made later.
  std::uint64_t reserveseq() { return nextseq_++; }
  // Takes the next n of them, for n records made later; the first is
  // returned.
  std::uint64_t reserveseqs(std::uint64_t n) {
    const std::uint64_t first = nextseq_;
    nextseq_ += n;
    return first;
  }

  std::size_t live() const { return livebase_ - room_; }
  // When `live()` reaches limit (or with the next allocation, when it has
  // already), alloc wakes the run loop's countdown, so that its next check
  // finds the collection due. That check collects and sets the next limit.
  void setwake(Countdown* wake, std::size_t limit) {
    const std::size_t live = this->live();
    wake_ = wake;
    room_ = limit <= live ? 1 : limit - live;
    livebase_ = live + room_;
  }
  std::uint64_t allocated() const { return nextseq_; }

  // Destroys every live record whose gcmark differs from mark; returns how
  // many were freed. Every record left is old.
  std::size_t sweep(std::uint8_t mark);
  // The same for the young records only: the old ones are kept whatever
  // their mark. The young records left become old.
  std::size_t sweepyoung(std::uint8_t mark);
  // What either sweep does when it would free nothing, for a collection
  // that found every record alive: the young records become old.
  void keepall();
  // Records allocated since the last sweep.
  std::size_t young() const { return live() - old_; }

  // Adds a record to the remembered set (once: the flag is set until the
  // collector empties the set).
  // The set grows out of line, so that the usual call stores one pointer.
  void remember(variable* v) {
    v->gcremembered = 1;
    if (remembered_.size() == remembered_.capacity()) [[unlikely]] {
      rememberslow(v);
      return;
    }
    remembered_.push_back(v);
  }
  const std::vector<variable*>& remembered() const { return remembered_; }
  // Empties the remembered set and clears the flag of its records.
  void forget();

  // Calls f for every live record, in address order within each chunk.
  template <class F>
  void forlive(F f) {
    for (auto& chunk : chunks_)
      for (std::size_t w = 0; w < chunkrecords / 64; ++w)
        for (std::uint64_t bits = chunk->livebits[w]; bits; bits &= bits - 1)
          f(chunk->record(w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits))));
  }

 private:
  static constexpr std::size_t chunkrecords = 1024;
  struct Chunk {
    alignas(variable) unsigned char storage[chunkrecords * sizeof(variable)];
    std::uint64_t livebits[chunkrecords / 64] = {};
    std::uint64_t youngbits[chunkrecords / 64] = {};
    Chunk* nextyoung = nullptr;  // in the list of chunks with young records
    std::size_t index = 0;       // in chunks_
    bool hasyoung = false;
    unsigned char* slot(std::size_t i) { return storage + i * sizeof(variable); }
    // The live record in slot i.
    variable* record(std::size_t i) { return std::launder(reinterpret_cast<variable*>(slot(i))); }
  };
  static constexpr std::size_t chunkwords = chunkrecords / 64;

  // Takes the lowest free slot of the current word, whose live bits are
  // `bits` (not all set).
  variable* place(std::uint64_t bits, std::uint64_t seq) {
    // Setting the lowest clear bit takes the lowest free slot.
    *curbits_ = bits | (bits + 1);
    const auto i = static_cast<unsigned>(__builtin_ctzll(~bits));
    // Every field has its initializer, so nothing is cleared twice.
    variable* v = new (curbase_ + i * sizeof(variable)) variable;
    v->seq = seq;
    if (--room_ == 0) wake_->wake();
    return v;
  }
  // Moves allocation to the next word with a free slot, making a chunk when
  // every one is full; returns that word's live bits.
  std::uint64_t advance();
  // Points allocation at word w of chunk c.
  void moveto(Chunk* c, std::size_t w) {
    cur_ = c;
    word_ = w;
    curbits_ = &c->livebits[w];
    curbase_ = c->slot(w * 64);
    entrybits_ = *curbits_;
  }
  // Adds the records allocated in the current word since allocation came to
  // it, or since the last call, to the young ones.
  void noteyoung() {
    if (const std::uint64_t young = *curbits_ & ~entrybits_) {
      cur_->youngbits[word_] |= young;
      if (!cur_->hasyoung) linkyoung(cur_);
      entrybits_ = *curbits_;
    }
  }
  // Sends allocation back to chunk `from`, where a sweep freed slots, when
  // it is before the current one. (Otherwise the sweep freed nothing in the
  // current word, whose young records it noted first: entrybits_ is still
  // its live bits.)
  void restart(std::size_t from);
  // Empties the list of chunks with young records, and their young bits.
  void forgetyoung();
  void linkyoung(Chunk* c) {
    c->hasyoung = true;
    c->nextyoung = youngchunks_;
    youngchunks_ = c;
  }
  // Destroys the records of a word among those of bits, and clears their
  // live bits.
  static void destroyword(Chunk* c, std::size_t w, std::uint64_t bits);
  // Destroys the records of a word whose gcmark differs from mark, among
  // those of bits; clears their live bits and returns how many there were.
  static std::size_t sweepword(Chunk* c, std::size_t w, std::uint64_t bits, std::uint8_t mark);
  // Frees the slots of a sweep: live() goes down by freed, and allocation
  // starts again at the lowest chunk with a freed slot, `from`. Every record
  // left is old.
  void swept(std::size_t freed, std::size_t from);

  // A chunk from the current region (see heap.cpp), mapping a new one when
  // it has no room left.
  Chunk* newchunk();
  std::vector<Chunk*> chunks_;
  // The regions chunks are carved from, each regionbytes long, and the room
  // left in the newest.
  static constexpr std::size_t regionbytes = pages::unit;
  std::vector<void*> regions_;
  unsigned char* regionnext_ = nullptr;
  std::size_t regionleft_ = 0;
  bool abandoned_ = false;
  // Where allocation looks for a free slot: chunks_[chunk_], word word_. A
  // full placeholder chunk until the first allocation makes a real one.
  static Chunk full_;
  Chunk* cur_ = &full_;
  std::size_t chunk_ = 0;
  std::size_t word_ = 0;
  // The live bits of that word, and the storage of its first record.
  std::uint64_t* curbits_ = &full_.livebits[0];
  unsigned char* curbase_ = full_.storage;
  // The word's live bits when allocation came to it, or when its young
  // records were last noted: the others are young.
  std::uint64_t entrybits_ = ~std::uint64_t{0};
  // Allocations left until the wake: live() is livebase_ - room_ (modulo
  // 2^64, as room_ goes on down past the wake). Counting down keeps alloc
  // to one decrement and test.
  std::size_t room_ = SIZE_MAX;
  std::size_t livebase_ = SIZE_MAX;
  std::size_t old_ = 0;  // live records at the end of the last sweep
  Chunk* youngchunks_ = nullptr;
  std::vector<variable*> remembered_;
  // remember() when the set is full.
  void rememberslow(variable* v);
  std::uint64_t nextseq_ = 0;
  Countdown nowake_;
  Countdown* wake_ = &nowake_;
};

}  // namespace TruvVM
