#include "core/http2_exchange.h"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "core/connection_close.h"
#include "core/failure_page.h"
#include "core/http2_headers.h"
#include "core/https_exchange.h"
#include "core/interim_answers.h"
#include "core/message_framing.h"
#include "core/origin_pool.h"
#include "core/request_target.h"
#include "core/toolkit.h"

namespace {

// Fields of one head, as many as an HTTP/1.1 head of kChunkReceiveLimit bytes could hold.
constexpr size_t kMostFields = 256;

// Bytes waiting to go on: a request's body for the origin, an answer's for the browser. Grows
// as needed; the windows (HTTP/2) and kHttp2LaneBuffer (HTTP/1.1) bound what it holds.
class Bytes {
 public:
  size_t Size() const { return bytes_.size() - start_; }
  bool Empty() const { return Size() == 0; }
  const char* Data() const { return bytes_.data() + start_; }
  void Append(const char* data, size_t size) {
    Compact();
    bytes_.insert(bytes_.end(), data, data + size);
  }
  // Room for size more bytes at the end; Commit says how many were written there.
  char* Room(size_t size) {
    Compact();
    filled_ = bytes_.size();
    bytes_.resize(filled_ + size);
    return bytes_.data() + filled_;
  }
  void Commit(size_t written) { bytes_.resize(filled_ + written); }
  size_t Take(char* out, size_t most) {
    size_t n = std::min(most, Size());
    if (n != 0) std::memcpy(out, Data(), n);
    Drop(n);
    return n;
  }
  void Drop(size_t n) {
    start_ += n;
    if (start_ == bytes_.size()) Clear();
  }
  void Clear() {
    bytes_.clear();
    start_ = 0;
  }

 private:
  void Compact() {
    if (start_ == 0) return;
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  std::vector<char> bytes_;
  size_t start_ = 0;
  size_t filled_ = 0;
};

enum class Phase {
  kHeaders,  // its head is arriving
  kBody,     // a small body is awaited whole, so that the rewriting sees it
  kQueued,   // rewritten, waiting for an origin connection
  kSent,     // with the origin
};

// One stream of the browser's connection: one exchange.
struct Stream {
  int32_t id = 0;        // the browser's stream; 0 while the slot is free
  int32_t originId = 0;  // the HTTP/2 origin's stream carrying it, once sent there
  int lane = -1;         // the HTTP/1.1 origin connection carrying it
  Phase phase = Phase::kHeaders;
  bool tooLarge = false;       // its head did not fit
  bool requestEnded = false;   // the browser's END_STREAM has come
  bool chunkedUpload = false;  // to an HTTP/1.1 origin its body goes in chunks
  bool laneReady = false;      // head holds the request as an HTTP/1.1 origin takes it
  bool mayRepeat = false;      // idempotent and without a body: may go again on a new connection
  bool headRequest = false;
  bool answerStarted = false;  // its head went to the browser
  bool answerEnded = false;    // answer holds the rest of the body
  bool anyAnswerByte = false;
  bool cut = false;  // ended before its answer did (an HTTP/1.1 browser's, which has no reset)
  size_t requestOwed = 0;  // received from the browser, not yet consumed (its window)
  size_t answerOwed = 0;   // received from the HTTP/2 origin, not yet consumed
  // The request's fields, then its HTTP/1.1 head; later the answer's head.
  char head[kChunkBufferSize];
  size_t headLength = 0;
  char requestAddress[kRequestAddressSize];
  Bytes request;
  Bytes answer;
  MessageFraming answerFraming;  // an HTTP/1.1 origin's answer

