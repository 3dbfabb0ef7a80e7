#include "core/exchange.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "core/connection_close.h"
#include "core/inspection.h"
#include "core/report_failure.h"
#include "core/request_target.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "core/tunnel.h"
#include "platform/delayed_close.h"
#include "platform/text_convert.h"

namespace {

bool ExpectsContinue(std::string_view head) {
  constexpr std::string_view kExpect = "\nExpect:";
  for (size_t at = head.find('\n'); at != std::string_view::npos; at = head.find('\n', at + 1)) {
    if (MatchNoCase(head.substr(at), kExpect, static_cast<int>(kExpect.size())) == 1) return true;
  }
  return false;
}

// How many bytes the first chunk takes once the head (ending at headEnd) is complete. A body that
// fits comes with it even when the client writes it separately, so that the rewriting sees a
// form whole; a client waiting for "100 Continue" sends nothing more until it has an answer.
size_t FirstChunkBytes(std::string_view received, size_t headEnd) {
  size_t headBytes = headEnd + 4;
  std::string_view head = received.substr(0, headBytes);
  int32_t declared = GetContentLength(head);
  if (declared <= 0 || ExpectsContinue(head)) return headBytes;
  size_t wanted = headBytes + static_cast<size_t>(declared);
  return wanted <= kChunkReceiveLimit ? wanted : headBytes;
}

// The request's body bytes within the first chunk: what follows the blank line ending the head.
long FirstChunkBodyBytes(std::string_view text, long tailBytes) {
  auto headEnd = text.find("\r\n\r\n");
  if (headEnd == std::string_view::npos) return 0;
  return static_cast<long>(text.size() - headEnd - 4) + tailBytes;
}

// Picks the target and cuts the absolute address for a direct request. False when the request
// names no host, which has been reported.
bool ChooseTarget(Worker& w) {
  ProxySettings settings = CurrentSettings();
  if (settings.UseProxy != 0) {
    WideToSingleByte(settings.ProxyName, w.targetHost);
    w.targetPort = settings.ProxyPort;
    return true;
  }
  if (GetTargetHost(TextIn(w.chunk), TextIn(w.requestAddress), &w.targetPort, w.targetHost) == 0) {
    ReportFailure(u"get host miss", &w.client, nullptr);
    return false;
  }
  SplitHostPort(w.targetHost, &w.targetPort);
  StripAbsoluteAddress(w.chunk);
  return true;
}

bool ConnectOrReport(Worker& w) {
  switch (ConnectTarget(w)) {
    case ConnectResult::kConnected:
      return true;
    case ConnectResult::kNoHost:
      EndExchange(w);
      return false;
    case ConnectResult::kNoSocket:
      ReportFailure(u"create socket for server", &w.client, &w.server);
      return false;
    case ConnectResult::kRefused:
      ReportFailure(u"connect to server", &w.client, &w.server);
      return false;
  }
  return false;
}

// Rewrites the head, finds its target and connects. Returns the count of bytes from the first NUL
// on, which the rewriting never sees and which are sent after the text; -1 when the exchange
// ended.
long PrepareHead(Worker& w, long received) {
  const char* nul =
      static_cast<const char*>(std::memchr(w.chunk, '\0', static_cast<size_t>(received)));
  long tail = nul == nullptr ? 0 : received - (nul - w.chunk);
  if (tail > 0) std::memcpy(w.rawTail, nul, static_cast<size_t>(tail));

  // The rewriting never takes the room that the closing line needs.
  std::span<char> rewritable(w.chunk, kChunkBufferSize - kConnectionCloseLine.size());
  const ExchangeHooks& hooks = w.run.hooks;
  if (hooks.applyRequestFilters != nullptr) hooks.applyRequestFilters(rewritable);
  GetRequestAddress(TextIn(w.chunk), w.requestAddress);
  if (hooks.repairObjectAddress != nullptr)
    hooks.repairObjectAddress(rewritable, std::span<char>(w.requestAddress));
  ForceConnectionClose(w.chunk);
  if (w.clientTls.Active()) {
    if (!OpenInspectedOrigin(w)) return -1;
  } else if (!ChooseTarget(w) || !ConnectOrReport(w)) {
    return -1;
  }
  return tail;
}

// Forwards the request: the rewritten head with what body came with it, then further chunks
// while the declared body is still due. False when the exchange ended on the way.
bool ForwardRequest(Worker& w, long received) {
  long tail = PrepareHead(w, received);
  if (tail < 0) return false;
  std::string_view text = TextIn(w.chunk);
  int32_t declaredLength = GetContentLength(text);
  long long bodyCount = declaredLength > 0 ? FirstChunkBodyBytes(text, tail) : 0;
  if (!SendToServer(w, text) || !SendToServer(w, {w.rawTail, static_cast<size_t>(tail)})) {
    EndExchange(w);
    return false;
  }
  if (received == 0) return true;
  while (declaredLength > 0 && bodyCount < declaredLength) {
    long n = ReceiveFromClient(w, {w.chunk, kChunkReceiveLimit});
    if (n < 0) {
      EndExchange(w);
      return false;
    }
    if (n == 0) return true;
    if (!SendToServer(w, {w.chunk, static_cast<size_t>(n)})) {
      EndExchange(w);
      return false;
    }
    bodyCount += n;
  }
  return true;
}

// Relays the answer unchanged until the server closes. False when the exchange ended early.
bool RelayAnswer(Worker& w) {
  bool firstAnswer = true;
  for (;;) {
    long received = ReceiveFromServer(w, {w.chunk, kChunkReceiveLimit});
    if (received < 0) {
      EndExchange(w);
      return false;
    }
    if (received == 0) return true;
    w.chunk[received] = '\0';
    std::string_view answer(w.chunk, static_cast<size_t>(received));
    if (firstAnswer && w.run.hooks.noteFirstAnswer != nullptr) {
      w.run.hooks.noteFirstAnswer(answer, TextIn(w.requestAddress));
    }
    if (!SendToClient(w, answer)) {
      EndExchange(w);
      return false;
    }
    // A full first chunk promises a large answer: the rest goes through the kernel unexamined,
    // until the client fails, when the plain relay takes over again. TLS bytes never do.
    bool plain = !w.clientTls.Active() && !w.serverTls.Active();
    if (plain && firstAnswer && received == static_cast<long>(kChunkReceiveLimit)) {
      switch (SpliceAll(w.server, w.client)) {
        case SpliceResult::kSourceClosed:
          return true;
        case SpliceResult::kSourceFailed:
          EndExchange(w);
          return false;
        case SpliceResult::kSinkFailed:
          if (LastErrorCode() != kErrorConnectionReset) {
            EndExchange(w);
            return false;
          }
          break;
      }
    }
    firstAnswer = false;
  }
}

// The origin has closed: its side goes at once, the client's after the closing delay, by the
// delayed closer when it has room and by this thread otherwise.
void CloseAfterDelay(Worker& w) {
  w.serverTls.Close();
  w.clientTls.Close();  // our goodbye first: the client then knows the answer is whole
  w.server.Close();     // sends our end of data: the origin's was read to its end
  if (CloseLater(w.client, w.run.options.closeDelayMs)) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(w.run.options.closeDelayMs));
  ShutdownBoth(w.client);
  w.client.Close();
}

}  // namespace

