// The posted messages of the main thread: any thread may post, the main thread takes them in
// order. An eventfd becomes readable when a message was posted, so a loop can wait for it beside
// its other descriptors.
#pragma once

#include <deque>
#include <mutex>

#include "platform/posix/unique_fd.h"
#include "platform/window_types.h"

// Posted messages waiting at one time; the same quota as a Win32 thread's queue, so a flood of
// posts from other processes cannot grow the queue without end.
inline constexpr size_t kMaxQueuedMessages = 10000;

class MessageQueue {
 public:
  MessageQueue();

  // Returns false when the queue is full; the message is then lost, as a failed PostMessage.
  bool Push(const Message& message);
  bool Pop(Message* message);
  int WakeFd() const { return wake_.Get(); }
  // Drains the wake descriptor; messages stay queued.
  void ClearWake();

 private:
  std::mutex lock_;
  std::deque<Message> messages_;
  UniqueFd wake_;
};
