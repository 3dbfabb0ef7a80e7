#include "core/connection.h"

long Connection::Receive(std::span<char> buffer, int timeoutMs) {
  if (tls.Active()) return tls.Receive(buffer, timeoutMs);
  return ReceiveSome(socket, buffer, timeoutMs);
}

bool Connection::Send(std::span<const char> bytes) {
  // A TLS peer that went away fails the send: nothing more can pass over its TLS anyway.
  if (tls.Active()) return tls.Send(bytes) == 1;
  return SendAll(socket, bytes) == 1 || LastErrorCode() == kErrorConnectionReset;
}

void Connection::EndSending() {
  tls.EndSending();
  ShutdownSend(socket);
}

bool Connection::HasBuffered() const {
  return tls.HasBuffered();
}

bool Connection::EndedWell() const {
  return !tls.Active() || tls.EndedWithGoodbye();
}

void Connection::Close() {
  tls.Close();
  socket.Close();
}

void Connection::Reset() {
  tls.Abort();
  ResetConnection(&socket);
}

int WaitForEither(const Connection* a, const Connection& b, int timeoutMs) {
  int buffered = (a != nullptr && a->HasBuffered() ? kReadyA : 0) | (b.HasBuffered() ? kReadyB : 0);
  if (buffered != 0) return buffered;
  const Socket none;
  return WaitReadable(a != nullptr ? a->socket : none, b.socket, timeoutMs);
}
