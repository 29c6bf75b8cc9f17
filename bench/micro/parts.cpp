// The machine's parts on their own: operand decoding, name maps, the heap.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "asm/assembler.hpp"
#include "micro.hpp"
#include "vm/decode.hpp"
#include "vm/heap.hpp"
#include "vm/names.hpp"
#include "vm/opcodes.hpp"
#include "vm/value.hpp"

namespace truvmicro {
namespace {

// ---- Operand decoding -------------------------------------------------------

// The bytes of one operand, made by the assembler from its text: the
// operand of "pushconst TEXT" without the opcode byte.
bool operandbytes(const std::string& text, std::vector<std::uint8_t>& bytes, std::string& why) {
  TruvVM::tools::AsmResult program = TruvVM::tools::assemble("pushconst " + text + "\n", "operand.tasm");
  if (!program.ok) {
    why = "does not assemble: " + (program.errors.empty() ? std::string("?") : program.errors.front());
    return false;
  }
  if (program.bytes.empty() || program.bytes[0] != static_cast<std::uint8_t>(TruvVM::Op::PUSHCONST)) {
    why = "not a PUSHCONST";
    return false;
  }
  bytes.assign(program.bytes.begin() + 1, program.bytes.end());
  return true;
}

std::string nestedlist(int depth) { return std::string(depth, '[') + "7" + std::string(depth, ']'); }

// Decodes the operand written as text; nodes is how many nodes it has. Items
// are nodes, bytes the operand's size.
void BM_DecodeOperand(benchmark::State& state, const std::string& text, std::size_t nodes) {
  std::vector<std::uint8_t> bytes;
  std::string why;
  if (!operandbytes(text, bytes, why)) {
    state.SkipWithError(why.c_str());
    return;
  }
  const TruvVM::DecodedOperand check = TruvVM::decodeoperand(bytes.data(), bytes.size());
  if (check.status != TruvVM::DecodeStatus::Ok || check.consumed != bytes.size() || check.nodes.size() != nodes) {
    state.SkipWithError("the operand does not decode to the expected nodes");
    return;
  }
  for (auto _ : state) {
    TruvVM::DecodedOperand d = TruvVM::decodeoperand(bytes.data(), bytes.size());
    benchmark::DoNotOptimize(d.nodes.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(nodes));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK_CAPTURE(BM_DecodeOperand, int, std::string("7"), 1);
BENCHMARK_CAPTURE(BM_DecodeOperand, string32, std::string("\"0123456789abcdef0123456789abcdef\""), 1);
BENCHMARK_CAPTURE(BM_DecodeOperand, list_nested100, nestedlist(100), 101);
BENCHMARK_CAPTURE(BM_DecodeOperand, list_flat1000, flatlist(1000), 1001);

// ---- Name maps --------------------------------------------------------------

// A map of n interned names ("v0", "v1", ...) and as many interned names that
// are not in it. The values are distinct records that nothing reads.
struct Names {
  TruvVM::Interner interner;
  std::vector<TruvVM::Name> present, absent;
  std::unique_ptr<TruvVM::variable[]> values;
  TruvVM::NameMap map;

  explicit Names(std::size_t n) : values(new TruvVM::variable[n]) {
    // Interned alternately, so that present and absent names lie side by side
    // in memory as the names of a program do.
    for (std::size_t k = 0; k < n; ++k) {
      const std::string digits = std::to_string(k);
      present.push_back(interner.intern(std::string("v").append(digits)));
      absent.push_back(interner.intern(std::string("w").append(digits)));
    }
    for (std::size_t k = 0; k < n; ++k) map.set(present[k], &values[k]);
  }
};

// Items are lookups.
void BM_NameGetHit(benchmark::State& state) {
  Names names(static_cast<std::size_t>(state.range(0)));
  for (std::size_t k = 0; k < names.present.size(); ++k) {
    if (names.map.get(names.present[k]) != &names.values[k]) {
      state.SkipWithError("lookup gives the wrong record");
      return;
    }
  }
  for (auto _ : state) {
    for (TruvVM::Name name : names.present) benchmark::DoNotOptimize(names.map.get(name));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_NameGetHit)->Arg(4)->Arg(16)->Arg(256);

void BM_NameGetMiss(benchmark::State& state) {
  Names names(static_cast<std::size_t>(state.range(0)));
  for (TruvVM::Name name : names.absent) {
    if (names.map.get(name) != nullptr) {
      state.SkipWithError("an absent name is found");
      return;
    }
  }
  for (auto _ : state) {
    for (TruvVM::Name name : names.absent) benchmark::DoNotOptimize(names.map.get(name));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_NameGetMiss)->Arg(4)->Arg(16)->Arg(256);

// Replacing the value of a name that is in the map. Items are stores.
void BM_NameSetExisting(benchmark::State& state) {
  Names names(static_cast<std::size_t>(state.range(0)));
  const std::size_t n = names.present.size();
  std::size_t shift = 0;
  for (auto _ : state) {
    shift = shift + 1 == n ? 0 : shift + 1;
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t v = k + shift < n ? k + shift : k + shift - n;
      names.map.set(names.present[k], &names.values[v]);
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_NameSetExisting)->Arg(4)->Arg(16)->Arg(256);

// Filling an emptied map with n new names, as a recycled frame is filled:
// inserts, and the growth of the slot table past its first eight slots.
// Items are stores.
void BM_NameSetNew(benchmark::State& state) {
  Names names(static_cast<std::size_t>(state.range(0)));
  const std::size_t n = names.present.size();
  for (auto _ : state) {
    names.map.clear();
    for (std::size_t k = 0; k < n; ++k) names.map.set(names.present[k], &names.values[k]);
    benchmark::ClobberMemory();
  }
  if (names.map.size() != n) state.SkipWithError("the map lost entries");
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_NameSetNew)->Arg(4)->Arg(16)->Arg(256);

// ---- The heap ---------------------------------------------------------------

// n records allocated, then all of them swept (every record still has the
// mark 0 of a fresh record; sweeping with mark 1 frees it). From the second
// iteration on, the records come from the free list that the sweep left, as
// in a running machine between collections. Items are records.
void BM_HeapAllocSweep(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  TruvVM::Heap heap;
  for (auto _ : state) {
    for (std::size_t k = 0; k < n; ++k) benchmark::DoNotOptimize(heap.alloc());
    if (heap.sweep(1) != n) {
      state.SkipWithError("the sweep freed another number of records");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_HeapAllocSweep)->Arg(1 << 10)->Arg(1 << 14)->Arg(1 << 18);

// The same with every other new record marked live: each sweep frees the
// unmarked half of the new records and the survivors of the sweep before
// (marked with the other epoch), n in all, so the live set stays at n / 2
// records interleaved with free slots. Items are records allocated.
void BM_HeapAllocSweepHalfLive(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  TruvVM::Heap heap;
  std::uint8_t epoch = 1;
  bool first = true;
  for (auto _ : state) {
    for (std::size_t k = 0; k < n; ++k) {
      TruvVM::variable* v = heap.alloc();
      if (k % 2 == 0) v->gcmark = epoch;
    }
    const std::size_t freed = heap.sweep(epoch);
    if (freed != (first ? n / 2 : n) || heap.live() != n / 2) {
      state.SkipWithError("the sweep freed another number of records");
      break;
    }
    first = false;
    epoch = epoch == 1 ? 2 : 1;
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_HeapAllocSweepHalfLive)->Arg(1 << 10)->Arg(1 << 14)->Arg(1 << 18);

}  // namespace
}  // namespace truvmicro
