#pragma once
// Large blocks of memory taken from the host directly, in units of two
// mebibytes: the record heap carves its chunks out of them (heap.cpp), one
// mapping for some forty chunks (a program keeping three million records
// ran a tenth faster so than with its chunks from malloc).
//
// The blocks are not marked for huge pages. On a virtual machine that hands
// free memory back to its host, a huge page is usually memory the host has
// taken back, and touching it for the first time cost several times what
// ordinary pages cost: a program that fills a long list ran twice as long
// on its first run after a pause.

#include <cstddef>

namespace TruvVM::pages {

constexpr std::size_t unit = std::size_t{2} << 20;

// A block of `bytes` (a multiple of unit). Throws std::bad_alloc when the
// host refuses it.
void* map(std::size_t bytes);
void unmap(void* block, std::size_t bytes);
// The bytes of the blocks mapped now, which malloc's statistics leave out
// (0 under the address sanitizer, whose allocator serves and counts them).
std::size_t mapped();
// Makes the host back the pages of a range of a block that is about to be
// written, in one request instead of a page fault per page. Advice only:
// where the host refuses, the pages come one fault at a time, as before.
void prepare(void* start, std::size_t bytes);

}  // namespace TruvVM::pages
