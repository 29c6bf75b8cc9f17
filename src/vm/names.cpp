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

const NameMap::Slot* NameMap::find(Name name) const {
  if (entries_.size() < indexfrom) {
    for (const Slot& s : entries_)
      if (s.first == name) return &s;
    return nullptr;
  }
  if (!index_) {
    index_ = std::make_unique<std::unordered_map<Name, std::size_t>>();
    index_->reserve(entries_.size() * 2);
    for (std::size_t i = 0; i < entries_.size(); ++i) index_->emplace(entries_[i].first, i);
  }
  auto it = index_->find(name);
  return it == index_->end() ? nullptr : &entries_[it->second];
}

void NameMap::set(Name name, variable* value) {
  if (variable** s = slot(name)) {
    *s = value;
    return;
  }
  entries_.emplace_back(name, value);
  if (index_) index_->emplace(name, entries_.size() - 1);
}

std::vector<std::pair<Name, variable*>> NameMap::sorted() const {
  std::vector<std::pair<Name, variable*>> out(entries_.begin(), entries_.end());
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first->text < b.first->text; });
  return out;
}

}  // namespace TruvVM
