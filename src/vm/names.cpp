#include "names.hpp"

#include <algorithm>

namespace TruvVM {

Name Interner::intern(std::string_view text) {
  auto it = table_.find(text);
  if (it != table_.end()) return it->second.get();
  auto sym = std::make_unique<Symbol>(Symbol{std::string(text)});
  Name name = sym.get();
  table_.emplace(std::string_view(sym->text), std::move(sym));
  return name;
}

void NameMap::grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 8 : old.size() * 2, Slot{nullptr, nullptr});
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (!s.first) continue;
    std::size_t i = hash(s.first) & mask;
    while (slots_[i].first) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

void NameMap::insert(Name name, variable* value) {
  // Keep at least a quarter of the slots free, so that probes stay short.
  if ((size_ + 1) * 4 > slots_.size() * 3) grow();
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = hash(name) & mask;
  while (slots_[i].first) i = (i + 1) & mask;
  slots_[i] = Slot{name, value};
  ++size_;
}

// Recycled frame maps, emptied but keeping their slot storage. The pool keeps
// at most so many; a deeper recursion gives the rest back.
struct Frame::Pool {
  static constexpr std::size_t cap = 4096;
  Shared* free = nullptr;
  std::size_t count = 0;
  ~Pool() {
    while (free) {
      Shared* s = free;
      free = s->nextfree;
      delete s;
    }
  }
  static Pool& get() {
    static Pool pool;
    return pool;
  }
};

Frame::Shared* Frame::acquire() {
  Pool& pool = Pool::get();
  if (!pool.free) return new Shared();
  Shared* s = pool.free;
  pool.free = s->nextfree;
  --pool.count;
  s->refs = 1;
  s->nextfree = nullptr;
  return s;
}

void Frame::release(Shared* s) {
  Pool& pool = Pool::get();
  if (pool.count >= Pool::cap) {
    delete s;
    return;
  }
  s->map.clear();
  s->nextfree = pool.free;
  pool.free = s;
  ++pool.count;
}

std::vector<NameMap::Slot> NameMap::sorted() const {
  std::vector<Slot> out(begin(), end());
  std::sort(out.begin(), out.end(), [](const Slot& a, const Slot& b) { return a.first->text < b.first->text; });
  return out;
}

}  // namespace TruvVM
