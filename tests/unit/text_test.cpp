// Shared string text: copies share a buffer, and appending in place must
// never change what another copy reads.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "vm/text.hpp"

namespace TruvVM {
namespace {

TEST(Text, CopiesKeepTheirBytesWhileAnotherGrowsInPlace) {
  Text a("abc");
  Text b = a;  // shares the buffer, at its end
  b += "def";
  Text c = b;
  c += "ghi";  // in place: b and a cover fewer bytes and must not see them
  EXPECT_EQ(a, std::string_view("abc"));
  EXPECT_EQ(b, std::string_view("abcdef"));
  EXPECT_EQ(c, std::string_view("abcdefghi"));
  // b no longer ends the buffer: appending to it must copy, not overwrite c.
  b += "XYZ";
  EXPECT_EQ(b, std::string_view("abcdefXYZ"));
  EXPECT_EQ(c, std::string_view("abcdefghi"));
}

TEST(Text, AppendsItsOwnBytesAndGrowsByRepetition) {
  Text t("ab");
  for (int i = 0; i < 10; ++i) t += t.view();  // doubling, reading from itself
  EXPECT_EQ(t.size(), 2u << 10);
  std::string expect;
  for (int i = 0; i < 1024; ++i) expect += "ab";
  EXPECT_EQ(t, std::string_view(expect));

  Text s;
  std::string built;
  for (int i = 0; i < 5000; ++i) {
    Text old = s;
    s += "xy";
    built += "xy";
    EXPECT_EQ(old.size(), built.size() - 2);
  }
  EXPECT_EQ(s, std::string_view(built));
}

TEST(Text, HashIsOfTheViewsOwnBytesWhateverItShares) {
  // Views of one buffer with different lengths: each hash is that of a
  // fresh text with the same bytes, asked in any order and again.
  Text shorter;
  shorter.reserve(16);
  EXPECT_EQ(shorter.hash(), Text().hash());  // a buffer, but no bytes yet
  shorter += "abc";
  Text longer = shorter;
  longer += "defghijkl";  // in place: the same buffer, nine more bytes
  const std::uint32_t abc = Text("abc").hash();
  const std::uint32_t all = Text("abcdefghijkl").hash();
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(longer.hash(), all);
    EXPECT_EQ(shorter.hash(), abc);
    EXPECT_EQ(Text(shorter).hash(), abc);
  }
  // Equal bytes in buffers of their own hash alike; others differ here.
  EXPECT_EQ(Text("abc").hash(), Text(std::string("ab") + "c").hash());
  EXPECT_NE(abc, Text("abd").hash());
  EXPECT_NE(abc, Text("ab").hash());
}

TEST(Text, EqualityEmptyAndReassignment) {
  Text empty;
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty, Text(""));
  EXPECT_EQ(empty.view(), "");
  Text a("same"), b("same"), c("samf");
  EXPECT_EQ(a, b);
  EXPECT_FALSE(a == c);
  EXPECT_FALSE(a == Text("sam"));
  Text d = a;
  a = "other";  // d keeps the old text
  EXPECT_EQ(d, std::string_view("same"));
  a = d;
  Text& same = a;
  a = same;  // self-assignment keeps it
  EXPECT_EQ(a, std::string_view("same"));
  Text m = std::move(a);
  EXPECT_EQ(m, std::string_view("same"));
  m.clear();
  EXPECT_TRUE(m.empty());
  EXPECT_EQ(d.str(), "same");
}

TEST(Text, ViewKeyIsSharedOnlyByTheSameViewOfOneBuffer) {
  Text a("abc");
  Text copy = a;
  EXPECT_NE(a.viewkey(), Text::noview);
  EXPECT_EQ(a.viewkey(), copy.viewkey());
  // Equal bytes in another buffer: a key of its own.
  EXPECT_NE(a.viewkey(), Text("abc").viewkey());
  // Views of one buffer at different lengths differ.
  Text longer = a;
  longer += "d";
  ASSERT_EQ(longer.size(), 4u);
  EXPECT_NE(a.viewkey(), longer.viewkey());
  Text again = longer;
  EXPECT_EQ(again.viewkey(), longer.viewkey());
  // No buffer, or a length the key cannot hold: no view.
  EXPECT_EQ(Text().viewkey(), Text::noview);
  EXPECT_EQ(Text(std::string(0x10000, 'x')).viewkey(), Text::noview);
  EXPECT_NE(Text(std::string(0xFFFF, 'x')).viewkey(), Text::noview);
  EXPECT_NE(a.viewkey(), ~std::uint64_t{0});
}

}  // namespace
}  // namespace TruvVM
