// Value records: defaults, copy and share, deep copy, equality, conversions
// and text forms.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <random>

#include "machine_fixture.hpp"
#include "vm/builtin.hpp"
#include "vm/moduleapi.hpp"
#include "vm/sanitizer.hpp"

namespace TruvVM::testing {
namespace {

using ValueTest = MachineTest;

TEST_F(ValueTest, FreshRecordIsBlank) {
  variable* v = getallocvar();
  EXPECT_EQ(v->identifier, Tag::Blank);
  EXPECT_EQ(namestring(v->name), "Unnamed Variable");
  EXPECT_FALSE(v->ismodule);
  EXPECT_EQ(v->intval, 0);
  EXPECT_EQ(v->floatval, 0.0f);
  EXPECT_TRUE(v->stringval.empty() && v->listval().empty() && v->dictval().empty() && v->attributes().empty());
  EXPECT_EQ(v->self(), nullptr);
  EXPECT_EQ(v->modulefunc(), nullptr);
  EXPECT_EQ(v->pntrval(), nullptr);
  EXPECT_EQ(v->getstring(false), "None");
}

TEST_F(ValueTest, AssignmentCopiesFieldsAndSharesElements) {
  variable* a = newint(1);
  variable* b = newint(2);
  variable* list = newlist({a, b});
  variable* other = getallocvar();
  *other = *list;
  ASSERT_EQ(other->listval(), list->listval());
  other->editlistval()[0] = newint(9);  // replacing an element in one list
  EXPECT_EQ(list->listval()[0], a);
  b->intval = 5;  // a change inside a shared element shows in both
  EXPECT_EQ(other->listval()[1]->intval, 5);

  variable* s = newstring("x");
  s->intval = 3;
  *s = *s;
  EXPECT_EQ(s->stringval, "x");
  EXPECT_EQ(s->intval, 3);
  // A tag changed in place leaves the old payload where it was.
  s->identifier = Tag::Int;
  EXPECT_EQ(s->stringval, "x");
}

// A long list: growing through many reallocations, copying on write and
// erasing keep every element where it belongs.
TEST_F(ValueTest, LongListsKeepTheirElementsThroughGrowthAndCopies) {
  variable* a = newint(1);
  variable* b = newint(2);
  variable* list = newlist({});
  constexpr std::size_t count = 700000;  // several mebibytes of elements
  for (std::size_t i = 0; i < count; ++i) list->appendlistval(i % 3 == 0 ? a : b);
  variable* other = getallocvar();
  *other = *list;
  other->editlistval()[count - 1] = a;  // copies the elements first
  other->editlistval().erase(other->editlistval().begin());
  ASSERT_EQ(list->listval().size(), count);
  ASSERT_EQ(other->listval().size(), count - 1);
  for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(list->listval()[i], i % 3 == 0 ? a : b) << i;
  for (std::size_t i = 0; i + 1 < count - 1; ++i) ASSERT_EQ(other->listval()[i], (i + 1) % 3 == 0 ? a : b) << i;
  EXPECT_EQ(other->listval()[count - 2], a);
}

// The element array on its own: what the list methods and the collector use
// of it besides appending.
TEST_F(ValueTest, ElementArrayResizesErasesAndCopiesApart) {
  variable* a = newint(1);
  variable* b = newint(2);
  ListVal l;
  l.resize(3);  // grown elements are null
  EXPECT_TRUE(l[0] == nullptr && l[1] == nullptr && l[2] == nullptr);
  l[0] = a;
  l[2] = b;
  l.erase(l.begin() + 2);  // the last one
  ASSERT_EQ(l.size(), 2u);
  l.push_back(b);
  l.erase(l.begin());  // the first: the rest move down
  ASSERT_EQ(l.size(), 2u);
  EXPECT_TRUE(l[0] == nullptr && l[1] == b);

  ListVal copy;
  copy.push_back(a);
  copy.push_back(a);
  copy.push_back(a);
  copy = l;  // a shorter array replaces the longer one
  EXPECT_EQ(copy, l);
  copy[0] = a;  // and is apart from it
  EXPECT_EQ(l[0], nullptr);
  EXPECT_FALSE(copy == l);

  ListVal moved = std::move(copy);
  EXPECT_TRUE(copy.empty());
  ASSERT_EQ(moved.size(), 2u);
  moved.resize(1);  // shrinking keeps the first
  EXPECT_EQ(moved[0], a);
  moved.clear();
  EXPECT_TRUE(moved.empty());
  moved.push_back(b);
  EXPECT_EQ(moved.back(), b);
}

// Removals anywhere, appends, resizes, copies and moves keep the elements a
// plain array would hold, also once removals from the front have left room
// there. Used as a queue, a list keeps its room within a few times its size.
TEST_F(ValueTest, ElementArrayAgreesWithAPlainArrayThroughRemovalsAtTheFront) {
  std::vector<variable*> records;
  for (int i = 0; i < 64; ++i) records.push_back(newint(i));
  std::mt19937 random(11);
  ListVal list;
  std::vector<variable*> model;
  for (int step = 0; step < 20000; ++step) {
    const unsigned choice = random() % 10;
    if (choice < 4 || model.empty()) {
      variable* v = records[random() % records.size()];
      list.push_back(v);
      model.push_back(v);
    } else if (choice < 7) {
      list.erase(list.begin());
      model.erase(model.begin());
    } else if (choice < 9) {
      const std::size_t at = random() % model.size();
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(at));
      model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
    } else if (random() % 2) {
      const std::size_t n = model.size() + random() % 3;
      list.resize(n);
      model.resize(n, nullptr);
    } else {
      ListVal copy = list;  // a copy, moved back in
      list = std::move(copy);
    }
    ASSERT_TRUE(std::equal(list.begin(), list.end(), model.begin(), model.end())) << "step " << step;
  }

