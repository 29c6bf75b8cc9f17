// truvvm: runs the bytecode file "out.trux" of the current working directory.

#include <iostream>

#include "vm/run.hpp"

int main() {
  std::ios::sync_with_stdio(false);
  std::vector<std::uint8_t> program = TruvVM::readprogram("out.trux");
  TruvVM::RunConfig config;
  config.in = &std::cin;
  config.out = &std::cout;
  config.err = &std::cerr;
  TruvVM::RunResult result = TruvVM::runprogram(program, config);
  std::cout.flush();
  return result.status;
}
