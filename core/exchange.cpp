#include "core/exchange.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/access_rules.h"
#include "core/connection_close.h"
#include "core/failure_advice.h"
#include "core/failure_page.h"
#include "core/http2_exchange.h"
#include "core/https_exchange.h"
#include "core/interim_answers.h"
#include "core/last_page_url.h"
#include "core/message_framing.h"
#include "core/origin_pool.h"
#include "core/report_failure.h"
#include "core/request_head.h"
#include "core/request_target.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "core/tunnel.h"
#include "platform/delayed_close.h"
#include "platform/text_convert.h"

namespace {

using Clock = std::chrono::steady_clock;

// What became of one request.
enum class Outcome {
  kEnded,  // the client's connection is closed, or with the closer
  kNext,   // the connection stays, and its next request is read at once
  kKeep,   // the connection stays, waiting for the next request
};

// The target as the user knows it: "host:port", an IPv6 literal in brackets.
void DescribeTarget(const Worker& w, std::span<char> out) {
  std::string_view host = TextIn(w.targetHost);
  bool literal = host.find(':') != std::string_view::npos;
  std::snprintf(out.data(), out.size(), literal ? "[%.*s]:%u" : "%.*s:%u",
                static_cast<int>(host.size()), host.data(),
                static_cast<unsigned>(static_cast<uint32_t>(w.targetPort) & 0xFFFFu));
}

// Idempotent methods: a request of one that met a kept origin connection already closed is sent
// again on a new one, as browsers do. Never a POST.
bool MaySendAgain(std::string_view method) {
  for (std::string_view safe : {"GET", "HEAD", "OPTIONS", "TRACE", "PUT", "DELETE"})
    if (method == safe) return true;
  return false;
}

}  // namespace

size_t WriteFailureFor(const Worker& w, FailureKind kind, int code, std::span<char> out) {
  char words[128] = "";
  if (kind == FailureKind::kSilent) {
    std::snprintf(words, sizeof words, "Nothing came from it for %d seconds.",
                  w.run.options.idleTimeoutMs / 1000);
  } else if (kind == FailureKind::kNotFound || kind == FailureKind::kRefused ||
             kind == FailureKind::kUnreachable || kind == FailureKind::kTimedOut) {
    DescribeError(code, words);  // the system's own words for what it reported
  }
  return WriteFailurePage(out, kind, TextIn(w.targetHost), words);
}

void TellFailure(const Worker& w, FailureKind kind, const char16_t* step, int code) {
  if (step == nullptr) return;
  char target[kTargetHostSize + 16] = "";
  if (kind != FailureKind::kNoHost) DescribeTarget(w, target);
  std::u16string_view advice = StepAdvice(step);
  ShowFailure(code, step, TextIn(target),
              advice.empty() ? ExchangeAdvice(kind, w.viaUpstream) : advice);
}

// The user is told without waiting for them, once the client has its page.
void AnswerFailure(Worker& w, FailureKind kind, const char16_t* step) {
  int code = LastErrorCode();  // before anything else can change it
  w.client.Send({w.chunk, WriteFailureFor(w, kind, code, {w.chunk, kChunkBufferSize})});
  FinishExchange(w);
  TellFailure(w, kind, step, code);
}

FailureKind ConnectFailure(ConnectResult result, const char16_t** step) {
  *step = u"connect to server";
  switch (result) {
    case ConnectResult::kNoHost:  // as ever, a name without an address shows no box
      *step = nullptr;
      return FailureKind::kNotFound;
    case ConnectResult::kNoSocket:
      *step = u"create socket for server";
      return FailureKind::kUnreachable;
    case ConnectResult::kRefused:
      return FailureKind::kRefused;
    case ConnectResult::kTimedOut:
      return FailureKind::kTimedOut;
    case ConnectResult::kForbidden:
      *step = nullptr;
      return FailureKind::kForbidden;
    case ConnectResult::kLoop:
      *step = nullptr;
      return FailureKind::kLoop;
    case ConnectResult::kUnreachable:
    case ConnectResult::kConnected:
      break;
  }
  return FailureKind::kUnreachable;
}

