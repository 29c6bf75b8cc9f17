#include "value.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <unordered_map>

#include "builtin.hpp"
#include "machine.hpp"
#include "moduleapi.hpp"

namespace TruvVM {

std::string_view tagname(Tag tag) {
  switch (tag) {
    case Tag::Blank: return "";
    case Tag::Int: return "BUILTIN_INT";
    case Tag::Float: return "BUILTIN_FLOAT";
    case Tag::String: return "BUILTIN_STRING";
    case Tag::List: return "BUILTIN_LIST";
    case Tag::Dict: return "BUILTIN_DICT";
    case Tag::Pntr: return "BUILTIN_PNTR";
    case Tag::CustomFunc: return "CUSTOM_FUNC";
    case Tag::CustomClass: return "CUSTOM_CLASS";
    case Tag::BuiltinFunc: return "BUILTIN_FUNC";
    case Tag::BuiltinModule: return "BUILTIN_MODULE";
    case Tag::BuiltinClass: return "BUILTIN_CLASS";
  }
  return "";
}

std::string_view namestring(VarName name) {
  switch (name) {
    case VarName::Unnamed: return "Unnamed Variable";
    case VarName::ProgramRoot: return "PROGRAM_ROOT";
    case VarName::Filesystem: return "FILESYSTEM";
    case VarName::File: return "file";
    case VarName::Stdout: return "stdout";
    case VarName::Stdin: return "stdin";
  }
  return "";
}

struct DictVal::Index {
  // A slot keeps what a lookup by a text compares first, so that the usual
  // lookup, by a text that shares its key's buffer, loads no key record: the
  // key's hash and its view (Text::viewkey, noview for a key that is no text
  // or has none). The key records cannot change while the index stands
  // (keyversion), and each holds its text's buffer, so a view kept here
  // stays the key's.
  struct Slot {
    std::uint32_t hash;
    std::uint32_t position;  // of the first entry with this key value; ~0 when free
    std::uint64_t view;
  };
  std::vector<Slot> slots;  // a power of two in size
  std::size_t mask = 0;     // slots.size() - 1, kept for the probes
  std::size_t used = 0;
  // Entries looked at, of those in their places (DictVal's `entries`). An
  // index is made only for a dictionary of indexfrom entries or more and
  // fewer than freeslot, and looks at all of them; a dictionary loses
  // entries only by dropping its index. So an index that has looked at every
  // entry serves a dictionary of a size it can index.
  std::size_t indexed = 0;
  std::uint64_t keyversion = 0;
  // keyversion while no late entries wait, else a number keyversion never
  // reaches: the usual lookup tests this one field for both.
  std::uint64_t fastversion = 0;
  void setversion(std::uint64_t version) {
    keyversion = version;
    fastversion = late.empty() ? version : ~std::uint64_t{0};
  }
  // The entries waiting in DictVal's `late`, which the slots do not hold,
  // one for each, in the same order: how many of the other entries go
  // before it, and its key's hash. The slots hold positions among the other
  // entries; once the late ones are put in their places, an entry at
  // position p there is at p + (the count of late entries whose `before`
  // is at most p).
  struct Late {
    std::uint32_t before;
    std::uint32_t hash;
    bool hashed;
  };
  std::vector<Late> late;
  std::size_t moved(std::size_t position) const {
    const auto after = std::upper_bound(late.begin(), late.end(), position,
                                        [](std::size_t p, const Late& l) { return p < l.before; });
    return position + static_cast<std::size_t>(after - late.begin());
  }
};

void DictVal::IndexDeleter::operator()(Index* index) const { delete index; }

namespace {

constexpr std::uint32_t freeslot = ~std::uint32_t{0};
// The view a probe with none compares with: no key's view is this.
constexpr std::uint64_t unmatched = ~std::uint64_t{0};
// Dictionaries smaller than this are scanned.
constexpr std::size_t indexfrom = 8;
// Keys up to this long are compared in find without a call.
constexpr std::size_t shorttext = 16;

// The hash of a key by value, for the kinds the index serves: texts, and
// numbers by their float value (the way they compare). False for the rest,
// and for NaN, which equals nothing.
[[gnu::always_inline]] inline bool valuehash(const variable& v, std::uint32_t& out) {
  if (v.identifier == Tag::String) {
    out = v.stringval.hash();
    return true;
  }
  if (v.identifier != Tag::Int && v.identifier != Tag::Float) return false;
  float f = v.identifier == Tag::Int ? static_cast<float>(v.intval) : v.floatval;
  if (f != f) return false;
  if (f == 0.0f) f = 0.0f;  // -0 equals 0
  std::uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  std::uint64_t h = (bits ^ Text::hashseed()) * 0x9E3779B97F4A7C15ull;
  h ^= h >> 29;
  h |= 1;  // numbers and texts never meet in one slot chain's answers anyway
  out = static_cast<std::uint32_t>(h ^ (h >> 32));
  return true;
}

// The view a slot keeps for a key.
inline std::uint64_t keyview(const variable& key) {
  return key.identifier == Tag::String ? key.stringval.viewkey() : Text::noview;
}

// Whether key == probe. A text equals only a text with the same bytes, which
// is the common case of a lookup, tested here without the general
// comparison.
[[gnu::always_inline]] inline bool keyequal(const variable& key, const variable& probe) {
  if (probe.identifier == Tag::String) return key.identifier == Tag::String && key.stringval == probe.stringval;
  return key == probe;
}

}  // namespace

namespace {

// Where an entry with key's sequence number goes among entries in order.
std::vector<DictVal::Entry>::iterator placein(std::vector<DictVal::Entry>& entries, const variable* key) {
  return std::lower_bound(entries.begin(), entries.end(), key->seq,
                          [](const DictVal::Entry& e, std::uint64_t seq) { return e.first->seq < seq; });
}

// Late entries that may wait before they are put in their places: about the
// square root of the entries, so that putting them in place (a pass over
// the entries and the index) and looking at them on each lookup cost about
// the same per entry.
std::size_t latelimit(std::size_t entries) {
  std::size_t n = 16;
  while (n * n < entries) n *= 2;
  return n;
}

}  // namespace

std::size_t DictVal::placeof(const variable* key) const {
  Body& b = *body_;
  return static_cast<std::size_t>(placein(b.entries, key) - b.entries.begin());
}

bool DictVal::haskey(const variable* key) const {
  Body& b = *body_;
  const std::size_t at = placeof(key);
  if (at < b.entries.size() && b.entries[at].first == key) return true;
  const auto late = placein(b.late, key);
  return late != b.late.end() && late->first == key;
}

void DictVal::set(variable* key, variable* value) {
  if (!body_) body_.reset(new Body);
  Body& b = *body_;
  const std::size_t at = placeof(key);
  if (at < b.entries.size() && b.entries[at].first == key) {
    b.entries[at].second = value;
    return;
  }
  // Made after every key here: the entry goes at the end, after the late
  // ones too, which were all made before the last key.
  if (at == b.entries.size()) {
    key->watch |= variable::watchkey;
    b.entries.push_back(Entry{key, value});
    return;
  }
  const auto late = placein(b.late, key);
  if (late != b.late.end() && late->first == key) {
    late->second = value;
    return;
  }
  key->watch |= variable::watchkey;
  const std::size_t rank = static_cast<std::size_t>(late - b.late.begin());
  b.late.insert(late, Entry{key, value});
  indexlate(rank, at);
  if (b.late.size() >= latelimit(size())) settle();
}

namespace {

// The records whose changes advanced keyversion from changedfrom on, in
// order: changedfrom + changedkeys.size() is keyversion. A record is
// replaced by null before it is freed (keysfreed), so none of them dangles.
// At most changedroom are kept; an index older than the first is rebuilt.
// The room grows with the largest index made, so that an index is rebuilt
// only after at least as many changes of other keys as it has entries,
// which then pay for it; looking through the changes since the last lookup
// costs less than a rebuild.
std::vector<const variable*> changedkeys;
std::uint64_t changedfrom = 0;
std::size_t changedroom = 256;
// The records noted before this place in changedkeys have been through a
// collection, which they survived (or they are null): they are old, and
// only a major collection can free them.
std::size_t changedswept = 0;

}  // namespace

void DictVal::keychanged(const variable* key) {
  if (changedkeys.size() >= changedroom) forgetkeychanges();
  changedkeys.push_back(key);
  ++keyversion;
}

void DictVal::forgetkeychanges() {
  changedkeys.clear();
  changedfrom = keyversion;
  changedswept = 0;
}

void DictVal::keysfreed(std::uint8_t mark, bool major) {
  // A minor collection looks only at the records noted since the last
  // collection, so that a long log costs it nothing.
  for (std::size_t i = major ? 0 : changedswept; i < changedkeys.size(); ++i) {
    const variable* key = changedkeys[i];
    if (key && (major ? key->gcmark != mark : key->gcmark == 0)) changedkeys[i] = nullptr;
  }
  changedswept = changedkeys.size();
}

bool DictVal::keyschangedsince(std::uint64_t since) const {
  // More changes than entries: rebuilding costs less than looking at each.
  if (since < changedfrom || keyversion - since > size()) return true;
  for (std::size_t i = static_cast<std::size_t>(since - changedfrom); i < changedkeys.size(); ++i)
    if (changedkeys[i] && haskey(changedkeys[i])) return true;
  return false;
}

void DictVal::indexentry(std::size_t position) const {
  Body& b = *body_;
  Index& index = *b.index;
  std::uint32_t h;
  if (!valuehash(*b.entries[position].first, h)) return;
  if ((index.used + 1) * 2 > index.slots.size()) {
    // Grow: rebuild from the entries looked at so far.
    index.slots.assign(std::max<std::size_t>(16, index.slots.size() * 2), Index::Slot{0, freeslot, Text::noview});
    index.mask = index.slots.size() - 1;
    index.used = 0;
    const std::size_t upto = position;
    for (std::size_t i = 0; i < upto; ++i) {
      std::uint32_t hi;
      if (!valuehash(*b.entries[i].first, hi)) continue;
      const std::size_t mask = index.slots.size() - 1;
      std::size_t at = hi & mask;
      bool present = false;
      for (; index.slots[at].position != freeslot; at = (at + 1) & mask) {
        const Index::Slot& s = index.slots[at];
        if (s.hash == hi && *b.entries[s.position].first == *b.entries[i].first) {
          present = true;
          break;
        }
      }
      if (!present) {
        index.slots[at] = Index::Slot{hi, static_cast<std::uint32_t>(i), keyview(*b.entries[i].first)};
        ++index.used;
      }
    }
  }
  const std::size_t mask = index.slots.size() - 1;
  std::size_t at = h & mask;
  for (; index.slots[at].position != freeslot; at = (at + 1) & mask) {
    const Index::Slot& s = index.slots[at];
    // An equal key earlier in the order answers for this one too.
    if (s.hash == h && *b.entries[s.position].first == *b.entries[position].first) return;
  }
  index.slots[at] = Index::Slot{h, static_cast<std::uint32_t>(position), keyview(*b.entries[position].first)};
  ++index.used;
}

// Notes the late entry at `rank` among them, which goes after `before` of
// the other entries, in the index: lookups look at it there until the late
// entries are put in their places (settle), which then takes them into the
// slots in one pass. A dictionary filled in an order other than that of its
// keys' creation, with a lookup after each entry, moved its entries and the
// positions in its index for every entry, or rebuilt it. An index that is
// not up to date, or that could grow, is dropped instead, to be rebuilt by
// the next lookup.
void DictVal::indexlate(std::size_t rank, std::size_t before) {
  Body& b = *body_;
  if (!b.index) return;
  Index& index = *b.index;
  if (index.late.size() + 1 != b.late.size() || index.keyversion != keyversion || size() >= freeslot ||
      (index.used + b.late.size()) * 2 > index.slots.size()) {
    b.index.reset();
    return;
  }
  std::uint32_t h = 0;
  const bool hashed = valuehash(*b.late[rank].first, h);
  index.late.insert(index.late.begin() + static_cast<std::ptrdiff_t>(rank),
                    Index::Late{static_cast<std::uint32_t>(before), h, hashed});
  index.setversion(index.keyversion);
}

// Merges the late entries into the others, from the end, and brings the
// index along when it notes them all: the entries after the indexed ones
// are indexed where they are first, then the positions the slots hold move
// past the late entries before them, and each late key takes a slot of its
// own, or the slot of an equal key after it, which it now comes before.
void DictVal::settle() const {
  Body& b = *body_;
  const std::size_t old = b.entries.size();
  const std::size_t count = b.late.size();
  bool keep = false;
  if (b.index) {
    Index& index = *b.index;
    keep = index.late.size() == count && index.keyversion == keyversion && old + count < freeslot;
    if (keep)
      while (index.indexed < old) indexentry(index.indexed++);
    keep = keep && (index.used + count) * 2 <= index.slots.size();
  }
  b.entries.resize(old + count);
  std::size_t from = old;
  std::size_t late = count;
  std::size_t to = old + count;
  while (late > 0) {
    if (from > 0 && b.entries[from - 1].first->seq > b.late[late - 1].first->seq)
      b.entries[--to] = b.entries[--from];
    else
      b.entries[--to] = b.late[--late];
  }
  b.late.clear();
  if (!keep) {
    b.index.reset();
    return;
  }
  Index& index = *b.index;
  for (Index::Slot& s : index.slots)
    if (s.position != freeslot) s.position = static_cast<std::uint32_t>(index.moved(s.position));
  const std::size_t mask = index.mask;
  for (std::size_t j = 0; j < count; ++j) {
    const Index::Late& l = index.late[j];
    if (!l.hashed) continue;
    const std::size_t position = l.before + j;
    const variable& key = *b.entries[position].first;
    const std::uint32_t h = l.hash;
    std::size_t at = h & mask;
    for (; index.slots[at].position != freeslot; at = (at + 1) & mask) {
      Index::Slot& s = index.slots[at];
      if (s.hash == h && *b.entries[s.position].first == key) break;
    }
    Index::Slot& s = index.slots[at];
    if (s.position == freeslot) {
      s = Index::Slot{h, static_cast<std::uint32_t>(position), keyview(key)};
      ++index.used;
    } else if (s.position > position) {
      s = Index::Slot{h, static_cast<std::uint32_t>(position), keyview(key)};
    }
  }
  index.indexed = old + count;
  index.late.clear();
  index.setversion(index.keyversion);
}

// find() while late entries wait: the first indexed entry with an equal key,
// or the first late entry with one, whichever comes first in the order.
const DictVal::Entry* DictVal::findlate(const variable& probe, std::uint32_t h) const {
  Body& b = *body_;
  const Index& index = *b.index;
  const Index::Slot* slots = index.slots.data();
  const std::size_t mask = index.mask;
  const Entry* found = nullptr;
  std::size_t first = SIZE_MAX;  // its place once the late entries are in theirs
  for (std::size_t at = h & mask; slots[at].position != freeslot; at = (at + 1) & mask) {
    const Index::Slot& s = slots[at];
    if (s.hash == h && keyequal(*b.entries[s.position].first, probe)) {
      found = &b.entries[s.position];
      first = index.moved(s.position);
      break;
    }
  }
  // A key equal to the probe has the probe's hash, which is compared first.
  for (std::size_t j = 0; j < index.late.size(); ++j) {
    const Index::Late& l = index.late[j];
    if (l.before + j >= first) break;
    if (l.hashed && l.hash == h && keyequal(*b.late[j].first, probe)) return &b.late[j];
  }
  return found;
}

// Brings the index up to date: rebuilt when one of its key records has
// changed since it was made, then extended by the entries added since. A
// change of a key of another dictionary only moves its version on, so that
// changing the keys of one dictionary costs no rebuild of every other. Kept
// out of find, whose usual lookup needs none of it.
[[gnu::noinline]] void DictVal::buildindex() const {
  Body& b = *body_;
  if (b.index && b.index->keyversion != keyversion && !keyschangedsince(b.index->keyversion))
    b.index->setversion(keyversion);
  if (!b.index || b.index->keyversion != keyversion) {
    // A new index, over the entries all in their places.
    b.index.reset();
    settled();
    b.index.reset(new Index);
    Index& index = *b.index;
    index.slots.assign(16, Index::Slot{0, freeslot, Text::noview});
    index.mask = index.slots.size() - 1;
    index.used = 0;
    index.indexed = 0;
    index.setversion(keyversion);
  }
  Index& index = *b.index;
  // Entries added at the end are indexed where they are, also while late
  // ones wait.
  while (index.indexed < b.entries.size()) indexentry(index.indexed++);
  changedroom = std::max(changedroom, index.indexed);
}

namespace {

[[gnu::noinline]] const DictVal::Entry* scan(const DictVal& dict, const variable& probe) {
  for (const DictVal::Entry& entry : dict)
    if (*entry.first == probe) return &entry;
  return nullptr;
}

}  // namespace

const DictVal::Entry* DictVal::find(const variable& probe) const {
  // The usual lookup: a text whose hash its buffer keeps, in an indexed
  // dictionary whose index is up to date, and whose key shares the probe's
  // view of one buffer (a key read back, say), which the slot tells without
  // a look at the key record. It makes no call, so it needs few registers.
  // At the first slot of the probe's hash whose view differs, findtext
  // compares the key records from there on. Every other case goes the
  // general way from the start, late entries waiting among them (they keep
  // fastversion from matching).
  const Body* b = body_.get();
  const Index* index = b ? b->index.get() : nullptr;
  std::uint32_t h;
  if (probe.identifier == Tag::String && index && index->indexed == b->entries.size() &&
      index->fastversion == keyversion && probe.stringval.knownhash(h)) [[likely]] {
    const Index::Slot* slots = index->slots.data();
    const std::size_t mask = index->mask;
    const std::uint64_t known = probe.stringval.viewkey();
    const std::uint64_t view = known == Text::noview ? unmatched : known;
    for (std::size_t at = h & mask; slots[at].position != freeslot; at = (at + 1) & mask) {
      const Index::Slot& s = slots[at];
      if (s.hash != h) continue;
      if (s.view == view) return &b->entries[s.position];
      return findtext(probe, h, at);
    }
    return nullptr;
  }
  return findslow(probe);
}

// find() for a text probe from slot `at` on, by the key records: a text key
// that shares the probe's view of one buffer is equal to it, a short one is
// compared in place, and at a long one the general loop takes over. A text
// equals only a text.
[[gnu::noinline]] const DictVal::Entry* DictVal::findtext(const variable& probe, std::uint32_t h,
                                                          std::size_t at) const {
  Body& b = *body_;
  const Index::Slot* slots = b.index->slots.data();
  const std::size_t mask = b.index->mask;
  for (; slots[at].position != freeslot; at = (at + 1) & mask) {
    const Index::Slot& s = slots[at];
    if (s.hash != h) continue;
    const Entry& entry = b.entries[s.position];
    if (entry.first->identifier != Tag::String) continue;
    const Text& key = entry.first->stringval;
    const Text& text = probe.stringval;
    if (key.size() != text.size()) continue;
    if (key.sameview(text)) return &entry;
    if (key.size() > shorttext) return findfrom(probe, h, at);
    const char* keybytes = key.data();
    const char* probebytes = text.data();
    std::size_t i = 0;
    while (i < key.size() && keybytes[i] == probebytes[i]) ++i;
    if (i == key.size()) return &entry;
  }
  return nullptr;
}

[[gnu::noinline]] const DictVal::Entry* DictVal::findslow(const variable& probe) const {
  std::uint32_t h;
  const std::size_t size = this->size();
  if (size < indexfrom || size >= freeslot || !valuehash(probe, h)) return scan(*this, probe);
  Body& b = *body_;  // the dictionary has entries
  if (!b.index && b.scans < scansbeforeindex) {
    // A dictionary looked up only a few times, such as one made, read once
    // and dropped, is scanned: its index would cost several scans to build.
    ++b.scans;
    return scan(*this, probe);
  }
  if (!b.index || b.index->keyversion != keyversion || b.index->indexed < b.entries.size()) [[unlikely]]
    buildindex();
  if (!b.late.empty()) return findlate(probe, h);
  return findfrom(probe, h, h & b.index->mask);
}

[[gnu::noinline]] const DictVal::Entry* DictVal::findfrom(const variable& probe, std::uint32_t h, std::size_t at) const {
  Body& b = *body_;
  const Index& index = *b.index;
  const Index::Slot* slots = index.slots.data();
  const std::size_t mask = index.mask;
  for (; slots[at].position != freeslot; at = (at + 1) & mask) {
    const Index::Slot& s = slots[at];
    if (s.hash == h && keyequal(*b.entries[s.position].first, probe)) return &b.entries[s.position];
  }
  return nullptr;
}

void variable::gcremember(variable* v) { machine->heap.remember(v); }

void variable::changingwatched() {
  if (watch & watchkey) DictVal::keychanged(this);
  if (watch & watchreads) settlereads();
}

void variable::settlereads() {
  watch = static_cast<std::uint8_t>(watch & ~watchreads);
  if (machine) machine->settlereads(this);
}

variable& variable::operator=(const variable& rhs) {
  if (this == &rhs) return *this;
  if (rhs.methodspending()) const_cast<variable&>(rhs).makemethods();
  assign(rhs);
  return *this;
}

void variable::assignascopy(const variable& rhs) {
  if (this == &rhs) return;
  assign(rhs);
  if (ext_ && ext_->methods) {
    // A copy of a method value bound to rhs is bound to the copy of rhs,
    // which this is: the same methods are bound, found by name in the order
    // of the copy's set.
    const MethodSet& from = *ext_->methods;
    const MethodSet& to = *from.copied;
    if (ext_->methodselves && &to != &from) {
      unsigned selves = 0;
      for (unsigned i = 0; i < from.count; ++i) {
        if (!(ext_->methodselves >> i & 1)) continue;
        for (unsigned j = 0; j < to.count; ++j)
          if (std::strcmp(to.methods[j].name, from.methods[i].name) == 0) selves |= 1u << j;
      }
      ext_->methodselves = selves;
    }
    ext_->methods = &to;
    ext_->methodseq = machine->heap.reserveseqs(to.count);
  }
}

void variable::givemethods(const MethodSet& set) {
  // A record that has attributes already gets the values at once, in place
  // of any attributes of the same names.
  const bool made = ext_ && (ext_->methods || !ext_->attributes.empty());
  if (made) editattributes();
  RecordExt& ext = extend();
  ext.methods = &set;
  ext.methodselves = 0;
  ext.methodseq = machine->heap.reserveseqs(set.count);
  // The names are interned now, as making the values would intern them: the
  // order of interning gives the names their hashes, and so their slots.
  for (std::size_t i = 0; i < set.count; ++i) machine->names.internliteral(set.methods[i].name);
  if (made) makemethods();
}

void variable::makemethods() {
  RecordExt& ext = *ext_;
  const MethodSet& set = *ext.methods;
  const std::uint64_t seq = ext.methodseq;
  const unsigned selves = ext.methodselves;
  ext.methods = nullptr;
  ext.methodselves = 0;
  // The record may be old and its method values are young.
  gcwrite();
  NameMap& attributes = ext.attributes;
  attributes.reserve(set.count);
  for (std::size_t i = 0; i < set.count; ++i) {
    variable* method = makenativevalue(set.tag, set.methods[i].func, seq + i);
    if (selves >> i & 1) method->setself(this);
    attributes.set(machine->names.internliteral(set.methods[i].name), method);
  }
}

void variable::assign(const variable& rhs) {
  // The root's attribute records are shared with the copy: those that stand
  // for a frame's copy too are given their own first.
  if (machine && &rhs == machine->progroot && rhs.ext_) machine->progroot->ownrootbindings();
  // The root's attributes are about to be replaced: the frame bindings they
  // hid may be read from now on, so the writes a frame put off are made.
  if (machine && this == machine->progroot) Frame::writeback();
  changing();
  identifier = rhs.identifier;
  name = rhs.name;
  ismodule = rhs.ismodule;
  intval = rhs.intval;
  floatval = rhs.floatval;
  stringval = rhs.stringval;
  if (rhs.ext_) {
    // The edges of rhs are copied in.
    gcwrite();
    if (ext_ && !extshared) {
      *ext_ = *rhs.ext_;
    } else if (rhs.extshared) {
      ext_ = rhs.ext_;
      extshared = 1;
    } else {
      ext_ = new RecordExt(*rhs.ext_);
      extshared = 0;
    }
  } else if (extshared) {
    // A shared part holds no containers and is never freed.
    ext_ = nullptr;
    extshared = 0;
  } else if (ext_) {
    // Emptied, not freed: a caller may hold one of its containers.
    ext_->clear();
  }
}

RecordExt& variable::extendslow() {
  if (ext_) {
    // A part of its own, with what the shared one holds.
    ext_ = new RecordExt(*ext_);
    extshared = 0;
    return *ext_;
  }
  // Copies still to be made hold no out-of-line part.
  if (watch & watchreads) settlereads();
  ext_ = new RecordExt();
  return *ext_;
}

const RecordExt* variable::sharednative(mfuncptr f) {
  // A handful of natives exist; the parts live as long as the process, so
  // a record may share one whichever machine made it.
  static std::unordered_map<mfuncptr, std::unique_ptr<RecordExt>> parts;
  // Every new list and dictionary asks for the parts of its methods, so the
  // last part found for each slot of a small table is asked first.
  static std::array<const RecordExt*, 64> recent{};
  const std::uint64_t address = reinterpret_cast<std::uintptr_t>(f);
  const RecordExt*& seen = recent[(address * 0x9E3779B97F4A7C15ull) >> 58];
  if (seen && seen->modulefunc == f) return seen;
  std::unique_ptr<RecordExt>& part = parts[f];
  if (!part) {
    part = std::make_unique<RecordExt>();
    part->modulefunc = f;
  }
  seen = part.get();
  return seen;
}

void variable::ownrootbindings() {
  std::vector<NameMap::Slot> shared;
  for (const NameMap::Slot& slot : ext_->attributes)
    if (slot.second->rootalias) shared.push_back(slot);
  for (const NameMap::Slot& slot : shared) moduleapi::ownrootbinding(slot.first, slot.second);
}

namespace {

// One record being deep-copied: its attributes in name order, then its
// dictionary entries (key, then element), then its bound object. The work
// list replaces native recursion, so values nested to any depth are copied
// in bounded native stack, in the same order a recursive copy would make
// the records.
struct CopyTask {
  variable* src;
  variable* dst;
  std::size_t attrs;     // where its attributes start in CopyWork::attrs
  std::size_t next = 0;  // attribute, then dictionary entry
  int phase = 0;         // 0 attributes, 1 dictionary key, 2 dictionary element, 3 self
  variable* keycopy = nullptr;
};

// What a deep copy works with, kept from one copy to the next so that the
// usual copy, of a list or a dictionary and its methods, allocates nothing
// but the records. The attributes of the tasks lie in one array, each
// task's after those of the tasks below it.
struct CopyWork {
  std::vector<CopyTask> tasks;
  std::vector<NameMap::Slot> attrs;
  // The copies made so far: looked through while they are few, then kept
  // in a hash table.
  static constexpr std::size_t fewcopies = 32;
  std::vector<std::pair<const variable*, variable*>> copies;
  std::unordered_map<const variable*, variable*> manycopies;
  bool busy = false;