  void Free() {
    id = originId = 0;
    lane = -1;
    phase = Phase::kHeaders;
    tooLarge = requestEnded = chunkedUpload = laneReady = mayRepeat = headRequest = false;
    answerStarted = answerEnded = anyAnswerByte = cut = false;
    requestOwed = answerOwed = 0;
    headLength = 0;
    requestAddress[0] = '\0';
    request.Clear();
    answer.Clear();
    answerFraming = MessageFraming{};
  }
};

// An HTTP/1.1 origin connection and the stream it carries (-1: none, kept for the next).
struct Lane {
  Connection connection;
  int stream = -1;
  bool reused = false;  // it carried an answer before, here or for another client
};

struct Mux {
  explicit Mux(Worker& worker) : w(worker) {}
  Worker& w;
  nghttp2_session* browser = nullptr;
  nghttp2_session* origin = nullptr;  // over originConnection, when the origin speaks HTTP/2
  Connection originConnection;
  bool originHttp1 = false;  // the origin chose HTTP/1.1: lanes carry the streams
  Lane lanes[kOriginsPerPlace];
  OriginPlace place;  // where the lanes go, as the settings said when they were opened
  std::unique_ptr<Stream> slots[kHttp2MostStreams];
  bool browserGone = false;
  // With no browser session, the one stream is an HTTP/1.1 browser's request: its answer goes
  // to the worker's client as HTTP/1.1, chunked where its length is not known.
  bool keepAlive = false;
  bool http10 = false;  // it knows no chunks: an answer of unknown length ends at the close
  bool chunkedAnswer = false;
};

// Ends the browser's stream before its answer did.
void ResetBrowserStream(Mux& m, Stream& s, uint32_t code) {
  if (m.browser != nullptr)
    nghttp2_submit_rst_stream(m.browser, NGHTTP2_FLAG_NONE, s.id, code);
  else
    s.cut = true;
}

Stream* StreamOf(nghttp2_session* session, int32_t id) {
  return static_cast<Stream*>(nghttp2_session_get_stream_user_data(session, id));
}

Stream* NewStream(Mux& m, int32_t id) {
  for (auto& slot : m.slots) {
    if (slot == nullptr) slot = std::make_unique<Stream>();
    if (slot->id == 0) {
      slot->id = id;
      return slot.get();
    }
  }
  return nullptr;
}

std::string_view Collected(const Stream& s) {
  return {s.head, s.headLength};
}

std::string_view FieldValue(std::string_view collected, std::string_view name) {
  for (size_t at = 0; at < collected.size();) {
    size_t end = collected.find("\r\n", at);
    std::string_view line = collected.substr(at, end - at);
    at = end == std::string_view::npos ? collected.size() : end + 2;
    if (line.size() > name.size() + 1 && line.starts_with(name) && line[name.size()] == ':')
      return line.substr(name.size() + 2);
  }
  return {};
}

void CloseLane(Mux& m, int lane) {
  m.lanes[lane].connection.Reset();
  m.lanes[lane].stream = -1;
  m.lanes[lane].reused = false;
}

// The stream DATA of length bytes arrived for; one gone already gives its share of the
// connection's window back at once.
Stream* Receiving(nghttp2_session* session, int32_t id, size_t length) {
  Stream* s = StreamOf(session, id);
  if (s == nullptr) nghttp2_session_consume_connection(session, length);
  return s;
}

bool CollectInto(Stream& s, const uint8_t* name, size_t nameLength, const uint8_t* value,
                 size_t valueLength) {
  return CollectField({s.head, kChunkReceiveLimit}, &s.headLength,
                      {reinterpret_cast<const char*>(name), nameLength},
                      {reinterpret_cast<const char*>(value), valueLength});
}

// The header list of an HTTP/1.1 head, as nghttp2 takes it (it copies the bytes). 0 when the
// head cannot be one.
size_t HeaderList(std::span<char> head, std::span<nghttp2_nv> nv) {
  HeaderField fields[kMostFields];
  size_t count = ToHttp2Fields(head, std::span(fields).first(std::min(nv.size(), kMostFields)));
  for (size_t i = 0; i < count; ++i)
    nv[i] = {reinterpret_cast<uint8_t*>(const_cast<char*>(fields[i].name.data())),
             reinterpret_cast<uint8_t*>(const_cast<char*>(fields[i].value.data())),
             fields[i].name.size(), fields[i].value.size(), NGHTTP2_NV_FLAG_NONE};
  return count;
}

// --- the browser's side ---------------------------------------------------------------------

void ConsumeRequest(Mux& m, Stream& s, size_t n) {
  n = std::min(n, s.requestOwed);
  if (n == 0) return;
  s.requestOwed -= n;
  nghttp2_session_consume(m.browser, s.id, n);
}

// n bytes of the answer have gone on: the HTTP/2 origin's windows open again by as many.
void AnswerTaken(Mux& m, Stream& s, size_t n) {
  size_t owed = std::min(n, s.answerOwed);
  if (owed == 0 || m.origin == nullptr) return;
  s.answerOwed -= owed;
  nghttp2_session_consume_connection(m.origin, owed);
  if (s.originId != 0) nghttp2_session_consume_stream(m.origin, s.originId, owed);
}

// The answer's bytes go to the browser as they come; the stream's window at the HTTP/2 origin
// opens again as they leave.
ssize_t ReadAnswer(nghttp2_session*, int32_t, uint8_t* buffer, size_t length, uint32_t* flags,
                   nghttp2_data_source* source, void* user) {
  auto& m = *static_cast<Mux*>(user);
  auto& s = *static_cast<Stream*>(source->ptr);
  size_t n = s.answer.Take(reinterpret_cast<char*>(buffer), length);
  AnswerTaken(m, s, n);
  if (s.answerEnded && s.answer.Empty()) {
    *flags |= NGHTTP2_DATA_FLAG_EOF;
    return static_cast<ssize_t>(n);
  }
  return n == 0 ? ssize_t{NGHTTP2_ERR_DEFERRED} : static_cast<ssize_t>(n);
}

// Sends the browser the answer whose HTTP/1.1 head is in text; its body follows from s.answer.
void SubmitAnswer(Mux& m, Stream& s, std::span<char> text, bool hasBody) {
  nghttp2_nv nv[kMostFields];
  size_t count = HeaderList(text, nv);
  if (count == 0) {
    ResetBrowserStream(m, s, NGHTTP2_INTERNAL_ERROR);
    return;
  }
  nghttp2_data_provider body{};
  body.source.ptr = &s;
  body.read_callback = ReadAnswer;
  s.answerStarted = true;
  nghttp2_submit_response(m.browser, s.id, nv, count, hasBody ? &body : nullptr);
}

// The stream's answer is the failure page of kind: the origin never had its request.
void FailStream(Mux& m, Stream& s, FailureKind kind, std::string_view detail, bool connectStep,
                const char16_t* step, int code) {
  size_t n = connectStep ? WriteFailureFor(m.w, kind, code, {m.w.chunk, kChunkBufferSize})
                         : WriteFailurePage({m.w.chunk, kChunkBufferSize}, kind,
                                            TextIn(m.w.tunnelHost), detail);
  std::string_view page(m.w.chunk, n);
  size_t headEnd = page.find("\r\n\r\n");
  if (headEnd == std::string_view::npos) return;
  // Whatever the origin still had of it is over: the page is the whole answer.
  if (s.originId != 0 && m.origin != nullptr) {
    nghttp2_session_set_stream_user_data(m.origin, s.originId, nullptr);
    nghttp2_submit_rst_stream(m.origin, NGHTTP2_FLAG_NONE, s.originId, NGHTTP2_CANCEL);
    s.originId = 0;
  }
  if (s.lane >= 0) CloseLane(m, s.lane);
  s.lane = -1;
  s.answer.Clear();
  s.answer.Append(page.data() + headEnd + 4, n - headEnd - 4);
  s.answerEnded = true;
  s.phase = Phase::kSent;
  SubmitAnswer(m, s, {m.w.chunk, headEnd + 4}, true);
  if (connectStep) TellFailure(m.w, kind, step, code);
}

// Makes the collected request fields an HTTP/1.1 head in the worker's chunk, with a small body
// whole after it, and rewrites it as a plain request is rewritten. Then the stream waits for
// an origin.
void RewriteRequest(Mux& m, Stream& s) {
  Worker& w = m.w;
  char origin[kOriginTextSize];
  std::string_view secureOrigin = SecureOrigin(w, origin);
  std::span<char> rewritable(w.chunk, kChunkBufferSize - kConnectionLineRoom);
  size_t length = WriteHttp1Head(Collected(s), secureOrigin, rewritable.first(kChunkReceiveLimit));
  if (length == 0 || s.tooLarge) {
    FailStream(m, s, s.tooLarge ? FailureKind::kHeadTooLarge : FailureKind::kBadRequest, "", false,
               nullptr, 0);
    return;
  }
  // A body awaited whole, and free of NULs, joins the head as a plain request's would.
  bool bodyInText = s.phase == Phase::kBody && s.request.Size() <= kChunkReceiveLimit - length &&
                    std::memchr(s.request.Data(), '\0', s.request.Size()) == nullptr;
  if (bodyInText) {
    std::memcpy(w.chunk + length, s.request.Data(), s.request.Size());
    length += s.request.Size();
    w.chunk[length] = '\0';
    s.request.Clear();
    ConsumeRequest(m, s, s.requestOwed);  // the stream has ended: all of it is here
  }
  const ExchangeHooks& hooks = w.run.hooks;
  if (hooks.applyRequestFilters != nullptr) hooks.applyRequestFilters(rewritable, secureOrigin);
  GetRequestAddress(TextIn(w.chunk), s.requestAddress);
  if (hooks.repairObjectAddress != nullptr)
    hooks.repairObjectAddress(rewritable, std::span<char>(s.requestAddress));
  std::string_view text = TextIn(w.chunk);
  size_t headEnd = text.find("\r\n\r\n");
  if (headEnd == std::string_view::npos) {
    FailStream(m, s, FailureKind::kBadRequest, "", false, nullptr, 0);
    return;
  }
  if (bodyInText) s.request.Append(text.data() + headEnd + 4, text.size() - headEnd - 4);
  std::memcpy(s.head, text.data(), headEnd + 4);
  s.headLength = headEnd + 4;
  s.head[s.headLength] = '\0';
  s.headRequest = text.starts_with("HEAD ");
  s.mayRepeat = (text.starts_with("GET ") || s.headRequest || text.starts_with("OPTIONS ")) &&
                s.requestEnded && s.request.Empty();
  s.phase = Phase::kQueued;
}

// The browser's head is complete: rewritten now, or once a small body has come whole.
void StartRequest(Mux& m, Stream& s) {
  if (s.tooLarge || s.requestEnded) {
    RewriteRequest(m, s);
    return;
  }
  std::string_view length = FieldValue(Collected(s), "content-length");
  uint64_t declared = 0;
  bool known = !length.empty();
  for (char c : length) {
    if (c < '0' || c > '9' || declared > kChunkReceiveLimit) {
      known = false;
      break;
    }
    declared = declared * 10 + static_cast<uint64_t>(c - '0');
  }
  if (known && declared + s.headLength + 64 < kChunkReceiveLimit) {
    s.phase = Phase::kBody;
    return;
  }
  RewriteRequest(m, s);
}

int OnBrowserBeginHeaders(nghttp2_session* session, const nghttp2_frame* frame, void* user) {
  auto& m = *static_cast<Mux*>(user);
  if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
  Stream* s = NewStream(m, frame->hd.stream_id);
  if (s == nullptr) {
    nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE, frame->hd.stream_id,
                              NGHTTP2_REFUSED_STREAM);
    return 0;
  }
  nghttp2_session_set_stream_user_data(session, frame->hd.stream_id, s);
  return 0;
}

int OnBrowserHeader(nghttp2_session* session, const nghttp2_frame* frame, const uint8_t* name,
                    size_t nameLength, const uint8_t* value, size_t valueLength, uint8_t, void*) {
  Stream* s = StreamOf(session, frame->hd.stream_id);
  if (s == nullptr || s->phase != Phase::kHeaders) return 0;  // a request's trailer: not passed on
  if (!CollectInto(*s, name, nameLength, value, valueLength)) s->tooLarge = true;
  return 0;
}

int OnBrowserData(nghttp2_session* session, uint8_t, int32_t id, const uint8_t* data, size_t length,
                  void* user) {
  auto& m = *static_cast<Mux*>(user);
  Stream* s = Receiving(session, id, length);
  if (s == nullptr) return 0;
  s->requestOwed += length;
  s->request.Append(reinterpret_cast<const char*>(data), length);
  if (s->originId != 0 && m.origin != nullptr) nghttp2_session_resume_data(m.origin, s->originId);
  return 0;
}

int OnBrowserFrame(nghttp2_session* session, const nghttp2_frame* frame, void* user) {
  auto& m = *static_cast<Mux*>(user);
  Stream* s = StreamOf(session, frame->hd.stream_id);
  if (s == nullptr) return 0;
  bool ended = (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0;
  if (ended) s->requestEnded = true;
  if (frame->hd.type == NGHTTP2_HEADERS && s->phase == Phase::kHeaders) {
    StartRequest(m, *s);
  } else if (ended && s->phase == Phase::kBody) {
    RewriteRequest(m, *s);
  }
  if (ended && s->originId != 0 && m.origin != nullptr)
    nghttp2_session_resume_data(m.origin, s->originId);
  return 0;
}

// The browser's stream has ended, its answer sent or either side's reset: what the origin
// still has of it is cancelled, and the slot is free.
int OnBrowserStreamClose(nghttp2_session* session, int32_t id, uint32_t, void* user) {
  auto& m = *static_cast<Mux*>(user);
  Stream* s = StreamOf(session, id);
  if (s == nullptr) return 0;
  if (s->requestOwed != 0) nghttp2_session_consume_connection(session, s->requestOwed);
  if (m.origin != nullptr) {
    if (s->answerOwed != 0) nghttp2_session_consume_connection(m.origin, s->answerOwed);
    if (s->originId != 0) {
      nghttp2_session_set_stream_user_data(m.origin, s->originId, nullptr);
      if (!s->answerEnded)
        nghttp2_submit_rst_stream(m.origin, NGHTTP2_FLAG_NONE, s->originId, NGHTTP2_CANCEL);
    }
  }
  // An HTTP/1.1 origin's answer that did not end cannot leave its connection for another.
  if (s->lane >= 0 && m.lanes[s->lane].stream >= 0 && m.slots[m.lanes[s->lane].stream].get() == s)
    CloseLane(m, s->lane);
  s->Free();
  return 0;
}

// --- the HTTP/2 origin's side ----------------------------------------------------------------

void ResumeAnswer(Mux& m, Stream& s) {
  if (s.answerStarted && m.browser != nullptr) nghttp2_session_resume_data(m.browser, s.id);
}

ssize_t ReadRequestBody(nghttp2_session*, int32_t, uint8_t* buffer, size_t length, uint32_t* flags,
                        nghttp2_data_source* source, void* user) {
  auto& m = *static_cast<Mux*>(user);
  auto& s = *static_cast<Stream*>(source->ptr);
  size_t n = s.request.Take(reinterpret_cast<char*>(buffer), length);
  ConsumeRequest(m, s, n);
  if (s.requestEnded && s.request.Empty()) {
    *flags |= NGHTTP2_DATA_FLAG_EOF;
    return static_cast<ssize_t>(n);
  }
  return n == 0 ? ssize_t{NGHTTP2_ERR_DEFERRED} : static_cast<ssize_t>(n);
}

// The answer's head from the HTTP/2 origin, collected in s.head, is complete: the page memory
// sees it and the rewriting edits it as an HTTP/1.1 answer's, then the browser has it.
void FinishAnswerHead(Mux& m, Stream& s, bool ended) {
  Worker& w = m.w;
  // Room is left for the lines an HTTP/1.1 browser's head gets.
  size_t length = WriteHttp1Head(Collected(s), "", {w.chunk, kChunkReceiveLimit});
  if (length == 0) {
    ResetBrowserStream(m, s, NGHTTP2_PROTOCOL_ERROR);
    return;
  }
  if (w.run.hooks.noteFirstAnswer != nullptr)
    w.run.hooks.noteFirstAnswer({w.chunk, length}, TextIn(s.requestAddress));
  if (w.run.hooks.editFirstAnswer != nullptr)
    length = w.run.hooks.editFirstAnswer({w.chunk, length});
  s.answerEnded = ended;
  if (m.browser != nullptr) {
    SubmitAnswer(m, s, {w.chunk, length}, !ended && !s.headRequest);
    return;
  }
  // An HTTP/1.1 browser learns the body's end from its length, or else from its chunks.
  std::string_view status = FieldValue(Collected(s), ":status");
  bool bodiless = ended || s.headRequest || status == "204" || status == "304";
  bool unknownLength = !bodiless && FieldValue(Collected(s), "content-length").empty();
  m.chunkedAnswer = unknownLength && !m.http10;
  if (unknownLength && m.http10) m.keepAlive = false;
  if (m.chunkedAnswer) {
    constexpr std::string_view kChunked = "Transfer-Encoding: chunked\r\n\r\n";
    std::memcpy(w.chunk + length - 2, kChunked.data(), kChunked.size());
    length += kChunked.size() - 2;
  }
  ReplaceConnectionLines({w.chunk, kChunkBufferSize}, &length,
                         m.keepAlive ? kConnectionKeepAliveLine : kConnectionCloseLine);
  s.answerStarted = true;
  if (!w.client.Send({w.chunk, length})) s.cut = true;
}

int OnOriginHeader(nghttp2_session* session, const nghttp2_frame* frame, const uint8_t* name,
                   size_t nameLength, const uint8_t* value, size_t valueLength, uint8_t, void*) {
  Stream* s = StreamOf(session, frame->hd.stream_id);
  if (s == nullptr || s->answerStarted) return 0;  // an answer's trailer: not passed on
  s->anyAnswerByte = true;
  if (!CollectInto(*s, name, nameLength, value, valueLength))
    return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;  // that stream alone is reset
  return 0;
}

int OnOriginFrame(nghttp2_session* session, const nghttp2_frame* frame, void* user) {
  auto& m = *static_cast<Mux*>(user);
  Stream* s = StreamOf(session, frame->hd.stream_id);
  if (s == nullptr) return 0;
  bool ended = (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0;
  if (frame->hd.type == NGHTTP2_HEADERS && !s->answerStarted) {
    std::string_view status = FieldValue(Collected(*s), ":status");
    if (status.starts_with('1') && !ended) {
      s->headLength = 0;  // an interim answer: the final one follows
      return 0;
    }
    FinishAnswerHead(m, *s, ended);
    return 0;
  }
  if (ended) {
    s->answerEnded = true;
    ResumeAnswer(m, *s);
  }
  return 0;
}

int OnOriginData(nghttp2_session* session, uint8_t, int32_t id, const uint8_t* data, size_t length,
                 void* user) {
  auto& m = *static_cast<Mux*>(user);
  Stream* s = Receiving(session, id, length);
  if (s == nullptr) return 0;
  s->answerOwed += length;
  s->answer.Append(reinterpret_cast<const char*>(data), length);
  ResumeAnswer(m, *s);
  return 0;
}

int OnOriginStreamClose(nghttp2_session* session, int32_t id, uint32_t error, void* user) {
  auto& m = *static_cast<Mux*>(user);
  Stream* s = StreamOf(session, id);
  if (s == nullptr) return 0;
  s->originId = 0;
  if (s->answerEnded) return 0;
  // The origin's reset ends the browser's stream alone, with the origin's reason: one refused
  // before any work (REFUSED_STREAM, as after a GOAWAY) the browser sends again by itself.
  ResetBrowserStream(m, *s, error != NGHTTP2_NO_ERROR ? error : uint32_t{NGHTTP2_INTERNAL_ERROR});
  return 0;
}

// --- sessions -----------------------------------------------------------------------------------

struct SessionOptions {
  nghttp2_option* option = nullptr;
  SessionOptions() {
    nghttp2_option_new(&option);
    // Windows open as the bytes go on to the other side, so that what waits here stays bounded.
    nghttp2_option_set_no_auto_window_update(option, 1);
    nghttp2_option_set_max_continuations(option, kHttp2MostContinuations);
    nghttp2_option_set_stream_reset_rate_limit(option, kHttp2ResetBurst, kHttp2ResetsPerSecond);
    nghttp2_option_set_max_settings(option, 32);
    nghttp2_option_set_max_outbound_ack(option, 1000);
  }
  ~SessionOptions() { nghttp2_option_del(option); }
  SessionOptions(const SessionOptions&) = delete;
  SessionOptions& operator=(const SessionOptions&) = delete;
};

// A session's first SETTINGS: its own setting, then the windows and header list both sides
// share; and the connection's window widened to kHttp2ConnectionWindow.
bool Announce(nghttp2_session* session, nghttp2_settings_entry own) {
  const nghttp2_settings_entry settings[] = {
      own,
      {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, static_cast<uint32_t>(kHttp2StreamWindow)},
      {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, kHttp2MostHeaderList},
  };
  return nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, settings, std::size(settings)) == 0 &&
         nghttp2_session_set_local_window_size(session, NGHTTP2_FLAG_NONE, 0,
                                               kHttp2ConnectionWindow) == 0;
}

bool OpenBrowserSession(Mux& m) {
  nghttp2_session_callbacks* callbacks = nullptr;
  if (nghttp2_session_callbacks_new(&callbacks) != 0) return false;
  nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, OnBrowserBeginHeaders);
  nghttp2_session_callbacks_set_on_header_callback(callbacks, OnBrowserHeader);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, OnBrowserData);
  nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, OnBrowserFrame);
  nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, OnBrowserStreamClose);
  SessionOptions options;
  int made = nghttp2_session_server_new2(&m.browser, callbacks, &m, options.option);
  nghttp2_session_callbacks_del(callbacks);
  if (made != 0) return false;
  return Announce(m.browser, {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, kHttp2MostStreams});
}

