// The popup menu that a click on the notification icon opens: Settings, version information,
// HTTPS inspection (where the build has it), Exit.
#pragma once

#include "platform/window_types.h"

// Where the menu's bottom-left corner goes, measured from the screen's right and bottom edges:
// just above the notification area, beside the icon.
inline constexpr int kMenuOffsetFromRight = 64;
inline constexpr int kMenuOffsetFromBottom = 28;

// Shows menu 102's submenu for the window and returns when it has closed. A chosen item reaches
// the window as kWmCommand; nothing of the menu survives to the next popup.
void ShowTrayMenu(Window window);
