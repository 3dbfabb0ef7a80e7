#include "shell/tray_icon.h"

#include <cstdio>
#include <string_view>

#include "core/local_authority.h"
#include "core/server.h"
#include "core/settings.h"
#include "platform/resource_table.h"
#include "platform/text_convert.h"
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
  TrayIconData.flags = kNifMessage | kNifIcon | kNifTip;
  TrayIconData.callbackMessage = TrayNotifyMessage;
  // Stays loaded until the process ends; a missing image leaves an icon without a picture.
  TrayIconData.icon =
      LoadIconImage(AppInstance, IDI_CORVANE, kImageIcon, kTrayIconSize, kTrayIconSize, 0);
  WideWriter tip(TrayIconData.tip);
  tip.Put(u"Corvane");
  NotifyTrayIcon(kNimAdd, TrayIconData);
}

void RemoveTrayIcon() {
  NotifyTrayIcon(kNimDelete, TrayIconData);
}

void UpdateTrayTip() {
  if (TrayIconData.window == Window::None) return;
  WideWriter tip(TrayIconData.tip);
  tip.Put(u"Corvane");
  char listening[kListenerTextSize];
  DescribeListener(listening);
  if (listening[0] != '\0') {
    tip.Put(u" — ");
    tip.PutSingleByte(listening);
  }
  if (InspectionReady()) tip.Put(u"\nHTTPS 検査中");
  ProxySettings settings = CurrentSettings();
  if (settings.UseProxy != 0) {
    tip.Put(u"\n上位プロキシ ");
    tip.Put(std::u16string_view(settings.ProxyName));
    char port[8];
    std::snprintf(port, sizeof port, ":%u", static_cast<unsigned>(settings.ProxyPort & 0xFFFF));
    tip.PutSingleByte(port);
  }
  NotifyIconData change = TrayIconData;
  change.flags = kNifTip;
  NotifyTrayIcon(kNimModify, change);
}

int ShowTrayNotice(std::u16string_view text) {
  if (TrayIconData.window == Window::None) return 0;
  NotifyIconData notice = TrayIconData;
  notice.flags = kNifInfo;
  notice.infoFlags = kNiifError;
  WideWriter title(notice.infoTitle);
  title.Put(u"Corvane");
  WideWriter info(notice.info);
  info.Put(text);
  return NotifyTrayIcon(kNimModify, notice);
}