namespace {

// How many bytes the first chunk takes once the head is complete. A body that fits comes with it
// even when the client writes it separately, so that the rewriting sees a form whole; a client
// waiting for "100 Continue" sends nothing more until it has an answer.
size_t FirstChunkBytes(const RequestHead& head) {
  if (head.body != BodyFraming::kLength || head.expectsContinue) return head.length;
  uint64_t wanted = head.length + head.contentLength;
  return wanted <= kChunkReceiveLimit ? static_cast<size_t>(wanted) : head.length;
}

// Picks the target: the upstream proxy, or the host and port the request names, with the Host
// line made to agree with an absolute address. False when the request was refused, answered.
bool ChooseTarget(Worker& w, const RequestHead& head) {
  char named[kTargetHostSize];
  int32_t port = 0;
  bool names = RequestTargetOf(head.target, head.host, named, &port);
  ProxySettings settings = CurrentSettings();
  w.viaUpstream = settings.UseProxy != 0;
  if (w.viaUpstream) {
    // The upstream proxy reaches the named host itself; where that could come back here or, for
    // a client from elsewhere, into this machine, it is judged first.
    if (names && !AcceptNamedTarget(w, named, port)) return false;
    WideToSingleByte(settings.ProxyName, w.targetHost);
    w.targetPort = settings.ProxyPort;
    return true;
  }
  if (!names) {
    AnswerFailure(w, FailureKind::kNoHost, u"get host miss");
    return false;
  }
  std::memcpy(w.targetHost, named, sizeof named);
  w.targetPort = port;
  if (PortOutOfRange(w.targetPort)) {
    AnswerFailure(w, FailureKind::kBadPort, nullptr);
    return false;
  }
  std::string_view authority = AuthorityOf(head.target);
  if (!authority.empty()) {
    // The address is the target: the Host line says the same, as RFC 9112 section 3.2.2 asks.
    char copy[kTargetHostSize + 8];
    std::snprintf(copy, sizeof copy, "%.*s", static_cast<int>(authority.size()), authority.data());
    if (!MatchHostLine(w.chunk, copy)) {  // no room for it: never a Host line that disagrees
      AnswerFailure(w, FailureKind::kHeadTooLarge, nullptr);
      return false;
    }
  }
  StripAbsoluteAddress(w.chunk);
  return true;
}

}  // namespace

OriginPlace OriginPlaceOf(const Worker& w) {
  OriginPlace place;
  bool tunnelled = w.inspected;
  place.tls = tunnelled && !w.tunnelPlain;
  const char* host = tunnelled ? w.tunnelHost : w.targetHost;
  std::snprintf(place.host, sizeof place.host, "%s", host);
  place.port = tunnelled ? w.tunnelPort : w.targetPort;
  if (w.viaUpstream && tunnelled) {
    std::snprintf(place.upstream, sizeof place.upstream, "%s", w.targetHost);
    place.upstreamPort = w.targetPort;
  }
  return place;
}

