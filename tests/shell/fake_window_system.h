// A window system that records what the shell asks of it, in order, beside the proxy services the
// main window drives, so that a test can read the whole conversation as a list of lines.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/window_system.h"

// One control of the fake dialog: what the dialog handlers set and read.
struct FakeControl {
  WParam check = 0;  // the state last given with kBmSetCheck, answered to kBmGetCheck
  bool enabled = true;
  std::u16string text;
};

class FakeWindowSystem final : public WindowSystem {
 public:
  // The window every CreateAppWindow hands out, and what default handling answers.
  static constexpr Window kWindow = static_cast<Window>(7);
  static constexpr LResult kDefaultResult = 77;

  FakeWindowSystem();  // installs itself and fake proxy services
  ~FakeWindowSystem() override;

  std::vector<std::string> log;
  WindowClass registered;
  NotifyIconData trayData;              // as last added or deleted
  std::u16string tip;                   // as last changed
  std::vector<std::u16string> notices;  // "title|text" of each notification asked for
  bool showsNotices = true;
  Menu trackedMenu = nullptr;
  int screenWidth = 240;
  int screenHeight = 320;
  bool destroyed = false;

  // The one dialog that the dialog operations reach, with its controls by id; a control comes
  // into being when first touched. Its handle is kDialog, a control's is kDialogItems + id.
  static constexpr Window kDialog = static_cast<Window>(9);
  static constexpr uintptr_t kDialogItems = 0x10000;
  std::map<int, FakeControl> controls;
  bool dialogHasRect = true;
  WindowRect dialogRect{0, 0, 200, 150};
  bool dialogEnded = false;
  intptr_t dialogResult = 0;
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
  int EndModalDialog(Window dialog, intptr_t result) override;
  Window GetDialogItem(Window dialog, int id) override;
  LResult SendDialogItemMessage(Window dialog, int id, uint32_t message, WParam wParam,
                                LParam lParam) override;
  int SetDialogItemText(Window dialog, int id, const char16_t* text) override;
  int GetDialogItemText(Window dialog, int id, char16_t* buffer, int capacity) override;
  int EnableAppWindow(Window window, int enable) override;
  int GetWindowRectangle(Window window, WindowRect* rect) override;
  int SetWindowPosition(Window window, Window insertAfter, int x, int y, int width, int height,
                        uint32_t flags) override;
};

// What the fake proxy server's start answers (1 serving, 0 failed).
extern int FakeStartResult;

// A message as the log writes it: "post 273 40004 0".
std::string Line(const char* what, uint32_t message, WParam wParam, LParam lParam);

// Delivers a message to the window's handler the way the loop would.
LResult Deliver(uint32_t message, WParam wParam, LParam lParam);
