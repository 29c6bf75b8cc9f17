#pragma once
// The value record: every datum of the machine is one `variable`.

#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "elements.hpp"
#include "hostbytes.hpp"
#include "names.hpp"
#include "piecepool.hpp"
#include "text.hpp"

namespace TruvVM {

using byte = std::uint8_t;
struct variable;
struct Code;
struct ParamSet;

// The arguments of a native call (machine.hpp).
struct Args;

// A native function: the bound object and the arguments.
using mfuncptr = void (*)(variable* self, const Args& args);

// Type tags. tagname() gives the text the machine prints for each.
enum class Tag : std::uint8_t {
  Blank,  // a fresh record: nothing assigned yet
  Int,
  Float,
  String,
  List,
  Dict,
  Pntr,
  CustomFunc,
  CustomClass,
  BuiltinFunc,
  BuiltinModule,
  BuiltinClass,
};
std::string_view tagname(Tag tag);

// Display names; only the built-in objects carry one of their own.
enum class VarName : std::uint8_t { Unnamed, ProgramRoot, Filesystem, File, Stdout, Stdin };
std::string_view namestring(VarName name);

// Dictionary entries, ordered by the creation sequence of the key records.
//
// A lookup by value finds the first entry whose key equals the probe. For
// text and number probes a hash index of the keys answers that without a
// scan; it is rebuilt when the entries change other than at the end, and when
// one of its own key records has had its value replaced (keyversion and the
// records noted with it), so it always agrees with a scan.
class DictVal {
 public:
  using Entry = std::pair<variable*, variable*>;
  DictVal() = default;
  DictVal(const DictVal& other) { *this = other; }
  // A copy has its entries in their places, no index and no lookups
  // counted.
  DictVal& operator=(const DictVal& other) {
    if (this != &other) {
      if (other.empty()) {
        body_.reset();
      } else {
        const std::vector<Entry>& entries = other.settled();
        body_.reset(new Body{entries, {}, {}, 0});
      }
    }
    return *this;
  }
  // Binds value under the key record itself (identity, not contents).
  void set(variable* key, variable* value);
  // Makes room for n entries, for a dictionary whose entries are counted
  // before they are set.
  void reserve(std::size_t n) {
    if (!body_) body_.reset(new Body);
    body_->entries.reserve(n);
  }
  // The first entry whose key equals probe (operator==), or null.
  const Entry* find(const variable& probe) const;
  std::size_t size() const { return body_ ? body_->entries.size() + body_->late.size() : 0; }
  bool empty() const { return !body_ || (body_->entries.empty() && body_->late.empty()); }
  // The entries in order. Entries that wait beside them (late) are put in
  // their places first.
  auto begin() const { return settled().begin(); }
  auto end() const { return settled().end(); }
  // Calls f with every entry, in no particular order, putting none in its
  // place: for the collector, which must not allocate.
  template <class F>
  void forentries(F f) const {
    if (!body_) return;
    for (const Entry& entry : body_->entries) f(entry);
    for (const Entry& entry : body_->late) f(entry);
  }
  bool operator==(const DictVal& other) const { return settled() == other.settled(); }
  // Keeps the room the entries had: a deep copy clears the entries that
  // copying its source's fields gave it, and sets as many again.
  void clear() {
    if (!body_) return;
    body_->entries.clear();
    body_->late.clear();
    body_->index.reset();
    body_->scans = 0;
  }

  // Advanced whenever a record that is a dictionary key gets a new value.
  static inline std::uint64_t keyversion = 0;
  // Called before a record that has been a key gets a new value: advances
  // keyversion and notes the record, so that an index made before can tell
  // whether the changes since concern its own keys (buildindex).
  static void keychanged(const variable* key);
  // Forgets the records noted: done at the end of a machine, when every
  // record is freed. An index older than what is noted is rebuilt.
  static void forgetkeychanges();
  // Forgets the records noted that the sweep of a collection with this mark
  // is about to free (major: every record not marked; minor: the young
  // records not marked, whose mark is still 0), keeping their places in
  // the order. A freed record is no key of any dictionary that can still
  // be looked up: a live dictionary's keys were marked with it, or are old
  // in a minor collection. So forgetting it changes no answer, and an
  // index need not be rebuilt after each collection.
  static void keysfreed(std::uint8_t mark, bool major);

