// The program's entry once a window system is in place: one instance per user session, a hidden
// main window, and the main thread's message loop until that window is gone.
#pragma once

#include "platform/window_types.h"

// The name that tells a running instance apart from a new one.
inline constexpr char16_t kInstanceMutexName[] = u"CorvaneInstance";

// Exit statuses, so that a script or a service manager can tell a proxy that never served.
inline constexpr int kExitNormal = 0;
inline constexpr int kExitCannotStart = 1;  // bind, listen or the first worker failed

// Runs the program and returns its exit status: kExitNormal after a close request (the menu's
// Exit, a close signal) and for a second instance, which hands the running one a tap on its icon
// so that its popup menu opens, and returns at once; kExitCannotStart once the failure has been
// shown.
int RunCorvane(Instance instance, int showCommand);
