#pragma once
// Interned names and the name maps of attributes, frames and globals.

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "text.hpp"

namespace TruvVM {

// The extent of v's elements in bytes, which takes no division, as the
// count of elements does.
template <class Vector>
inline std::size_t extentbytes(const Vector& v) {
  return static_cast<std::size_t>(reinterpret_cast<const char*>(v.data() + v.size()) -
                                  reinterpret_cast<const char*>(v.data()));
}
// Whether v holds at least n elements, compared in bytes, for the hot paths.
template <class Vector>
inline bool holdsatleast(const Vector& v, std::size_t n) {
  return extentbytes(v) >= n * sizeof(typename Vector::value_type);
}

struct variable;
class NameMap;

// A name, interned: two names are equal exactly when their pointers are.
// Its hash is the golden ratio times its number in the order of interning,
// which spreads the names of a program evenly over a table whatever their
// addresses, so that how long lookups take does not vary from run to run.
struct Symbol {
  std::string text;
  std::uint64_t hash = 0;
  // The first eight bytes of the text as a big-endian number, zeros after
  // its end: two names whose keys differ are in the order of their keys.
  std::uint64_t orderkey = 0;
  // Whether a's text comes before b's, byte by byte.
  static bool before(const Symbol* a, const Symbol* b) {
    if (a->orderkey != b->orderkey) return a->orderkey < b->orderkey;
    return a->text < b->text;
  }
  // Set once the name is bound in any map but a frame's: a name without it
  // is bound in no record's attributes, the root's included, so a local
  // read need not look there.
  mutable bool mapped = false;
  // The record that the last root store of this name made, standing for the
  // root's copy and the frame's (variable::rootalias), the frame map it was
  // written to, and the count of frame clones then (Frame::clones). While
  // the root still holds that record, it is held nowhere else but in that
  // map, unless a clone has copied it: a write that logs it clears this.
  // The positions of its slots in the root's map and in that frame map
  // make finding them again cheap while the maps keep their slots.
  mutable variable* rootrecord = nullptr;
  mutable const void* roothome = nullptr;
  mutable std::uint64_t rootclones = 0;
  // rootslot is also where a local read of the name tries the root first.
  mutable std::uint32_t rootslot = 0;
  mutable std::uint32_t homeslot = 0;
  // A write of rootrecord into a borrowed frame's map that the frame has put
  // off (Frame::setshared): the record, and the map it is due in. It stands
  // while deferredgen is Frame's current generation, and is suspended, to be
  // taken up again by a later store, while it is the generation that the
  // last rewind suspended. deferredlisting tells whether the name is in
  // Frame's list of such writes: it is while it equals Frame's listing.
  mutable std::uint64_t deferredgen = 0;
  mutable variable* deferredrecord = nullptr;
  mutable NameMap* deferredmap = nullptr;
  mutable std::uint64_t deferredlisting = 0;
  // A name interned for good (by the code's own operands, the machine or the
  // library), or one that a program made at run time, which the collector
  // gives up once nothing binds it (Interner::sweep); and the mark of the
  // last major collection that found it bound.
  bool pinned = true;
  mutable std::uint8_t gcmark = 0;
};
using Name = const Symbol*;

class Interner {
 public:
  Name intern(std::string_view text);
  // intern() for a name that a program made at run time (an operand taken
  // from the data stack): one that is not interned for good already is given
  // up when a major collection finds it bound nowhere, so that a program
  // that makes ever new names of attributes or variables, and drops what
  // binds them, runs in bounded memory.
  Name internloose(std::string_view text);
  // Gives up the loose names whose mark is not `mark`, which the marking of
  // a major collection gave every name that is bound anywhere. Returns how
  // many were given up.
  std::size_t sweep(std::uint8_t mark);
  // How many loose names there are.
  std::size_t loose() const { return loose_; }
  // intern() for a text that stays at its address, unchanged, for the whole
  // process (a literal): found by that address after the first time. The
  // standard library names the methods of every list and dictionary it
  // makes this way. The slot is chosen from the whole address: literals a
  // few bytes apart ("get" and "set") must not share one, or making a list
  // would intern its method names again on every list.
  Name internliteral(const char* text) {
    const std::uint64_t address = reinterpret_cast<std::uintptr_t>(text);
    Literal& slot = literals_[(address * 0x9E3779B97F4A7C15ull) >> literalshift];
    if (slot.text != text) slot = Literal{text, intern(text)};
    return slot.name;
  }

