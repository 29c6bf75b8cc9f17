// RunConfig::instructionbudget stops a run after exactly that many
// instructions, however the machine runs them: a block's end counts as one,
// and so does each instruction of a method fetched and called in a loop.

#include <gtest/gtest.h>

#include <string>

#include "asm/assembler.hpp"
#include "vm/run.hpp"

namespace {

TEST(InstructionBudget, StopsAfterExactlyThatManyInstructions) {
  // 1 pushconst, 2 foreach; then per element loadlocal, enterattr, loadattr,
  // leave, call (the 7th, 13th and 19th instruction) and the block's end;
  // 21 the end of the program.
  const std::string source =
      "pushconst [\"a\", \"b\", \"c\"]\n"
      "foreach:\n"
      "    loadlocal ELEMENT\n"
      "    enterattr stdout\n"
      "    loadattr write\n"
      "    leave\n"
      "    call 1\n";
  const TruvVM::tools::AsmResult program = TruvVM::tools::assemble(source, "budget.tasm");
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

}  // namespace
