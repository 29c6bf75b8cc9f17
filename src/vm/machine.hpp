#pragma once
// Machine state and the run loop.
//
// All state of one run lives in one Machine; `machine` points to the machine
// that is running. Between two instructions every record the program can
// still reach is reachable from this state (stacks, frames, globals, the
// root, `memory` and the block runs of code stack entries): native code never
// keeps a record across an instruction boundary, which is what lets the
// collector run there.

#include <array>
#include <bit>
#include <cassert>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "code.hpp"
#include "heap.hpp"
#include "names.hpp"
#include "opcodes.hpp"
#include "run.hpp"
#include "streams.hpp"
#include "value.hpp"

namespace TruvVM {

// The state of an IF, WHILE or FOREACH whose block is running on a code stack
// entry. It travels with that entry, so blocks nest without native recursion.
struct BlockRun {
  enum class Kind : std::uint8_t { If, While, Foreach };
  Kind kind = Kind::If;
  variable* target = nullptr;       // the block (a copy of the operand)
  SharedList elements;              // FOREACH: every element, in order
  std::size_t next = 0;             // FOREACH: the next element to run
  // FOREACH: where "ELEMENT" was last found in the block's frame's map.
  std::uint32_t elementslot = 0;
};

// One byte stack of the code stack: a position in immutable code. Popping a
// byte moves the position; what remains is code->bytes[pos..].
//
// Every entry but the program's is pushed by a call or a block, together
// with the function or block it runs on the call trace, and both are popped
// together; so the call trace is kept on the entries themselves (`traced`),
// which saves a stack of its own on every call and every block.
struct CodeEntry {
  CodeEntry(const Code* c, variable* t)
      : code(c),
        bytes(c->runbytes()),
        ops(c->operands.data()),  // sized with the run bytes
        end(c->preparedsize()),  // prepared by runbytes(), above
        traced(t) {}
  CodeEntry(const Code* c, variable* t, std::unique_ptr<BlockRun>&& run) : CodeEntry(c, t) { block = std::move(run); }
  // An entry for code that is prepared already (Code::prepared): the same
  // entry, made without the test and the allocation that preparing takes.
  struct Prepared {};
  CodeEntry(const Code* c, variable* t, Prepared)
      : code(c), bytes(c->preparedbytes()), ops(c->operands.data()), end(c->preparedsize()), traced(t) {}

  const Code* code;
  const byte* bytes;  // code->runbytes(), kept here for the fetch of every cycle
  // code->operands: end + 1 slots, so that any position up to end indexes it.
  const OperandSlot* ops;
  std::uint32_t pos = 0;
  std::uint32_t end;                // code->size()
  std::unique_ptr<BlockRun> block;  // set on an entry that runs a block
  // What the call trace shows for this entry: the function or block it
  // runs, the root for the program's; null until the root is made.
  variable* traced;

  bool empty() const { return pos >= end; }
};

// A data stack (or memory stack) entry: a record, or a plain number that has
// no record yet. A record is plain when it holds nothing but its number:
// no attributes, name, text, containers, code or target. Reading such a
// record yields a copy that nothing else can reach, so the machine keeps the
// copy as a bare number and makes its record only when a record is needed
// (materialize), with the creation sequence number reserved when the copy
// was made. Record identity and dictionary order are therefore the same as
// if the record had been made at once.
//
// The copy that reading a text makes (a record with no out-of-line part) is
// put off the same way: the entry refers to the record read and stands for
// a copy of it (pending), with the sequence number reserved. Whatever reads
// the entry's contents reads them from that record; whatever needs a record
// of its own (materialize) gets the copy then. The record read is watched
// (variable::watchreads): before it changes, every pending copy of it is
// made (Machine::settlereads), so a copy holds what the record held when it
// was read, as one made at once would.
struct StackValue {
  variable* rec = nullptr;  // null: an immediate number
  std::uint64_t seq = 0;
  std::uint32_t bits = 0;   // an immediate's number: the integer, or the float's bits
  // Int or Float, for an immediate; String for a pending copy of rec; Blank,
  // or the kind of the immediate it was, for an entry that is its record.
  Tag tag = Tag::Blank;

