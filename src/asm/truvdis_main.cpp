// truvdis: lists a TRUV 4 bytecode file as assembly text.

#include <iostream>
#include <string>
#include <vector>

#include "asm/cli.hpp"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  return TruvVM::tools::truvdismain(args, std::cin, std::cout, std::cerr);
}
