// The actions of the 42 opcodes.
//
// Operands are read from the instruction's own code entry before anything is
// pushed onto the code stack, since a push may move the entries.

#include "machine.hpp"
#include "moduleapi.hpp"
#include "sanitizer.hpp"

namespace TruvVM {

using namespace moduleapi;

namespace {

float doarithmetic(float a, float b, Op op) {
  switch (op) {
    case Op::ADD: return a + b;
    case Op::SUB: return a - b;
    case Op::MUL: return a * b;
    default: return a / b;
  }
}

const char* opsymbol(Op op) {
  switch (op) {
    case Op::ADD: return "+";
    case Op::SUB: return "-";
    case Op::MUL: return "*";
    default: return "/";
  }
}

bool docomparisment(float a, float b, Op op) {
  switch (op) {
    case Op::GT: return a > b;
    case Op::LT: return a < b;
    case Op::LE: return a <= b;
    default: return a >= b;
  }
}

std::int32_t logical_nor(std::int32_t a, std::int32_t b) { return a == 0 && b == 0 ? 1 : 0; }

// ADD, SUB, MUL, DIV. The left operand is on top. The right operand is
// converted first, so when both are refused the report names the right one.
void arithmetic(Machine& m, Op op) {
  m.need(static_cast<std::uint8_t>(op), 2);
  StackValue left = m.popvalue();
  StackValue right = m.popvalue();
  const Tag lt = left.identifier();
  const Tag rt = right.identifier();
  if (op == Op::ADD && lt == Tag::String && rt == Tag::String) {
    variable* result = getallocvar();
    result->identifier = Tag::String;
    // Shares the left text and appends to it, in place when it can.
    result->stringval = left.rec->stringval;
    result->stringval += right.rec->stringval.view();
    m.push(result);
  } else if (lt == Tag::Float || rt == Tag::Float) {
    const float r = valuefloat(right);
    const float l = valuefloat(left);
    m.pushfloat(doarithmetic(l, r, op));
  } else {
    // Integers are computed in single precision and truncated toward zero.
    const std::int32_t r = valueint(right);
    const std::int32_t l = valueint(left);
    if (op == Op::DIV && r == 0) error("Integer division by zero.", false);
    const float f = doarithmetic(static_cast<float>(l), static_cast<float>(r), op);
    if (!(f >= -2147483648.0f && f < 2147483648.0f))
      error("Integer result out of range: " + std::to_string(l) + " " + opsymbol(op) + " " + std::to_string(r) + ".",
            false);
    m.pushint(static_cast<std::int32_t>(f));
  }
}

// The operands of comparisons, EQ and the conditions of blocks are read as
// copies that are dropped at once; reading the popped entry itself gives the
// same numbers, texts and errors, so no copy is made.
void comparison(Machine& m, Op op) {
  m.need(static_cast<std::uint8_t>(op), 2);
  StackValue left = m.popvalue();
  StackValue right = m.popvalue();
  const float r = valuefloat(right);
  const float l = valuefloat(left);
  m.pushint(docomparisment(l, r, op) ? 1 : 0);
}

// The result of NOT and of the logic operators is the popped left operand's
// copy with its number replaced. For a plain number that copy holds nothing
// but the result, so it is made as an immediate.
void pushintresult(Machine& m, const StackValue& left, std::int32_t result) {
  if (plainnumber(left)) {
    m.pushint(result);
    return;
  }
  variable* v = left.rec->getvar();
  v->intval = result;
  v->identifier = Tag::Int;
  m.push(v);
}

void logic(Machine& m, Op op) {
  m.need(static_cast<std::uint8_t>(op), 2);
  StackValue left = m.popvalue();
  StackValue right = m.popvalue();
  std::int32_t result = 0;
  switch (op) {
    case Op::AND: result = valueint(left) != 0 && valueint(right) != 0; break;
    case Op::OR: result = valueint(left) != 0 || valueint(right) != 0; break;
    case Op::XOR: {
      const std::int32_t l = valueint(left);
      result = l ^ valueint(right);
      break;
    }
    default: {
      const std::int32_t r = valueint(right);
      result = logical_nor(valueint(left), r);
      break;
    }
  }
  pushintresult(m, left, result);
}

// Value equality of two entries, as operator== of their records.
bool valueequal(const StackValue& a, const StackValue& b) {
  if (a.rec && b.rec) return *a.rec == *b.rec;
  const Tag at = a.identifier();
  const Tag bt = b.identifier();
  const bool anum = at == Tag::Int || at == Tag::Float;
  const bool bnum = bt == Tag::Int || bt == Tag::Float;
  return anum && bnum && valuefloat(a) == valuefloat(b);
}


// The root's record of name, when a root store of a plain number may give
// it the new number in place instead of making a record: the root's binding
// is the record that the last root store of name made for the root and the
// frame (variable::rootalias), so nothing has been handed it; the frame it
// was written to is the top one, whose map may hold it only under name; and
// neither a clone of a frame nor the log of borrowed frames holds it (a
// clone moves Frame::clones on, and a logged write of it clears
// Symbol::rootrecord), so no other binding, present or to be put back,
// shares it. The frame's binding may be it only when the frame is not
// borrowed: a borrowed frame would log it as the value to put back
// (Frame::setshared refuses that case). Giving that record the new number
// then changes exactly the two bindings that a new record would replace.
// A record that something watches (variable::watch) is left alone.
variable* reusablerootcopy(Machine& m, Name name, const Frame& frame) {
  variable* held = name->rootrecord;
  if (!held || name->roothome != &frame.map() || name->rootclones != Frame::clones()) return nullptr;
  const NameMap::Slot* bound = m.rootattributes->entryat(name->rootslot, name);
  if (!bound || bound->second != held || held->rootalias != variable::rootbinding || held->watch) return nullptr;
  return held;
}

}  // namespace

namespace {

// o on two plain numbers, left and right, when it computes without a
// failure: integer arithmetic in single precision within range, comparisons
// and equality of any two numbers. False otherwise.
template <Op o>
[[gnu::always_inline]] inline bool plainoperator(const StackValue& left, const StackValue& right,
                                                 std::int32_t& result) {
  if constexpr (o == Op::ADD || o == Op::SUB || o == Op::MUL || o == Op::DIV) {
    // Integers only, as the run loop's own fast path computes them.
    if (left.tag != Tag::Int || right.tag != Tag::Int || (o == Op::DIV && right.intval() == 0)) return false;
    const float f = doarithmetic(static_cast<float>(left.intval()), static_cast<float>(right.intval()), o);
    if (!(f >= -2147483648.0f && f < 2147483648.0f)) return false;
    result = static_cast<std::int32_t>(f);
  } else if constexpr (o == Op::EQ) {
    result = left.immediatefloat() == right.immediatefloat() ? 1 : 0;
  } else {
    result = docomparisment(left.immediatefloat(), right.immediatefloat(), o) ? 1 : 0;
  }
  return true;
}

// The index in Code::fusedops of a binary operator; fusedcount for any other
// byte.
std::size_t fusedindex(byte b) {
  for (std::size_t i = 0; i < Code::fusedcount; ++i)
    if (b == static_cast<byte>(Code::fusedops[i])) return i;
  return Code::fusedcount;
}

// The codes of a position before a LOADLOCAL that has learnt that an
// operator follows it: for an integer constant, and for another LOADLOCAL.
struct Fusedbefore {
  byte then, ifs, end, store;
};
constexpr Fusedbefore constbefore{Code::constlocalthen, Code::constlocalif, Code::constlocalend, Code::constlocalstore};
constexpr Fusedbefore pairbefore{Code::pairthen, Code::pairif, Code::pairend, Code::pairstore};

// The code of a position in the family `f` before a LOADLOCAL whose code is
// next; 0 when that LOADLOCAL has learnt no operator.
byte fusedbefore(byte next, const Fusedbefore& f) {
  const auto from = [next](byte base) { return next >= base && next < base + Code::fusedcount; };
  if (from(Code::loadlocalthen)) return static_cast<byte>(f.then + (next - Code::loadlocalthen));
  if (from(Code::loadlocalif)) return static_cast<byte>(f.ifs + (next - Code::loadlocalif));
  if (from(Code::loadlocalend)) return static_cast<byte>(f.end + (next - Code::loadlocalend));
  if (from(Code::loadlocalstore)) return static_cast<byte>(f.store + (next - Code::loadlocalstore));
  return 0;
}

// Whether the byte next in the entry is a LOADLOCAL that has not run yet, so
// that a position before it must wait to learn until it has: one that has
// run and is still a LOADLOCAL keeps no name and never learns.
bool loadlocaltocome(const CodeEntry& entry) {
  return entry.bytes[entry.pos] == static_cast<byte>(Op::LOADLOCAL) && !entry.ops[entry.pos + 1].op;
}

// What a LOADLOCAL at position `at` of the entry's code learns once it has
// run there: whether a CALL or a binary operator follows it, and an IF or a
// STORELOCAL after the operator, or a LOADLOCAL that has learnt an operator.
// Run once per position, and again while a LOADLOCAL follows that has not run
// yet. The byte after an operator is at most the end mark.
[[gnu::noinline]] void learnloadlocal(const CodeEntry& entry, std::uint32_t at) {
  // Another LOADLOCAL learns what follows it when it runs, after this one.
  if (loadlocaltocome(entry)) return;
  const byte next = entry.bytes[entry.pos];
  if (const byte pair = fusedbefore(next, pairbefore)) {
    entry.code->quicken(at, pair);
    return;
  }
  const std::size_t i = fusedindex(next);
  if (next == static_cast<byte>(Op::CALL)) {
    entry.code->quicken(at, Code::loadlocalcall);
  } else if (i == Code::fusedcount) {
    entry.code->quicken(at, Code::loadlocalread);
  } else if (i >= Code::firstcomparison && entry.pos + 1 == entry.end) {
    entry.code->quicken(at, static_cast<byte>(Code::loadlocalend + i));
  } else if (i >= Code::firstcomparison && entry.bytes[entry.pos + 1] == static_cast<byte>(Op::IF)) {
    entry.code->quicken(at, static_cast<byte>(Code::loadlocalif + i));
  } else if (entry.bytes[entry.pos + 1] == static_cast<byte>(Op::STORELOCAL)) {
    entry.code->quicken(at, static_cast<byte>(Code::loadlocalstore + i));
  } else {
    entry.code->quicken(at, static_cast<byte>(Code::loadlocalthen + i));
  }
}

// The same for a PUSHCONST of an integer, once the LOADLOCAL that may follow
// it has learnt what follows that.
[[gnu::noinline]] void learnpushint(const CodeEntry& entry, std::uint32_t at) {
  if (loadlocaltocome(entry)) return;
  const byte fused = fusedbefore(entry.bytes[entry.pos], constbefore);
  entry.code->quicken(at, fused ? fused : Code::pushint);
}

// What an ENTERATTR at position `at` of the entry's code learns once it has
// run there: whether a LOADATTR, a LEAVE and a CALL follow it, the LOADATTR's
// name kept with its operand. Run again while that LOADATTR has not run yet.
// Only positions before the entry's end are read: the CALL must be in the
// code, and the run bytes end with the end mark.
[[gnu::noinline]] void learnenterattr(const CodeEntry& entry, std::uint32_t at) {
  const std::uint32_t load = entry.pos;
  if (load + 1 >= entry.end || entry.bytes[load] != static_cast<byte>(Op::LOADATTR)) {
    entry.code->quicken(at, Code::enterattr);
    return;
  }
  const OperandSlot& attr = entry.ops[load + 1];
  if (!attr.op) return;  // the LOADATTR has not run yet
  const std::uint32_t leave = load + 1 + attr.consumed;
  const bool method = attr.name() && leave + 1 < entry.end && entry.bytes[leave] == static_cast<byte>(Op::LEAVE) &&
                      entry.bytes[leave + 1] == static_cast<byte>(Op::CALL);
  entry.code->quicken(at, method ? Code::methodcall : Code::enterattr);
}

// The integer an entry holds, when it is an integer (an immediate or a
// record); false otherwise.
[[gnu::always_inline]] inline bool intvalue(const StackValue& v, std::int32_t& out) {
  if (!v.rec) {
    out = v.intval();
    return v.tag == Tag::Int;
  }
  out = v.rec->intval;
  return v.rec->identifier == Tag::Int;
}

// o on the number of a local's record v (the left operand) and the entry
// right, when both are plain numbers and o computes on them without a
// failure. A record with variable::rootalias set is a plain number
// (Machine::pushread).
template <Op o>
[[gnu::always_inline]] inline bool localoperator(const variable& v, const StackValue& right, std::int32_t& result) {
  if (right.rec || (right.tag != Tag::Int && right.tag != Tag::Float)) return false;
  if (!v.rootalias && !v.isplainnumber()) return false;
  StackValue left;
  left.takenumber(v);
  return plainoperator<o>(left, right, result);
}

}  // namespace

// STORELOCAL of the entry top under name.
[[gnu::always_inline]] inline void Machine::storelocal(Name name, const StackValue& top) {
  if (callstack.size() == 1 && callstack.back() == progroot && plainnumber(top)) {
    // The frame's copy and the root's are the same plain number, and
    // the frame's binding cannot be read while the root has the name:
    // one record serves as both until the root's is handed on
    // (variable::rootalias). The root's copy keeps its sequence number,
    // the one after the frame's.
    Frame& frame = databasestack.back();
    variable* held = reusablerootcopy(*this, name, frame);
    if (held && frame.setshared(name, held, name->homeslot)) {
      // The same number as a new record, with the sequence numbers a
      // new record and the root's copy would take.
      (top.rec ? StackValue::numberof(*top.rec, 0) : top).fillnumber(*held);
      held->seq = heap.reserveseq();
      heap.reserveseq();
    } else {
      variable* v = storedcopy(top);
      heap.reserveseq();
      v->rootalias = variable::rootbinding;
      frame.setunless(name, v, name->homeslot, v);
      NameMap& root = progroot->editattributes();
      root.set(name, v);
      name->rootrecord = v;
      name->roothome = &frame.map();
      name->rootclones = Frame::clones();
      name->rootslot = static_cast<std::uint32_t>(root.position(root.entry(name)));
    }
  } else {
    databasestack.back().set(name, storedcopy(top));
    if (callstack.size() == 1) callstack.back()->editattributes().set(name, storedcopy(top));
  }
}

// The run loop has everything it calls inlined into it, so that the actions
// share its registers. An instrumented build does not: instrumenting the
// flattened loop takes the compiler many minutes, and inlining changes
// nothing that the program does.
#if TRUV_ASAN
#define TRUV_RUNLOOP
#else
#define TRUV_RUNLOOP [[gnu::flatten]]
#endif
TRUV_RUNLOOP void Machine::runloop() {
  // Each cycle runs the instruction at the top of the code stack, or leaves
  // an entry whose code has run out. The checks that need not run on every
  // cycle are gathered in safepoint; the collector runs only there, between
  // two instructions. Every action ends with its own copy of the cycle, so
  // that the jump to the next action is predicted per action. The code stack
  // is never empty here: leaving its last entry ends the run.
  // Every byte that is no opcode, but the end mark of the code, goes to one
  // place.
  void* actions[256];
  for (void*& action : actions) action = &&op_unknown;
  actions[Code::endmark] = &&op_end;
#define TRUV_OPCODE(name, code, operand) actions[code] = &&op_##name;
#include "opcodes.def"
#undef TRUV_OPCODE
  // The codes of positions the loop has learnt about (Code::quicken).
  actions[Code::loadlocalread] = &&op_loadlocalread;
  actions[Code::pushint] = &&op_pushint;
  actions[Code::loadlocalcall] = &&op_loadlocalcall;
  actions[Code::methodcall] = &&op_methodcall;
  actions[Code::enterattr] = &&op_enterattr;
#define TRUV_FUSES(i, o)                                       \
  actions[Code::loadlocalthen + i] = &&op_loadlocal_##o;     \
  actions[Code::constlocalthen + i] = &&op_constlocal_##o;   \
  actions[Code::pairthen + i] = &&op_pair_##o;               \
  actions[Code::pairstore + i] = &&op_pairstore_##o;         \
  actions[Code::loadlocalstore + i] = &&op_loadlocalstore_##o; \
  actions[Code::constlocalstore + i] = &&op_constlocalstore_##o; \
  static_assert(Code::fusedops[i] == Op::o);
#define TRUV_FUSESIF(i, o)                               \
  TRUV_FUSES(i, o)                                       \
  actions[Code::loadlocalend + i] = &&op_loadlocalend_##o; \
  actions[Code::constlocalend + i] = &&op_constlocalend_##o; \
  actions[Code::pairif + i] = &&op_pairif_##o;             \
  actions[Code::pairend + i] = &&op_pairend_##o;           \
  actions[Code::loadlocalif + i] = &&op_loadlocalif_##o; \
  actions[Code::constlocalif + i] = &&op_constlocalif_##o;
  TRUV_FUSES(0, ADD) TRUV_FUSES(1, SUB) TRUV_FUSES(2, MUL) TRUV_FUSES(3, DIV)
  TRUV_FUSESIF(4, EQ) TRUV_FUSESIF(5, GT) TRUV_FUSESIF(6, LT) TRUV_FUSESIF(7, LE) TRUV_FUSESIF(8, GE)
  static_assert(Code::firstcomparison == 4 && Code::fusedcount == 9);
#undef TRUV_FUSESIF
#undef TRUV_FUSES
  // The entry being run. Only CALL, RETURN, IF, WHILE, FOREACH and leaving
  // an entry push or pop code stack entries; they point it at the new top.
  CodeEntry* ce = &codestack.back();
  // The block of the IF being run.
  variable* ifblock = nullptr;
  // The name and value of the STORELOCAL being run.
  Name storename = nullptr;
  StackValue storevalue;
  // Each action knows its own opcode, so the fetch keeps none.
  constexpr auto code = [](Op o) { return static_cast<std::uint8_t>(o); };
  // The position of the entry being run, kept in a register as well: every
  // change is written to the entry at once, so whatever reads the entry
  // (an error report, the learning of a position, a call that pushes an
  // entry above it) finds it there, but the fetch and the actions read it
  // from the register, and need not wait for the store of the action
  // before. An action that lets something else move the position, or that
  // changes the entry being run, takes it from the entry again
  // (TRUV_SYNC_NEXT).
  std::uint32_t pc = ce->pos;
  // An entry's position never passes its end, and the byte at the end is
  // the end mark, so the fetch needs no test.
#define TRUV_NEXT()                                                        \
  do {                                                                     \
    if (--countdown_.left < 0) [[unlikely]] {                              \
      cycle();                                                             \
      pc = ce->pos;                                                        \
    }                                                                      \
    const byte next_ = ce->bytes[pc];                                      \
    ce->pos = ++pc;                                                        \
    goto* actions[next_];                                                  \
  } while (false)
#define TRUV_SYNC_NEXT() \
  do {                   \
    pc = ce->pos;        \
    TRUV_NEXT();         \
  } while (false)
  // A name operand at the position, as getname reads it.
#define TRUV_NAME(var)                          \
  Name var;                                     \
  {                                             \
    const OperandSlot& nameslot_ = ce->ops[pc]; \
    if ((var = nameslot_.name())) {             \
      ce->pos = pc += nameslot_.consumed;       \
    } else {                                    \
      var = getnameslow(*ce);                   \
      pc = ce->pos;                             \
    }                                           \
  }

  TRUV_SYNC_NEXT();

  op_unknown:
      error("Unknown instruction.", false);

  op_end:
      // The entry has run out: the cycle leaves it, or runs its loop again.
      // A plain entry goes at once, so its position is left as it is; an
      // entry that an error report could show is put back at its end (one
      // that runs its block again in place starts again from 0, and nothing
      // on the way there reports an error).
      if (!ce->block) {
        // The entry below it is the top one now; popping moved nothing.
        leaveplainentry();
        --ce;
      } else if (!repeatinplace(*ce)) {
        ce->pos = --pc;
        exitoutoffunc(false);
        ce = &codestack.back();
      }
      TRUV_SYNC_NEXT();

  // Two integers, the usual operands, are computed in place, immediates or
  // records alike (the result is a fresh number either way): the same
  // single-precision arithmetic as the general path, which reports division
  // by zero and results out of range.
#define TRUV_INTARITH(o)                                                                     \
  {                                                                                         \
    if (StackValue* r = immediatepair()) {                                                  \
      const StackValue& l = datastack.back();                                               \
      if (l.tag == Tag::Int && r->tag == Tag::Int && (o != Op::DIV || r->intval() != 0)) {  \
        const float f = doarithmetic(static_cast<float>(l.intval()), static_cast<float>(r->intval()), o); \
        if (f >= -2147483648.0f && f < 2147483648.0f) {                                     \
          pairresult(*r, static_cast<std::int32_t>(f));                                     \
          TRUV_NEXT();                                                                      \
        }                                                                                   \
      }                                                                                     \
    } else if (const std::size_t n = datastack.size(); n >= 2) {                            \
      std::int32_t li, ri;                                                                  \
      if (intvalue(datastack[n - 1], li) && intvalue(datastack[n - 2], ri) &&               \
          (o != Op::DIV || ri != 0)) {                                                      \
        const float f = doarithmetic(static_cast<float>(li), static_cast<float>(ri), o);    \
        if (f >= -2147483648.0f && f < 2147483648.0f) {                                    \
          StackValue& r = datastack[n - 2];                                                 \
          r.rec = nullptr;                                                                  \
          pairresult(r, static_cast<std::int32_t>(f));                                      \
          TRUV_NEXT();                                                                      \
        }                                                                                   \
      }                                                                                     \
    }                                                                                       \
    arithmetic(*this, o);                                                                   \
    TRUV_NEXT();                                                                            \
  }
  op_ADD:
      TRUV_INTARITH(Op::ADD)
  op_SUB:
      TRUV_INTARITH(Op::SUB)
  op_MUL:
      TRUV_INTARITH(Op::MUL)
  op_DIV:
      TRUV_INTARITH(Op::DIV)
#undef TRUV_INTARITH

  op_LOADLOCAL: {
      const std::uint32_t at = pc - 1;
      const OperandSlot& slot = ce->ops[pc];
      TRUV_NAME(name)
      pushread(readlocalvar(*this, name, slot.hint));
      // A name kept with the operand is the name of every execution here:
      // the position learns what follows it.
      if (slot.name()) learnloadlocal(*ce, at);
      TRUV_NEXT();
    }
  op_loadlocalread: {
      const OperandSlot& slot = ce->ops[pc];
      TRUV_NAME(name)
      pushread(readlocalvar(*this, name, slot.hint));
      TRUV_NEXT();
    }
  // A local read followed by a CALL whose count is kept with its operand:
  // a function (a record that a read does not copy) is called here, as the
  // CALL would call it once the read had pushed it, when the data stack
  // holds its arguments; else the read pushes it and the CALL runs on its
  // own, reporting what is missing.
  op_loadlocalcall: {
      const OperandSlot& slot = ce->ops[pc];
      ce->pos = pc += slot.consumed;
      variable* v = readlocalvar(*this, slot.name(), slot.hint);
      const OperandSlot& count = ce->ops[pc + 1];
      const std::size_t args = count.ival > 0 ? static_cast<std::size_t>(count.ival) : 0;
      if (countdown_.left > 0 && count.isint && !v->copiedonread() && holds(args)) {
        --countdown_.left;
        ce->pos = pc += 1 + count.consumed;
        if (v->ismodule)
          callnative(v, v->self(), count.ival);
        else
          callcode(v, count.ival);
        ce = &codestack.back();
        TRUV_SYNC_NEXT();
      }
      pushread(v);
      TRUV_NEXT();
    }
  // A local read followed by a binary operator o (and, as learnt, an IF, a
  // STORELOCAL or the end of the code): o runs here on the local and the
  // top entry when localoperator can run it, which saves the push of the
  // local's copy and a cycle for each instruction run with it; else the
  // read pushes the copy and the instructions after it run on their own.
  // The copy is never made, so it takes no sequence number (which only
  // orders records). `cycles` is the count of instructions run with the
  // read, `ready` whether those after o can be (o's position is `op`), and
  // `tail` what is done with the result (the top entry dropped first, but
  // for TRUV_TAIL_REPLACE), which moves the position past what it runs.
#define TRUV_FUSED_LOCAL(label, o, cycles, ready, tail)                         \
  label: {                                                                      \
      const OperandSlot& slot = ce->ops[pc];                                    \
      ce->pos = pc += slot.consumed;                                            \
      variable* v = readlocalvar(*this, slot.name(), slot.hint);                \
      const std::uint32_t op = pc;                                              \
      std::int32_t result;                                                      \
      if (countdown_.left >= cycles && (ready) && !datastack.empty() &&        \
          localoperator<Op::o>(*v, datastack.back(), result)) {                 \
        countdown_.left -= cycles;                                              \
        tail                                                                    \
      }                                                                         \
      pushread(v);                                                              \
      TRUV_NEXT();                                                              \
    }
  // The same after an integer constant, the right operand: on the second
  // way the constant is pushed and the read runs on its own. A local that
  // is not bound yet takes the second way before anything is done, so that
  // its blank record is made after the constant, as it would be.
#define TRUV_FUSED_CONST(label, o, cycles, ready, tail)                         \
  label: {                                                                      \
      const OperandSlot& constant = ce->ops[pc];                                \
      const std::uint32_t read = pc + constant.consumed;                        \
      const OperandSlot& local = ce->ops[read + 1];                              \
      const std::uint32_t op = read + 1 + local.consumed;                        \
      const variable* v = findlocalvar(*this, local.name(), local.hint);        \
      std::int32_t result;                                                      \
      if (countdown_.left >= cycles + 1 && v && (ready) &&                      \
          localoperator<Op::o>(*v, StackValue::ofint(constant.ival, 0), result)) { \
        countdown_.left -= cycles + 1;                                          \
        tail                                                                    \
      }                                                                         \
      ce->pos = pc = read;                                                      \
      pushint(constant.ival);                                                   \
      TRUV_NEXT();                                                              \
    }
  // The same after another local read, the right operand, when both are
  // bound; on the second way that read runs on its own.
#define TRUV_FUSED_PAIR(label, o, cycles, ready, tail)                          \
  label: {                                                                      \
      const OperandSlot& first = ce->ops[pc];                                   \
      const std::uint32_t read = pc + first.consumed;                           \
      const OperandSlot& local = ce->ops[read + 1];                              \
      const std::uint32_t op = read + 1 + local.consumed;                        \
      const variable* r = findlocalvar(*this, first.name(), first.hint);        \
      const variable* v = r ? findlocalvar(*this, local.name(), local.hint) : nullptr; \
      std::int32_t result;                                                      \
      if (countdown_.left >= cycles + 1 && v && (ready) && (r->rootalias || r->isplainnumber()) && \
          localoperator<Op::o>(*v, StackValue::numberof(*r, 0), result)) {      \
        countdown_.left -= cycles + 1;                                          \
        tail                                                                    \
      }                                                                         \
      ce->pos = pc = read;                                                      \
      pushread(readlocalvar(*this, first.name(), first.hint));                  \
      TRUV_NEXT();                                                              \
    }
  // What is done with the result: pushed, or put in place of the top entry;
  // given to the IF that follows o, whose block record is kept with its
  // operand; stored by the STORELOCAL that follows o, whose name is kept
  // with its operand; or, at the end of the code, when it holds and the
  // entry runs a WHILE block that can go on in place, the next iteration
  // started at once (the end counted as a cycle), else pushed, and the end
  // reached as usual.
#define TRUV_TAIL_PUSH    \
  ce->pos = pc = op + 1;  \
  pushint(result);        \
  TRUV_NEXT();
#define TRUV_TAIL_REPLACE                                \
  ce->pos = pc = op + 1;                                 \
  StackValue& right = datastack.back();                  \
  right.seq = heap.reserveseq();                         \
  right.bits = static_cast<std::uint32_t>(result);       \
  right.tag = Tag::Int;                                  \
  TRUV_NEXT();
#define TRUV_POP(tail)    \
  datastack.pop_back();   \
  tail
#define TRUV_TAIL_IF                                  \
  const OperandSlot& branch = ce->ops[op + 2];        \
  ce->pos = pc = op + 2 + branch.consumed;            \
  ifblock = branch.block();                           \
  if (result) goto runif;                             \
  TRUV_NEXT();
#define TRUV_TAIL_STORE                                             \
  const OperandSlot& target = ce->ops[op + 2];                      \
  ce->pos = pc = op + 2 + target.consumed;                          \
  storename = target.name();                                        \
  storevalue = StackValue::ofint(result, heap.reserveseq());        \
  goto storeresult;
#define TRUV_TAIL_END                                           \
  ce->pos = pc = op + 1;                                        \
  if (result && countdown_.left > 0 && whileinplace(*ce)) {     \
    --countdown_.left;                                          \
    databasestack.back().rewind();                              \
    ce->pos = pc = 0;                                           \
    TRUV_NEXT();                                                \
  }                                                             \
  pushint(result);                                              \
  TRUV_NEXT();
#define TRUV_EACHOPERATOR(M) M(ADD) M(SUB) M(MUL) M(DIV) TRUV_EACHCOMPARISON(M)
#define TRUV_EACHCOMPARISON(M) M(EQ) M(GT) M(LT) M(LE) M(GE)
#define TRUV_LOCALSTORE(o) \
  TRUV_FUSED_LOCAL(op_loadlocalstore_##o, o, 2, ce->ops[op + 2].name(), TRUV_POP(TRUV_TAIL_STORE))
#define TRUV_LOCALEND(o) TRUV_FUSED_LOCAL(op_loadlocalend_##o, o, 1, true, TRUV_POP(TRUV_TAIL_END))
#define TRUV_LOCALTHEN(o) TRUV_FUSED_LOCAL(op_loadlocal_##o, o, 1, true, TRUV_TAIL_REPLACE)
#define TRUV_LOCALIF(o) TRUV_FUSED_LOCAL(op_loadlocalif_##o, o, 2, ce->ops[op + 2].block(), TRUV_POP(TRUV_TAIL_IF))
#define TRUV_CONSTSTORE(o) \
  TRUV_FUSED_CONST(op_constlocalstore_##o, o, 2, ce->ops[op + 2].name(), TRUV_TAIL_STORE)
#define TRUV_CONSTEND(o) TRUV_FUSED_CONST(op_constlocalend_##o, o, 1, true, TRUV_TAIL_END)
#define TRUV_CONSTTHEN(o) TRUV_FUSED_CONST(op_constlocal_##o, o, 1, true, TRUV_TAIL_PUSH)
#define TRUV_CONSTIF(o) TRUV_FUSED_CONST(op_constlocalif_##o, o, 2, ce->ops[op + 2].block(), TRUV_TAIL_IF)
  TRUV_EACHOPERATOR(TRUV_LOCALSTORE)
  TRUV_EACHCOMPARISON(TRUV_LOCALEND)
  TRUV_EACHOPERATOR(TRUV_LOCALTHEN)
  TRUV_EACHCOMPARISON(TRUV_LOCALIF)
  TRUV_EACHOPERATOR(TRUV_CONSTSTORE)
  TRUV_EACHCOMPARISON(TRUV_CONSTEND)
  TRUV_EACHOPERATOR(TRUV_CONSTTHEN)
  TRUV_EACHCOMPARISON(TRUV_CONSTIF)
#define TRUV_PAIRSTORE(o) TRUV_FUSED_PAIR(op_pairstore_##o, o, 2, ce->ops[op + 2].name(), TRUV_TAIL_STORE)
#define TRUV_PAIREND(o) TRUV_FUSED_PAIR(op_pairend_##o, o, 1, true, TRUV_TAIL_END)
#define TRUV_PAIRTHEN(o) TRUV_FUSED_PAIR(op_pair_##o, o, 1, true, TRUV_TAIL_PUSH)
#define TRUV_PAIRIF(o) TRUV_FUSED_PAIR(op_pairif_##o, o, 2, ce->ops[op + 2].block(), TRUV_TAIL_IF)
  TRUV_EACHOPERATOR(TRUV_PAIRSTORE)
  TRUV_EACHCOMPARISON(TRUV_PAIREND)
  TRUV_EACHOPERATOR(TRUV_PAIRTHEN)
  TRUV_EACHCOMPARISON(TRUV_PAIRIF)
#undef TRUV_PAIRIF
#undef TRUV_PAIRTHEN
#undef TRUV_PAIREND
#undef TRUV_PAIRSTORE
#undef TRUV_CONSTIF
#undef TRUV_CONSTTHEN
#undef TRUV_CONSTEND
#undef TRUV_CONSTSTORE
#undef TRUV_LOCALIF
#undef TRUV_LOCALTHEN
#undef TRUV_LOCALEND
#undef TRUV_LOCALSTORE
#undef TRUV_EACHCOMPARISON
#undef TRUV_EACHOPERATOR
#undef TRUV_TAIL_END
#undef TRUV_TAIL_STORE
#undef TRUV_TAIL_IF
#undef TRUV_POP
#undef TRUV_TAIL_REPLACE
#undef TRUV_TAIL_PUSH
#undef TRUV_FUSED_PAIR
#undef TRUV_FUSED_CONST
#undef TRUV_FUSED_LOCAL
  op_STORELOCAL: {
      TRUV_NAME(name)
      need(code(Op::STORELOCAL), 1);
      storelocal(name, datastack.back());
      datastack.pop_back();
      TRUV_NEXT();
    }
  // The store of a fused operator's result, storevalue, under storename:
  // a copy of its own, so that the registers of either copy do not depend on
  // those of the other's way in.
  storeresult:
      storelocal(storename, storevalue);
      TRUV_NEXT();
  op_LOADGLOBAL: {
      TRUV_NAME(name)
      pushread(getglobalvar(name));
      TRUV_NEXT();
    }
  op_STOREGLOBAL: {
      need(code(Op::STOREGLOBAL), 1);
      variable* value = storedcopy(datastack.back());
      TRUV_NAME(name)
      globalvars.set(name, value);
      need(code(Op::STOREGLOBAL), 1);
      datastack.pop_back();
      TRUV_NEXT();
    }
  op_LOADATTR: {
      const OperandSlot& slot = ce->ops[pc];
      TRUV_NAME(name)
      variable* context = callstack.back();
      StackValue value = readvalue(readattribute(context, name, slot.hint));
      // A plain number cannot be called, so its bound object could never be
      // seen; only records get one.
      if (value.rec) value.rec->setself(context);
      push(value);
      TRUV_NEXT();
    }
  op_STOREATTR: {
      need(code(Op::STOREATTR), 1);
      variable* value = storedcopy(datastack.back());
      TRUV_NAME(name)
      callstack.back()->editattributes().set(name, value);
      need(code(Op::STOREATTR), 1);
      datastack.pop_back();
      TRUV_NEXT();
    }

  op_PUSHCONST: {
      const OperandSlot& slot = ce->ops[pc];
      if (slot.isint) {
        // An integer is the same on every execution here: the position
        // learns what follows it, once the LOADLOCAL that may follow has.
        const std::uint32_t at = pc - 1;
        ce->pos = pc += slot.consumed;
        pushint(slot.ival);
        learnpushint(*ce, at);
        TRUV_NEXT();
      }
      pushconst(*ce);
      TRUV_SYNC_NEXT();
    }
  op_pushint: {
      const OperandSlot& slot = ce->ops[pc];
      ce->pos = pc += slot.consumed;
      pushint(slot.ival);
      TRUV_NEXT();
    }
  op_DUP: {
      need(code(Op::DUP), 1);
      const StackValue& top = datastack.back();
      // getcopy of a plain number is its number; the copy is made before the
      // push, which may move the stack.
      StackValue copy = plainnumber(top) ? copyvalue(top) : StackValue::of(top.rec->getcopy());
      push(copy);
      TRUV_NEXT();
    }
  op_POP:
      need(code(Op::POP), 1);
      datastack.pop_back();
      TRUV_NEXT();
  op_STASH:
      need(code(Op::STASH), 1);
      memory.push_back(copyvalue(datastack.back()));
      datastack.pop_back();
      TRUV_NEXT();
  op_UNSTASH:
      if (memory.empty()) error("UNSTASH needs a value on the memory stack, but it is empty.", false);
      push(memory.back());
      memory.pop_back();
      TRUV_NEXT();

  op_PTRLOCAL: {
      TRUV_NAME(name)
      push(getlocalvar(name)->getpointer());
      TRUV_NEXT();
    }
  op_PTRATTR: {
      TRUV_NAME(name)
      push(getattribute(callstack.back(), name)->getpointer());
      TRUV_NEXT();
    }
  op_PTRGLOBAL: {
      TRUV_NAME(name)
      push(getglobalvar(name)->getpointer());
      TRUV_NEXT();
    }
  op_PTRTOP:
      need(code(Op::PTRTOP), 1);
      push(gettopvar()->getpointer());
      TRUV_NEXT();

  op_LEAVE:
      leavecontext();
      TRUV_NEXT();
  op_ENTERATTR: {
      const std::uint32_t at = pc - 1;
      const OperandSlot& slot = ce->ops[pc];
      TRUV_NAME(name)
      entercontext(getattribute(callstack.back(), name, slot.hint));
      // A name kept with the operand is the name of every execution here:
      // the position learns what follows it.
      if (slot.name()) learnenterattr(*ce, at);
      TRUV_NEXT();
    }
  op_enterattr: {
      const OperandSlot& slot = ce->ops[pc];
      ce->pos = pc += slot.consumed;
      entercontext(getattribute(callstack.back(), slot.name(), slot.hint));
      TRUV_NEXT();
    }
  // ENTERATTR, LOADATTR, LEAVE and CALL, the usual call of a native method:
  // when the object and its attribute are there already, the attribute is a
  // native that a read hands on (no copy), the count is kept with the CALL's
  // operand and the data stack holds the arguments, the method is bound to
  // the object as the LOADATTR would bind it and called as the CALL would
  // call it. Entering the object and leaving it again changes nothing that
  // the call could see, and no check falls due on the way (the cycles are
  // counted). A method of the object's that is not made yet (variable::
  // givemethods) is called without being made, bound to the object as the
  // LOADATTR would have bound it once it had made it. Otherwise the
  // ENTERATTR runs on its own, and the rest after it.
  op_methodcall: {
      const OperandSlot& slot = ce->ops[pc];
      const std::uint32_t load = pc + slot.consumed;
      const OperandSlot& attr = ce->ops[load + 1];
      const std::uint32_t leave = load + 1 + attr.consumed;
      const OperandSlot& count = ce->ops[leave + 2];
      variable* context = callstack.back();
      const std::size_t args = count.ival > 0 ? static_cast<std::size_t>(count.ival) : 0;
      if (countdown_.left > 3 && count.isint && holds(args)) {
        const NameMap::Slot* bound = context->madeattributes().entryhinted(slot.name(), slot.hint);
        variable* object = bound ? bound->second : nullptr;
        if (object && !object->rootalias) {
          if (const MethodSet* pending = object->pendingmethods()) {
            // The attributes hold nothing but the methods.
            const int index = pendingindex(*pending, attr.name());
            if (index >= 0) {
              countdown_.left -= 3;
              ce->pos = pc = leave + 2 + count.consumed;
              callpendingmethod(object, *pending, static_cast<unsigned>(index), count.ival);
              TRUV_NEXT();
            }
          }
          const NameMap::Slot* found = object->madeattributes().entryhinted(attr.name(), attr.hint);
          variable* method = found ? found->second : nullptr;
          if (method && method->ismodule && !method->copiedonread()) {
            method->setself(object);
            countdown_.left -= 3;
            ce->pos = pc = leave + 2 + count.consumed;
            callnative(method, method->self(), count.ival);
            TRUV_NEXT();
          }
        }
      }
      ce->pos = pc = load;
      entercontext(getattribute(context, slot.name(), slot.hint));
      TRUV_NEXT();
    }
  op_LEAVEALL:
      while (callstack.size() > 1) leavecontext();
      TRUV_NEXT();
  op_ENTERTOP:
      need(code(Op::ENTERTOP), 1);
      entercontext(gettopvar());
      TRUV_NEXT();

  op_CALL: {
      const std::int32_t argnum = getcount(*ce);
      need(code(Op::CALL), static_cast<std::size_t>(argnum > 0 ? argnum : 0) + 1);
      // A native, the usual function called this way, runs here, as callfunc
      // would run it.
      if (variable* function = datastack.back().rec; function && !datastack.back().pending()) [[likely]] {
        datastack.pop_back();
        if (function->ismodule) {
          // A native pushes no code entry: the entry being run stays the
          // top one.
          callnative(function, function->self(), argnum);
          TRUV_SYNC_NEXT();
        }
        callcode(function, argnum);
      } else {
        callfunc(argnum);
      }
      ce = &codestack.back();
      TRUV_SYNC_NEXT();
    }
  op_RETURN:
      exitoutoffunc();
      ce = &codestack.back();
      TRUV_SYNC_NEXT();

  op_EQ: {
      // Two immediate numbers: equal when their values are.
      if (StackValue* r = immediatepair()) {
        const StackValue& l = datastack.back();
        if (l.tag != Tag::Blank && r->tag != Tag::Blank) {
          pairresult(*r, l.immediatefloat() == r->immediatefloat() ? 1 : 0);
          TRUV_NEXT();
        }
      }
      need(code(Op::EQ), 2);
      StackValue left = popvalue();
      StackValue right = popvalue();
      pushint(valueequal(right, left) ? 1 : 0);
      TRUV_NEXT();
    }
  // Two immediate numbers are compared in place.
#define TRUV_COMPARE(o)                                                                 \
  {                                                                                    \
    if (StackValue* r = immediatepair()) {                                             \
      const float l = datastack.back().immediatefloat();                               \
      pairresult(*r, docomparisment(l, r->immediatefloat(), o) ? 1 : 0);              \
      TRUV_NEXT();                                                                    \
    }                                                                                  \
    comparison(*this, o);                                                              \
    TRUV_NEXT();                                                                       \
  }
  op_GT:
      TRUV_COMPARE(Op::GT)
  op_LT:
      TRUV_COMPARE(Op::LT)
  op_LE:
      TRUV_COMPARE(Op::LE)
  op_GE:
      TRUV_COMPARE(Op::GE)
#undef TRUV_COMPARE
  op_NOT: {
      need(code(Op::NOT), 1);
      StackValue v = popvalue();
      pushintresult(*this, v, valueint(v) == 0 ? 1 : 0);
      TRUV_NEXT();
    }
  op_AND:
      logic(*this, Op::AND);
      TRUV_NEXT();
  op_OR:
      logic(*this, Op::OR);
      TRUV_NEXT();
  op_XOR:
      logic(*this, Op::XOR);
      TRUV_NEXT();
  op_NOR:
      logic(*this, Op::NOR);
      TRUV_NEXT();

  op_IF:
      ifblock = getblock(*ce);
      need(code(Op::IF), 1);
      if (valueint(popvalue()) == 0) TRUV_SYNC_NEXT();
  // The block of an IF whose condition holds: ifblock.
  runif:
      if (CodeEntry* entry = enterif(ifblock)) [[likely]]
        ce = entry;
      else
        ce = &codestack.back();
      TRUV_SYNC_NEXT();
  op_WHILE: {
      // The jump to the next action must not leave the scope of `run`.
      {
        auto run = std::make_unique<BlockRun>();
        run->kind = BlockRun::Kind::While;
        run->target = getblock(*ce);
        whileloop(std::move(run));
      }
      ce = &codestack.back();
      TRUV_SYNC_NEXT();
    }
  op_FOREACH: {
      {
        auto run = std::make_unique<BlockRun>();
        run->kind = BlockRun::Kind::Foreach;
        run->target = getblock(*ce);
        need(code(Op::FOREACH), 1);
        variable* collection = popvalue().rec;
        if (!collection) {
          // A number: nothing to run over.
        } else if (collection->identifier == Tag::Dict) {
          ListVal& keys = run->elements.edit();
          for (const auto& entry : collection->dictval()) keys.push_back(entry.first);
        } else if (collection->identifier == Tag::List) {
          run->elements = collection->sharedlistval();
        }
        foreachloop(std::move(run));
      }
      ce = &codestack.back();
      TRUV_SYNC_NEXT();
    }

  op_NOP:
  op_DICTLOCALS:
  op_DICTGLOBALS:
  op_DICTATTRS:
      TRUV_NEXT();

#undef TRUV_NAME
#undef TRUV_SYNC_NEXT
#undef TRUV_NEXT
}
#undef TRUV_RUNLOOP

}  // namespace TruvVM
