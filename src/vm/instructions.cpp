// The actions of the 42 opcodes.
//
// Operands are read from the instruction's own code entry before anything is
// pushed onto the code stack, since a push may move the entries.

#include "machine.hpp"
#include "moduleapi.hpp"

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

variable* newint(std::int32_t value) {
  variable* v = getallocvar();
  v->identifier = Tag::Int;
  v->intval = value;
  return v;
}

// ADD, SUB, MUL, DIV. The left operand is on top. The right operand is
// converted first, so when both are refused the report names the right one.
void arithmetic(Machine& m, Op op) {
  m.need(static_cast<std::uint8_t>(op), 2);
  variable* left = m.pop();
  variable* right = m.pop();
  variable* result = getallocvar();
  if (op == Op::ADD && left->identifier == Tag::String && right->identifier == Tag::String) {
    result->identifier = Tag::String;
    result->stringval.reserve(left->stringval.size() + right->stringval.size());
    result->stringval = left->stringval;
    result->stringval += right->stringval;
  } else if (left->identifier == Tag::Float || right->identifier == Tag::Float) {
    const float r = right->getfloat();
    const float l = left->getfloat();
    result->identifier = Tag::Float;
    result->floatval = doarithmetic(l, r, op);
  } else {
    // Integers are computed in single precision and truncated toward zero.
    const std::int32_t r = right->getint();
    const std::int32_t l = left->getint();
    if (op == Op::DIV && r == 0) error("Integer division by zero.", false);
    const float f = doarithmetic(static_cast<float>(l), static_cast<float>(r), op);
    if (!(f >= -2147483648.0f && f < 2147483648.0f))
      error("Integer result out of range: " + std::to_string(l) + " " + opsymbol(op) + " " + std::to_string(r) + ".",
            false);
    result->identifier = Tag::Int;
    result->intval = static_cast<std::int32_t>(f);
  }
  m.push(result);
}

void comparison(Machine& m, Op op) {
  m.need(static_cast<std::uint8_t>(op), 2);
  variable* left = gettopvar();
  variable* right = gettopvar();
  const float r = right->getfloat();
  const float l = left->getfloat();
  m.push(newint(docomparisment(l, r, op) ? 1 : 0));
}

// AND, OR, XOR, NOR write their result into the popped left operand, which
// for every kind they accept is a fresh copy.
void logic(Machine& m, Op op) {
  m.need(static_cast<std::uint8_t>(op), 2);
  variable* left = gettopvar();
  variable* right = gettopvar();
  std::int32_t result = 0;
  switch (op) {
    case Op::AND: result = left->getint() != 0 && right->getint() != 0; break;
    case Op::OR: result = left->getint() != 0 || right->getint() != 0; break;
    case Op::XOR: {
      const std::int32_t l = left->getint();
      result = l ^ right->getint();
      break;
    }
    default: {
      const std::int32_t r = right->getint();
      result = logical_nor(left->getint(), r);
      break;
    }
  }
  left->intval = result;
  left->identifier = Tag::Int;
  m.push(left);
}

// The block operand of IF, WHILE and FOREACH, as a heap copy.
variable* getblock(Machine& m, CodeEntry& e) { return m.getconst(e); }

}  // namespace

