#include "machine.hpp"

#include <algorithm>
#include <ostream>
#include <unordered_set>

#include "builtin.hpp"
#include "moduleapi.hpp"

namespace TruvVM {

Machine* machine = nullptr;

Machine::Machine(const RunConfig& cfg) : config(cfg), callshapes_(std::uint64_t{++machines_ & 0xFFFF} << 48) {
  consoleout = adopt(HostStream::console(*config.out));
  consolein = adopt(HostStream::console(*config.in));
  sym_self = names.intern("self");
  // A call binds "self" and its arguments in a fresh frame. Names interned
  // one after another get homes far apart in a small table, so these, taken
  // right after "self", all land in their home slots in the frame of a call
  // with up to four arguments.
  argnameslow(3);
  sym_element = names.intern("ELEMENT");
  sym_progroot = names.intern("progroot");
  emptycode_ = std::make_unique<Code>();
  growargs(1);
  heap.setwake(&countdown_, gcrecords_);
  setbytebudget(0, 0);
  if (config.exitafterrun) heap.abandon();
}

Machine::~Machine() {
  // Borrowed frames give their writes back newest first.
  while (!databasestack.empty()) databasestack.pop_back();
  Frame::forgetshapes();
  // Nothing paces the bytes made after this machine.
  hostbytes::left = SIZE_MAX;
}

Name Machine::argnameslow(std::size_t i) {
  while (argnames_.size() <= i) argnames_.push_back(names.intern("arg" + std::to_string(argnames_.size())));
  return argnames_[i];
}

void Machine::growdata() { datastack.reserve(datastack.capacity() < 16 ? 32 : datastack.capacity() * 2); }

void Machine::settlereads(const variable* v) {
  // Every pending copy from the lowest one up is made, not only v's: a
  // copy of a record that is not changing holds what a copy made now would,
  // and leaving it pending would make every later change look at the whole
  // stack above it again. A deep stack over one old pending entry then
  // made repeated changes quadratic. Made at once, each pending entry costs
  // one look, and the next change looks at the entries pushed since.
  for (std::size_t i = std::min(pendinglow_ / sizeof(StackValue), datastack.size()); i < datastack.size(); ++i) {
    StackValue& entry = datastack[i];
    if (entry.pending()) entry.rec = makepending(entry);
  }
  pendinglow_ = SIZE_MAX;
  // The arguments of the native that is running, if one is; those of one
  // that has run are never read again. The buffer is as long as the longest
  // call's arguments, which one wide call would otherwise make every later
  // change of a text pay for.
  for (std::size_t i = 0; i < argsinuse_; ++i) {
    StackValue& entry = argvalues_[i];
    if (entry.rec == v && entry.pending()) entry.rec = makepending(entry);
  }
}

void Machine::growargs(std::size_t count) {
  const std::size_t room = std::max(count, std::max<std::size_t>(8, argroom_ * 2));
  argvalues_ = std::make_unique<StackValue[]>(room);
  argroom_ = room;
}

Code* Machine::newcode(std::vector<byte> bytes) {
  auto code = std::make_unique<Code>();
  code->bytes = std::move(bytes);
  codes.push_back(std::move(code));
  return codes.back().get();
}

ParamSet* Machine::newparams() {
  params.push_back(std::make_unique<ParamSet>());
  return params.back().get();
}

HostStream* Machine::adopt(std::unique_ptr<HostStream> stream) {
  streams.push_back(std::move(stream));
  return streams.back().get();
}

void Machine::sweepparams(std::uint8_t epoch, bool major) {
  // Sets and streams are appended as they are made, and each stream belongs
  // to one set, made just before it. A minor collection looks only at those
  // made since the last collection: one made earlier that is still held
  // only by old records can lose them only in a major collection.
  const auto since = [](auto& all, std::size_t seen) {
    return all.begin() + static_cast<std::ptrdiff_t>(std::min(seen, all.size()));
  };
  auto from = major ? params.begin() : since(params, paramsswept_);
  std::unordered_set<const HostStream*> freed;
  params.erase(std::remove_if(from, params.end(),
                              [&](const std::unique_ptr<ParamSet>& p) {
                                if (p->gcmark == epoch) return false;
                                if (p->file) {
                                  // The consoles' streams are never idle.
                                  if (!p->file->idle()) return false;
                                  freed.insert(p->file);
                                }
                                return true;
                              }),
               params.end());
  if (!freed.empty()) {
    auto first = major ? streams.begin() : since(streams, streamsswept_);
    const auto isfreed = [&](const std::unique_ptr<HostStream>& s) { return freed.contains(s.get()); };
    streams.erase(std::remove_if(first, streams.end(), isfreed), streams.end());
  }
  paramsswept_ = params.size();
  streamsswept_ = streams.size();
}

void Machine::diagnostic(const std::string& text) {
  consoleout->flush();
  config.err->write(text.data(), static_cast<std::streamsize>(text.size()));
  config.err->flush();
}

void Machine::flushall() {
  for (auto& s : streams) s->flush();
}

void Machine::load(std::span<const byte> program) {
  Code* code = newcode(std::vector<byte>(program.begin(), program.end()));
  // The program's entry is the bottom one, and leaving it ends the run. It
  // carries a block run that continues nothing (that of an IF) so that it
  // is never left as a plain entry, which has an entry below it.
  auto bottom = std::make_unique<BlockRun>();
  codestack.emplace_back(code, nullptr, std::move(bottom));
}

void Machine::init() {
  databasestack.emplace_back();
  progroot = getallocvar();
  progroot->identifier = Tag::BuiltinFunc;
  progroot->name = VarName::ProgramRoot;
  // The root's code is the program with its first byte on top; a call runs a
  // function's code from the bottom up, so calling the root runs the program
  // from its last byte to its first.
  const Code& program = *codestack.back().code;
  if (program.size() > 0) progroot->setfunccode(newcode(std::vector<byte>(program.bytes.rbegin(), program.bytes.rend())));
  callstack.push_back(progroot);
  codestack.back().traced = progroot;
  globalvars.set(sym_progroot, progroot);
  initroot(*progroot);
  rootattributes = &progroot->attributes();
}

void Machine::checkstacks() {
  if (callstack.empty() || databasestack.empty())
    integritycheck();
  else
    stackcheck = false;
}

void Machine::integritycheck() {
  if (codestack.empty()) error("\nVM panic!\nCodestack size = 0, this is not supposed to happen.      \n", false);
  if (callstack.empty())
    error("\nVM panic!\nCallstack size = 0, did you go out of root?                \n", false);
  if (databasestack.empty())
    error("\nVM panic!\nDatabasestack size = 0, did you go out of root?                \n", false);
  if (calltrace().empty())
    diagnostic(
        "-----------------------------\nCalltrace stack size is 0.\nThe vm will keep running tho.\n"
        "This is just a warning.\n-----------------------------\n");
}

std::vector<variable*> Machine::calltrace() const {
  std::vector<variable*> trace;
  trace.reserve(codestack.size() + 1);
  for (const CodeEntry& e : codestack)
    if (e.traced) trace.push_back(e.traced);
  if (tracetop) trace.push_back(tracetop);
  return trace;
}

void Machine::exitoutoffunc(bool repeat) {
  if (!codestack.back().block) {
    leaveplainentry();
    return;
  }
  if (codestack.size() == 1) exitprogram();
  if (repeat && repeatinplace(codestack.back())) return;
  std::unique_ptr<BlockRun> run = std::move(codestack.back().block);
  codestack.pop_back();
  popframe();
  if (run) continueblock(std::move(run));
}

void Machine::exitprogram() {
  if (!silent) {
    consoleout->write("\n");
    consoleout->flush();
    if (!datastack.empty() && datastack.back().identifier() == Tag::Int) {
      const StackValue& top = datastack.back();
      const std::int32_t code = top.rec ? top.rec->intval : top.intval();
      consoleout->write("<TRUV 4> Program finished with code " + std::to_string(code) + "\n");
    } else {
      consoleout->write("<TRUV 4> Program finished.\n");
    }
    consoleout->flush();
  }
  throw RunEnd{0};
}

void Machine::needfailed(std::uint8_t op, std::size_t count) {
  error(std::string(info(op).mnemonic) + " needs " + std::to_string(count) + (count == 1 ? " value" : " values") +
            " on the data stack, found " + std::to_string(datastack.size()) + ".",
        false);
}

}  // namespace TruvVM
