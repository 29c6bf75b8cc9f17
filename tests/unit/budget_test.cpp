// RunConfig::instructionbudget stops a run after exactly that many
// instructions, however the machine runs them: a block's end counts as one,
// and so does each instruction of a method fetched and called in a loop.
// RunConfig::recordbudget stops a run soon after it has made that many
// records, at the same instruction whether or not it collects at every one.

#include <gtest/gtest.h>

#include <string>

#include "asm/assembler.hpp"
#include "vm/run.hpp"

namespace {

// Writes "a", "b" and "c", each with a call of stdout's write.
const std::string writethree =
    "pushconst [\"a\", \"b\", \"c\"]\n"
    "foreach:\n"
    "    loadlocal ELEMENT\n"
    "    enterattr stdout\n"
    "    loadattr write\n"
    "    leave\n"
    "    call 1\n";

TEST(InstructionBudget, StopsAfterExactlyThatManyInstructions) {
  // 1 pushconst, 2 foreach; then per element loadlocal, enterattr, loadattr,
  // leave, call (the 7th, 13th and 19th instruction) and the block's end;
  // 21 the end of the program.
  const TruvVM::tools::AsmResult program = TruvVM::tools::assemble(writethree, "budget.tasm");
  ASSERT_TRUE(program.ok);
  for (std::uint64_t budget = 1; budget <= 22; ++budget) {
    TruvVM::RunConfig config;
    config.instructionbudget = budget;
    const TruvVM::CapturedRun run = TruvVM::runcaptured(program.bytes, config);
    std::string expected = budget >= 19 ? "abc" : budget >= 13 ? "ab" : budget >= 7 ? "a" : "";
    if (budget >= 21) expected += "\n<TRUV 4> Program finished.\n";
    EXPECT_EQ(run.out, expected) << "budget " << budget;
    EXPECT_EQ(run.result.budgetexhausted, budget < 21) << "budget " << budget;
  }
}

// Runs the program with a budget of records, collecting at every
// instruction when gcstress is set.
TruvVM::CapturedRun runwithrecords(const std::string& source, std::uint64_t records, bool gcstress = false) {
  const TruvVM::tools::AsmResult program = TruvVM::tools::assemble(source, "records.tasm");
  EXPECT_TRUE(program.ok);
  TruvVM::RunConfig config;
  config.recordbudget = records;
  config.gcstress = gcstress;
  return TruvVM::runcaptured(program.bytes, config);
}

TEST(RecordBudget, EndsALoopThatMakesRecordsAtTheSameInstructionInEveryRun) {
  // Each iteration makes the list constant's 11 records and writes a dot;
  // nothing but the budget ends the loop.
  const std::string source =
      "pushconst 1\n"
      "while:\n"
      "    pushconst [1, 2, 3, 4, 5, 6, 7, 8, 9, 10]\n"
      "    pop\n"
      "    pushconst \".\"\n"
      "    enterattr stdout\n"
      "    loadattr write\n"
      "    leave\n"
      "    call 1\n"
      "    pushconst 1\n";
  const TruvVM::CapturedRun run = runwithrecords(source, 100000);
  EXPECT_TRUE(run.result.budgetexhausted);
  EXPECT_EQ(run.out.find_first_not_of('.'), std::string::npos);
  // At most 100,000 / 11 iterations, and those of the 1,024 instructions
  // before the next check.
  EXPECT_GT(run.out.size(), 1000u);
  EXPECT_LT(run.out.size(), 100000u / 11 + 1024 / 9 + 1);
  const TruvVM::CapturedRun stressed = runwithrecords(source, 100000, true);
  EXPECT_TRUE(stressed.result.budgetexhausted);
  // Both outputs are dots alone: as many dots, the same output.
  EXPECT_EQ(stressed.out.size(), run.out.size());
}

TEST(RecordBudget, LeavesARunWithinItAsItIs) {
  const TruvVM::CapturedRun run = runwithrecords(writethree, 1000);
  EXPECT_FALSE(run.result.budgetexhausted);
  EXPECT_EQ(run.out, "abc\n<TRUV 4> Program finished.\n");
}

}  // namespace
