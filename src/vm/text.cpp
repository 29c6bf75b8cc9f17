#include "text.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <new>

#include <sys/random.h>

#include "hostbytes.hpp"

namespace TruvVM {

Text::Buffer* Text::allocate(std::size_t capacity) {
  void* p = ::operator new(sizeof(Buffer) + capacity);
  hostbytes::made(sizeof(Buffer) + capacity);
  return new (p) Buffer{1, 0, capacity, 0, 0};
}

std::uint32_t Text::hashslow() const {
  const std::size_t size = this->size();
  const std::uint32_t folded = hashbytes(data(), size);
  // A length that does not fit the field is not kept.
  if (buf_ && size < UINT32_MAX) {
    buf_->hashed = static_cast<std::uint32_t>(size + 1);
    buf_->hash = folded;
  }
  return folded;
}

std::uint32_t Text::hashbytes(const char* p, std::size_t size) {
  // Eight bytes at a time, each word mixed in by a multiply and a rotate.
  // Texts are mostly short, where a general-purpose hash spends more on its
  // setup than on the bytes.
  constexpr std::uint64_t k = 0x9E3779B97F4A7C15ull;
  std::uint64_t h = size * k ^ hashseed();
  std::size_t n = size;
  for (; n >= 8; n -= 8, p += 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    h = std::rotl((h ^ w) * k, 31);
  }
  if (n) {
    // The last one to seven bytes, in two loads of fixed size that may
    // overlap; the length is already in h.
    std::uint64_t w;
    if (n >= 4) {
      std::uint32_t a, b;
      std::memcpy(&a, p, 4);
      std::memcpy(&b, p + n - 4, 4);
      w = a | (std::uint64_t{b} << 32);
    } else {
      const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
      w = byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16;
    }
    h = std::rotl((h ^ w) * k, 31);
  }
  h *= k;
  h ^= h >> 29;
  return static_cast<std::uint32_t>(h ^ (h >> 32));
}

std::uint64_t Text::drawseed() {
  std::uint64_t seed = 0;
  if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
    // No entropy to be had yet: the clock and an address vary enough from
    // run to run.
    seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
           reinterpret_cast<std::uintptr_t>(&seed);
  }
  return seed;
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
  setsize(n);
}

void Text::reserve(std::size_t n) {
  const std::size_t size = this->size();
  if (n <= size || (newest() && buf_->capacity >= n)) return;
  Buffer* b = allocate(n);
  if (size) std::memcpy(b->bytes(), data(), size);
  b->used = size;
  release();
  buf_ = b;
}

void Text::append(const char* p, std::size_t n) {
  if (n == 0) return;
  const std::size_t size = this->size();
  if (n > SIZE_MAX / 2 - size) throw std::bad_alloc();
  // In place when this view is the newest of its buffer and the room is there.
  // p may point into this buffer's bytes, which stay where they are.
  if (newest() && buf_->capacity - size >= n) {
    std::memmove(buf_->bytes() + size, p, n);
    buf_->used = size + n;
    setsize(size + n);
    return;
  }
  const std::size_t need = size + n;
  // A text grown once is likely to grow again: leave it room to grow by half.
  Buffer* b = allocate(buf_ ? need + need / 2 : need);
  if (size) std::memcpy(b->bytes(), data(), size);
  std::memcpy(b->bytes() + size, p, n);
  b->used = need;
  release();
  buf_ = b;
  setsize(need);
}

}  // namespace TruvVM
