// truvdis: lists a TRUV 4 bytecode file as assembly text.

#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "asm/cli.hpp"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  try {
    return TruvVM::tools::truvdismain(args, std::cin, std::cout, std::cerr);
  } catch (const std::bad_alloc&) {
    // A program too large to hold (nested bodies double in size per level).
    std::cerr << "truvdis: error: out of memory: the program is too large\n";
    return 1;
  }
}
