#include "core/server.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "core/exchange.h"
#include "core/origin_pool.h"
#include "core/report_failure.h"
#include "core/settings.h"
#include "core/worker.h"
#include "platform/delayed_close.h"
#include "platform/socket.h"
#include "platform/text_convert.h"
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
// Client connections parked between requests at most; beyond it a worker waits with its own.
constexpr size_t kMostParked = 4096;
// How often connections that waited too long, parked or in the origin pool, are looked for.
constexpr auto kSweepInterval = std::chrono::seconds(1);

using Clock = std::chrono::steady_clock;

// A client connection between its requests, waiting in the listeners' wait for its next bytes
// with what its next request needs to know of it.
struct Parked {
  Connection client;
  IpAddress clientAddress;
  bool remoteClient = false;
  bool inspected = false;
  bool tunnelPlain = false;
  int32_t tunnelPort = 0;
  char tunnelHost[kTargetHostSize] = {};
  Clock::time_point since;
  // Changes whenever the slot is taken or freed: a cookie from an earlier use finds nothing.
  uint32_t serial = 0;
  bool used = false;
};

// What a client's connection carries from one request to the next, between a worker and a slot
// of the parked table (the two name these fields alike).
template <typename From, typename To>
void MoveClientSide(From& from, To& to) {
  static_assert(sizeof to.tunnelHost == sizeof from.tunnelHost);
  to.client = std::move(from.client);
  to.clientAddress = from.clientAddress;
  to.remoteClient = from.remoteClient;
  to.inspected = from.inspected;
  to.tunnelPlain = from.tunnelPlain;
  to.tunnelPort = from.tunnelPort;
  std::memcpy(to.tunnelHost, from.tunnelHost, sizeof to.tunnelHost);
}

// The listening socket is shared by the workers in accept and the main thread. It is closed only
// when no worker is inside accept, so a descriptor number is never reused under a waiting worker.
struct Listener {
  std::mutex lock;
  std::condition_variable idle;
  ListenerSet sockets;
  // Workers inside accept. Only they count as waiting: a worker anywhere else, even one whose
  // answer has ended, may yet be held (a slow client, a closing TLS), and a spare that ended
  // counting on it could leave no one accepting.
  int users = 0;
  // Workers started and not yet in accept. Nothing lies between a thread's start and its accept,
  // so the next client needs no other worker started meanwhile.
  int starting = 0;
  bool stopping = true;
  ServerRun run;
  ExchangeHooks hooks{};
  // Parked client connections; slots are reused, and the table grows only while none is free.
  std::vector<Parked> parked;
  std::vector<uint32_t> freeParked;
  Clock::time_point nextSweep;
};

// Never destroyed: workers still serving when the process exits may yet touch it.
Listener& TheListener() {
  static Listener* listener = new Listener;
  return *listener;
}

void ProxyWorker();

struct InFlight {
  std::mutex lock;
  std::condition_variable none;
  Worker* first = nullptr;
  int count = 0;
};

// Never destroyed: workers still serving when the process exits may yet touch it.
InFlight& TheInFlight() {
  static auto* inFlight = new InFlight;
  return *inFlight;
}

int StartWorker() {
  Listener& l = TheListener();
  {
    std::lock_guard<std::mutex> hold(l.lock);
    ++l.starting;
  }
  if (StartDetachedThread(ProxyWorker, kWorkerStackBytes) != 0) return 1;
  std::lock_guard<std::mutex> hold(l.lock);
  if (l.starting > 0) --l.starting;
  return 0;
}

// What the server's current run hands its workers.
ServerRun CurrentRun() {
  Listener& l = TheListener();
  std::lock_guard<std::mutex> hold(l.lock);
  return l.run;
}

// Frees a parked connection's slot; the caller holds the lock.
void FreeParked(Listener& l, uint32_t index) {
  Parked& p = l.parked[index];
  p.used = false;
  ++p.serial;
  l.freeParked.push_back(index);  // never beyond the table's size, reserved with it
}