void EndExchange(Worker& w) {
  w.serverTls.Close();
  w.clientTls.Close();
  ReportFailure(nullptr, &w.client, &w.server);
}

long ReceiveHead(Worker& w) {
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(w.run.options.headTimeoutMs);
  size_t received = 0;
  size_t wanted = 0;  // known once the head is complete
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return -1;
    long n = ReceiveFromClient(w, {w.chunk + received, kChunkReceiveLimit - received},
                               static_cast<int>(left.count()));
    if (n < 0) return -1;
    if (n == 0) break;
    size_t from = received > 3 ? received - 3 : 0;
    received += static_cast<size_t>(n);
    if (wanted == 0) {
      size_t blank = std::string_view(w.chunk + from, received - from).find("\r\n\r\n");
      if (blank != std::string_view::npos)
        wanted = FirstChunkBytes({w.chunk, received}, from + blank);
    }
    if ((wanted != 0 && received >= wanted) || received == kChunkReceiveLimit) break;
  }
  w.chunk[received] = '\0';
  return static_cast<long>(received);
}

ConnectResult ConnectTarget(Worker& w) {
  // Only the low 16 bits of the port count, as a 16-bit port field holds them.
  auto port = static_cast<uint16_t>(static_cast<uint32_t>(w.targetPort) & 0xFFFFu);
  ConnectResult result = ConnectToHost(w.targetHost, port, &w.server);
  if (result == ConnectResult::kConnected) SetIdleTimeout(w.server, w.run.options.idleTimeoutMs);
  return result;
}

bool SendOrReset(const Socket& to, std::span<const char> bytes) {
  return SendAll(to, bytes) == 1 || LastErrorCode() == kErrorConnectionReset;
}

void ServeExchange(Worker& w) {
  long received = ReceiveHead(w);
  // A connection closed before it carried a byte is no request: browsers open spare connections
  // and close them unused, and that is no failure to show anyone.
  if (received <= 0) {
    EndExchange(w);
    return;
  }
  if (IsTunnelRequest(TextIn(w.chunk))) {
    ServeTunnel(w, received);
    return;
  }
  ServeRequest(w, received);
}

void ServeRequest(Worker& w, long received) {
  if (!ForwardRequest(w, received) || !RelayAnswer(w)) return;
  CloseAfterDelay(w);
}
