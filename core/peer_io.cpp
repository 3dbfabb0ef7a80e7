// Where TLS slots into an exchange: every send and receive of the exchange goes through these.
#include "core/worker.h"

long ReceiveFromClient(Worker& w, std::span<char> buffer, int timeoutMs) {
  if (w.clientTls.Active()) return w.clientTls.Receive(buffer, timeoutMs);
  return ReceiveSome(w.client, buffer, timeoutMs);
}

long ReceiveFromServer(Worker& w, std::span<char> buffer) {
  if (w.serverTls.Active()) return w.serverTls.Receive(buffer);
  return ReceiveSome(w.server, buffer);
}

// A TLS peer that went away fails the send: over TLS nothing more can follow it anyway.
bool SendToClient(Worker& w, std::span<const char> bytes) {
  if (w.clientTls.Active()) return w.clientTls.Send(bytes) == 1;
  return SendOrReset(w.client, bytes);
}

bool SendToServer(Worker& w, std::span<const char> bytes) {
  if (w.serverTls.Active()) return w.serverTls.Send(bytes) == 1;
  return SendOrReset(w.server, bytes);
}
