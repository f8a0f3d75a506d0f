#include "shared/memorytuning.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace shared {

void keepLargeAllocationsOnTheHeap() {
#if defined(__GLIBC__)
    // Chunks are at most 16 MiB; a set-aside or a decoded copy may come on top of that.
    mallopt(M_MMAP_THRESHOLD, 64 * 1024 * 1024);
    // Give memory back to the system only when this much lies free at the top of the heap.
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
#endif
}

} // namespace shared
