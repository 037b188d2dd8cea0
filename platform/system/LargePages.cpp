#include "platform/system/LargePages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace kestro::platform {

void adviseLargePages(void* begin, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (begin == nullptr || pageSize <= 0) return;
    const auto page = static_cast<std::uintptr_t>(pageSize);
    const auto from = reinterpret_cast<std::uintptr_t>(begin);
    const std::uintptr_t first = (from + page - 1) & ~(page - 1);
    const std::uintptr_t last = (from + bytes) & ~(page - 1);
    if (last <= first) return;
    ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)begin;
    (void)bytes;
#endif
}

}  // namespace kestro::platform
