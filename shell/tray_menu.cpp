#include "shell/tray_menu.h"

#include "core/local_authority.h"
#include "platform/resource_table.h"
#include "platform/window_system.h"
#include "resources/resource_ids.h"
#include "shell/main_window.h"

void ShowTrayMenu(Window window) {
  Menu menu = LoadMenuResource(AppInstance, IDR_TRAY_MENU);
  if (menu == nullptr) return;
  Menu popup = MenuSubmenu(menu, 0);
  if (popup == nullptr) {
    ReleaseMenu(menu);
    return;
  }
  int x = ScreenWidth - kMenuOffsetFromRight;
  int y = ScreenHeight - kMenuOffsetFromBottom;
  // Checked while inspection runs: on in the settings and the authority usable.
  CheckMenuCommand(popup, IDM_INSPECT_HTTPS, InspectionReady());
  BringToForeground(window);
  TrackMenuPopup(popup, kTpmBottomAlign, x, y, window);
  // Lets the window's thread notice that the menu is gone before the next one opens.
  PostWindowMessage(window, kWmNull, 0, 0);
  ReleaseMenu(menu);
}
