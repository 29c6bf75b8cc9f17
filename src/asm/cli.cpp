#include "asm/cli.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>

#include "asm/assembler.hpp"
#include "asm/disassembler.hpp"

namespace TruvVM::tools {

namespace {

constexpr const char* asmusage =
    "usage: truvasm [-o OUT] [FILE]\n"
    "Assembles FILE (standard input when absent or \"-\") into OUT (default out.trux).\n"
    "  -o OUT     write the bytecode to OUT\n"
    "  --help     show this help\n"
    "  --version  show the version\n"
    "Errors are reported as FILE:LINE:COLUMN: error: MESSAGE; then nothing is written\n"
    "and the exit status is 1.\n";

constexpr const char* disusage =
    "usage: truvdis [--offsets] [FILE]\n"
    "Lists the bytecode in FILE (default out.trux; \"-\" for standard input) as assembly\n"
    "on standard output. truvasm turns the listing back into the same bytes.\n"
    "  --offsets  end each instruction's line with its offset in a comment\n"
    "  --help     show this help\n"
    "  --version  show the version\n";

std::optional<std::string> readfile(const std::string& path, std::string& why) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    why = "is a directory";
    return std::nullopt;
  }
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    why = std::strerror(errno);
    return std::nullopt;
  }
  std::ostringstream s;
  s << f.rdbuf();
  if (f.bad()) {
    why = "read error";
    return std::nullopt;
  }
  return std::move(s).str();
}

std::string readall(std::istream& in) {
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int usage(std::ostream& err, const char* tool, const std::string& msg) {
  err << tool << ": " << msg << "\n"
      << "Try '" << tool << " --help'.\n";
  return 2;
}

}  // namespace

int truvasmmain(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                std::ostream& err) {
  std::optional<std::string> input;
  std::string output = "out.trux";
  bool optionsdone = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!optionsdone && a == "--help") {
      out << asmusage;
      return 0;
    }
    if (!optionsdone && a == "--version") {
      out << "truvasm " << toolversion << "\n";
      return 0;
    }
    if (!optionsdone && a == "--") {
      optionsdone = true;
    } else if (!optionsdone && a == "-o") {
      if (i + 1 >= args.size()) return usage(err, "truvasm", "-o needs a file name");
      output = args[++i];
    } else if (!optionsdone && a.size() > 1 && a[0] == '-') {
      return usage(err, "truvasm", "unknown option '" + a + "'");
    } else if (input) {
      return usage(err, "truvasm", "more than one input file");
    } else {
      input = a;
    }
  }

  std::string text, name;
  if (!input || *input == "-") {
    text = readall(in);
    name = "<stdin>";
  } else {
    std::string why;
    auto t = readfile(*input, why);
    if (!t) {
      err << "truvasm: cannot read " << *input << ": " << why << "\n";
      return 1;
    }
    text = std::move(*t);
    name = *input;
  }

  AsmResult r = assemble(text, name);
  if (!r.ok) {
    for (const std::string& e : r.errors) err << e << "\n";
    return 1;
  }
  std::ofstream f(output, std::ios::binary | std::ios::trunc);
  if (f) f.write(reinterpret_cast<const char*>(r.bytes.data()), static_cast<std::streamsize>(r.bytes.size()));
  if (f) f.close();
  if (!f) {
    err << "truvasm: cannot write " << output << ": " << std::strerror(errno) << "\n";
    return 1;
  }
  return 0;
}

int truvdismain(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                std::ostream& err) {
  std::optional<std::string> input;
  bool offsets = false;
  bool optionsdone = false;
  for (const std::string& a : args) {
    if (!optionsdone && a == "--help") {
      out << disusage;
      return 0;
    }
    if (!optionsdone && a == "--version") {
      out << "truvdis " << toolversion << "\n";
      return 0;
    }
    if (!optionsdone && a == "--") {
      optionsdone = true;
    } else if (!optionsdone && a == "--offsets") {
      offsets = true;
    } else if (!optionsdone && a.size() > 1 && a[0] == '-') {
      return usage(err, "truvdis", "unknown option '" + a + "'");
    } else if (input) {
      return usage(err, "truvdis", "more than one input file");
    } else {
      input = a;
    }
  }

  std::string data;
  if (input && *input == "-") {
    data = readall(in);
  } else {
    const std::string path = input ? *input : "out.trux";
    std::string why;
    auto t = readfile(path, why);
    if (!t) {
      err << "truvdis: cannot read " << path << ": " << why << "\n";
      return 1;
    }
    data = std::move(*t);
  }
  const std::string listing = disassemble(
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()),
      offsets);
  out << listing;
  out.flush();
  if (!out) {
    err << "truvdis: cannot write the listing\n";
    return 1;
  }
  return 0;
}

}  // namespace TruvVM::tools
