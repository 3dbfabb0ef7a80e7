#include "platform/window_system_choice.h"

#include <cstdlib>

#include "platform/headless_window_system.h"
#include "platform/qt_window_system.h"

namespace {

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

}  // namespace

bool HasDisplay() {
  return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY");
}

std::unique_ptr<WindowSystem> StartWindowSystem(int& argc, char** argv) {
  if (HasDisplay()) return std::make_unique<QtWindowSystem>(argc, argv);
  return std::make_unique<HeadlessWindowSystem>();
}
