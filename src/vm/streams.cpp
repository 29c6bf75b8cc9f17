#include "streams.hpp"

#include <istream>
#include <ostream>
#include <string>

namespace TruvVM {

std::unique_ptr<HostStream> HostStream::console(std::ostream& out) {
  std::unique_ptr<HostStream> s(new HostStream);
  s->direction_ = Direction::Output;
  s->console_ = true;
  s->out_ = &out;
  s->pending_ = std::make_unique<char[]>(pendinglimit);
  return s;
}

std::unique_ptr<HostStream> HostStream::console(std::istream& in) {
  std::unique_ptr<HostStream> s(new HostStream);
  s->direction_ = Direction::Input;
  s->console_ = true;
  s->in_ = &in;
  return s;
}

std::unique_ptr<HostStream> HostStream::openwrite(const std::string& path) {
  std::unique_ptr<HostStream> s(new HostStream);
  s->direction_ = Direction::Output;
  s->ofile_ = std::make_unique<std::ofstream>(path, std::ios::out | std::ios::trunc);
  s->out_ = s->ofile_.get();
  return s;
}

std::unique_ptr<HostStream> HostStream::openread(const std::string& path) {
  std::unique_ptr<HostStream> s(new HostStream);
  s->direction_ = Direction::Input;
  s->ifile_ = std::make_unique<std::ifstream>(path, std::ios::in);
  s->in_ = s->ifile_.get();
  return s;
}

void HostStream::writethrough(std::string_view text) {
  if (out_ && out_->good()) out_->write(text.data(), static_cast<std::streamsize>(text.size()));
}

void HostStream::writelong(std::string_view text) {
  // The gathered bytes and the text are one piece, handed over at once.
  std::string piece(pending_.get(), pendingsize_);
  piece.append(text);
  pendingsize_ = 0;
  writethrough(piece);
}

void HostStream::drain() {
  if (pendingsize_ == 0) return;
  writethrough(std::string_view(pending_.get(), pendingsize_));
  pendingsize_ = 0;
}

bool HostStream::getline(std::string& line) {
  line.clear();
  if (!in_) return false;
  return static_cast<bool>(std::getline(*in_, line));
}

void HostStream::flush() {
  drain();
  if (out_) out_->flush();
}

void HostStream::close() {
  if (console_) {
    flush();
    return;
  }
  if (ofile_) ofile_->close();
  if (ifile_) ifile_->close();
}

}  // namespace TruvVM
