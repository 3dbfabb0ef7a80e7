// What a TLS library that drives a connected socket by itself (platform/openssl/) needs of it:
// the socket made non-blocking, a wait until it is ready, and a send that never raises SIGPIPE.
// Kept apart from socket.h because the Linux TLS module links these and nothing else of ours.
#pragma once

#include <cstddef>

#include "platform/socket.h"

// Makes s non-blocking, or blocking again as every socket of socket.h is. False on failure.
bool SetSocketBlocking(SocketHandle s, bool blocking);

// Waits until s has something to receive (or, with toSend, room to send), at most timeoutMs
// (negative: without end). 1 when it is ready, 0 when the time ran out, -1 on failure.
int WaitForSocket(SocketHandle s, bool toSend, int timeoutMs);

// Sends what the socket takes at once, never raising SIGPIPE. Returns the count or -1, leaving
// the system's error (SystemSocketError) for the caller to read.
long SendSomeNow(SocketHandle s, const char* data, size_t size);

// The error of the last socket call made on this thread (errno, or WSAGetLastError()).
int SystemSocketError();
