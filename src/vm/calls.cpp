// Calls and blocks.
//
// A bytecode call pushes a frame, a call trace entry and a code entry, and
// returns at once: the function runs in the following cycles. A block of IF,
// WHILE or FOREACH runs the same way, with a copy of the caller's frame in
// place of its own; what the loop needs to go on after the block (the block,
// the remaining elements) is kept on the block's code entry, and the loop
// continues when that entry is left. Blocks therefore nest without native
// recursion.

#include "machine.hpp"
#include "moduleapi.hpp"
#include "opcodes.hpp"

namespace TruvVM {

void Machine::bindcall(NameMap& map, std::size_t count, variable* function) {
  const Name* names = argnames_.data();
  // An emptied map takes every name after one check for room.
  map.reset();
  map.reserve(count + 1);
  for (std::size_t i = 0; i < count; ++i) map.addreserved(names[i], poparg());
  map.addreserved(sym_self, function->self());
  if (count < 0xFFFF && map.bindsathome(names, count, sym_self))
    map.markshape(callshape(count));
}

int Machine::pendingindexslow(const MethodSet& set, Name name) {
  if (variable::copiedonread(set.tag)) return -1;
  for (unsigned i = 0; i < set.count; ++i) {
    if (names.internliteral(set.methods[i].name) != name) continue;
    pendingslot(set, name) = PendingMethod{&set, name, static_cast<int>(i)};
    return static_cast<int>(i);
  }
  return -1;
}

bool Machine::standalonenative(variable* target, variable* element) {
  // A native makes no frame, so the copy takes the caller's own frame's
  // place: what the native bound there is gone again.
  Frame args = databasestack.back().clone();
  if (element) args.set(sym_element, element);
  if (target->modulefunc()) target->modulefunc()(target->self(), Args{});
  tracetop = nullptr;
  if (databasestack.empty())
    databasestack.push_back(std::move(args));
  else
    databasestack.back() = std::move(args);
  return false;
}

void Machine::whileloop(std::unique_ptr<BlockRun> run) {
  for (;;) {
    need(static_cast<std::uint8_t>(Op::WHILE), 1);
    if (valueint(popvalue()) == 0) return;
    variable* target = run->target;
    if (standalonefunccall(target, nullptr, run)) return;
    // A native block has run already; count it like an instruction so that
    // a harness's budget also ends such a loop.
    countone();
    if (config.instructionbudget && executed() >= config.instructionbudget) throw BudgetExhausted{};
  }
}

void Machine::foreachloop(std::unique_ptr<BlockRun> run) {
  while (run->next < run->elements.size()) {
    variable* element = run->elements.get()[run->next++];
    variable* target = run->target;
    if (standalonefunccall(target, element, run)) return;
    countone();
    if (config.instructionbudget && executed() >= config.instructionbudget) throw BudgetExhausted{};
  }
}

void Machine::continueblock(std::unique_ptr<BlockRun> run) {
  switch (run->kind) {
    case BlockRun::Kind::If:
      return;
    case BlockRun::Kind::While:
      whileloop(std::move(run));
      return;
    case BlockRun::Kind::Foreach:
      foreachloop(std::move(run));
      return;
  }
}

}  // namespace TruvVM