namespace {

// Connects to the target, or takes a kept connection to it; when that fails the client has its
// failure page.
bool ConnectOrAnswer(Worker& w, bool mayReuse) {
  w.serverReused = mayReuse && TakeIdleOrigin(OriginPlaceOf(w), &w.server);
  if (w.serverReused) return true;
  ConnectResult result = ConnectTarget(w);
  if (result == ConnectResult::kConnected) return true;
  const char16_t* step = nullptr;
  FailureKind kind = ConnectFailure(result, &step);
  AnswerFailure(w, kind, step);
  return false;
}

// Rewrites the head: the filters, the request address and its repair, the connection lines.
// Returns the count of bytes from the first NUL on, which the rewriting never sees and which are
// sent after the text.
long RewriteHead(Worker& w, long received) {
  const char* nul =
      static_cast<const char*>(std::memchr(w.chunk, '\0', static_cast<size_t>(received)));
  long tail = nul == nullptr ? 0 : received - (nul - w.chunk);
  if (tail > 0) std::memcpy(w.rawTail, nul, static_cast<size_t>(tail));
  // The rewriting never takes the room that the connection line needs.
  std::span<char> rewritable(w.chunk, kChunkBufferSize - kConnectionLineRoom);
  const ExchangeHooks& hooks = w.run.hooks;
  if (hooks.applyRequestFilters != nullptr) {
    char origin[kOriginTextSize];
    hooks.applyRequestFilters(rewritable, SecureOrigin(w, origin));
  }
  GetRequestAddress(TextIn(w.chunk), w.requestAddress);
  if (hooks.repairObjectAddress != nullptr)
    hooks.repairObjectAddress(rewritable, std::span<char>(w.requestAddress));
  ForceConnectionLine(w.chunk);
  return tail;
}

// Sends the rewritten head on, with what body came with it. False when the send failed.
bool ForwardHead(Worker& w, long tail) {
  return w.server.Send(TextIn(w.chunk)) && w.server.Send({w.rawTail, static_cast<size_t>(tail)});
}

// How far the answer has been looked at.
struct AnswerWatch {
  bool awaitingFinal = true;  // no final answer has begun yet: interim ones may come first
  bool large = false;         // the final answer's first chunk was full: more will come
  bool switched = false;      // "101 Switching Protocols": another protocol, never looked into
  bool overran = false;       // the origin sent bytes past its answer's end
  bool requestDone = false;   // the request ended by its framing, and the client is still there
  MessageFraming framing;     // where the final answer ends
};

// The origin's connection serves the next request to it, from this client or another, when both
// messages ended by their framing and nothing was ended early on it.
void KeepOriginWhenDone(Worker& w, const AnswerWatch& watch) {
  if (w.server.Open() && watch.requestDone && !watch.awaitingFinal && !watch.switched &&
      !watch.overran && !watch.framing.Broken() &&
      watch.framing.Where() == MessageFraming::End::kComplete && watch.framing.OriginKeepsAlive() &&
      !watch.framing.LastOnConnection())
    KeepIdleOrigin(OriginPlaceOf(w), &w.server);
}

// The final answer's first bytes within the chunk of length n: the page memory sees them as
// they arrived, then the rewriting edits them and the head says whether the connection stays.
// Interim answers before it pass as they are. Returns the length to send.
size_t LookAtAnswer(Worker& w, size_t n, AnswerWatch* watch, bool clientWantsMore) {
  size_t start = FinalAnswerStart({w.chunk, n});
  if (start == n) return n;  // interim answers alone: the final one is still to come
  watch->awaitingFinal = false;
  if (start == std::string_view::npos) return n;  // an interim head cut off: not looked into
  std::string_view answer(w.chunk + start, n - start);
  size_t headEnd = answer.find("\r\n\r\n");
  if (answer.starts_with("HTTP/1.1 101") || answer.starts_with("HTTP/1.0 101")) {
    watch->switched = true;  // its head keeps "Connection: Upgrade", and its bytes pass as they are
    w.keepClient = false;
    return n;
  }
  size_t bodyBytes = 0;
  if (headEnd != std::string_view::npos) {
    watch->framing.StartAnswer(answer.substr(0, headEnd + 4), w.headRequest);
    std::string_view body = answer.substr(headEnd + 4);
    bodyBytes = watch->framing.Feed(body);
    watch->overran = bodyBytes < body.size();
  }
  // The connection stays only where the answer's end is known without the origin's close, and
  // beyond doubt.
  w.keepClient = clientWantsMore && headEnd != std::string_view::npos &&
                 watch->framing.Where() != MessageFraming::End::kUntilClose &&
                 !watch->framing.LastOnConnection();
  // Chunks are followed byte by byte; anything else large goes on through the kernel.
  watch->large = n == kChunkReceiveLimit && !watch->framing.NeedsBytes();
  if (w.run.hooks.noteFirstAnswer != nullptr)
    w.run.hooks.noteFirstAnswer(answer, TextIn(w.requestAddress));
  size_t length = headEnd == std::string_view::npos ? n - start : headEnd + 4 + bodyBytes;
  if (w.run.hooks.editFirstAnswer != nullptr)
    length = w.run.hooks.editFirstAnswer({w.chunk + start, length});
  ReplaceConnectionLines({w.chunk + start, kChunkBufferSize - start}, &length,
                         w.keepClient ? kConnectionKeepAliveLine : kConnectionCloseLine);
  return start + length;
}

// Moves what the origin has on to the client inside the kernel, at most most bytes; kCannotSplice
// when these sides cannot be spliced (TLS), and the caller copies instead.
constexpr long kCannotSplice = -3;
long SpliceServerToClient(Worker& w, SplicePipe* pipe, size_t most) {
  // TLS bytes are decrypted and encrypted again here: they never go through the kernel's pipe.
  if (w.client.tls.Active() || w.server.tls.Active()) return kCannotSplice;
  if (!pipe->IsOpen() && !pipe->Open()) return kCannotSplice;
  return pipe->Move(w.server.socket, w.client.socket, most);
}

// What MoveAnswer returns when nothing was there yet.
constexpr int kNothingThere = 2;

// Moves the next piece of the answer to the client, waiting for it up to waitMs. 1 when moved,
// 0 when the origin has closed, -1 when the exchange failed, kNothingThere when nothing had come
// (over TLS, a record that carried no data, such as a session ticket).
int MoveAnswer(Worker& w, AnswerWatch* watch, SplicePipe* pipe, int waitMs, bool clientWantsMore,
               bool* anyByte) {
  // A large answer goes on through the kernel, unexamined but counted, until the client fails;
  // then the plain relay takes over again. Never past the answer's declared end.
  if (watch->large && !watch->switched) {
    uint64_t due = watch->framing.Remaining();
    bool counted = watch->framing.Where() == MessageFraming::End::kOpen;
    long moved = SpliceServerToClient(w, pipe, counted ? static_cast<size_t>(due) : SIZE_MAX);
    if (moved > 0) watch->framing.Skip(static_cast<uint64_t>(moved));
    if (moved >= 0) return moved > 0 ? 1 : 0;
    if (moved == -1 || (moved == kSpliceSinkFailed && LastErrorCode() != kErrorConnectionReset))
      return -1;
    watch->large = false;  // copied from now on
    if (moved == kSpliceSinkFailed) return 1;
  }
  long received = w.server.Receive({w.chunk, kChunkReceiveLimit}, waitMs);
  if (received == kReceiveTimedOut) return kNothingThere;
  if (received <= 0) return received == 0 ? 0 : -1;
  *anyByte = true;
  size_t length = static_cast<size_t>(received);
  // The final answer's head is looked at whole, as far as the chunk holds it: split over two
  // receives it would be taken for one that ends only at the close.
  while (watch->awaitingFinal && length < kChunkReceiveLimit) {
    std::string_view bytes(w.chunk, length);
    size_t start = FinalAnswerStart(bytes);
    if (start == length || bytes.find("\r\n\r\n", start == std::string_view::npos ? 0 : start) !=
                               std::string_view::npos)
      break;
    long more = w.server.Receive({w.chunk + length, kChunkReceiveLimit - length});
    if (more == kReceiveTimedOut) continue;  // a TLS record without data
    if (more <= 0) break;                    // what came is all there is: passed on as it is
    length += static_cast<size_t>(more);
  }
  if (watch->awaitingFinal) {
    length = LookAtAnswer(w, length, watch, clientWantsMore);
  } else if (!watch->switched) {
    size_t belongs = watch->framing.Feed({w.chunk, length});
    watch->overran = watch->overran || belongs < length;
    length = belongs;
  }
  // An answer that broke its framing goes no further: the client must not read it as whole.
  if (watch->framing.Broken()) return -1;
  // Back to the pool before the answer's last bytes go on: the client's next request, which
  // they set off, may want an origin connection a moment later.
  KeepOriginWhenDone(w, *watch);
  return w.client.Send({w.chunk, length}) ? 1 : -1;
}

// The request's body, as it passes from the client to the origin by its framing.
struct RequestWatch {
  MessageFraming framing;
  bool complete = false;  // its end has passed: the client is not read until the next request
  bool clientClosed = false;
};

// Moves the request's further bytes on to the origin by its framing: ended by its length or last
// chunk, or by the client's half-close (passed on). Bytes after the body's end stay pending for
// the next request. False when the client failed or its body broke its framing.
bool MoveRequest(Worker& w, RequestWatch* watch, bool switched) {
  long received = w.client.Receive({w.pending, kChunkReceiveLimit}, 0);
  if (received == kReceiveTimedOut) return true;  // a TLS record without data
  if (received < 0) return false;
  if (received == 0) {
    w.server.EndSending();
    watch->clientClosed = true;
    watch->complete = true;
    return true;
  }
  size_t length = static_cast<size_t>(received);
  size_t belongs = switched ? length : watch->framing.Feed({w.pending, length});
  if (watch->framing.Broken()) return false;
  if (!w.server.Send({w.pending, belongs})) return false;
  if (!switched && watch->framing.Where() == MessageFraming::End::kComplete) {
    watch->complete = true;
    w.pendingLength = length - belongs;  // the next request's first bytes, pipelined
    std::memmove(w.pending, w.pending + belongs, w.pendingLength);
  }
  return true;
}

// The origin has closed or the answer ended: whether what the client got is the whole answer. A
// cut one (short of its framing's end, or any end over TLS without the origin's goodbye where
// only the close could tell) must never look whole to the client.
bool AnswerWhole(const Worker& w, const AnswerWatch& watch) {
  if (watch.awaitingFinal || watch.switched) return true;  // nothing of an answer to cut
  MessageFraming::End end = watch.framing.Where();
  if (end == MessageFraming::End::kOpen) return false;
  if (end == MessageFraming::End::kUntilClose) return w.server.EndedWell();
  return true;
}

// How a relay ended.
enum class Relay {
  kWhole,      // the answer passed whole (and the request, when the client keeps its connection)
  kCut,        // it was cut short, or a side failed: both connections end with a reset
  kAnswered,   // the client has had a failure page in its place
  kSendAgain,  // a kept origin connection failed before a byte of the answer: try a new one
};

// After the head, bytes move both ways at once: the client's body by its framing, the origin's
// interim and final answers by theirs, until the answer has ended.
Relay RelayBothWays(Worker& w, RequestWatch* request, bool clientWantsMore) {
  AnswerWatch watch;
  SplicePipe pipe;
  bool anyByte = false;
  for (;;) {
    bool readClient = watch.switched || (!request->complete && !request->clientClosed);
    watch.requestDone = request->complete && !request->clientClosed;
    int ready =
        WaitForEither(readClient ? &w.client : nullptr, w.server, w.run.options.idleTimeoutMs);
    if (ready == 0 && watch.awaitingFinal) {
      // The origin took the request and said nothing: the client learns so instead of
      // seeing an empty close. Interim answers before it leave room for this final one.
      AnswerFailure(w, FailureKind::kSilent, nullptr);
      return Relay::kAnswered;
    }
    if (ready <= 0) return Relay::kCut;  // nothing moved for the idle time, or the wait failed
    if ((ready & kReadyB) != 0) {
      int moved = MoveAnswer(w, &watch, &pipe, 0, clientWantsMore, &anyByte);
      // The origin's next bytes, or its end, have often come meanwhile: a small answer's end is
      // there as soon as its bytes are. Taking them at once saves a wait; the splice path
      // blocks, so it waits as before.
      if (moved == 1 && !watch.large && !watch.switched &&
          watch.framing.Where() != MessageFraming::End::kComplete)
        moved = MoveAnswer(w, &watch, &pipe, 0, clientWantsMore, &anyByte);
      if (moved < 0 || moved == 0) {
        if (!anyByte && w.serverReused && !request->clientClosed) return Relay::kSendAgain;
        if (moved < 0) {
          // An origin that failed before answering is explained when the reason is known.
          if (watch.awaitingFinal && ExplainOriginRefusal(w)) return Relay::kAnswered;
          return Relay::kCut;
        }
        if (!AnswerWhole(w, watch)) return Relay::kCut;
        // Over TLS the client hears our goodbye only when the origin said its own.
        if (!w.server.EndedWell()) w.client.tls.Abort();
        w.keepClient = false;  // the origin's close ended it: nothing can follow
        return Relay::kWhole;
      }
      if (!watch.awaitingFinal && !watch.switched &&
          watch.framing.Where() == MessageFraming::End::kComplete) {
        if (watch.overran || watch.framing.Broken()) return Relay::kCut;
        // The answer is whole. The client's next request must wait for the rest of this one's
        // body; one that never ends it cannot keep its connection.
        if (!request->complete) w.keepClient = false;
        KeepOriginWhenDone(w, watch);  // when it went on through the kernel
        return Relay::kWhole;
      }
    }
    if ((ready & kReadyA) != 0 && !MoveRequest(w, request, watch.switched)) return Relay::kCut;
  }
}

// A client from elsewhere may use the proxy when the allowed clients name it.
bool RemoteClientAllowed(const Worker& w) {
  ProxySettings settings = CurrentSettings();
  char allowed[kBypassListUnits * 3];
  WideToSingleByte(settings.AllowedClients, allowed);
  return ClientAllowed(w.clientAddress, TextIn(allowed));
}

// What a request starts from: nothing that an earlier request on this worker or connection left
// may reach this one's request address, target or rewriting.
void ForgetEarlierRequest(Worker& w) {
  w.requestAddress[0] = '\0';
  w.targetHost[0] = '\0';
  w.targetPort = 0;
  w.viaUpstream = false;
  w.headRequest = false;
  w.keepClient = false;
  w.serverReused = false;
}

// Answers a head that could be read two ways, or is too large to read, and ends the connection:
// nothing of it reaches any origin.
Outcome RefuseHead(Worker& w, FailureKind kind) {
  w.targetHost[0] = '\0';
  AnswerFailure(w, kind, nullptr);
  return Outcome::kEnded;
}

// One request of the connection, from its head to the end of its answer.
Outcome ServeRequest(Worker& w, bool first) {
  ForgetEarlierRequest(w);
  long received = ReceiveHead(w);
  // A connection closed before it carried a byte is no request: browsers open spare connections
  // and close them unused, and that is no failure to show anyone. Between requests it is the
  // client's goodbye.
  if (received <= 0) {
    if (received == 0 && !first) {
      ForgetExchange(w);
      w.client.Close();
      return Outcome::kEnded;
    }
    EndExchange(w);
    return Outcome::kEnded;
  }
  RequestHead head;
  switch (ReadRequestHead({w.chunk, static_cast<size_t>(received)}, &head)) {
    case HeadVerdict::kComplete:
      break;
    case HeadVerdict::kTooLarge:
      return RefuseHead(w, FailureKind::kHeadTooLarge);
    case HeadVerdict::kBad:
    case HeadVerdict::kIncomplete: {  // the client closed, or its head ended where no head can
      std::string_view text(w.chunk, static_cast<size_t>(received));
      // HTTP/2's preface: a clean end, and no origin ever hears of it. Another version: 505.
      if (text.starts_with("PRI * HTTP/2.0")) {
        FinishExchange(w);
        return Outcome::kEnded;
      }
      std::string_view line = text.substr(0, text.find("\r\n"));
      if (line.size() > 9 && line.substr(line.rfind(' ') + 1).starts_with("HTTP/") &&
          !line.ends_with(" HTTP/1.1") && !line.ends_with(" HTTP/1.0"))
        return RefuseHead(w, FailureKind::kNotHttp1);
      return RefuseHead(w, FailureKind::kBadRequest);
    }
  }
  if (first && w.remoteClient && !RemoteClientAllowed(w)) {
    AnswerFailure(w, FailureKind::kNotAllowed, nullptr);
    return Outcome::kEnded;
  }
  if (head.method == "CONNECT") {
    // A tunnel inside an inspected one is no request of a browser's.
    if (w.inspected) return RefuseHead(w, FailureKind::kBadRequest);
    // An inspected tunnel's first request follows its handshake at once, within the head's time.
    return ServeTunnel(w, received) ? Outcome::kNext : Outcome::kEnded;
  }
  if (w.inspected && !MakeAddressAbsoluteForTunnel(w, &received, &head)) {
    EndExchange(w);
    return Outcome::kEnded;
  }
  w.headRequest = head.method == "HEAD";
  // What came of a body with a declared length joins the head, for the rewriting to see as it
  // always has; the rest, and chunks, pass by their framing from the pending bytes.
  size_t taken = head.length;
  if (head.body == BodyFraming::kLength && !head.expectsContinue)
    taken = static_cast<size_t>(
        std::min<uint64_t>(static_cast<uint64_t>(received), head.length + head.contentLength));
  w.pendingLength = static_cast<size_t>(received) - taken;
  std::memcpy(w.pending, w.chunk + taken, w.pendingLength);
  w.chunk[taken] = '\0';
  RequestWatch request;
  request.framing.StartRequest(head.body, head.contentLength);
  request.framing.Feed({w.chunk + head.length, taken - head.length});
  // A body's bytes that came with the head beyond the first chunk go on before any new ones.
  size_t early = request.framing.Feed({w.pending, w.pendingLength});
  request.complete = request.framing.Where() == MessageFraming::End::kComplete;
  // Chunks broken already in what came: refused before any origin hears of the request.
  if (request.framing.Broken()) return RefuseHead(w, FailureKind::kBadRequest);

  long tail = RewriteHead(w, static_cast<long>(taken));
  if (w.inspected) {
    ChooseInspectedTarget(w);
  } else if (!ChooseTarget(w, head)) {
    return Outcome::kEnded;
  }
  // A request whose bytes are all at hand can be sent again on a new connection.
  bool mayRepeat = MaySendAgain(head.method) && early == 0 && request.complete;
  for (int attempt = 0;; ++attempt) {
    if (!ConnectOrAnswer(w, attempt == 0)) return Outcome::kEnded;
    if (w.inspected && !w.serverReused) {
      // Over HTTP/2, for an origin that speaks nothing else, a request whose bytes are all here.
      bool whole = request.complete && early == 0 && tail == 0;
      switch (SecureInspectedOrigin(w, whole)) {
        case OriginSecured::kHttp11:
          break;
        case OriginSecured::kRefused:
          return Outcome::kEnded;
        case OriginSecured::kHttp2:
          if (!ServeHttp1OverHttp2(w, TextIn(w.chunk), head.keepAlive)) {
            EndExchange(w);
            return Outcome::kEnded;
          }
          if (!w.keepClient) {
            FinishExchange(w);
            return Outcome::kEnded;
          }
          return w.pendingLength > 0 ? Outcome::kNext : Outcome::kKeep;
      }
    }
    if (!ForwardHead(w, tail) || !w.server.Send({w.pending, early})) {
      if (w.serverReused && mayRepeat) {
        w.server.Reset();
        continue;
      }
      if (!ExplainOriginRefusal(w)) EndExchange(w);
      return Outcome::kEnded;
    }
    std::memmove(w.pending, w.pending + early, w.pendingLength - early);
    w.pendingLength -= early;
    early = 0;
    Relay relay = RelayBothWays(w, &request, head.keepAlive);
    if (relay == Relay::kSendAgain && mayRepeat) {
      w.server.Reset();
      continue;
    }
    if (relay == Relay::kAnswered) return Outcome::kEnded;
    if (relay != Relay::kWhole) {
      EndExchange(w);
      return Outcome::kEnded;
    }
    break;
  }
  if (w.server.Open()) w.server.Close();  // not kept: the origin's data ended, or is unwanted
  if (!w.keepClient) {
    FinishExchange(w);
    return Outcome::kEnded;
  }
  return w.pendingLength > 0 ? Outcome::kNext : Outcome::kKeep;
}

// Between requests: the client's connection waits for its next one, parked without the worker
// where the system allows, else with it, for the idle bound.
bool AwaitNextRequest(Worker& w) {
  ForgetExchange(w);
  // A client that pipelines, or asks again at once, has often sent its next request already:
  // taken up here, it costs no round through the listener's wait and another worker.
  if (WaitForEither(nullptr, w.client, 0) > 0) {
    TrackExchange(w);
    return true;
  }
  if (ParkClient(w)) return false;
  int ready = WaitForEither(nullptr, w.client, w.run.options.clientIdleMs);
  if (ready > 0) {
    TrackExchange(w);
    return true;
  }
  w.client.Close();
  return false;
}

}  // namespace

