#pragma once
// Machine state and the run loop.
//
// All state of one run lives in one Machine; `machine` points to the machine
// that is running. Between two instructions every record the program can
// still reach is reachable from this state (stacks, frames, globals, the
// root, `memory` and the block runs of code stack entries): native code never
// keeps a record across an instruction boundary, which is what lets the
// collector run there.

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
  std::vector<variable*> elements;  // FOREACH: every element, in order
  std::size_t next = 0;             // FOREACH: the next element to run
};

// One byte stack of the code stack: a position in immutable code. Popping a
// byte moves the position; what remains is code->bytes[pos..].
struct CodeEntry {
  const Code* code = nullptr;
  std::uint32_t pos = 0;
  std::unique_ptr<BlockRun> block;  // set on an entry that runs a block

  bool empty() const { return pos >= code->size(); }
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

  std::vector<variable*> datastack;
  std::vector<variable*> callstack;
  std::vector<Frame> databasestack;
  NameMap globalvars;
  std::vector<CodeEntry> codestack;
  std::vector<variable*> calltrace;
  variable* progroot = nullptr;
  std::vector<variable*> memory;

  RunConfig config;
  Heap heap;
  Interner names;
  std::vector<std::unique_ptr<Code>> codes;         // every code buffer of the run
  std::vector<std::unique_ptr<ParamSet>> params;    // every parameter set
  std::vector<std::unique_ptr<HostStream>> streams; // every host stream
  HostStream* consoleout = nullptr;
  HostStream* consolein = nullptr;
  std::uint64_t executed = 0;  // instructions run

  // Names the machine itself uses.
  Name sym_self, sym_element, sym_progroot;
  Name argname(std::size_t i);

  // Loads the program: one code stack entry, first byte first.
  void load(std::span<const byte> program);
  void init();
  void runloop();
  void execcycle();
  void execinstruction(CodeEntry& code);
  void integritycheck();
  void exitoutoffunc();
  [[noreturn]] void exitprogram();

  // Calls (calls.cpp).
  void callfunc(std::int32_t argnum);
  // Runs target as a block with args as its frame. Returns true when the block
  // runs on a new code entry (which then owns run), false when it has already
  // run (a native, which runs at once).
  bool standalonefunccall(variable* target, Frame args, std::unique_ptr<BlockRun>& run);
  void whileloop(std::unique_ptr<BlockRun> run);
  void foreachloop(std::unique_ptr<BlockRun> run);
  void continueblock(std::unique_ptr<BlockRun> run);

  // Data stack access with the checks that malformed code needs.
  void need(std::uint8_t op, std::size_t count);
  variable* pop() {
    variable* v = datastack.back();
    datastack.pop_back();
    return v;
  }
  void push(variable* v) { datastack.push_back(v); }

  // Reads one operand from code (operand.cpp).
  variable* getop(CodeEntry& code);
  Name getname(CodeEntry& code);             // a name operand's text
  std::int32_t getcount(CodeEntry& code);    // a count operand's integer
  variable* getconst(CodeEntry& code);       // a heap copy of the operand

  Code* newcode(std::vector<byte> bytes);
  ParamSet* newparams();
  HostStream* adopt(std::unique_ptr<HostStream> stream);
  // The collector (gc.cpp): collect() marks from the machine state and frees
  // what it does not reach; maybecollect() runs it when the heap has grown.
  void collect();
  void maybecollect();
  std::uint64_t collections = 0;

  // Writes diagnostics to standard error, after flushing standard output so
  // that both keep their order on a shared terminal.
  void diagnostic(const std::string& text);
  void flushall();

 private:
  void execute(std::uint8_t op, CodeEntry& code);
  std::vector<Name> argnames_;
  static constexpr std::size_t minrecords = 1 << 13;
  static constexpr std::size_t minbytes = std::size_t{32} << 20;
  static constexpr std::uint64_t bytecheckevery = 4096;
  std::uint8_t gcepoch_ = 0;
  std::size_t gcrecords_ = minrecords;
  std::size_t gcbytes_ = minbytes;
  std::uint64_t lastbytecheck_ = 0;
  std::unique_ptr<Code> emptycode_;
};

extern Machine* machine;

// Reports a failure of the running program and ends the run. `ismodule` marks
// failures raised by native code.
[[noreturn]] void error(std::string target, bool ismodule);

}  // namespace TruvVM
