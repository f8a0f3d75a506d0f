#pragma once

namespace shared {

// The downloader allocates and frees buffers of several MiB per chunk all the time. glibc maps
// every block above its threshold afresh and unmaps it when freed, so each chunk pays again for
// faulting in all its pages, which on this kind of workload costs more than the copies themselves.
// This keeps such blocks on the heap and freed memory in the process, so that buffers are reused.
// Called once at the start of the programs that download; a no-op where the C library differs.
void keepLargeAllocationsOnTheHeap();

} // namespace shared
