// One notification icon on a Qt system tray. Pointer events reach the icon's window as its tray
// message: a click as kWmLButtonDown, a double click as kWmLButtonDblClk, a right click as
// kWmRButtonUp. A click is held back for the double-click interval, so that the first half of a
// double click does not act on its own.
#pragma once

#include <QIcon>
#include <QSystemTrayIcon>
#include <QTimer>

#include "platform/window_system.h"

// How long a notification stays, unless the desktop decides otherwise.
inline constexpr int kNoticeShownMs = 10000;

class QtTrayIcon {
 public:
  QtTrayIcon(WindowSystem& system, const NotifyIconData& data);
  ~QtTrayIcon();
  QtTrayIcon(const QtTrayIcon&) = delete;
  QtTrayIcon& operator=(const QtTrayIcon&) = delete;

  bool Names(Window window, uint32_t id) const { return window == window_ && id == id_; }
  uint32_t Id() const { return id_; }

  // Changes what data's flags name (kNifIcon, kNifTip), or shows its notification (kNifInfo).
  // Returns 0 when a notification cannot be shown: no tray host, or one without messages.
  int Modify(const NotifyIconData& data);

  // Where the tray host shows the icon, in screen pixels; empty when it does not tell.
  QRect Geometry() const;

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
