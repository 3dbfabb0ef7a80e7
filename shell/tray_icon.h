// The notification icon: the program's only visible presence.
#pragma once

#include <string_view>

#include "platform/window_types.h"

// What the notification area sends the main window when the pointer acts on the icon; the first
// parameter is the icon id, the second the pointer event (kWmLButtonDown, kWmLButtonDblClk, ...).
inline constexpr uint32_t TrayNotifyMessage = kWmApp + 500;  // 33268
// The program's one icon.
inline constexpr uint32_t kTrayIconId = 1;

// The icon's record, filled once by AddTrayIcon and handed back unchanged by RemoveTrayIcon.
extern NotifyIconData TrayIconData;

// Adds the icon for the window, with its 16 by 16 image and the tip "Corvane". The result is
// ignored: without a notification area the program runs on without an icon.
void AddTrayIcon(Window window);

// Removes the icon that AddTrayIcon added.
void RemoveTrayIcon();

// Makes the tip say where the proxy listens, "Corvane — 127.0.0.1:8080", with a line for HTTPS
// inspection when it runs and one for the upstream proxy when it is used.
void UpdateTrayTip();

// Shows text as the icon's notification, with the error icon. Returns 0 when the notification
// area cannot show it.
int ShowTrayNotice(std::u16string_view text);
