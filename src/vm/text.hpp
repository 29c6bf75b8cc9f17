#pragma once
// The text of a string record.
//
// Every read of a string copies it, so copies share one buffer: a Text is a
// view of the first `size` bytes of a reference-counted buffer. The bytes a
// view covers never change. Appending to the view that ends where the
// buffer's written bytes end (the newest text made from that buffer) writes
// into the buffer's spare room, which no other view covers, so a string
// built by repeated concatenation is copied only when its buffer is full.
//
// A Text is packed into 12 bytes, the length first, so that a record can
// keep its text's length in the padding of its first word (value.hpp). A
// length that does not fit 32 bits is kept in the buffer instead: such a
// view (longview) is always the longest view of its buffer, whose written
// bytes then never change again, since only a view that ends where they end
// appends in place, and a long view never does. So a text of 4 GiB or more
// is copied on every append; building one piece by piece is slow, where
// anything shorter grows in place.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace TruvVM {

class [[gnu::packed]] Text {
 public:
  Text() = default;
  Text(std::string_view s) { assign(s.data(), s.size()); }
  Text(const Text& other) : len_(other.len_), buf_(other.buf_) {
    if (buf_) ++buf_->refs;
  }
  Text(Text&& other) noexcept : len_(other.len_), buf_(other.buf_) {
    other.buf_ = nullptr;
    other.len_ = 0;
  }
  Text& operator=(const Text& other) {
    if (other.buf_) ++other.buf_->refs;
    release();
    buf_ = other.buf_;
    len_ = other.len_;
    return *this;
  }
  Text& operator=(Text&& other) noexcept {
    if (this != &other) {
      release();
      buf_ = other.buf_;
      len_ = other.len_;
      other.buf_ = nullptr;
      other.len_ = 0;
    }
    return *this;
  }
  Text& operator=(std::string_view s) {
    assign(s.data(), s.size());
    return *this;
  }
  ~Text() { release(); }

  std::size_t size() const { return len_ != longview ? len_ : buf_->used; }
  bool empty() const { return len_ == 0; }
  // The length when it fits 32 bits, else a nonzero number: what a test
  // for an empty text needs, with no look at the buffer.
  std::uint32_t shortsize() const { return len_; }
  const char* data() const { return buf_ ? buf_->bytes() : ""; }
  std::string_view view() const { return std::string_view(data(), size()); }
  operator std::string_view() const { return view(); }
  std::string str() const { return std::string(view()); }

  void assign(const char* p, std::size_t n);
  void append(const char* p, std::size_t n);
  Text& operator+=(std::string_view s) {
    append(s.data(), s.size());
    return *this;
  }
  Text& operator+=(char c) {
    append(&c, 1);
    return *this;
  }
  // Makes room for n bytes in all, so that appending up to there copies
  // nothing.
  void reserve(std::size_t n);
  void clear() {
    release();
    buf_ = nullptr;
    len_ = 0;
  }

  // A hash of the bytes: equal texts have equal hashes. It is keyed with
  // hashseed(), so that which texts share a slot of a dictionary's index
  // cannot be known before the run: keys chosen to collide, read from the
  // input, would otherwise make every lookup go through all of them. No
  // order that a program sees depends on a hash. The bytes a view
  // covers never change, so the buffer keeps the hash of the last length it
  // was computed for, and texts that share a buffer (the copies of one
  // text) compute it once.
  std::uint32_t hash() const {
    if (buf_ && buf_->hashed == len_ + std::uint64_t{1}) return buf_->hash;
    return hashslow();
  }

  // hash() when it is known without computing it.
  bool knownhash(std::uint32_t& out) const {
    if (!buf_ || buf_->hashed != len_ + std::uint64_t{1}) return false;
    out = buf_->hash;
    return true;
  }
  // Whether both are the same view of one buffer, and so equal.
  bool sameview(const Text& other) const { return buf_ == other.buf_ && len_ == other.len_; }
  // The view as one number: the buffer's address and the length, for a
  // table to keep in place of the text. Two views have the same key only
  // when they are the same view of one buffer, and so equal; a key is never
  // 0 (a buffer's address is not) and never ~0 (nor is it odd). A view that
  // does not fit (no buffer, a length of 2^16 or more, an address past 48
  // bits) has none: noview. The key is only ever compared, never turned
  // back into an address.
  static constexpr std::uint64_t noview = 0;
  std::uint64_t viewkey() const {
    const std::uint64_t at = reinterpret_cast<std::uintptr_t>(buf_);
    if (!buf_ || len_ >= 0x10000 || (at >> 48) != 0) return noview;
    return at << 16 | len_;
  }

  friend bool operator==(const Text& a, const Text& b) {
    if (a.len_ != b.len_) return false;
    const std::size_t n = a.size();
    if (a.len_ == longview && n != b.size()) return false;
    return a.buf_ == b.buf_ || std::memcmp(a.data(), b.data(), n) == 0;
  }
  friend bool operator==(const Text& a, std::string_view b) { return a.view() == b; }

  // hash() of the bytes p[0..size), which need not be a Text's.
  static std::uint32_t hashbytes(const char* p, std::size_t size);
  // A number drawn once per process, which keys the hashes of texts, of
  // dictionary keys and of the interner's table.
  static std::uint64_t hashseed() {
    static const std::uint64_t seed = drawseed();
    return seed;
  }

 private:
  static std::uint64_t drawseed();
  struct Buffer {
    std::size_t refs;
    std::size_t used;      // bytes written, by the longest view
    std::size_t capacity;  // bytes the buffer holds, after this header
    std::uint32_t hashed;  // one more than the length `hash` is of; 0: none (or too long)
    std::uint32_t hash;
    char* bytes() { return reinterpret_cast<char*>(this + 1); }
  };
  static Buffer* allocate(std::size_t capacity);
  std::uint32_t hashslow() const;
  void release() {
    if (buf_ && --buf_->refs == 0) ::operator delete(buf_);
  }

  // The length of a long view: one that does not fit len_, whose length is
  // its buffer's `used`.
  static constexpr std::uint32_t longview = UINT32_MAX;
  void setsize(std::size_t n) { len_ = n < longview ? static_cast<std::uint32_t>(n) : longview; }
  // Whether the view ends where its buffer's written bytes end, and so may
  // append in place.
  bool newest() const { return buf_ && len_ != longview && buf_->used == len_; }

  std::uint32_t len_ = 0;
  Buffer* buf_ = nullptr;
};

}  // namespace TruvVM
