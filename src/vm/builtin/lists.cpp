// List methods: every list carries get, set, append, contains, find and
// remove, each working on the elements of the list it was fetched from.

#include <algorithm>
#include <cstdint>
#include <string>

#include "vm/builtin.hpp"
#include "vm/builtin/support.hpp"
#include "vm/machine.hpp"
#include "vm/moduleapi.hpp"

namespace TruvVM {

namespace {
constexpr const char* noreceiver = "List method called without a receiver.";

// One new method value per entry, made in this order.
constexpr MethodSet::Method listmethods[] = {
    {"get", builtin::Lgetatindex},    {"set", builtin::Lsetatindex}, {"append", builtin::Lappend},
    {"contains", builtin::Lcontains}, {"find", builtin::Lfind},      {"remove", builtin::Lerase},
};
constexpr auto listmethodsbyname = builtin::support::byname(listmethods);
constexpr MethodSet listcopy{listmethodsbyname.data(), std::size(listmethods), Tag::CustomFunc, &listcopy};
constexpr MethodSet listnew{listmethods, std::size(listmethods), Tag::CustomFunc, &listcopy};
}  // namespace

void initlistvar(variable& target) {
  target.givemethods(listnew);
}

void initlistvarascopy(variable& target) {
  target.givemethods(listcopy);
}

namespace builtin {

using support::receiver;

void Lgetatindex(variable* self, const Args& args) {
  std::int32_t index = moduleapi::getargint(args, "arg0");
  variable* list = receiver(self, noreceiver);
  machine->push(moduleapi::Lgetindex(list->listval(), index));
}

void Lsetatindex(variable* self, const Args& args) {
  // The new element is read before the index.
  variable* element = moduleapi::getarg(args, "arg1");
  std::int32_t index = moduleapi::getargint(args, "arg0");
  variable* list = receiver(self, noreceiver);
  moduleapi::Lsetindex(list->editlistval(element), index, element);
}

namespace {
[[gnu::noinline]] void appendslow(variable* self, const Args& args) {
  variable* element = moduleapi::getarg(args, "arg0");
  receiver(self, noreceiver)->appendlistval(element);
}
}  // namespace

// The usual append, to a list that has room, of an argument whose record the
// heap's current word can take, calls nothing but the barrier, last; the
// rest goes the general way. The fast way does nothing the general way would
// not do first (it materializes the argument only when it appends it).
void Lappend(variable* self, const Args& args) {
  if (self && args.count != 0) [[likely]]
    if (ListVal* list = self->listappendroom()) [[likely]]
      if (variable* element = machine->materializeinline(args.values[0])) [[likely]] {
        list->push_back(element);
        self->appendedlistval(element);
        return;
      }
  appendslow(self, args);
}

void Lcontains(variable* self, const Args& args) {
  variable* sought = moduleapi::getarg(args, "arg0");
  const ListVal& list = receiver(self, noreceiver)->listval();
  bool found = std::find(list.begin(), list.end(), sought) != list.end();
  machine->pushint(found ? 1 : 0);
}

void Lfind(variable* self, const Args& args) {
  const ListVal& list = receiver(self, noreceiver)->listval();
  std::int32_t at = -1;
  // The argument is read for each position, so an empty list reads none.
  for (std::size_t i = 0; i < list.size(); ++i) {
    const variable* sought = moduleapi::getarg(args, "arg0");
    if (*list[i] == *sought) {
      at = static_cast<std::int32_t>(i);
      break;
    }
  }
  machine->pushint(at);
}

void Lerase(variable* self, const Args& args) {
  // The index is the integer field as it stands, without conversion.
  std::int32_t index = moduleapi::getarg(args, "arg0")->intval;
  ListVal& list = receiver(self, noreceiver)->editlistval();
  // A negative index compares as a very large one.
  auto wide = static_cast<std::uint64_t>(static_cast<std::int64_t>(index));
  if (wide >= list.size())
    error("Out of bounds. Tried erasing lement at index: " + std::to_string(index) +
              " even tho length is: " + std::to_string(list.size()),
          true);
  list.erase(list.begin() + static_cast<std::ptrdiff_t>(wide));
}

void Lreverse(variable* self, const Args&) {
  ListVal& list = receiver(self, noreceiver)->editlistval();
  std::reverse(list.begin(), list.end());
}

}  // namespace builtin
}  // namespace TruvVM
