// Name maps and frames: erasing from the open-addressing table, and borrowed
// frames putting their parent's map back exactly.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "vm/names.hpp"

namespace TruvVM {
namespace {

variable* rec(std::uintptr_t n) { return reinterpret_cast<variable*>(n * 16); }

std::map<std::string, variable*> contents(const NameMap& m) {
  std::map<std::string, variable*> out;
  for (const auto& [name, value] : m) out[name->text] = value;
  return out;
}

// A name made at run time is given up by a sweep that finds it without the
// sweep's mark, and is made anew when asked for again; a name interned for
// good, or once so, stays whatever its mark.
TEST(Interner, LooseNamesGoWhenUnmarkedAndPinnedOnesStay) {
  Interner names;
  Name kept = names.internloose("kept");
  names.internloose("dropped");
  Name pinned = names.intern("pinned");
  EXPECT_EQ(names.internloose("pinned"), pinned);
  Name promoted = names.internloose("promoted");
  EXPECT_EQ(names.intern("promoted"), promoted);
  EXPECT_EQ(names.loose(), 2u);

  kept->gcmark = 1;
  EXPECT_EQ(names.sweep(1), 1u);
  EXPECT_EQ(names.loose(), 1u);
  EXPECT_EQ(names.internloose("kept"), kept);
  EXPECT_EQ(names.internloose("dropped")->text, "dropped");
  EXPECT_EQ(names.loose(), 2u);

  // Another collection's mark: neither loose name has it.
  EXPECT_EQ(names.sweep(2), 2u);
  EXPECT_EQ(names.loose(), 0u);
  EXPECT_EQ(names.sweep(2), 0u);
  EXPECT_EQ(names.intern("pinned"), pinned);
  EXPECT_EQ(names.intern("promoted"), promoted);
}

// Attributes are copied in the byte order of their names' texts: names that
// share their first eight bytes, that are prefixes of others, that hold
// bytes above 127 or a zero byte, all as a plain comparison of the texts.
TEST(NameMap, AppendsortedIsByteOrderOfTheTexts) {
  Interner names;
  const std::vector<std::string> texts = {
      "set",       "append",    "get",       "abcdefgh",  "abcdefghi", "abcdefgha", "abcdefg",
      "abcdefgh\x01", "\xc3\xa9t\xc3\xa9", "zz",        "Z",         "a",         std::string("ab\0c", 4),
      "ab",        std::string("ab\0", 3), "abcdefgi",  "\xff",      "\x7f",      "remove",    "keys",
  };
  NameMap map;
  std::uintptr_t n = 0;
  for (const std::string& t : texts) map.set(names.intern(t), rec(++n));
  std::vector<NameMap::Slot> out = {{names.intern("kept first"), rec(99)}};
  map.appendsorted(out);
  ASSERT_EQ(out.size(), texts.size() + 1);
  EXPECT_EQ(out[0].first->text, "kept first");
  std::vector<std::string> expected = texts;
  std::sort(expected.begin(), expected.end());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(out[i + 1].first->text, expected[i]) << i;
  // The literal cache gives the name the table holds.
  static const char literal[] = "append";
  EXPECT_EQ(names.internliteral(literal), names.intern("append"));
  EXPECT_EQ(names.internliteral(literal), names.intern("append"));
}

// Random inserts and erases against a reference map: every name stays
// findable after the entries of its probe run have been shifted.
TEST(NameMap, EraseKeepsEveryOtherNameFindable) {
  Interner names;
  std::vector<Name> pool;
  for (int i = 0; i < 200; ++i) {
    std::string text = "n";
    text += std::to_string(i);
    pool.push_back(names.intern(text));
  }
  std::mt19937 rng(7);
  NameMap m;
  std::map<Name, variable*> ref;
  for (int step = 0; step < 20000; ++step) {
    Name n = pool[rng() % pool.size()];
    if (rng() % 3 == 0) {
      m.erase(n);
      ref.erase(n);
    } else {
      variable* v = rec(static_cast<std::uintptr_t>(step) + 1);
      m.set(n, v);
      ref[n] = v;
    }
    if (step % 97 == 0) {
      ASSERT_EQ(m.size(), ref.size());
      for (Name p : pool) {
        auto it = ref.find(p);
        ASSERT_EQ(m.get(p), it == ref.end() ? nullptr : it->second) << p->text << " at step " << step;
      }
    }
  }
}

TEST(Frame, BorrowedFramesPutTheirParentBackNewestFirst) {
  Interner names;
  Name a = names.intern("a"), b = names.intern("b"), c = names.intern("c");
  Frame parent;
  parent.set(a, rec(1));
  parent.set(b, nullptr);  // a frame may bind a name to nothing ("self")
  const auto before = contents(parent.map());
  {
    Frame outer = Frame::borrow(parent);
    outer.set(a, rec(2));
    outer.set(c, rec(3));
    {
      Frame inner = Frame::borrow(outer);
      EXPECT_TRUE(inner.borrows(outer));
      inner.set(a, rec(4));
      inner.set(a, rec(5));
      inner.set(b, rec(6));
      EXPECT_EQ(inner.get(a), rec(5));
    }
    EXPECT_EQ(outer.get(a), rec(2));
    EXPECT_EQ(outer.get(b), nullptr);
    EXPECT_TRUE(outer.has(b));
    EXPECT_EQ(outer.get(c), rec(3));
    outer.rewind();
    EXPECT_EQ(contents(outer.map()), before);
    outer.set(c, rec(7));
  }
  EXPECT_EQ(contents(parent.map()), before);
  EXPECT_FALSE(parent.has(c));
  EXPECT_TRUE(Frame::log().empty());
}

// The next element of a loop is bound as a new copy of the parent would
// bind it, whatever the block wrote, ELEMENT included.
TEST(Frame, RewindAndSetIsRewindThenSet) {
  Interner names;
  Name e = names.intern("ELEMENT"), x = names.intern("x");
  Frame parent;
  parent.set(x, rec(1));
  {
    Frame f = Frame::borrow(parent);
    f.set(e, rec(10));
    // Every other block writes nothing, so that only ELEMENT's first write
    // is in the tail; the slot's hint starts wrong and is spoilt once.
    std::uint32_t hint = 12345;
    for (std::uintptr_t i = 11; i < 19; ++i) {
      if (i % 2) {
        f.set(x, rec(100 + i));
        f.set(e, rec(200 + i));  // the block rebinds ELEMENT itself
        std::string text = "n";
        text += std::to_string(i);
        f.set(names.intern(text), rec(i));
      }
      if (i == 16) hint ^= 1;
      f.rewindandset(e, rec(i), hint);
      EXPECT_EQ(f.get(e), rec(i));
      EXPECT_EQ(Frame::log().size(), 1u);
      EXPECT_EQ(f.get(x), rec(1));
      EXPECT_EQ(f.map().size(), 2u);
    }
  }
  EXPECT_FALSE(parent.has(e));
  EXPECT_EQ(parent.map().size(), 1u);
  EXPECT_TRUE(Frame::log().empty());
}

// A write remembers where its name's slot was; when the map has grown (or
// an unbinding has shifted slots) by the time the write is given back, the
// name is found again.
TEST(Frame, WritesAreGivenBackAfterTheMapMovedItsSlots) {
  Interner names;
  std::vector<Name> first;
  Frame parent;
  auto numbered = [&names](const char* prefix, std::size_t i) {
    std::string text = prefix;
    text += std::to_string(i);
    return names.intern(text);
  };
  for (std::uintptr_t i = 0; i < 5; ++i) {
    first.push_back(numbered("p", i));
    parent.set(first.back(), rec(i + 1));
  }
  const auto before = contents(parent.map());
  for (int round = 0; round < 3; ++round) {
    Frame f = Frame::borrow(parent);
    for (Name n : first) f.set(n, rec(50));
    // Enough new names to grow the table several times over.
    for (std::size_t i = 0; i < 300; ++i) f.set(numbered("q", i), rec(60));
    for (Name n : first) f.set(n, rec(70));
    EXPECT_EQ(f.map().size(), 305u);
    f.rewind();
    EXPECT_EQ(contents(f.map()), before);
  }
  EXPECT_EQ(contents(parent.map()), before);
  EXPECT_TRUE(Frame::log().empty());
}

TEST(Frame, AMovedBorrowedFrameStillGivesItsWritesBack) {
  Interner names;
  Name a = names.intern("a");
  Frame parent;
  parent.set(a, rec(1));
  {
    std::vector<Frame> stack;
    stack.push_back(Frame::borrow(parent));
    stack.back().set(a, rec(2));
    for (int i = 0; i < 64; ++i) stack.emplace_back();  // moves the borrowed frame
    EXPECT_EQ(stack.front().get(a), rec(2));
    while (!stack.empty()) stack.pop_back();
  }
  EXPECT_EQ(parent.get(a), rec(1));
  EXPECT_TRUE(Frame::log().empty());
}

Name numbered(Interner& names, const char* prefix, int i) {
  std::string text = prefix;
  text += std::to_string(i);
  return names.intern(text);
}

// Names bound after reserve() are found like names bound with set(), in a
// fresh table, in one that has names already and across several doublings,
// and the table keeps a free slot, so a lookup of a missing name ends.
TEST(NameMap, ReservedAddsAreFoundLikeSets) {
  Interner names;
  std::vector<Name> pool;
  for (int i = 0; i < 100; ++i) pool.push_back(numbered(names, "r", i));
  Name missing = names.intern("missing");
  for (std::size_t before : {0u, 1u, 3u, 5u}) {
    for (std::size_t count : {1u, 2u, 4u, 5u, 9u, 60u}) {
      NameMap m(NameMap::ForFrame{});
      NameMap ref;
      for (std::size_t i = 0; i < before; ++i) {
        m.set(pool[i], rec(i + 1));
        ref.set(pool[i], rec(i + 1));
      }
      m.reserve(count);
      for (std::size_t i = before; i < before + count; ++i) {
        m.addreserved(pool[i], rec(i + 1));
        ref.set(pool[i], rec(i + 1));
      }
      EXPECT_EQ(m.size(), before + count);
      EXPECT_EQ(contents(m), contents(ref));
      EXPECT_FALSE(m.has(missing));
    }
  }
}

// A map keeps its slot count apart from its slot vector; copies, moves,
// clears and growth must carry both, or a position check or a probe would
// read past the slots. The positions position() gives stay valid in a copy
// and are refused once the map is empty or has grown past them.
TEST(NameMap, CopiesMovesAndClearsKeepTheirShape) {
  Interner names;
  std::vector<Name> pool;
  for (int i = 0; i < 40; ++i) pool.push_back(numbered(names, "s", i));
  NameMap m;
  for (std::size_t i = 0; i < 3; ++i) m.set(pool[i], rec(i + 1));
  const std::size_t at = m.position(m.entry(pool[1]));

  NameMap copy(m);
  EXPECT_EQ(contents(copy), contents(m));
  ASSERT_NE(copy.entryat(at, pool[1]), nullptr);
  EXPECT_TRUE(copy.setat(at, pool[1], rec(77)));
  EXPECT_EQ(copy.get(pool[1]), rec(77));
  EXPECT_EQ(m.get(pool[1]), rec(2));

  NameMap moved(std::move(copy));
  EXPECT_EQ(moved.get(pool[1]), rec(77));
  // The map moved from is empty, and nothing reads its old slots.
  EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(copy.entryat(at, pool[1]), nullptr);
  EXPECT_FALSE(copy.setat(at, pool[1], rec(5)));
  EXPECT_FALSE(copy.has(pool[1]));
  copy.set(pool[30], rec(30));
  EXPECT_EQ(copy.get(pool[30]), rec(30));

  // Growing far past the first table: every name still found, and a
  // position beyond the old table refused for a name that is not there.
  for (std::size_t i = 3; i < pool.size(); ++i) m.set(pool[i], rec(i + 1));
  for (std::size_t i = 0; i < pool.size(); ++i) EXPECT_EQ(m.get(pool[i]), rec(i + 1));
  EXPECT_EQ(m.entryat(1000, pool[0]), nullptr);

  NameMap assigned;
  assigned = m;
  m.clear();
  EXPECT_FALSE(m.has(pool[0]));
  EXPECT_EQ(m.entryat(0, pool[0]), nullptr);
  EXPECT_EQ(assigned.size(), pool.size());
  m.reset();
  m.set(pool[2], rec(3));
  EXPECT_EQ(m.get(pool[2]), rec(3));
  EXPECT_EQ(m.size(), 1u);
}

// A lookup hint is a position that may be stale, out of range or another
// name's: the lookup still finds exactly what get() finds, and leaves the
// hint where the name is.
TEST(NameMap, HintedLookupsFindWhatGetFinds) {
  Interner names;
  std::vector<Name> pool;
  for (int i = 0; i < 30; ++i) pool.push_back(numbered(names, "h", i));
  Name missing = names.intern("missing");
  NameMap m;
  for (std::size_t i = 0; i < pool.size(); ++i) m.set(pool[i], rec(i + 1));
  for (std::uint32_t start : {0u, 1u, 7u, 63u, 1000u, 0xFFFFFFFFu}) {
    for (Name n : pool) {
      std::uint32_t hint = start;
      const NameMap::Slot* e = m.entryhinted(n, hint);
      ASSERT_NE(e, nullptr);
      EXPECT_EQ(e->second, m.get(n));
      EXPECT_EQ(m.entryat(hint, n), e);
      // Found again at once from the hint it left.
      EXPECT_EQ(m.entryhinted(n, hint), e);
    }
    std::uint32_t hint = start;
    EXPECT_EQ(m.entryhinted(missing, hint), nullptr);
    EXPECT_EQ(hint, start);
  }
  NameMap empty;
  std::uint32_t hint = 3;
  EXPECT_EQ(empty.entryhinted(pool[0], hint), nullptr);
}

// A frame's map goes back to the pool when the frame goes, and the next
// frame gets it empty: whether the table was the smallest one, a larger one
// that is cleared slot by slot, or one so large that it is given up.
TEST(Frame, RecycledMapsComeBackEmpty) {
  Interner names;
  std::vector<Name> pool;
  for (int i = 0; i < 80; ++i) pool.push_back(numbered(names, "f", i));
  for (std::size_t count : {1u, 4u, 5u, 8u, 20u, 33u, 80u, 2u}) {
    {
      Frame used;
      for (std::size_t i = 0; i < count; ++i) used.set(pool[i], rec(i + 1));
      EXPECT_EQ(used.map().size(), count);
    }
    // Several at once, so that more than the map just given back are reused.
    std::vector<Frame> frames;
    for (int k = 0; k < 3; ++k) {
      Frame& f = frames.emplace_back(Frame::Own{});
      EXPECT_TRUE(f.map().empty());
      for (Name n : pool) EXPECT_FALSE(f.has(n)) << n->text << " after " << count;
      NameMap& map = f.ownmap();
      map.reserve(3);
      for (std::size_t i = 0; i < 3; ++i) map.addreserved(pool[i], rec(100 + i));
      EXPECT_EQ(f.get(pool[2]), rec(102));
      EXPECT_EQ(f.map().size(), 3u);
    }
  }
}

// A call's frame takes the map the last frame gave back as it was left, and
// rebinds the names in place only when the map binds exactly those names in
// their home slots: not with a name more or less, nor with a name that a
// collision put elsewhere. Every other taker gets the map empty.
TEST(Frame, KeptMapsAreRebindableOnlyWithTheSameNames) {
  Interner names;
  std::vector<Name> pool;
  for (int i = 0; i < 40; ++i) pool.push_back(numbered(names, "k", i));
  Name self = names.intern("self");
  const auto bind = [&](NameMap& map, std::size_t count) {
    map.reset();
    map.reserve(count + 1);
    for (std::size_t i = 0; i < count; ++i) map.addreserved(pool[i], rec(i + 1));
    map.addreserved(self, rec(99));
  };
  const auto athome = [](NameMap& map, Name name) { return map.entry(name) == &map.homeslot(name); };
  const auto allathome = [&](NameMap& map, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
      if (!athome(map, pool[i])) return false;
    return athome(map, self);
  };
  for (std::size_t count : {0u, 1u, 2u, 3u}) {
    {
      Frame call(Frame::Kept{});
      bind(call.ownmap(), count);
    }
    Frame again(Frame::Kept{});
    NameMap& map = again.ownmap();
    EXPECT_EQ(map.bindsathome(pool.data(), count, self), allathome(map, count)) << count;
    if (!map.bindsathome(pool.data(), count, self)) continue;
    for (std::size_t i = 0; i < count; ++i) map.homeslot(pool[i]).second = rec(50 + i);
    map.homeslot(self).second = rec(60);
    for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(again.get(pool[i]), rec(50 + i));
    EXPECT_EQ(again.get(self), rec(60));
    EXPECT_EQ(map.size(), count + 1);
    // One name fewer or more, or another name in place of one, is refused.
    EXPECT_FALSE(map.bindsathome(pool.data(), count + 1, self));
    if (count > 0) {
      EXPECT_FALSE(map.bindsathome(pool.data(), count - 1, self));
      EXPECT_FALSE(map.bindsathome(pool.data() + 1, count, self));
    }
    again.set(pool[30], rec(7));
    EXPECT_FALSE(map.bindsathome(pool.data(), count, self));
  }
  // Names that collide: whichever is not in its home slot is refused.
  for (std::size_t a = 0; a < pool.size(); ++a) {
    NameMap map(NameMap::ForFrame{});
    map.reserve(2);
    map.addreserved(pool[a], rec(1));
    map.addreserved(self, rec(2));
    EXPECT_EQ(map.bindsathome(&pool[a], 1, self), athome(map, pool[a]) && athome(map, self)) << a;
  }
  // A map left with bindings comes to any other taker empty.
  {
    Frame call(Frame::Kept{});
    bind(call.ownmap(), 2);
  }
  Frame plain;
  plain.set(pool[35], rec(5));
  EXPECT_EQ(plain.map().size(), 1u);
  EXPECT_FALSE(plain.has(self));
  {
    Frame call(Frame::Kept{});
    bind(call.ownmap(), 2);
  }
  Frame source;
  source.set(pool[36], rec(6));
  {
    Frame call(Frame::Kept{});
    bind(call.ownmap(), 3);
  }
  Frame copy = source.clone();
  EXPECT_EQ(contents(copy.map()), contents(source.map()));
}

// A map keeps its shape mark while only values change, and loses it when a
// name is bound or unbound, the slots move, or it is emptied or assigned.
TEST(NameMap, ShapeMarkLastsWhileTheNamesStay) {
  Interner names;
  std::vector<Name> pool;
  for (int i = 0; i < 20; ++i) pool.push_back(numbered(names, "s", i));
  const auto marked = [&]() {
    NameMap map(NameMap::ForFrame{});
    map.reserve(3);
    for (int i = 0; i < 3; ++i) map.addreserved(pool[i], rec(i + 1));
    map.markshape(42);
    return map;
  };
  {
    const NameMap source = marked();
    EXPECT_EQ(source.shape(), 42u);
    const NameMap copy(source);
    EXPECT_EQ(copy.shape(), 0u) << "a copy is not marked";
  }
  NameMap map(NameMap::ForFrame{});
  const auto remark = [&]() {
    map.reset();
    map.reserve(3);
    for (int i = 0; i < 3; ++i) map.addreserved(pool[i], rec(i + 1));
    map.markshape(42);
  };
  remark();
  map.set(pool[1], rec(9));
  map.entry(pool[2])->second = rec(8);
  EXPECT_TRUE(map.setat(map.position(map.entry(pool[0])), pool[0], rec(7)));
  map.erase(pool[10]);  // not bound: nothing changes
  EXPECT_EQ(map.shape(), 42u);
  map.set(pool[10], rec(6));
  EXPECT_EQ(map.shape(), 0u);
  remark();
  map.erase(pool[1]);
  EXPECT_EQ(map.shape(), 0u);
  remark();
  map.reserve(10);  // moves the slots
  EXPECT_EQ(map.shape(), 0u);
  remark();
  map.reset();
  EXPECT_EQ(map.shape(), 0u);
  remark();
  map.clear();
  EXPECT_EQ(map.shape(), 0u);
  remark();
  map = NameMap(NameMap::ForFrame{});
  EXPECT_EQ(map.shape(), 0u);
  remark();
  NameMap other(NameMap::ForFrame{});
  other.set(pool[5], rec(5));
  map = other;
  EXPECT_EQ(map.shape(), 0u);
}

}  // namespace

// A new frame has no map until it is used; a frame borrowed from it must
// still write the parent's map, so that the parent sees the writes while the
// borrowed frame lives and gets its own bindings back when it goes. A clone
// of an unused frame is empty.
// Only frames leave their names unrecorded; a name reaches any other map
// recorded, whether bound there or copied or moved in from a frame's map, and
// a frame keeps not recording what it takes from another map.
TEST(NameMap, NamesBoundOutsideFramesAreRecorded) {
  Interner names;
  Name a = names.intern("a");
  Name b = names.intern("b");
  Name c = names.intern("c");
  Name d = names.intern("d");
  Frame frame;
  frame.set(a, rec(1));
  Frame copy = frame.clone();
  copy.set(b, rec(2));
  EXPECT_FALSE(a->mapped);
  EXPECT_FALSE(b->mapped);
  NameMap framelike(NameMap::ForFrame{});
  framelike.set(c, rec(3));
  framelike = frame.map();
  EXPECT_FALSE(a->mapped);
  EXPECT_FALSE(c->mapped);

  NameMap assigned;
  assigned = frame.map();
  EXPECT_TRUE(a->mapped);
  NameMap moved(NameMap::ForFrame{});
  moved.set(b, rec(2));
  NameMap taker(std::move(moved));
  EXPECT_TRUE(b->mapped);
  NameMap fresh(NameMap::ForFrame{});
  fresh.set(c, rec(3));
  NameMap constructed(fresh);
  EXPECT_TRUE(c->mapped);
  NameMap plain;
  plain.set(d, rec(4));
  EXPECT_TRUE(d->mapped);
}

TEST(Frame, AnUnusedFrameCanBeBorrowedClonedAndRead) {
  Interner names;
  Name a = names.intern("a");
  Frame parent;
  Frame other;
  EXPECT_FALSE(parent.has(a));
  EXPECT_TRUE(parent.map().empty());
  EXPECT_TRUE(parent.clone().map().empty());
  {
    Frame child = Frame::borrow(parent);
    EXPECT_TRUE(child.borrows(parent));
    EXPECT_FALSE(child.borrows(other));
    child.set(a, rec(1));
    EXPECT_EQ(parent.get(a), rec(1));
  }
  EXPECT_FALSE(parent.has(a));
  EXPECT_TRUE(Frame::log().empty());
}

}  // namespace TruvVM
