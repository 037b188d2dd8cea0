// Large pages for big, sparsely written arrays.
#pragma once

#include <cstddef>

namespace kestro::platform {

// Asks the system to back the whole pages inside [begin, begin + bytes) with
// large pages (2 MiB on x86-64) where it can. A table of megabytes that is
// filled entry by entry otherwise takes one page fault per 4 KiB it touches;
// with large pages it takes one per 2 MiB. Memory is still only given as it
// is touched, in large pages. Nothing happens where the system has no such
// pages or refuses (the advice is only advice).
void adviseLargePages(void* begin, std::size_t bytes);

}  // namespace kestro::platform
