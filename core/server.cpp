#include "core/server.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/exchange.h"
#include "core/report_failure.h"
#include "core/worker.h"
#include "platform/delayed_close.h"
#include "platform/message_box.h"
#include "platform/socket.h"
#include "platform/thread.h"

namespace {

// Connections the delayed closer can hold at most: far above what the descriptor limit of an
// ordinary user allows to be open at once. Beyond it a worker waits out the delay itself.
constexpr size_t kMostWaitingToClose = 65536;
// A worker's stack holds its buffers (about 23 KiB) and whatever name resolution needs, which
// through the system's resolver libraries can reach tens of KiB; 256 KiB leaves ample margin.
constexpr size_t kWorkerStackBytes = 256 * 1024;
// How long a worker waits in accept with no client before its thread ends, unless it is the
// only one waiting: long enough to bridge the gaps of a busy browser, short enough that an idle
// proxy holds no spare threads.
constexpr int kIdleWorkerLingerMs = 2000;
// How long the system keeps a new connection from accept while it carries no byte.
constexpr int kAcceptWaitForDataSeconds = 1;
// Pause before accepting again after a failure that passes by itself (descriptors running out).
constexpr int kAcceptRetryPauseMs = 50;

// The listening socket is shared by the workers in accept and the main thread. It is closed only
// when no worker is inside accept, so a descriptor number is never reused under a waiting worker.
struct Listener {
  std::mutex lock;
  std::condition_variable idle;
  Socket socket;
  int users = 0;  // workers inside accept
  // Workers on their way to accept: started and not there yet, or back from an exchange whose
  // answer has ended. They count as waiting, so that a client arriving meanwhile starts no
  // other worker: workers are then never more than the exchanges in flight, plus one. No bound
  // on those waiting is needed beside it, and one would cost: under steady load the count
  // waiting swings widely, and every swing past a bound ended a thread that the next swing
  // started again, hundreds a second.
  int comingBack = 0;
  bool stopping = true;
  ServerRun run;
  ExchangeHooks hooks{};
};

// Never destroyed: workers still serving when the process exits may yet touch it.
Listener& TheListener() {
  static Listener* listener = new Listener;
  return *listener;
}

void ProxyWorker();

int StartWorker() {
  Listener& l = TheListener();
  {
    std::lock_guard<std::mutex> hold(l.lock);
    ++l.comingBack;
  }
  if (StartDetachedThread(ProxyWorker, kWorkerStackBytes) != 0) return 1;
  std::lock_guard<std::mutex> hold(l.lock);
  if (l.comingBack > 0) --l.comingBack;
  return 0;
}

// What the server's current run hands its workers.
ServerRun CurrentRun() {
  Listener& l = TheListener();
  std::lock_guard<std::mutex> hold(l.lock);
  return l.run;
}

// Enters accept on behalf of run; false when the server has stopped since. *comingBack is
// cleared: the worker is in accept itself now.
bool EnterAccept(const ServerRun& run, bool* comingBack) {
  Listener& l = TheListener();
  std::lock_guard<std::mutex> hold(l.lock);
  bool current = run.generation == l.run.generation;
  if (*comingBack && current && l.comingBack > 0) --l.comingBack;
  *comingBack = false;
  if (l.stopping || !current) return false;
  ++l.users;
  return true;
}

struct AcceptExit {
  bool stopping;
  int othersWaiting;  // workers still in accept, or on their way back, after this one left
};

// Leaves accept. When the server is stopping, the last one out closes the listener.
AcceptExit LeaveAccept() {
  Listener& l = TheListener();
  std::lock_guard<std::mutex> hold(l.lock);
  if (--l.users == 0 && l.stopping) {
    l.socket.Close();
    l.idle.notify_all();
  }
  return {l.stopping, l.users + l.comingBack};
}

// Waits for the next client. An invalid socket means this worker has nothing more to accept:
// the server has stopped, or no client came within the linger time while others are waiting.
// *othersWaiting tells how many other workers are still in accept or on their way there.
Socket AcceptNext(const ServerRun& run, bool* comingBack, int* othersWaiting) {
  for (;;) {
    if (!EnterAccept(run, comingBack)) return Socket();
    Socket client = AcceptClient(TheListener().socket);
    int code = LastErrorCode();
    AcceptExit exit = LeaveAccept();
    *othersWaiting = exit.othersWaiting;
    if (client.Valid()) return client;
    if (exit.stopping) return Socket();
    bool timedOut = IsAcceptTimeout(code);
    if (timedOut || IsTransientAcceptError(code)) {
      // With others waiting, this worker ends: a spare one rather than idle, and after a failure
      // rather than join a crowd retrying while descriptors have run out, each retry taking a
      // descriptor the rest need.
      if (exit.othersWaiting > 0) return Socket();
      if (!timedOut) std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptRetryPauseMs));
      continue;  // the only one waiting stays
    }
    ReportFailure(u"accept", nullptr, nullptr);
    return Socket();
  }
}