 private:
  struct Index;
  struct IndexDeleter {
    void operator()(Index* index) const;
  };
  void buildindex() const;
  // The position of key among the entries, or where it would go: entries
  // are in the order of their keys' creation sequence numbers, which never
  // change, so a record is a key at most once, there.
  std::size_t placeof(const variable* key) const;
  // Whether the record key itself is a key here.
  bool haskey(const variable* key) const;
  // Whether a change noted since keyversion `since` may concern a key of
  // this dictionary: true when it does, when the records are no longer
  // known, or when there are more of them than entries (a rebuild then
  // costs less than looking at each).
  bool keyschangedsince(std::uint64_t since) const;
  // find() for every case but a text probe with the index up to date.
  const Entry* findslow(const variable& probe) const;
  // find() for a text probe from slot `at` on, comparing key records.
  const Entry* findtext(const variable& probe, std::uint32_t h, std::size_t at) const;
  // The probe loop of the index, from slot `at` on, for a probe of hash h.
  const Entry* findfrom(const variable& probe, std::uint32_t h, std::size_t at) const;
  void indexentry(std::size_t position) const;
  // Notes the late entry at `rank` among them, which goes after `before`
  // of the other entries, in the index.
  void indexlate(std::size_t rank, std::size_t before);
  // Puts the late entries in their places among the others, and the index
  // in step with them.
  const std::vector<Entry>& settled() const {
    if (!body_) return noentries();
    if (!body_->late.empty()) [[unlikely]]
      settle();
    return body_->entries;
  }
  static const std::vector<Entry>& noentries() {
    static const std::vector<Entry> none;
    return none;
  }
  void settle() const;
  const Entry* findlate(const variable& probe, std::uint32_t h) const;

  // In the order of the keys' creation sequence numbers. An entry whose
  // key was made before the last one's waits in `late`, in the same order,
  // until a few have gathered or the order is needed, so that a dictionary
  // filled out of its keys' order does not move its entries every time.
  //
  // They are kept out of line, made with the first entry: every list,
  // function and object with attributes has a place for a dictionary, and
  // most never hold one.
  struct Body {
    std::vector<Entry> entries;
    std::vector<Entry> late;
    std::unique_ptr<Index, IndexDeleter> index;
    // Lookups that scanned the entries instead of making the index.
    std::uint8_t scans = 0;
  };
  static constexpr std::uint8_t scansbeforeindex = 4;
  // Null until the dictionary has had entries: made by set(), reserve() and
  // a copy of a dictionary with entries, dropped by a copy of an empty one,
  // and kept, emptied, by clear(). Every other change of the entries, the
  // index or the count of scans is made to a dictionary that has entries.
  std::unique_ptr<Body> body_;
};

// The elements of a list record, shared between copies of the list until one
// of them is changed. A FOREACH runs over such a copy, so it takes no time to
// start, and a list copied by DUP costs nothing until it is written to.
class SharedList {
 public:
  SharedList() = default;
  SharedList(const SharedList& other) : rep_(other.rep_) {
    if (rep_) ++rep_->refs;
  }
  SharedList& operator=(const SharedList& other) {
    if (other.rep_) ++other.rep_->refs;
    drop();
    rep_ = other.rep_;
    return *this;
  }
  ~SharedList() { drop(); }

  const ListVal& get() const { return rep_ ? rep_->elements : none(); }
  // The elements for writing: copied first when another list shares them.
  ListVal& edit() {
    ListVal& elements = editkeep();
    rep_->gcseen = 0;
    return elements;
  }
  // The same for a change that keeps the collector's view of the elements
  // valid: one that replaces an element by an old or remembered record (see
  // variable::editlistval(variable*)), or appends.
  ListVal& editkeep() {
    if (!rep_) {
      rep_ = new Rep{};
    } else if (rep_->refs > 1) {
      Rep* copy = new Rep{rep_->elements, 1, rep_->gcseen};
      hostbytes::made(copy->elements.capacity() * sizeof(variable*));
      --rep_->refs;
      rep_ = copy;
    }
    return rep_->elements;
  }
  // The collector's view: the first gcseen() elements are old or in the
  // remembered set, so that a minor collection need look only at the rest.
  // All of them are from a collection that went through them until they are
  // changed other than by editkeep; elements appended since lie past it.
  // (Never more than the count: only edit() makes the list shorter.)
  std::size_t gcseen() const { return rep_ ? rep_->gcseen : 0; }
  void setgcseen() const {
    if (rep_) rep_->gcseen = rep_->elements.size();
  }
  // The elements when they can take one more as they are: held by this list
  // alone, with room to grow in place. Null otherwise.
  ListVal* appendroom() {
    if (!rep_ || rep_->refs != 1 || rep_->elements.size() == rep_->elements.capacity()) return nullptr;
    return &rep_->elements;
  }
  bool empty() const { return !rep_ || rep_->elements.empty(); }
  std::size_t size() const { return rep_ ? rep_->elements.size() : 0; }
  void clear() {
    drop();
    rep_ = nullptr;
  }

