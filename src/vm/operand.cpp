// Reading operands during execution: decoding (once per code position) and
// making the values an execution of the operand yields.

#include "builtin.hpp"
#include "machine.hpp"
#include "moduleapi.hpp"

namespace TruvVM {

namespace {

const CachedOperand& cachedoperand(Machine& m, const CodeEntry& e) {
  const Code& code = *e.code;
  // One slot per position, and one for an operand expected at the very end.
  OperandSlot& at = code.operandtable()[e.pos];
  if (!at.op) {
    CachedOperand* slot = &code.operands.decode(e.pos);
    const byte* p = code.bytes.data() + e.pos;
    slot->decoded = decodeoperand(p, code.size() - e.pos);
    slot->bodies.resize(slot->decoded.nodes.size(), nullptr);
    for (std::size_t i = 0; i < slot->decoded.nodes.size(); ++i) {
      const OperandNode& node = slot->decoded.nodes[i];
      if (node.type == OperandType::Stack) slot->fromstack = true;
      if (i > 0 && node.type != OperandType::Int && node.type != OperandType::Float &&
          node.type != OperandType::String)
        slot->scalars = false;
      if (node.type == OperandType::Func && slot->decoded.status == DecodeStatus::Ok)
        slot->bodies[i] = m.newcode(funcbody(p, node));
    }
    slot->ok = slot->decoded.status == DecodeStatus::Ok;
    at.consumed = slot->decoded.consumed;
    at.isint = slot->ok && slot->decoded.nodes[0].type == OperandType::Int;
    if (at.isint) at.ival = slot->decoded.nodes[0].ival;
  }
  return *at.op;
}

[[noreturn]] void emptystack() { error("Operand taken from the data stack, but the data stack is empty.", false); }

// A malformed operand: what execution does up to the fault (taking values from
// the data stack included), then the report.
[[noreturn]] void badoperand(Machine& m, CodeEntry& e, const CachedOperand& op) {
  const std::uint32_t base = e.pos;
  for (const OperandNode& node : op.decoded.nodes) {
    if (node.type != OperandType::Stack) continue;
    e.pos = base + node.start + 1;
    if (m.datastack.empty()) emptystack();
    moduleapi::gettopvar();
  }
  e.pos = base + op.decoded.consumed;
  if (op.decoded.status == DecodeStatus::BadType) error("Bad type when getting operand!", false);
  error("Operand cut off by the end of the code.", false);
}

// Fills rec from a node that has no children.
void fillscalar(Machine& m, CodeEntry& e, std::uint32_t base, const CachedOperand& op, std::size_t i,
                variable* rec) {
  const OperandNode& node = op.decoded.nodes[i];
  const byte* p = e.code->bytes.data() + base;
  switch (node.type) {
    case OperandType::Int:
      rec->identifier = Tag::Int;
      rec->intval = node.ival;
      return;
    case OperandType::Float:
      rec->identifier = Tag::Float;
      rec->floatval = floatoperand(node.ipart, node.fpart);
      return;
    case OperandType::String:
      rec->identifier = Tag::String;
      if (op.decoded.nodes.size() == 1) {
        CachedOperand& cached = const_cast<CachedOperand&>(op);
        if (!cached.hastext) {
          cached.text.assign(reinterpret_cast<const char*>(p + node.payload), node.payloadlen);
          cached.hastext = true;
        }
        rec->stringval = cached.text;
        return;
      }
      if (op.nodetexts.empty()) {
        std::vector<Text>& texts = const_cast<CachedOperand&>(op).nodetexts;
        texts.resize(op.decoded.nodes.size());
        for (std::size_t at = 0; at < texts.size(); ++at) {
          const OperandNode& n = op.decoded.nodes[at];
          if (n.type == OperandType::String)
            texts[at].assign(reinterpret_cast<const char*>(p + n.payload), n.payloadlen);
        }
      }
      rec->stringval = op.nodetexts[i];
      return;
    case OperandType::Class:
      rec->identifier = Tag::CustomClass;
      return;
    case OperandType::Func:
      rec->identifier = Tag::CustomFunc;
      rec->setfunccode(op.bodies[i]);
      return;
    case OperandType::Stack: {
      e.pos = base + node.start + 1;
      if (m.datastack.empty()) emptystack();
      StackValue v = m.popvalue();
      if (v.rec)
        *rec = *v.rec->getvar();
      else
        v.fillnumber(*rec);
      return;
    }
    case OperandType::List:
    case OperandType::Dict:
      return;
  }
}

// Makes the value of a well-formed operand, in the order a recursive reading
// would: each element's record is made before the records inside it.
//
// With ascopy, a list operand, or a dictionary operand whose entries are
// plain numbers and texts (CachedOperand::scalars), is made as the copy of its value
// that a constant pushes (Machine::getconst) would be, without the value
// itself, which nothing could reach. A copy of a list shares the elements
// and has the list's methods copied, so the elements are made as they would
// be, and then the list and its methods, in the order the copy makes them.
// A copy of a dictionary is made first, with its methods, and then a copy of
// each key and value in turn, which holds what the key or value made from
// the operand would hold; so the dictionary and its methods are made first
// here, and then the keys and values, as the operand gives them. Only the
// records that live on are made, in the same order as before; sequence
// numbers only order records.
variable* makeoperand(Machine& m, CodeEntry& e, const CachedOperand& op, bool ascopy = false) {
  const std::uint32_t base = e.pos;
  const auto& nodes = op.decoded.nodes;
  struct Open {
    variable* rec;
    std::uint32_t remaining;  // child nodes still to come directly inside
    variable* key;            // dictionary: the key waiting for its value
  };
  // The containers still open, innermost last: most operands nest a few
  // levels, which take no allocation.
  constexpr std::size_t shallow = 16;
  Open near[shallow];
  std::vector<Open> deep;
  std::size_t depth = 0;
  const auto innermost = [&]() -> Open& {
    return depth <= shallow ? near[depth - 1] : deep[depth - shallow - 1];
  };
  const auto open = [&](const Open& o) {
    if (depth < shallow)
      near[depth] = o;
    else
      deep.push_back(o);
    ++depth;
  };
  // A copy of a dictionary with entries is made before them, with its methods.
  const bool copyfirst = ascopy && nodes[0].type == OperandType::Dict && nodes[0].count != 0;
  variable* result = nullptr;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const OperandNode& node = nodes[i];
    variable* rec = getallocvar();
    if (depth == 0) {
      result = rec;
    } else {
      Open& parent = innermost();
      --parent.remaining;
      if (parent.rec->identifier == Tag::List) {
        parent.rec->editlistval().push_back(rec);
      } else if (!parent.key) {
        parent.key = rec;
      } else {
        parent.rec->editdictval().set(parent.key, rec);
        parent.key = nullptr;
      }
    }
    if (node.type == OperandType::List) {
      rec->identifier = Tag::List;
      if (!ascopy || i != 0) initlistvar(*rec);
      // The elements are counted already: their room is made at once.
      if (node.count) rec->editlistval().reserve(node.count);
      open({rec, node.count, nullptr});
    } else if (node.type == OperandType::Dict) {
      rec->identifier = Tag::Dict;
      if (!ascopy || i != 0)
        initdictvar(*rec);
      else if (copyfirst)
        initdictvarascopy(*rec);
      if (node.count) rec->editdictval().reserve(node.count);
      open({rec, 2 * node.count, nullptr});
    } else {
      fillscalar(m, e, base, op, i, rec);
    }
    while (depth != 0 && innermost().remaining == 0) {
      --depth;
      if (depth >= shallow) deep.pop_back();
    }
  }
  e.pos = base + op.decoded.consumed;
  if (ascopy && !copyfirst) {
    // The copy is made after the elements it shares.
    result->seq = m.heap.reserveseq();
    if (result->identifier == Tag::List)
      initlistvarascopy(*result);
    else
      initdictvarascopy(*result);
  }
  return result;
}

const CachedOperand& readoperand(Machine& m, CodeEntry& e) {
  const CachedOperand& op = cachedoperand(m, e);
  if (op.decoded.status != DecodeStatus::Ok) badoperand(m, e, op);
  return op;
}

}  // namespace

