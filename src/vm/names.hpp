#pragma once
// Interned names and the name maps of attributes, frames and globals.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace TruvVM {

struct variable;

// A name, interned: two names are equal exactly when their pointers are.
struct Symbol {
  std::string text;
};
using Name = const Symbol*;

class Interner {
 public:
  Name intern(std::string_view text);

 private:
  std::unordered_map<std::string_view, std::unique_ptr<Symbol>> table_;
};

// A map from names to records. Lookups are by interned name; iteration in
// name order (plain byte comparison of the texts) is available where the
// order can be seen.
class NameMap {
 public:
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
  void set(Name name, variable* value);
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void clear() {
    entries_.clear();
    index_.reset();
  }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }
  // Entries sorted by name text.
  std::vector<std::pair<Name, variable*>> sorted() const;

  NameMap() = default;
  NameMap(const NameMap& other) : entries_(other.entries_) {}
  NameMap& operator=(const NameMap& other) {
    if (this != &other) {
      entries_ = other.entries_;
      index_.reset();
    }
    return *this;
  }

 private:
  using Slot = std::pair<Name, variable*>;
  static constexpr std::size_t indexfrom = 12;  // linear search below this size
  const Slot* find(Name name) const;

  std::vector<Slot> entries_;
  mutable std::unique_ptr<std::unordered_map<Name, std::size_t>> index_;
};

// A local frame. Frames are copied on every block entry, so a copy shares the
// map until one of the two is written to.
class Frame {
 public:
  Frame() : map_(std::make_shared<NameMap>()) {}
  explicit Frame(NameMap map) : map_(std::make_shared<NameMap>(std::move(map))) {}

  const NameMap& map() const { return *map_; }
  NameMap& writable() {
    if (map_.use_count() > 1) map_ = std::make_shared<NameMap>(*map_);
    return *map_;
  }
  variable* get(Name name) const { return map_->get(name); }
  bool has(Name name) const { return map_->has(name); }
  void set(Name name, variable* value) { writable().set(name, value); }

 private:
  std::shared_ptr<NameMap> map_;
};

}  // namespace TruvVM
