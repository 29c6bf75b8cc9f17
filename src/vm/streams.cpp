#include "streams.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <istream>
#include <ostream>
#include <string>

namespace TruvVM {

std::unique_ptr<HostStream> HostStream::console(std::ostream& out) {
  std::unique_ptr<HostStream> s(new HostStream);
  s->direction_ = Direction::Output;
  s->console_ = true;
  s->out_ = &out;
  s->pending_ = std::make_unique_for_overwrite<char[]>(consolelimit);
  s->pendinglimit_ = consolelimit;
  return s;
}

std::unique_ptr<HostStream> HostStream::console(std::istream& in) {
  std::unique_ptr<HostStream> s(new HostStream);
  s->direction_ = Direction::Input;
  s->console_ = true;
  s->in_ = &in;
  return s;
}

namespace {

// Opens path as a text file is opened on this host, where text and binary
// mode are the same. The descriptor is not handed to host commands.
int openfile(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

std::unique_ptr<HostStream> HostStream::openwrite(const std::string& path) {
  std::unique_ptr<HostStream> s(new HostStream);
  s->direction_ = Direction::Output;
  s->fd_ = openfile(path, O_WRONLY | O_CREAT | O_TRUNC);
  if (s->fd_ >= 0) {
    s->pending_ = std::make_unique_for_overwrite<char[]>(filelimit);
    s->pendinglimit_ = filelimit;
  }
  return s;
}

std::unique_ptr<HostStream> HostStream::openread(const std::string& path) {
  std::unique_ptr<HostStream> s(new HostStream);
  s->direction_ = Direction::Input;
  s->fd_ = openfile(path, O_RDONLY);
  return s;
}

void HostStream::handover(std::string_view text) {
  if (console_) {
    if (out_->good()) out_->write(text.data(), static_cast<std::streamsize>(text.size()));
    return;
  }
  while (!text.empty() && pending_) {
    const ssize_t n = ::write(fd_, text.data(), text.size());
    if (n > 0) {
      text.remove_prefix(static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      // A file that cannot be written to (a full disk) takes nothing more,
      // without a message.
      pending_.reset();
      pendingsize_ = 0;
    }
  }
}

void HostStream::writelong(std::string_view text) {
  // The gathered bytes go first. A text that the emptied buffer holds is
  // gathered in turn; a longer one follows them as it is, so that it is not
  // copied: joined, a text of 128 MiB written to the console took as much
  // memory again.
  drain();
  if (!pending_) return;  // a file that could take nothing more
  if (text.size() < pendinglimit_) {
    std::memcpy(pending_.get(), text.data(), text.size());
    pendingsize_ = text.size();
    return;
  }
  handover(text);
}

void HostStream::drain() {
  if (pendingsize_ == 0) return;
  const std::size_t size = pendingsize_;
  pendingsize_ = 0;
  handover(std::string_view(pending_.get(), size));
}

bool HostStream::fill() {
  if (fd_ < 0 || atend_) return false;
  if (!input_) input_ = std::make_unique_for_overwrite<char[]>(readchunk);
  for (;;) {
    const ssize_t n = ::read(fd_, input_.get(), readchunk);
    if (n > 0) {
      inpos_ = 0;
      inend_ = static_cast<std::size_t>(n);
      return true;
    }
    // The end of the file, or a file that cannot be read (a directory):
    // either way there is no more input, even if the file grows later.
    if (n == 0 || errno != EINTR) {
      atend_ = true;
      input_.reset();
      inpos_ = inend_ = 0;
      return false;
    }
  }
}

bool HostStream::getline(std::string& line) {
  line.clear();
  if (console_) return in_ && static_cast<bool>(std::getline(*in_, line));
  // A line is read when at least one character is consumed, its line break
  // included; the last line may lack one.
  bool consumed = false;
  for (;;) {
    if (inpos_ == inend_ && !fill()) return consumed;
    const char* start = input_.get() + inpos_;
    const std::size_t left = inend_ - inpos_;
    const void* brk = std::memchr(start, '\n', left);
    if (brk) {
      const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(brk) - start);
      line.append(start, length);
      inpos_ += length + 1;
      return true;
    }
    line.append(start, left);
    inpos_ = inend_;
    consumed = true;
  }
}

void HostStream::flush() {
  drain();
  if (console_ && out_) out_->flush();
}

void HostStream::closefile() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

void HostStream::close() {
  if (console_) {
    flush();
    return;
  }
  // What is gathered goes out first; the buffers are freed at once. A closed
  // stream drops what is written to it and reads nothing, as a stream that
  // could not be opened.
  drain();
  closefile();
  pending_.reset();
  input_.reset();
  inpos_ = inend_ = 0;
}

}  // namespace TruvVM
