#pragma once
// The bytes that the contents of records take outside the record heap, as
// the collector's pacing sees them: new text buffers, and the elements of a
// list copied before a change because another list shares them. The
// collector is paced by records made, and looks at the bytes in use only
// now and then; a program that makes few records but large contents (a list
// copied on every append because a copy of it, dropped already but not yet
// collected, still shares its elements) would grow by gigabytes between two
// looks. So these allocations are counted down from a budget, and when it
// runs out the running machine's next safepoint counts the bytes in use,
// and collects when they call for it.

#include <cstddef>
#include <cstdint>

namespace TruvVM::hostbytes {

// Bytes that may still be made before the next count; 0 once they have run
// out, until the count sets a new budget.
inline std::size_t left = SIZE_MAX;

// Wakes the running machine's run loop, so that its next safepoint counts;
// with no machine running, there is nothing to pace, and the budget is
// lifted.
void ranout();

inline void made(std::size_t n) {
  if (n < left) {
    left -= n;
    return;
  }
  left = 0;
  ranout();
}

}  // namespace TruvVM::hostbytes
