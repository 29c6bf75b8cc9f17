// Replays saved fuzz inputs outside the fuzzer, as the fuzz targets run them:
//   truvfuzzreplay [-v] vm|asm|asmtext PATH...
// Each PATH is a file or a directory whose files (recursively, in name order)
// are inputs. A crash or sanitizer report ends the process; otherwise one
// line per input is printed and then the count. With -v, the first line that
// the machine wrote to standard error is shown too.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "harness.hpp"

namespace fs = std::filesystem;

namespace {

std::vector<std::uint8_t> readfile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void collect(const fs::path& path, std::vector<fs::path>& files) {
  if (!fs::is_directory(path)) {
    files.push_back(path);
    return;
  }
  std::vector<fs::path> found;
  for (const auto& entry : fs::recursive_directory_iterator(path))
    if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') found.push_back(entry.path());
  std::sort(found.begin(), found.end());
  files.insert(files.end(), found.begin(), found.end());
}

}  // namespace

int main(int argc, char** argv) {
  const bool verbose = argc > 1 && std::strcmp(argv[1], "-v") == 0;
  if (verbose) {
    --argc;
    ++argv;
  }
  const std::string target = argc > 1 ? argv[1] : "";
  if (argc < 3 || (target != "vm" && target != "asm" && target != "asmtext")) {
    std::fprintf(stderr, "usage: truvfuzzreplay [-v] vm|asm|asmtext PATH...\n");
    return 2;
  }
  const bool vm = target == "vm";
  std::vector<fs::path> files;
  for (int i = 2; i < argc; ++i) {
    // Paths are made absolute before the vm target moves into its scratch
    // directory.
    fs::path p = fs::absolute(argv[i]);
    if (!fs::exists(p)) {
      std::fprintf(stderr, "truvfuzzreplay: %s: no such file or directory\n", argv[i]);
      return 2;
    }
    collect(p, files);
  }
  if (vm) truvfuzz::entersandbox();
  for (const fs::path& file : files) {
    const std::vector<std::uint8_t> bytes = readfile(file);
    if (vm) {
      const truvfuzz::VmOutcome o = truvfuzz::runvm(bytes, verbose);
      std::printf("%s: status %d%s\n", file.c_str(), o.status, o.budgetexhausted ? ", budget spent" : "");
      if (verbose && !o.err.empty()) std::printf("  %s\n", o.err.substr(0, o.err.find('\n')).c_str());
    } else if (target == "asm") {
      truvfuzz::roundtrip(bytes);
      std::printf("%s: round trip of %zu bytes\n", file.c_str(), bytes.size());
    } else {
      const bool ok = truvfuzz::assembletext(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
      std::printf("%s: %s\n", file.c_str(), ok ? "assembled, round trip of the bytes" : "not assembled");
    }
    std::fflush(stdout);
  }
  std::printf("replayed %zu inputs\n", files.size());
  return 0;
}
