// One notification icon on a Qt system tray. Pointer events reach the icon's window as its tray
// message: a click as kWmLButtonDown, a double click as kWmLButtonDblClk. A click is held back for
// the double-click interval, so that the first half of a double click does not act on its own.
#pragma once

#include <QIcon>
#include <QSystemTrayIcon>
#include <QTimer>

#include "platform/window_system.h"

class QtTrayIcon {
 public:
  QtTrayIcon(WindowSystem& system, const NotifyIconData& data);
  ~QtTrayIcon();
  QtTrayIcon(const QtTrayIcon&) = delete;
  QtTrayIcon& operator=(const QtTrayIcon&) = delete;

  bool Names(Window window, uint32_t id) const { return window == window_ && id == id_; }

 private:
  void OnActivated(QSystemTrayIcon::ActivationReason reason);
  void Post(uint32_t pointerEvent);

  WindowSystem& system_;
  Window window_;
  uint32_t id_;
  uint32_t callbackMessage_;
  bool reports_;
  QSystemTrayIcon* icon_;  // a child of the application, where tests and tools can find it
  QTimer heldClick_;
};

// The Qt picture of an icon image; a null icon for none.
QIcon IconFromImage(Icon image);