  static StackValue of(variable* v) {
    StackValue s;
    s.rec = v;
    return s;
  }
  static StackValue ofint(std::int32_t value, std::uint64_t seq) {
    StackValue s;
    s.tag = Tag::Int;
    s.bits = static_cast<std::uint32_t>(value);
    s.seq = seq;
    return s;
  }
  static StackValue offloat(float value, std::uint64_t seq) {
    StackValue s;
    s.tag = Tag::Float;
    s.bits = std::bit_cast<std::uint32_t>(value);
    s.seq = seq;
    return s;
  }
  // The immediate copy of a plain number record.
  static StackValue numberof(const variable& v, std::uint64_t seq) {
    StackValue s;
    s.takenumber(v);
    s.seq = seq;
    return s;
  }
  // A copy of the text record rec, not made yet.
  static StackValue pendingcopy(variable* v, std::uint64_t seq) {
    StackValue s;
    s.rec = v;
    s.seq = seq;
    s.tag = Tag::String;
    return s;
  }
  bool immediate() const { return rec == nullptr; }
  bool pending() const { return tag == Tag::String; }
  std::int32_t intval() const { return static_cast<std::int32_t>(bits); }
  float floatval() const { return std::bit_cast<float>(bits); }
  // An immediate's number from a plain number record (whose other number is
  // zero), and back.
  // The other number being zero in all its bits, the number is both taken
  // at once, whichever kind it is.
  void takenumber(const variable& v) {
    tag = v.identifier;
    bits = static_cast<std::uint32_t>(v.intval) | std::bit_cast<std::uint32_t>(v.floatval);
  }
  void fillnumber(variable& v) const {
    v.identifier = tag;
    v.intval = tag == Tag::Int ? intval() : 0;
    v.floatval = tag == Tag::Int ? 0.0f : floatval();
  }
  // An immediate's number as a float, as valuefloat gives it.
  float immediatefloat() const { return tag == Tag::Int ? static_cast<float>(intval()) : floatval(); }
  // The tag of what this entry stands for.
  Tag identifier() const { return rec ? rec->identifier : tag; }
};

// The integer or float an entry holds, as getint or getfloat of its record
// would give. An integer record, the usual operand that is not an immediate
// (a value fetched from a container), is read without a call.
inline std::int32_t valueint(const StackValue& v) {
  if (v.rec) return v.rec->identifier == Tag::Int ? v.rec->intval : v.rec->getint();
  return v.tag == Tag::Int ? v.intval() : floattoint(v.floatval());
}
inline float valuefloat(const StackValue& v) {
  if (v.rec) return v.rec->identifier == Tag::Int ? static_cast<float>(v.rec->intval) : v.rec->getfloat();
  return v.immediatefloat();
}
// Whether an entry is a number that holds nothing else.
inline bool plainnumber(const StackValue& v) { return !v.rec || v.rec->isplainnumber(); }

// The arguments of a native call, "arg0" first: the entries popped for it.
// An immediate gets its record (with the sequence number reserved for it)
// when the native first asks for the record (moduleapi::getarg), so a native
// that only reads a number, or never reads an argument, makes none. A record
// made later is the same record as one made at the pop: same contents, same
// sequence number, and a native runs within one instruction, so no
// collection can run in between.
struct Args {
  StackValue* values = nullptr;
  std::size_t count = 0;
};

// Thrown to end a run: by exitprogram (status 0) and by error (status 1).
struct RunEnd {
  int status;
};
// Thrown when a harness's instruction budget runs out.
struct BudgetExhausted {};

struct Machine {
  explicit Machine(const RunConfig& config);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Flags that nothing sets; kept for the finishing and error paths.
  bool silent = false;
  bool noterminate = false;

  std::vector<StackValue> datastack;
  std::vector<variable*> callstack;
  std::vector<Frame> databasestack;
  NameMap globalvars;
  std::vector<CodeEntry> codestack;
  // The call trace is the `traced` record of every code entry, bottom first,
  // and then tracetop when it is set: a native while it runs, or a function
  // or block whose entry is being made (so that a failure to make it shows
  // it on top). It is null between instructions.
  variable* tracetop = nullptr;
  // The call trace, bottom first.
  std::vector<variable*> calltrace() const;
  variable* progroot = nullptr;
  // The root's attributes. The root has them from init on, and a record
  // keeps its attribute map, whatever is assigned to it, until it is freed,
  // which the root never is.
  const NameMap* rootattributes = nullptr;
  std::vector<StackValue> memory;

  RunConfig config;
  Heap heap;
  Interner names;
  std::vector<std::unique_ptr<Code>> codes;         // every code buffer of the run
  std::vector<std::unique_ptr<ParamSet>> params;    // the parameter sets in use
  std::vector<std::unique_ptr<HostStream>> streams; // the host streams in use
  HostStream* consoleout = nullptr;
  HostStream* consolein = nullptr;
  // Instructions run.
  std::uint64_t executed() const { return countdown_.count(); }
  // Counts one more, for a native block that a loop ran without a cycle.
  void countone() { --countdown_.left; }
  // Makes the next cycle run the safepoint: the bytes made outside the
  // record heap have run out of their budget (hostbytes).
  void wakeforbytes() { countdown_.wake(); }
  // Set where the call, context or frame stack may have shrunk: the next
  // cycle then checks that none of them is empty.
  bool stackcheck = true;
  void requirestackcheck() {
    stackcheck = true;
    countdown_.wake();
  }