 private:
  struct Rep {
    ListVal elements;
    std::size_t refs = 1;
    std::size_t gcseen = 0;
    static void* operator new(std::size_t) { return PiecePool<Rep>::take(); }
    static void operator delete(void* p) { PiecePool<Rep>::give(p); }
  };
  static const ListVal& none() {
    static const ListVal empty;
    return empty;
  }
  void drop() {
    if (rep_ && --rep_->refs == 0) delete rep_;
  }
  Rep* rep_ = nullptr;
};

// The native methods that every new value of a standard kind is given (a
// list's, a dictionary's, a pointer's): one new method value per entry,
// tagged `tag`, made in the order of `methods`. `copied` is the same set in
// the order a copy makes them, that of their names (variable::getcopy).
struct MethodSet {
  // At most this many: a record notes which of its methods not made yet are
  // bound, one bit each (RecordExt::methodselves). A set with more does not
  // compile: every set is made at compile time.
  static constexpr std::size_t maxcount = 8;
  struct Method {
    const char* name;
    mfuncptr func;
  };
  consteval MethodSet(const Method* m, std::size_t n, Tag t, const MethodSet* c)
      : methods(m), count(checkedcount(n)), tag(t), copied(c) {}
  const Method* methods;
  std::uint8_t count;
  Tag tag;
  const MethodSet* copied;

 private:
  static constexpr std::uint8_t checkedcount(std::size_t n) {
    if (n > maxcount) throw "more methods than a record has bits for";
    return static_cast<std::uint8_t>(n);
  }
};

// The parts of a record that numbers and strings never have: containers,
// code, native functions, parameters, the pointer target and the bound
// object. A record gets them on the first write of one.
struct RecordExt {
  static void* operator new(std::size_t) { return PiecePool<RecordExt>::take(); }
  static void operator delete(void* p) { PiecePool<RecordExt>::give(p); }

  NameMap attributes;
  // Method values given to the record but not made yet (variable::
  // givemethods): made, with the sequence numbers from `methodseq` on that
  // were taken for them, when anything first looks at the attributes. Until
  // then the attributes hold nothing else, and none of the method values
  // exists: nothing could have changed or held one. A call can have bound
  // one to the record, as reading it would (Machine::callpendingmethod):
  // bit i of `methodselves` says that the method at i in `methods` is bound
  // to this record. Sequence numbers stay far below 2^56 (a run takes
  // one per value it makes, and would need years to take that many), so
  // the bits share a word with `methodseq`.
  const MethodSet* methods = nullptr;
  std::uint64_t methodseq : 64 - MethodSet::maxcount = 0;
  std::uint64_t methodselves : MethodSet::maxcount = 0;
  DictVal dictval;
  SharedList listval;
  variable* self = nullptr;
  const Code* funccode = nullptr;  // null: no code
  mfuncptr modulefunc = nullptr;
  const ParamSet* moduleparams = nullptr;  // null: no parameters
  variable* pntrval = nullptr;

  // Holds nothing that a copy of a number would carry (the bound object of
  // a record that cannot be called is never copied).
  bool plain() const {
    return funccode == nullptr && modulefunc == nullptr && moduleparams == nullptr && pntrval == nullptr &&
           methods == nullptr && attributes.empty() && dictval.empty() && listval.empty();
  }
  void clear() {
    attributes.clear();
    methods = nullptr;
    methodselves = 0;
    dictval.clear();
    listval.clear();
    self = nullptr;
    funccode = nullptr;
    modulefunc = nullptr;
    moduleparams = nullptr;
    pntrval = nullptr;
  }
};

struct variable {
  // The fourteen fields: the first ones here, the rest read through the
  // accessors below. Assignment copies all of them.
  //
  // A record is 40 bytes: the tag, the name, the collector's mark and one
  // byte of flags share the first word with the text's length, and the
  // text's buffer follows on the next word (Text is packed for that). A
  // program that keeps millions of numbers touches a sixth less memory than
  // with the 48 bytes that separate flags would take.
  Tag identifier = Tag::Blank;
  VarName name = VarName::Unnamed;

