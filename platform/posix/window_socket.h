// How a window of one process is found and posted to from another: a Unix datagram socket named
// "<runtime directory>/<window class>.window", bound by the process that owns the instance mutex,
// on which each datagram is one posted message (message, first parameter, second parameter).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/posix/unique_fd.h"
#include "platform/window_types.h"

// The bound socket of a window class; the socket file goes when this does.
class BoundWindowSocket {
 public:
  BoundWindowSocket() = default;
  BoundWindowSocket(UniqueFd socket, std::string path)
      : socket_(std::move(socket)), path_(std::move(path)) {}
  BoundWindowSocket(BoundWindowSocket&& other) noexcept = default;
  BoundWindowSocket& operator=(BoundWindowSocket&& other) noexcept;
  BoundWindowSocket(const BoundWindowSocket&) = delete;
  BoundWindowSocket& operator=(const BoundWindowSocket&) = delete;
  ~BoundWindowSocket() { Unbind(); }

  bool Valid() const { return socket_.Valid(); }
  int Fd() const { return socket_.Get(); }
  void Unbind();

 private:
  UniqueFd socket_;
  std::string path_;
};

// Replaces whatever socket file a dead holder left and binds a fresh one, non-blocking. Call only
// while owning the instance mutex. Invalid when the directory or the socket cannot be had.
BoundWindowSocket BindWindowSocket(std::u16string_view className);

// A socket connected to the class's running window, or invalid when there is none: no socket
// file, or a stale one that nobody receives on.
UniqueFd ConnectWindowSocket(std::u16string_view className);

// Sends one message on a connected socket. Returns 1 when sent.
int SendPostedMessage(int socket, const Message& message);

// Takes one waiting message without blocking. Returns 1 with message filled (its window left
// None), 0 when nothing is waiting. Datagrams of the wrong size are dropped.
int ReceivePostedMessage(int socket, Message* message);
