#include "shell/tray_icon.h"

#include "platform/resource_table.h"
#include "platform/window_system.h"
#include "resources/resource_ids.h"
#include "shell/main_window.h"

// The notification icon's image edge in pixels.
constexpr int kTrayIconSize = 16;

NotifyIconData TrayIconData;

void AddTrayIcon(Window window) {
  TrayIconData.size = sizeof TrayIconData;
  TrayIconData.window = window;
  TrayIconData.id = kTrayIconId;
  TrayIconData.flags = kNifMessage | kNifIcon;  // no kNifTip: the icon shows no tip
  TrayIconData.callbackMessage = TrayNotifyMessage;
  // Stays loaded until the process ends; a missing image leaves an icon without a picture.
  TrayIconData.icon =
      LoadIconImage(AppInstance, IDI_CORVANE, kImageIcon, kTrayIconSize, kTrayIconSize, 0);
  NotifyTrayIcon(kNimAdd, TrayIconData);
}

void RemoveTrayIcon() {
  NotifyTrayIcon(kNimDelete, TrayIconData);
}