  // Names the machine itself uses.
  Name sym_self, sym_element, sym_progroot;
  Name argname(std::size_t i) { return i < argnames_.size() ? argnames_[i] : argnameslow(i); }
  Name argnameslow(std::size_t i);

  // Loads the program: one code stack entry, first byte first.
  void load(std::span<const byte> program);
  void init();
  void runloop();
  void integritycheck();
  void checkstacks();
  // Leaves the top code entry; a loop whose block entry has run out runs its
  // next iteration instead, unless repeat is false (the run loop has tried
  // repeatinplace already).
  void exitoutoffunc(bool repeat = true);
  // The same for an entry that runs no loop (a function's or an IF block's),
  // which has nothing to continue once it is gone. The program's entry,
  // whose end ends the run, is never one: it carries a block run (load), so
  // that leaving it takes exitoutoffunc's general path, and an entry left
  // here always has one below it.
  void leaveplainentry() {
    // The entry carries no block run, so popping it frees nothing.
    assert(!codestack.back().block);
    if (codestack.back().block) __builtin_unreachable();
    codestack.pop_back();
    // Usually the frame stack keeps an entry, and the next cycle need not
    // check it.
    if (databasestack.size() > 1) [[likely]] {
      databasestack.pop_back();
      return;
    }
    popframe();
  }
  // Pops the frame stack when it has an entry, and makes the next cycle
  // check it when it has run empty.
  void popframe() {
    if (!databasestack.empty()) databasestack.pop_back();
    // The check of the next cycle matters only when the stack has run empty.
    if (databasestack.empty()) requirestackcheck();
  }
  [[noreturn]] void exitprogram();

  // Contexts (ENTERATTR, ENTERTOP, LEAVE): a context record on the call stack
  // and a frame, which takes a map only when a local is bound in it.
  void entercontext(variable* target) {
    callstack.push_back(target);
    databasestack.emplace_back();
  }
  void leavecontext() {
    // Usually both stacks keep an entry, and the next cycle need not check
    // them.
    if (callstack.size() > 1 && databasestack.size() > 1) [[likely]] {
      callstack.pop_back();
      databasestack.pop_back();
      return;
    }
    // The check before every instruction reports empty stacks; popping one
    // more than is there is left to that check.
    if (!callstack.empty()) callstack.pop_back();
    if (!databasestack.empty()) databasestack.pop_back();
    if (callstack.empty() || databasestack.empty()) requirestackcheck();
  }