 private:
  struct Literal {
    const char* text = nullptr;
    Name name = nullptr;
  };
  // A new name, not in the table yet.
  Name make(std::string_view text, bool pinned);
  // The keyed hash of texts, since names can be made from texts that the
  // input supplies.
  struct KeyedHash {
    std::size_t operator()(std::string_view text) const { return Text::hashbytes(text.data(), text.size()); }
  };
  std::unordered_map<std::string_view, std::unique_ptr<Symbol>, KeyedHash> table_;
  std::uint64_t count_ = 0;
  std::size_t loose_ = 0;
  static constexpr unsigned literalshift = 56;
  std::array<Literal, std::size_t{1} << (64 - literalshift)> literals_{};
};

// A map from names to records: an open-addressing hash table keyed by the
// interned name. Copying one is a plain copy of its slots, which matters
// because every block entry may copy a frame. Iteration order carries no
// meaning; appendsorted() gives the entries in name order (plain byte
// comparison of the texts) where the order can be seen.
class NameMap {
 public:
  using Slot = std::pair<Name, variable*>;

  // Every map records the names bound in it (Symbol::mapped) but a frame's.
  // A map keeps that property when it is assigned, and a map that records
  // its names records those it takes from one that does not, so no name gets
  // into such a map unrecorded.
  NameMap() = default;
  struct ForFrame {};
  explicit NameMap(ForFrame) : marks_(false) {}
  NameMap(const NameMap& other) { *this = other; }
  NameMap(NameMap&& other) noexcept { *this = std::move(other); }
  NameMap& operator=(const NameMap& other) {
    if (this != &other) {
      // A table of the same size is written over: a recycled frame map
      // that a clone takes has one as a rule.
      if (!other.cap_) {
        slots_.reset();
      } else {
        if (cap_ != other.cap_) slots_ = std::make_unique_for_overwrite<Slot[]>(other.cap_);
        std::copy(other.slots_.get(), other.slots_.get() + other.cap_, slots_.get());
      }
      takeshape(other);
    }
    return *this;
  }
  NameMap& operator=(NameMap&& other) noexcept {
    if (this != &other) {
      slots_ = std::move(other.slots_);
      takeshape(other);
      other.clear();
    }
    return *this;
  }

