#pragma once
// Code buffers: immutable bytes that code stack entries walk through.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "decode.hpp"
#include "names.hpp"
#include "opcodes.hpp"
#include "text.hpp"

namespace TruvVM {

struct Code;

// What is known about the operand at one position of a code buffer. Code never
// changes, so an operand is decoded once; what execution makes of it (values
// taken from the data stack included) is still done on every execution.
struct CachedOperand {
  DecodedOperand decoded;
  bool ok = false;                  // well formed
  std::vector<const Code*> bodies;  // per node: the body of a function node
  bool fromstack = false;           // some node takes a value from the data stack
  bool scalars = true;              // every node after the first is a number or a text
  variable* block = nullptr;        // the block record of a plain function operand, once made
  // The text of a string operand, made once: texts share their bytes, and a
  // record that changes its text gets bytes of its own.
  bool hastext = false;
  Text text;
  // The same for every string node of an operand of more nodes (a list or
  // dictionary constant), made together the first time: empty until then,
  // else one per node, empty but for string nodes.
  std::vector<Text> nodetexts;
};

// One position of a code buffer: the operand decoded there, and what the
// run loop's fast paths read of it, kept in the table itself so that reading
// them takes one load fewer: the bytes an execution consumes, its integer
// when it is a well formed single integer (isint), and its text as a name
// once computed (for an operand that takes nothing from the data stack).
// An instruction that looks its name up keeps where it last found it: in
// the frame's map for LOADLOCAL (every call of a function binds its names in
// the same order, so the next frame has the name there too; the root's map
// is tried at Symbol::rootslot), in the context's attributes for LOADATTR
// and ENTERATTR. The position is only a hint, checked before use.
//
// `kept` is the name of a name operand, or for IF, WHILE and FOREACH the
// block record of a plain function operand (CachedOperand::block) once made.
// One slot needs only one of them: an entry always starts at the first byte
// and every position consumes the same bytes each time, so the opcode that
// reads the operand at a position is always the same one.
struct OperandSlot {
  CachedOperand* op = nullptr;  // owned by the code's operand table
  void* kept = nullptr;
  std::uint32_t consumed = 0;
  std::int32_t ival = 0;
  bool isint = false;
  mutable std::uint32_t hint = 0;

  Name name() const { return static_cast<Name>(kept); }
  variable* block() const { return static_cast<variable*>(kept); }
};

// The operand table of a code buffer: one slot per position, so that the run
// loop reaches a position's slot by its index. Most positions of a long code
// are bytes inside operands (function bodies above all), whose slots are
// never used; so the table is allocated zeroed, which is every slot empty,
// and is not written to: a large one takes fresh pages from the host, which
// take memory only once a slot on them is written. A table written in full
// would take 32 bytes of memory for every byte of code. The slots given a
// decoded operand are listed, so that freeing the table reads no others.
class OperandTable {
 public:
  OperandTable() = default;
  OperandTable(const OperandTable&) = delete;
  OperandTable& operator=(const OperandTable&) = delete;
  ~OperandTable() {
    for (std::uint32_t position : decoded_) delete slots_[position].op;
    std::free(slots_);
  }
  // Makes the table: n empty slots.
  void allocate(std::size_t n) {
    slots_ = static_cast<OperandSlot*>(std::calloc(n, sizeof(OperandSlot)));
    if (!slots_) throw std::bad_alloc();
  }
  OperandSlot* data() const { return slots_; }
  // Gives the empty slot at position a decoded operand, owned by the table.
  CachedOperand& decode(std::size_t position) {
    decoded_.push_back(static_cast<std::uint32_t>(position));
    slots_[position].op = new CachedOperand();
    return *slots_[position].op;
  }

 private:
  OperandSlot* slots_ = nullptr;
  std::vector<std::uint32_t> decoded_;
};
static_assert(std::is_trivially_copyable_v<OperandSlot> && std::is_trivially_destructible_v<OperandSlot>,
              "an operand table's slots are made by allocating them zeroed");

// Immutable once made. A function value refers to the body it was decoded
// from; every call walks the same buffer from the start.
struct Code {
  std::vector<byte> bytes;
  // By position, with one more for an operand expected at the very end;
  // sized when the run bytes are made.
  mutable OperandTable operands;

