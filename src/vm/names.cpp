#include "names.hpp"

#include <algorithm>

namespace TruvVM {

Name Interner::intern(std::string_view text) {
  auto it = table_.find(text);
  if (it == table_.end()) return make(text, true);
  Symbol& found = *it->second;
  if (!found.pinned) {
    found.pinned = true;
    --loose_;
  }
  return &found;
}

Name Interner::internloose(std::string_view text) {
  auto it = table_.find(text);
  if (it == table_.end()) return make(text, false);
  return it->second.get();
}

Name Interner::make(std::string_view text, bool pinned) {
  std::uint64_t key = 0;
  for (std::size_t i = 0; i < 8; ++i)
    key = key << 8 | (i < text.size() ? static_cast<unsigned char>(text[i]) : 0u);
  auto sym = std::make_unique<Symbol>(Symbol{std::string(text), ++count_ * 0x9E3779B97F4A7C15ull, key});
  sym->pinned = pinned;
  if (!pinned) ++loose_;
  Name name = sym.get();
  table_.emplace(std::string_view(sym->text), std::move(sym));
  return name;
}

std::size_t Interner::sweep(std::uint8_t mark) {
  if (loose_ == 0) return 0;
  std::size_t freed = 0;
  for (auto it = table_.begin(); it != table_.end();) {
    const Symbol& name = *it->second;
    if (!name.pinned && name.gcmark != mark) {
      it = table_.erase(it);
      ++freed;
    } else {
      ++it;
    }
  }
  loose_ -= freed;
  return freed;
}

void NameMap::growto(std::size_t capacity) {
  shape_ = 0;
  // A table of 2^32 slots would take 64 GiB; no map comes near.
  assert(capacity <= 0x80000000u);
  const std::unique_ptr<Slot[]> old = std::move(slots_);
  const std::size_t oldcap = cap_;
  slots_ = std::make_unique<Slot[]>(capacity);  // every slot free
  cap_ = static_cast<std::uint32_t>(capacity);
  mask_ = cap_ - 1;
  shift_ = static_cast<std::uint8_t>(64 - __builtin_ctzll(capacity));
  const std::size_t mask = mask_;
  for (std::size_t at = 0; at < oldcap; ++at) {
    const Slot& s = old[at];
    if (!s.first) continue;
    std::size_t i = home(s.first);
    while (slots_[i].first) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

void NameMap::erase(Name name) {
  Slot* s = const_cast<Slot*>(find(name));
  if (!s) return;
  shape_ = 0;
  // Backward-shift deletion: later entries of the same probe run move up,
  // so that no lookup stops early at the hole.
  const std::size_t mask = mask_;
  std::size_t hole = static_cast<std::size_t>(s - slots_.get());
  for (std::size_t i = (hole + 1) & mask; slots_[i].first; i = (i + 1) & mask) {
    const std::size_t home = this->home(slots_[i].first);
    // The entry at i may fill the hole when its home is not in (hole, i].
    const bool movable = hole <= i ? (home <= hole || home > i) : (home <= hole && home > i);
    if (movable) {
      slots_[hole] = slots_[i];
      hole = i;
    }
  }
  slots_[hole] = Slot{nullptr, nullptr};
  --size_;
}

void Frame::undoslow(const Undo& u) {
  if (u.existed)
    u.map->set(u.name, u.old);
  else
    u.map->erase(u.name);
}

void Frame::writedeferred() {
  // The list keeps the names whose writes are suspended, and only those.
  ++listing_;
  std::size_t kept = 0;
  for (Name name : deferred_) {
    if (name->deferredgen == suspended_) {
      name->deferredlisting = listing_;
      deferred_[kept++] = name;
      continue;
    }
    // A write ended by a logged write is not made.
    if (name->deferredgen != generation_) continue;
    NameMap& map = *name->deferredmap;
    NameMap::Slot* entry = map.entry(name);
    variable* record = name->deferredrecord;
    logwrite(map, name, entry);
    if (entry)
      entry->second = record;
    else
      map.add(name, record);
  }
  deferred_.resize(kept);
  standing_ = false;
}

void Frame::keeppool() {
  // Gives the recycled maps back when the process ends.
  struct Keeper {
    ~Keeper() {
      while (poolfree_) {
        Shared* s = poolfree_;
        poolfree_ = s->nextfree;
        delete s;
      }
      poolcount_ = 0;
    }
  };
  static Keeper keeper;
}

Frame::Shared* Frame::acquirenew() {
  keeppool();
  return new Shared();
}

void Frame::releasedelete(Shared* s) { delete s; }

void NameMap::appendsorted(std::vector<Slot>& out) const {
  const std::ptrdiff_t from = static_cast<std::ptrdiff_t>(out.size());
  out.insert(out.end(), begin(), end());
  std::sort(out.begin() + from, out.end(),
            [](const Slot& a, const Slot& b) { return Symbol::before(a.first, b.first); });
}

}  // namespace TruvVM
