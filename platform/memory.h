// The C library's heap: how many per-thread heaps it keeps, and giving back what they hold free.
// A burst of HTTPS exchanges (OpenSSL allocates per connection, on each worker's thread) leaves
// the heaps with free memory that stays resident for good unless it is given back.
#pragma once

// Bounds the heaps the C library makes for threads, so that a burst over many threads leaves
// few of them behind. Call once at start, before any thread exists.
void BoundThreadHeaps();

// Gives the system back the free memory the C library's heaps hold. It walks every heap under
// that heap's lock: call it only while the proxy is idle, never on a request's path.
void ReturnFreeMemory();
