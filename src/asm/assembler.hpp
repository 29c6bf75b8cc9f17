#pragma once
// The assembler: TRUV 4 assembly text (described in the README) to bytecode.

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

// Assembles a whole source text. filename is used only in the error messages.
// Nesting of any kind is handled with explicit stacks, so the native stack
// stays bounded whatever the input.
AsmResult assemble(std::string_view text, std::string_view filename);

}  // namespace TruvVM::tools
