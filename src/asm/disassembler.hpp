#pragma once
// The disassembler: bytecode to TRUV 4 assembly text (described in the README).

#include <cstdint>
#include <span>
#include <string>

namespace TruvVM::tools {

// Lists any byte sequence whatsoever; assembling the listing gives back
// exactly these bytes. Bytes that do not decode as instructions are listed with
// .bytes and a comment saying why. With offsets, each instruction line ends
// with a comment holding its offset in the code it belongs to (the file, or
// the body of the enclosing function). Nesting is handled with explicit
// stacks, so the native stack stays bounded whatever the input.
std::string disassemble(std::span<const std::uint8_t> bytes, bool offsets = false);

}  // namespace TruvVM::tools
