// Replays saved fuzz inputs outside the fuzzer, as the fuzz targets run them:
//   truvfuzzreplay [-v] vm|asm|asmtext PATH...
// Each PATH is a file or a directory whose files (recursively, in name order)
// are inputs. A crash or sanitizer report ends the process; otherwise one
// line per input is printed and then the count. With -v, the first line that
// the machine wrote to standard error is shown too.
//
//   truvfuzzreplay -g PATH...
// runs each program twice, as fuzz_vm does and collecting garbage before
// every instruction, and reports every program whose runs differ in what
// they wrote or how they ended (exit status 1 then). Collecting can change
// only how much memory a run holds, so runs that reach the memory limit are
// not compared.

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

// The files of the paths, made absolute before the runs move into their
// scratch directory; false when a path does not exist.
bool inputs(int count, char** paths, std::vector<fs::path>& files) {
  for (int i = 0; i < count; ++i) {
    fs::path p = fs::absolute(paths[i]);
    if (!fs::exists(p)) {
      std::fprintf(stderr, "truvfuzzreplay: %s: no such file or directory\n", paths[i]);
      return false;
    }
    collect(p, files);
  }
  return true;
}

bool reachedlimit(const truvfuzz::VmOutcome& o) { return o.err.find("Out of memory") != std::string::npos; }

// -g: argv[1..] are the paths.
int comparestress(int argc, char** argv) {
  std::vector<fs::path> files;
  if (argc < 2) {
    std::fprintf(stderr, "usage: truvfuzzreplay -g PATH...\n");
    return 2;
  }
  if (!inputs(argc - 1, argv + 1, files)) return 2;
  truvfuzz::entersandbox();
  std::size_t compared = 0;
  std::size_t differing = 0;
  for (const fs::path& file : files) {
    const std::vector<std::uint8_t> bytes = readfile(file);
    const truvfuzz::VmOutcome plain = truvfuzz::runvm(bytes, true, false);
    const truvfuzz::VmOutcome stressed = truvfuzz::runvm(bytes, true, true);
    if (reachedlimit(plain) || reachedlimit(stressed)) continue;
    ++compared;
    if (plain.status == stressed.status && plain.budgetexhausted == stressed.budgetexhausted &&
        plain.out == stressed.out && plain.err == stressed.err)
      continue;
    ++differing;
    std::printf("%s: differs when collecting before every instruction\n", file.c_str());
    const truvfuzz::VmOutcome* runs[] = {&plain, &stressed};
    for (const truvfuzz::VmOutcome* o : runs)
      std::printf("  %s: status %d%s, %zu bytes out, first error line: %s\n", o == &plain ? "plain" : "stress",
                  o->status, o->budgetexhausted ? ", budget spent" : "", o->out.size(),
                  o->err.substr(0, o->err.find('\n')).c_str());
    std::fflush(stdout);
  }
  std::printf("compared %zu of %zu inputs, %zu differ\n", compared, files.size(), differing);
  return differing == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const bool verbose = argc > 1 && std::strcmp(argv[1], "-v") == 0;
  const bool stress = argc > 1 && std::strcmp(argv[1], "-g") == 0;
  if (verbose || stress) {
    --argc;
    ++argv;
  }
  if (stress) return comparestress(argc, argv);
  const std::string target = argc > 1 ? argv[1] : "";
  if (argc < 3 || (target != "vm" && target != "asm" && target != "asmtext")) {
    std::fprintf(stderr, "usage: truvfuzzreplay [-v] vm|asm|asmtext PATH...\n       truvfuzzreplay -g PATH...\n");
    return 2;
  }
  const bool vm = target == "vm";
  std::vector<fs::path> files;
  if (!inputs(argc - 2, argv + 2, files)) return 2;
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