  ListVal queue;
  for (int i = 0; i < 1000; ++i) queue.push_back(records[static_cast<std::size_t>(i % 64)]);
  for (int i = 1000; i < 200000; ++i) {
    ASSERT_EQ(queue[0], records[static_cast<std::size_t>((i - 1000) % 64)]);
    queue.erase(queue.begin());
    queue.push_back(records[static_cast<std::size_t>(i % 64)]);
  }
  EXPECT_EQ(queue.size(), 1000u);
  EXPECT_LE(queue.capacity(), 4000u);
}

TEST_F(ValueTest, ReadingCopiesScalarsAndSharesTheRest) {
  for (variable* v : {newint(1), newfloat(1.5f), newstring("s"), newint(1)->getpointer()}) {
    variable* r1 = v->getvar();
    variable* r2 = v->getvar();
    EXPECT_NE(r1, v);
    EXPECT_NE(r1, r2);
    EXPECT_EQ(r1->identifier, v->identifier);
  }
  variable* target = newint(4);
  variable* p = target->getpointer();
  EXPECT_EQ(p->getvar()->pntrval(), target);
  for (Tag t : {Tag::List, Tag::Dict, Tag::CustomFunc, Tag::CustomClass, Tag::BuiltinClass, Tag::Blank}) {
    variable* v = getallocvar();
    v->identifier = t;
    EXPECT_EQ(v->getvar(), v);
  }
}

TEST_F(ValueTest, DeepCopyCopiesAttributesAndDictButNotListElements) {
  variable* elem = newint(1);
  variable* list = newlist({elem});
  initlistvar(*list);
  variable* copy = list->getcopy();
  EXPECT_EQ(copy->listval()[0], elem);
  ASSERT_EQ(copy->attributes().size(), 6u);
  for (const auto& [n, method] : copy->attributes()) EXPECT_NE(method, list->attributes().get(n));

  variable* dict = getallocvar();
  dict->identifier = Tag::Dict;
  variable* k1 = newstring("a");
  variable* v1 = newint(1);
  variable* k2 = newstring("a");  // equal contents, distinct key record
  variable* v2 = newint(2);
  dict->editdictval().set(k1, v1);
  dict->editdictval().set(k2, v2);
  variable* dcopy = dict->getcopy();
  ASSERT_EQ(dcopy->dictval().size(), 2u);
  for (const auto& [k, v] : dcopy->dictval()) {
    EXPECT_NE(k, k1);
    EXPECT_NE(k, k2);
    EXPECT_NE(v, v1);
    EXPECT_NE(v, v2);
  }
  EXPECT_EQ(dcopy->getstring(false), "{D\"a\": 1, \"a\": 2}");
}

TEST_F(ValueTest, DeepCopyOfCyclesUsesTheCopyAlreadyMade) {
  // A list whose method is bound to the list itself.
  variable* list = newlist({newint(1)});
  initlistvar(*list);
  variable* method = list->attributes().get(name("append"));
  method->setself(list);
  variable* copy = list->getcopy();
  variable* mcopy = copy->attributes().get(name("append"));
  EXPECT_NE(mcopy, method);
  EXPECT_EQ(mcopy->self(), copy);

  // An object holding itself as an attribute, and a dict holding itself.
  variable* obj = getallocvar();
  obj->identifier = Tag::CustomClass;
  obj->editattributes().set(name("me"), obj);
  variable* ocopy = obj->getcopy();
  EXPECT_EQ(ocopy->attributes().get(name("me")), ocopy);

  variable* dict = getallocvar();
  dict->identifier = Tag::Dict;
  dict->editdictval().set(dict, dict);
  variable* dcopy = dict->getcopy();
  ASSERT_EQ(dcopy->dictval().size(), 1u);
  EXPECT_EQ(dcopy->dictval().begin()->first, dcopy);
  EXPECT_EQ(dcopy->dictval().begin()->second, dcopy);
}

// Method values of one native share their out-of-line part until one of
// them changes: a bound object, an attribute or an assignment given to one
// shows in no other.
TEST_F(ValueTest, NativeFunctionsShareTheirPartUntilChanged) {
  variable* list = newlist({newint(1)});
  initlistvar(*list);
  variable* other = newlist({});
  initlistvar(*other);
  variable* a = list->attributes().get(name("append"));
  variable* b = other->attributes().get(name("append"));
  ASSERT_NE(a, b);
  EXPECT_EQ(a->gcext(), b->gcext());  // shared
  a->setself(list);
  EXPECT_EQ(a->self(), list);
  EXPECT_EQ(b->self(), nullptr);
  EXPECT_EQ(a->modulefunc(), b->modulefunc());
  b->editattributes().set(name("tag"), newint(7));
  variable* c = makenativefunc(a->modulefunc());
  EXPECT_TRUE(c->attributes().empty());
  EXPECT_EQ(c->self(), nullptr);
  // Assigned onto a record with a part of its own, and back.
  variable* obj = getallocvar();
  obj->editattributes().set(name("x"), newint(1));
  *obj = *c;
  EXPECT_TRUE(obj->attributes().empty());
  EXPECT_EQ(obj->modulefunc(), c->modulefunc());
  obj->setself(other);
  EXPECT_EQ(c->self(), nullptr);
  *c = *newint(3);
  EXPECT_EQ(c->modulefunc(), nullptr);
  EXPECT_TRUE(c->isplainnumber());
  EXPECT_EQ(b->modulefunc(), a->modulefunc());
  EXPECT_EQ(b->attributes().size(), 1u);
}

// A copy of more records than a copy usually meets still replaces each
// record met again by its copy.
TEST_F(ValueTest, DeepCopyOfManyRecordsWithCyclesUsesTheCopiesMade) {
  variable* root = getallocvar();
  root->identifier = Tag::CustomClass;
  for (int i = 0; i < 100; ++i) {
    variable* child = getallocvar();
    child->identifier = Tag::CustomClass;
    child->editattributes().set(name("up"), root);
    char text[8];
    std::snprintf(text, sizeof text, "c%d", i);
    root->editattributes().set(name(text), child);
  }
  variable* copy = root->getcopy();
  ASSERT_EQ(copy->attributes().size(), 100u);
  for (const auto& [n, child] : copy->attributes()) {
    EXPECT_NE(child, root->attributes().get(n));
    EXPECT_EQ(child->attributes().get(name("up")), copy);
  }
}

TEST_F(ValueTest, DeepCopyOfDeeplyNestedValueUsesBoundedStack) {
  // Dictionaries nested 200,000 deep: the copy walks them with a work list.
  variable* inner = newint(0);
  for (int i = 0; i < 200000; ++i) {
    variable* d = getallocvar();
    d->identifier = Tag::Dict;
    d->editdictval().set(newint(i), inner);
    inner = d;
  }
  variable* copy = inner->getcopy();
  int depth = 0;
  for (variable* v = copy; v->identifier == Tag::Dict; v = v->dictval().begin()->second) ++depth;
  EXPECT_EQ(depth, 200000);
}

TEST_F(ValueTest, EqualityAcrossKinds) {
  EXPECT_TRUE(*newint(1) == *newfloat(1.0f));
  EXPECT_TRUE(*newfloat(1.0f) == *newint(1));
  EXPECT_FALSE(*newint(1) == *newint(2));
  EXPECT_FALSE(*newstring("1") == *newint(1));
  EXPECT_TRUE(*newstring("ab") == *newstring("ab"));
  variable* nan = newfloat(std::numeric_limits<float>::quiet_NaN());
  EXPECT_FALSE(*nan == *nan);
  // Beyond 2^24 integers compare as the floats they round to.
  EXPECT_TRUE(*newint(16777217) == *newint(16777216));

  EXPECT_TRUE(*newint(1)->getpointer() == *newint(2)->getpointer());
  variable* o1 = getallocvar();
  o1->identifier = Tag::CustomClass;
  variable* o2 = getallocvar();
  o2->identifier = Tag::CustomClass;
  o2->intval = 7;
  EXPECT_TRUE(*o1 == *o2);

  variable* e = newint(1);
  EXPECT_TRUE(*newlist({e}) == *newlist({e}));
  EXPECT_FALSE(*newlist({e}) == *newlist({newint(1)}));

  variable* f1 = getallocvar();
  f1->identifier = Tag::CustomFunc;
  f1->setfunccode(m_->newcode({0x0E, 0x22}));
  variable* f2 = getallocvar();
  f2->identifier = Tag::CustomFunc;
  f2->setfunccode(m_->newcode({0x0E, 0x22}));
  EXPECT_TRUE(*f1 == *f2);
  f2->setfunccode(m_->newcode({0x22, 0x0E}));
  EXPECT_FALSE(*f1 == *f2);
  // Native methods have no code, so any two are equal.
  EXPECT_TRUE(*makenativefunc(builtin::Lappend) == *makenativefunc(builtin::Lfind));
}

TEST_F(ValueTest, ConversionsToNumbers) {
  EXPECT_EQ(newfloat(-3.7f)->getint(), -3);
  EXPECT_EQ(newfloat(2.9f)->getint(), 2);
  EXPECT_EQ(newstring("12.9")->getint(), 12);
  EXPECT_EQ(newstring("  42abc")->getint(), 42);
  EXPECT_EQ(newstring("-7")->getint(), -7);
  EXPECT_EQ(newstring("1e3")->getfloat(), 1000.0f);
  EXPECT_EQ(newstring(" 2.5x")->getfloat(), 2.5f);
  EXPECT_TRUE(std::isinf(newstring("inf")->getfloat()));
  EXPECT_EQ(newint(3)->getfloat(), 3.0f);

  EXPECT_EQ(errorof([&] { newstring("abc")->getint(); }), "TRUV 4 VM error: Cannot convert \"abc\" to an integer.");
  EXPECT_EQ(errorof([&] { newstring("99999999999")->getint(); }),
            "TRUV 4 VM error: Cannot convert \"99999999999\" to an integer: out of range.");
  EXPECT_EQ(errorof([&] { newstring("x1")->getfloat(); }), "TRUV 4 VM error: Cannot convert \"x1\" to a float.");
  EXPECT_EQ(errorof([&] { newstring("1e99")->getfloat(); }),
            "TRUV 4 VM error: Cannot convert \"1e99\" to a float: out of range.");
  EXPECT_EQ(errorof([&] { newfloat(3e9f)->getint(); }),
            "TRUV 4 VM error: Cannot convert float 3000000000.000000 to an integer.");
  EXPECT_EQ(errorof([&] { newfloat(std::numeric_limits<float>::infinity())->getint(); }),
            "TRUV 4 VM error: Cannot convert float inf to an integer.");
  EXPECT_EQ(errorof([&] { newlist({})->getint(); }), "TRUV 4 VM error: Unsupported type: BUILTIN_LIST");
  EXPECT_EQ(errorof([&] { getallocvar()->getfloat(); }), "TRUV 4 VM error: Unsupported type: ");
}

TEST_F(ValueTest, TextForms) {
  EXPECT_EQ(newfloat(0.1f)->getstring(false), "0.100000");
  EXPECT_EQ(newfloat(1e20f)->getstring(false), "100000002004087734272.000000");
  EXPECT_EQ(newfloat(-0.25f)->getstring(false), "-0.250000");
  EXPECT_EQ(newfloat(2.5f)->getstring(false), "2.500000");
  EXPECT_EQ(newint(-12)->getstring(false), "-12");
  EXPECT_EQ(newstring("a\"b")->getstring(true), "\"a\"b\"");
  EXPECT_EQ(newstring("ab")->getstring(false), "ab");
  EXPECT_EQ(newlist({newint(1), newint(2), newfloat(2.5f)})->getstring(false), "{L1, 2, 2.500000}");
  EXPECT_EQ(newlist({newlist({newint(1)})})->getstring(false), "{L{L1}}");
  EXPECT_EQ(newlist({newstring("ab")})->getstring(false), "{L\"ab\"}");
  EXPECT_EQ(newlist({})->getstring(false), "{L}");
  variable* dict = getallocvar();
  dict->identifier = Tag::Dict;
  EXPECT_EQ(dict->getstring(false), "{D}");
  dict->editdictval().set(newstring("k"), newint(1));
  EXPECT_EQ(dict->getstring(false), "{D\"k\": 1}");
  variable* fn = getallocvar();
  fn->identifier = Tag::CustomFunc;
  EXPECT_EQ(newlist({fn, getallocvar()})->getstring(false), "{LNone, None}");

  // A list inside itself is written once, then as {L...}.
  variable* self = newlist({newint(1)});
  self->editlistval().push_back(self);
  EXPECT_EQ(self->getstring(false), "{L1, {L...}}");
  variable* shared = newlist({newint(2)});
  EXPECT_EQ(newlist({shared, shared})->getstring(false), "{L{L2}, {L2}}");
}

TEST_F(ValueTest, PrintingDeeplyNestedListUsesBoundedStack) {
  variable* v = newlist({});
  for (int i = 0; i < 1000000; ++i) v = newlist({v});
  std::string text = v->getstring(false);
  EXPECT_EQ(text.size(), 2 * 1000001 + 1000001);
  EXPECT_EQ(text.substr(0, 4), "{L{L");
}

// Lookups in an indexed dictionary (eight keys or more) by texts that share
// a key's buffer, by texts with the same bytes elsewhere, and after a key
// record has been given another value in place.
TEST_F(ValueTest, IndexedDictLookupFollowsTheKeysAsTheyAre) {
  variable* dict = getallocvar();
  dict->identifier = Tag::Dict;
  auto text = [](int i) {
    std::string t = "k";
    t += std::to_string(i);
    return t;
  };
  std::vector<variable*> keys;
  for (int i = 0; i < 12; ++i) {
    keys.push_back(newstring(text(i)));
    dict->editdictval().set(keys.back(), newint(i));
  }
  const DictVal& entries = dict->dictval();
  for (int i = 0; i < 12; ++i) {
    variable* shared = keys[static_cast<std::size_t>(i)]->getvar();  // the key's own buffer
    ASSERT_TRUE(shared->stringval.sameview(keys[static_cast<std::size_t>(i)]->stringval));
    const DictVal::Entry* found = entries.find(*shared);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->second->intval, i);
    found = entries.find(*newstring(text(i)));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->second->intval, i);
  }
  // A key too long for its slot to keep its view: found through the key
  // record, by a text sharing its buffer and by one with the same bytes.
  variable* longkey = newstring(std::string(70000, 'x'));
  dict->editdictval().set(longkey, newint(70000));
  const DictVal::Entry* longfound = entries.find(*longkey->getvar());
  ASSERT_NE(longfound, nullptr);
  EXPECT_EQ(longfound->second->intval, 70000);
  longfound = entries.find(*newstring(std::string(70000, 'x')));
  ASSERT_NE(longfound, nullptr);
  EXPECT_EQ(longfound->first, longkey);
  EXPECT_EQ(entries.find(*newstring(std::string(69999, 'x'))), nullptr);

  // A text that shares a key's buffer at another length is another text.
  variable* longer = keys[3]->getvar();
  longer->stringval += "0";
  ASSERT_EQ(longer->stringval.view(), "k30");
  EXPECT_EQ(entries.find(*longer), nullptr);

  // A key given another value: a probe that still holds the old text (and
  // its buffer) finds nothing, the new text finds the key.
  variable* old = keys[5]->getvar();
  *keys[5] = *newstring("changed");
  EXPECT_EQ(entries.find(*old), nullptr);
  const DictVal::Entry* found = entries.find(*newstring("changed"));
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->first, keys[5]);
  found = entries.find(*keys[5]->getvar());
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->first, keys[5]);
}

