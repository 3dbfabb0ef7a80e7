#include "platform/memory.h"

// The Windows heap needs neither: its threads share a heap that gives back (decommits) large free
// blocks by itself.
void BoundThreadHeaps() {}

void ReturnFreeMemory() {}