  std::size_t size() const { return bytes.size(); }
  // The bytes followed by endmark, for the run loop: reading the byte at the
  // end finds endmark, which is no opcode, so the loop learns that an entry
  // has run out from the byte alone, and tests nothing before each fetch.
  // Made, with the operand table, when the first code entry is made for the
  // code.
  static constexpr byte endmark = 0xFF;
  // The run bytes also hold codes of the run loop's own, which no code
  // buffer can bring in: every byte that is no opcode is `unknown` there, a
  // code of its own, so that endmark is found at the end only. Once the run
  // loop has run a LOADLOCAL at a position whose name is kept with its
  // operand, it gives that position one of these, saying what follows it
  // there: a binary operator fusedops[i] (loadlocalthen + i), a comparison
  // fusedops[i] and an IF (loadlocalif + i), an operator and a STORELOCAL
  // (loadlocalstore + i), a comparison that ends the code (loadlocalend +
  // i), a CALL (loadlocalcall), or anything else (loadlocalread). A
  // PUSHCONST of an integer followed by such a LOADLOCAL and operator gets
  // constlocalthen + i, constlocalif + i, constlocalstore + i or
  // constlocalend + i, and otherwise pushint; a LOADLOCAL followed by such
  // a LOADLOCAL gets pairthen + i, pairif + i, pairstore + i or pairend + i.
  // An ENTERATTR whose name is kept, followed by a LOADATTR whose name is
  // kept, a LEAVE and a CALL (a method call), gets methodcall, and
  // enterattr once it is known that something else follows it.
  // The bytes an execution
  // consumes are the same on every execution of a position, so what follows
  // a position is always the same.
  static constexpr Op fusedops[] = {Op::ADD, Op::SUB, Op::MUL, Op::DIV, Op::EQ, Op::GT, Op::LT, Op::LE, Op::GE};
  static constexpr std::size_t fusedcount = std::size(fusedops);
  static constexpr std::size_t firstcomparison = 4;  // fusedops from here on are comparisons
  static constexpr byte pairend = 0x30;
  static constexpr byte pairthen = 0x40;
  static constexpr byte pairif = 0x70;
  static constexpr byte pairstore = 0xF0;
  static constexpr byte loadlocalend = 0x50;
  static constexpr byte constlocalend = 0x60;
  static constexpr byte loadlocalthen = 0x80;
  static constexpr byte constlocalthen = 0x90;
  static constexpr byte loadlocalif = 0xA0;
  static constexpr byte constlocalif = 0xB0;
  static constexpr byte loadlocalstore = 0xC0;
  static constexpr byte constlocalstore = 0xD0;
  static constexpr byte loadlocalread = 0xE0;
  static constexpr byte pushint = 0xE1;
  static constexpr byte loadlocalcall = 0xE2;
  static constexpr byte methodcall = 0xE3;
  static constexpr byte enterattr = 0xE4;
  static constexpr byte unknown = 0xFE;
  static_assert(pairend >= opcodecount && fusedcount <= 0x10 && pairstore + fusedcount <= unknown && unknown < endmark);
  // Gives the position the code of what the run loop learnt there.
  void quicken(std::size_t position, byte code) const { runbytes_[position] = code; }
  const byte* runbytes() const {
    if (!runbytes_) prepare();
    return runbytes_.get();
  }
  OperandSlot* operandtable() const {
    if (!runbytes_) prepare();
    return operands.data();
  }
  // Whether the run bytes and the operand table are made: then runbytes()
  // and operandtable() allocate nothing, and preparedbytes() may be read
  // instead.
  bool prepared() const { return runbytes_ != nullptr; }
  const byte* preparedbytes() const { return runbytes_.get(); }
  // size(), kept once the code is prepared, read with one load.
  std::uint32_t preparedsize() const { return runsize_; }

 private:
  // Once per code buffer, so kept out of the code entry's construction.
  [[gnu::noinline]] void prepare() const {
    runbytes_ = std::make_unique<byte[]>(bytes.size() + 1);
    std::transform(bytes.begin(), bytes.end(), runbytes_.get(), [](byte b) { return isopcode(b) ? b : unknown; });
    runbytes_[bytes.size()] = endmark;
    operands.allocate(bytes.size() + 1);
    runsize_ = static_cast<std::uint32_t>(bytes.size());
  }
  mutable std::unique_ptr<byte[]> runbytes_;
  mutable std::uint32_t runsize_ = 0;
};

}  // namespace TruvVM
