#pragma once
// Shared by the micro-benchmarks: running an assembled program in process.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace truvmicro {

// A program assembled once and run on a fresh machine for every benchmark
// iteration, with in-memory standard streams. A run counts only when it ends
// normally and prints exactly what the program is expected to print, so a
// benchmark cannot quietly time a program that failed early.
class ProgramRun {
 public:
  // Assembles text; printed is what the program itself writes before the
  // machine's finishing text. False, with the reason in why, when the text
  // does not assemble.
  bool prepare(std::string_view text, std::string printed, std::string& why);
  // One run. False, with the reason in why, when it did not end normally.
  bool run(std::string& why) const;

 private:
  std::vector<std::uint8_t> bytes_;
  std::string expected_;
};

// Runs the program once per iteration and reports items per run; marks the
// benchmark failed at the first run that does not end normally.
void runprogrambench(benchmark::State& state, std::string_view text, const std::string& printed,
                     std::int64_t itemsperrun);

// The operand text of a flat list of the integers 0 .. count - 1.
std::string flatlist(int count);

}  // namespace truvmicro
