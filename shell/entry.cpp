#include "shell/entry.h"

#include <cstdio>

#include "platform/named_mutex.h"
#include "platform/resource_table.h"
#include "platform/window_system.h"
#include "resources/resource_ids.h"
#include "shell/main_window.h"
#include "shell/tray_icon.h"

namespace {

// Owns the instance mutex handle, so that every way out of the entry releases and closes it.
class InstanceMutex {
 public:
  explicit InstanceMutex(NamedMutex handle) : handle_(handle) {}
  InstanceMutex(const InstanceMutex&) = delete;
  InstanceMutex& operator=(const InstanceMutex&) = delete;
  ~InstanceMutex() {
    if (handle_ == NamedMutex::None) return;
    ReleaseNamedMutex(handle_);
    CloseNamedMutex(handle_);
  }

 private:
  NamedMutex handle_;
};

// What a tap on the running instance's icon would deliver: its popup menu opens.
void SignalRunningInstance() {
  Window running = FindWindowOfClass(MainClassName);
  if (running == Window::None) return;
  if (PostWindowMessage(running, TrayNotifyMessage, kTrayIconId, kWmLButtonDown) == 0) return;
  // Without a screen nothing appears here, so a terminal user learns where the start went.
  if (ScreenMetric(kSmCxScreen) == 0) {
    std::fputs("corvane: already running; the running instance was asked to open its menu\n",
               stderr);
  }
}

int RunMessageLoop(Accelerators accelerators) {
  Message message;
  while (GetNextMessage(&message) != 0) {
    if (TranslateAccelerators(message.window, accelerators, message) != 0) continue;
    TranslateKeys(message);
    DispatchToWindow(message);
  }
  return static_cast<int>(message.wParam);
}

}  // namespace

int RunCorvane(Instance instance, int showCommand) {
  LoadStringResource(instance, IDS_CLASS_NAME, MainClassName);
  int lastError = 0;
  // A mutex that cannot be had at all leaves the program running without the protection.
  InstanceMutex mutex(CreateNamedMutex(kInstanceMutexName, &lastError));
  if (lastError == kErrorAlreadyExists) {
    SignalRunningInstance();
    return kExitNormal;
  }
  // No window: it closed itself when the proxy could not start, after showing why.
  if (CreateMainWindow(instance, showCommand) == 0) return kExitCannotStart;
  return RunMessageLoop(LoadAcceleratorTable(instance, IDR_ACCELERATORS));
}
