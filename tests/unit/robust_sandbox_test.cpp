// RunConfig::sandbox keeps a script away from the host: "system" runs
// nothing, and files and the file system are reached only by plain names in
// the working directory, which cannot be changed. Without the flag the same
// scripts do reach the host, which shows that the checks look at the right
// things.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "asm/assembler.hpp"
#include "vm/run.hpp"

namespace fs = std::filesystem;

namespace {

class RobustSandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "truvsandbox-XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    root_ = templ;
    work_ = root_ / "work";
    outside_ = root_ / "outside";
    fs::create_directory(work_);
    fs::create_directory(outside_);
    std::ofstream(outside_ / "keep") << "kept\n";
    old_ = fs::current_path();
    fs::current_path(work_);
  }
  void TearDown() override {
    fs::current_path(old_);
    fs::remove_all(root_);
  }

  struct Outcome {
    int status;
    std::string out;
    std::string err;
  };
  Outcome run(const std::string& source, bool sandbox) {
    TruvVM::tools::AsmResult program = TruvVM::tools::assemble(source, "test.tasm");
    EXPECT_TRUE(program.ok) << (program.errors.empty() ? "" : program.errors[0]);
    TruvVM::RunConfig config;
    config.sandbox = sandbox;
    config.instructionbudget = 100000;
    const TruvVM::CapturedRun run = TruvVM::runcaptured(program.bytes, config);
    return {run.result.status, run.out, run.err};
  }
  static std::string firstline(const std::string& text) { return text.substr(0, text.find('\n')); }

  fs::path root_, work_, outside_, old_;
};

// Writes "x" to the file at path.
std::string writeto(const std::string& path) {
  return "pushconst \"write\"\npushconst \"" + path +
         "\"\nloadlocal open\ncall 2\nstorelocal f\npushconst \"x\"\nenterattr f\nloadattr write\nleave\ncall 1\n"
         "enterattr f\nloadattr close\nleave\ncall 0\n";
}

std::string filesystemcall(const std::string& op, const std::string& path) {
  return "pushconst \"" + path + "\"\nenterattr filesystem\nloadattr " + op + "\nleave\ncall 1\n";
}

TEST_F(RobustSandbox, SystemRunsNothingAndGivesMinusOne) {
  const std::string program = "pushconst \"echo > ran\"\nloadlocal system\ncall 1\n";
  Outcome o = run(program, true);
  EXPECT_EQ(o.out, "\n<TRUV 4> Program finished with code -1\n");
  EXPECT_FALSE(fs::exists(work_ / "ran"));
  o = run(program, false);
  EXPECT_EQ(o.out, "\n<TRUV 4> Program finished with code 0\n");
  EXPECT_TRUE(fs::exists(work_ / "ran"));
}

TEST_F(RobustSandbox, FilesOnlyByPlainNames) {
  // A plain name is a file of the working directory, as usual.
  EXPECT_EQ(run(writeto("mine.txt"), true).status, 0);
  EXPECT_TRUE(fs::exists(work_ / "mine.txt"));
  // Any other path is opened as one that does not exist: writes are dropped.
  for (const std::string& path : {(outside_ / "a").string(), std::string("../outside/b"), std::string("sub/c")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(run(writeto(path), true).status, 0);
  }
  EXPECT_FALSE(fs::exists(outside_ / "a"));
  EXPECT_FALSE(fs::exists(outside_ / "b"));
  EXPECT_EQ(run(writeto("../outside/b"), false).status, 0);
  EXPECT_TRUE(fs::exists(outside_ / "b"));
}

TEST_F(RobustSandbox, FileSystemOnlyByPlainNamesAndNoChangeOfDirectory) {
  Outcome o = run(filesystemcall("delete", "../outside/keep"), true);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(firstline(o.err), "TRUV 4 VM error within module: delete failed on \"../outside/keep\": Permission denied");
  EXPECT_TRUE(fs::exists(outside_ / "keep"));
  for (const std::string op : {"exists", "isdir", "listdir", "createdir"}) {
    SCOPED_TRACE(op);
    o = run(filesystemcall(op, outside_.string()), true);
    EXPECT_EQ(firstline(o.err),
              "TRUV 4 VM error within module: " + op + " failed on \"" + outside_.string() + "\": Permission denied");
  }
  for (const std::string& path : {std::string("."), std::string(".."), std::string("")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(run(filesystemcall("listdir", path), true).status, 1);
  }
  // The working directory stays, even for a directory inside it.
  fs::create_directory(work_ / "sub");
  o = run(filesystemcall("cd", "sub"), true);
  EXPECT_EQ(firstline(o.err), "TRUV 4 VM error within module: cd failed on \"sub\": Permission denied");
  EXPECT_EQ(fs::current_path(), work_);
  // Plain names still work.
  EXPECT_EQ(run(filesystemcall("createdir", "made") + filesystemcall("isdir", "made"), true).out,
            "\n<TRUV 4> Program finished with code 1\n");
  EXPECT_EQ(run(filesystemcall("delete", "../outside/keep"), false).status, 0);
  EXPECT_FALSE(fs::exists(outside_ / "keep"));
}

}  // namespace