  // Identity and bookkeeping; never copied by assignment.
  std::uint8_t gcmark = 0;  // collector state: 0 while young, then the collector's epoch

  // One of the fourteen fields, kept with the flags below.
  std::uint8_t ismodule : 1 = 0;
  // What must hear of a change of the record's value, before it is made:
  // bits of `watch`. watchkey: the record has been a dictionary key (see
  // DictVal::keyversion). watchreads: data stack entries may stand for
  // copies of it not made yet (Machine::pushread), which are made first.
  static constexpr std::uint8_t watchkey = 1;
  static constexpr std::uint8_t watchreads = 2;
  std::uint8_t watch : 2 = 0;
  mutable std::uint8_t printing : 1 = 0;  // set while getstring is inside this record
  std::uint8_t gcremembered : 1 = 0;      // in the heap's remembered set
  // Set on a plain number that has never been handed to anything that could
  // change it or tell it apart from a copy, so that reading it as a number
  // needs no full test (isplainnumber); whatever hands it on clears it first
  // (moduleapi::ownrootbinding). rootbinding: bound in the root's attributes
  // and standing, wherever else it is held (frames, their undo log), for the
  // frame's own copy of the same number; the root gets a record of its own
  // before it is handed on. argbinding: the record made for an immediate
  // argument of a call, held by frames (the call's, its clones and the
  // frames borrowed from it, their undo log) and nowhere else.
  static constexpr std::uint8_t rootbinding = 1;
  static constexpr std::uint8_t argbinding = 2;
  std::uint8_t rootalias : 2 = 0;
  // The out-of-line part is one that many records share and none owns: that
  // of a native function and nothing else (sharednative). It is never
  // changed; a record makes a copy of its own before its first change.
  std::uint8_t extshared : 1 = 0;

  Text stringval;
  std::int32_t intval = 0;
  float floatval = 0.0f;
  std::uint64_t seq = 0;  // creation order, for dictionary order

 private:
  RecordExt* ext_ = nullptr;
  static const RecordExt& noext() {
    static const RecordExt none;
    return none;
  }
  RecordExt& extend() {
    if (ext_ && !extshared) [[likely]]
      return *ext_;
    return extendslow();
  }
  // extend() for a record without an out-of-line part of its own.
  RecordExt& extendslow();
  // Makes the method values given by givemethods.
  void makemethods();
  // operator= without making rhs's method values.
  void assign(const variable& rhs);
  // The shared out-of-line part of a native function f with nothing else:
  // one per function, made on first use and kept for the process.
  static const RecordExt* sharednative(mfuncptr f);

  // Write barriers. A minor collection marks only young records and does not
  // look inside old ones, except those in the remembered set. So whatever
  // gives an old record an edge must pass one of these, at the latest when
  // it takes a mutable reference to the record's contents (collections run
  // only between instructions, after the change is made). The first
  // remembers the record itself, for a change whose edges are not known; the
  // second remembers only the young record that an old one now refers to,
  // which is all a minor collection needs for that edge.
  void gcwrite() {
    if (gcmark && !gcremembered) gcremember(this);
  }
  void gcwriteedge(variable* v) {
    if (gcmark && v && !v->gcmark && !v->gcremembered) gcremember(v);
  }
  static void gcremember(variable* v);
  // Run on the root before its attribute records are shared with another
  // record (see rootalias).
  void ownrootbindings();

