#pragma once
// Running a program: the library's entry point.

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

namespace TruvVM {

struct RunConfig {
  std::istream* in = nullptr;   // standard input of the script
  std::ostream* out = nullptr;  // standard output
  std::ostream* err = nullptr;  // standard error
  // Limits for harnesses that run untrusted programs in-process; 0: none.
  std::uint64_t instructionbudget = 0;
  // Records made (immediate numbers included, as each takes a creation
  // sequence number); 0: none. Checked every 1024 instructions, so a run
  // ends at the first check after the budget is spent, the same instruction
  // in every run of the program. It bounds the runs that spend their time
  // copying, which an instruction budget does not: a read of an object
  // copies it whole, so a few thousand instructions can copy a growing
  // object millions of times.
  std::uint64_t recordbudget = 0;
  std::size_t memorylimit = 0;
  // Collect garbage before every instruction (for testing the collector).
  bool gcstress = false;
  // Keep the script away from the host: "system" runs nothing, and files and
  // the file system are reached only by plain names in the working directory,
  // which cannot be changed.
  bool sandbox = false;
  // When the caller lowered the process's address-space limit for the run,
  // the soft limit it had before, in bytes (0: not lowered). Host commands
  // run with that limit, not with the machine's.
  std::uint64_t hostaddresslimit = 0;
  // The process ends right after the run: the records still alive are not
  // destroyed one by one, as the host takes all the memory back at once
  // (for a program that keeps millions of records, destroying them took a
  // noticeable part of its run time). Never set in-process.
  bool exitafterrun = false;
};

struct RunResult {
  int status = 0;  // 0: finished; 1: ended by an error
  bool budgetexhausted = false;
};

// Runs a program on a fresh machine and returns when it ends, however it ends.
RunResult runprogram(std::span<const std::uint8_t> program, const RunConfig& config);

// A run whose standard streams are held in memory: what it wrote, and how it
// ended.
struct CapturedRun {
  RunResult result;
  std::string out;
  std::string err;
};
// Runs a program with `input` as its standard input; the streams of config
// are replaced, its limits and settings kept.
CapturedRun runcaptured(std::span<const std::uint8_t> program, RunConfig config, const std::string& input = "");

// The bytes of a file; a missing or unreadable file reads as empty.
std::vector<std::uint8_t> readprogram(const std::string& path);

}  // namespace TruvVM
