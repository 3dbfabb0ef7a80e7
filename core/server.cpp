#include "core/server.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/report_failure.h"
#include "core/request_target.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "platform/message_box.h"
#include "platform/socket.h"
#include "platform/text_convert.h"
#include "platform/thread.h"

namespace {

// A worker's stack holds its buffers (about 23 KiB) and whatever name resolution needs, which
// through the system's resolver libraries can reach tens of KiB; 256 KiB leaves ample margin.
constexpr size_t kWorkerStackBytes = 256 * 1024;
// Pause before accepting again after a failure that passes by itself (descriptors running out).
constexpr int kAcceptRetryPauseMs = 50;

// What one run of the server (from start to stop) hands its workers.
struct ServerRun {
  unsigned generation = 0;
  int closeDelayMs = kCloseDelayMs;
  ExchangeHooks hooks{};
};

// The listening socket is shared by the worker in accept and the main thread. It is closed only
// when no worker is inside accept, so a descriptor number is never reused under a waiting worker.
struct Listener {
  std::mutex lock;
  std::condition_variable idle;
  Socket socket;
  int users = 0;
  bool stopping = true;
  ServerRun run;
  ExchangeHooks hooks{};
};

// Never destroyed: workers still serving when the process exits may yet touch it.
Listener& TheListener() {
  static Listener* listener = new Listener;
  return *listener;
}

// One worker's buffers, on its own stack, for the whole life of the thread.
struct Worker {
  char chunk[kChunkBufferSize];
  char rawTail[kChunkReceiveLimit];  // bytes of a first chunk from its first NUL on
  char requestAddress[kRequestAddressSize];
  char targetHost[kTargetHostSize];
  int32_t targetPort;
  Socket client;
  Socket server;
  ServerRun run;
};

void ProxyWorker();

int StartWorker() {
  return StartDetachedThread(ProxyWorker, kWorkerStackBytes);
}

// Enters accept on behalf of run; false when the server has stopped since.
bool EnterAccept(const ServerRun& run) {
  Listener& l = TheListener();
  std::lock_guard<std::mutex> hold(l.lock);
  if (l.stopping || run.generation != l.run.generation) return false;
  ++l.users;
  return true;
}

// Leaves accept; true when the server is stopping, in which case the last one out closes.
bool LeaveAccept() {
  Listener& l = TheListener();
  std::lock_guard<std::mutex> hold(l.lock);
  if (--l.users == 0 && l.stopping) {
    l.socket.Close();
    l.idle.notify_all();
  }
  return l.stopping;
}

// Waits for the next client. An invalid socket means this worker has nothing more to accept.
Socket AcceptNext(const ServerRun& run) {
  for (;;) {
    if (!EnterAccept(run)) return Socket();
    Socket client = AcceptClient(TheListener().socket);
    int code = LastErrorCode();
    bool stopped = LeaveAccept();
    if (client.Valid()) return client;
    if (stopped) return Socket();
    if (IsTransientAcceptError(code)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptRetryPauseMs));
      continue;
    }
    ReportFailure(u"accept", nullptr, nullptr);
    return Socket();
  }
}

