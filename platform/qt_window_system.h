// The window system on a desktop, over Qt Widgets: the loop waits inside Qt's event processing,
// the notification icon is a QSystemTrayIcon, the popup menu a QMenu, message boxes are real
// boxes with an OK button. Dialog fonts named "ＭＳ Ｐゴシック" are drawn with IPAPGothic.
#pragma once

#include <QApplication>
#include <QSocketNotifier>
#include <map>
#include <memory>
#include <vector>

#include "platform/local_window_system.h"
#include "platform/qt_tray_icon.h"

class QtWindowSystem final : public LocalWindowSystem {
 public:
  // argc and argv must outlive this object, as QApplication requires. Needs a display (or
  // QT_QPA_PLATFORM=offscreen): Qt aborts the process without one.
  QtWindowSystem(int& argc, char** argv);
  ~QtWindowSystem() override;

  int RegisterWindowClass(const WindowClass& windowClass) override;
  int ScreenMetric(int index) override;
  int NotifyTrayIcon(uint32_t operation, const NotifyIconData& data) override;
  int BringToForeground(Window window) override;
  int TrackMenuPopup(Menu menu, uint32_t flags, int x, int y, Window owner) override;
  intptr_t RunDialogFromTemplate(Instance instance, const DialogTemplate* dialog, Window owner,
                                 DialogProc proc, LParam initParam) override;

  // Shows a box with an OK button and returns when it has been closed; main thread only.
  void RunMessageBox(const QString& text);

 protected:
  void WaitForEvents() override;

 private:
  void WatchDescriptors();

  std::unique_ptr<QApplication> application_;
  std::map<int, std::unique_ptr<QSocketNotifier>> notifiers_;
  std::vector<std::unique_ptr<QtTrayIcon>> trayIcons_;
};
