// Windows and their message loop for the desktop and headless backends: windows are records of
// this process that are never drawn, messages go through one queue, and the loop also turns close
// signals and messages posted by other processes into messages for the windows.
#pragma once

#include <array>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/message_queue.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/window_socket.h"
#include "platform/window_system.h"

// Window classes registered at one time; the program registers one.
inline constexpr size_t kMaxWindowClasses = 8;
// Windows alive at one time; the program has its hidden main window and the dialogs it owns.
inline constexpr size_t kMaxWindows = 16;
// Windows of other processes found at one time; the program looks for one.
inline constexpr size_t kMaxRemoteWindows = 4;

class LocalWindowSystem : public WindowSystem {
 public:
  // Blocks the close signals first: construct before any other thread is started.
  LocalWindowSystem();
  ~LocalWindowSystem() override;

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

 protected:
  // Blocks until one of WatchedDescriptors() is readable or, with a toolkit, until it has handled
  // a batch of its own events.
  virtual void WaitForEvents() = 0;

  // The descriptors a wait must watch: posted messages, close signals and window sockets.
  std::vector<int> WatchedDescriptors() const;

  // Turns what the descriptors have ready into queued messages; never blocks.
  void ServiceDescriptors();

  // Dispatches messages until done is set; a quit message ends it early and is queued again, as
  // the modal loops of menus, boxes and dialogs do.
  void RunModalLoop(const bool& done);

  // A handle no window of this process has had, for windows a backend keeps itself (dialogs and
  // their controls); messages sent or posted to it through this class reach nobody.
  Window NewWindowHandle();

 private:
  struct ClassRecord {
    std::u16string name;
    WindowProc proc = nullptr;
  };
  struct WindowRecord {
    Window id = Window::None;
    WindowProc proc = nullptr;
    std::u16string className;
    bool destroying = false;
    BoundWindowSocket socket;
  };
  struct RemoteWindow {
    std::u16string className;
    UniqueFd socket;
  };

  WindowRecord* Find(Window window);
  const ClassRecord* FindClass(std::u16string_view name) const;
  Window FindRemote(std::u16string_view className);
  void ClaimWindowSocket(WindowRecord* record);
  void CloseAllWindows();

  std::array<ClassRecord, kMaxWindowClasses> classes_;
  std::array<WindowRecord, kMaxWindows> windows_;
  // Held while a window's id is written, and by PostWindowMessage from other threads.
  std::mutex idsLock_;
  std::array<RemoteWindow, kMaxRemoteWindows> remotes_;
  uintptr_t lastWindowId_ = 0;
  MessageQueue queue_;
  UniqueFd closeSignals_;
};
