// Drives the desktop window system's loop from a test, as the program's message loop would.
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <functional>

#include "platform/window_system.h"

// Dispatches messages until done() holds or the quit message arrives (*quit is then set);
// false after limitMs. A timer posts window empty messages, so done() is looked at often.
inline bool DispatchUntil(Window window, const std::function<bool()>& done, int limitMs,
                          bool* quit = nullptr) {
  QElapsedTimer clock;
  clock.start();
  QTimer tick;
  tick.callOnTimeout([window] { PostWindowMessage(window, kWmNull, 0, 0); });
  tick.start(10);
  Message message;
  while (!done()) {
    if (clock.elapsed() > limitMs) return false;
    if (GetNextMessage(&message) == 0) {
      if (quit != nullptr) *quit = true;
      return true;
    }
    DispatchToWindow(message);
  }
  return true;
}
