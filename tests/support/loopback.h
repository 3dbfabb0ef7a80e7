// Loopback peers for tests that go through the running proxy: an origin server that records
// what it receives, and a client that sends one request and reads the whole answer.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

// A free TCP port on 127.0.0.1 at the moment of the call.
uint16_t FreeLoopbackPort();

// A listening socket on 127.0.0.1 (or ::1) with a port of the system's choice, put in *port.
int ListenOnLoopback(uint16_t* port, bool ipv6 = false);

// A connected socket to 127.0.0.1:port, or -1.
int ConnectLoopback(uint16_t port);

// Writes all of bytes; false when the peer went away.
bool WriteAll(int fd, std::string_view bytes);

// Closes a socket of the helpers above; shuts down its sending side only.
void CloseConnection(int fd);
void ShutdownSending(int fd);

// Reads until the peer closes or `limit` passes with nothing new. Returns what arrived.
std::string ReadUntilClosed(int fd, std::chrono::milliseconds limit = 5000ms);

// Connects to the proxy, sends request, and returns everything the proxy sends back until it
// closes the connection.
std::string Exchange(uint16_t port, std::string_view request,
                     std::chrono::milliseconds limit = 5000ms);

// An origin (or upstream proxy) on 127.0.0.1. Each connection is read until its head and the
// body its "Content-Length:" or chunks declare have arrived (or the client stops sending), or
// until the client's end of data, recorded, and answered with `answer`; then the origin closes
// the connection.
class TestOrigin {
 public:
  enum class Reading { kAsDeclared, kToTheEnd };
  // Listens on 127.0.0.1, or on ::1 when ipv6 is set.
  explicit TestOrigin(std::string answer, bool ipv6 = false,
                      Reading reading = Reading::kAsDeclared);
  ~TestOrigin();
  TestOrigin(const TestOrigin&) = delete;
  TestOrigin& operator=(const TestOrigin&) = delete;

  uint16_t Port() const { return port_; }

  // After its answer, keeps each connection open for up to limit, until the proxy closes it.
  void HoldOpen(std::chrono::milliseconds limit) { holdOpenMs_ = static_cast<int>(limit.count()); }

  // Answers every request of a connection, keeping it until the client closes; with closeAfter,
  // a connection that has had that many answers closes when its next request comes, unanswered
  // and unrecorded, as a server whose idle bound has just passed. Call before the first request.
  void KeepConnections(int closeAfter = 0) {
    closeAfter_ = closeAfter;
    keepsAlive_ = true;
  }

  // Waits until `count` requests have been recorded; returns the one at `index` ("" on timeout).
  std::string Request(size_t index, std::chrono::milliseconds limit = 5000ms);
  size_t RequestCount();
  // Connections accepted so far.
  int ConnectionCount() const { return connections_; }

 private:
  void Serve();
  void ServeKept(int fd);
  void Record(const std::string& request);

  std::string answer_;
  Reading reading_;
  std::atomic<int> holdOpenMs_{0};
  std::atomic<bool> keepsAlive_{false};
  std::atomic<int> closeAfter_{0};
  std::atomic<int> connections_{0};
  std::atomic<bool> stopping_{false};
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::mutex lock_;
  std::condition_variable arrived_;
  std::vector<std::string> requests_;
  std::thread thread_;
  std::vector<std::thread> kept_;  // serving kept connections, touched by thread_ alone
};

// An answer as the client receives it when its connection closes after it: "Connection: close"
// added as the head's last line.
std::string Closing(const std::string& answer);

// A request as the origin receives it from the proxy, or an answer as a client that keeps its
// connection receives it: "Connection: keep-alive" added as the head's last line.
std::string Forwarded(const std::string& message);

// The length of the whole request at the start of text (see RequestComplete); npos while it is
// incomplete.
size_t RequestLength(std::string_view text);

// True when text holds a whole request: its head and the body its "Content-Length:" (any letter
// case) declares, or its chunks up to the last one and the trailer's end.
bool RequestComplete(std::string_view text);

// A body in chunks of chunkBytes (the last one shorter), a zero chunk and the trailer lines.
std::string Chunked(std::string_view body, size_t chunkBytes, std::string_view trailer);
