#pragma once
// Small helpers shared by the natives of the standard library.

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "vm/machine.hpp"
#include "vm/moduleapi.hpp"
#include "vm/value.hpp"

namespace TruvVM::builtin::support {

// The interned form, in the running machine, of a name the library spells
// out (a literal).
inline Name name(const char* literal) {
  return machine->names.internliteral(literal);
}

// A method table in the order of its names, the order in which a copy makes
// its method values (MethodSet::copied).
template <std::size_t N>
constexpr std::array<MethodSet::Method, N> byname(const MethodSet::Method (&table)[N]) {
  std::array<MethodSet::Method, N> order{};
  std::copy(std::begin(table), std::end(table), order.begin());
  std::sort(order.begin(), order.end(), [](const MethodSet::Method& a, const MethodSet::Method& b) {
    return std::string_view(a.name) < std::string_view(b.name);
  });
  return order;
}

// A new integer record: the form of every count and truth value. A result
// that only goes onto the data stack is pushed with Machine::pushint
// instead, an immediate that stands for the same record.
inline variable* newint(std::int32_t value) {
  variable* v = getallocvar();
  v->identifier = Tag::Int;
  v->intval = value;
  return v;
}

// A method value that no LOADATTR bound arrives without a receiver; there is
// nothing for it to work on, so the call ends the run.
inline variable* receiver(variable* self, const char* message) {
  if (self == nullptr) error(message, true);
  return self;
}

// Whether the sandbox (RunConfig::sandbox) keeps the script from path: only a
// plain name in the working directory is allowed, without a directory
// separator and neither "." nor "..".
inline bool sandboxrefuses(const std::string& path) {
  if (!machine->config.sandbox) return false;
  return path.empty() || path == "." || path == ".." || path.find('/') != std::string::npos;
}

// A console object: a file object of the given mode on a console stream,
// under its own name.
variable* makeconsolefile(const std::string& mode, HostStream* console, VarName name);

}  // namespace TruvVM::builtin::support