// A change of a key of one dictionary leaves the index of another as it is,
// while changes of its own keys, noted among others or forgotten (as when
// the log of changes is full), still reach its lookups.
TEST_F(ValueTest, DictIndexSeesItsOwnKeyChangesAmongOthers) {
  std::vector<variable*> akeys, bkeys;
  const DictVal& a = newdict("a", akeys)->dictval();
  const DictVal& b = newdict("b", bkeys)->dictval();
  ASSERT_EQ(valueof(a, "a4"), 4);
  ASSERT_EQ(valueof(b, "b4"), 4);

  // B's keys change, A's lookups stay right.
  *bkeys[2] = *newstring("a7");
  *bkeys[3] = *newstring("x");
  EXPECT_EQ(valueof(a, "a7"), 7);
  EXPECT_EQ(valueof(b, "a7"), 2);
  EXPECT_EQ(valueof(b, "b3"), -1);

  // A change of A's key noted after others of B's.
  *bkeys[4] = *newstring("y");
  *akeys[5] = *newstring("z");
  *bkeys[6] = *newstring("w");
  EXPECT_EQ(valueof(a, "z"), 5);
  EXPECT_EQ(valueof(a, "a5"), -1);
  EXPECT_EQ(valueof(b, "y"), 4);

  // A change of its own key, the only one since its last lookup; then a key
  // made equal to an earlier one: the earlier entry answers.
  *akeys[9] = *newstring("u");
  EXPECT_EQ(valueof(a, "u"), 9);
  EXPECT_EQ(valueof(a, "a9"), -1);
  *akeys[8] = *newstring("a1");
  EXPECT_EQ(valueof(a, "a1"), 1);
  EXPECT_EQ(valueof(a, "a8"), -1);

  // The changes forgotten: an index older than what is noted is rebuilt.
  *akeys[10] = *newstring("v");
  DictVal::forgetkeychanges();
  EXPECT_EQ(valueof(a, "v"), 10);
  EXPECT_EQ(valueof(a, "a10"), -1);
  EXPECT_EQ(valueof(b, "w"), 6);
}