 public:
  // Whether the record can refer to other records at all.
  bool hasext() const { return ext_ != nullptr; }
  // The attributes, with the method values given to the record made first
  // (givemethods).
  const NameMap& attributes() const {
    if (!ext_) return noext().attributes;
    if (ext_->methods) [[unlikely]]
      const_cast<variable*>(this)->makemethods();
    return ext_->attributes;
  }
  // The attributes made so far: without the method values not made yet.
  const NameMap& madeattributes() const { return ext_ ? ext_->attributes : noext().attributes; }
  const DictVal& dictval() const { return ext_ ? ext_->dictval : noext().dictval; }
  const ListVal& listval() const { return ext_ ? ext_->listval.get() : noext().listval.get(); }
  NameMap& editattributes() {
    gcwrite();
    RecordExt& ext = extend();
    if (ext.methods) [[unlikely]]
      makemethods();
    return ext.attributes;
  }
  // Gives the record the method values of `set`: their sequence numbers
  // and names are taken now, as making them would take them, and on a new
  // record, whose attributes are still empty, the values are made when
  // anything first looks at the attributes. A list that is only stored,
  // passed on and printed never makes them.
  void givemethods(const MethodSet& set);
  // Whether the record holds method values not made yet.
  bool methodspending() const { return pendingmethods() != nullptr; }
  // The set of the method values not made yet; null when there are none.
  const MethodSet* pendingmethods() const { return ext_ ? ext_->methods : nullptr; }
  // Binds the method at `index` of pendingmethods() to this record, as
  // reading it from the record binds it once it is made: it is made bound.
  void bindpendingmethod(unsigned index) { ext_->methodselves |= 1u << index; }
  DictVal& editdictval() {
    gcwrite();
    return extend().dictval;
  }
  ListVal& editlistval() {
    gcwrite();
    return extend().listval.edit();
  }
  // The containers for a change whose only new edges are to the records
  // given: an element appended or replaced, an entry set. Only those edges
  // need the collector's attention, so a large old container that grows is
  // not looked through again by every minor collection.
  ListVal& editlistval(variable* added) {
    SharedList& list = extend().listval;
    if (added && !added->gcmark) {
      // A young record's elements are all looked at when it is marked.
      if (!gcmark) return list.edit();
      if (!added->gcremembered) gcremember(added);
    }
    return list.editkeep();
  }
  // Appends a record to the list, with the barrier of appendedlistval. The
  // barrier comes after the append: collections run only between
  // instructions, so they see the same either way.
  void appendlistval(variable* added) {
    extend().listval.editkeep().push_back(added);
    appendedlistval(added);
  }
  // The list's elements when appendlistval may push onto them as they are,
  // with no copy and no growth (see SharedList::appendroom); null otherwise.
  ListVal* listappendroom() { return ext_ ? ext_->listval.appendroom() : nullptr; }
  // The barrier of appendlistval, for a record pushed onto listappendroom().
  // An appended element lies past the list's gcseen, where the collector
  // looks whenever it goes through the list: a young list is gone through
  // when it is marked, an old one when it is remembered. So a young element
  // needs the list remembered, once until the next collection, however many
  // are appended, and the collector then looks at those alone.
  void appendedlistval(const variable* added) {
    if (gcmark && !gcremembered && !added->gcmark) gcremember(this);
  }

  DictVal& editdictval(variable* key, variable* value) {
    gcwriteedge(key);
    gcwriteedge(value);
    return extend().dictval;
  }
  // The out-of-line part, for the collector; null when there is none.
  const RecordExt* gcext() const { return ext_; }
  // The list's elements, shared.
  SharedList sharedlistval() const { return ext_ ? ext_->listval : SharedList(); }
  variable* self() const { return ext_ ? ext_->self : nullptr; }
  const Code* funccode() const { return ext_ ? ext_->funccode : nullptr; }
  mfuncptr modulefunc() const { return ext_ ? ext_->modulefunc : nullptr; }
  const ParamSet* moduleparams() const { return ext_ ? ext_->moduleparams : nullptr; }
  variable* pntrval() const { return ext_ ? ext_->pntrval : nullptr; }
  // A method read again from the same object already holds it: no write, and
  // the collector saw that edge when it was made.
  void setself(variable* v) {
    if (ext_) {
      if (ext_->self == v) return;
      gcwriteedge(v);
      extend().self = v;
    } else if (v) {
      gcwriteedge(v);
      extend().self = v;
    }
  }
  void setfunccode(const Code* c) {
    if (c || ext_) extend().funccode = c;
  }
  void setmodulefunc(mfuncptr f) {
    if (!ext_ && f) {
      // The usual native function, which has nothing else out of line (a
      // method value of every list, dictionary and file): its part is
      // shared until it gets something more, such as its bound object.
      // Copies still to be made hold no out-of-line part.
      if (watch & watchreads) settlereads();
      ext_ = const_cast<RecordExt*>(sharednative(f));
      extshared = 1;
      return;
    }
    if (f || ext_) extend().modulefunc = f;
  }
  void setmoduleparams(const ParamSet* p) {
    if (p || ext_) extend().moduleparams = p;
  }
  void setpntrval(variable* v) {
    if (v || ext_) {
      gcwriteedge(v);
      extend().pntrval = v;
    }
  }

