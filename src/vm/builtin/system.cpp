// Conversion and system functions of the root: sizeof, varconv and system.

#include <sys/resource.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "vm/builtin.hpp"
#include "vm/builtin/support.hpp"
#include "vm/machine.hpp"
#include "vm/moduleapi.hpp"

namespace TruvVM::builtin {

void sizeoffunc(variable*, const Args& args) {
  const variable* target = moduleapi::getarg(args, "arg0");
  variable* result = support::newint(0);
  std::size_t size = 0;
  switch (target->identifier) {
    case Tag::String:
      size = target->stringval.size();
      break;
    case Tag::List:
      size = target->listval().size();
      break;
    case Tag::Dict:
      size = target->dictval().size();
      break;
    default:
      error("Can't get size of target with identifier: " + std::string(tagname(target->identifier)), true);
  }
  result->intval = static_cast<std::int32_t>(size);
  machine->push(result);
}

void varconv(variable*, const Args& args) {
  std::string type = moduleapi::getarg(args, "arg0")->getstring(false);
  variable* target = moduleapi::getarg(args, "arg1");
  // The argument itself is converted, so a value handed out by reference
  // (a list element, say) changes where it lives.
  moduleapi::varconv(*target, type);
}

void execcmd(variable*, const Args& args) {
  variable* result = support::newint(0);
  std::string command = moduleapi::getarg(args, "arg0")->getstring(false);
  // What the script wrote comes before what the command writes.
  machine->consoleout->flush();
  // In the sandbox no command runs; the result is what the host gives when it
  // cannot start one.
  if (machine->config.sandbox) {
    result->intval = -1;
    machine->push(result);
    return;
  }
  // The host's status is kept as it is, whatever it means there. The
  // command gets the address-space limit the process had before the machine
  // lowered its own.
  struct rlimit own;
  const bool restore = machine->config.hostaddresslimit != 0 && getrlimit(RLIMIT_AS, &own) == 0;
  if (restore) {
    struct rlimit host = own;
    host.rlim_cur = machine->config.hostaddresslimit == UINT64_MAX ? RLIM_INFINITY
                                                                    : static_cast<rlim_t>(machine->config.hostaddresslimit);
    setrlimit(RLIMIT_AS, &host);
  }
  result->intval = std::system(command.c_str());
  if (restore) setrlimit(RLIMIT_AS, &own);
  machine->push(result);
}

}  // namespace TruvVM::builtin
