// Picks the window system for this process: the desktop one when there is a display, the
// headless one otherwise, decided before Qt is touched so that Qt never aborts for want of one.
//
// Two programs implement it. corvane-desktop links Qt and starts it when there is a display.
// corvane links no Qt, so that a proxy on a server maps none of its libraries: when it finds a
// display it replaces itself with corvane-desktop from its own folder (same process, same
// arguments), and stays headless when that program cannot be run.
#pragma once

#include <memory>

#include "platform/window_system.h"

// True when DISPLAY or WAYLAND_DISPLAY is set.
bool DisplayNamed();

// True when DISPLAY or WAYLAND_DISPLAY names a display that answers a connection.
bool HasDisplay();

// Says on stderr that the display named cannot be reached and the program goes on without it.
void ReportUnreachableDisplay();

// Creates the window system. Call first thing in main, before any thread is started; argc and
// argv must outlive the result.
std::unique_ptr<WindowSystem> StartWindowSystem(int& argc, char** argv);
