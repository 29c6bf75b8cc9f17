#pragma once
// Services through which native functions and instructions reach arguments,
// host parameters, names, contexts, lists, dictionaries and pointers. Every
// failure here is reported as raised within a module.

#include <cstdint>
#include <string>
#include <string_view>

#include "machine.hpp"
#include "streams.hpp"
#include "value.hpp"

namespace TruvVM {

// A native function value made by getmodulevar: tag BUILTIN_MODULE.
variable* getmodulevar(mfuncptr function);
// A native function value made in place: tag CUSTOM_FUNC.
variable* makenativefunc(mfuncptr function);
// A native function value with the tag given and a creation sequence number
// taken earlier (Heap::reserveseq).
variable* makenativevalue(Tag tag, mfuncptr function, std::uint64_t seq);

namespace moduleapi {

// Pops the top of the data stack, resolved with getvar.
variable* gettopvar();
inline void gointo(variable* target) { machine->entercontext(target); }
inline void goout() { machine->leavecontext(); }

// v is about to be handed on, and has variable::rootalias set. When it is the
// root's binding of name, which also stands for the frame's copy: binds a
// copy of v in the root with the sequence number that the root's copy was
// given, and returns it; v keeps standing for the frame's copy, which
// nothing has seen. Otherwise returns v. Either way v's flag is cleared.
variable* ownrootbinding(Name name, variable* v);

// The attribute of target; a missing one is created blank with a warning.
variable* getattributeslow(variable* target, Name name);
// readattribute is for a caller that only reads a copy (a shared root binding
// is a plain number, read as a copy); getattribute hands the record on.
// The attribute is looked for first where `hint` says it was found last,
// among the attributes made: one not found there is looked for again, after
// the method values not made yet are made (variable::givemethods).
inline variable* readattribute(variable* target, Name name, std::uint32_t& hint) {
  if (const NameMap::Slot* e = target->madeattributes().entryhinted(name, hint); e && e->second)
    return e->second;
  return getattributeslow(target, name);
}
inline variable* getattribute(variable* target, Name name, std::uint32_t& hint) {
  variable* v = readattribute(target, name, hint);
  if (v->rootalias) [[unlikely]]
    return ownrootbinding(name, v);
  return v;
}
// The same for a caller that keeps no hint.
inline variable* readattribute(variable* target, Name name) {
  std::uint32_t hint = 0;
  return readattribute(target, name, hint);
}
inline variable* getattribute(variable* target, Name name) {
  std::uint32_t hint = 0;
  return getattribute(target, name, hint);
}
variable* getattribute(variable* target, std::string_view name);

// The argument of that name ("arg0", "arg1", ...): its entry, which may be
// an immediate still (getargvalue), or its record (getarg).
StackValue& getargslow(const Args& args, std::string_view name);
inline StackValue& getargvalue(const Args& args, std::string_view name) {
  // "arg0" to "arg9", the names natives ask for, without parsing.
  if (name.size() == 4 && name[0] == 'a' && name[1] == 'r' && name[2] == 'g' && name[3] >= '0' && name[3] <= '9') {
    const std::size_t index = static_cast<std::size_t>(name[3] - '0');
    if (index < args.count) return args.values[index];
  }
  return getargslow(args, name);
}
inline variable* getarg(const Args& args, std::string_view name) {
  return machine->materialize(getargvalue(args, name));
}
// The integer an argument holds, as getint of its record would give. An
// immediate is read without its record: the native keeps nothing, so the
// record would be out of reach at once.
inline std::int32_t getargint(const Args& args, std::string_view name) { return valueint(getargvalue(args, name)); }

// The host stream of an object ("file"); `want` is the direction the caller
// needs, and a stream of the other direction is reported.
[[noreturn]] void fileparamfailed(const ParamSet* params, HostStream::Direction want);
inline HostStream& getfileparam(const ParamSet* params, HostStream::Direction want) {
  if (!params || !params->hasfile || !params->file || params->file->direction() != want)
    fileparamfailed(params, want);
  return *params->file;
}

variable* Lgetindex(const ListVal& list, std::int32_t index);
void Lsetindex(ListVal& list, std::int32_t index, variable* value);
void varconv(variable& target, std::string_view newtype);
inline bool Dcontains(const DictVal& dict, const variable& probe) { return dict.find(probe) != nullptr; }
[[noreturn]] void Dmissing(const variable& probe);
inline variable* Dgetindex(const DictVal& dict, const variable& probe) {
  if (const DictVal::Entry* entry = dict.find(probe)) return entry->second;
  Dmissing(probe);
}
// The same for a probe that is an argument the native only compares: an
// immediate is looked up as the number it holds, and gets no record, since
// nothing keeps it. Out of line, so that a native that looks up a record
// inlines no more than the call.
const DictVal::Entry* Dfindimmediate(const DictVal& dict, const StackValue& probe);
[[noreturn]] void Dmissingimmediate(const StackValue& probe);
inline const DictVal::Entry* Dfind(const DictVal& dict, const StackValue& probe) {
  return probe.rec ? dict.find(*probe.rec) : Dfindimmediate(dict, probe);
}
inline bool Dcontains(const DictVal& dict, const StackValue& probe) { return Dfind(dict, probe) != nullptr; }
inline variable* Dgetindex(const DictVal& dict, const StackValue& probe) {
  if (const DictVal::Entry* entry = Dfind(dict, probe)) return entry->second;
  if (probe.rec) Dmissing(*probe.rec);
  Dmissingimmediate(probe);
}
void Dsetindex(DictVal& dict, variable* key, variable* value);
variable* Duplicatevar(variable* target);
variable& gettargetpntr(variable* pointer);

variable* getframevar(Name name);
// The local of that name: the root's attribute when it has one, else the
// frame's binding, made blank when missing. readlocalvar is for a caller that
// only reads a copy; getlocalvar hands the record on, so a shared root
// binding first gets a record of its own.
// The name's slot is looked for first where it was found last: in the
// root's map at Symbol::rootslot, in the frame's at `hint`.
inline variable* readlocalvar(Machine& m, Name name, std::uint32_t& hint) {
  if (name->mapped)
    if (const NameMap::Slot* e = m.rootattributes->entryhinted(name, name->rootslot); e && e->second)
      return e->second;
  const NameMap::Slot* e = m.databasestack.back().map().entryhinted(name, hint);
  if (e && e->second) return e->second;
  return getframevar(name);
}
// readlocalvar of a local that is bound already; null, with nothing done,
// when it is not.
inline variable* findlocalvar(Machine& m, Name name, std::uint32_t& hint) {
  if (name->mapped)
    if (const NameMap::Slot* e = m.rootattributes->entryhinted(name, name->rootslot); e && e->second)
      return e->second;
  const NameMap::Slot* e = m.databasestack.back().map().entryhinted(name, hint);
  return e ? e->second : nullptr;
}
inline variable* readlocalvar(Name name) {
  std::uint32_t hint = 0;
  return readlocalvar(*machine, name, hint);
}
inline variable* getlocalvar(Name name) {
  variable* v = readlocalvar(name);
  if (v->rootalias) [[unlikely]]
    return ownrootbinding(name, v);
  return v;
}
variable* getglobalvar(Name name);

}  // namespace moduleapi
}  // namespace TruvVM