variable* Machine::getop(CodeEntry& e) {
  const CachedOperand& op = readoperand(*this, e);
  return makeoperand(*this, e, op);
}

Name Machine::getnameslow(CodeEntry& e) {
  const std::uint32_t base = e.pos;
  const CachedOperand& op = readoperand(*this, e);
  variable* v = makeoperand(*this, e, op);
  // A name taken from the data stack is the program's own making, which may
  // be new on every execution: it is kept only while something binds it.
  // An operand that takes nothing from the data stack always has the same
  // text; getname finds it from then on.
  if (op.fromstack) return names.internloose(v->getstring(false));
  Name name = names.intern(v->getstring(false));
  e.code->operandtable()[base].kept = const_cast<Symbol*>(name);
  return name;
}

std::int32_t Machine::getcountslow(CodeEntry& e) {
  const CachedOperand& op = readoperand(*this, e);
  if (op.decoded.nodes[0].type == OperandType::Int) {
    e.pos += op.decoded.consumed;
    return op.decoded.nodes[0].ival;
  }
  return makeoperand(*this, e, op)->getint();
}

variable* Machine::getconst(CodeEntry& e) {
  const CachedOperand& op = readoperand(*this, e);
  switch (op.decoded.nodes[0].type) {
    case OperandType::List:
      return makeoperand(*this, e, op, true);
    case OperandType::Dict:
      // A copy of a dictionary copies its entries in turn: made at once when
      // they are numbers and texts, each copied as it is.
      if (op.scalars) return makeoperand(*this, e, op, true);
      [[fallthrough]];
    case OperandType::Stack:
      return makeoperand(*this, e, op)->getcopy();
    default: {
      // A value without attributes, entries or bound object: its copy is
      // made directly.
      variable* v = getallocvar();
      const std::uint32_t base = e.pos;
      fillscalar(*this, e, base, op, 0, v);
      e.pos = base + op.decoded.consumed;
      return v;
    }
  }
}

