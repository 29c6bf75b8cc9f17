// The micro-benchmark driver and the in-process program runner.

#include "micro.hpp"

#include <sstream>

#include "asm/assembler.hpp"
#include "vm/run.hpp"

namespace truvmicro {

bool ProgramRun::prepare(std::string_view text, std::string printed, std::string& why) {
  TruvVM::tools::AsmResult program = TruvVM::tools::assemble(text, "micro.tasm");
  if (!program.ok) {
    why = "does not assemble: " + (program.errors.empty() ? std::string("?") : program.errors.front());
    return false;
  }
  bytes_ = std::move(program.bytes);
  expected_ = std::move(printed) + "\n<TRUV 4> Program finished.\n";
  return true;
}

bool ProgramRun::run(std::string& why) const {
  const TruvVM::CapturedRun run = TruvVM::runcaptured(bytes_, TruvVM::RunConfig{});
  const TruvVM::RunResult& result = run.result;
  if (result.status != 0 || result.budgetexhausted) {
    // The first line of the report says what went wrong.
    const std::string& report = run.err;
    why = "run ended with status " + std::to_string(result.status) + ": " + report.substr(0, report.find('\n'));
    return false;
  }
  if (run.out != expected_) {
    why = "unexpected output: " + run.out.substr(0, 200);
    return false;
  }
  return true;
}

void runprogrambench(benchmark::State& state, std::string_view text, const std::string& printed,
                     std::int64_t itemsperrun) {
  ProgramRun program;
  std::string why;
  if (!program.prepare(text, printed, why)) {
    state.SkipWithError(why.c_str());
    return;
  }
  for (auto _ : state) {
    if (!program.run(why)) {
      state.SkipWithError(why.c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * itemsperrun);
}

std::string flatlist(int count) {
  std::string text = "[";
  for (int k = 0; k < count; ++k) text += (k ? ", " : "") + std::to_string(k);
  return text + "]";
}

}  // namespace truvmicro

BENCHMARK_MAIN();
