#pragma once
// Host streams behind file objects: the console and files opened by scripts.

#include <cstdint>
#include <cstring>
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
  ~HostStream() {
    drain();
    closefile();
  }

  Direction direction() const { return direction_; }
  bool isconsole() const { return console_; }

  // Output is gathered here and handed to the host in large pieces: a
  // program writing many short lines makes one host write per piece.
  // flush() hands over what is gathered: for the console also before
  // console input, diagnostics, host commands and at the end of the run,
  // for a file at its close and at the end of the run.
  void write(std::string_view text) {
    if (!pending_) return;  // no output stream, or a failed or closed one
    // A text that leaves the gathered bytes below the limit is only
    // copied; one that reaches it goes to the host with them.
    if (text.size() < pendinglimit_ - pendingsize_) {
      std::memcpy(pending_.get() + pendingsize_, text.data(), text.size());
      pendingsize_ += text.size();
      return;
    }
    writelong(text);
  }
  // Reads one line without its line break; false at the end of input (also
  // when the stream is closed or failed).
  bool getline(std::string& line);
  void flush();
  // Closes a file stream and lets go of it; a console stream is only
  // flushed.
  void close();
  // Whether the stream holds no host file: a file stream closed, or one
  // that could not be opened. Such a stream does nothing any more, so once
  // no file object refers to it, it can be freed without a trace.
  bool idle() const { return !console_ && fd_ < 0; }

 private:
  // The sizes of the buffers: console output is gathered in larger pieces
  // than the output of each of the many files a script may hold open.
  static constexpr std::size_t consolelimit = 16384;
  static constexpr std::size_t filelimit = 8192;
  static constexpr std::size_t readchunk = 8192;
  HostStream() = default;
  void writelong(std::string_view text);
  void drain();
  // Hands bytes to the host: the console's stream, or the file.
  void handover(std::string_view text);
  // Reads more of the file into the input buffer; false at its end, and
  // from then on.
  bool fill();
  void closefile();
  Direction direction_ = Direction::Output;
  bool console_ = false;
  std::ostream* out_ = nullptr;
  std::istream* in_ = nullptr;
  // A file's descriptor (-1: none, failed or closed). Files are read and
  // written through their descriptors, not the host's buffered streams,
  // whose bookkeeping makes closing one of many open files slow.
  int fd_ = -1;
  // Output: the bytes gathered so far, always fewer than pendinglimit_, in a
  // buffer of that size (null when nothing can be written).
  std::unique_ptr<char[]> pending_;
  std::size_t pendingsize_ = 0;
  std::size_t pendinglimit_ = 0;
  // File input: bytes read ahead, unread from inpos_ to inend_.
  std::unique_ptr<char[]> input_;
  std::size_t inpos_ = 0;
  std::size_t inend_ = 0;
  bool atend_ = false;  // the end of the input was met
};

// Native state of a built-in object (a file object's mode and stream).
struct ParamSet {
  std::string type;
  bool hasfile = false;
  HostStream* file = nullptr;
  // The collector's epoch when a file object referring to the set was last
  // marked (Machine::sweepparams).
  mutable std::uint8_t gcmark = 0;
};

}  // namespace TruvVM
