// The system's close requests (SIGINT, SIGTERM, SIGHUP) as something a message loop can wait for.
#pragma once

#include "platform/posix/unique_fd.h"

// Blocks the close signals in the calling thread, and so in every thread it starts afterwards, and
// returns a non-blocking descriptor that becomes readable when one is pending. Call before any
// other thread exists, or a signal may reach a thread that does not block it.
UniqueFd OpenCloseSignals();

// Consumes the pending close signals. Returns how many there were.
int TakeCloseSignals(int fd);
