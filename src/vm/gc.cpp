// The collector: mark from the machine state, sweep the heap.
//
// Collection runs only between instructions. There every record the program
// can still reach is reachable from the machine state, so a record that the
// marking does not reach can never be used again, and freeing it changes
// nothing a program can see (dictionary order follows creation sequence
// numbers, which live records keep).
//
// Collections are generational, without moving anything. A record that
// survives a collection keeps the collector's epoch as its mark and is old
// from then on. A minor collection marks with the same epoch, so marking
// stops at old records by itself; it looks inside old records only where
// the remembered set says they changed, and sweeps only the young records.
// A major collection changes the epoch, marks everything reachable and
// sweeps the whole heap; it runs when the old records have grown enough
// since the last one, and for the memory checks.

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pages.hpp"
#include "sanitizer.hpp"
#if TRUV_ASAN
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

#include "machine.hpp"

namespace TruvVM {

namespace {

class Marker {
 public:
  // `names`: the names bound in the records' attributes are marked too
  // (Interner::sweep), in a major collection that may give names up.
  Marker(std::uint8_t epoch, bool major, bool names) : epoch_(epoch), major_(major), names_(names) {}

  void root(variable* v) {
    ++visits_;
    if (v && v->gcmark != epoch_) {
      v->gcmark = epoch_;
      ++marked_;
      // Only a record with its out-of-line part refers to others.
      if (v->hasext()) work_.push_back(v);
    }
  }
  // The edges of a record already marked: an old record that was written.
  void children(variable* v) {
    ++visits_;
    if (v->hasext()) work_.push_back(v);
  }
  // The elements of a list. A minor collection skips the leading elements
  // that are old already (or remembered); after this they all are.
  void elements(const SharedList& list) {
    const ListVal& all = list.get();
    const std::size_t from = major_ ? 0 : list.gcseen();
    if (from >= all.size()) return;
    for (auto e = all.begin() + static_cast<std::ptrdiff_t>(from); e != all.end(); ++e) root(*e);
    list.setgcseen();
  }

  // Records looked at so far.
  std::size_t visits() const { return visits_; }
  // Records marked so far: each once, when its mark changes.
  std::size_t marked() const { return marked_; }

  void drain() {
    while (!work_.empty()) {
      variable* v = work_.back();
      work_.pop_back();
      const RecordExt& x = *v->gcext();
      for (const auto& a : x.attributes) {
        if (names_) a.first->gcmark = epoch_;
        root(a.second);
      }
      root(x.self);
      elements(x.listval);
      x.dictval.forentries([this](const DictVal::Entry& entry) {
        root(entry.first);
        root(entry.second);
      });
      root(x.pntrval);
      if (x.moduleparams) x.moduleparams->gcmark = epoch_;
    }
  }

