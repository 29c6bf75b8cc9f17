#include "text.hpp"

#include <algorithm>
#include <new>

namespace TruvVM {

Text::Buffer* Text::allocate(std::size_t capacity) {
  void* p = ::operator new(sizeof(Buffer) + capacity);
  return new (p) Buffer{1, 0, capacity};
}

void Text::assign(const char* p, std::size_t n) {
  if (n == 0) {
    clear();
    return;
  }
  Buffer* b = allocate(n);
  std::memcpy(b->bytes(), p, n);
  b->used = n;
  release();
  buf_ = b;
  size_ = n;
}

void Text::reserve(std::size_t n) {
  if (n <= size_ || (buf_ && buf_->used == size_ && buf_->capacity >= n)) return;
  Buffer* b = allocate(n);
  if (size_) std::memcpy(b->bytes(), data(), size_);
  b->used = size_;
  release();
  buf_ = b;
}

void Text::append(const char* p, std::size_t n) {
  if (n == 0) return;
  if (n > SIZE_MAX / 2 - size_) throw std::bad_alloc();
  // In place when this view is the newest of its buffer and the room is there.
  // p may point into this buffer's bytes, which stay where they are.
  if (buf_ && buf_->used == size_ && buf_->capacity - size_ >= n) {
    std::memmove(buf_->bytes() + size_, p, n);
    size_ += n;
    buf_->used = size_;
    return;
  }
  const std::size_t need = size_ + n;
  // A text grown once is likely to grow again: leave it room to grow by half.
  Buffer* b = allocate(buf_ ? need + need / 2 : need);
  if (size_) std::memcpy(b->bytes(), data(), size_);
  std::memcpy(b->bytes() + size_, p, n);
  b->used = need;
  release();
  buf_ = b;
  size_ = need;
}

}  // namespace TruvVM