bool OpenOriginSession(Mux& m) {
  nghttp2_session_callbacks* callbacks = nullptr;
  if (nghttp2_session_callbacks_new(&callbacks) != 0) return false;
  nghttp2_session_callbacks_set_on_header_callback(callbacks, OnOriginHeader);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, OnOriginData);
  nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, OnOriginFrame);
  nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, OnOriginStreamClose);
  SessionOptions options;
  int made = nghttp2_session_client_new2(&m.origin, callbacks, &m, options.option);
  nghttp2_session_callbacks_del(callbacks);
  if (made != 0) return false;
  return Announce(m.origin, {NGHTTP2_SETTINGS_ENABLE_PUSH, 0});
}

// Sends what the session has to say. False when the connection failed.
bool Flush(nghttp2_session* session, Connection& connection) {
  for (;;) {
    const uint8_t* data = nullptr;
    ssize_t n = nghttp2_session_mem_send(session, &data);
    if (n < 0) return false;
    if (n == 0) return true;
    if (!connection.Send({reinterpret_cast<const char*>(data), static_cast<size_t>(n)}))
      return false;
  }
}

// Takes what came on connection into the session. False when it ended or broke the protocol;
// then a GOAWAY saying why waits in the session.
bool Take(nghttp2_session* session, Connection& connection, std::span<char> buffer) {
  long n = connection.Receive(buffer, 0);
  if (n == kReceiveTimedOut) return true;  // a TLS record without data
  if (n <= 0) return false;
  ssize_t taken = nghttp2_session_mem_recv(session, reinterpret_cast<const uint8_t*>(buffer.data()),
                                           static_cast<size_t>(n));
  if (taken >= 0) return true;
  // Some faults (a flood of CONTINUATION frames among them) end the session without a word.
  bool flood = taken == NGHTTP2_ERR_FLOODED || taken == NGHTTP2_ERR_TOO_MANY_CONTINUATIONS;
  nghttp2_session_terminate_session(session,
                                    flood ? NGHTTP2_ENHANCE_YOUR_CALM : NGHTTP2_PROTOCOL_ERROR);
  return false;
}