  variable* copyof(const variable* src) const {
    if (!manycopies.empty()) {
      auto it = manycopies.find(src);
      return it == manycopies.end() ? nullptr : it->second;
    }
    for (const auto& [from, to] : copies)
      if (from == src) return to;
    return nullptr;
  }
  void remember(const variable* src, variable* dst) {
    if (manycopies.empty() && copies.size() < fewcopies) {
      copies.emplace_back(src, dst);
      return;
    }
    if (manycopies.empty()) manycopies.insert(copies.begin(), copies.end());
    manycopies.emplace(src, dst);
  }
  void clear() {
    tasks.clear();
    attrs.clear();
    copies.clear();
    // Clearing a hash table goes through all its buckets, empty or not: a
    // large one is let go of, so that the copies after it pay nothing.
    if (!manycopies.empty()) manycopies = {};
  }
};

// The bound object of a record matters only when a call can pass it on.
bool copiesself(const variable* v) { return v->self() != nullptr && v->callable(); }

variable* deepcopywith(variable* original, CopyWork& work) {
  auto copyone = [&](variable* src) -> variable* {
    if (variable* done = work.copyof(src)) return done;
    variable* dst = getallocvar();
    dst->assignascopy(*src);
    work.remember(src, dst);
    const std::size_t attrs = work.attrs.size();
    if (!src->madeattributes().empty()) src->madeattributes().appendsorted(work.attrs);
    if (!src->dictval().empty()) dst->editdictval().clear();
    work.tasks.push_back(CopyTask{src, dst, attrs, 0, 0, nullptr});
    return dst;
  };

  variable* result = copyone(original);
  auto& tasks = work.tasks;
  while (!tasks.empty()) {
    const std::size_t t = tasks.size() - 1;
    switch (tasks[t].phase) {
      case 0: {
        const std::size_t at = tasks[t].attrs + tasks[t].next;
        // The attributes of the tasks above this one are gone again.
        if (at < work.attrs.size()) {
          ++tasks[t].next;
          auto [name, rec] = work.attrs[at];
          variable* dst = tasks[t].dst;
          dst->editattributes().set(name, copyone(rec));
          continue;
        }
        tasks[t].phase = 1;
        tasks[t].next = 0;
        continue;
      }
      case 1: {
        variable* src = tasks[t].src;
        if (tasks[t].next < src->dictval().size()) {
          variable* key = (src->dictval().begin() + static_cast<std::ptrdiff_t>(tasks[t].next))->first;
          tasks[t].phase = 2;
          tasks[t].keycopy = copyone(key);
          continue;
        }
        tasks[t].phase = 3;
        continue;
      }
      case 2: {
        variable* src = tasks[t].src;
        variable* elem = (src->dictval().begin() + static_cast<std::ptrdiff_t>(tasks[t].next))->second;
        ++tasks[t].next;
        tasks[t].phase = 1;
        variable* dst = tasks[t].dst;
        variable* keycopy = tasks[t].keycopy;
        dst->editdictval().set(keycopy, copyone(elem));
        continue;
      }
      default: {
        variable* src = tasks[t].src;
        variable* dst = tasks[t].dst;
        work.attrs.resize(tasks[t].attrs);
        tasks.pop_back();
        dst->setself(copiesself(src) ? copyone(src->self()) : nullptr);
        continue;
      }
    }
  }
  return result;
}

// getcopy of a record with its out-of-line part.
[[gnu::noinline]] variable* deepcopy(variable* original) {
  if (original->madeattributes().empty() && original->dictval().empty() && !copiesself(original)) {
    variable* c = getallocvar();
    c->assignascopy(*original);
    c->setself(nullptr);
    return c;
  }
  // Nothing a copy runs copies deeply again; if it ever did, that copy
  // would work on its own.
  static CopyWork shared;
  if (shared.busy) {
    CopyWork own;
    return deepcopywith(original, own);
  }
  shared.busy = true;
  struct Done {
    ~Done() {
      shared.clear();
      shared.busy = false;
    }
  } done;
  return deepcopywith(original, shared);
}

}  // namespace

variable* variable::getcopy() {
  if (ext_) return deepcopy(this);
  // Nothing but the fields held inline: a number, a text.
  variable* c = getallocvar();
  copyinline(*c);
  return c;
}

variable* variable::getpointer() {
  variable* p = getallocvar();
  p->identifier = Tag::Pntr;
  initpntrvar(*p);
  p->setpntrval(this);
  return p;
}

bool variable::operator==(const variable& other) const {
  if (identifier != other.identifier) {
    if (isnumber() && other.isnumber()) return getfloat() == other.getfloat();
    return false;
  }
  switch (identifier) {
    case Tag::Int:
    case Tag::Float:
      return getfloat() == other.getfloat();
    case Tag::String:
      return stringval == other.stringval;
    case Tag::List:
      return listval() == other.listval();
    case Tag::Dict:
      return dictval() == other.dictval();
    case Tag::CustomFunc: {
      if (funccode() == other.funccode()) return true;
      if (!funccode() || !other.funccode()) return false;
      return funccode()->bytes == other.funccode()->bytes;
    }
    default:
      return true;
  }
}

std::string floattext(float f) {
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%f", static_cast<double>(f));
  return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

namespace {

[[noreturn]] void unsupported(Tag tag) { error("Unsupported type: " + std::string(tagname(tag)), false); }

std::int32_t texttoint(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(begin, &end, 10);
  if (end == begin) error("Cannot convert \"" + text + "\" to an integer.", false);
  if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
    error("Cannot convert \"" + text + "\" to an integer: out of range.", false);
  return static_cast<std::int32_t>(value);
}

float texttofloat(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  float value = std::strtof(begin, &end);
  if (end == begin) error("Cannot convert \"" + text + "\" to a float.", false);
  if (errno == ERANGE) error("Cannot convert \"" + text + "\" to a float: out of range.", false);
  return value;
}

}  // namespace

std::int32_t floattoint(float f) {
  if (!(f >= -2147483648.0f && f < 2147483648.0f))
    error("Cannot convert float " + floattext(f) + " to an integer.", false);
  return static_cast<std::int32_t>(f);
}

std::int32_t variable::getint() const {
  switch (identifier) {
    case Tag::Int: return intval;
    case Tag::Float: return floattoint(floatval);
    case Tag::String: return texttoint(stringval.str());
    default: unsupported(identifier);
  }
}

float variable::getfloat() const {
  switch (identifier) {
    case Tag::Int: return static_cast<float>(intval);
    case Tag::Float: return floatval;
    case Tag::String: return texttofloat(stringval.str());
    default: unsupported(identifier);
  }
}

namespace {

void scalartext(const variable& v, bool quot, std::string& out) {
  switch (v.identifier) {
    case Tag::String:
      if (quot) out += '"';
      out += v.stringval.view();
      if (quot) out += '"';
      return;
    case Tag::Int:
      out += std::to_string(v.intval);
      return;
    case Tag::Float:
      out += floattext(v.floatval);
      return;
    default:
      out += "None";
      return;
  }
}

bool iscontainer(const variable& v) { return v.identifier == Tag::List || v.identifier == Tag::Dict; }

}  // namespace

std::string variable::getstring(bool quot) const {
  std::string out;
  if (!iscontainer(*this)) {
    scalartext(*this, quot, out);
    return out;
  }
  // Lists and dictionaries nest to any depth: walk them with a work list. A
  // container met again inside itself is written as {L...} or {D...}.
  struct Open {
    const variable* v;
    std::size_t next;  // list: element; dict: twice the entry, plus one for the element
  };
  std::vector<Open> open;
  auto enter = [&](const variable& v) {
    if (v.printing) {
      out += v.identifier == Tag::List ? "{L...}" : "{D...}";
      return;
    }
    out += v.identifier == Tag::List ? "{L" : "{D";
    v.printing = 1;
    open.push_back({&v, 0});
  };
  auto item = [&](const variable* v) {
    if (iscontainer(*v))
      enter(*v);
    else
      scalartext(*v, true, out);
  };
  enter(*this);
  while (!open.empty()) {
    Open& top = open.back();
    const variable& v = *top.v;
    if (v.identifier == Tag::List) {
      if (top.next < v.listval().size()) {
        if (top.next > 0) out += ", ";
        const variable* e = v.listval()[top.next++];
        item(e);
        continue;
      }
    } else {
      if (top.next < 2 * v.dictval().size()) {
        const auto& entry = *(v.dictval().begin() + static_cast<std::ptrdiff_t>(top.next / 2));
        if (top.next % 2 == 0) {
          if (top.next > 0) out += ", ";
          ++top.next;
          item(entry.first);
        } else {
          out += ": ";
          ++top.next;
          item(entry.second);
        }
        continue;
      }
    }
    out += '}';
    v.printing = 0;
    open.pop_back();
  }
  return out;
}

}  // namespace TruvVM
