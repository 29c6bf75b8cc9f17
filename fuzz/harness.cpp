#include "harness.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <new>
#include <sstream>
#include <streambuf>
#include <string_view>
#include <system_error>
#include <vector>

#include "asm/assembler.hpp"
#include "asm/disassembler.hpp"
#include "memcap.hpp"
#include "vm/run.hpp"

namespace truvfuzz {

namespace fs = std::filesystem;

namespace {

// Standard input of every run: two lines, so that reading has something to
// find.
constexpr std::string_view stdintext = "first line\nsecond line\n";

// An output stream that drops everything, so that output costs no memory.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

fs::path scratch;

constexpr std::size_t maxroundtrip = std::size_t{1} << 20;

// The assembler's limit on the programs it makes, lowered so that a program
// within it is assembled well inside the allocation cap (a body and the code
// around it are held at the same time).
constexpr std::size_t maxassembled = std::size_t{16} << 20;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "truvfuzz: %s\n", what.c_str());
  std::abort();
}

void removescratch() {
  if (scratch.empty()) return;
  std::error_code ec;
  fs::current_path(scratch.parent_path(), ec);
  fs::remove_all(scratch, ec);
}

void emptyscratch() {
  std::error_code ec;
  const fs::path here = fs::current_path(ec);
  if (ec || here != scratch) fail("a run left the scratch directory (now in \"" + here.string() + "\")");
  for (fs::directory_iterator it(scratch, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code rec;
    fs::remove_all(it->path(), rec);
    if (rec) fail("cannot empty the scratch directory: " + rec.message());
  }
  if (ec) fail("cannot list the scratch directory: " + ec.message());
}

// A program that tries every way out of the sandbox: a host command that
// would create a file, writing a file by an absolute path, changing the
// working directory, and removing a file outside the scratch directory.
std::string escapeprogram(const fs::path& outside) {
  const std::string o = outside.string();
  return "pushconst \"echo > sandbox-probe-system\"\n"
         "loadlocal system\n"
         "call 1\n"
         "pushconst \"write\"\n"
         "pushconst \"" + o + "/sandbox-probe-open\"\n"
         "loadlocal open\n"
         "call 2\n"
         "storelocal f\n"
         "pushconst \"x\"\n"
         "enterattr f\n"
         "loadattr write\n"
         "leave\n"
         "call 1\n"
         "enterattr f\n"
         "loadattr close\n"
         "leave\n"
         "call 0\n"
         "pushconst \"" + o + "/sandbox-probe-keep\"\n"
         "enterattr filesystem\n"
         "loadattr delete\n"
         "leave\n"
         "call 1\n";
}

std::string cdprogram(const fs::path& outside) {
  return "pushconst \"" + outside.string() + "\"\nenterattr filesystem\nloadattr cd\nleave\ncall 1\n";
}

std::vector<std::uint8_t> assembleordie(const std::string& text) {
  TruvVM::tools::AsmResult r = TruvVM::tools::assemble(text, "<sandbox check>");
  if (!r.ok) fail("cannot assemble the sandbox check: " + (r.errors.empty() ? std::string() : r.errors[0]));
  return r.bytes;
}

VmOutcome runonce(std::span<const std::uint8_t> program, bool keep, bool gcstress = false);

void checksandbox() {
  // The outside directory sits next to the scratch directory.
  const fs::path outside = scratch.string() + "-outside";
  std::error_code ec;
  fs::create_directory(outside, ec);
  if (ec) fail("cannot create " + outside.string() + ": " + ec.message());
  std::FILE* keep = std::fopen((outside / "sandbox-probe-keep").c_str(), "w");
  if (!keep) fail("cannot create a file in " + outside.string());
  std::fclose(keep);

  runonce(assembleordie(escapeprogram(outside)), false);
  runonce(assembleordie(cdprogram(outside)), false);
  const bool ransystem = fs::exists(scratch / "sandbox-probe-system") || fs::exists(outside / "sandbox-probe-system");
  const bool moved = fs::current_path(ec) != scratch;
  const bool wrote = fs::exists(outside / "sandbox-probe-open");
  const bool deleted = !fs::exists(outside / "sandbox-probe-keep");
  fs::remove_all(outside, ec);
  if (ransystem) fail("the sandbox let a script run a host command");
  if (moved) fail("the sandbox let a script change the working directory");
  if (wrote) fail("the sandbox let a script write a file outside the scratch directory");
  if (deleted) fail("the sandbox let a script delete a file outside the scratch directory");
}

}  // namespace