// --- origin connections --------------------------------------------------------------------

struct OriginFailure {
  FailureKind kind = FailureKind::kTlsFailed;
  bool connectStep = false;  // the connection itself failed: the system's words, a notice
  const char16_t* step = nullptr;
  int code = 0;
  char detail[256] = "";
};

// Connects to the origin (through the upstream proxy's tunnel when there is one) and verifies
// its TLS, into *into; HTTP/1.1 connections the pool keeps are taken first.
bool OpenOrigin(Mux& m, bool offerHttp2, Connection* into, bool* reused, OriginFailure* failure) {
  Worker& w = m.w;
  ChooseInspectedTarget(w);
  if (!offerHttp2) m.place = OriginPlaceOf(w);
  *reused = !offerHttp2 && TakeIdleOrigin(m.place, into);
  if (*reused) return true;
  ConnectResult result = ConnectTarget(w);
  if (result != ConnectResult::kConnected) {
    failure->code = LastErrorCode();
    failure->kind = ConnectFailure(result, &failure->step);
    failure->connectStep = true;
    return false;
  }
  if (!HandshakeInspectedOrigin(w, offerHttp2, &failure->kind, failure->detail)) {
    TellOriginRefusal(w, failure->kind, failure->detail);
    w.server.Reset();
    return false;
  }
  *into = std::move(w.server);
  return true;
}