  // Calls (calls.cpp).
  void callfunc(std::int32_t argnum);
  // The rest of a call of a function that is not native, popped already.
  void callcode(variable* function, std::int32_t argnum);
  // Binds the arguments and "self" of a call in its frame's map, which is
  // emptied first, and marks the map when it can (NameMap::shape). Out of
  // line: a call of a function takes this way only when the recycled map
  // was not left by a call with as many arguments.
  [[gnu::noinline]] void bindcall(NameMap& map, std::size_t count, variable* function);
  // The rest of a call of a native function, popped already: the native runs
  // at once, with the arguments popped from the data stack.
  void callnative(variable* function, variable* self, std::int32_t argnum) {
    runnative(function->modulefunc(), function, self, argnum);
  }
  // The same for the method at `index` of object's methods not made yet
  // (variable::pendingmethods), bound to the object as reading it binds it
  // and then called, without making it: its sequence number was taken with
  // the object's, and it is made bound, as it would be now, when anything
  // looks at the object's attributes. On the call trace a stand-in takes
  // its place (pendingtrace_).
  void callpendingmethod(variable* object, const MethodSet& set, unsigned index, std::int32_t argnum) {
    object->bindpendingmethod(index);
    runnative(set.methods[index].func, &pendingtrace_, object, argnum);
  }
  // The index in `set` of its method named `name`, or -1 when it has none
  // or its methods are of a kind that a read copies (the fused call takes
  // only a method that a read hands on). The names of methods are never
  // freed, so the pairs found stay good.
  int pendingindex(const MethodSet& set, Name name) {
    const PendingMethod& seen = pendingslot(set, name);
    if (seen.set == &set && seen.name == name) [[likely]]
      return seen.index;
    return pendingindexslow(set, name);
  }
  int pendingindexslow(const MethodSet& set, Name name);
  // Runs the native `run` (nothing when it is null) with the arguments
  // popped, shown on the call trace as `traced`.
  [[gnu::always_inline]] void runnative(mfuncptr run, variable* traced, variable* self, std::int32_t argnum) {
    // One argument buffer serves every native call: a native runs to its end
    // before the next call. The caller has checked that the data stack holds
    // the arguments; they are copied top first, then dropped at once.
    const std::size_t count = argnum > 0 ? static_cast<std::size_t>(argnum) : 0;
    if (count == 1) {
      // The usual count, a method's one argument: one copy and one pop. The
      // buffer always has room for one.
      argvalues_[0] = datastack.back();
      datastack.pop_back();
    } else {
      if (count > argroom_) growargs(count);
      StackValue* to = argvalues_.get();
      const StackValue* top = &datastack.back() + 1;
      for (std::size_t i = 0; i < count; ++i) to[i] = top[-1 - static_cast<std::ptrdiff_t>(i)];
      datastack.erase(datastack.end() - static_cast<std::ptrdiff_t>(count), datastack.end());
    }
    const Args args{argvalues_.get(), count};
    tracetop = traced;
    argsinuse_ = count;
    if (run) run(self, args);
    argsinuse_ = 0;
    tracetop = nullptr;
  }
  // Runs target as a block on a copy of the current frame, with "ELEMENT"
  // bound to element when it is given. Returns true when the block runs on a
  // new code entry (which then owns run), false when it has already run (a
  // native, which runs at once).
  bool standalonefunccall(variable* target, variable* element, std::unique_ptr<BlockRun>& run) {
    // The effect of pushing the block and calling it with no arguments, then
    // putting a copy of the caller's frame (with "ELEMENT" bound to element,
    // when given) in place of the frame that the call made.
    tracetop = target;
    if (target->ismodule) return standalonenative(target, element);
    Frame args = Frame::borrow(databasestack.back());
    if (element) args.set(sym_element, element);
    databasestack.push_back(std::move(args));
    codestack.emplace_back(target->funccode() ? target->funccode() : emptycode_.get(), target, std::move(run));
    tracetop = nullptr;
    return true;
  }
  // standalonefunccall for the block of an IF, which binds no element and
  // carries no block run: the new top entry, or null when the block was a
  // native, which has run already.
  CodeEntry* enterif(variable* target) {
    if (target->ismodule) [[unlikely]] {
      tracetop = target;
      standalonenative(target, nullptr);
      return nullptr;
    }
    const Code* code = target->funccode();
    if (!code) code = emptycode_.get();
    const Frame& parent = databasestack.back();
    // The usual entry allocates nothing: the frame below has its map and
    // no write put off to make (Frame::borrowsquietly), both stacks have
    // room and the block's code is prepared. Nothing on the way can fail
    // then, so the call trace, which only a failure here would show with
    // the block on top, need not have it as tracetop.
    if (parent.borrowsquietly() && code->prepared() && databasestack.size() != databasestack.capacity() &&
        codestack.size() != codestack.capacity()) [[likely]] {
      Frame frame = Frame::borrowquietly(parent);
      if (databasestack.size() == databasestack.capacity()) __builtin_unreachable();
      databasestack.push_back(std::move(frame));
      if (codestack.size() == codestack.capacity()) __builtin_unreachable();
      return &codestack.emplace_back(code, target, CodeEntry::Prepared{});
    }
    return enterifslow(target, code);
  }
  // enterif when something on the way may allocate, and so fail.
  [[gnu::noinline]] CodeEntry* enterifslow(variable* target, const Code* code) {
    tracetop = target;
    databasestack.push_back(Frame::borrow(databasestack.back()));
    CodeEntry& entry = codestack.emplace_back(code, target);
    tracetop = nullptr;
    return &entry;
  }
  bool standalonenative(variable* target, variable* element);
  // Starts the next iteration of the loop whose block entry has run out, on
  // the same entry; false when the general way must be taken.
  bool repeatinplace(CodeEntry& entry);
  // Whether the entry runs a WHILE block on the frame it borrows, so that
  // repeatinplace would start its next iteration on it once a condition that
  // holds is on the data stack.
  bool whileinplace(const CodeEntry& entry) const;
  void whileloop(std::unique_ptr<BlockRun> run);
  void foreachloop(std::unique_ptr<BlockRun> run);
  void continueblock(std::unique_ptr<BlockRun> run);

