// Pointer methods: "get" reads the target, "set" overwrites it in place so
// that every holder of the target sees the new contents.

#include "vm/builtin.hpp"
#include "vm/builtin/support.hpp"
#include "vm/machine.hpp"
#include "vm/moduleapi.hpp"

namespace TruvVM {

namespace {
// Native function values (the tag getmodulevar gives), made in this order,
// which is also that of their names.
constexpr MethodSet::Method pointermethods[] = {{"get", builtin::pntrget}, {"set", builtin::pntrset}};
static_assert(builtin::support::byname(pointermethods)[0].func == builtin::pntrget);
constexpr MethodSet pointernew{pointermethods, std::size(pointermethods), Tag::BuiltinModule, &pointernew};
}  // namespace

void initpntrvar(variable& target) {
  target.givemethods(pointernew);
}

namespace builtin {

void pntrget(variable* self, const Args&) {
  // A receiver without a target (or no receiver at all) is reported by
  // gettargetpntr.
  variable& target = moduleapi::gettargetpntr(self);
  machine->push(target.getvar());
}

void pntrset(variable* self, const Args& args) {
  // The new contents are read before the target is looked for.
  variable* contents = moduleapi::getarg(args, "arg0")->getvar();
  variable& target = moduleapi::gettargetpntr(self);
  target = *contents;
}

}  // namespace builtin
}  // namespace TruvVM
