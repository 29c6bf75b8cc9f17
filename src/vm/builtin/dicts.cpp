// Dictionary methods: get, set, contains, keys and values. Entries are placed
// by the identity of the key record and looked up by equal contents.

#include "vm/builtin.hpp"
#include "vm/builtin/support.hpp"
#include "vm/machine.hpp"
#include "vm/moduleapi.hpp"

namespace TruvVM {

namespace {

constexpr const char* noreceiver = "Dict method called without a receiver.";

// A new list holding a one-level duplicate of each key (or each value), in
// the dictionary's order.
variable* duplicates(const DictVal& dict, bool keys) {
  variable* result = getallocvar();
  result->identifier = Tag::List;
  initlistvar(*result);
  result->editlistval().reserve(dict.size());
  for (const auto& [key, value] : dict)
    result->editlistval().push_back(moduleapi::Duplicatevar(keys ? key : value));
  return result;
}

// One new method value per entry, made in this order.
constexpr MethodSet::Method dictmethods[] = {
    {"get", builtin::Dgetindex}, {"set", builtin::Dsetindex},     {"contains", builtin::Dcontains},
    {"keys", builtin::Dgetkeys}, {"values", builtin::Dgetvalues},
};
constexpr auto dictmethodsbyname = builtin::support::byname(dictmethods);
constexpr MethodSet dictcopy{dictmethodsbyname.data(), std::size(dictmethods), Tag::CustomFunc, &dictcopy};
constexpr MethodSet dictnew{dictmethods, std::size(dictmethods), Tag::CustomFunc, &dictcopy};

}  // namespace

void initdictvar(variable& target) {
  target.givemethods(dictnew);
}

void initdictvarascopy(variable& target) {
  target.givemethods(dictcopy);
}

namespace builtin {

using support::receiver;

void Dgetindex(variable* self, const Args& args) {
  // The key is only compared: an immediate gets no record.
  const StackValue& key = moduleapi::getargvalue(args, "arg0");
  variable* dict = receiver(self, noreceiver);
  machine->push(moduleapi::Dgetindex(dict->dictval(), key));
}

void Dsetindex(variable* self, const Args& args) {
  // The value is read before the key.
  variable* value = moduleapi::getarg(args, "arg1");
  variable* key = moduleapi::getarg(args, "arg0");
  moduleapi::Dsetindex(receiver(self, noreceiver)->editdictval(key, value), key, value);
}

void Dcontains(variable* self, const Args& args) {
  const StackValue& key = moduleapi::getargvalue(args, "arg0");
  bool found = moduleapi::Dcontains(receiver(self, noreceiver)->dictval(), key);
  machine->pushint(found ? 1 : 0);
}

void Dgetkeys(variable* self, const Args&) {
  machine->push(duplicates(receiver(self, noreceiver)->dictval(), true));
}

void Dgetvalues(variable* self, const Args&) {
  machine->push(duplicates(receiver(self, noreceiver)->dictval(), false));
}

}  // namespace builtin
}  // namespace TruvVM
