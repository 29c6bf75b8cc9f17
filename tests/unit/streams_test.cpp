// Console output is gathered and handed over in pieces; nothing may be lost
// or reordered on the way.

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace TruvVM
