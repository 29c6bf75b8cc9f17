// truvasm: assembles TRUV 4 assembly text into a bytecode file.

#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "asm/cli.hpp"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  try {
    return TruvVM::tools::truvasmmain(args, std::cin, std::cout, std::cerr);
  } catch (const std::bad_alloc&) {
    // The assembler refuses programs past its limit before making them; this
    // is a program within it that the host still cannot hold.
    std::cerr << "truvasm: error: out of memory: the program is too large\n";
    return 1;
  }
}