  // Data stack access with the checks that malformed code needs.
  void need(std::uint8_t op, std::size_t count) {
    if (datastack.size() < count) needfailed(op, count);
  }
  [[noreturn]] void needfailed(std::uint8_t op, std::size_t count);
  // Whether the data stack holds count entries (holdsatleast).
  bool holds(std::size_t count) const { return holdsatleast(datastack, count); }
  // The record of the top entry, popped.
  variable* pop() {
    variable* v = materialize(datastack.back());
    datastack.pop_back();
    return v;
  }
  // pop() for the binding of an argument in a call's frame. The record made
  // for an immediate is held by that frame alone: a plain number that no
  // read needs to test (variable::argbinding). `spare`, when it is not null,
  // is a live record that nothing holds any more (callcode): when it is such
  // a record, it takes the immediate's number and sequence number in place
  // of a new record, which would hold the same.
  variable* poparg(variable* spare = nullptr) {
    StackValue& top = datastack.back();
    variable* v = top.rec;
    if (!v) {
      if (spare && spare->rootalias == variable::argbinding) {
        top.fillnumber(*spare);
        spare->seq = top.seq;
        v = spare;
      } else {
        v = makeimmediate(top);
        v->rootalias = variable::argbinding;
      }
    } else if (top.pending()) {
      v = makepending(top);
    }
    datastack.pop_back();
    return v;
  }
  StackValue popvalue() {
    StackValue v = datastack.back();
    datastack.pop_back();
    return v;
  }
  // Entries are built where they go: a copy through a temporary costs more
  // than the rest of most instructions.
  void push(variable* v) {
    dataroom();
    datastack.push_back(StackValue::of(v));
  }
  // Taken by value: the room is made before the push, and growing the stack
  // would move an entry of the stack itself.
  void push(StackValue v) {
    dataroom();
    datastack.push_back(v);
  }
  // A fresh integer or float, as an immediate.
  void pushint(std::int32_t value) {
    dataroom();
    datastack.push_back(StackValue::ofint(value, heap.reserveseq()));
  }
  void pushfloat(float value) {
    dataroom();
    datastack.push_back(StackValue::offloat(value, heap.reserveseq()));
  }
  // Makes room for one more data stack entry. The growth is out of line and
  // the push that follows is known to need none, so the pushes inlined in the
  // run loop and in every native carry no copy of the vector's growth.
  void dataroom() {
    if (datastack.size() == datastack.capacity()) [[unlikely]] growdata();
    if (datastack.size() == datastack.capacity()) __builtin_unreachable();
  }
  [[gnu::noinline]] void growdata();
  // The entry of the right operand when the two top entries are both
  // immediates (the left operand is on top), else null. An operator that
  // computes on them puts its result there with pairresult, which drops the
  // left operand: one entry fewer, as popping both and pushing would leave.
  StackValue* immediatepair() {
    if (!holds(2)) return nullptr;
    StackValue* top = datastack.data() + datastack.size() - 1;
    if (top[0].rec || top[-1].rec) return nullptr;
    return &top[-1];
  }
  // The entry is an immediate already, so its record field stays null.
  void pairresult(StackValue& right, std::int32_t result) {
    right.seq = heap.reserveseq();
    right.bits = static_cast<std::uint32_t>(result);
    right.tag = Tag::Int;
    datastack.pop_back();
  }
  // Pushes what reading v yields (readvalue). A record that stands for a
  // root binding and a frame's copy, what most reads of a local at the root
  // find, or an argument's record (variable::rootalias) is a plain number:
  // it is made from one, only ever given another plain number, and handed to
  // nothing that could change it, so it takes no full test.
  // A text with no out-of-line part is pushed as a pending copy.
  void pushread(variable* v) {
    if (!v->rootalias && !v->isplainnumber()) {
      if (v->identifier == Tag::String && !v->hasext()) {
        v->watch |= variable::watchreads;
        const std::size_t at = extentbytes(datastack);
        if (at < pendinglow_) pendinglow_ = at;
        push(StackValue::pendingcopy(v, heap.reserveseq()));
        return;
      }
      push(readrecord(v));
      return;
    }
    datastack.push_back(StackValue::numberof(*v, heap.reserveseq()));
  }
  // Makes every pending copy of v that an entry of the data stack or the
  // running native's arguments stands for, and every other pending copy on
  // the data stack with them (machine.cpp). Only pushread
  // makes a pending entry, and only on the data stack; a native's
  // arguments are copies of data stack entries, and the memory stack
  // takes copies made at once (copyvalue).
  void settlereads(const variable* v);
  // STORELOCAL of the entry top under name (instructions.cpp).
  void storelocal(Name name, const StackValue& top);
  // getvar of a record that is no plain number. A copy of a record with no
  // out-of-line part (a text, the usual case) holds just the inline fields,
  // and is made here as getcopy would make it.
  variable* readrecord(variable* v) {
    if (!v->copiedonread()) return v;
    if (v->hasext()) return v->getcopy();
    variable* c = heap.alloc();
    v->copyinline(*c);
    return c;
  }
  // The record an entry stands for; an immediate gets its record now, with
  // its reserved sequence number, and the entry refers to it from then on.
  variable* materialize(StackValue& v) {
    if (!v.rec)
      v.rec = makeimmediate(v);
    else if (v.pending()) [[unlikely]]
      v.rec = makepending(v);
    return v.rec;
  }
  // materialize when that calls nothing (the heap's current word has a free
  // slot); null, with nothing done, otherwise.
  variable* materializeinline(StackValue& v) {
    if (v.rec) [[unlikely]] {
      if (!v.pending()) return v.rec;
      variable* rec = heap.allocinword(v.seq);
      if (!rec) return nullptr;
      v.rec = fillpending(v, rec);
      return rec;
    }
    variable* rec = heap.allocinword(v.seq);
    if (!rec) return nullptr;
    v.fillnumber(*rec);
    v.rec = rec;
    return rec;
  }
  variable* makeimmediate(const StackValue& v) {
    variable* rec = heap.alloc(v.seq);
    v.fillnumber(*rec);
    return rec;
  }
  // The copy a pending entry stands for, made now; the entry is its record
  // from then on.
  variable* makepending(StackValue& v) { return fillpending(v, heap.alloc(v.seq)); }
  // Gives rec, a blank record with the entry's sequence number, the fields
  // of the pending copy v stands for; v is no longer pending.
  static variable* fillpending(StackValue& v, variable* rec) {
    v.rec->copyinline(*rec);
    v.tag = Tag::Blank;
    return rec;
  }
  // What reading a record yields (getvar): an immediate copy when the record
  // is plain, else what getvar gives. A record that reading does not copy
  // (a function, the usual attribute read, a container, an object) is
  // handed on after one test of its tag.
  StackValue readvalue(variable* v) {
    if (!v->copiedonread()) return StackValue::of(v);
    if (!v->isplainnumber()) return StackValue::of(readrecord(v));
    return StackValue::numberof(*v, heap.reserveseq());
  }
  // The record a store binds: getvar of the entry's record, or a fresh record
  // holding an immediate's number.
  variable* storedcopy(const StackValue& v) {
    if (v.rec) return v.rec->getvar();
    variable* rec = heap.alloc();
    v.fillnumber(*rec);
    return rec;
  }
  // getvar of an entry, kept as an entry: an immediate copy of a number.
  StackValue copyvalue(const StackValue& v) { return v.rec ? readvalue(v.rec) : immediatecopy(v); }
  StackValue immediatecopy(StackValue v) {
    v.seq = heap.reserveseq();
    return v;
  }
  // Pushes the value of a PUSHCONST operand; an integer kept with the decoded
  // operand is pushed at once.
  void pushconst(CodeEntry& code) {
    const OperandSlot& slot = code.ops[code.pos];
    if (slot.isint) {
      code.pos += slot.consumed;
      pushint(slot.ival);
      return;
    }
    const CachedOperand* op = slot.op;
    if (op && op->hastext) {
      variable* v = heap.alloc();
      v->identifier = Tag::String;
      v->stringval = op->text;
      code.pos += slot.consumed;
      push(v);
      return;
    }
    pushconstslow(code);
  }
  void pushconstslow(CodeEntry& code);

