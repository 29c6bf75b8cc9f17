// libFuzzer target: the assembler on arbitrary text. It must not crash; when
// the text assembles, the listing of the bytes must assemble to the same
// bytes again (harness.hpp).

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  truvfuzz::assembletext(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
