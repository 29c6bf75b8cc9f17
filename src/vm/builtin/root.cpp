// The standard objects of the program root.

#include "vm/builtin.hpp"
#include "vm/builtin/support.hpp"
#include "vm/machine.hpp"
#include "vm/moduleapi.hpp"

namespace TruvVM {

void initroot(variable& root) {
  using builtin::support::name;
  variable* out = builtin::support::makeconsolefile("write", machine->consoleout, VarName::Stdout);
  variable* in = builtin::support::makeconsolefile("read", machine->consolein, VarName::Stdin);
  root.attributes.set(name("stdout"), out);
  root.attributes.set(name("stdin"), in);
  root.attributes.set(name("open"), makenativefunc(builtin::openfile));
  root.attributes.set(name("sizeof"), makenativefunc(builtin::sizeoffunc));
  root.attributes.set(name("varconv"), makenativefunc(builtin::varconv));
  root.attributes.set(name("system"), makenativefunc(builtin::execcmd));
  root.attributes.set(name("filesystem"), getfilesys());
}

}  // namespace TruvVM
