#include "platform/window_system.h"

namespace {

// Set once by the entry before the first window and cleared after the last; main thread only.
WindowSystem* activeSystem = nullptr;

}  // namespace

void UseWindowSystem(WindowSystem* system) {
  activeSystem = system;
}

int RegisterWindowClass(const WindowClass& windowClass) {
  return activeSystem ? activeSystem->RegisterWindowClass(windowClass) : 0;
}

Window CreateAppWindow(const char16_t* className, const char16_t* title, uint32_t style, int x,
                       int y, int width, int height, Instance instance) {
  if (activeSystem == nullptr) return Window::None;
  return activeSystem->CreateAppWindow(className, title, style, x, y, width, height, instance);
}

int ShowAppWindow(Window window, int showCommand) {
  return activeSystem ? activeSystem->ShowAppWindow(window, showCommand) : 0;
}

int UpdateAppWindow(Window window) {
  return activeSystem ? activeSystem->UpdateAppWindow(window) : 0;
}

int DestroyAppWindow(Window window) {
  return activeSystem ? activeSystem->DestroyAppWindow(window) : 0;
}

LResult DefaultWindowProc(Window window, uint32_t message, WParam wParam, LParam lParam) {
  return activeSystem ? activeSystem->DefaultWindowProc(window, message, wParam, lParam) : 0;
}

LResult SendWindowMessage(Window window, uint32_t message, WParam wParam, LParam lParam) {
  return activeSystem ? activeSystem->SendWindowMessage(window, message, wParam, lParam) : 0;
}

int PostWindowMessage(Window window, uint32_t message, WParam wParam, LParam lParam) {
  return activeSystem ? activeSystem->PostWindowMessage(window, message, wParam, lParam) : 0;
}

Window FindWindowOfClass(std::u16string_view className) {
  return activeSystem ? activeSystem->FindWindowOfClass(className) : Window::None;
}

int GetNextMessage(Message* message) {
  if (activeSystem == nullptr) {
    *message = Message{Window::None, kWmQuit, 0, 0};
    return 0;
  }
  return activeSystem->GetNextMessage(message);
}

int TranslateAccelerators(Window window, Accelerators table, const Message& message) {
  return activeSystem ? activeSystem->TranslateAccelerators(window, table, message) : 0;
}

int TranslateKeys(const Message& message) {
  return activeSystem ? activeSystem->TranslateKeys(message) : 0;
}

LResult DispatchToWindow(const Message& message) {
  return activeSystem ? activeSystem->DispatchToWindow(message) : 0;
}

void PostQuit(int exitCode) {
  if (activeSystem) activeSystem->PostQuit(exitCode);
}

int ScreenMetric(int index) {
  return activeSystem ? activeSystem->ScreenMetric(index) : 0;
}

int NotifyTrayIcon(uint32_t operation, const NotifyIconData& data) {
  return activeSystem ? activeSystem->NotifyTrayIcon(operation, data) : 0;
}

int BringToForeground(Window window) {
  return activeSystem ? activeSystem->BringToForeground(window) : 0;
}

int TrackMenuPopup(Menu menu, uint32_t flags, int x, int y, Window owner) {
  return activeSystem ? activeSystem->TrackMenuPopup(menu, flags, x, y, owner) : 0;
}

intptr_t RunDialogFromTemplate(Instance instance, const DialogTemplate* dialog, Window owner,
                               DialogProc proc, LParam initParam) {
  if (activeSystem == nullptr) return -1;
  return activeSystem->RunDialogFromTemplate(instance, dialog, owner, proc, initParam);
}

int EndModalDialog(Window dialog, intptr_t result) {
  return activeSystem ? activeSystem->EndModalDialog(dialog, result) : 0;
}

Window GetDialogItem(Window dialog, int id) {
  return activeSystem ? activeSystem->GetDialogItem(dialog, id) : Window::None;
}

LResult SendDialogItemMessage(Window dialog, int id, uint32_t message, WParam wParam,
                              LParam lParam) {
  if (activeSystem == nullptr) return 0;
  return activeSystem->SendDialogItemMessage(dialog, id, message, wParam, lParam);
}

int SetDialogItemText(Window dialog, int id, const char16_t* text) {
  return activeSystem ? activeSystem->SetDialogItemText(dialog, id, text) : 0;
}

int GetDialogItemText(Window dialog, int id, char16_t* buffer, int capacity) {
  if (activeSystem == nullptr) {
    if (buffer != nullptr && capacity > 0) buffer[0] = u'\0';
    return 0;
  }
  return activeSystem->GetDialogItemText(dialog, id, buffer, capacity);
}

int EnableAppWindow(Window window, int enable) {
  return activeSystem ? activeSystem->EnableAppWindow(window, enable) : 0;
}

int GetWindowRectangle(Window window, WindowRect* rect) {
  return activeSystem ? activeSystem->GetWindowRectangle(window, rect) : 0;
}

int SetWindowPosition(Window window, Window insertAfter, int x, int y, int width, int height,
                      uint32_t flags) {
  if (activeSystem == nullptr) return 0;
  return activeSystem->SetWindowPosition(window, insertAfter, x, y, width, height, flags);
}
