// Picks the window system for this process: the desktop one when there is a display, the
// headless one otherwise, decided before Qt is touched so that Qt never aborts for want of one.
#pragma once

#include <memory>

#include "platform/window_system.h"

// True when DISPLAY or WAYLAND_DISPLAY names a display.
bool HasDisplay();

// Creates the window system. Call first thing in main, before any thread is started; argc and
// argv must outlive the result.
std::unique_ptr<WindowSystem> StartWindowSystem(int& argc, char** argv);
