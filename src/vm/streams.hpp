#pragma once
// Host streams behind file objects: the console and files opened by scripts.

#include <cstring>
#include <fstream>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

namespace TruvVM {

class HostStream {
 public:
  enum class Direction { Output, Input };

  // A console stream (not owned); closing it only flushes it.
  static std::unique_ptr<HostStream> console(std::ostream& out);
  static std::unique_ptr<HostStream> console(std::istream& in);
  // A file opened in text mode: "write" truncates or creates, "read" reads.
  // A file that cannot be opened gives a stream in a failed state.
  static std::unique_ptr<HostStream> openwrite(const std::string& path);
  static std::unique_ptr<HostStream> openread(const std::string& path);

  HostStream(const HostStream&) = delete;
  HostStream& operator=(const HostStream&) = delete;
  ~HostStream() { drain(); }

  Direction direction() const { return direction_; }
  bool isconsole() const { return console_; }

  // Console output is gathered here and handed to the host stream in large
  // pieces: a program writing many short lines makes one host write per
  // piece. flush() (also before console input, diagnostics, host commands
  // and at the end of the run) hands over what is gathered.
  void write(std::string_view text) {
    if (console_ && out_) {
      // A text that leaves the gathered bytes below the limit is only
      // copied; one that reaches it goes to the host with them.
      if (text.size() < pendinglimit - pendingsize_) {
        std::memcpy(pending_.get() + pendingsize_, text.data(), text.size());
        pendingsize_ += text.size();
        return;
      }
      writelong(text);
      return;
    }
    writethrough(text);
  }
  // Reads one line without its line break; false at the end of input (also
  // when the stream is closed or failed).
  bool getline(std::string& line);
  void flush();
  void close();

 private:
  static constexpr std::size_t pendinglimit = 16384;
  HostStream() = default;
  void writethrough(std::string_view text);
  void writelong(std::string_view text);
  void drain();
  Direction direction_ = Direction::Output;
  bool console_ = false;
  std::ostream* out_ = nullptr;
  std::istream* in_ = nullptr;
  std::unique_ptr<std::ofstream> ofile_;
  std::unique_ptr<std::ifstream> ifile_;
  // Console output: the bytes gathered so far, always fewer than
  // pendinglimit, in a buffer of that size.
  std::unique_ptr<char[]> pending_;
  std::size_t pendingsize_ = 0;
};

// Native state of a built-in object (a file object's mode and stream).
struct ParamSet {
  std::string type;
  bool hasfile = false;
  HostStream* file = nullptr;
};

}  // namespace TruvVM
