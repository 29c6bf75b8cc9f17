// File objects: the console objects and the objects that "open" returns. A
// file object's stream is a host parameter; its methods depend on the mode it
// was made with.

#include <charconv>
#include <string>

#include "vm/builtin.hpp"
#include "vm/builtin/support.hpp"
#include "vm/machine.hpp"
#include "vm/moduleapi.hpp"
#include "vm/streams.hpp"

namespace TruvVM {

namespace {

constexpr const char* noreceiver = "File method called without a receiver.";

// Builds a file object for mode and keeps its parameter set writable, so
// that the maker can attach the stream afterwards.
variable* makefile(const std::string& mode, ParamSet*& params) {
  variable* object = getallocvar();
  params = machine->newparams();
  params->type = mode;
  object->setmoduleparams(params);
  object->identifier = Tag::CustomClass;
  object->name = VarName::File;
  using namespace builtin;
  if (mode == "write") {
    object->editattributes().set(support::name("write"), makenativefunc(writefile));
  } else if (mode == "read") {
    object->editattributes().set(support::name("read"), makenativefunc(readfile));
    object->editattributes().set(support::name("getline"), makenativefunc(getlinefile));
  }
  object->editattributes().set(support::name("close"), makenativefunc(closefile));
  return object;
}

HostStream& stream(variable* self, HostStream::Direction want) {
  const variable* object = builtin::support::receiver(self, noreceiver);
  HostStream& s = moduleapi::getfileparam(object->moduleparams(), want);
  // A prompt written to the console must be visible before the console is
  // read.
  if (want == HostStream::Direction::Input && s.isconsole()) machine->consoleout->flush();
  return s;
}

void writeint(HostStream& out, std::int32_t value) {
  char digits[16];  // room for any 32-bit integer
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.write(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

}  // namespace

variable* initfile(const std::string& mode) {
  ParamSet* params = nullptr;
  return makefile(mode, params);
}

namespace builtin {

variable* support::makeconsolefile(const std::string& mode, HostStream* console, VarName name) {
  ParamSet* params = nullptr;
  variable* object = makefile(mode, params);
  params->hasfile = true;
  params->file = console;
  object->name = name;
  return object;
}

void openfile(variable*, const Args& args) {
  // The mode is read before the path.
  std::string mode = moduleapi::getarg(args, "arg1")->getstring(false);
  std::string path = moduleapi::getarg(args, "arg0")->getstring(false);
  // A path the sandbox refuses is opened as one that does not exist.
  if (support::sandboxrefuses(path)) path.clear();
  ParamSet* params = nullptr;
  variable* object = makefile(mode, params);
  // A file that cannot be opened still gives a file object; its stream is in
  // a failed state, so writes are dropped and reads find the end of input.
  if (mode == "write") {
    params->hasfile = true;
    params->file = machine->adopt(HostStream::openwrite(path));
  } else if (mode == "read") {
    params->hasfile = true;
    params->file = machine->adopt(HostStream::openread(path));
  }
  machine->push(object);
}

void writefile(variable* self, const Args& args) {
  // The stream is looked up before the argument.
  HostStream& out = stream(self, HostStream::Direction::Output);
  // Strings and integers, the common cases, are written without building
  // their text first; an integer still without its record gets none, since
  // nothing keeps it.
  StackValue& arg = moduleapi::getargvalue(args, "arg0");
  if (arg.immediate() && arg.tag == Tag::Int) {
    writeint(out, arg.intval());
    return;
  }
  // Only read: a text read just before is written from the record it was
  // read from.
  const variable* value = arg.rec ? arg.rec : machine->materialize(arg);
  if (value->identifier == Tag::String) {
    out.write(value->stringval.view());
    return;
  }
  if (value->identifier == Tag::Int) {
    writeint(out, value->intval);
    return;
  }
  out.write(value->getstring(false));
}

void readfile(variable* self, const Args&) {
  variable* result = getallocvar();
  result->identifier = Tag::String;
  HostStream& in = stream(self, HostStream::Direction::Input);
  // Every line, the last one included, ends with exactly one line break.
  std::string text, line;
  while (in.getline(line)) {
    text += line;
    text += '\n';
  }
  result->stringval = text;
  machine->push(result);
}

void getlinefile(variable* self, const Args&) {
  variable* result = getallocvar();
  result->identifier = Tag::String;
  HostStream& in = stream(self, HostStream::Direction::Input);
  // At the end of input the text stays empty.
  std::string line;
  in.getline(line);
  result->stringval = line;
  machine->push(result);
}

void closefile(variable* self, const Args&) {
  const variable* object = support::receiver(self, noreceiver);
  const ParamSet* params = object->moduleparams();
  if (params == nullptr || !params->hasfile || params->file == nullptr) error("No such param: file", true);
  // A console stream is only flushed and stays usable.
  params->file->close();
}

}  // namespace builtin
}  // namespace TruvVM
