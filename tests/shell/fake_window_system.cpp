#include "tests/shell/fake_window_system.h"

#include <algorithm>

#include "shell/dialogs.h"
#include "shell/proxy_services.h"

int FakeStartResult = 1;

namespace {

FakeWindowSystem* current = nullptr;

int FakeStart() {
  current->log.push_back("start proxy");
  return FakeStartResult;
}
void FakeStop() {
  current->log.push_back("stop proxy");
}
void FakeLoad() {
  current->log.push_back("load settings");
}

}  // namespace

std::string Line(const char* what, uint32_t message, WParam wParam, LParam lParam) {
  return std::string(what) + " " + std::to_string(message) + " " + std::to_string(wParam) + " " +
         std::to_string(lParam);
}

LResult Deliver(uint32_t message, WParam wParam, LParam lParam) {
  return current->registered.proc(FakeWindowSystem::kWindow, message, wParam, lParam);
}

FakeWindowSystem::FakeWindowSystem() {
  current = this;
  UseWindowSystem(this);
  Services = ProxyServices{FakeStart, FakeStop, FakeLoad};
  FakeStartResult = 1;
}

FakeWindowSystem::~FakeWindowSystem() {
  UseWindowSystem(nullptr);
  current = nullptr;
}

int FakeWindowSystem::RegisterWindowClass(const WindowClass& windowClass) {
  registered = windowClass;
  log.push_back("register class");
  return 1;
}

Window FakeWindowSystem::CreateAppWindow(const char16_t*, const char16_t*, uint32_t style, int x,
                                         int y, int width, int height, Instance) {
  log.push_back("create " + std::to_string(style) + " " + std::to_string(x) + " " +
                std::to_string(y) + " " + std::to_string(width) + " " + std::to_string(height));
  registered.proc(kWindow, kWmCreate, 0, 0);
  return destroyed ? Window::None : kWindow;
}

int FakeWindowSystem::ShowAppWindow(Window, int showCommand) {
  log.push_back("show " + std::to_string(showCommand));
  return 0;
}

int FakeWindowSystem::UpdateAppWindow(Window) {
  log.push_back("update");
  return 1;
}

int FakeWindowSystem::DestroyAppWindow(Window window) {
  log.push_back("destroy");
  registered.proc(window, kWmDestroy, 0, 0);
  destroyed = true;
  return 1;
}

LResult FakeWindowSystem::DefaultWindowProc(Window, uint32_t message, WParam wParam,
                                            LParam lParam) {
  log.push_back(Line("default", message, wParam, lParam));
  return kDefaultResult;
}

LResult FakeWindowSystem::SendWindowMessage(Window window, uint32_t message, WParam wParam,
                                            LParam lParam) {
  log.push_back(Line("send", message, wParam, lParam));
  return registered.proc(window, message, wParam, lParam);
}

int FakeWindowSystem::PostWindowMessage(Window, uint32_t message, WParam wParam, LParam lParam) {
  log.push_back(Line("post", message, wParam, lParam));
  return 1;
}

Window FakeWindowSystem::FindWindowOfClass(std::u16string_view) {
  return kWindow;
}

int FakeWindowSystem::GetNextMessage(Message*) {
  return 0;
}

int FakeWindowSystem::TranslateAccelerators(Window, Accelerators, const Message&) {
  return 0;
}

int FakeWindowSystem::TranslateKeys(const Message&) {
  return 0;
}

LResult FakeWindowSystem::DispatchToWindow(const Message& message) {
  return registered.proc(message.window, message.message, message.wParam, message.lParam);
}

void FakeWindowSystem::PostQuit(int exitCode) {
  log.push_back("quit " + std::to_string(exitCode));
}

int FakeWindowSystem::ScreenMetric(int index) {
  log.push_back("metric " + std::to_string(index));
  return index == kSmCxScreen ? screenWidth : screenHeight;
}