variable* Machine::getblockslow(CodeEntry& e) {
  const CachedOperand& op = readoperand(*this, e);
  if (op.decoded.nodes.size() != 1 || op.decoded.nodes[0].type != OperandType::Func) return getconst(e);
  CachedOperand& cached = const_cast<CachedOperand&>(op);
  if (!cached.block) {
    variable* v = heap.alloc();
    v->identifier = Tag::CustomFunc;
    v->setfunccode(op.bodies[0]);
    pinned.push_back(v);
    cached.block = v;
  }
  e.code->operandtable()[e.pos].kept = cached.block;
  e.pos += op.decoded.consumed;
  return cached.block;
}

void Machine::pushconstslow(CodeEntry& e) {
  const CachedOperand& op = readoperand(*this, e);
  const OperandNode& node = op.decoded.nodes[0];
  switch (node.type) {
    case OperandType::Int:
      e.pos += op.decoded.consumed;
      pushint(node.ival);
      return;
    case OperandType::Float:
      e.pos += op.decoded.consumed;
      pushfloat(floatoperand(node.ipart, node.fpart));
      return;
    case OperandType::String:
      if (op.hastext) {
        variable* v = heap.alloc();
        v->identifier = Tag::String;
        v->stringval = op.text;
        e.pos += op.decoded.consumed;
        push(v);
        return;
      }
      push(getconst(e));
      return;
    default:
      push(getconst(e));
      return;
  }
}

}  // namespace TruvVM
