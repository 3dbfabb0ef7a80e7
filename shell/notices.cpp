#include "shell/notices.h"

#include <algorithm>
#include <mutex>

#include "core/report_failure.h"
#include "platform/message_box.h"
#include "platform/window_system.h"
#include "shell/tray_icon.h"

namespace {

// Notices waiting for the main thread; more than these at once are only on standard error.
constexpr size_t kMostWaiting = 8;

struct Text {
  char16_t units[kFailureNoticeUnits] = {};
  size_t length = 0;
  std::u16string_view View() const { return {units, length}; }
  void Set(std::u16string_view text) {
    length = std::min(text.size(), std::size(units));
    std::copy_n(text.begin(), length, units);
  }
};

struct Waiting {
  std::mutex lock;
  Window window = Window::None;
  Text texts[kMostWaiting];
  size_t count = 0;
  bool posted = false;  // a NoticeMessage is on its way
};

// Never destroyed: a worker may hand a notice over while the process exits.
Waiting& TheWaiting() {
  static auto* waiting = new Waiting;
  return *waiting;
}

void HandOver(std::u16string_view text) {
  Waiting& w = TheWaiting();
  std::lock_guard<std::mutex> hold(w.lock);
  if (w.window == Window::None || w.count == kMostWaiting) return;
  w.texts[w.count++].Set(text);
  if (!w.posted) w.posted = PostWindowMessage(w.window, NoticeMessage, 0, 0) == 1;
}

}  // namespace

void StartNotices(Window window) {
  {
    Waiting& w = TheWaiting();
    std::lock_guard<std::mutex> hold(w.lock);
    w.window = window;
    w.count = 0;
    w.posted = false;
  }
  SetNoticeHandler(HandOver);
}

void StopNotices() {
  SetNoticeHandler(nullptr);
  Waiting& w = TheWaiting();
  std::lock_guard<std::mutex> hold(w.lock);
  w.window = Window::None;
}

void ShowWaitingNotices() {
  for (;;) {
    Text text;
    {
      Waiting& w = TheWaiting();
      std::lock_guard<std::mutex> hold(w.lock);
      w.posted = false;
      if (w.count == 0) return;
      text = w.texts[0];
      std::move(w.texts + 1, w.texts + w.count, w.texts);
      --w.count;
    }
    // Where the notification area shows none, a box that waits for no one.
    if (ShowTrayNotice(text.View()) == 0)
      OpenMessageBox(text.View(), kBoxCaption, kMbOk | kMbIconError);
  }
}
