// Detached threads with an explicit stack size: the proxy never joins its workers.
#pragma once

#include <cstddef>

// Starts proc on a new detached thread. Returns 1 when the thread was created, 0 otherwise
// (LastErrorCode() then holds the reason).
int StartDetachedThread(void (*proc)(), size_t stackBytes);
