#include "platform/message_box.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <shared_mutex>

#include "platform/text_convert.h"
#include "platform/window_types.h"

namespace {

std::atomic<MessageBoxHandler> boxHandler{nullptr};
std::atomic<MessageBoxHandler> openBoxHandler{nullptr};

// Notices come from workers while the main thread may replace the handler: the lock lets
// SetNoticeHandler wait until no worker runs the old one, whose state may go away with it.
std::shared_mutex& NoticeLock() {
  static auto* lock = new std::shared_mutex;  // never destroyed: detached workers may outlive main
  return *lock;
}
NoticeHandler noticeHandler = nullptr;

// Longest box text written to standard error, in bytes; the proxy's own texts are far shorter.
constexpr size_t kLineBytes = 1024;

}  // namespace

void WriteMessageLine(std::u16string_view text) {
  char line[kLineBytes];
  WideToSingleByte(text, line);
  std::fprintf(stderr, "%s\n", line);
  std::fflush(stderr);
}

int ShowMessageBox(std::u16string_view text, std::u16string_view caption, uint32_t style) {
  if (MessageBoxHandler handler = boxHandler.load()) return handler(text, caption, style);
  return (style & kMbButtonsMask) == kMbYesNo ? kIdNo : kIdOk;
}

void OpenMessageBox(std::u16string_view text, std::u16string_view caption, uint32_t style) {
  if (MessageBoxHandler handler = openBoxHandler.load()) handler(text, caption, style);
}

void SetMessageBoxHandlers(MessageBoxHandler modal, MessageBoxHandler modeless) {
  boxHandler.store(modal);
  openBoxHandler.store(modeless);
}

void SetMessageBoxHandler(MessageBoxHandler handler) {
  SetMessageBoxHandlers(handler, nullptr);
}

void ShowNotice(std::u16string_view text) {
  std::shared_lock<std::shared_mutex> hold(NoticeLock());
  if (noticeHandler != nullptr) noticeHandler(text);
}

void SetNoticeHandler(NoticeHandler handler) {
  std::unique_lock<std::shared_mutex> hold(NoticeLock());
  noticeHandler = handler;
}