void FailQueued(Mux& m, const OriginFailure& failure) {
  bool told = false;
  for (auto& slot : m.slots) {
    if (slot == nullptr || slot->id == 0 || slot->phase != Phase::kQueued) continue;
    // The user hears of it once, however many streams it fails.
    FailStream(m, *slot, failure.kind, failure.detail, failure.connectStep,
               told ? nullptr : failure.step, failure.code);
    told = true;
  }
}

// Sends a stream's request to the HTTP/2 origin.
void SendToOrigin(Mux& m, Stream& s) {
  nghttp2_nv nv[kMostFields];
  size_t count = HeaderList({s.head, s.headLength}, nv);
  if (count == 0) {
    FailStream(m, s, FailureKind::kBadRequest, "", false, nullptr, 0);
    return;
  }
  nghttp2_data_provider body{};
  body.source.ptr = &s;
  body.read_callback = ReadRequestBody;
  bool hasBody = !(s.requestEnded && s.request.Empty());
  int32_t id = nghttp2_submit_request(m.origin, nullptr, nv, count, hasBody ? &body : nullptr, &s);
  if (id < 0) {
    ResetBrowserStream(m, s, NGHTTP2_REFUSED_STREAM);
    s.phase = Phase::kSent;
    return;
  }
  s.originId = id;
  s.headLength = 0;  // the answer's fields are collected here
  s.phase = Phase::kSent;
}

// Makes the request's head one an HTTP/1.1 origin takes: its path alone, the connection kept,
// and a body without a declared length in chunks.
bool PrepareForLane(Stream& s) {
  if (s.laneReady) return true;
  std::span<char> head(s.head, kChunkBufferSize);
  StripAbsoluteAddress(head, kHttpsScheme);
  ForceConnectionLine(head);
  s.headLength = std::strlen(s.head);
  bool hasBody = !(s.requestEnded && s.request.Empty());
  std::string_view text(s.head, s.headLength);
  if (hasBody && FieldValue(text, "content-length").empty() &&
      FieldValue(text, "Content-Length").empty()) {
    constexpr std::string_view kChunked = "Transfer-Encoding: chunked\r\n\r\n";
    if (s.headLength + kChunked.size() - 2 >= kChunkBufferSize) return false;
    std::memcpy(s.head + s.headLength - 2, kChunked.data(), kChunked.size());
    s.headLength += kChunked.size() - 2;
    s.head[s.headLength] = '\0';
    s.chunkedUpload = true;
  }
  s.laneReady = true;
  return true;
}

