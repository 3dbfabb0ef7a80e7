#include "platform/window_system_choice.h"

#include "platform/win32/window_system.h"

// Windows always has its desktop: there is no headless choice to make.
std::unique_ptr<WindowSystem> StartWindowSystem(int& /*argc*/, char** /*argv*/) {
  return std::make_unique<Win32WindowSystem>();
}
