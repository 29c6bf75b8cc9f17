// The collector: mark from the machine state, sweep the heap.
//
// Collection runs only between instructions. There every record the program
// can still reach is reachable from the machine state, so a record that the
// marking does not reach can never be used again, and freeing it changes
// nothing a program can see (dictionary order follows creation sequence
// numbers, which live records keep).

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "sanitizer.hpp"
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
      // Only a record with its out-of-line part refers to others.
      if (v->hasext()) work_.push_back(v);
    }
  }

  void drain() {
    while (!work_.empty()) {
      variable* v = work_.back();
      work_.pop_back();
      for (const auto& a : v->attributes()) root(a.second);
      root(v->self());
      for (variable* e : v->listval()) root(e);
      for (const auto& entry : v->dictval()) {
        root(entry.first);
        root(entry.second);
      }
      root(v->pntrval());
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

// The memory the process holds, as the host counts it when it runs short:
// the resident set. Reading it costs one system call, whatever the size of
// the heap (mallinfo2 walks the free lists). Under the address sanitizer,
// whose shadow memory is resident too, the bytes allocated stand for it.
std::size_t residentbytes() {
#if TRUV_ASAN
  return __sanitizer_get_current_allocated_bytes();
#else
  static const int statm = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  static const long pagesize = sysconf(_SC_PAGESIZE);
  char text[128];
  const ssize_t n = statm < 0 ? -1 : pread(statm, text, sizeof text - 1, 0);
  if (n <= 0 || pagesize <= 0) return heapbytes();
  text[n] = '\0';
  // The second field: resident pages.
  const char* p = std::strchr(text, ' ');
  if (!p) return heapbytes();
  return static_cast<std::size_t>(std::strtoull(p + 1, nullptr, 10)) * static_cast<std::size_t>(pagesize);
#endif
}

// The checks of safepoint run every so many instructions; the resident
// memory, which costs a system call, is looked at on every few of them. A
// program that grows strings or lists without making many records is
// stopped by that check too.
constexpr std::uint64_t checkevery = 1024;
// Records of headroom beyond a quarter of the live ones (see collect).
constexpr std::size_t largeheap = std::size_t{1} << 18;
constexpr std::uint64_t limitcheckevery = 16;  // safepoints per look at the resident memory

}  // namespace

void Machine::collect() {
  gcepoch_ = gcepoch_ == 1 ? 2 : 1;
  Marker marker(gcepoch_);
  for (const StackValue& v : datastack)
    if (v.rec) marker.root(v.rec);
  for (variable* v : callstack) marker.root(v);
  for (const Frame& f : databasestack)
    for (const auto& entry : f.map()) marker.root(entry.second);
  for (const Frame::Undo& u : Frame::log()) marker.root(u.old);
  for (const auto& entry : globalvars) marker.root(entry.second);
  for (const CodeEntry& e : codestack)
    if (e.block) {
      marker.root(e.block->target);
      for (variable* v : e.block->elements.get()) marker.root(v);
    }
  for (variable* v : calltrace) marker.root(v);
  marker.root(progroot);
  for (variable* v : pinned) marker.root(v);
  for (const StackValue& v : memory)
    if (v.rec) marker.root(v.rec);
  marker.drain();
  heap.sweep(gcepoch_);
  ++collections;

  // Pace the next collection by growth: when the live records have doubled
  // since this one, or grown by a quarter and a fixed amount once the heap is
  // large, so that the records of a large heap take at most about a third
  // more memory than the program holds; and when the bytes in use have
  // doubled.
  const std::size_t live = heap.live();
  const std::size_t headroom = std::min<std::size_t>(live, largeheap + live / 4);
  gcrecords_ = std::max<std::size_t>(minrecords, live + headroom);
  gcbytes_ = std::max<std::size_t>(minbytes, 2 * heapbytes());
}

void Machine::safepoint() {
  if (config.instructionbudget && executed >= config.instructionbudget) throw BudgetExhausted{};
  const bool due = executed >= nextcheck_;
  if (due) {
    // Due just before the instruction whose count is a multiple of
    // checkevery, the same point of a loop in every run.
    nextcheck_ = ((executed + 1) / checkevery + 1) * checkevery - 1;
    if (config.instructionbudget && nextcheck_ > config.instructionbudget) nextcheck_ = config.instructionbudget;
  }
  if (config.gcstress) nextcheck_ = 0;

  const std::size_t limit = config.memorylimit;
  if (due && limit != 0 && ++limitchecks_ % limitcheckevery == 0 && residentbytes() >= limit) {
    // At the limit: what is left after a collection, once the memory it
    // freed is given back to the host, is what the program holds.
    collect();
#if defined(__GLIBC__) && !TRUV_ASAN
    malloc_trim(0);
#endif
    if (residentbytes() >= limit) error("Out of memory.", false);
    return;
  }
  if (config.gcstress || heap.live() >= gcrecords_) {
    collect();
    return;
  }
  // Bytes outside the records (strings, lists) are checked now and then:
  // less often the more records there are, since the check takes longer
  // the larger the heap.
  const std::uint64_t every = std::max<std::uint64_t>(bytecheckevery, heap.live() / 4);
  if (due && heap.allocated() - lastbytecheck_ >= every) {
    lastbytecheck_ = heap.allocated();
    if (heapbytes() >= gcbytes_) collect();
  }
}

}  // namespace TruvVM
