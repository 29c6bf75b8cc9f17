// The collector: mark from the machine state, sweep the heap.
//
// Collection runs only between instructions. There every record the program
// can still reach is reachable from the machine state, so a record that the
// marking does not reach can never be used again, and freeing it changes
// nothing a program can see (dictionary order follows creation sequence
// numbers, which live records keep).

#include <malloc.h>

#if defined(__SANITIZE_ADDRESS__)
#define TRUV_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TRUV_ASAN 1
#endif
#endif
#if TRUV_ASAN
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

#include "machine.hpp"

namespace TruvVM {

namespace {

class Marker {
 public:
  explicit Marker(std::uint8_t epoch) : epoch_(epoch) {}

  void root(variable* v) {
    if (v && v->gcmark != epoch_) {
      v->gcmark = epoch_;
      work_.push_back(v);
    }
  }

  void drain() {
    while (!work_.empty()) {
      variable* v = work_.back();
      work_.pop_back();
      for (const auto& a : v->attributes) root(a.second);
      root(v->self);
      for (variable* e : v->listval) root(e);
      for (const auto& entry : v->dictval) {
        root(entry.first);
        root(entry.second);
      }
      root(v->pntrval);
    }
  }

 private:
  std::uint8_t epoch_;
  std::vector<variable*> work_;
};

std::size_t heapbytes() {
#if TRUV_ASAN
  // The sanitizer's allocator serves every allocation; malloc's own counts
  // stay near zero.
  return __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#else
  return 0;
#endif
}

// With a memory limit the bytes in use are also looked at every so many
// instructions, so that a program that grows strings or lists without making
// many records is stopped too.
constexpr std::uint64_t limitcheckevery = 1024;

}  // namespace

void Machine::collect() {
  gcepoch_ = gcepoch_ == 1 ? 2 : 1;
  Marker marker(gcepoch_);
  for (variable* v : datastack) marker.root(v);
  for (variable* v : callstack) marker.root(v);
  for (const Frame& f : databasestack)
    for (const auto& entry : f.map()) marker.root(entry.second);
  for (const auto& entry : globalvars) marker.root(entry.second);
  for (const CodeEntry& e : codestack)
    if (e.block) {
      marker.root(e.block->target);
      for (variable* v : e.block->elements) marker.root(v);
    }
  for (variable* v : calltrace) marker.root(v);
  marker.root(progroot);
  for (variable* v : memory) marker.root(v);
  marker.drain();
  heap.sweep(gcepoch_);
  ++collections;

  // Pace the next collection by growth: when the live records or the bytes
  // in use have doubled since this one.
  gcrecords_ = std::max<std::size_t>(minrecords, 2 * heap.live());
  gcbytes_ = std::max<std::size_t>(minbytes, 2 * heapbytes());
}

void Machine::maybecollect() {
  const std::size_t limit = config.memorylimit;
  bool due = config.gcstress || heap.live() >= gcrecords_;
  if (!due) {
    // Bytes outside the records (strings, lists) are checked now and then.
    const bool bycount = heap.allocated() - lastbytecheck_ >= bytecheckevery;
    if (!bycount && !(limit != 0 && executed % limitcheckevery == 0)) return;
    if (bycount) lastbytecheck_ = heap.allocated();
    const std::size_t bytes = heapbytes();
    due = bytes >= gcbytes_ || (limit != 0 && bytes >= limit);
    if (!due) return;
  }
  collect();
  // What is still in use after a collection is what the program holds.
  if (limit != 0 && heapbytes() >= limit) error("Out of memory.", false);
}

}  // namespace TruvVM
