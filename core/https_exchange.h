// HTTPS inspection: a CONNECT to a host outside the bypass list, while inspection is on, is
// answered by the proxy itself. It speaks TLS to the browser with a certificate of the local
// authority, reads the request inside and sends it through the same rewriting as plain HTTP, to
// the origin over TLS that it verifies as a browser would.
#pragma once

#include "core/worker.h"

// True when the CONNECT head in the chunk is to be inspected; its host and port are then in
// tunnelHost and tunnelPort.
bool ShouldInspect(Worker& w);

// Serves an inspected CONNECT for one request; both connections are closed or handed to the
// delayed closer when it returns.
void ServeInspected(Worker& w);

// Once the request head is rewritten: cuts "https://host" out of its request line and aims at
// the origin, or at the upstream proxy when there is one.
void ChooseInspectedTarget(Worker& w);

// Over the connected server socket: opens the upstream proxy's tunnel when there is one, then
// TLS to the origin, verified as a browser would verify it. False when the exchange has ended:
// the browser then has a failure page inside its TLS and the origin not one byte of the request.
bool SecureInspectedOrigin(Worker& w);
