// The generational collector: a minor collection frees young garbage and
// keeps old records, reachable or not, until a major one; every way of giving
// an old record an edge keeps the young record it now refers to alive through
// a minor collection.
//
// The machine runs in the collector's stress mode, where safepoint() always
// collects, the first collections are minor, and each minor collection checks
// that no marked record refers to an unmarked one (a missed write barrier
// stops the process there, before the record could be freed).

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "asm/assembler.hpp"
#include "machine_fixture.hpp"
#include "vm/run.hpp"

namespace TruvVM::testing {
namespace {

class CollectorTest : public MachineTest {
 public:
  CollectorTest() { m_->config.gcstress = true; }

  using MachineTest::newint;
  using MachineTest::newlist;
  using MachineTest::newdict;
  using MachineTest::newstring;
  using MachineTest::valueof;
  using MachineTest::name;

  // A record kept reachable for the rest of the test and made old.
  variable* old(variable* v) {
    root(v);
    m_->collect();
    EXPECT_NE(v->gcmark, 0);
    return v;
  }
  // A record kept reachable for the rest of the test.
  variable* root(variable* v) {
    m_->pinned.push_back(v);
    return v;
  }
  void minor() { m_->safepoint(); }
};

TEST_F(CollectorTest, MinorCollectionKeepsOldRecordsUntilAMajorOne) {
  m_->collect();
  const std::size_t base = m_->heap.live();
  variable* kept = old(newlist({newint(1)}));
  variable* dropped = old(newint(2));
  m_->pinned.pop_back();
  for (int i = 0; i < 100; ++i) newlist({newint(i)});
  EXPECT_EQ(m_->heap.live(), base + 3 + 200);

  // The young garbage goes; the old record that nothing reaches stays.
  minor();
  EXPECT_EQ(m_->heap.live(), base + 3);
  EXPECT_EQ(dropped->intval, 2);
  minor();
  EXPECT_EQ(m_->heap.live(), base + 3);

  m_->collect();
  EXPECT_EQ(m_->heap.live(), base + 2);
  EXPECT_EQ(kept->listval()[0]->intval, 1);
}

// A collection that finds every record it looks at alive frees nothing and
// makes the young records old, as a sweep would; one that finds a single
// dead record frees it.
TEST_F(CollectorTest, CollectionsThatFindEveryRecordAliveKeepThemAll) {
  m_->collect();
  const std::size_t base = m_->heap.live();
  variable* list = root(newlist({}));
  for (int i = 0; i < 100; ++i) list->appendlistval(newint(i));
  minor();
  EXPECT_EQ(m_->heap.live(), base + 101);
  EXPECT_EQ(m_->heap.young(), 0u);
  for (variable* e : list->listval()) EXPECT_NE(e->gcmark, 0);

  list->appendlistval(newint(100));
  newint(-1);  // the one dead record
  minor();
  EXPECT_EQ(m_->heap.live(), base + 102);
  m_->collect();
  EXPECT_EQ(m_->heap.live(), base + 102);

  // The old records are still swept when they die.
  list->editlistval().resize(50);
  m_->collect();
  EXPECT_EQ(m_->heap.live(), base + 51);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(list->listval()[static_cast<std::size_t>(i)]->intval, i);
}

// A young record that only an old record refers to, made by one of the
// operations that store an edge; it holds the number 42.
struct Store {
  const char* name;
  variable* (*run)(CollectorTest& t);
};

variable* young(CollectorTest& t) { return t.newint(42); }

const Store stores[] = {
    {"Attribute",
     [](CollectorTest& t) {
       variable* h = t.old(t.newlist({}));
       variable* y = young(t);
       h->editattributes().set(t.name("a"), y);
       return y;
     }},
    {"DictValue",
     [](CollectorTest& t) {
       variable* h = t.old(t.newlist({}));
       variable* key = t.old(t.newint(0));
       variable* y = young(t);
       h->editdictval().set(key, y);
       return y;
     }},
    {"DictKey",
     [](CollectorTest& t) {
       variable* h = t.old(t.newlist({}));
       variable* value = t.old(t.newint(0));
       variable* y = young(t);
       h->editdictval().set(y, value);
       return y;
     }},
    {"DictEntryGiven",
     [](CollectorTest& t) {
       variable* h = t.old(t.newlist({}));
       variable* key = young(t);
       variable* y = young(t);
       h->editdictval(key, y).set(key, y);
       return y;
     }},
    {"DictKeyGiven",
     [](CollectorTest& t) {
       variable* h = t.old(t.newlist({}));
       variable* value = t.old(t.newint(0));
       variable* y = young(t);
       h->editdictval(y, value).set(y, value);
       return y;
     }},
    {"ListElement",
     [](CollectorTest& t) {
       variable* h = t.old(t.newlist({t.newint(0)}));
       variable* y = young(t);
       h->editlistval()[0] = y;
       return y;
     }},
    {"ListAppendGiven",
     [](CollectorTest& t) {
       variable* h = t.old(t.newlist({t.newint(0)}));
       variable* y = young(t);
       h->editlistval(y).push_back(y);
       return y;
     }},
    {"ListElementGiven",
     [](CollectorTest& t) {
       variable* h = t.old(t.newlist({t.newint(0)}));
       variable* y = young(t);
       h->editlistval(y)[0] = y;
       return y;
     }},
    {"ListAppendToSharedElements",
     // A young list that shares an old one's elements, which the collector
     // has been through, gets a young element: it is looked through again.
     [](CollectorTest& t) {
       variable* h = t.old(t.newlist({t.newint(0)}));
       variable* fresh = t.root(t.newlist({}));
       *fresh = *h;
       variable* y = young(t);
       fresh->editlistval(y).push_back(y);
       return y;
     }},
    {"ListAppend",
     [](CollectorTest& t) {
       variable* h = t.old(t.newlist({t.newint(0)}));
       variable* y = young(t);
       h->appendlistval(y);
       return y;
     }},
    {"ListAppendInRoom",
     // Pushed onto the elements as they are, with the barrier after.
     [](CollectorTest& t) {
       variable* h = t.old(t.newlist({t.newint(0)}));
       h->editlistval().reserve(4);
       t.minor();  // the elements are seen again, old
       variable* y = young(t);
       ListVal* room = h->listappendroom();
       EXPECT_NE(room, nullptr);
       room->push_back(y);
       h->appendedlistval(y);
       return y;
     }},
    {"ListAppendAfterAnotherThisCycle",
     // The list is remembered by the first young element; the second is
     // found past what the collector saw, with no barrier of its own.
     [](CollectorTest& t) {
       variable* h = t.old(t.newlist({t.newint(0)}));
       h->appendlistval(t.newint(1));
       variable* y = young(t);
       h->appendlistval(y);
       return y;
     }},
    {"ListAppendToSharedElementsByAppend",
     [](CollectorTest& t) {
       variable* h = t.old(t.newlist({t.newint(0)}));
       variable* fresh = t.root(t.newlist({}));
       *fresh = *h;
       variable* y = young(t);
       fresh->appendlistval(y);
       return y;
     }},
    {"BoundObject",
     [](CollectorTest& t) {
       variable* h = t.old(t.newlist({}));
       variable* y = young(t);
       h->setself(y);
       return y;
     }},
    {"PointerTarget",
     [](CollectorTest& t) {
       variable* h = t.old(t.newint(0)->getpointer());
       variable* y = young(t);
       h->setpntrval(y);
       return y;
     }},
    {"AssignmentOfAList",
     [](CollectorTest& t) {
       variable* h = t.old(t.newlist({}));
       variable* y = young(t);
       *h = *t.newlist({y});
       return y;
     }},
    {"AssignmentOfAnObject",
     [](CollectorTest& t) {
       variable* h = t.old(t.newint(0));
       variable* y = young(t);
       variable* src = t.newint(1);
       src->editattributes().set(t.name("a"), y);
       *h = *src;
       return y;
     }},
};

class BarrierTest : public CollectorTest, public ::testing::WithParamInterface<Store> {};

TEST_P(BarrierTest, YoungRecordReachedOnlyFromAnOldOneSurvivesMinorCollections) {
  variable* y = GetParam().run(*this);
  EXPECT_EQ(y->gcmark, 0);
  minor();
  EXPECT_NE(y->gcmark, 0);
  EXPECT_EQ(y->intval, 42);
  // Old now, and the edge to it is an edge between old records.
  minor();
  EXPECT_EQ(y->intval, 42);
  m_->collect();
  EXPECT_EQ(y->intval, 42);
}

INSTANTIATE_TEST_SUITE_P(Stores, BarrierTest, ::testing::ValuesIn(stores),
                         [](const ::testing::TestParamInfo<Store>& info) { return std::string(info.param.name); });

// The changes of dictionary keys that a collection frees are forgotten, and
// those of keys it keeps still reach the lookups of their dictionary, after
// minor and major collections alike.
TEST_F(CollectorTest, KeyChangesOutliveCollectionsThatKeepTheKeys) {
  std::vector<variable*> akeys, bkeys;
  variable* a = old(newdict("a", akeys));
  ASSERT_EQ(valueof(a->dictval(), "a4"), 4);

  // A young dictionary's key changes, then one of a's; the young one is
  // garbage, freed by the minor collection with its keys.
  variable* b = newdict("b", bkeys);
  ASSERT_EQ(valueof(b->dictval(), "b3"), 3);
  *bkeys[3] = *newstring("x");
  *akeys[5] = *newstring("z");
  minor();
  EXPECT_EQ(valueof(a->dictval(), "z"), 5);
  EXPECT_EQ(valueof(a->dictval(), "a5"), -1);

  // A change of a's key, then collections of both kinds before the lookup.
  *akeys[6] = *newstring("y");
  minor();
  m_->collect();
  EXPECT_EQ(valueof(a->dictval(), "y"), 6);
  EXPECT_EQ(valueof(a->dictval(), "a6"), -1);
  EXPECT_EQ(valueof(a->dictval(), "a7"), 7);
}

}  // namespace
}  // namespace TruvVM::testing