// Closes a parked connection without a word: over TLS no goodbye, which could wait on a client
// that reads nothing while the lock is held. Browsers expect a kept connection to close so.
void CloseParked(Listener& l, uint32_t index) {
  Parked& p = l.parked[index];
  UnparkFromListenerSet(l.sockets, p.client.socket);
  p.client.tls.Abort();
  p.client.socket.Close();
  FreeParked(l, index);
}

// Closes the parked connections that waited longer than the client's idle bound, or all of them;
// the caller holds the lock.
void SweepParked(Listener& l, bool all) {
  auto oldest = Clock::now() - std::chrono::milliseconds(l.run.options.clientIdleMs);
  for (uint32_t i = 0; i < l.parked.size(); ++i)
    if (l.parked[i].used && (all || l.parked[i].since < oldest)) CloseParked(l, i);
}

// Now and then, and never more than once in kSweepInterval: parked clients and idle origins that
// waited too long go. Whoever enters accept does it, so an idle proxy does it too.
void SweepNowAndThen() {
  Listener& l = TheListener();
  {
    std::lock_guard<std::mutex> hold(l.lock);
    Clock::time_point now = Clock::now();
    if (now < l.nextSweep) return;
    l.nextSweep = now + kSweepInterval;
    SweepParked(l, false);
  }
  DropStaleOrigins();
}

// Enters accept on behalf of run; false when the server has stopped since. A worker just
// started is no longer counted as starting.
bool EnterAccept(const ServerRun& run, bool* starting) {
  SweepNowAndThen();
  Listener& l = TheListener();
  std::lock_guard<std::mutex> hold(l.lock);
  bool current = run.generation == l.run.generation;
  if (*starting && current && l.starting > 0) --l.starting;
  *starting = false;
  if (l.stopping || !current) return false;
  ++l.users;
  return true;
}

// Takes the parked connection that cookie names back into the worker. False when it is gone:
// closed as too old, or the server stopped, before this worker came to it.
bool ResumeParked(uint64_t cookie, Worker& w) {
  Listener& l = TheListener();
  std::lock_guard<std::mutex> hold(l.lock);
  uint64_t index = (cookie & 0xFFFFFFFFu) - 1;
  if (index >= l.parked.size()) return false;
  Parked& p = l.parked[index];
  if (!p.used || p.serial != cookie >> 32) return false;
  UnparkFromListenerSet(l.sockets, p.client.socket);  // so that it can be parked again
  MoveClientSide(p, w);
  w.pendingLength = 0;
  w.headDeadline = {};
  FreeParked(l, static_cast<uint32_t>(index));
  return true;
}

struct AcceptExit {
  bool stopping;
  int othersInAccept;  // workers still inside accept after this one left
  int othersStarting;  // workers started and on their way there
};

// Leaves accept. When the server is stopping, the last one out closes the listener.
AcceptExit LeaveAccept() {
  Listener& l = TheListener();
  std::lock_guard<std::mutex> hold(l.lock);
  if (--l.users == 0 && l.stopping) {
    l.sockets.Close();
    l.idle.notify_all();
  }
  return {l.stopping, l.users, l.starting};
}

