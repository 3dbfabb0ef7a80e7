// The program's one window: hidden, never shown. It owns the notification icon, receives the
// icon's tray message and the menu's commands, owns the dialogs, and ties the proxy server's life
// to its own: the server starts when the window is created and stops when it is destroyed.
#pragma once

#include "platform/window_types.h"

// Wide characters of the class name and title buffers, terminator included.
inline constexpr int kNameUnits = 100;

// Process-wide state, touched by the main thread only.
extern Instance AppInstance;                // recorded by CreateMainWindow
extern char16_t MainClassName[kNameUnits];  // string 3, loaded first thing by the entry
extern int ScreenWidth;                     // pixels, taken once on creation
extern int ScreenHeight;
extern int SettingsDialogOpen;  // 1 while the settings dialog runs
extern int AboutDialogOpen;     // 1 while the About dialog runs

// Registers the main window class; the result is of no interest.
void RegisterMainWindowClass(Instance instance, const char16_t* className);

// Records the instance and creates the hidden window, which starts the proxy on its creation.
// Returns 1 when the window exists, 0 when it could not be created or closed itself.
int CreateMainWindow(Instance instance, int showCommand);

// The main window's handler.
LResult MainWindowProc(Window window, uint32_t message, WParam wParam, LParam lParam);