void ProxyWorker() {
  // The buffers start as empty texts. Nothing reads past a text's terminator (a reused worker's
  // buffers hold the last exchange's bytes there), so zeroing them whole would only bring their
  // pages into memory: a small request touches one page of the chunk.
  Worker w;
  w.chunk[0] = '\0';
  w.requestAddress[0] = '\0';
  w.targetHost[0] = '\0';
  w.targetPort = 0;
  w.comingBack = true;  // counted by StartWorker until it is in accept
  w.run = CurrentRun();
  for (;;) {
    int othersWaiting = 0;
    w.client = AcceptNext(w.run, &w.comingBack, &othersWaiting);
    if (!w.client.Valid()) return;
    // The accepted socket inherits the listener's bound on receives, the linger; it gets the
    // exchange's own. Its bound on sends is inherited as it is.
    SetReceiveTimeout(w.client, w.run.options.idleTimeoutMs);
    // Someone must be waiting for the next client while this one is served. When no thread can
    // be had, this worker comes back to accept after its exchange.
    if (othersWaiting == 0) StartWorker();
    ServeExchange(w);
  }
}

}  // namespace

void NoteComingBack(Worker& w) {
  if (w.comingBack) return;
  Listener& l = TheListener();
  std::lock_guard<std::mutex> hold(l.lock);
  if (w.run.generation != l.run.generation) return;
  ++l.comingBack;
  w.comingBack = true;
}

void InstallExchangeHooks(const ExchangeHooks& hooks) {
  Listener& l = TheListener();
  std::lock_guard<std::mutex> hold(l.lock);
  l.hooks = hooks;
}

int StartProxyServer() {
  return StartProxyServerWith(ServerOptions{});
}

int StartProxyServerOn(uint16_t port, int closeDelayMs) {
  ServerOptions options;
  options.port = port;
  options.closeDelayMs = closeDelayMs;
  return StartProxyServerWith(options);
}

int StartProxyServerWith(const ServerOptions& options) {
  // Finished connections wait out the closing delay with a descriptor each.
  long descriptors = RaiseDescriptorLimit();
  StartDelayedClose(descriptors > 0 && static_cast<size_t>(descriptors) < kMostWaitingToClose
                        ? static_cast<size_t>(descriptors)
                        : kMostWaitingToClose);
  const char* failedStep = nullptr;
  Socket listener = ListenOnPort(options.port, kListenBacklog, &failedStep);
  if (!listener.Valid()) {
    char16_t step[16] = {};
    for (size_t i = 0; failedStep[i] != '\0' && i + 1 < std::size(step); ++i)
      step[i] = static_cast<char16_t>(failedStep[i]);
    ReportFailure(step, nullptr, nullptr);
    return 0;
  }
  // Accepted connections inherit the bound on idle sends; the bound on receives also limits a
  // spare worker's wait in accept.
  SetIdleTimeout(listener, options.idleTimeoutMs);
  SetReceiveTimeout(listener, kIdleWorkerLingerMs);
  // Clients speak first: a worker is woken when the request has arrived, not a moment before
  // it, and a connection opened but never used holds no thread until the wait has passed.
  AcceptOnceDataArrives(listener, kAcceptWaitForDataSeconds);
  {
    Listener& l = TheListener();
    std::unique_lock<std::mutex> hold(l.lock);
    // A worker of an earlier run may still be on its way out of accept on the old socket.
    l.idle.wait(hold, [&] { return l.users == 0; });
    l.socket = std::move(listener);
    l.stopping = false;
    l.run.generation++;
    l.comingBack = 0;  // those of an earlier run count for nothing now
    l.run.options = options;
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