 private:
  std::uint8_t epoch_;
  bool major_;
  bool names_;
  std::size_t visits_ = 0;
  std::size_t marked_ = 0;
  std::vector<variable*> work_;
};

// Calls record(v) for every record the machine state refers to directly, and
// list(l) for the element lists of running FOREACH blocks.
template <class R, class L>
void forroots(Machine& m, R record, L list) {
  for (const StackValue& v : m.datastack)
    if (v.rec) record(v.rec);
  for (variable* v : m.callstack) record(v);
  for (const Frame& f : m.databasestack)
    for (const auto& entry : f.map()) record(entry.second);
  // What borrowed frames replaced: still bound in the frames below them.
  for (const Frame::Undo& u : Frame::log())
    if (u.old) record(u.old);
  // Bound in a frame by a write put off.
  Frame::fordeferred(record);
  for (const auto& entry : m.globalvars) record(entry.second);
  for (const CodeEntry& e : m.codestack) {
    if (e.traced) record(e.traced);
    if (e.block) {
      record(e.block->target);
      list(e.block->elements);
    }
  }
  if (m.tracetop) record(m.tracetop);
  record(m.progroot);
  for (variable* v : m.pinned) record(v);
  for (const StackValue& v : m.memory)
    if (v.rec) record(v.rec);
}

// Marks every name that the machine state binds outside records: in the
// frames, the globals and the frames' shared state. Names bound in records'
// attributes are marked with the records (Marker::drain). The recycled maps
// are emptied instead.
void marknames(Machine& m, std::uint8_t epoch) {
  const auto mark = [epoch](Name name) { name->gcmark = epoch; };
  for (const Frame& f : m.databasestack)
    for (const auto& entry : f.map()) mark(entry.first);
  for (const auto& entry : m.globalvars) mark(entry.first);
  Frame::fornames(mark);
  Frame::emptypool();
}

// After the marking of a minor collection, every record the program can
// reach must be marked: the roots are, and no marked record refers to an
// unmarked one. A write barrier that was missed shows here as an old record
// with an edge to a young record that is about to be freed. Checked in the
// collector's stress mode, where it costs a walk over the whole heap per
// collection.
void verifymarks(Machine& m, std::uint8_t epoch) {
  auto fail = [](const variable* from, const variable* to) {
    std::fprintf(stderr, "collector: marked record %p refers to unmarked record %p\n",
                 static_cast<const void*>(from), static_cast<const void*>(to));
    std::abort();
  };
  auto check = [&](const variable* from, const variable* to) {
    if (to && to->gcmark != epoch) fail(from, to);
  };
  forroots(
      m, [&](variable* v) { check(nullptr, v); },
      [&](const SharedList& l) {
        for (variable* e : l.get()) check(nullptr, e);
      });
  m.heap.forlive([&](variable* v) {
    if (v->gcmark != epoch || !v->hasext()) return;
    const RecordExt& x = *v->gcext();
    for (const auto& a : x.attributes) check(v, a.second);
    check(v, x.self);
    for (variable* e : x.listval.get()) check(v, e);
    x.dictval.forentries([&](const DictVal::Entry& entry) {
      check(v, entry.first);
      check(v, entry.second);
    });
    check(v, x.pntrval);
    if (x.moduleparams && x.moduleparams->gcmark != epoch) {
      std::fprintf(stderr, "collector: marked record %p refers to an unmarked parameter set\n",
                   static_cast<const void*>(v));
      std::abort();
    }
  });
}

// The bytes in use. `pieces` is set to the count of free pieces the count
// went through, which is what it cost.
std::size_t heapbytes(std::size_t& pieces) {
  pieces = 0;
#if TRUV_ASAN
  // The sanitizer's allocator serves every allocation; malloc's own counts
  // stay near zero.
  return __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
  struct mallinfo2 info = mallinfo2();
  pieces = info.ordblks + info.smblks;
  return info.uordblks + info.hblkhd + pages::mapped();
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
  std::size_t pieces;
  if (n <= 0 || pagesize <= 0) return heapbytes(pieces);
  text[n] = '\0';
  // The second field: resident pages.
  const char* p = std::strchr(text, ' ');
  if (!p) return heapbytes(pieces);
  return static_cast<std::size_t>(std::strtoull(p + 1, nullptr, 10)) * static_cast<std::size_t>(pagesize);
#endif
}

// The checks of safepoint run every so many instructions; the resident
// memory, which costs a system call, is looked at on every few of them. A
// program that grows strings or lists without making many records is
// stopped by that check too.
constexpr std::uint64_t checkevery = 1024;
// The young records a minor collection is given room for: so many per root
// the last one looked at in the machine state, within these bounds (and at
// least one per root). A small nursery stays in the processor's caches,
// which makes allocating and sweeping it cheaper; the roots are what every
// minor collection costs whatever it finds, and the nursery grows with them
// so that they are paid for over enough allocations. (Survivors, and the young records in the
// remembered set, cost the same however large the nursery is.)
constexpr std::size_t minnursery = std::size_t{1} << 14;
constexpr std::size_t maxnursery = std::size_t{1} << 18;
constexpr std::size_t nurseryperroot = 8;
// A major collection is due when the old records have doubled since the
// last one, and have reached at least this many.
constexpr std::size_t majorfloor = std::size_t{1} << 16;
// Under stress, one collection in so many is major.
constexpr std::uint64_t stressmajorevery = 8;
constexpr std::uint64_t limitcheckevery = 16;  // safepoints per look at the resident memory

}  // namespace

void Machine::collect() { collect(true); }

void Machine::collect(bool major) {
  if (major) {
    // A new epoch: every record is unmarked again, old or young. The
    // remembered set is of no use, since everything reachable is marked.
    gcepoch_ = gcepoch_ == 1 ? 2 : 1;
    heap.forget();
  }
  // Names are given up only by a major collection, and only when some
  // were made at run time.
  const bool sweepnames = major && names.loose() != 0;
  Marker marker(gcepoch_, major, sweepnames);
  forroots(
      *this, [&](variable* v) { marker.root(v); }, [&](const SharedList& l) { marker.elements(l); });
  const std::size_t roots = marker.visits();
  if (!major) {
    for (variable* v : heap.remembered()) {
      if (v->gcmark == gcepoch_)
        marker.children(v);  // an old record that was written
      else
        marker.root(v);  // a young record that an old one was given an edge to
    }
    heap.forget();
  }
  marker.drain();
  // The records a sweep would look at are those whose marks were stale
  // before the marking: every record for a major collection (a new epoch),
  // the young ones for a minor one (old records carry the epoch already).
  // The marking changed the mark of each record it reached once, so when it
  // marked as many as there are, none is garbage, and the sweep, which
  // would free nothing, is skipped: a heap that only grows, such as a list
  // being filled, is not gone through again record by record.
  if (major) {
    if (marker.marked() == heap.live())
      heap.keepall();
    else
      heap.sweep(gcepoch_);
    if (sweepnames) {
      marknames(*this, gcepoch_);
      names.sweep(gcepoch_);
    }
  } else {
    if (config.gcstress) verifymarks(*this, gcepoch_);
    if (marker.marked() == heap.young())
      heap.keepall();
    else
      heap.sweepyoung(gcepoch_);
  }
  sweepparams(gcepoch_, major);
  ++collections;
  nextshapes();

  // Pace the next collection: after as many new records as are live, up to
  // the nursery's size, so that a small heap is collected about as often as
  // when every collection was major. The next major one is due when the old
  // records have doubled, or the bytes in use have.
  // Past its bound the nursery still takes one record per root, so that a
  // very deep stack, whose roots every minor collection goes through, costs
  // at most one root per record made.
  if (!major) gcnursery_ = std::max(std::clamp(nurseryperroot * roots, minnursery, maxnursery), roots);
  const std::size_t live = heap.live();
  gcrecords_ = live + std::clamp<std::size_t>(live, minrecords, gcnursery_);
  heap.setwake(&countdown_, gcrecords_);
  if (major) {
    gcmajor_ = std::max<std::size_t>(majorfloor, 2 * live);
    std::size_t pieces;
    const std::size_t bytes = heapbytes(pieces);
    gcbytes_ = std::max<std::size_t>(minbytes, 2 * bytes);
    bytecheckcost_ = 8 * pieces;
    setbytebudget(bytes, pieces);
  }
}

void Machine::safepoint() {
  const std::uint64_t executed = this->executed();
  if (config.instructionbudget && executed >= config.instructionbudget) throw BudgetExhausted{};
  const bool due = executed >= periodic_;
  // At the periodic checks only, which come at the same instructions in
  // every run, so that a run ends at the same point whether or not it
  // collects at every instruction.
  if (due && config.recordbudget && heap.allocated() >= config.recordbudget) throw BudgetExhausted{};
  if (due) {
    // Due just before the instruction whose count is a multiple of
    // checkevery, the same point of a loop in every run.
    periodic_ = ((executed + 1) / checkevery + 1) * checkevery - 1;
    if (config.instructionbudget && periodic_ > config.instructionbudget) periodic_ = config.instructionbudget;
  }

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
  if (config.gcstress) {
    collect(++gcstressruns_ % stressmajorevery == 0);
    return;
  }
  if (heap.live() >= gcrecords_) {
    collect(heap.live() - heap.young() >= gcmajor_);
    return;
  }
  // Bytes outside the records (strings, lists) are checked now and then:
  // less often the more records there are, or the more free pieces the
  // last count went through, since the check takes longer the larger the
  // heap. Counting then costs at most about an eighth of a piece per
  // allocation: going through a free piece costs more than making a record
  // (a program that freed many names at a time spent a quarter of its time
  // counting at half a piece).
  // They are also counted when the texts and copied list elements made
  // since the last count have used up their budget (hostbytes).
  const std::uint64_t every = std::max<std::uint64_t>({bytecheckevery, heap.live() / 4, bytecheckcost_});
  if ((due && heap.allocated() - lastbytecheck_ >= every) || hostbytes::left == 0) {
    lastbytecheck_ = heap.allocated();
    std::size_t pieces;
    const std::size_t bytes = heapbytes(pieces);
    bytecheckcost_ = 8 * pieces;
    if (bytes >= gcbytes_) {
      collect();  // a major collection, which sets the next budget
    } else {
      setbytebudget(bytes, pieces);
    }
  }
}

void Machine::setbytebudget(std::size_t bytes, std::size_t pieces) {
  // What may be made before the bytes in use could reach the limit of the
  // next collection, but at least a quarter of that limit, and at least
  // enough that counting (which walks the free pieces) costs about one
  // piece per 64 bytes made.
  const std::size_t room = gcbytes_ > bytes ? gcbytes_ - bytes : 0;
  hostbytes::left = std::max({room, gcbytes_ / 4, 64 * pieces});
}

void hostbytes::ranout() {
  if (machine)
    machine->wakeforbytes();
  else
    left = SIZE_MAX;
}

void Machine::cycle() {
  // Safepoint and stack check see the count of the instructions before this
  // one, then this one is counted again.
  ++countdown_.left;
  safepoint();
  if (stackcheck) checkstacks();
  if (config.gcstress || stackcheck || heap.live() >= gcrecords_)
    countdown_.wake();
  else
    countdown_.checkat(periodic_);
  --countdown_.left;
}

}  // namespace TruvVM
