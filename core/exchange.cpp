#include "core/exchange.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/access_rules.h"
#include "core/answer_framing.h"
#include "core/connection_close.h"
#include "core/failure_advice.h"
#include "core/failure_page.h"
#include "core/https_exchange.h"
#include "core/interim_answers.h"
#include "core/last_page_url.h"
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

// The target as the user knows it: "host:port", an IPv6 literal in brackets.
void DescribeTarget(const Worker& w, std::span<char> out) {
  std::string_view host = TextIn(w.targetHost);
  bool literal = host.find(':') != std::string_view::npos;
  std::snprintf(out.data(), out.size(), literal ? "[%.*s]:%u" : "%.*s:%u",
                static_cast<int>(host.size()), host.data(),
                static_cast<unsigned>(static_cast<uint32_t>(w.targetPort) & 0xFFFFu));
}

}  // namespace

// The user is told without waiting for them.
void AnswerFailure(Worker& w, FailureKind kind, const char16_t* step) {
  int code = LastErrorCode();  // before anything else can change it
  char words[128] = "";
  if (kind == FailureKind::kSilent) {
    std::snprintf(words, sizeof words, "Nothing came from it for %d seconds.",
                  w.run.options.idleTimeoutMs / 1000);
  } else if (kind == FailureKind::kNotFound || kind == FailureKind::kRefused ||
             kind == FailureKind::kUnreachable || kind == FailureKind::kTimedOut) {
    DescribeError(code, words);  // the system's own words for what it reported
  }
  size_t n = WriteFailurePage({w.chunk, kChunkBufferSize}, kind, TextIn(w.targetHost), words);
  SendTo(w, Side::kClient, {w.chunk, n});
  FinishExchange(w);
  if (step == nullptr) return;
  char target[kTargetHostSize + 16] = "";
  if (kind != FailureKind::kNoHost) DescribeTarget(w, target);
  std::u16string_view advice = StepAdvice(step);
  ShowFailure(code, step, TextIn(target),
              advice.empty() ? ExchangeAdvice(kind, w.viaUpstream) : advice);
}