void Machine::execute(std::uint8_t opcode, CodeEntry& e) {
  const Op op = static_cast<Op>(opcode);
  switch (op) {
    case Op::ADD:
    case Op::SUB:
    case Op::MUL:
    case Op::DIV:
      arithmetic(*this, op);
      return;

    case Op::LOADLOCAL: {
      Name name = getname(e);
      push(getlocalvar(name)->getvar());
      return;
    }
    case Op::STORELOCAL: {
      Name name = getname(e);
      need(opcode, 1);
      variable* top = datastack.back();
      databasestack.back().set(name, top->getvar());
      if (callstack.size() == 1) callstack.back()->attributes.set(name, top->getvar());
      pop();
      return;
    }
    case Op::LOADGLOBAL: {
      Name name = getname(e);
      push(getglobalvar(name)->getvar());
      return;
    }
    case Op::STOREGLOBAL: {
      need(opcode, 1);
      variable* value = datastack.back()->getvar();
      Name name = getname(e);
      globalvars.set(name, value);
      need(opcode, 1);
      pop();
      return;
    }
    case Op::LOADATTR: {
      Name name = getname(e);
      variable* context = callstack.back();
      variable* value = getattribute(context, name)->getvar();
      value->self = context;
      push(value);
      return;
    }
    case Op::STOREATTR: {
      need(opcode, 1);
      variable* value = datastack.back()->getvar();
      Name name = getname(e);
      callstack.back()->attributes.set(name, value);
      need(opcode, 1);
      pop();
      return;
    }

    case Op::PUSHCONST:
      push(getconst(e));
      return;
    case Op::DUP:
      need(opcode, 1);
      push(datastack.back()->getcopy());
      return;
    case Op::POP:
      need(opcode, 1);
      pop();
      return;
    case Op::STASH:
      need(opcode, 1);
      memory.push_back(gettopvar());
      return;
    case Op::UNSTASH:
      if (memory.empty()) error("UNSTASH needs a value on the memory stack, but it is empty.", false);
      push(memory.back());
      memory.pop_back();
      return;

    case Op::PTRLOCAL: {
      Name name = getname(e);
      push(getlocalvar(name)->getpointer());
      return;
    }
    case Op::PTRATTR: {
      Name name = getname(e);
      push(getattribute(callstack.back(), name)->getpointer());
      return;
    }
    case Op::PTRGLOBAL: {
      Name name = getname(e);
      push(getglobalvar(name)->getpointer());
      return;
    }
    case Op::PTRTOP:
      need(opcode, 1);
      push(gettopvar()->getpointer());
      return;

    case Op::LEAVE:
      goout();
      return;
    case Op::ENTERATTR: {
      Name name = getname(e);
      gointo(getattribute(callstack.back(), name));
      return;
    }
    case Op::LEAVEALL:
      while (callstack.size() > 1) goout();
      return;
    case Op::ENTERTOP:
      need(opcode, 1);
      gointo(gettopvar());
      return;

    case Op::CALL: {
      const std::int32_t argnum = getcount(e);
      need(opcode, static_cast<std::size_t>(argnum > 0 ? argnum : 0) + 1);
      callfunc(argnum);
      return;
    }
    case Op::RETURN:
      exitoutoffunc();
      return;

    case Op::EQ: {
      need(opcode, 2);
      variable* result = getallocvar();
      result->identifier = Tag::Int;
      variable* left = gettopvar();
      variable* right = gettopvar();
      result->intval = *right == *left ? 1 : 0;
      push(result);
      return;
    }
    case Op::GT:
    case Op::LT:
    case Op::LE:
    case Op::GE:
      comparison(*this, op);
      return;
    case Op::NOT: {
      need(opcode, 1);
      variable* v = gettopvar();
      v->intval = v->getint() == 0 ? 1 : 0;
      v->identifier = Tag::Int;
      push(v);
      return;
    }
    case Op::AND:
    case Op::OR:
    case Op::XOR:
    case Op::NOR:
      logic(*this, op);
      return;

    case Op::IF: {
      variable* block = getblock(*this, e);
      need(opcode, 1);
      variable* condition = gettopvar();
      if (condition->getint() != 0) {
        std::unique_ptr<BlockRun> run;
        standalonefunccall(block, databasestack.back(), run);
      }
      return;
    }
    case Op::WHILE: {
      auto run = std::make_unique<BlockRun>();
      run->kind = BlockRun::Kind::While;
      run->target = getblock(*this, e);
      whileloop(std::move(run));
      return;
    }
    case Op::FOREACH: {
      auto run = std::make_unique<BlockRun>();
      run->kind = BlockRun::Kind::Foreach;
      run->target = getblock(*this, e);
      need(opcode, 1);
      variable* collection = gettopvar();
      if (collection->identifier == Tag::Dict) {
        for (const auto& entry : collection->dictval) run->elements.push_back(entry.first);
      } else if (collection->identifier == Tag::List) {
        run->elements = collection->listval;
      }
      foreachloop(std::move(run));
      return;
    }

    case Op::NOP:
    case Op::DICTLOCALS:
    case Op::DICTGLOBALS:
    case Op::DICTATTRS:
      return;
  }
}

}  // namespace TruvVM
