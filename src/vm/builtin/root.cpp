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
  root.editattributes().set(name("stdout"), out);
  root.editattributes().set(name("stdin"), in);
  root.editattributes().set(name("open"), makenativefunc(builtin::openfile));
  root.editattributes().set(name("sizeof"), makenativefunc(builtin::sizeoffunc));
  root.editattributes().set(name("varconv"), makenativefunc(builtin::varconv));
  root.editattributes().set(name("system"), makenativefunc(builtin::execcmd));
  root.editattributes().set(name("filesystem"), getfilesys());
}

}  // namespace TruvVM
