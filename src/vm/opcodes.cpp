#include "opcodes.hpp"

namespace TruvVM {

std::optional<std::uint8_t> findmnemonic(std::string_view word) {
  for (int op = 0; op < opcodecount; ++op) {
    std::string_view m = opinfo[op].mnemonic;
    if (m.size() != word.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < m.size() && same; ++i) {
      char c = word[i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      same = c == m[i];
    }
    if (same) return static_cast<std::uint8_t>(op);
  }
  return std::nullopt;
}

}  // namespace TruvVM
