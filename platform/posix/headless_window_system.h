// The window system where there is no display (servers, CI): the message loop waits with poll,
// there is no notification icon, no popup menu and no dialog, and a message box is only its line on
// standard error, which nobody has to close.
#pragma once

#include "platform/posix/local_window_system.h"

class HeadlessWindowSystem final : public LocalWindowSystem {
 public:
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

 protected:
  void WaitForEvents() override;
};