  variable* get(Name name) const {
    const Slot* s = find(name);
    return s ? s->second : nullptr;
  }
  bool has(Name name) const { return find(name) != nullptr; }
  // The slot of name, or null.
  variable** slot(Name name) {
    Slot* s = const_cast<Slot*>(find(name));
    return s ? &s->second : nullptr;
  }
  variable* const* slot(Name name) const {
    const Slot* s = find(name);
    return s ? &s->second : nullptr;
  }
  void set(Name name, variable* value) {
    if (variable** s = slot(name)) {
      *s = value;
      return;
    }
    add(name, value);
  }
  // The entry of name, or null; and its position in the slot table.
  Slot* entry(Name name) { return const_cast<Slot*>(find(name)); }
  std::size_t position(const Slot* entry) const { return static_cast<std::size_t>(entry - slots_.get()); }
  // A write at a position that position() gave, when the name is still
  // there: false, and nothing written, when the map has moved its slots.
  bool setat(std::size_t position, Name name, variable* value) {
    if (position >= cap_ || slots_[position].first != name) return false;
    slots_[position].second = value;
    return true;
  }
  // The entry at a position that position() gave, when it is still name's;
  // else null.
  Slot* entryat(std::size_t position, Name name) {
    return position < cap_ && slots_[position].first == name ? &slots_[position] : nullptr;
  }
  const Slot* entryat(std::size_t position, Name name) const {
    return position < cap_ && slots_[position].first == name ? &slots_[position] : nullptr;
  }
  // The entry of name, looked for at `hint` first; hint is set to where it
  // was found. Null when the map does not hold name.
  const Slot* entryhinted(Name name, std::uint32_t& hint) const {
    if (const Slot* s = entryat(hint, name)) return s;
    const Slot* s = find(name);
    if (s) hint = static_cast<std::uint32_t>(s - slots_.get());
    return s;
  }
  Slot* entryhinted(Name name, std::uint32_t& hint) {
    return const_cast<Slot*>(static_cast<const NameMap&>(*this).entryhinted(name, hint));
  }
  // Whether a table of `capacity` slots takes `count` names. At least half
  // of the slots stay free, so that probes stay short: every name read
  // looks its map up. The smallest table takes six, a quarter free: the
  // methods of a list, which every list carries, then fit in eight slots.
  static bool takes(std::size_t capacity, std::size_t count) {
    return capacity > 8 ? count * 2 <= capacity : count * 4 <= capacity * 3;
  }
  // Binds a name that the map does not hold yet.
  void add(Name name, variable* value) {
    shape_ = 0;
    if (marks_) name->mapped = true;
    if (!takes(cap_, size_ + 1)) grow();
    std::size_t i = home(name);
    while (slots_[i].first) i = (i + 1) & mask_;
    slots_[i] = Slot{name, value};
    ++size_;
  }
  // Makes room for n more names: that many addreserved() calls need no
  // check of their own.
  void reserve(std::size_t n) {
    std::size_t capacity = cap_;
    while (!takes(capacity, size_ + n)) capacity = capacity ? capacity * 2 : 8;
    if (capacity != cap_) growto(capacity);
  }
  // add() of a name to a map that records no names (a frame's), with the
  // room made by reserve().
  void addreserved(Name name, variable* value) {
    shape_ = 0;
    std::size_t i = home(name);
    while (slots_[i].first) i = (i + 1) & mask_;
    slots_[i] = Slot{name, value};
    ++size_;
  }
  // Whether the map binds exactly the names `names` (count of them, told
  // apart from each other) and `last`, each in its home slot: then
  // homeslot() finds each of them at once, and binding them all anew
  // leaves the map as an empty one given the same names would be, but
  // for where a name that collided would sit.
  //
  // A caller that has checked this may mark the map (markshape) with a
  // number of its own that stands for those names: the map keeps the mark,
  // whatever values it binds, until a name is bound or unbound or the slots
  // move, and bindsathome holds as long as the mark does.
  std::uint64_t shape() const { return shape_; }
  void markshape(std::uint64_t shape) { shape_ = shape; }
  bool bindsathome(const Name* names, std::size_t count, Name last) const {
    // A map that binds a name has at least 8 slots, so every home is a slot.
    if (size_ != count + 1 || slots_[home(last)].first != last) return false;
    for (std::size_t i = 0; i < count; ++i)
      if (slots_[home(names[i])].first != names[i]) return false;
    return true;
  }
  // The home slot of name, which the map binds there (bindsathome).
  Slot& homeslot(Name name) { return slots_[home(name)]; }
  // Unbinds name, if it is bound.
  void erase(Name name);
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() {
    shape_ = 0;
    slots_.reset();
    cap_ = 0;
    mask_ = 0;
    shift_ = 63;
    size_ = 0;
  }
  // Gives up a table of more than 64 slots; a smaller one is kept as it is.
  void trim() {
    if (cap_ > 64) clear();
  }
  // Empties the map but keeps a small slot table, so that a recycled frame
  // takes its first bindings without allocating.
  void reset() {
    shape_ = 0;
    if (size_ == 0) return;  // every slot is free already
    if (cap_ > 64) {
      clear();
      return;
    }
    // A free slot is one without a name. A table has a power of two slots,
    // at least 8, so it is cleared 8 whole slots at a time, written out so
    // that the compiler makes them a few wide stores wherever it inlines
    // this, with no per-slot loop to unroll first.
    Slot* p = slots_.get();
    Slot* const end = p + cap_;
    do {
      p[0] = Slot{};
      p[1] = Slot{};
      p[2] = Slot{};
      p[3] = Slot{};
      p[4] = Slot{};
      p[5] = Slot{};
      p[6] = Slot{};
      p[7] = Slot{};
      p += 8;
    } while (p != end);
    size_ = 0;
  }

  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Slot;
    using difference_type = std::ptrdiff_t;
    using pointer = const Slot*;
    using reference = const Slot&;
    iterator(const Slot* at, const Slot* end) : at_(at), end_(end) { skip(); }
    const Slot& operator*() const { return *at_; }
    const Slot* operator->() const { return at_; }
    iterator& operator++() {
      ++at_;
      skip();
      return *this;
    }
    bool operator==(const iterator& other) const { return at_ == other.at_; }

