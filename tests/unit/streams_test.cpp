// Console output is gathered and handed over in pieces; nothing may be lost
// or reordered on the way.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "vm/streams.hpp"

namespace TruvVM {
namespace {

TEST(HostStream, ConsoleOutputArrivesInOrderAtFlushAndWhenLarge) {
  std::ostringstream out;
  auto s = HostStream::console(out);
  s->write("a");
  s->write("bc");
  s->flush();
  EXPECT_EQ(out.str(), "abc");
  const std::string big(40000, 'x');
  s->write("1");
  s->write(big);  // more than is gathered at once: handed over now
  EXPECT_EQ(out.str(), "abc1" + big);
  s->write("tail");
  s.reset();  // what is still gathered goes out with the stream
  EXPECT_EQ(out.str(), "abc1" + big + "tail");
}

// A write that does not fit sends what is gathered, and a short one is
// gathered in turn rather than sent at once.
TEST(HostStream, AFullPieceGoesOutAndAShortTextIsGatheredAgain) {
  std::ostringstream out;
  auto s = HostStream::console(out);
  const std::string almost(16383, 'y');  // one byte short of a piece
  s->write(almost);
  EXPECT_EQ(out.str(), "");
  s->write("zz");
  EXPECT_EQ(out.str(), almost);
  s->flush();
  EXPECT_EQ(out.str(), almost + "zz");
}

TEST(HostStream, ClosingTheConsoleFlushesIt) {
  std::ostringstream out;
  auto s = HostStream::console(out);
  s->write("line\n");
  s->close();
  EXPECT_EQ(out.str(), "line\n");
  s->write("more");  // the console stays usable
  s->flush();
  EXPECT_EQ(out.str(), "line\nmore");
}

// A scratch file of the test's own, removed afterwards.
class FileStreamTest : public ::testing::Test {
 protected:
  std::string path = "streams_test_" + std::to_string(::getpid()) + ".tmp";
  void TearDown() override { std::remove(path.c_str()); }
  std::string contents() const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
};

TEST_F(FileStreamTest, WritesArriveWholeAndInOrderAtClose) {
  // Short writes around the size of the buffer and one far larger.
  auto s = HostStream::openwrite(path);
  std::string expected;
  for (int i = 0; i < 3000; ++i) {
    const std::string piece = std::to_string(i) + ",";
    s->write(piece);
    expected += piece;
  }
  const std::string big(100000, 'b');
  s->write(big);
  s->write("end");
  expected += big + "end";
  s->close();
  EXPECT_EQ(contents(), expected);
  s->write("dropped");  // a closed file takes nothing more
  s->flush();
  EXPECT_EQ(contents(), expected);
  EXPECT_TRUE(s->idle());
}

TEST_F(FileStreamTest, LinesAcrossBufferBoundaries) {
  // Lines longer than a read, empty lines, a line break as the last byte of
  // a read, and a last line without a line break.
  const std::string longline(20000, 'x');
  const std::string edge(8191, 'e');  // with its line break, one read exactly
  {
    std::ofstream out(path, std::ios::binary);
    out << edge << "\n" << longline << "\n\n" << "short\n" << longline << "tail";
  }
  auto s = HostStream::openread(path);
  std::string line;
  ASSERT_TRUE(s->getline(line));
  EXPECT_EQ(line, edge);
  ASSERT_TRUE(s->getline(line));
  EXPECT_EQ(line, longline);
  ASSERT_TRUE(s->getline(line));
  EXPECT_EQ(line, "");
  ASSERT_TRUE(s->getline(line));
  EXPECT_EQ(line, "short");
  ASSERT_TRUE(s->getline(line));
  EXPECT_EQ(line, longline + "tail");
  EXPECT_FALSE(s->getline(line));
  EXPECT_EQ(line, "");
  {
    // Once at its end, the stream stays there, even when the file grows.
    std::ofstream more(path, std::ios::binary | std::ios::app);
    more << "\nmore\n";
  }
  EXPECT_FALSE(s->getline(line));
  EXPECT_FALSE(s->idle());  // at its end, but open
  s->close();
  EXPECT_TRUE(s->idle());
  EXPECT_FALSE(s->getline(line));
}

TEST_F(FileStreamTest, MissingFileReadsNothingAndIsIdle) {
  auto s = HostStream::openread(path + ".missing");
  std::string line = "stale";
  EXPECT_FALSE(s->getline(line));
  EXPECT_EQ(line, "");
  EXPECT_TRUE(s->idle());
  auto w = HostStream::openwrite("no/such/dir/" + path);
  w->write("lost");
  w->close();
  EXPECT_TRUE(w->idle());
}

}  // namespace
}  // namespace TruvVM
