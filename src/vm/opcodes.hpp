#pragma once
// Opcode enum and per-opcode facts, all generated from opcodes.def.

#include <cstdint>
#include <optional>
#include <string_view>

namespace TruvVM {

enum class OperandKind : std::uint8_t { None, Name, Count, Value, Block };

enum class Op : std::uint8_t {
#define TRUV_OPCODE(name, code, operand) name = code,
#include "opcodes.def"
#undef TRUV_OPCODE
};

inline constexpr int opcodecount = 0
#define TRUV_OPCODE(name, code, operand) +1
#include "opcodes.def"
#undef TRUV_OPCODE
    ;
static_assert(opcodecount == 42, "the machine has 42 opcodes");

struct OpInfo {
  std::string_view mnemonic;  // upper case, as in the list
  OperandKind operand;
};

inline constexpr OpInfo opinfo[opcodecount] = {
#define TRUV_OPCODE(name, code, operand) {#name, OperandKind::operand},
#include "opcodes.def"
#undef TRUV_OPCODE
};

// The codes are dense and in order; checked here once so that opinfo can be
// indexed by the opcode byte.
inline constexpr bool opcodesdense() {
  int expect = 0;
#define TRUV_OPCODE(name, code, operand) \
  if (code != expect++) return false;
#include "opcodes.def"
#undef TRUV_OPCODE
  return true;
}
static_assert(opcodesdense(), "opcodes.def must list codes 0..41 in order");

inline bool isopcode(std::uint8_t b) { return b < opcodecount; }
inline const OpInfo& info(std::uint8_t op) { return opinfo[op]; }

// Finds an opcode by mnemonic, ignoring case.
std::optional<std::uint8_t> findmnemonic(std::string_view word);

}  // namespace TruvVM
