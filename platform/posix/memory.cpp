#include "platform/memory.h"

#include <malloc.h>

namespace {

// glibc makes up to eight heaps per core, one for each thread that finds the others busy. Workers
// allocate little outside TLS; a few heaps keep contention low without a heap for every thread.
[[maybe_unused]] constexpr int kThreadHeaps = 4;

}  // namespace

// Other C libraries on Linux have neither call; their allocators are left as they are.
void BoundThreadHeaps() {
#if defined(__GLIBC__)
  mallopt(M_ARENA_MAX, kThreadHeaps);
#endif
}

void ReturnFreeMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}
