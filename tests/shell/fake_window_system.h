// A window system that records what the shell asks of it, in order, beside the proxy services the
// main window drives, so that a test can read the whole conversation as a list of lines.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/window_system.h"

class FakeWindowSystem final : public WindowSystem {
 public:
  // The window every CreateAppWindow hands out, and what default handling answers.
  static constexpr Window kWindow = static_cast<Window>(7);
  static constexpr LResult kDefaultResult = 77;

  FakeWindowSystem();  // installs itself and fake proxy services
  ~FakeWindowSystem() override;

  std::vector<std::string> log;
  WindowClass registered;
  NotifyIconData trayData;
  Menu trackedMenu = nullptr;
  int screenWidth = 240;
  int screenHeight = 320;
  bool destroyed = false;
  // Runs inside RunDialogFromTemplate and TrackMenuPopup, as their modal loops would dispatch.
  std::function<void(DialogProc)> duringDialog;
  std::function<void()> duringMenu;

  int RegisterWindowClass(const WindowClass& windowClass) override;
  Window CreateAppWindow(const char16_t* className, const char16_t* title, uint32_t style, int x,
                         int y, int width, int height, Instance instance) override;
  int ShowAppWindow(Window window, int showCommand) override;
  int UpdateAppWindow(Window window) override;
  int DestroyAppWindow(Window window) override;
  LResult DefaultWindowProc(Window window, uint32_t message, WParam wParam, LParam lParam) override;
  LResult SendWindowMessage(Window window, uint32_t message, WParam wParam, LParam lParam) override;
  int PostWindowMessage(Window window, uint32_t message, WParam wParam, LParam lParam) override;
  Window FindWindowOfClass(std::u16string_view className) override;
  int GetNextMessage(Message* message) override;
  int TranslateAccelerators(Window window, Accelerators table, const Message& message) override;
  int TranslateKeys(const Message& message) override;
  LResult DispatchToWindow(const Message& message) override;
  void PostQuit(int exitCode) override;
  int ScreenMetric(int index) override;
  int NotifyTrayIcon(uint32_t operation, const NotifyIconData& data) override;
  int BringToForeground(Window window) override;
  int TrackMenuPopup(Menu menu, uint32_t flags, int x, int y, Window owner) override;
  intptr_t RunDialogFromTemplate(Instance instance, const DialogTemplate* dialog, Window owner,
                                 DialogProc proc, LParam initParam) override;
};

// What the fake proxy server's start answers (1 serving, 0 failed).
extern int FakeStartResult;

// A message as the log writes it: "post 273 40004 0".
std::string Line(const char* what, uint32_t message, WParam wParam, LParam lParam);

// Delivers a message to the window's handler the way the loop would.
LResult Deliver(uint32_t message, WParam wParam, LParam lParam);
