// The window system where there is no display (servers, CI): the message loop waits with poll,
// there is no notification icon and no popup menu, and a message box is only its line on standard
// error, which nobody has to close.
#pragma once

#include "platform/local_window_system.h"

class HeadlessWindowSystem final : public LocalWindowSystem {
 public:
  int ScreenMetric(int index) override;
  int NotifyTrayIcon(uint32_t operation, const NotifyIconData& data) override;
  int BringToForeground(Window window) override;
  int TrackMenuPopup(Menu menu, uint32_t flags, int x, int y, Window owner) override;
  intptr_t RunDialogFromTemplate(Instance instance, const DialogTemplate* dialog, Window owner,
                                 DialogProc proc, LParam initParam) override;

 protected:
  void WaitForEvents() override;
};
