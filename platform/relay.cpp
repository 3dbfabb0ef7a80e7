// The relay is the same on every backend: it stands on the socket calls alone.
#include "platform/socket.h"

namespace {

// Moves what one side has to the other. False when that direction has ended or failed; *failed
// tells which.
bool PassOn(const Socket& from, const Socket& to, std::span<char> buffer, bool* failed) {
  long n = ReceiveSome(from, buffer);
  if (n <= 0) {
    *failed = n < 0;
    if (n == 0) ShutdownSend(to);
    return false;
  }
  if (SendAll(to, buffer.first(static_cast<size_t>(n))) == 0) {
    *failed = true;
    return false;
  }
  return true;
}

}  // namespace

void RelayBothWays(const Socket& a, const Socket& b, std::span<char> buffer, int idleTimeoutMs) {
  const Socket notWatched;  // a direction that has ended is waited for no more
  bool aOpen = true;
  bool bOpen = true;
  bool failed = false;
  while ((aOpen || bOpen) && !failed) {
    int ready = WaitReadable(aOpen ? a : notWatched, bOpen ? b : notWatched, idleTimeoutMs);
    if (ready <= 0) return;
    if (aOpen && (ready & kReadyA) != 0) aOpen = PassOn(a, b, buffer, &failed);
    if (!failed && bOpen && (ready & kReadyB) != 0) bOpen = PassOn(b, a, buffer, &failed);
  }
}
