// One exchange: a request forwarded to the origin server or the upstream proxy, and its answer
// relayed back unchanged until the server closes.
#pragma once

#include "core/worker.h"

// Serves the worker's accepted client for one exchange; both connections are closed or handed to
// the delayed closer when it returns.
void ServeExchange(Worker& w);
