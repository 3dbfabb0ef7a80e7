#include "core/connection.h"

#include <algorithm>

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

int WaitForAny(std::span<const Connection* const> connections, std::span<bool> ready,
               int timeoutMs) {
  size_t count = std::min({connections.size(), ready.size(), kMostWaited});
  int buffered = 0;
  for (size_t i = 0; i < count; ++i) {
    ready[i] = connections[i] != nullptr && connections[i]->HasBuffered();
    buffered += ready[i] ? 1 : 0;
  }
  if (buffered != 0) return buffered;  // decrypted bytes wait already: no socket shows them
  const Socket* sockets[kMostWaited];
  for (size_t i = 0; i < count; ++i)
    sockets[i] = connections[i] != nullptr ? &connections[i]->socket : nullptr;
  return WaitReadableAny({sockets, count}, ready.first(count), timeoutMs);
}
