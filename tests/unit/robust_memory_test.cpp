// Running out of memory: a program that allocates without end ends with the
// machine's "Out of memory." report and status 1, whether it grows a little
// per instruction (stopped by RunConfig::memorylimit) or a lot in one
// instruction (the host refusing the allocation); a program that only makes
// garbage runs to its end under the same limit.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "asm/assembler.hpp"
#include "vm/run.hpp"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool asan = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool asan = true;
#else
constexpr bool asan = false;
#endif
#else
constexpr bool asan = false;
#endif

constexpr std::size_t limit = std::size_t{96} << 20;

struct Outcome {
  TruvVM::RunResult result;
  std::string out;
  std::string err;
};

Outcome run(const std::string& source, std::size_t memorylimit) {
  TruvVM::tools::AsmResult program = TruvVM::tools::assemble(source, "test.tasm");
  EXPECT_TRUE(program.ok) << (program.errors.empty() ? "" : program.errors[0]);
  TruvVM::RunConfig config;
  config.memorylimit = memorylimit;
  // A limit that is not enforced shows as a spent budget, not as a hang.
  config.instructionbudget = 200'000'000;
  const TruvVM::CapturedRun run = TruvVM::runcaptured(program.bytes, config);
  return {run.result, run.out, run.err};
}

constexpr const char* oom = "TRUV 4 VM error: Out of memory.\n";

void expectoutofmemory(const Outcome& o) {
  EXPECT_FALSE(o.result.budgetexhausted);
  EXPECT_EQ(o.result.status, 1);
  EXPECT_EQ(o.err.substr(0, std::string(oom).size()), oom) << o.err.substr(0, 300);
}

// Appends a string to a list without end.
const char* growinglist = R"(
pushconst []
storelocal l
pushconst 1
while:
    pushconst "a string that takes some room"
    enterattr l
    loadattr append
    leave
    call 1
    pushconst 1
)";

// A function that calls itself without end: every level keeps a frame.
const char* endlessrecursion = R"(
pushconst:
    loadlocal f
    call 0
storelocal f
loadlocal f
call 0
)";

// A dictionary that gains an entry per run of the loop.
const char* growingdict = R"(
pushconst dict{}
storelocal d
pushconst 0
storelocal n
pushconst 1
while:
    pushconst 1
    loadlocal n
    add
    storelocal n
    loadlocal n
    loadlocal n
    enterattr d
    loadattr set
    leave
    call 2
    pushconst 1
)";

// Doubles a string without end: each step is one instruction that can
// allocate more than any check between instructions allows for.
const char* doublingstring = R"(
pushconst "0123456789abcdef"
storelocal s
pushconst 1
while:
    loadlocal s
    loadlocal s
    add
    storelocal s
    pushconst 1
)";

TEST(RobustMemory, GrowthBetweenInstructionsIsStoppedAtTheLimit) {
  for (const char* program : {growinglist, endlessrecursion, growingdict}) {
    SCOPED_TRACE(program);
    expectoutofmemory(run(program, limit));
  }
}

TEST(RobustMemory, GarbageAloneDoesNotReachTheLimit) {
  // 300,000 strings of a few kilobytes each, about 1 GB made in all, of
  // which only the last is held: the collector keeps the program under the
  // limit, and it finishes.
  const char* garbage = R"(
pushconst "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"
storelocal s
pushconst 6
storelocal k
pushconst 1
while:
    loadlocal s
    loadlocal s
    add
    storelocal s
    pushconst 1
    loadlocal k
    sub
    storelocal k
    pushconst 0
    loadlocal k
    gt
pushconst 300000
storelocal n
pushconst 1
while:
    pushconst "!"
    loadlocal s
    add
    storelocal t
    pushconst 1
    loadlocal n
    sub
    storelocal n
    pushconst 0
    loadlocal n
    gt
pushconst 7
)";
  Outcome o = run(garbage, limit);
  EXPECT_EQ(o.result.status, 0) << o.err.substr(0, 300);
  EXPECT_EQ(o.out, "\n<TRUV 4> Program finished with code 7\n");
}

// One instruction that asks for more than the host gives: with the address
// space limited (in a child process, so the test's own process keeps its
// limits) the allocation fails and the machine reports it.
TEST(RobustMemory, AllocationRefusedByTheHostIsReported) {
  if (asan) GTEST_SKIP() << "the address sanitizer needs an unlimited address space";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        struct rlimit as{};
        as.rlim_cur = as.rlim_max = static_cast<rlim_t>(1) << 30;
        if (setrlimit(RLIMIT_AS, &as) != 0) std::_Exit(3);
        Outcome o = run(doublingstring, 0);
        const bool ok = o.result.status == 1 && o.err.rfind(oom, 0) == 0;
        std::_Exit(ok ? 0 : 4);
      },
      ::testing::ExitedWithCode(0), "");
}

// A long code takes memory for what runs of it, not a table entry for each of
// its bytes: twenty IF blocks nested make 14 MiB of bytecode, nearly all of it
// function bodies inside operands, which each level decodes and runs. Its
// peak stays within a few times its size (writing the machine's table of
// every position would take 32 bytes per byte of code at every level, about
// 1 GiB). Each test runs in a process of its own, so the peak is this run's.
TEST(RobustMemory, LongCodeTakesMemoryForWhatRuns) {
  if (asan) GTEST_SKIP() << "the address sanitizer's allocator keeps memory of its own";
  std::string source;
  const int depth = 20;
  for (int d = 0; d < depth; ++d) {
    source += std::string(static_cast<std::size_t>(4 * d), ' ') + "pushconst 1\n";
    source += std::string(static_cast<std::size_t>(4 * d), ' ') + "if:\n";
  }
  source += std::string(4 * depth, ' ') + "pushconst 7\n";
  Outcome o = run(source, 0);
  EXPECT_EQ(o.result.status, 0) << o.err.substr(0, 300);
  EXPECT_EQ(o.out, "\n<TRUV 4> Program finished with code 7\n");
  struct rusage usage{};
  ASSERT_EQ(getrusage(RUSAGE_SELF, &usage), 0);
  EXPECT_LT(usage.ru_maxrss, 320 * 1024) << "peak resident KiB";
}

}  // namespace