// Sends what the browser has sent of the stream's body on over its lane.
bool SendBodyOnLane(Mux& m, Stream& s) {
  Connection& c = m.lanes[s.lane].connection;
  while (!s.request.Empty()) {
    size_t n = std::min(s.request.Size(), kChunkReceiveLimit);
    if (s.chunkedUpload) {
      char size[24];
      int written = std::snprintf(size, sizeof size, "%zx\r\n", n);
      if (!c.Send({size, static_cast<size_t>(written)})) return false;
    }
    if (!c.Send({s.request.Data(), n}) || (s.chunkedUpload && !c.Send(std::string_view("\r\n"))))
      return false;
    s.request.Drop(n);
    ConsumeRequest(m, s, n);
  }
  if (s.requestEnded && s.chunkedUpload) {
    s.chunkedUpload = false;  // the last chunk goes once
    return c.Send(std::string_view("0\r\n\r\n"));
  }
  return true;
}

// Puts a queued stream on a free HTTP/1.1 connection, opening one while fewer than
// kOriginsPerPlace are open. False when it must wait for one.
bool SendOnLane(Mux& m, Stream& s, int index, OriginFailure* failure, bool* failed) {
  int free = -1;
  for (int i = 0; i < static_cast<int>(kOriginsPerPlace); ++i) {
    Lane& lane = m.lanes[i];
    if (lane.stream < 0 && lane.connection.Open()) {
      free = i;
      break;
    }
  }
  if (free < 0) {
    for (int i = 0; i < static_cast<int>(kOriginsPerPlace); ++i) {
      if (m.lanes[i].connection.Open()) continue;
      bool reused = false;
      if (!OpenOrigin(m, false, &m.lanes[i].connection, &reused, failure)) {
        *failed = true;
        return false;
      }
      m.lanes[i].reused = reused;
      free = i;
      break;
    }
  }
  if (free < 0) return false;
  if (!PrepareForLane(s)) {
    FailStream(m, s, FailureKind::kHeadTooLarge, "", false, nullptr, 0);
    return true;
  }
  Lane& lane = m.lanes[free];
  lane.stream = index;
  s.lane = free;
  s.phase = Phase::kSent;
  if (!lane.connection.Send({s.head, s.headLength}) || !SendBodyOnLane(m, s)) {
    if (RefusedForClientCertificate(m.w, lane.connection)) {
      FailStream(m, s, FailureKind::kClientCertificate, kClientCertificateWords, false, nullptr, 0);
      return true;
    }
    CloseLane(m, free);
    s.lane = -1;
    if (lane.reused && s.mayRepeat) {
      s.phase = Phase::kQueued;  // a kept connection the origin had closed: another one
      return false;
    }
    ResetBrowserStream(m, s, NGHTTP2_INTERNAL_ERROR);
    return true;
  }
  s.headLength = 0;  // the answer's head is read here
  return true;
}

// The origin is reached at the first stream: over HTTP/2 when it speaks it, else HTTP/1.1.
void Dispatch(Mux& m) {
  for (int index = 0; index < static_cast<int>(kHttp2MostStreams); ++index) {
    Stream* s = m.slots[index].get();
    if (s == nullptr || s->id == 0) continue;
    if (s->phase == Phase::kSent && s->lane >= 0 &&
        (!s->request.Empty() || (s->requestEnded && s->chunkedUpload)) && !SendBodyOnLane(m, *s)) {
      CloseLane(m, s->lane);
      s->lane = -1;
      ResetBrowserStream(m, *s, NGHTTP2_INTERNAL_ERROR);
    }
    if (s->phase != Phase::kQueued) continue;
    OriginFailure failure;
    if (m.origin == nullptr && !m.originHttp1) {
      bool reused = false;
      if (!OpenOrigin(m, true, &m.originConnection, &reused, &failure)) {
        FailQueued(m, failure);
        return;
      }
      if (m.originConnection.tls.SpeaksHttp2()) {
        if (!OpenOriginSession(m)) {
          m.originConnection.Reset();
          ResetBrowserStream(m, *s, NGHTTP2_INTERNAL_ERROR);
          s->phase = Phase::kSent;
          continue;
        }
      } else {
        m.originHttp1 = true;
        m.place = OriginPlaceOf(m.w);
        m.lanes[0].connection = std::move(m.originConnection);
      }
    }
    if (m.origin != nullptr) {
      // After the origin's GOAWAY its open streams finish there; new ones wait for the next
      // connection, opened once that one has ended.
      if (nghttp2_session_check_request_allowed(m.origin) != 0) SendToOrigin(m, *s);
      continue;
    }
    bool failed = false;
    if (!SendOnLane(m, *s, index, &failure, &failed) && failed) {
      FailQueued(m, failure);
      return;
    }
  }
}

// --- HTTP/1.1 origins ------------------------------------------------------------------------

// The lane's stream is answered whole: the connection carries the next one, when its answer
// left it sound.
void FinishLane(Mux& m, Stream& s, bool sound) {
  int lane = s.lane;
  s.lane = -1;
  if (!sound) {
    CloseLane(m, lane);
    return;
  }
  m.lanes[lane].stream = -1;
  m.lanes[lane].reused = true;
}

