#pragma once
// The assembler: TRUV 4 assembly text (described in the README) to bytecode.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace TruvVM::tools {

struct AsmResult {
  bool ok = false;                  // no errors; bytes holds the program
  std::vector<std::uint8_t> bytes;  // empty when there were errors
  // Every error found, in order: "FILE:LINE:COLUMN: error: MESSAGE". Lines
  // and columns count from 1; a column counts bytes of the line.
  std::vector<std::string> errors;
};

// The largest program the assembler makes, in bytes. The machine's operand
// decoder holds offsets and lengths in 32 bits, so a program must stay below
// 4 GiB; 1 GiB leaves room for what the host needs beside it (assembling
// holds a body and the code around it at the same time).
inline constexpr std::size_t maxprogram = std::size_t{1} << 30;

// Assembles a whole source text. filename is used only in the error messages.
// Nesting of any kind is handled with explicit stacks, so the native stack
// stays bounded whatever the input. A program of more than limit bytes is an
// error ("program too large"), found before any of its bytes are made: a body
// takes twice its size in the code around it, so a short text with bodies
// nested a few dozen deep stands for more bytes than any host holds.
AsmResult assemble(std::string_view text, std::string_view filename, std::size_t limit = maxprogram);

}  // namespace TruvVM::tools