void EndExchange(Worker& w) {
  ReportFailure(nullptr, &w.client, &w.server);
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

// Connects the server socket to the target; false when that failed and the exchange is over.
bool ConnectTarget(Worker& w) {
  // Only the low 16 bits of the port count, as a 16-bit port field holds them.
  auto port = static_cast<uint16_t>(static_cast<uint32_t>(w.targetPort) & 0xFFFFu);
  switch (ConnectToHost(w.targetHost, port, &w.server)) {
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

// Rewrites the first chunk of received bytes, finds its target and connects. Returns the bytes
// of the chunk that follow its first NUL, which the rewriting never sees; -1 when the exchange
// ended.
long PrepareFirstChunk(Worker& w, long received) {
  const char* nul =
      static_cast<const char*>(std::memchr(w.chunk, '\0', static_cast<size_t>(received)));
  long tail = nul == nullptr ? 0 : received - (nul - w.chunk);
  if (tail > 0) std::memcpy(w.rawTail, nul, static_cast<size_t>(tail));

  const ExchangeHooks& hooks = w.run.hooks;
  if (hooks.applyRequestFilters != nullptr) hooks.applyRequestFilters(std::span<char>(w.chunk));
  GetRequestAddress(TextIn(w.chunk), w.requestAddress);
  if (hooks.repairObjectAddress != nullptr)
    hooks.repairObjectAddress(std::span<char>(w.chunk), std::span<char>(w.requestAddress));
  if (!ChooseTarget(w) || !ConnectTarget(w)) return -1;
  return tail;
}

bool SendOrReset(const Socket& to, std::span<const char> bytes) {
  return SendAll(to, bytes) == 1 || LastErrorCode() == kErrorConnectionReset;
}

// Forwards the request: the rewritten first chunk, then further chunks while the declared body
// is still due. False when the exchange ended on the way.
bool ForwardRequest(Worker& w) {
  bool firstChunk = true;
  int32_t declaredLength = 0;
  long long bodyCount = 0;
  for (;;) {
    long received = ReceiveSome(w.client, {w.chunk, kChunkReceiveLimit});
    if (received < 0) {
      EndExchange(w);
      return false;
    }
    w.chunk[received] = '\0';
    long bodyBytes = received;
    if (firstChunk) {
      long tail = PrepareFirstChunk(w, received);
      if (tail < 0) return false;
      std::string_view text = TextIn(w.chunk);
      declaredLength = GetContentLength(text);
      bodyBytes = declaredLength > 0 ? FirstChunkBodyBytes(text, tail) : 0;
      firstChunk = false;
      if (!SendOrReset(w.server, text) ||
          !SendOrReset(w.server, {w.rawTail, static_cast<size_t>(tail)})) {
        EndExchange(w);
        return false;
      }
    } else if (!SendOrReset(w.server, {w.chunk, static_cast<size_t>(received)})) {
      EndExchange(w);
      return false;
    }
    bodyCount += bodyBytes;
    if (received == 0 || declaredLength <= 0 || bodyCount >= declaredLength) return true;
  }
}

// Relays the answer unchanged until the server closes. False when the exchange ended early.
bool RelayAnswer(Worker& w) {
  bool firstAnswer = true;
  for (;;) {
    long received = ReceiveSome(w.server, {w.chunk, kChunkReceiveLimit});
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
    if (!SendOrReset(w.client, answer)) {
      EndExchange(w);
      return false;
    }
    firstAnswer = false;
  }
}

// One request, one answer, then both connections close after the closing delay.
void ServeExchange(Worker& w) {
  if (!ForwardRequest(w) || !RelayAnswer(w)) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(w.run.closeDelayMs));
  ShutdownBoth(w.client);
  ShutdownBoth(w.server);
  w.client.Close();
  w.server.Close();
}

void ProxyWorker() {
  Worker w{};
  {
    Listener& l = TheListener();
    std::lock_guard<std::mutex> hold(l.lock);
    w.run = l.run;
  }
  bool stayAcceptor = true;
  while (stayAcceptor) {
    w.client = AcceptNext(w.run);
    if (!w.client.Valid()) return;
    // Hand the acceptor role on before serving; when no thread can be had, keep it.
    if (StartWorker() == 1) stayAcceptor = false;
    ServeExchange(w);
  }
}

}  // namespace

void InstallExchangeHooks(const ExchangeHooks& hooks) {
  Listener& l = TheListener();
  std::lock_guard<std::mutex> hold(l.lock);
  l.hooks = hooks;
}

int StartProxyServer() {
  return StartProxyServerOn(kProxyPort, kCloseDelayMs);
}

int StartProxyServerOn(uint16_t port, int closeDelayMs) {
  const char* failedStep = nullptr;
  Socket listener = ListenOnPort(port, kListenBacklog, &failedStep);
  if (!listener.Valid()) {
    char16_t step[16] = {};
    for (size_t i = 0; failedStep[i] != '\0' && i + 1 < std::size(step); ++i)
      step[i] = static_cast<char16_t>(failedStep[i]);
    ReportFailure(step, nullptr, nullptr);
    return 0;
  }
  {
    Listener& l = TheListener();
    std::unique_lock<std::mutex> hold(l.lock);
    // A worker of an earlier run may still be on its way out of accept on the old socket.
    l.idle.wait(hold, [&] { return l.users == 0; });
    l.socket = std::move(listener);
    l.stopping = false;
    l.run.generation++;
    l.run.closeDelayMs = closeDelayMs;
    l.run.hooks = l.hooks;
  }
  if (StartWorker() == 0) {
    ShowMessageBox(u"ERROR: create first thread");
    return 0;
  }
  return 1;
}

void StopProxyServer() {
  Listener& l = TheListener();
  std::lock_guard<std::mutex> hold(l.lock);
  l.stopping = true;
  if (!l.socket.Valid()) return;
  InterruptAccept(l.socket);
  if (l.users == 0) l.socket.Close();
}
