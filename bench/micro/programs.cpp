// Whole programs run in process: instruction dispatch, calls and block entry.
//
// Every program is a counting WHILE loop at the top level of the program:
//
//     pushconst 0; storelocal i; pushconst 1     set up, then WHILE
//     while:
//         BODY                                   what is measured
//         pushconst 1; loadlocal i; add; storelocal i
//         pushconst N; loadlocal i; lt           the next condition: i < N
//     loadlocal i; enterattr stdout; loadattr write; leave; call 1
//
// so one run executes 4 + N * (BODY + 7) + 5 instructions and prints N, which
// the runner checks: a loop that stopped early fails the benchmark.

#include <cstdint>
#include <string>

#include "micro.hpp"

namespace truvmicro {
namespace {

constexpr std::int64_t looplength = 10000;

// Instructions outside the loop body: setup and WHILE, and printing i.
constexpr std::int64_t outsideloop = 4 + 5;
// Instructions of the counter and the condition, per iteration.
constexpr std::int64_t counterinstructions = 7;

std::string indent(const std::string& lines, const std::string& by) {
  std::string out;
  std::size_t at = 0;
  while (at < lines.size()) {
    std::size_t end = lines.find('\n', at);
    if (end == std::string::npos) end = lines.size();
    out += by + lines.substr(at, end - at) + "\n";
    at = end + 1;
  }
  return out;
}

// The counting loop around body (lines without indentation, nested blocks
// indented by four spaces per level); before is code run ahead of the loop.
std::string countedloop(const std::string& body, std::int64_t n, const std::string& before = "") {
  return before +
         "pushconst 0\n"
         "storelocal i\n"
         "pushconst 1\n"
         "while:\n" +
         indent(body, "    ") +
         "    pushconst 1\n"
         "    loadlocal i\n"
         "    add\n"
         "    storelocal i\n"
         "    pushconst " + std::to_string(n) + "\n"
         "    loadlocal i\n"
         "    lt\n"
         "loadlocal i\n"
         "enterattr stdout\n"
         "loadattr write\n"
         "leave\n"
         "call 1\n";
}

std::string repeated(const std::string& lines, int times) {
  std::string out;
  for (int k = 0; k < times; ++k) out += lines;
  return out;
}

// The fixed cost of a run: a machine made, its root and standard objects set
// up, one NOP, the finishing text, the machine taken down.
void BM_RunStartup(benchmark::State& state) { runprogrambench(state, "nop\n", "", 1); }
BENCHMARK(BM_RunStartup);

// Dispatch: 100 NOPs per iteration, so the NOPs are 100 of every 107
// instructions. Items are all instructions executed.
void BM_DispatchNop(benchmark::State& state) {
  constexpr int nops = 100;
  const std::int64_t instructions = outsideloop + looplength * (nops + counterinstructions);
  runprogrambench(state, countedloop(repeated("nop\n", nops), looplength), std::to_string(looplength),
                  instructions);
}
BENCHMARK(BM_DispatchNop);

// Dispatch of an instruction with a (cached) operand and the data stack: 50
// pairs of PUSHCONST 1 and POP per iteration. Items are all instructions.
void BM_DispatchPushPop(benchmark::State& state) {
  constexpr int pairs = 50;
  const std::int64_t instructions = outsideloop + looplength * (2 * pairs + counterinstructions);
  runprogrambench(state, countedloop(repeated("pushconst 1\npop\n", pairs), looplength),
                  std::to_string(looplength), instructions);
}
BENCHMARK(BM_DispatchPushPop);

// Calls of a bytecode function of two arguments, acc = f(i, acc) with
// f(a, b) = a - b + 1 (17 instructions per iteration). Items are calls.
void BM_CallTwoArgs(benchmark::State& state) {
  const std::string f =
      "pushconst:\n"
      "    pushconst 1\n"
      "    loadlocal arg1\n"
      "    loadlocal arg0\n"
      "    sub\n"
      "    add\n"
      "storelocal f\n"
      "pushconst 0\n"
      "storelocal acc\n";
  const std::string body =
      "loadlocal acc\n"
      "loadlocal i\n"
      "loadlocal f\n"
      "call 2\n"
      "storelocal acc\n";
  // The loop prints acc, not i: the printed value shows that every call ran.
  std::string text = countedloop(body, looplength, f);
  const std::string tail = "loadlocal i\nenterattr stdout";
  text.replace(text.rfind(tail), tail.size(), "loadlocal acc\nenterattr stdout");
  std::int64_t acc = 0;
  for (std::int64_t i = 0; i < looplength; ++i) acc = i - acc + 1;
  runprogrambench(state, text, std::to_string(acc), looplength);
}
BENCHMARK(BM_CallTwoArgs);

// Calls of a function of no arguments whose body is one NOP: the call and
// return themselves (11 instructions per iteration). Items are calls.
void BM_CallEmpty(benchmark::State& state) {
  const std::string f =
      "pushconst:\n"
      "    nop\n"
      "storelocal f\n";
  runprogrambench(state, countedloop("loadlocal f\ncall 0\n", looplength, f), std::to_string(looplength),
                  looplength);
}
BENCHMARK(BM_CallEmpty);

// Block entry: a WHILE whose block is only the counter and the condition
// (7 instructions per iteration). Items are iterations, each one entry of
// the block with a copy of the frame.
void BM_BlockWhile(benchmark::State& state) {
  runprogrambench(state, countedloop("", looplength), std::to_string(looplength), looplength);
}
BENCHMARK(BM_BlockWhile);

// An IF inside the loop whose block (one NOP) runs every time (10
// instructions per iteration). Items are iterations.
void BM_BlockIfTaken(benchmark::State& state) {
  runprogrambench(state, countedloop("pushconst 1\nif:\n    nop\n", looplength), std::to_string(looplength),
                  looplength);
}
BENCHMARK(BM_BlockIfTaken);

// The same IF with a false condition: the block is skipped (9 instructions
// per iteration). Items are iterations.
void BM_BlockIfSkipped(benchmark::State& state) {
  runprogrambench(state, countedloop("pushconst 0\nif:\n    nop\n", looplength), std::to_string(looplength),
                  looplength);
}
BENCHMARK(BM_BlockIfSkipped);

// FOREACH over a list of 100 integers whose block is one NOP. Items are
// elements: each is one step of the loop, ELEMENT bound in the block's frame.
void BM_ForeachStep(benchmark::State& state) {
  constexpr int elements = 100;
  runprogrambench(state,
                  countedloop("loadlocal xs\nforeach:\n    nop\n", looplength,
                              "pushconst " + flatlist(elements) + "\nstorelocal xs\n"),
                  std::to_string(looplength), looplength * elements);
}
BENCHMARK(BM_ForeachStep);

// A store of an integer into a local of the program inside the loop's block,
// which writes the root's attribute and the block's copy of the frame (with
// its PUSHCONST: 2 instructions per store). Items are stores.
void BM_RootStoreInBlock(benchmark::State& state) {
  constexpr int stores = 10;
  runprogrambench(state, countedloop(repeated("pushconst 7\nstorelocal x\n", stores), looplength),
                  std::to_string(looplength), looplength * stores);
}
BENCHMARK(BM_RootStoreInBlock);

// A native method call, d.get(k) on a dictionary of one text key, its result
// dropped: ENTERATTR, LOADATTR, LEAVE and CALL, with the key's read and the
// POP (6 instructions per call). Items are calls.
void BM_NativeMethodCall(benchmark::State& state) {
  const std::string before =
      "pushconst dict{}\n"
      "storelocal d\n"
      "pushconst \"k\"\n"
      "storelocal k\n"
      "pushconst 1\n"
      "loadlocal k\n"
      "enterattr d\n"
      "loadattr set\n"
      "leave\n"
      "call 2\n";
  const std::string body =
      "loadlocal k\n"
      "enterattr d\n"
      "loadattr get\n"
      "leave\n"
      "call 1\n"
      "pop\n";
  runprogrambench(state, countedloop(body, looplength, before), std::to_string(looplength), looplength);
}
BENCHMARK(BM_NativeMethodCall);

}  // namespace
}  // namespace truvmicro
