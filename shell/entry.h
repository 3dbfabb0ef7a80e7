// The program's entry once a window system is in place: one instance per user session, a hidden
// main window, and the main thread's message loop until that window is gone.
#pragma once

#include "platform/window_types.h"

// The name that tells a running instance apart from a new one.
inline constexpr char16_t kInstanceMutexName[] = u"CorvaneInstance";

// Runs the program and returns its exit code, 0 on every path. A second instance hands the
// running one a tap on its icon, so that its popup menu opens, and returns at once.
int RunCorvane(Instance instance, int showCommand);
