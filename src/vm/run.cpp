#include "run.hpp"

#include <fstream>
#include <iterator>
#include <new>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "machine.hpp"

namespace TruvVM {

RunResult runprogram(std::span<const std::uint8_t> program, const RunConfig& config) {
  RunResult result;
  Machine m(config);
  Machine* outer = machine;
  machine = &m;
  try {
    try {
      m.load(program);
      m.init();
      m.runloop();
    } catch (const std::bad_alloc&) {
      error("Out of memory.", false);
    } catch (const std::length_error&) {
      error("Out of memory.", false);
    }
  } catch (const RunEnd& end) {
    result.status = end.status;
  } catch (const BudgetExhausted&) {
    result.status = 1;
    result.budgetexhausted = true;
  } catch (const std::bad_alloc&) {
    // The report itself could not be made.
    static const char message[] = "TRUV 4 VM error: Out of memory.\n";
    config.err->write(message, sizeof message - 1);
    result.status = 1;
  }
  m.flushall();
  machine = outer;
  return result;
}

CapturedRun runcaptured(std::span<const std::uint8_t> program, RunConfig config, const std::string& input) {
  std::istringstream in(input);
  std::ostringstream out, err;
  config.in = &in;
  config.out = &out;
  config.err = &err;
  CapturedRun run;
  run.result = runprogram(program, config);
  run.out = out.str();
  run.err = err.str();
  return run;
}

std::vector<std::uint8_t> readprogram(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace TruvVM