// Waits for the next client. An invalid socket means this worker has nothing more to accept:
// the server has stopped, or no client came within the linger time while another is in accept.
// *needSuccessor tells that no other worker is in accept or on its way there. A parked
// connection whose next request came instead leaves the socket invalid and *resumed its cookie.
Socket AcceptNext(const ServerRun& run, bool* starting, bool* needSuccessor, IpAddress* peer,
                  uint64_t* resumed) {
  for (;;) {
    if (!EnterAccept(run, starting)) return Socket();
    Socket client = AcceptClient(TheListener().sockets, kIdleWorkerLingerMs, peer, resumed);
    int code = LastErrorCode();
    AcceptExit exit = LeaveAccept();
    *needSuccessor = exit.othersInAccept + exit.othersStarting == 0;
    if (client.Valid() || *resumed != 0) return client;
    if (exit.stopping) return Socket();
    bool timedOut = IsAcceptTimeout(code);
    if (timedOut || IsTransientAcceptError(code)) {
      // With another in accept, this worker ends: a spare one rather than idle, and after a
      // failure rather than join a crowd retrying while descriptors have run out, each retry
      // taking a descriptor the rest need.
      if (exit.othersInAccept > 0) return Socket();
      if (!timedOut) std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptRetryPauseMs));
      continue;  // the only one in accept stays
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
  w.pendingLength = 0;
  w.inspected = false;
  bool starting = true;  // counted by StartWorker until it is in accept
  w.run = CurrentRun();
  for (;;) {
    bool needSuccessor = false;
    uint64_t resumed = 0;
    w.client.socket = AcceptNext(w.run, &starting, &needSuccessor, &w.clientAddress, &resumed);
    if (resumed != 0) {
      if (!ResumeParked(resumed, w)) continue;
    } else if (!w.client.Open()) {
      return;
    } else {
      // The accepted socket inherits the listener's bound on receives, the linger; it gets the
      // exchange's own. Its bound on sends is inherited as it is.
      SetReceiveTimeout(w.client.socket, w.run.options.idleTimeoutMs);
      // An answer's head and body go as they come, never held back waiting for an ACK.
      SendAtOnce(w.client.socket);
    }
    // Someone must be waiting for the next client while this one is served. When no thread can
    // be had, this worker comes back to accept after its exchange.
    if (needSuccessor) StartWorker();
    if (resumed != 0)
      ServeConnection(w, true);
    else
      ServeExchange(w);
  }
}

}  // namespace

void DescribeListener(std::span<char> text) {
  if (text.empty()) return;
  text[0] = '\0';
  Listener& l = TheListener();
  std::lock_guard<std::mutex> hold(l.lock);
  if (!l.stopping && l.sockets.Valid()) DescribeListeningAddress(l.sockets, text);
}

void TrackExchange(Worker& w) {
  InFlight& f = TheInFlight();
  std::lock_guard<std::mutex> hold(f.lock);
  if (w.inFlight) return;
  w.inFlight = true;
  w.previousInFlight = nullptr;
  w.nextInFlight = f.first;
  if (f.first != nullptr) f.first->previousInFlight = &w;
  f.first = &w;
  ++f.count;
}

void ForgetExchange(Worker& w) {
  InFlight& f = TheInFlight();
  std::lock_guard<std::mutex> hold(f.lock);
  if (!w.inFlight) return;
  w.inFlight = false;
  if (w.previousInFlight != nullptr)
    w.previousInFlight->nextInFlight = w.nextInFlight;
  else
    f.first = w.nextInFlight;
  if (w.nextInFlight != nullptr) w.nextInFlight->previousInFlight = w.previousInFlight;
  if (--f.count == 0) f.none.notify_all();
}

int FinishExchangesInFlight(int graceMs) {
  InFlight& f = TheInFlight();
  std::unique_lock<std::mutex> hold(f.lock);
  f.none.wait_for(hold, std::chrono::milliseconds(graceMs), [&] { return f.count == 0; });
  // Their workers go with the process; the reset goes out as it closes their connections.
  for (Worker* w = f.first; w != nullptr; w = w->nextInFlight)
    ResetOnClose(w->client.socket);
  return f.count;
}

int WorkersInAccept() {
  Listener& l = TheListener();
  std::lock_guard<std::mutex> hold(l.lock);
  return l.users;
}

