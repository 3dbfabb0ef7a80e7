// Closes connections at their deadline from one thread, or at once when the peer closes first,
// so that no thread has to sit out a closing delay. Meanwhile whatever the peer still sends is
// read and dropped: a connection closed with unread bytes is reset, and a reset can take from
// the peer the last bytes we sent it.
//
// Every finished exchange passes through it, so on Linux it also sees the proxy go idle: a few
// seconds after the last connection was handed over and none waits any more, it gives back the free
// memory the exchanges left (ReturnFreeMemory), at most once every five seconds.
#pragma once

#include <cstddef>

class Socket;

// Starts the closing thread, with room for `capacity` connections waiting to be closed. Later
// calls do nothing. Returns 1 when the closer runs.
int StartDelayedClose(size_t capacity);

// Hands s over to be closed delayMs from now, or as soon as its peer has closed, reading and
// dropping what arrives until then. Returns false, leaving s with the caller, when there is no
// closer or no room.
bool CloseLater(Socket& s, int delayMs);
