#pragma once
// What the fuzz targets and the regression driver do with one input, so that a
// saved input replays exactly as the fuzzer ran it.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace truvfuzz {

// Limits of one machine run. The budgets keep every run short: the one of
// records stops a run whose instructions copy large objects over and over
// (a read of an object copies it whole), which a few thousand instructions
// can make take seconds. The memory limit is the machine's own (checked
// between instructions) and the allocation cap a hard one below the
// fuzzer's own limits.
inline constexpr std::uint64_t instructionbudget = 20000;
inline constexpr std::uint64_t recordbudget = 1000000;
inline constexpr std::size_t memorylimit = std::size_t{64} << 20;
inline constexpr std::size_t allocationcap = std::size_t{128} << 20;

// Creates a scratch directory for this process, makes it the working
// directory (it is removed at exit) and checks that the machine's sandbox
// keeps scripts from running host commands and from reaching files outside
// it. Aborts when it cannot. Call once before runvm.
void entersandbox();

struct VmOutcome {
  int status = 0;
  bool budgetexhausted = false;
  std::string out;  // standard output of the run, when kept
  std::string err;  // standard error of the run, when kept
};

// Runs the bytes as a program on a fresh machine, sandboxed, with the limits
// above, the fixed standard input below and discarding output (standard
// output and error are kept when keep is set). With gcstress the machine
// collects garbage before every instruction. Afterwards the scratch directory
// is emptied again; a run that left it is a fault of the sandbox and aborts.
VmOutcome runvm(std::span<const std::uint8_t> program, bool keep = false, bool gcstress = false);

// Disassembles the bytes (with and without offsets) and assembles the
// listings; aborts, describing the difference, unless both give back exactly
// the bytes.
void roundtrip(std::span<const std::uint8_t> bytes);

// Assembles the text; when that succeeds, the bytes must make the round trip
// above. Returns whether the text assembled.
bool assembletext(std::string_view text);

}  // namespace truvfuzz
