// The command lines of truvasm and truvdis, run in-process.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "asm/cli.hpp"

namespace TruvVM::tools {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string out, err;
};

Outcome runasm(const std::vector<std::string>& args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out, err;
  const int status = truvasmmain(args, in, out, err);
  return {status, out.str(), err.str()};
}

Outcome rundis(const std::vector<std::string>& args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out, err;
  const int status = truvdismain(args, in, out, err);
  return {status, out.str(), err.str()};
}

class AsmCli : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    dir_ = fs::temp_directory_path() / ("truvasm_cli_" + std::to_string(::getpid()) + "_" + test);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
  }
  std::string read(const std::string& name) const {
    std::ifstream f(path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  fs::path dir_;
};

TEST_F(AsmCli, AssemblesAFileAndListsItBack) {
  write("p.tas", "pushconst 1\nif:\n    pushconst 7\n");
  Outcome a = runasm({"-o", path("p.trux"), path("p.tas")});
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(a.err, "");
  EXPECT_EQ(
      read("p.trux"),
      std::string("\x0E\x00\x00\x00\x00\x01\x21\x06\x01\x0E\x01\x00\x01\x00\x01\x00\x01\x00\x00\x07", 20));
  Outcome d = rundis({path("p.trux")});
  EXPECT_EQ(d.status, 0);
  EXPECT_EQ(d.out, "pushconst 1\nif:\n    pushconst 7\n");
  EXPECT_NE(rundis({"--offsets", path("p.trux")}).out.find("# 0x0006"), std::string::npos);
  EXPECT_EQ(rundis({"-"}, std::string("\x25\x2A", 2)).out,
            "nop\n.bytes 2A                               # unknown opcode\n");
}

TEST_F(AsmCli, DefaultsAreStdinAndOutTruxInTheWorkingDirectory) {
  const fs::path old = fs::current_path();
  fs::current_path(dir_);
  Outcome a = runasm({}, "nop\n");
  Outcome d = rundis({});
  fs::current_path(old);
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(read("out.trux"), "\x25");
  EXPECT_EQ(d.out, "nop\n");
}

TEST_F(AsmCli, ErrorsAreAllReportedAndNothingIsWritten) {
  write("out.trux", "old");
  Outcome a = runasm({"-o", path("out.trux")}, "frob\nnop\npushconst\n");
  EXPECT_EQ(a.status, 1);
  EXPECT_EQ(
      a.err,
      "<stdin>:1:1: error: unknown instruction 'frob'\n<stdin>:3:1: error: 'pushconst' needs an operand\n");
  EXPECT_EQ(read("out.trux"), "old");
  write("bad.tas", "pushconst 3.05\n");
  Outcome b = runasm({path("bad.tas"), "-o", path("new.trux")});
  EXPECT_EQ(b.status, 1);
  EXPECT_EQ(b.err.rfind(path("bad.tas") + ":1:13: error: ", 0), 0u) << b.err;
  EXPECT_FALSE(fs::exists(path("new.trux")));
}

TEST_F(AsmCli, UsageHelpVersionAndMissingFiles) {
  EXPECT_EQ(runasm({"--bogus"}).status, 2);
  EXPECT_EQ(runasm({"-o"}).status, 2);
  EXPECT_EQ(runasm({"a.tas", "b.tas"}).status, 2);
  EXPECT_EQ(rundis({"-x"}).status, 2);
  EXPECT_EQ(rundis({"a", "b"}).status, 2);
  EXPECT_EQ(runasm({"--version"}).out, "truvasm 0.1.0\n");
  EXPECT_EQ(rundis({"--version"}).out, "truvdis 0.1.0\n");
  Outcome h = runasm({"--help"});
  EXPECT_EQ(h.status, 0);
  EXPECT_EQ(h.out.rfind("usage: truvasm [-o OUT] [FILE]", 0), 0u);
  EXPECT_EQ(rundis({"--help"}).out.rfind("usage: truvdis [--offsets] [FILE]", 0), 0u);
  EXPECT_EQ(runasm({path("none.tas")}).status, 1);
  EXPECT_EQ(rundis({path("none.trux")}).status, 1);
  EXPECT_EQ(runasm({dir_.string()}).err, "truvasm: cannot read " + dir_.string() + ": is a directory\n");
  EXPECT_EQ(runasm({"-o", path("no/such/dir/x.trux")}, "nop").status, 1);
}

}  // namespace
}  // namespace TruvVM::tools