  // Reads one operand from code (operand.cpp).
  variable* getop(CodeEntry& code);
  // A name operand's text. An operand that takes nothing from the data stack
  // always names the same, so its name is kept with the decoded operand.
  Name getname(CodeEntry& code) {
    const OperandSlot& slot = code.ops[code.pos];
    if (Name name = slot.name()) {
      code.pos += slot.consumed;
      return name;
    }
    return getnameslow(code);
  }
  Name getnameslow(CodeEntry& code);
  // The operand at the entry's position when it has been decoded before and
  // is well formed; else null.
  static const CachedOperand* cached(const CodeEntry& code) {
    const CachedOperand* op = code.ops[code.pos].op;
    return op && op->ok ? op : nullptr;
  }
  // A count operand's integer.
  std::int32_t getcount(CodeEntry& code) {
    const OperandSlot& slot = code.ops[code.pos];
    if (slot.isint) {
      code.pos += slot.consumed;
      return slot.ival;
    }
    return getcountslow(code);
  }
  std::int32_t getcountslow(CodeEntry& code);
  variable* getconst(CodeEntry& code);       // a heap copy of the operand
  // The block operand of IF, WHILE and FOREACH. A block record is seen only by
  // the machine (the call trace, the running block), so a plain function
  // operand gets one record, made once and kept for the run.
  variable* getblock(CodeEntry& code) {
    const OperandSlot& slot = code.ops[code.pos];
    if (variable* block = slot.block()) {
      code.pos += slot.consumed;
      return block;
    }
    return getblockslow(code);
  }
  variable* getblockslow(CodeEntry& code);
  std::vector<variable*> pinned;  // records kept for the whole run

