#pragma once
// Structural decoding of operands, shared by the machine and the toolchain.
//
// An operand is one type byte and a payload (lists and dictionaries nest
// further operands). decodeoperand reads one operand from a byte range without
// making any values: it yields the operand as a flat preorder list of nodes, so
// that operands nested to any depth are decoded in bounded native stack. It
// also says exactly how many bytes an execution of the operand consumes,
// including when the operand is malformed.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace TruvVM {

using byte = std::uint8_t;

enum class OperandType : std::uint8_t {
  Int = 0,
  Float = 1,
  String = 2,
  Class = 3,
  List = 4,
  Dict = 5,
  Func = 6,
  Stack = 7,
};

inline constexpr byte endmarker = 0xFF;  // ends a list or dictionary operand

struct OperandNode {
  OperandType type;
  bool canonicalmarkers = true;  // Func: every marker but the last is 0x01
  std::uint32_t start = 0;       // offset of the type byte
  std::uint32_t end = 0;         // offset just past the node, children included
  std::uint32_t count = 0;       // List: elements; Dict: entries; Func: body bytes
  std::int32_t ival = 0;         // Int
  std::uint32_t ipart = 0;       // Float: integer part
  std::uint32_t fpart = 0;       // Float: fraction digits as an integer
  std::uint32_t payload = 0;     // String: first byte; Func: first (marker, code) pair
  std::uint32_t payloadlen = 0;  // String: length in bytes
};

enum class DecodeStatus : std::uint8_t {
  Ok,
  BadType,    // a type byte above 7 (also 0xFF where an operand must begin)
  Truncated,  // the bytes ran out inside the operand
};

struct DecodedOperand {
  DecodeStatus status = DecodeStatus::Ok;
  // Bytes an execution consumes: the whole operand when it is well formed; up
  // to and including the bad type byte; or everything up to the end.
  std::uint32_t consumed = 0;
  byte badtype = 0;
  // Preorder nodes. On failure these are the nodes begun before the failure,
  // so every Stack node here is one that execution reaches before failing.
  std::vector<OperandNode> nodes;
};

// Decodes one operand that begins at p[0]; n is the number of bytes left in
// the code. Offsets in the result are relative to p.
DecodedOperand decodeoperand(const byte* p, std::size_t n);

// The float of a type 1 operand: integer part plus the fraction part divided by
// ten to the power of its number of digits, computed in single precision.
float floatoperand(std::uint32_t ipart, std::uint32_t fpart);

// The body of a function node, in execution order.
std::vector<byte> funcbody(const byte* p, const OperandNode& node);

}  // namespace TruvVM