   private:
    void skip() {
      while (at_ != end_ && at_->first == nullptr) ++at_;
    }
    const Slot* at_;
    const Slot* end_;
  };
  iterator begin() const { return iterator(slots_.get(), slots_.get() + cap_); }
  iterator end() const { return iterator(slots_.get() + cap_, slots_.get() + cap_); }

  // Entries sorted by name text.
  // Appends the entries to out, in name order.
  void appendsorted(std::vector<Slot>& out) const;

 private:
  // The first slot to probe for name: the top bits of its hash.
  std::size_t home(Name name) const { return static_cast<std::size_t>(name->hash >> shift_); }
  const Slot* find(Name name) const {
    if (cap_ == 0) return nullptr;
    const Slot* base = slots_.get();
    for (std::size_t i = home(name);; i = (i + 1) & mask_) {
      const Slot& s = base[i];
      if (s.first == name) return &s;
      if (s.first == nullptr) return nullptr;
    }
  }
  void grow() { growto(cap_ ? std::size_t{cap_} * 2 : 8); }
  void growto(std::size_t capacity);
  // The rest of an assignment, once the slots are taken from other.
  void takeshape(const NameMap& other) {
    shape_ = 0;
    cap_ = other.cap_;
    mask_ = other.mask_;
    shift_ = other.shift_;
    size_ = other.size_;
    if (marks_ && !other.marks_)
      for (std::size_t i = 0; i < cap_; ++i)
        if (Name name = slots_[i].first) name->mapped = true;
  }

  // Null, or cap_ slots, a power of two; a free slot holds a null name. A
  // map takes 32 bytes: every list, function and object with attributes
  // has one, and most bind a few names or none.
  std::unique_ptr<Slot[]> slots_;
  std::uint64_t shape_ = 0;  // markshape()'s mark, 0 when there is none
  std::uint32_t cap_ = 0;    // the count of slots
  std::uint32_t mask_ = 0;   // cap_ - 1 when there are slots
  std::uint32_t size_ = 0;
  std::uint8_t shift_ = 63;  // 64 - log2(cap_) when there are slots
  bool marks_ = true;        // records its names (all maps but frames')
};

