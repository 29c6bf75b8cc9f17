// The file-system module: exists, isdir, delete, createdir, listdir and cd,
// each on the path given as the text of its one argument.

#include <filesystem>
#include <string>
#include <system_error>

#include "vm/builtin.hpp"
#include "vm/builtin/support.hpp"
#include "vm/machine.hpp"
#include "vm/moduleapi.hpp"

namespace TruvVM {

namespace fs = std::filesystem;

namespace {

// A refusal of the file system ends the run, naming the operation (by its
// attribute name), the path and the host's reason.
[[noreturn]] void refused(const char* op, const std::string& path, const std::error_code& ec) {
  error(std::string(op) + " failed on \"" + path + "\": " + ec.message(), true);
}

// The path argument of op, as text; a path that the sandbox refuses is
// refused as by the host.
std::string patharg(const char* op, const Args& args) {
  std::string path = moduleapi::getarg(args, "arg0")->getstring(false);
  if (builtin::support::sandboxrefuses(path)) refused(op, path, std::make_error_code(std::errc::permission_denied));
  return path;
}

// The status of path, following symbolic links. A path that names nothing
// (or runs through a file) is a known status, not a refusal.
fs::file_status statusof(const char* op, const std::string& path) {
  std::error_code ec;
  fs::file_status s = fs::status(fs::path(path), ec);
  if (!fs::status_known(s)) refused(op, path, ec);
  return s;
}

}  // namespace

variable* getfilesys() {
  variable* module = getallocvar();
  module->identifier = Tag::BuiltinClass;
  module->name = VarName::Filesystem;
  struct Function {
    const char* name;
    mfuncptr func;
  };
  static constexpr Function functions[] = {
      {"exists", builtin::Fexists},       {"isdir", builtin::Fisdir},     {"delete", builtin::Fdelete},
      {"createdir", builtin::Fcreatedir}, {"listdir", builtin::Flistdir}, {"cd", builtin::Fcd},
  };
  for (const Function& f : functions)
    module->editattributes().set(builtin::support::name(f.name), getmodulevar(f.func));
  return module;
}

namespace builtin {

void Fexists(variable*, const Args& args) {
  std::string path = patharg("exists", args);
  fs::file_status s = statusof("exists", path);
  machine->pushint(fs::exists(s) ? 1 : 0);
}

void Fisdir(variable*, const Args& args) {
  std::string path = patharg("isdir", args);
  fs::file_status s = statusof("isdir", path);
  machine->pushint(fs::is_directory(s) ? 1 : 0);
}

void Fdelete(variable*, const Args& args) {
  std::string path = patharg("delete", args);
  std::error_code ec;
  // A path that names nothing is left alone without complaint.
  fs::remove(fs::path(path), ec);
  if (ec) refused("delete", path, ec);
}

void Fcreatedir(variable*, const Args& args) {
  std::string path = patharg("createdir", args);
  std::error_code ec;
  // An existing directory is not a refusal; an existing file is.
  fs::create_directory(fs::path(path), ec);
  if (ec) refused("createdir", path, ec);
}

void Flistdir(variable*, const Args& args) {
  std::string path = patharg("listdir", args);
  variable* result = getallocvar();
  result->identifier = Tag::List;
  initlistvar(*result);
  std::error_code ec;
  fs::directory_iterator it(fs::path(path), ec);
  if (ec) refused("listdir", path, ec);
  // The entries come in the order the host yields them, names only.
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    variable* entry = getallocvar();
    entry->identifier = Tag::String;
    entry->stringval = it->path().filename().string();
    result->editlistval().push_back(entry);
  }
  if (ec) refused("listdir", path, ec);
  machine->push(result);
}

void Fcd(variable*, const Args& args) {
  std::string path = patharg("cd", args);
  // The working directory belongs to the host process, not to a sandboxed script.
  if (machine->config.sandbox) refused("cd", path, std::make_error_code(std::errc::permission_denied));
  std::error_code ec;
  fs::current_path(fs::path(path), ec);
  if (ec) refused("cd", path, ec);
}

}  // namespace builtin
}  // namespace TruvVM