  variable() = default;
  variable(const variable&) = delete;
  ~variable() {
    if (!extshared) delete ext_;
  }
  // Assigns all fourteen fields from rhs; containers are copied, the records
  // they point to are shared. Self-assignment changes nothing. The method
  // values rhs has not made yet are made first: both records share them.
  variable& operator=(const variable& rhs);
  // The assignment a deep copy starts from: the method values rhs has not
  // made yet are not shared but given to this record anew, with sequence
  // numbers taken now, in the order a copy makes them; the copy would make
  // its own method values at once, before anything else.
  void assignascopy(const variable& rhs);
  // Tells what watches the record (watch) that its value is about to
  // change: every change of a record that may be watched runs it first.
  void changing() {
    if (watch) changingwatched();
  }
  void changingwatched();
  // Makes the copies still to be made of the record (watchreads).
  void settlereads();

  // The value to use when a variable is read: a fresh copy of integers,
  // floats, strings and pointers, the record itself for every other kind.
  variable* getvar() { return copiedonread() ? getcopy() : this; }
  // Whether reading the record yields a copy (numbers, texts, pointers) rather
  // than the record itself.
  bool copiedonread() const { return copiedonread(identifier); }
  // The same for any record of the kind `tag`.
  static bool copiedonread(Tag tag) {
    switch (tag) {
      case Tag::Int:
      case Tag::Float:
      case Tag::String:
      case Tag::Pntr:
        return true;
      default:
        return false;
    }
  }
  // A new record copied from this one, with attributes, dictionary entries
  // and the bound object copied in turn. A record reached again during one
  // copy is replaced by the copy already made of it.
  variable* getcopy();
  // Gives c (a blank record) the fields held inline: all that the copy of a
  // record without an out-of-line part holds.
  void copyinline(variable& c) const {
    c.identifier = identifier;
    c.name = name;
    c.ismodule = ismodule;
    c.intval = intval;
    c.floatval = floatval;
    c.stringval = stringval;
  }
  // A new pointer record whose target is this record.
  variable* getpointer();
  // Value equality (see valueequal).
  bool operator==(const variable& other) const;

  std::int32_t getint() const;
  float getfloat() const;
  std::string getstring(bool quot) const;

  // An integer or float that holds nothing else: no attributes, name, text,
  // containers, code, parameters or target, and zero in the other number.
  // Its copy is just its number (the bound object of a record that cannot be
  // called is never copied).
  bool isplainnumber() const {
    // The other number must be zero in all its bits (a float -0 is not).
    const std::uint32_t other =
        identifier == Tag::Int ? std::bit_cast<std::uint32_t>(floatval) : static_cast<std::uint32_t>(intval);
    if ((identifier != Tag::Int && identifier != Tag::Float) || other != 0) return false;
    // No name, not native, no text: tested at once, as one number.
    const std::uint32_t extra =
        static_cast<std::uint32_t>(name) | static_cast<std::uint32_t>(ismodule) | stringval.shortsize();
    if (extra != 0) return false;
    return !ext_ || ext_->plain();
  }
  bool isnumber() const { return identifier == Tag::Int || identifier == Tag::Float; }
  // Whether calling this record runs any code. The bound object of a record
  // that runs nothing can never be observed.
  bool callable() const { return ismodule || funccode() != nullptr; }
};

// The layout the comment at the top of variable tells of, on 64-bit hosts.
static_assert(sizeof(void*) != 8 || sizeof(variable) == 40);

// Records are allocated by getallocvar() (machine.hpp), inline.

// Text of a float: fixed point with six decimals, widened to double.
std::string floattext(float f);
// A float truncated toward zero; NaN, infinities and values outside the
// 32-bit range are reported.
std::int32_t floattoint(float f);

}  // namespace TruvVM
