#include "moduleapi.hpp"

#include <charconv>

namespace TruvVM {

variable* makenativevalue(Tag tag, mfuncptr function, std::uint64_t seq) {
  variable* v = machine->heap.alloc(seq);
  v->identifier = tag;
  v->ismodule = true;
  v->setmodulefunc(function);
  return v;
}

variable* getmodulevar(mfuncptr function) {
  return makenativevalue(Tag::BuiltinModule, function, machine->heap.reserveseq());
}

variable* makenativefunc(mfuncptr function) {
  return makenativevalue(Tag::CustomFunc, function, machine->heap.reserveseq());
}

namespace moduleapi {

variable* gettopvar() {
  Machine& m = *machine;
  if (m.datastack.empty()) error("The data stack is empty.", true);
  variable* v = m.storedcopy(m.datastack.back());
  m.datastack.pop_back();
  return v;
}

variable* ownrootbinding(Name name, variable* v) {
  Machine& m = *machine;
  const bool root = v->rootalias == variable::rootbinding;
  v->rootalias = 0;
  // An argument's record, or one found in another map, is no root binding:
  // it is then the record that map holds.
  if (!root || m.progroot->attributes().get(name) != v) return v;
  variable* own = m.heap.alloc(v->seq + 1);
  *own = *v;
  m.progroot->editattributes().set(name, own);
  return own;
}

variable* getattributeslow(variable* target, Name name) {
  if (variable* v = target->attributes().get(name)) return v;
  variable* v = getallocvar();
  target->editattributes().set(name, v);
  machine->diagnostic("Thats not supposed to happen??" + name->text + "\n");
  return v;
}

variable* getattribute(variable* target, std::string_view name) {
  return getattribute(target, machine->names.intern(name));
}

StackValue& getargslow(const Args& args, std::string_view name) {
  if (name.size() > 3 && name.substr(0, 3) == "arg" && (name[3] != '0' || name.size() == 4)) {
    std::size_t index = 0;
    auto [end, ec] = std::from_chars(name.data() + 3, name.data() + name.size(), index);
    if (ec == std::errc() && end == name.data() + name.size() && index < args.count)
      return args.values[index];
  }
  error("No such arg: " + std::string(name), true);
}

void fileparamfailed(const ParamSet* params, HostStream::Direction want) {
  if (!params || !params->hasfile || !params->file) error("No such param: file", true);
  error(want == HostStream::Direction::Output ? "Cannot write to a stream opened for reading."
                                              : "Cannot read from a stream opened for writing.",
        true);
}

namespace {

bool outofbounds(const ListVal& list, std::int32_t index) {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(index)) >= list.size();
}

}  // namespace

variable* Lgetindex(const ListVal& list, std::int32_t index) {
  if (outofbounds(list, index))
    error("Out of bounds. Tried getting index " + std::to_string(index) + " at list with length of " +
              std::to_string(list.size()),
          true);
  return list[static_cast<std::size_t>(index)];
}

void Lsetindex(ListVal& list, std::int32_t index, variable* value) {
  if (outofbounds(list, index))
    error("Out of bounds. Tried setting index " + std::to_string(index) + " at list with length of " +
              std::to_string(list.size()),
          true);
  list[static_cast<std::size_t>(index)] = value;
}

void varconv(variable& target, std::string_view newtype) {
  target.changing();
  if (newtype == "BUILTIN_STRING") {
    std::string text = target.getstring(false);
    target.identifier = Tag::String;
    target.stringval = text;
  } else if (newtype == "BUILTIN_INT") {
    const std::int32_t value = target.getint();
    target.identifier = Tag::Int;
    target.intval = value;
  } else if (newtype == "BUILTIN_FLOAT") {
    const float value = target.getfloat();
    target.identifier = Tag::Float;
    target.floatval = value;
  } else {
    error("Unsupported convert type: " + std::string(newtype), true);
  }
}

void Dmissing(const variable& probe) { error("Dict does not contain key: " + probe.getstring(false), true); }

// The record an immediate would get holds nothing but its number, so a
// record of the same contents on the native stack compares the same.
const DictVal::Entry* Dfindimmediate(const DictVal& dict, const StackValue& probe) {
  variable number;
  probe.fillnumber(number);
  return dict.find(number);
}

void Dmissingimmediate(const StackValue& probe) {
  variable number;
  probe.fillnumber(number);
  Dmissing(number);
}

void Dsetindex(DictVal& dict, variable* key, variable* value) { dict.set(key, value); }

variable* Duplicatevar(variable* target) {
  variable* v = getallocvar();
  *v = *target;
  return v;
}

variable& gettargetpntr(variable* pointer) {
  if (!pointer || !pointer->pntrval()) error("Attempted to get pointer target even tho it is not defined.", true);
  return *pointer->pntrval();
}

variable* getframevar(Name name) {
  Machine& m = *machine;
  Frame& frame = m.databasestack.back();
  variable* const* slot = frame.map().slot(name);
  if (slot && *slot) return *slot;
  // Missing, or a frame's "self" when the function had no bound object: a
  // blank record; a missing local of the root's context is the root's too.
  variable* v = getallocvar();
  frame.set(name, v);
  if (!slot && m.callstack.size() <= 1) m.progroot->editattributes().set(name, v);
  return v;
}

variable* getglobalvar(Name name) {
  Machine& m = *machine;
  if (variable* v = m.globalvars.get(name)) return v;
  variable* v = getallocvar();
  m.globalvars.set(name, v);
  return v;
}

}  // namespace moduleapi
}  // namespace TruvVM