void EndExchange(Worker& w) {
  // No goodbye and a reset: whatever the client got, it must not take it for whole.
  w.server.Reset();
  ForgetExchange(w);
  w.client.Reset();
}

long ReceiveHead(Worker& w) {
  Clock::time_point deadline = w.headDeadline;
  w.headDeadline = {};
  if (deadline == Clock::time_point{})
    deadline = Clock::now() + std::chrono::milliseconds(w.run.options.headTimeoutMs);
  return ReceiveHead(w, deadline);
}

long ReceiveHead(Worker& w, Clock::time_point deadline) {
  // The pending bytes, the start of this head, come first.
  size_t received = std::min(w.pendingLength, kChunkReceiveLimit);
  std::memcpy(w.chunk, w.pending, received);
  w.pendingLength = 0;
  size_t wanted = 0;  // known once the head is complete
  for (;;) {
    if (wanted == 0) {
      size_t blank = std::string_view(w.chunk, received).find("\r\n\r\n");
      if (blank != std::string_view::npos) {
        RequestHead head;
        wanted = ReadRequestHead({w.chunk, received}, &head) == HeadVerdict::kComplete
                     ? FirstChunkBytes(head)
                     : blank + 4;
      }
    }
    if ((wanted != 0 && received >= wanted) || received == kChunkReceiveLimit) break;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return -1;
    long n = w.client.Receive({w.chunk + received, kChunkReceiveLimit - received},
                              static_cast<int>(left.count()));
    if (n < 0) return -1;
    if (n == 0) break;
    received += static_cast<size_t>(n);
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
      ConnectToHost(w.targetHost, port, w.run.options.connectTimeoutMs, &w.server.socket, &check);
  if (result == ConnectResult::kConnected) {
    SetIdleTimeout(w.server.socket, w.run.options.idleTimeoutMs);
    SendAtOnce(w.server.socket);  // a head and its body go as written, never held for an ACK
  }
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

void FinishExchange(Worker& w) {
  if (w.server.Open()) w.server.Close();  // the origin's data was read to its end, or is unwanted
  w.client.EndSending();
  w.client.tls.Close();  // what the client still sends is read raw and dropped from here on
  ForgetExchange(w);
  if (CloseLater(w.client.socket, w.run.options.closeDelayMs)) return;
  // No room with the closer: this thread keeps the connection for the delay itself.
  auto deadline = Clock::now() + std::chrono::milliseconds(w.run.options.closeDelayMs);
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 ||
        w.client.Receive({w.chunk, kChunkReceiveLimit}, static_cast<int>(left.count())) <= 0)
      break;
  }
  ShutdownBoth(w.client.socket);
  w.client.socket.Close();
}

void ServeConnection(Worker& w, bool resumed) {
  TrackExchange(w);
  // Clients on this machine share one page memory; each other has its own.
  UsePageMemoryOf(w.remoteClient ? w.clientAddress : IpAddress{});
  bool first = !resumed;
  for (;;) {
    switch (ServeRequest(w, first)) {
      case Outcome::kEnded:
        return;
      case Outcome::kNext:
        break;
      case Outcome::kKeep:
        if (!AwaitNextRequest(w)) return;
        break;
    }
    first = false;
  }
}

void ServeExchange(Worker& w) {
  w.headDeadline = {};  // a new client's head has its own time, whatever the last one left
  w.inspected = false;
  w.tunnelPlain = false;
  w.pendingLength = 0;
  w.remoteClient = w.clientAddress.length != 0 && !IsLocalClient(w.clientAddress);
  ServeConnection(w, false);
}