// Keys set in any order of their creation, equal ones among them, are found
// as a walk over the entries in their order finds them: the first equal key.
// Keys made before the last one wait beside the others, and are put in their
// places a few at a time or when the order is needed; the larger dictionary
// lets more of them wait. Some keys come in their order, made just before
// being set, and some are set again. Each set is followed by lookups of the
// key just set, as a number, as a text and as a copy of the key, and of one
// other value; now and then the entries are walked in order, which must be
// the keys' order.
TEST_F(ValueTest, DictLookupsAgreeWithAWalkWhateverOrderKeysArriveIn) {
  std::mt19937 random(7);
  for (const int size : {40, 3000}) {
    const auto number = [&] { return static_cast<int>(random() % static_cast<unsigned>(size / 2)); };
    std::vector<variable*> keys;
    for (int i = 0; i < size; ++i)
      keys.push_back(i % 3 == 0 ? newint(number()) : newstring(std::to_string(number())));
    std::shuffle(keys.begin(), keys.end(), random);
    variable* dict = getallocvar();
    dict->identifier = Tag::Dict;
    // The first entry in order with a key equal to probe, found without
    // putting waiting entries in their places.
    const auto first = [&](const variable& probe) {
      DictVal::Entry best{nullptr, nullptr};
      dict->dictval().forentries([&](const DictVal::Entry& entry) {
        if (*entry.first == probe && (!best.first || entry.first->seq < best.first->seq)) best = entry;
      });
      return best;
    };
    std::map<std::uint64_t, variable*> model;  // the keys set, by sequence number
    for (int i = 0; i < size; ++i) {
      variable* key = i % 97 == 0 ? newstring(std::to_string(number())) : keys[static_cast<std::size_t>(i)];
      if (i % 11 == 0 && i > 0) key = keys[random() % static_cast<unsigned>(i)];  // set again
      dict->editdictval().set(key, newint(i));
      model[key->seq] = key;
      const int value = key->identifier == Tag::Int ? key->intval : std::stoi(std::string(key->stringval.view()));
      for (int k = 0; k < 4; ++k) {
        // The last probe is a copy of the key, sharing its text and the hash
        // the text keeps, which takes the quickest way of a lookup.
        variable* probe = k == 3   ? key->getvar()
                          : k == 0 ? newint(value)
                                   : newstring(std::to_string(k == 1 ? value : number()));
        const DictVal::Entry expected = first(*probe);
        const DictVal::Entry* found = dict->dictval().find(*probe);
        const DictVal::Entry got = found ? *found : DictVal::Entry{nullptr, nullptr};
        ASSERT_EQ(got, expected) << "size " << size << ", key " << i;
      }
      ASSERT_EQ(dict->dictval().size(), model.size());
      if (i % 50 == 49 || i == size - 1) {
        std::vector<variable*> order;
        for (const DictVal::Entry& entry : dict->dictval()) order.push_back(entry.first);
        std::vector<variable*> expected;
        for (const auto& [seq, k] : model) expected.push_back(k);
        ASSERT_EQ(order, expected) << "size " << size << ", key " << i;
      }
    }
  }
}

