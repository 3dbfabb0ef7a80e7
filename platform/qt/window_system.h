// The window system on a desktop, over Qt Widgets: the loop waits inside Qt's event processing,
// the notification icon is a QSystemTrayIcon, the popup menu a QMenu, message boxes are real
// boxes with an OK button, dialogs are built from their templates as widgets. Dialog fonts named
// "ＭＳ Ｐゴシック" are drawn with IPAPGothic.
#pragma once

#include <QApplication>
#include <QSocketNotifier>
#include <map>
#include <memory>
#include <vector>

#include "platform/posix/local_window_system.h"
#include "platform/qt/tray_icon.h"

class QtDialog;

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
  int EndModalDialog(Window dialog, intptr_t result) override;
  Window GetDialogItem(Window dialog, int id) override;
  LResult SendDialogItemMessage(Window dialog, int id, uint32_t message, WParam wParam,
                                LParam lParam) override;
  int SetDialogItemText(Window dialog, int id, const char16_t* text) override;
  int GetDialogItemText(Window dialog, int id, char16_t* buffer, int capacity) override;
  int EnableAppWindow(Window window, int enable) override;
  int GetWindowRectangle(Window window, WindowRect* rect) override;
  int SetWindowPosition(Window window, Window insertAfter, int x, int y, int width, int height,
                        uint32_t flags) override;

  // Shows a box as ShowMessageBox does and returns its answer once it has been closed.
  int RunMessageBox(const QString& text, const QString& caption, uint32_t style);

 protected:
  void WaitForEvents() override;

 private:
  void WatchDescriptors();
  QPoint MenuPlace(Window owner, QPoint given, uint32_t flags, QSize size) const;
  QtDialog* FindDialog(Window dialog) const;
  QWidget* FindWidget(Window window) const;

  std::unique_ptr<QApplication> application_;
  std::map<int, std::unique_ptr<QSocketNotifier>> notifiers_;
  std::vector<std::unique_ptr<QtTrayIcon>> trayIcons_;
  std::vector<QtDialog*> dialogs_;  // the dialogs running now, innermost last
};
