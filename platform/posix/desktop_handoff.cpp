// The window system choice of the program that links no Qt: with a display, become the desktop
// program; without one, or when that cannot be run, stay headless.
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/posix/headless_window_system.h"
#include "platform/window_system_choice.h"

namespace {

constexpr char kDesktopProgram[] = "corvane-desktop";

// Runs the desktop program beside this one with the same arguments; returns only on failure.
void BecomeDesktopProgram(char** argv) {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return;
  path[n] = '\0';
  char* slash = std::strrchr(path, '/');
  if (slash == nullptr ||
      static_cast<size_t>(slash + 1 - path) + sizeof kDesktopProgram > sizeof path) {
    return;
  }
  std::memcpy(slash + 1, kDesktopProgram, sizeof kDesktopProgram);
  ::execv(path, argv);
  std::fprintf(stderr, "corvane: %s cannot be run, going on without the tray icon\n", path);
}

}  // namespace

std::unique_ptr<WindowSystem> StartWindowSystem(int& /*argc*/, char** argv) {
  if (HasDisplay())
    BecomeDesktopProgram(argv);
  else if (DisplayNamed())
    ReportUnreachableDisplay();
  return std::make_unique<HeadlessWindowSystem>();
}
