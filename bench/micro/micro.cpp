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
  std::istringstream in;
  std::ostringstream out, err;
  TruvVM::RunConfig config;
  config.in = &in;
  config.out = &out;
  config.err = &err;
  const TruvVM::RunResult result = TruvVM::runprogram(bytes_, config);
  if (result.status != 0 || result.budgetexhausted) {
    // The first line of the report says what went wrong.
    const std::string report = err.str();
    why = "run ended with status " + std::to_string(result.status) + ": " + report.substr(0, report.find('\n'));
    return false;
  }
  if (out.str() != expected_) {
    why = "unexpected output: " + out.str().substr(0, 200);
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

}  // namespace truvmicro

BENCHMARK_MAIN();
