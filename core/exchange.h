// The exchanges of one client connection, read top to bottom: receive the head, decide the route
// once (plain, tunnel or inspected; direct or upstream), rewrite, take an origin connection from
// the pool or make one, forward, relay the answer by its framing, then the next request or the
// end.
#pragma once

#include "core/worker.h"

// Serves a client the worker has just accepted: its requests until its connection ends or waits
// for the next one; the connection is then closed, with the closer, or parked.
void ServeExchange(Worker& w);