// A local frame. A frame owns its map, unless it is borrowed (below); maps
// are recycled with their slot storage, so that a call, which makes a frame,
// allocates nothing once the machine is warm.
//
// A block runs on a copy of its caller's frame, and WHILE and FOREACH make
// one per iteration. That copy is a borrowed frame: it writes the caller's
// map in place and logs what each write replaced; when the borrowed frame
// goes, the log is played back and the map is again exactly the caller's.
// This is sound because only the top frame of the machine is ever written or
// read by name, and a borrowed frame is always above the frame it borrows
// from: the caller's map cannot be seen while the borrowed frame lives.
// Frames go in the reverse order of their making (the frame stack is a
// stack), so one log serves all borrowed frames, each owning its tail, and
// the map a borrowed frame uses outlives it: a borrowed frame neither owns
// nor counts it.
//
// A borrowed frame may also put off a write that cannot be seen yet
// (setshared): one that binds a name to the record the root binds under it.
// Such writes are made, with their log entries, before anything could see
// the map: before a frame is borrowed on top (so the frame that put them
// off is always the topmost borrowed frame, and the end of the log is the
// end of its tail), before a clone, and before the root's attributes are
// replaced (writeback). Rewinding or leaving the frame would undo them, so
// it drops them instead, by starting a new generation. A rewind suspends
// them: they are dropped as well, but the next iteration mostly stores the
// same names again, and a store that finds its name's write suspended with
// the same record and map takes it up again without the checks that
// putting it off takes (setshared). A suspended write stays so, whatever
// frames come and go, until a rewind suspends others or the name is
// written.
class Frame {
 public:
  // A write of a borrowed frame: the map, the name and what it was bound to.
  struct Undo {
    NameMap* map;
    Name name;
    variable* old;
    bool existed;
    std::uint32_t position;  // of the name's slot at the write, when it existed
  };

  // A new frame takes its map on first use: a context entered only to read
  // an attribute never binds a local, so it costs no map.
  Frame() : shared_(nullptr) {}
  // A frame whose map is taken at once, for a call that binds its arguments
  // right away.
  struct Own {};
  explicit Frame(Own) : shared_(acquire()) {}
  // A frame for a call, whose map is taken at once as it was given back: it
  // may still hold the bindings of the frame that had it last, which the
  // call either binds anew, every one (NameMap::shape), or drops
  // (NameMap::reset) before it binds its own.
  struct Kept {};
  explicit Frame(Kept) : shared_(acquirekept()) {}
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;
  // A frame moved from is left as a new frame is: no map, not borrowed.
  Frame(Frame&& other) noexcept : shared_(other.shared_), logstart_(other.logstart_) {
    other.shared_ = nullptr;
    other.logstart_ = notborrowed;
  }
  Frame& operator=(Frame&& other) noexcept {
    if (this != &other) {
      drop();
      shared_ = other.shared_;
      logstart_ = other.logstart_;
      other.shared_ = nullptr;
      other.logstart_ = notborrowed;
    }
    return *this;
  }
  ~Frame() { drop(); }

  // A frame that sees what parent sees, for a block run on top of it.
  static Frame borrow(const Frame& parent) {
    writeback();
    return Frame(parent.shared(), static_cast<std::uint32_t>(log().size()));
  }
  // Whether borrow(parent) would allocate nothing: parent has its map, and
  // no write put off stands, to be made first.
  bool borrowsquietly() const { return shared_ && !standing_; }
  // borrow(parent) when borrowsquietly() holds: what borrow does, less the
  // steps that find nothing to do.
  static Frame borrowquietly(const Frame& parent) {
    assert(parent.shared_ && !standing_);
    return Frame(parent.shared_, static_cast<std::uint32_t>(log().size()));
  }
  // A frame of its own with the same bindings. The map copied loses its
  // mark (NameMap::shape): the records of its arguments are held by the
  // clone too now, so a call that gets the map again must not take them
  // for records of its own (Machine::callcode).
  Frame clone() const {
    writeback();
    ++clones_;
    Frame f;
    if (shared_) {
      f.shared_ = acquirekept();
      f.shared_->map = shared_->map;
      shared_->map.markshape(0);
    }
    return f;
  }
  bool borrowed() const { return logstart_ != notborrowed; }
  // Whether this frame borrows from parent. A borrowed frame is only ever
  // made on top of the frame it borrows from, and a frame below another is
  // neither replaced nor given another map while the one above lives, so a
  // borrowed frame always borrows from the frame right below it, and is
  // never the bottom one: on the frame stack, borrowed() says as much.
  bool borrows(const Frame& parent) const { return borrowed() && shared_ == parent.shared_ && shared_; }
  // Back to what the frame held when it was borrowed, as a new copy of its
  // parent would be.
  void rewind() {
    suspenddeferred();
    undo(logstart_);
  }
  // rewind(), then set(name, value), for a name that the frame's first write
  // bound: the first write's log entry stays, and the name keeps its slot,
  // which is looked for at hint first; hint is set to where it is. When the
  // tail holds that entry alone, the map differs from the parent's in that
  // name only, and nothing is played back.
  void rewindandset(Name name, variable* value, std::uint32_t& hint) {
    const std::size_t size = log_.size();
    if (size > logstart_) {
      const Undo& first = log_[logstart_];
      NameMap& map = shared_->map;  // a borrowed frame has its parent's
      if (first.name == name && first.map == &map) {
        suspenddeferred();
        if (size != logstart_ + 1) [[unlikely]]
          undo(logstart_ + 1);
        if (NameMap::Slot* entry = map.entryhinted(name, hint)) [[likely]] {
          entry->second = value;
          return;
        }
      }
    }
    rewind();
    set(name, value);
  }

