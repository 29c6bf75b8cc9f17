#pragma once
// A machine set up as for a run, without running anything, so that unit tests
// can make and inspect values directly.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "vm/machine.hpp"

namespace TruvVM::testing {

class MachineTest : public ::testing::Test {
 protected:
  MachineTest() {
    config_.in = &in_;
    config_.out = &out_;
    config_.err = &err_;
    m_ = std::make_unique<Machine>(config_);
    outer_ = machine;
    machine = m_.get();
    m_->load({});
    m_->init();
  }
  ~MachineTest() override { machine = outer_; }

  variable* newint(std::int32_t i) {
    variable* v = getallocvar();
    v->identifier = Tag::Int;
    v->intval = i;
    return v;
  }
  variable* newfloat(float f) {
    variable* v = getallocvar();
    v->identifier = Tag::Float;
    v->floatval = f;
    return v;
  }
  variable* newstring(std::string s) {
    variable* v = getallocvar();
    v->identifier = Tag::String;
    v->stringval = s;
    return v;
  }
  variable* newlist(std::vector<variable*> elems) {
    variable* v = getallocvar();
    v->identifier = Tag::List;
    for (variable* e : elems) v->editlistval().push_back(e);
    return v;
  }
  Name name(std::string_view text) { return m_->names.intern(text); }
  // A dictionary binding prefix0 .. prefix11 to 0 .. 11, enough entries for
  // lookups to use its index; its key records are appended to keys.
  variable* newdict(const std::string& prefix, std::vector<variable*>& keys) {
    variable* dict = getallocvar();
    dict->identifier = Tag::Dict;
    for (int i = 0; i < 12; ++i) {
      keys.push_back(newstring(prefix + std::to_string(i)));
      dict->editdictval().set(keys.back(), newint(i));
    }
    return dict;
  }
  // The integer that dict binds to the first key equal to the text, or -1.
  std::int32_t valueof(const DictVal& dict, const std::string& text) {
    const DictVal::Entry* found = dict.find(*newstring(text));
    return found ? found->second->intval : -1;
  }

  // Runs f, which must end the run through the error routine; returns the
  // first line written to standard error.
  template <class F>
  std::string errorof(F f) {
    err_.str("");
    try {
      f();
    } catch (const RunEnd& end) {
      EXPECT_EQ(end.status, 1);
      std::string text = err_.str();
      return text.substr(0, text.find('\n'));
    }
    ADD_FAILURE() << "no error was reported";
    return {};
  }

  std::istringstream in_;
  std::ostringstream out_, err_;
  RunConfig config_;
  std::unique_ptr<Machine> m_;
  Machine* outer_ = nullptr;
};

}  // namespace TruvVM::testing
