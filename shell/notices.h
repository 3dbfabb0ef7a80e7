// Notices of failures on the desktop. A worker that hits a failure hands its text over and goes
// on; the main window shows it as the notification icon's notification, or where the
// notification area cannot show one, as a box that nobody waits for.
#pragma once

#include "platform/window_types.h"

// What the main window is posted when notices wait.
inline constexpr uint32_t NoticeMessage = kWmApp + 501;

// Sends notices to window from now on.
void StartNotices(Window window);

// Sends them nowhere any more: no worker is handing one over once this returns.
void StopNotices();

// Shows the notices that wait; the main window's answer to NoticeMessage.
void ShowWaitingNotices();
