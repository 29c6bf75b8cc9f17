// libFuzzer target: runs arbitrary bytes as a program on the machine,
// in-process, sandboxed and with the harness's limits (harness.hpp). Every
// outcome the machine reports (a finished program, an error, a spent budget)
// is fine; what counts is a crash, a sanitizer report, a hang or a leak.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "harness.hpp"

namespace {

// The run happens in a scratch directory, so the paths that libFuzzer is given
// (corpus directories, files to run, -dict= and the like) are made absolute
// first, and crash reports go to the directory the fuzzer was started in
// unless -artifact_prefix= says otherwise.
void absolutepaths(int* argc, char*** argv) {
  static std::vector<std::string> args;
  static std::vector<char*> pointers;
  namespace fs = std::filesystem;
  const fs::path here = fs::current_path();
  bool prefix = false;
  args.assign(*argv, *argv + *argc);
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string& a = args[i];
    if (a.empty()) continue;
    if (a[0] != '-') {
      a = (here / a).lexically_normal().string();
      continue;
    }
    for (std::string_view flag : {"-artifact_prefix=", "-exact_artifact_path=", "-dict=", "-merge_control_file=",
                                  "-features_dir=", "-mutation_graph_file="}) {
      if (a.compare(0, flag.size(), flag) != 0) continue;
      std::string value = a.substr(flag.size());
      const bool dir = !value.empty() && value.back() == '/';
      if (!value.empty() && value[0] != '/') value = (here / value).lexically_normal().string();
      if (dir && value.back() != '/') value += '/';
      a = std::string(flag) + value;
      if (flag == "-artifact_prefix=") prefix = true;
    }
  }
  if (!prefix) args.push_back("-artifact_prefix=" + here.string() + "/");
  pointers.clear();
  for (std::string& a : args) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  *argc = static_cast<int>(args.size());
  *argv = pointers.data();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  absolutepaths(argc, argv);
  truvfuzz::entersandbox();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  truvfuzz::runvm(std::span<const std::uint8_t>(data, size));
  return 0;
}
