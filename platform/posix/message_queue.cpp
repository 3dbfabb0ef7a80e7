#include "platform/posix/message_queue.h"

#include <sys/eventfd.h>

#include <cstdint>

MessageQueue::MessageQueue() : wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

bool MessageQueue::Push(const Message& message) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (messages_.size() >= kMaxQueuedMessages) return false;
    messages_.push_back(message);
  }
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_.Get(), &one, sizeof one);
  return true;
}

bool MessageQueue::Pop(Message* message) {
  std::lock_guard<std::mutex> hold(lock_);
  if (messages_.empty()) return false;
  *message = messages_.front();
  messages_.pop_front();
  return true;
}

void MessageQueue::ClearWake() {
  uint64_t count = 0;
  [[maybe_unused]] ssize_t n = ::read(wake_.Get(), &count, sizeof count);
}