// Reads the lane's answer on: its head whole, then its body, unchunked, for the browser.
void ReadLane(Mux& m, int lane) {
  Lane& l = m.lanes[lane];
  if (l.stream < 0) {
    // Nothing was asked: the origin closed its idle connection, or broke the protocol.
    CloseLane(m, lane);
    return;
  }
  Stream& s = *m.slots[l.stream];
  Worker& w = m.w;
  if (!s.answerStarted) {
    long n = l.connection.Receive({s.head + s.headLength, kChunkReceiveLimit - s.headLength}, 0);
    if (n == kReceiveTimedOut) return;
    if (n <= 0) {
      bool repeat = !s.anyAnswerByte && l.reused && s.mayRepeat;
      if (!s.anyAnswerByte && RefusedForClientCertificate(w, l.connection)) {
        FailStream(m, s, FailureKind::kClientCertificate, kClientCertificateWords, false, nullptr,
                   0);
        return;
      }
      CloseLane(m, lane);
      s.lane = -1;
      if (repeat) {
        s.phase = Phase::kQueued;  // a kept connection closed before answering: another one
        return;
      }
      ResetBrowserStream(m, s, NGHTTP2_INTERNAL_ERROR);
      return;
    }
    s.anyAnswerByte = true;
    s.headLength += static_cast<size_t>(n);
    std::string_view bytes(s.head, s.headLength);
    size_t start = FinalAnswerStart(bytes);
    if (start == bytes.size()) {
      s.headLength = 0;  // interim answers alone: the final one follows
      return;
    }
    size_t end = start == std::string_view::npos ? start : bytes.find("\r\n\r\n", start);
    if (end == std::string_view::npos) {
      if (s.headLength < kChunkReceiveLimit) return;
      CloseLane(m, lane);
      s.lane = -1;
      ResetBrowserStream(m, s, NGHTTP2_INTERNAL_ERROR);
      return;
    }
    size_t headLength = end + 4 - start;
    std::memcpy(w.chunk, s.head + start, s.headLength - start);
    std::string_view answer(w.chunk, s.headLength - start);
    s.answerFraming.StartAnswer(answer.substr(0, headLength), s.headRequest);
    std::string_view rest = answer.substr(headLength);
    size_t payload = 0;
    char* room = s.answer.Room(rest.size());
    size_t belongs = s.answerFraming.Feed(rest, room, &payload);
    s.answer.Commit(payload);
    if (w.run.hooks.noteFirstAnswer != nullptr)
      w.run.hooks.noteFirstAnswer(answer, TextIn(s.requestAddress));
    size_t edited = headLength;
    if (w.run.hooks.editFirstAnswer != nullptr)
      edited = w.run.hooks.editFirstAnswer({w.chunk, headLength});
    bool complete = s.answerFraming.Where() == MessageFraming::End::kComplete;
    s.answerEnded = complete;
    bool hasBody = !(complete && s.answer.Empty());
    SubmitAnswer(m, s, {w.chunk, edited}, hasBody);
    if (complete)
      FinishLane(m, s,
                 belongs == rest.size() && !s.answerFraming.Broken() &&
                     s.answerFraming.OriginKeepsAlive() && !s.answerFraming.LastOnConnection());
    return;
  }
  size_t room = kHttp2LaneBuffer - std::min(kHttp2LaneBuffer, s.answer.Size());
  if (room == 0) return;
  char* into = s.answer.Room(room);
  long n = l.connection.Receive({into, room}, 0);
  if (n == kReceiveTimedOut) {
    s.answer.Commit(0);
    return;
  }
  if (n <= 0) {
    s.answer.Commit(0);
    // Its close ends an answer framed by it, when the close was a clean one; else it was cut.
    bool whole = n == 0 && s.answerFraming.Where() == MessageFraming::End::kUntilClose &&
                 l.connection.EndedWell();
    CloseLane(m, lane);
    s.lane = -1;
    if (whole) {
      s.answerEnded = true;
      ResumeAnswer(m, s);
    } else {
      ResetBrowserStream(m, s, NGHTTP2_INTERNAL_ERROR);
    }
    return;
  }
  size_t payload = 0;
  size_t belongs = s.answerFraming.Feed({into, static_cast<size_t>(n)}, into, &payload);
  s.answer.Commit(payload);
  if (s.answerFraming.Broken()) {
    CloseLane(m, lane);
    s.lane = -1;
    ResetBrowserStream(m, s, NGHTTP2_INTERNAL_ERROR);
    return;
  }
  if (s.answerFraming.Where() == MessageFraming::End::kComplete) {
    s.answerEnded = true;
    FinishLane(m, s,
               belongs == static_cast<size_t>(n) && s.answerFraming.OriginKeepsAlive() &&
                   !s.answerFraming.LastOnConnection());
  }
  ResumeAnswer(m, s);
}

// --- the connection --------------------------------------------------------------------------

bool AnyStreamOpen(const Mux& m) {
  for (const auto& slot : m.slots)
    if (slot != nullptr && slot->id != 0) return true;
  return false;
}

// Nothing moved for the idle bound: streams still waiting for an answer learn so, as a plain
// request does; those cut in the middle are reset.
void TimeOutStreams(Mux& m) {
  for (auto& slot : m.slots) {
    if (slot == nullptr || slot->id == 0) continue;
    Stream& s = *slot;
    if (s.lane >= 0) CloseLane(m, s.lane);
    s.lane = -1;
    if (!s.answerStarted && s.phase == Phase::kSent)
      FailStream(m, s, FailureKind::kSilent, "", true, nullptr, 0);
    else
      ResetBrowserStream(m, s, NGHTTP2_CANCEL);
  }
}

// The HTTP/2 origin's connection ended or failed: its streams end with it.
void DropOrigin(Mux& m) {
  if (m.origin == nullptr) return;
  bool certificate = RefusedForClientCertificate(m.w, m.originConnection);
  for (auto& slot : m.slots) {
    if (slot == nullptr || slot->id == 0 || slot->originId == 0) continue;
    if (certificate && !slot->answerStarted) {
      FailStream(m, *slot, FailureKind::kClientCertificate, kClientCertificateWords, false, nullptr,
                 0);
      continue;
    }
    slot->originId = 0;
    if (!slot->answerEnded) ResetBrowserStream(m, *slot, NGHTTP2_INTERNAL_ERROR);
  }
  nghttp2_session_del(m.origin);
  m.origin = nullptr;
  m.originConnection.Reset();
}

