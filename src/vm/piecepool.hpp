#pragma once
// Freed pieces of one type, kept for the next ones made.

#include <cstddef>
#include <new>

#include "sanitizer.hpp"

namespace TruvVM {

// The out-of-line parts of records and the element lists of lists are made
// and freed by the thousand: a sweep frees all the dead ones at once, more
// than malloc keeps at hand, and then pays several times the cost of making
// one for each. So up to `limit` freed pieces of T are kept here and handed
// out again first. The machine runs on one thread. A sanitized build keeps
// none, so that the sanitizer still sees every use of a freed piece.
template <class T>
class PiecePool {
 public:
  static void* take() {
    if (Node* n = free_) {
      free_ = n->next;
      --count_;
      return n;
    }
    return ::operator new(sizeof(T));
  }
  static void give(void* p) {
    if (count_ < limit) {
      Node* n = static_cast<Node*>(p);
      n->next = free_;
      free_ = n;
      ++count_;
      return;
    }
    ::operator delete(p);
  }

 private:
  struct Node {
    Node* next;
  };
  static_assert(sizeof(T) >= sizeof(Node));
#if TRUV_ASAN
  static constexpr std::size_t limit = 0;
#else
  static constexpr std::size_t limit = 4096;
#endif
  static inline Node* free_ = nullptr;
  static inline std::size_t count_ = 0;
};

}  // namespace TruvVM