  Code* newcode(std::vector<byte> bytes);
  ParamSet* newparams();
  HostStream* adopt(std::unique_ptr<HostStream> stream);
  // Frees, after a collection with the given epoch, the parameter sets that
  // no live record refers to, with their streams, unless a stream still
  // holds a host file: a file the script never closed stays open until the
  // end of the run. A program that opens and closes files in a loop thus
  // runs in bounded memory. The marking marks the set of every record it
  // goes through; a record marked earlier in the same epoch had its set
  // marked then, and one that has been given a set since is young or
  // remembered (variable::operator=), so every set in use is marked.
  void sweepparams(std::uint8_t epoch, bool major);
  std::size_t paramsswept_ = 0;   // sets there were after the last collection
  std::size_t streamsswept_ = 0;  // streams there were after the last collection

  // The collector (gc.cpp): collect() marks from the machine state and frees
  // what it does not reach; safepoint() runs it when the heap has grown.
  void collect();
  // Run between instructions when a check is due: the instruction budget, the
  // memory limit, the heap's growth.
  void safepoint();
  // The slow part of a cycle, run when the countdown runs out: the
  // safepoint, then the stack check when one is required. The countdown
  // runs to the earliest of the periodic check, the heap's wake-up (when the
  // next collection is due) and a required stack check, so that every cycle
  // only decrements and tests one number. The cycle that runs it has counted
  // its instruction already.
  void cycle();
  std::uint64_t collections = 0;

  // Writes diagnostics to standard error, after flushing standard output so
  // that both keep their order on a shared terminal.
  void diagnostic(const std::string& text);
  void flushall();