  const NameMap& map() const { return shared_ ? shared_->map : nomap(); }
  NameMap& writable() { return shared()->map; }
  // The map of a frame made with Own or Kept, which has one.
  NameMap& ownmap() { return shared_->map; }
  variable* get(Name name) const { return map().get(name); }
  bool has(Name name) const { return map().has(name); }
  void set(Name name, variable* value) {
    NameMap& map = shared()->map;
    NameMap::Slot* entry = map.entry(name);
    if (borrowed()) logwrite(map, name, entry);
    if (entry)
      entry->second = value;
    else
      map.add(name, value);
  }

  // set(name, value) with the name's slot looked for at `hint` first, unless
  // the frame is borrowed and name is bound to `unless`: false then, and
  // nothing written. The slot's position is put in hint.
  bool setunless(Name name, variable* value, std::uint32_t& hint, const variable* unless) {
    NameMap& map = shared()->map;
    NameMap::Slot* entry = map.entryat(hint, name);
    if (!entry) entry = map.entry(name);
    if (borrowed()) {
      if (entry && entry->second == unless) return false;
      logwrite(map, name, entry);
    }
    if (entry) {
      entry->second = value;
    } else {
      map.add(name, value);
      entry = map.entry(name);
    }
    hint = static_cast<std::uint32_t>(map.position(entry));
    return true;
  }

