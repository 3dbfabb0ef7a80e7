#include "platform/window_system_choice.h"

#include "platform/posix/headless_window_system.h"
#include "platform/qt/window_system.h"

std::unique_ptr<WindowSystem> StartWindowSystem(int& argc, char** argv) {
  if (HasDisplay()) return std::make_unique<QtWindowSystem>(argc, argv);
  if (DisplayNamed()) ReportUnreachableDisplay();
  return std::make_unique<HeadlessWindowSystem>();
}