int FakeWindowSystem::NotifyTrayIcon(uint32_t operation, const NotifyIconData& data) {
  if (operation != kNimModify) {
    log.push_back(operation == kNimAdd ? "tray add" : "tray delete");
    trayData = data;
    return 1;
  }
  if ((data.flags & kNifTip) != 0) {
    log.push_back("tray tip");
    tip = data.tip;
  }
  if ((data.flags & kNifInfo) != 0) {
    log.push_back("tray notice " + std::to_string(data.infoFlags));
    notices.push_back(std::u16string(data.infoTitle) + u"|" + data.info);
    return showsNotices ? 1 : 0;
  }
  return 1;
}

int FakeWindowSystem::BringToForeground(Window) {
  log.push_back("foreground");
  return 1;
}

int FakeWindowSystem::TrackMenuPopup(Menu menu, uint32_t flags, int x, int y, Window) {
  trackedMenu = menu;
  log.push_back("track " + std::to_string(x) + " " + std::to_string(y) + " " +
                std::to_string(flags));
  if (duringMenu) duringMenu();
  return 1;
}

intptr_t FakeWindowSystem::RunDialogFromTemplate(Instance, const DialogTemplate* dialog, Window,
                                                 DialogProc proc, LParam initParam) {
  std::string name = proc == SettingsDialogProc ? "settings" : "about";
  log.push_back("dialog " + name + (dialog ? " template" : " missing") + " " +
                std::to_string(initParam));
  if (duringDialog) duringDialog(proc);
  log.push_back("dialog " + name + " ended");
  return 1;
}

int FakeWindowSystem::EndModalDialog(Window dialog, intptr_t result) {
  if (dialog != kDialog) return 0;
  log.push_back("end " + std::to_string(result));
  dialogEnded = true;
  dialogResult = result;
  return 1;
}

Window FakeWindowSystem::GetDialogItem(Window dialog, int id) {
  return dialog == kDialog ? static_cast<Window>(kDialogItems + static_cast<uintptr_t>(id))
                           : Window::None;
}

LResult FakeWindowSystem::SendDialogItemMessage(Window dialog, int id, uint32_t message,
                                                WParam wParam, LParam) {
  if (dialog != kDialog) return 0;
  if (message == kBmSetCheck) {
    log.push_back("check " + std::to_string(id) + " " + std::to_string(wParam));
    controls[id].check = wParam;
    return 0;
  }
  if (message == kBmGetCheck) {
    log.push_back("read check " + std::to_string(id));
    return static_cast<LResult>(controls[id].check);
  }
  return 0;
}

int FakeWindowSystem::SetDialogItemText(Window dialog, int id, const char16_t* text) {
  if (dialog != kDialog) return 0;
  log.push_back("text " + std::to_string(id));
  controls[id].text = text;
  return 1;
}

int FakeWindowSystem::GetDialogItemText(Window dialog, int id, char16_t* buffer, int capacity) {
  if (dialog != kDialog || capacity <= 0) return 0;
  log.push_back("read text " + std::to_string(id) + " " + std::to_string(capacity));
  const std::u16string& text = controls[id].text;
  size_t n = std::min(text.size(), static_cast<size_t>(capacity - 1));
  std::copy_n(text.begin(), n, buffer);
  buffer[n] = u'\0';
  return static_cast<int>(n);
}

int FakeWindowSystem::EnableAppWindow(Window window, int enable) {
  auto raw = static_cast<uintptr_t>(window);
  if (raw < kDialogItems) return 0;
  int id = static_cast<int>(raw - kDialogItems);
  log.push_back("enable " + std::to_string(id) + " " + std::to_string(enable));
  bool wasDisabled = !controls[id].enabled;
  controls[id].enabled = enable != 0;
  return wasDisabled ? 1 : 0;
}

int FakeWindowSystem::GetWindowRectangle(Window window, WindowRect* rect) {
  if (window != kDialog || !dialogHasRect) return 0;
  *rect = dialogRect;
  return 1;
}

int FakeWindowSystem::SetWindowPosition(Window window, Window insertAfter, int x, int y, int width,
                                        int height, uint32_t flags) {
  if (window != kDialog) return 0;
  log.push_back("move " + std::to_string(x) + " " + std::to_string(y) + " " +
                std::to_string(width) + " " + std::to_string(height) + " " +
                std::to_string(static_cast<uintptr_t>(insertAfter)) + " " + std::to_string(flags));
  return 1;
}