namespace TruvVM {
namespace {

// Names that a program made as it ran are given up with its machine, while
// the maps of its frames are kept for the calls of the next run. A run that
// makes such names and collects at every instruction, after one that left
// frame maps binding its own, neither touches the names gone nor loses its
// own.
TEST(RunTimeNames, ARunAfterAnotherFindsOnlyItsOwnNames) {
  const auto run = [](const std::string& text, bool gcstress) {
    const tools::AsmResult program = tools::assemble(text, "names.tasm");
    EXPECT_TRUE(program.ok);
    RunConfig config;
    config.gcstress = gcstress;
    return runcaptured(program.bytes, config);
  };
  // A name of its own first, and collections with it; then three nested
  // calls, each binding a name made from a text, the innermost reading its
  // own back: three maps go back to the recycled ones.
  std::string nested = "pushconst 0\npushconst \"z\"\nstorelocal stack\n";
  for (int i = 0; i < 24; ++i) nested += "nop\n";
  nested +=
      "pushconst:\n"
      "    pushconst 3\n"
      "    pushconst \"c\"\n"
      "    storelocal stack\n"
      "    pushconst \"c\"\n"
      "    loadlocal stack\n"
      "pushconst:\n"
      "    pushconst 2\n"
      "    pushconst \"b\"\n"
      "    storelocal stack\n"
      "    loadlocal arg0\n"
      "    call 0\n"
      "pushconst:\n"
      "    pushconst 1\n"
      "    pushconst \"a\"\n"
      "    storelocal stack\n"
      "    loadlocal arg1\n"
      "    loadlocal arg0\n"
      "    call 1\n"
      "storelocal f\n"
      "loadlocal f\n"
      "call 2\n";
  for (int i = 0; i < 3; ++i) {
    const CapturedRun result = run(nested, i > 0);
    EXPECT_EQ(result.out, "\n<TRUV 4> Program finished with code 3\n") << result.err;
  }
}

// The heap on its own: a sweep frees exactly the records whose mark differs,
// leaves the others intact, and the next allocations take the freed slots
// (first chunk first) before the heap grows; reaching the limit wakes the
// run loop.
TEST(Heap, SweptSlotsAreReusedAndSurvivorsKeepTheirContents) {
  Heap heap;
  Countdown wake;
  wake.checkat(99);
  heap.setwake(&wake, 3000);
  std::vector<variable*> all;
  for (int i = 0; i < 2500; ++i) {
    variable* v = heap.alloc();
    v->identifier = Tag::Int;
    v->intval = i;
    std::string text = "text";
    text += std::to_string(i);
    v->stringval = text;  // survivors must keep their text
    v->gcmark = i % 3 == 0 ? 1 : 2;
    all.push_back(v);
  }
  EXPECT_EQ(wake.left, 99);
  EXPECT_EQ(heap.sweepyoung(1), 2500u - 834u);
  EXPECT_EQ(heap.live(), 834u);
  for (int i = 0; i < 2500; i += 3) {
    EXPECT_EQ(all[static_cast<std::size_t>(i)]->intval, i);
    std::string text = "text";
    text += std::to_string(i);
    EXPECT_EQ(all[static_cast<std::size_t>(i)]->stringval.view(), text);
  }
  std::set<variable*> freed;
  for (int i = 0; i < 2500; ++i)
    if (i % 3 != 0) freed.insert(all[static_cast<std::size_t>(i)]);
  // Every new record lands in a freed slot, the lowest addresses of the
  // first chunk first; none of them overwrites a survivor.
  std::set<variable*> again;
  for (std::size_t i = 0; i < freed.size(); ++i) {
    variable* v = heap.alloc();
    EXPECT_EQ(v->identifier, Tag::Blank);
    EXPECT_TRUE(freed.count(v)) << "record " << i << " outside the freed slots";
    again.insert(v);
  }
  EXPECT_EQ(again.size(), freed.size());
  EXPECT_EQ(heap.live(), 2500u);
  for (int i = 0; i < 2500; i += 3) EXPECT_EQ(all[static_cast<std::size_t>(i)]->intval, i);
  // The limit: the allocation that reaches it sets the deadline to 0.
  for (int i = 0; i < 499; ++i) heap.alloc();
  EXPECT_EQ(wake.left, 99);
  heap.alloc();
  EXPECT_EQ(wake.left, 0);
  EXPECT_EQ(wake.count(), 0u);
  // A full sweep of a different mark frees everything.
  EXPECT_EQ(heap.sweep(7), 3000u);
  EXPECT_EQ(heap.live(), 0u);
}

// A heap far larger than one region of chunks (the regions hold about forty
// thousand records each): every record gets a slot of its own, none
// overlaps another or crosses into the next region, survivors of a sweep
// keep their contents across the regions, and the slots freed are taken
// again before the heap grows.
TEST(Heap, RecordsSpreadOverManyRegionsStayApartAndIntact) {
  Heap heap;
  Countdown wake;
  heap.setwake(&wake, SIZE_MAX);
  constexpr int count = 150000;
  std::vector<variable*> all;
  for (int i = 0; i < count; ++i) {
    variable* v = heap.alloc();
    v->identifier = Tag::Int;
    v->intval = i;
    v->gcmark = i % 2 == 0 ? 1 : 2;
    all.push_back(v);
  }
  std::vector<variable*> sorted = all;
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t i = 1; i < sorted.size(); ++i)
    ASSERT_GE(reinterpret_cast<std::uintptr_t>(sorted[i]) - reinterpret_cast<std::uintptr_t>(sorted[i - 1]),
              sizeof(variable));
  EXPECT_EQ(heap.sweep(1), static_cast<std::size_t>(count / 2));
  for (int i = 0; i < count; i += 2) ASSERT_EQ(all[static_cast<std::size_t>(i)]->intval, i);
  std::set<variable*> freed;
  for (int i = 1; i < count; i += 2) freed.insert(all[static_cast<std::size_t>(i)]);
  for (int i = 0; i < count / 2; ++i) ASSERT_TRUE(freed.count(heap.alloc())) << "record " << i;
  for (int i = 0; i < count; i += 2) ASSERT_EQ(all[static_cast<std::size_t>(i)]->intval, i);
}

// Which records a minor sweep looks at: exactly those made since the last
// sweep, wherever they landed. New records fill the holes between old ones
// (whose marks a minor sweep ignores) and the partly used word allocation is
// at, and a whole word of them can die at once. The wake comes when the
// count of live records reaches the limit again after a sweep lowered it.
TEST(Heap, MinorSweepsLookOnlyAtTheRecordsMadeSinceTheLastSweep) {
  Heap heap;
  Countdown wake;
  wake.checkat(99);
  heap.setwake(&wake, 1000);
  auto make = [&](int n, int first) {
    std::vector<variable*> made;
    for (int i = 0; i < n; ++i) {
      variable* v = heap.alloc();
      v->identifier = Tag::Int;
      v->intval = first + i;
      made.push_back(v);
    }
    return made;
  };
  // 100 records end in the middle of the second word; every other one
  // survives.
  std::vector<variable*> first = make(100, 0);
  for (std::size_t i = 0; i < first.size(); i += 2) first[i]->gcmark = 1;
  EXPECT_EQ(heap.young(), 100u);
  EXPECT_EQ(heap.sweepyoung(1), 50u);
  EXPECT_EQ(heap.young(), 0u);
  // Survivors that a minor sweep must keep whatever their mark says.
  for (std::size_t i = 0; i < first.size(); i += 2) first[i]->gcmark = 2;

  // 50 records take the holes, 150 more go on past the old ones; every third
  // one survives.
  std::vector<variable*> second = make(200, 1000);
  EXPECT_EQ(heap.young(), 200u);
  EXPECT_EQ(heap.live(), 250u);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < second.size(); ++i) {
    if (i < 50) {
      EXPECT_EQ(second[i], first[2 * i + 1]) << "hole " << i << " not reused";
    }
    if (i % 3 == 0) {
      second[i]->gcmark = 1;
      ++kept;
    }
  }
  EXPECT_EQ(heap.sweepyoung(1), 200u - kept);
  EXPECT_EQ(heap.live(), 50u + kept);
  for (std::size_t i = 0; i < first.size(); i += 2) EXPECT_EQ(first[i]->intval, static_cast<int>(i));
  for (std::size_t i = 0; i < second.size(); i += 3) EXPECT_EQ(second[i]->intval, 1000 + static_cast<int>(i));
  // Nothing new: nothing to free, whatever the old records' marks.
  EXPECT_EQ(heap.sweepyoung(1), 0u);

  // Enough records to fill whole words, all of them dead; with a text each,
  // which the sweep must release.
  std::vector<variable*> third = make(600, 5000);
  for (variable* v : third) v->stringval = std::string(40, 'x');
  EXPECT_EQ(heap.young(), 600u);
  EXPECT_EQ(wake.left, 99);  // 50 + kept + 600 records: still short of 1000
  EXPECT_EQ(heap.sweepyoung(1), 600u);
  EXPECT_EQ(heap.live(), 50u + kept);

  // The limit still counts live records: the allocation that reaches 1000
  // wakes the countdown.
  make(static_cast<int>(1000 - 51 - kept), 9000);
  EXPECT_EQ(wake.left, 99);
  make(1, 9999);
  EXPECT_EQ(wake.left, 0);
  // A full sweep looks at the old records' marks too.
  EXPECT_EQ(heap.sweep(1), 1000u - kept);
  EXPECT_EQ(heap.live(), kept);
}

}  // namespace
}  // namespace TruvVM