void Serve(Mux& m) {
  Worker& w = m.w;
  std::span<char> buffer(w.pending, kChunkReceiveLimit);
  if (!OpenBrowserSession(m)) return;
  for (;;) {
    Dispatch(m);
    if (m.origin != nullptr && !Flush(m.origin, m.originConnection)) DropOrigin(m);
    if (!Flush(m.browser, w.client)) {
      m.browserGone = true;
      return;
    }
    if (!nghttp2_session_want_read(m.browser) && !nghttp2_session_want_write(m.browser)) return;
    if (m.origin != nullptr && !nghttp2_session_want_read(m.origin) &&
        !nghttp2_session_want_write(m.origin))
      DropOrigin(m);  // it said GOAWAY and has finished: the next stream opens another
    // Every connection is waited on at once: the browser, the HTTP/2 origin, and each
    // HTTP/1.1 one whose stream has room for more of its answer (or that waits unused, to see
    // it close).
    const Connection* waited[2 + kOriginsPerPlace] = {&w.client, nullptr};
    if (m.origin != nullptr) waited[1] = &m.originConnection;
    for (size_t i = 0; i < kOriginsPerPlace; ++i) {
      const Lane& lane = m.lanes[i];
      bool room = lane.stream < 0 || !m.slots[lane.stream]->answerStarted ||
                  m.slots[lane.stream]->answer.Size() < kHttp2LaneBuffer;
      waited[2 + i] = lane.connection.Open() && room ? &lane.connection : nullptr;
    }
    bool ready[std::size(waited)] = {};
    bool busy = AnyStreamOpen(m);
    int found =
        WaitForAny(waited, ready, busy ? w.run.options.idleTimeoutMs : w.run.options.clientIdleMs);
    if (found < 0) return;
    if (found == 0) {
      if (!busy) {
        nghttp2_session_terminate_session(m.browser, NGHTTP2_NO_ERROR);  // idle: GOAWAY
        Flush(m.browser, w.client);
        return;
      }
      TimeOutStreams(m);
      continue;
    }
    if (ready[1] && !Take(m.origin, m.originConnection, buffer)) DropOrigin(m);
    for (size_t i = 0; i < kOriginsPerPlace; ++i)
      if (ready[2 + i]) ReadLane(m, static_cast<int>(i));
    if (ready[0] && !Take(m.browser, w.client, buffer)) {
      // A protocol error or a flood: nghttp2 has put its GOAWAY in the queue.
      Flush(m.browser, w.client);
      m.browserGone = true;
      return;
    }
  }
}

}  // namespace

void ServeHttp2Browser(Worker& w) {
  auto m = std::make_unique<Mux>(w);
  Serve(*m);
  // Sound HTTP/1.1 origin connections serve the next requests, of any client.
  for (Lane& lane : m->lanes)
    if (lane.connection.Open() && lane.stream < 0) KeepIdleOrigin(m->place, &lane.connection);
  for (Lane& lane : m->lanes)
    if (lane.connection.Open()) lane.connection.Reset();
  if (m->origin != nullptr) {
    nghttp2_session_terminate_session(m->origin, NGHTTP2_NO_ERROR);
    Flush(m->origin, m->originConnection);
    nghttp2_session_del(m->origin);
    m->origin = nullptr;
    m->originConnection.Close();
  }
  bool gone = m->browserGone;
  nghttp2_session_del(m->browser);
  m->browser = nullptr;
  m.reset();
  if (gone)
    EndExchange(w);
  else
    FinishExchange(w);
}

bool ServeHttp1OverHttp2(Worker& w, std::string_view request, bool keepAlive) {
  auto m = std::make_unique<Mux>(w);
  m->keepAlive = keepAlive;
  m->http10 = request.substr(0, request.find("\r\n")).ends_with(" HTTP/1.0");
  m->originConnection = std::move(w.server);
  m->slots[0] = std::make_unique<Stream>();
  Stream& s = *m->slots[0];
  size_t headEnd = request.find("\r\n\r\n");
  if (headEnd == std::string_view::npos || !OpenOriginSession(*m)) {
    if (m->origin != nullptr) nghttp2_session_del(m->origin);
    m->originConnection.Reset();
    return false;
  }
  s.id = 1;  // no browser stream stands behind it
  std::memcpy(s.head, request.data(), headEnd + 4);
  s.headLength = headEnd + 4;
  s.head[s.headLength] = '\0';
  s.request.Append(request.data() + headEnd + 4, request.size() - headEnd - 4);
  s.requestEnded = true;
  s.headRequest = request.starts_with("HEAD ");
  std::snprintf(s.requestAddress, sizeof s.requestAddress, "%s", w.requestAddress);
  SendToOrigin(*m, s);
  bool whole = false;
  for (;;) {
    if (!Flush(m->origin, m->originConnection)) break;
    // What has come of the answer goes on, in chunks where its length is not known.
    while (s.answerStarted && !s.answer.Empty() && !s.cut) {
      size_t n = std::min(s.answer.Size(), kChunkReceiveLimit);
      char size[24];
      int written = std::snprintf(size, sizeof size, "%zx\r\n", n);
      bool sent = (!m->chunkedAnswer || w.client.Send({size, static_cast<size_t>(written)})) &&
                  w.client.Send({s.answer.Data(), n}) &&
                  (!m->chunkedAnswer || w.client.Send(std::string_view("\r\n")));
      s.answer.Drop(n);
      AnswerTaken(*m, s, n);
      if (!sent) s.cut = true;
    }
    if (s.cut) break;
    if (s.answerStarted && s.answerEnded && s.answer.Empty()) {
      whole = !m->chunkedAnswer || w.client.Send(std::string_view("0\r\n\r\n"));
      break;
    }
    if (!nghttp2_session_want_read(m->origin) && !nghttp2_session_want_write(m->origin)) break;
    const Connection* waited[] = {&m->originConnection};
    bool ready[1] = {};
    int found = WaitForAny(waited, ready, w.run.options.idleTimeoutMs);
    if (found == 0 && !s.answerStarted) {
      // The origin took the request and said nothing: the browser is told so.
      size_t page = WriteFailureFor(w, FailureKind::kSilent, 0, {w.chunk, kChunkBufferSize});
      w.client.Send({w.chunk, page});
      m->keepAlive = false;
      whole = true;
      break;
    }
    // The pending bytes may hold the client's next request: the tail's room is free here.
    if (found <= 0 || !Take(m->origin, m->originConnection, {w.rawTail, kChunkReceiveLimit})) break;
  }
  nghttp2_session_terminate_session(m->origin, NGHTTP2_NO_ERROR);
  Flush(m->origin, m->originConnection);
  nghttp2_session_del(m->origin);
  m->origin = nullptr;
  m->originConnection.Close();
  w.keepClient = whole && m->keepAlive;
  return whole;
}
