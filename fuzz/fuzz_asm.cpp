// libFuzzer target: the disassembler's listing of arbitrary bytes must
// assemble to exactly those bytes (harness.hpp); anything else aborts.

#include <cstddef>
#include <cstdint>
#include <span>

#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  truvfuzz::roundtrip(std::span<const std::uint8_t>(data, size));
  return 0;
}