  // The frame's binding of name becomes held, the record that the root binds
  // under name and that stands for the frame's copy too (variable::rootalias).
  // A borrowed frame whose map holds held already refuses (false): the log
  // could hold it as a value to put back, which must not change.
  //
  // A borrowed frame otherwise puts the write off. Every local read looks at
  // the root's attributes first, so the frame's binding of a name the root
  // binds cannot be read; the root loses names only when its whole record
  // is replaced. The write is made when writeback() runs, unless the frame is
  // rewound or left first, or another write of the name is logged.
  //
  // A suspended write of held into the same map is taken up again as it is,
  // because while it is suspended and held is still the name's root record
  // that nothing else holds (Machine's reusablerootcopy), the map does not
  // bind held under name. It did not when the write was put off. Only these
  // bind a record under a name in a frame's map: a logged write, which ends
  // the name's suspended write (logwrite); writeback, which makes only the
  // writes that stand; a write here in a frame that is not borrowed, which
  // ends the name's; a new record, which becomes the root record in held's
  // place for good; playing the log back, which never binds held, since
  // logging it would have ended its being the root record; and a call or a
  // FOREACH binding what was handed to it, which held never is.
  bool setshared(Name name, variable* held, std::uint32_t& hint) {
    if (!borrowed()) {
      if (name->deferredgen == suspended_) name->deferredgen = 0;
      return setunless(name, held, hint, held);
    }
    if (name->deferredrecord == held) {
      if (name->deferredgen == generation_) return true;
      if (name->deferredgen == suspended_ && name->deferredmap == &shared_->map) {
        assert(name->deferredlisting == listing_);
        name->deferredgen = generation_;
        standing_ = true;
        return true;
      }
    }
    NameMap& map = shared_->map;  // a borrowed frame has its parent's
    const NameMap::Slot* entry = map.entryat(hint, name);
    if (!entry) entry = map.entry(name);
    if (entry) {
      if (entry->second == held) return false;
      hint = static_cast<std::uint32_t>(map.position(entry));
    }
    name->deferredgen = generation_;
    name->deferredrecord = held;
    name->deferredmap = &map;
    standing_ = true;
    if (name->deferredlisting != listing_) {
      name->deferredlisting = listing_;
      deferred_.push_back(name);
    }
    return true;
  }
  // Makes the writes that the topmost borrowed frame has put off, logged in
  // its tail: done before anything could see its map.
  static void writeback() {
    if (standing_) writedeferred();
  }
  // Calls f with each record that a write put off binds, standing or
  // suspended: nothing else may hold it.
  template <class F>
  static void fordeferred(F f) {
    for (Name name : deferred_)
      if (name->deferredgen == generation_ || name->deferredgen == suspended_) f(name->deferredrecord);
  }
  // Calls f with every name that the frames' shared state holds: in the
  // log of writes and in the list of writes put off.
  template <class F>
  static void fornames(F f) {
    for (const Undo& u : log_) f(u.name);
    for (Name name : deferred_) f(name);
  }
  // Empties the recycled maps, which keep the names they bound when given
  // back: done before names may be given up, and when a machine goes with
  // its names, so that no map in the pool holds a name that is gone.
  static void emptypool() {
    for (Shared* s = poolfree_; s; s = s->nextfree) s->map.reset();
  }

  // Every logged write of the borrowed frames that are alive; what they
  // replaced is still reachable through the frames below.
  static std::vector<Undo>& log() { return log_; }
  // Frames cloned so far: a clone holds every record its original holds.
  static std::uint64_t clones() { return clones_; }
  // Drops the marks of the recycled maps (NameMap::shape) and the writes
  // put off, for a machine that goes with its names: every map it marked is
  // in the pool by then.
  static void forgetshapes() {
    forgetpoolshapes();
    emptypool();
    cleardeferred();
  }
  // Drops the marks of the recycled maps alone.
  static void forgetpoolshapes() {
    for (Shared* s = poolfree_; s; s = s->nextfree) s->map.markshape(0);
  }
  // Drops the mark of the frame's map.
  void forgetshape() {
    if (shared_) shared_->map.markshape(0);
  }