bool ParkClient(Worker& w) {
  // Bytes already inside the TLS stream would never wake the wait.
  if (w.client.HasBuffered() || w.pendingLength != 0) return false;
  Listener& l = TheListener();
  std::lock_guard<std::mutex> hold(l.lock);
  if (l.stopping || w.run.generation != l.run.generation) return false;
  if (l.freeParked.empty()) {
    if (l.parked.size() == kMostParked) return false;
    if (l.parked.empty()) {  // once: the table never moves, its untouched pages cost nothing
      l.parked.reserve(kMostParked);
      l.freeParked.reserve(kMostParked);
    }
    l.parked.emplace_back();
    l.freeParked.push_back(static_cast<uint32_t>(l.parked.size() - 1));
  }
  uint32_t index = l.freeParked.back();
  Parked& p = l.parked[index];
  uint64_t cookie = (static_cast<uint64_t>(p.serial) << 32) | (index + 1u);
  if (!ParkInListenerSet(l.sockets, w.client.socket, cookie)) return false;
  l.freeParked.pop_back();
  // The wait may hand it to a worker at once; that one takes the lock after this one.
  MoveClientSide(w, p);
  p.since = Clock::now();
  p.used = true;
  return true;
}

int ParkedConnections() {
  Listener& l = TheListener();
  std::lock_guard<std::mutex> hold(l.lock);
  return static_cast<int>(l.parked.size() - l.freeParked.size());
}

void InstallExchangeHooks(const ExchangeHooks& hooks) {
  Listener& l = TheListener();
  std::lock_guard<std::mutex> hold(l.lock);
  l.hooks = hooks;
}

ServerOptions OptionsFromSettings() {
  ProxySettings settings = CurrentSettings();
  ServerOptions options;
  WideToSingleByte(settings.ListenAddress, options.listenAddresses);
  // A port no socket can have is the default's: the proxy still starts where browsers look.
  if (!PortOutOfRange(settings.ListenPort))
    options.port = static_cast<uint16_t>(settings.ListenPort);
  return options;
}

int StartProxyServer() {
  return StartProxyServerWith(OptionsFromSettings());
}

int StartProxyServerOn(uint16_t port, int closeDelayMs) {
  ServerOptions options = OptionsFromSettings();
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
  char failedAddress[64] = "";
  ListenerSet listeners;
  if (!ListenOn(options.listenAddresses, options.port, kListenBacklog, &listeners, &failedStep,
                failedAddress)) {
    int code = LastErrorCode();
    char16_t step[16] = {};
    for (size_t i = 0; failedStep[i] != '\0' && i + 1 < std::size(step); ++i)
      step[i] = static_cast<char16_t>(failedStep[i]);
    ShowStartFailure(code, step, options.port, failedAddress);
    return 0;
  }
  // Accepted connections inherit the bound on idle sends.
  for (size_t i = 0; i < listeners.Count(); ++i)
    SetIdleTimeout(listeners.At(i), options.idleTimeoutMs);
  // Clients speak first: a worker is woken when the request has arrived, not a moment before
  // it, and a connection opened but never used holds no thread until the wait has passed.
  AcceptOnceDataArrives(listeners, kAcceptWaitForDataSeconds);
  {
    Listener& l = TheListener();
    std::unique_lock<std::mutex> hold(l.lock);
    // A worker of an earlier run may still be on its way out of accept on the old socket.
    l.idle.wait(hold, [&] { return l.users == 0; });
    l.sockets = std::move(listeners);
    l.stopping = false;
    l.run.generation++;
    l.starting = 0;  // those of an earlier run count for nothing now
    l.run.options = options;
    l.run.hooks = l.hooks;
  }
  ForgetShownNotices();
  if (StartWorker() == 0) {
    ShowStartFailure(-1, u"create first thread", options.port);
    return 0;
  }
  return 1;
}

void StopProxyServer() {
  {
    Listener& l = TheListener();
    std::lock_guard<std::mutex> hold(l.lock);
    l.stopping = true;
    if (l.sockets.Valid()) {
      SweepParked(l, true);  // their next requests would come to a listener that is gone
      InterruptAccept(l.sockets);
      if (l.users == 0) l.sockets.Close();
    }
  }
  DropAllOrigins();  // the next run may have other settings
}