// A dictionary keeps its entries out of line from its first entry on: an
// empty one, never filled or cleared, finds nothing, copies as empty and
// equals another empty one, and takes entries again after a clear. A copy
// made while entries wait out of their places has them all, in order, and
// looks them up with an index of its own.
TEST_F(ValueTest, DictWithoutEntriesHoldsNothingAndTakesEntriesAgain) {
  DictVal none;
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(none.size(), 0u);
  EXPECT_EQ(none.find(*newint(1)), nullptr);
  EXPECT_EQ(none.find(*newstring("a")), nullptr);
  EXPECT_EQ(none.begin(), none.end());
  int visited = 0;
  none.forentries([&](const DictVal::Entry&) { ++visited; });
  EXPECT_EQ(visited, 0);
  DictVal copy(none);
  EXPECT_TRUE(copy.empty());
  EXPECT_TRUE(copy == none);

  // Keys made in one order and set in the reverse one wait out of their
  // places; a copy and the original agree on the order and on lookups.
  auto text = [](int i) {
    std::string t = "k";
    t += std::to_string(i);
    return t;
  };
  std::vector<variable*> keys;
  for (int i = 0; i < 30; ++i) keys.push_back(newstring(text(i)));
  DictVal filled;
  for (int i = 29; i >= 0; --i) filled.set(keys[static_cast<std::size_t>(i)], newint(i));
  for (int i = 0; i < 30; ++i) {
    const DictVal::Entry* found = filled.find(*newstring(text(i)));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->second->intval, i);
  }
  copy = filled;
  EXPECT_TRUE(copy == filled);
  ASSERT_EQ(copy.size(), 30u);
  int at = 0;
  for (const DictVal::Entry& entry : copy) EXPECT_EQ(entry.first, keys[static_cast<std::size_t>(at++)]);
  for (int i = 0; i < 30; ++i) EXPECT_EQ(copy.find(*newstring(text(i)))->second->intval, i);

  filled.clear();
  EXPECT_TRUE(filled.empty());
  EXPECT_EQ(filled.find(*newstring("k3")), nullptr);
  EXPECT_EQ(copy.size(), 30u);  // the copy's entries are its own
  filled.set(keys[3], newint(33));
  EXPECT_EQ(filled.size(), 1u);
  EXPECT_EQ(filled.find(*newstring("k3"))->second->intval, 33);
  copy = none;
  EXPECT_TRUE(copy.empty());
  EXPECT_EQ(copy.find(*newstring("k3")), nullptr);
}

}  // namespace
}  // namespace TruvVM::testing