 private:
  std::vector<Name> argnames_;
  // The marks of the frame maps of this machine's calls (NameMap::shape):
  // the number of names bound, below 0x10000, in the low 16 bits; the
  // collections run so far, modulo 2^32, in the next 32 (nextshapes); the
  // top 16 tell this machine's marks from those of another machine alive at
  // the same time, since recycled maps are shared. A machine that goes
  // drops the marks of the maps it leaves.
  std::uint64_t callshapes_ = 0;
  static inline std::uint32_t machines_ = 0;
  // The mark of a map that binds exactly the names of a call with count
  // arguments, and self, each in its home slot (NameMap::bindsathome).
  std::uint64_t callshape(std::size_t count) const { return callshapes_ | (count + 1); }
  // Run by each collection: the marks made before it stop being this
  // machine's, since the records that the maps bind may have been freed
  // (callcode). When the count comes round again, every mark is dropped, so
  // that none made before can match again.
  void nextshapes() {
    const std::uint64_t collections = ((callshapes_ >> 16) + 1) & 0xFFFFFFFFu;
    callshapes_ = (callshapes_ & ~std::uint64_t{0xFFFFFFFF0000}) | (collections << 16);
    if (collections == 0) [[unlikely]] {
      Frame::forgetpoolshapes();
      for (Frame& frame : databasestack) frame.forgetshape();
    }
  }
  // The arguments of the running native call: argroom_ entries.
  std::unique_ptr<StackValue[]> argvalues_;
  std::size_t argroom_ = 0;  // at least 1 once the machine is made
  // The entries of the buffer that the running native was given; 0 between
  // native calls.
  std::size_t argsinuse_ = 0;
  // No data stack entry below this offset in bytes is a pending copy
  // (pushread): entries stay where they are pushed, so a change of a record
  // read as a text looks at the entries pushed since the lowest pending one
  // alone, however deep the stack is below it; it makes them all, so the
  // next change looks only at what was pushed since. Kept in bytes, so that a
  // push tests it without dividing the stack's extent.
  std::size_t pendinglow_ = SIZE_MAX;
  void growargs(std::size_t count);
  static constexpr std::size_t minrecords = 1 << 13;
  static constexpr std::size_t minbytes = std::size_t{32} << 20;
  static constexpr std::uint64_t bytecheckevery = 4096;
  // A minor collection (young records only), or a major one.
  void collect(bool major);
  std::uint8_t gcepoch_ = 1;
  std::size_t gcrecords_ = minrecords;
  std::size_t gcmajor_ = 0;          // old records at which a major collection is due
  std::size_t gcnursery_ = minrecords;  // young records a minor collection is given room for
  std::uint64_t gcstressruns_ = 0;   // collections in stress mode
  std::size_t gcbytes_ = minbytes;
  // Sets the budget of bytes made outside the record heap until the next
  // count (hostbytes), after a count found `bytes` in use and went through
  // `pieces` free pieces.
  void setbytebudget(std::size_t bytes, std::size_t pieces);
  std::uint64_t lastbytecheck_ = 0;
  // Allocations to make before the bytes in use are counted again, for the
  // cost of counting them: the host's count walks its free memory piece by
  // piece, and after a deep recursion unwinds, or many files are closed,
  // the pieces can far outnumber the records.
  std::uint64_t bytecheckcost_ = 0;
  Countdown countdown_;             // instructions run, and to the next cycle()
  std::uint64_t periodic_ = 0;      // value of `executed` at which the periodic checks are due
  std::uint64_t limitchecks_ = 0;
  std::unique_ptr<Code> emptycode_;
  // What the call trace shows for a method called before it is made
  // (callpendingmethod): a record with no name, as a method has. A native
  // is the top of the call trace while it runs, and the trace shows only
  // the name of its top, so the stand-in needs nothing else.
  variable pendingtrace_;
  // Methods found by name (pendingindex), by name and set.
  struct PendingMethod {
    const MethodSet* set = nullptr;
    Name name = nullptr;
    int index = -1;
  };
  std::array<PendingMethod, 16> pendingmethods_{};
  PendingMethod& pendingslot(const MethodSet& set, Name name) {
    return pendingmethods_[(name->hash >> 60 ^ reinterpret_cast<std::uintptr_t>(&set) >> 3) & 15];
  }
};

// Defined here so that the run loop's CALL has it inline.
inline void Machine::callfunc(std::int32_t argnum) {
  variable* function = pop();
  if (!function->ismodule) {
    callcode(function, argnum);
    return;
  }
  callnative(function, function->self(), argnum);
}

inline void Machine::callcode(variable* function, std::int32_t argnum) {
  // The arguments go straight from the data stack into the new frame, "arg0"
  // first; the names differ from each other.
  tracetop = function;
  const std::size_t count = argnum > 0 ? static_cast<std::size_t>(argnum) : 0;
  if (count > argnames_.size()) argnameslow(count - 1);
  const Name* names = argnames_.data();
  NameMap& map = databasestack.emplace_back(Frame::Kept{}).ownmap();
  // Popping the arguments makes records but changes no function's bound
  // object, so it is read after them, where it is bound.
  if (map.shape() == callshape(count)) [[likely]] {
    // The map a call with as many arguments gave back: its names are
    // rebound where they are. No collection has run since the map was
    // marked, so the records it binds are alive; and nothing but the frame
    // of the call that gave it back held an argument record among them
    // (variable::argbinding: a clone drops the mark), so such a record
    // takes the new number instead of a record being made.
    for (std::size_t i = 0; i < count; ++i) {
      variable*& bound = map.homeslot(names[i]).second;
      bound = poparg(bound);
    }
    map.homeslot(sym_self).second = function->self();
  } else {
    bindcall(map, count, function);
  }
  codestack.emplace_back(function->funccode() ? function->funccode() : emptycode_.get(), function);
  tracetop = nullptr;
}

inline bool Machine::whileinplace(const CodeEntry& entry) const {
  // A borrowed top frame borrows from the frame below it (Frame::borrows).
  if (!entry.block || entry.block->kind != BlockRun::Kind::While || databasestack.empty() ||
      !databasestack.back().borrowed())
    return false;
  assert(databasestack.size() >= 2 && databasestack.back().borrows(databasestack[databasestack.size() - 2]));
  return true;
}

inline bool Machine::repeatinplace(CodeEntry& entry) {
  // Leaving the entry pops it (and its call trace entry) and the frame;
  // running the block again pushes an entry for the same block (on the call
  // trace too), a new copy of the frame below and the same code from its
  // start. When the top frame is borrowed, it is a copy of the frame below
  // (Frame::borrows): the entry can stay where it is, with its frame put
  // back to what it was when it was borrowed.
  BlockRun& run = *entry.block;
  if (run.kind == BlockRun::Kind::Foreach) {
    const ListVal& elements = run.elements.get();
    if (run.next >= elements.size() || databasestack.empty()) return false;
    Frame& frame = databasestack.back();
    if (!frame.borrowed()) return false;
    frame.rewindandset(sym_element, elements[run.next++], run.elementslot);
  } else if (run.kind == BlockRun::Kind::While) {
    if (databasestack.empty()) return false;
    Frame& frame = databasestack.back();
    if (!frame.borrowed()) return false;
    // Only a number that says go on; anything else, and the end of the
    // loop, take the general path, whose errors report the stacks as they
    // are once the entry is gone.
    if (datastack.empty()) return false;
    const StackValue& condition = datastack.back();
    const Tag tag = condition.identifier();
    if ((tag != Tag::Int && tag != Tag::Float) || valueint(condition) == 0) return false;
    datastack.pop_back();
    frame.rewind();
  } else {
    return false;
  }
  assert(databasestack.size() >= 2 && databasestack.back().borrows(databasestack[databasestack.size() - 2]));
  entry.pos = 0;
  return true;
}

extern Machine* machine;

// Allocates a blank record on the machine's heap.
inline variable* getallocvar() { return machine->heap.alloc(); }

// Reports a failure of the running program and ends the run. `ismodule` marks
// failures raised by native code.
[[noreturn]] void error(std::string target, bool ismodule);

}  // namespace TruvVM