void entersandbox() {
  if (!scratch.empty()) return;
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/truvfuzz-XXXXXX";
  std::vector<char> name(templ.begin(), templ.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) fail("cannot create a scratch directory from " + templ);
  scratch = fs::canonical(name.data());
  fs::current_path(scratch);
  std::atexit(removescratch);
  checksandbox();
  emptyscratch();
}

namespace {

VmOutcome runonce(std::span<const std::uint8_t> program, bool keep, bool gcstress) {
  NullBuffer null;
  std::ostream discard(&null);
  std::ostringstream keptout;
  std::ostringstream kepterr;
  std::istringstream in{std::string(stdintext)};
  TruvVM::RunConfig config;
  config.in = &in;
  config.out = keep ? static_cast<std::ostream*>(&keptout) : &discard;
  config.err = keep ? static_cast<std::ostream*>(&kepterr) : &discard;
  config.instructionbudget = instructionbudget;
  config.recordbudget = recordbudget;
  config.memorylimit = memorylimit;
  config.sandbox = true;
  config.gcstress = gcstress;
  VmOutcome outcome;
  {
    AllocationCap cap(allocationcap);
    TruvVM::RunResult result = TruvVM::runprogram(program, config);
    outcome.status = result.status;
    outcome.budgetexhausted = result.budgetexhausted;
  }
  if (keep) {
    outcome.out = keptout.str();
    outcome.err = kepterr.str();
  }
  return outcome;
}

}  // namespace

VmOutcome runvm(std::span<const std::uint8_t> program, bool keep, bool gcstress) {
  if (scratch.empty()) fail("runvm before entersandbox");
  VmOutcome outcome = runonce(program, keep, gcstress);
  emptyscratch();
  return outcome;
}

void roundtrip(std::span<const std::uint8_t> bytes) {
  AllocationCap cap(allocationcap);
  for (bool offsets : {false, true}) {
    const std::string listing = TruvVM::tools::disassemble(bytes, offsets);
    const TruvVM::tools::AsmResult r = TruvVM::tools::assemble(listing, "<listing>");
    if (r.ok && r.bytes.size() == bytes.size() && std::equal(bytes.begin(), bytes.end(), r.bytes.begin())) continue;
    std::ostringstream why;
    why << "the listing" << (offsets ? " with offsets" : "") << " of " << bytes.size()
        << " bytes does not assemble to them: ";
    if (!r.ok) {
      why << (r.errors.empty() ? std::string("assembly failed") : r.errors[0]);
    } else {
      std::size_t i = 0;
      while (i < bytes.size() && i < r.bytes.size() && bytes[i] == r.bytes[i]) ++i;
      why << "got " << r.bytes.size() << " bytes, first difference at offset " << i;
    }
    if (listing.size() <= 4000) why << "\n--- listing\n" << listing;
    fail(why.str());
  }
}

bool assembletext(std::string_view text) {
  TruvVM::tools::AsmResult r;
  try {
    AllocationCap cap(allocationcap);
    r = TruvVM::tools::assemble(text, "<input>", maxassembled);
  } catch (const std::bad_alloc&) {
    // Function bodies nested n deep take 2^n bytes: a short text can ask for
    // any amount. The assembler must report that as an error ("program too
    // large") before it makes the bytes.
    fail("the assembler ran out of memory on a text of " + std::to_string(text.size()) + " bytes");
  }
  if (r.ok != r.errors.empty()) fail("the assembler's result and its error list disagree");
  // Large programs (bodies nested deep) are left out of the round trip: its
  // listing would not fit the cap, and fuzz_asm covers the disassembler.
  if (r.ok && r.bytes.size() <= maxroundtrip) roundtrip(r.bytes);
  return r.ok;
}

}  // namespace truvfuzz
