// truvvm: runs the bytecode file "out.trux" of the current working directory.

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>

#include "vm/run.hpp"

#include "vm/sanitizer.hpp"

namespace {

// The memory the host can give this process: the least of physical memory,
// the control group's limit and the address-space limit (0: unknown).
std::uint64_t hostmemory() {
  std::uint64_t bytes = 0;
  auto least = [&bytes](std::uint64_t b) {
    if (b != 0) bytes = bytes == 0 ? b : std::min(bytes, b);
  };
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pagesize = sysconf(_SC_PAGESIZE);
  if (pages > 0 && pagesize > 0) least(static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pagesize));
  std::ifstream cgroup("/sys/fs/cgroup/memory.max");
  std::string text;
  if (cgroup >> text && !text.empty() && text.find_first_not_of("0123456789") == std::string::npos)
    least(std::stoull(text));
  struct rlimit as;
  if (getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY) least(as.rlim_cur);
  return bytes;
}

// A program that allocates without end must get "Out of memory." before the
// host ends the process. The machine stops a run whose memory in use reaches
// 80% of what the host can give; the address space is limited to 90% of it,
// so that a single allocation too large for the rest (a string doubled in
// one instruction) fails, which the machine reports the same way, instead of
// being granted and then killed. Under the address sanitizer, which reserves
// far more address space than it uses, only the first applies.
// The soft limit it replaced is kept in `hostlimit` (UINT64_MAX: unlimited) so
// that host commands run without the machine's limit.
std::size_t limitmemory(std::uint64_t& hostlimit) {
  const std::uint64_t host = hostmemory();
  if (host == 0) return 0;
#if !TRUV_ASAN
  struct rlimit as;
  if (getrlimit(RLIMIT_AS, &as) == 0) {
    const std::uint64_t cap = host / 10 * 9;
    if (as.rlim_cur == RLIM_INFINITY || as.rlim_cur > cap) {
      hostlimit = as.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<std::uint64_t>(as.rlim_cur);
      as.rlim_cur = static_cast<rlim_t>(cap);
      if (setrlimit(RLIMIT_AS, &as) != 0) hostlimit = 0;
    }
  }
#else
  (void)hostlimit;
#endif
  return static_cast<std::size_t>(host / 10 * 8);
}

}  // namespace

int main() {
  std::ios::sync_with_stdio(false);
  std::vector<std::uint8_t> program = TruvVM::readprogram("out.trux");
  TruvVM::RunConfig config;
  config.in = &std::cin;
  config.out = &std::cout;
  config.err = &std::cerr;
  config.memorylimit = limitmemory(config.hostaddresslimit);
#if defined(TRUV_GC_STRESS)
  config.gcstress = true;
#endif
#if !TRUV_ASAN
  // (The leak checker of sanitizer builds would report the records left.)
  config.exitafterrun = true;
#endif
  TruvVM::RunResult result = TruvVM::runprogram(program, config);
  std::cout.flush();
  return result.status;
}