namespace {

// Picks the target and cuts the absolute address for a direct request. False when the request
// names no host, which has been answered.
bool ChooseTarget(Worker& w) {
  ProxySettings settings = CurrentSettings();
  w.viaUpstream = settings.UseProxy != 0;
  if (w.viaUpstream) {
    // The upstream proxy reaches the named host itself; where that could come back here or, for
    // a client from elsewhere, into this machine, it is judged first.
    char named[kTargetHostSize];
    int32_t port = 0;
    if (GetTargetHost(TextIn(w.chunk), TextIn(w.requestAddress), &port, named) != 0) {
      SplitHostPort(named, &port);
      if (!AcceptNamedTarget(w, named, port)) return false;
    }
    WideToSingleByte(settings.ProxyName, w.targetHost);
    w.targetPort = settings.ProxyPort;
    return true;
  }
  if (GetTargetHost(TextIn(w.chunk), TextIn(w.requestAddress), &w.targetPort, w.targetHost) == 0) {
    AnswerFailure(w, FailureKind::kNoHost, u"get host miss");
    return false;
  }
  SplitHostPort(w.targetHost, &w.targetPort);
  if (PortOutOfRange(w.targetPort)) {
    AnswerFailure(w, FailureKind::kBadPort, nullptr);
    return false;
  }
  StripAbsoluteAddress(w.chunk);
  return true;
}

// Connects to the target; when that fails the client has its failure page.
bool ConnectOrAnswer(Worker& w) {
  switch (ConnectTarget(w)) {
    case ConnectResult::kConnected:
      return true;
    case ConnectResult::kNoHost:  // as ever, a name without an address shows no box
      AnswerFailure(w, FailureKind::kNotFound, nullptr);
      return false;
    case ConnectResult::kNoSocket:
      AnswerFailure(w, FailureKind::kUnreachable, u"create socket for server");
      return false;
    case ConnectResult::kRefused:
      AnswerFailure(w, FailureKind::kRefused, u"connect to server");
      return false;
    case ConnectResult::kUnreachable:
      AnswerFailure(w, FailureKind::kUnreachable, u"connect to server");
      return false;
    case ConnectResult::kTimedOut:
      AnswerFailure(w, FailureKind::kTimedOut, u"connect to server");
      return false;
    case ConnectResult::kForbidden:
      AnswerFailure(w, FailureKind::kForbidden, nullptr);
      return false;
    case ConnectResult::kLoop:
      AnswerFailure(w, FailureKind::kLoop, nullptr);
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
  std::span<char> rewritable(w.chunk, kChunkBufferSize - kConnectionLineRoom);
  const ExchangeHooks& hooks = w.run.hooks;
  if (hooks.applyRequestFilters != nullptr) hooks.applyRequestFilters(rewritable);
  GetRequestAddress(TextIn(w.chunk), w.requestAddress);
  w.headRequest = TextIn(w.chunk).starts_with("HEAD ");
  if (hooks.repairObjectAddress != nullptr)
    hooks.repairObjectAddress(rewritable, std::span<char>(w.requestAddress));
  ForceConnectionClose(w.chunk);
  if (w.clientTls.Active()) {
    ChooseInspectedTarget(w);
    if (!ConnectOrAnswer(w) || !SecureInspectedOrigin(w)) return -1;
  } else if (!ChooseTarget(w) || !ConnectOrAnswer(w)) {
    return -1;
  }
  return tail;
}

// Sends the rewritten head on, with what body came with it. False when the exchange ended.
bool ForwardHead(Worker& w, long received) {
  long tail = PrepareHead(w, received);
  if (tail < 0) return false;
  if (!SendTo(w, Side::kServer, TextIn(w.chunk)) ||
      !SendTo(w, Side::kServer, {w.rawTail, static_cast<size_t>(tail)})) {
    if (!ExplainOriginRefusal(w)) EndExchange(w);
    return false;
  }
  return true;
}

// How far the answer has been looked at.
struct AnswerWatch {
  bool awaitingFinal = true;  // no final answer has begun yet: interim ones may come first
  bool large = false;         // the final answer's first chunk was full: more will come
  bool switched = false;      // "101 Switching Protocols": another protocol, never looked into
  AnswerFraming framing;      // where the final answer ends
};

// The final answer's first bytes within the chunk of length n: the page memory sees them as
// they arrived, then the rewriting edits them and the head tells the client that the connection
// closes after this answer. Interim answers before it pass as they are. Returns the length to
// send.
size_t LookAtAnswer(Worker& w, size_t n, AnswerWatch* watch) {
  size_t start = FinalAnswerStart({w.chunk, n});
  if (start == n) return n;  // interim answers alone: the final one is still to come
  watch->awaitingFinal = false;
  if (start == std::string_view::npos) return n;  // an interim head cut off: not looked into
  std::string_view answer(w.chunk + start, n - start);
  size_t headEnd = answer.find("\r\n\r\n");
  if (answer.starts_with("HTTP/1.1 101") || answer.starts_with("HTTP/1.0 101")) {
    watch->switched = true;  // its head keeps "Connection: Upgrade", and its bytes pass as they are
    return n;
  }
  if (headEnd != std::string_view::npos) {
    watch->framing.StartAnswer(answer.substr(0, headEnd + 4), w.headRequest);
    watch->framing.Feed(answer.substr(headEnd + 4));
  }
  // Chunks are followed byte by byte; anything else large goes on through the kernel.
  watch->large = n == kChunkReceiveLimit && !watch->framing.NeedsBytes();
  if (w.run.hooks.noteFirstAnswer != nullptr)
    w.run.hooks.noteFirstAnswer(answer, TextIn(w.requestAddress));
  size_t length = n - start;
  if (w.run.hooks.editFirstAnswer != nullptr)
    length = w.run.hooks.editFirstAnswer({w.chunk + start, length});
  ReplaceConnectionLines({w.chunk + start, kChunkBufferSize - start}, &length);
  return start + length;
}

// What MoveAnswer returns when nothing was there yet.
constexpr int kNothingThere = 2;

// Moves the next piece of the answer to the client, waiting for it up to waitMs. 1 when moved,
// 0 when the origin has closed, -1 when the exchange failed, kNothingThere when nothing had come
// (over TLS, a record that carried no data, such as a session ticket).
int MoveAnswer(Worker& w, AnswerWatch* watch, SplicePipe* pipe, int waitMs) {
  // A large answer goes on through the kernel, unexamined but counted, until the client fails;
  // then the plain relay takes over again.
  if (watch->large) {
    long moved = SpliceServerToClient(w, pipe);
    if (moved > 0) watch->framing.Skip(static_cast<uint64_t>(moved));
    if (moved >= 0) return moved > 0 ? 1 : 0;
    if (moved == -1 || (moved == kSpliceSinkFailed && LastErrorCode() != kErrorConnectionReset))
      return -1;
    watch->large = false;  // copied from now on
    if (moved == kSpliceSinkFailed) return 1;
  }
  long received = ReceiveFrom(w, Side::kServer, {w.chunk, kChunkReceiveLimit}, waitMs);
  if (received == kReceiveTimedOut) return kNothingThere;
  if (received <= 0) return received == 0 ? 0 : -1;
  size_t length = static_cast<size_t>(received);
  if (watch->awaitingFinal)
    length = LookAtAnswer(w, length, watch);
  else if (!watch->switched)
    watch->framing.Feed({w.chunk, length});
  return SendTo(w, Side::kClient, {w.chunk, length}) ? 1 : -1;
}

// Moves the request's further bytes on to the origin: a body of any framing, ended by the
// client's half-close as much as by its length. False when the client has closed its side (the
// origin is told so) and nothing more comes; *failed when it failed.
bool MoveRequest(Worker& w, bool* failed) {
  long received = ReceiveFrom(w, Side::kClient, {w.chunk, kChunkReceiveLimit}, 0);
  if (received == kReceiveTimedOut) return true;  // a TLS record without data
  if (received < 0) {
    *failed = true;
    return false;
  }
  if (received == 0) {
    EndSendingTo(w, Side::kServer);
    return false;
  }
  *failed = !SendTo(w, Side::kServer, {w.chunk, static_cast<size_t>(received)});
  return !*failed;
}

// The origin has closed: whether what the client got is the whole answer. A cut one (short of
// its framing's end, or any end over TLS without the origin's goodbye where only the close could
// tell) must never look whole to the client.
bool AnswerWhole(const Worker& w, const AnswerWatch& watch) {
  if (watch.awaitingFinal || watch.switched) return true;  // nothing of an answer to cut
  AnswerFraming::End end = watch.framing.Where();
  if (end == AnswerFraming::End::kOpen) return false;
  if (end == AnswerFraming::End::kUntilClose && w.serverTls.Active())
    return w.serverTls.EndedWithGoodbye();
  return true;
}

// After the head, bytes move both ways at once, as in a tunnel, until the origin has closed:
// the client's body whatever its framing, the origin's interim and final answers as they come.
// False when the exchange ended early.
bool RelayBothWays(Worker& w) {
  AnswerWatch watch;
  SplicePipe pipe;
  bool clientOpen = true;
  for (;;) {
    int ready = WaitForEitherSide(w, clientOpen, w.run.options.idleTimeoutMs);
    if (ready == 0 && watch.awaitingFinal) {
      // The origin took the request and said nothing: the client learns so instead of
      // seeing an empty close. Interim answers before it leave room for this final one.
      AnswerFailure(w, FailureKind::kSilent, nullptr);
      return false;
    }
    if (ready <= 0) break;  // nothing moved for the idle time, or the wait failed
    if ((ready & kServerReady) != 0) {
      int moved = MoveAnswer(w, &watch, &pipe, 0);
      // The origin's next bytes, or its end, have often come meanwhile: a small answer's end is
      // there as soon as its bytes are. Taking them at once saves a wait; the splice path
      // blocks, so it waits as before.
      if (moved == 1 && !watch.large) moved = MoveAnswer(w, &watch, &pipe, 0);
      if (moved == 0) {
        if (AnswerWhole(w, watch)) {
          // Over TLS the client hears our goodbye only when the origin said its own.
          if (w.serverTls.Active() && !w.serverTls.EndedWithGoodbye()) w.clientTls.Abort();
          return true;
        }
        break;
      }
      if (moved < 0) {
        // An origin that failed before answering is explained when the reason is known.
        if (watch.awaitingFinal && ExplainOriginRefusal(w)) return false;
        break;
      }
    }
    if ((ready & kClientReady) != 0) {
      bool failed = false;
      clientOpen = MoveRequest(w, &failed);
      if (failed) break;
    }
  }
  EndExchange(w);
  return false;
}

// A client from elsewhere may use the proxy when the allowed clients name it.
bool RemoteClientAllowed(const Worker& w) {
  ProxySettings settings = CurrentSettings();
  char allowed[kBypassListUnits * 3];
  WideToSingleByte(settings.AllowedClients, allowed);
  return ClientAllowed(w.clientAddress, TextIn(allowed));
}

// What a worker's exchange starts from: nothing that an earlier exchange on this worker left
// may reach this one's request address, target or rewriting.
void ForgetEarlierExchange(Worker& w) {
  w.chunk[0] = '\0';
  w.requestAddress[0] = '\0';
  w.targetHost[0] = '\0';
  w.targetPort = 0;
  w.viaUpstream = false;
  w.headRequest = false;
  w.tunnelPlain = false;
}

}  // namespace

void EndExchange(Worker& w) {
  // No goodbye and a reset: whatever the client got, it must not take it for whole.
  w.serverTls.Abort();
  w.clientTls.Abort();
  ForgetExchange(w);
  ResetConnection(&w.client);
  ReportFailure(nullptr, nullptr, &w.server);
}

long ReceiveHead(Worker& w) {
  return ReceiveHead(
      w, std::chrono::steady_clock::now() + std::chrono::milliseconds(w.run.options.headTimeoutMs));
}

long ReceiveHead(Worker& w, std::chrono::steady_clock::time_point deadline) {
  size_t received = 0;
  size_t wanted = 0;  // known once the head is complete
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return -1;
    long n = ReceiveFrom(w, Side::kClient, {w.chunk + received, kChunkReceiveLimit - received},
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
  // Only the low 16 bits of the port count, as a 16-bit port field holds them: an upstream
  // proxy's port from the settings; a request's own ports were checked already.
  auto port = static_cast<uint16_t>(static_cast<uint32_t>(w.targetPort) & 0xFFFFu);
  TargetRules rules{w.remoteClient, w.viaUpstream, w.run.options.port};
  AddressCheck check{JudgeTarget, &rules};
  // A zone ("%eth0", or "%25eth0" as written in an address) names one of this machine's links:
  // for a client from elsewhere the address is judged without it, so that it is refused, not
  // merely not found.
  char* zone = w.remoteClient && !w.viaUpstream ? std::strchr(w.targetHost, '%') : nullptr;
  if (zone != nullptr) *zone = '\0';
  ConnectResult result =
      ConnectToHost(w.targetHost, port, w.run.options.connectTimeoutMs, &w.server, &check);
  if (result == ConnectResult::kConnected) SetIdleTimeout(w.server, w.run.options.idleTimeoutMs);
  return result;
}

bool AcceptNamedTarget(Worker& w, const char* host, int32_t port) {
  auto refuse = [&](FailureKind kind) {
    std::snprintf(w.targetHost, sizeof w.targetHost, "%s", host);  // the page names it
    AnswerFailure(w, kind, nullptr);
    return false;
  };
  if (PortOutOfRange(port)) return refuse(FailureKind::kBadPort);
  // A loop needs the proxy's own port; reaching this machine needs a client from elsewhere.
  // Others cost no name lookup.
  if (port != w.run.options.port && !w.remoteClient) return true;
  TargetRules rules{w.remoteClient, false, w.run.options.port};
  char unzoned[kTargetHostSize];
  std::snprintf(unzoned, sizeof unzoned, "%s", host);
  if (char* zone = std::strchr(unzoned, '%'); zone != nullptr && w.remoteClient) *zone = '\0';
  switch (CheckHostAddresses(unzoned, static_cast<uint16_t>(port), {JudgeTarget, &rules})) {
    case ConnectResult::kForbidden:
      return refuse(FailureKind::kForbidden);
    case ConnectResult::kLoop:
      return refuse(FailureKind::kLoop);
    default:
      return true;  // a name the upstream proxy may know better is left to it
  }
}

bool SendOrReset(const Socket& to, std::span<const char> bytes) {
  return SendAll(to, bytes) == 1 || LastErrorCode() == kErrorConnectionReset;
}

// Inside an inspected CONNECT both sides speak TLS over their sockets.
long ReceiveFrom(Worker& w, Side side, std::span<char> buffer, int timeoutMs) {
  TlsStream& tls = side == Side::kClient ? w.clientTls : w.serverTls;
  if (tls.Active()) return tls.Receive(buffer, timeoutMs);
  return ReceiveSome(side == Side::kClient ? w.client : w.server, buffer, timeoutMs);
}

// A TLS peer that went away fails the send: nothing more can pass over its TLS anyway.
bool SendTo(Worker& w, Side side, std::span<const char> bytes) {
  TlsStream& tls = side == Side::kClient ? w.clientTls : w.serverTls;
  if (tls.Active()) return tls.Send(bytes) == 1;
  return SendOrReset(side == Side::kClient ? w.client : w.server, bytes);
}

// Over TLS our goodbye (close_notify) goes first, so that the peer knows the data is whole.
void EndSendingTo(Worker& w, Side side) {
  (side == Side::kClient ? w.clientTls : w.serverTls).EndSending();
  ShutdownSend(side == Side::kClient ? w.client : w.server);
}

int WaitForEitherSide(Worker& w, bool watchClient, int timeoutMs) {
  // Bytes a TLS stream has decrypted already wait there, not in the socket.
  int buffered = (watchClient && w.clientTls.HasBuffered() ? kClientReady : 0) |
                 (w.serverTls.HasBuffered() ? kServerReady : 0);
  if (buffered != 0) return buffered;
  const Socket notWatched;
  int ready = WaitReadable(watchClient ? w.client : notWatched, w.server, timeoutMs);
  if (ready <= 0) return ready;
  return ((ready & kReadyA) != 0 ? kClientReady : 0) | ((ready & kReadyB) != 0 ? kServerReady : 0);
}

long SpliceServerToClient(Worker& w, SplicePipe* pipe) {
  // TLS bytes are decrypted and encrypted again here: they never go through the kernel's pipe.
  if (w.clientTls.Active() || w.serverTls.Active()) return kCannotSplice;
  if (!pipe->IsOpen() && !pipe->Open()) return kCannotSplice;
  return pipe->Move(w.server, w.client);
}

void FinishExchange(Worker& w) {
  w.serverTls.Close();
  w.server.Close();  // the origin's data was read to its end, or is not wanted any more
  EndSendingTo(w, Side::kClient);
  w.clientTls.Close();  // what the client still sends is read raw and dropped from here on
  ForgetExchange(w);
  if (CloseLater(w.client, w.run.options.closeDelayMs)) return;
  // No room with the closer: this thread keeps the connection for the delay itself.
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(w.run.options.closeDelayMs);
  for (;;) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || ReceiveFrom(w, Side::kClient, {w.chunk, kChunkReceiveLimit},
                                         static_cast<int>(left.count())) <= 0)
      break;
  }
  ShutdownBoth(w.client);
  w.client.Close();
}

void ServeExchange(Worker& w) {
  ForgetEarlierExchange(w);
  TrackExchange(w);
  // Clients on this machine share one page memory; each other has its own.
  w.remoteClient = w.clientAddress.length != 0 && !IsLocalClient(w.clientAddress);
  UsePageMemoryOf(w.remoteClient ? w.clientAddress : IpAddress{});
  long received = ReceiveHead(w);
  // A connection closed before it carried a byte is no request: browsers open spare connections
  // and close them unused, and that is no failure to show anyone.
  if (received <= 0) {
    EndExchange(w);
    return;
  }
  if (w.remoteClient && !RemoteClientAllowed(w)) {
    AnswerFailure(w, FailureKind::kNotAllowed, nullptr);
    return;
  }
  if (IsTunnelRequest(TextIn(w.chunk))) {
    ServeTunnel(w, received);
    return;
  }
  ServeRequest(w, received);
}

void ServeRequest(Worker& w, long received) {
  if (!ForwardHead(w, received) || !RelayBothWays(w)) return;
  FinishExchange(w);
}