 private:
  static constexpr std::uint32_t notborrowed = 0xFFFFFFFFu;
  struct Shared {
    NameMap map{NameMap::ForFrame{}};
    Shared* nextfree = nullptr;  // in the pool: the next free map
  };
  // Recycled maps, keeping their slot storage and the bindings they had
  // when given back (a map of more than 64 slots is given up instead): a
  // call whose frame binds the same names again rebinds them in place. Only
  // acquirekept() hands one on as it is; every other taker gets it empty. At
  // most poolcap of them, so that a deep recursion gives the rest back.
  static constexpr std::size_t poolcap = 4096;
  static inline Shared* poolfree_ = nullptr;
  static inline std::size_t poolcount_ = 0;
  // A borrowed frame.
  Frame(Shared* shared, std::uint32_t logstart) : shared_(shared), logstart_(logstart) {}
  // The map, taken now if the frame has none yet.
  Shared* shared() const {
    if (!shared_) shared_ = acquire();
    return shared_;
  }
  static const NameMap& nomap() {
    static const NameMap none;
    return none;
  }
  static Shared* acquire() {
    Shared* s = acquirekept();
    s->map.reset();
    return s;
  }
  static Shared* acquirekept() {
    Shared* s = poolfree_;
    if (!s) return acquirenew();
    poolfree_ = s->nextfree;
    --poolcount_;
    return s;
  }
  static void release(Shared* s) {
    if (poolcount_ >= poolcap) {
      releasedelete(s);
      return;
    }
    s->map.trim();
    s->nextfree = poolfree_;
    poolfree_ = s;
    ++poolcount_;
  }
  static Shared* acquirenew();
  static void releasedelete(Shared* s);
  static void keeppool();
  // Plays the log back down to entry `to`, newest first. The caller has
  // dropped or suspended the writes that the frame put off.
  static void undo(std::uint32_t to) {
    // A frame whose tail is gone already (the frames of a run torn down in
    // another order) has nothing left to put back.
    if (!holdsatleast(log_, std::size_t{to} + 1)) return;
    Undo* const stop = log_.data() + to;
    Undo* u = stop + (log_.size() - to);
    do {
      --u;
      if (!u->existed || !u->map->setat(u->position, u->name, u->old)) undoslow(*u);
    } while (u != stop);
    log_.erase(log_.begin() + to, log_.end());
  }
  // Drops the writes that stand, when the topmost borrowed frame goes; those
  // suspended stay so (setshared tells why they may).
  static void dropdeferred() {
    if (standing_) {
      ++generation_;
      standing_ = false;
    }
  }
  // Drops every write put off, standing or suspended, and empties the list.
  static void cleardeferred() {
    ++generation_;
    suspended_ = nosuspended;
    standing_ = false;
    ++listing_;
    deferred_.clear();
  }
  // Suspends the writes that stand, on a rewind of the topmost borrowed
  // frame; those suspended before are dropped then. With none standing,
  // those suspended stay so. The names stay listed.
  static void suspenddeferred() {
    if (standing_) {
      suspended_ = generation_++;
      standing_ = false;
    }
  }
  // An entry whose name was unbound before, or whose slot has moved.
  static void undoslow(const Undo& u);
  static void writedeferred();
  // A borrowed frame always has a map, its parent's (borrow takes it), so
  // leaving one, the way out of every block, tests its log start alone.
  void drop() {
    if (borrowed()) {
      assert(shared_);
      dropdeferred();
      undo(logstart_);
    } else if (shared_) {
      release(shared_);
    }
  }

  // Logs what a write of name replaces. The record that the name's last
  // root store made stops being the one a root store may change in place
  // (Symbol::rootrecord) once the log holds it: playing the log back would
  // bind it again. A write of name that was put off is replaced by this one.
  static void logwrite(NameMap& map, Name name, const NameMap::Slot* entry) {
    variable* old = entry ? entry->second : nullptr;
    if (old && old == name->rootrecord) name->rootrecord = nullptr;
    name->deferredgen = 0;
    log_.push_back(Undo{&map, name, old, entry != nullptr, entry ? static_cast<std::uint32_t>(map.position(entry)) : 0});
  }

  static inline std::vector<Undo> log_;
  static inline std::uint64_t clones_ = 0;
  // The names whose writes were put off (Symbol::deferredgen tells which
  // still stand or are suspended), the generation of those that stand, the
  // one of those suspended (nosuspended: none; neither is ever 0 nor
  // nosuspended), whether any may stand, and the number of the list
  // (Symbol::deferredlisting), which moves on whenever it is emptied.
  static constexpr std::uint64_t nosuspended = 1;
  static inline std::vector<Name> deferred_;
  static inline std::uint64_t generation_ = 2;
  static inline std::uint64_t suspended_ = nosuspended;
  static inline bool standing_ = false;
  static inline std::uint64_t listing_ = 1;

  mutable Shared* shared_;  // null until the frame is first written or borrowed
  std::uint32_t logstart_ = notborrowed;
};

}  // namespace TruvVM
