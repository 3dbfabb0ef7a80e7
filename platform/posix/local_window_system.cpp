#include "platform/posix/local_window_system.h"

#include <algorithm>
#include <mutex>

#include "platform/named_mutex.h"
#include "platform/posix/close_signals.h"
#include "platform/resource_table.h"

namespace {

// Handles of other processes' windows carry this bit; the rest is the slot.
constexpr uintptr_t kRemoteWindowBit = uintptr_t{1} << (sizeof(uintptr_t) * 8 - 1);

// In the first parameter of a command from an accelerator: the high word is 1.
constexpr WParam kFromAccelerator = WParam{1} << 16;

bool IsKeyMessage(uint32_t message) {
  return message == kWmKeyDown || message == kWmSysKeyDown || message == kWmChar ||
         message == kWmSysChar;
}

bool AcceleratorMatches(const AcceleratorEntry& entry, const Message& message) {
  bool virtualKey = message.message == kWmKeyDown || message.message == kWmSysKeyDown;
  bool wantsVirtualKey = (entry.flags & kFVirtKey) != 0;
  bool altDown = (message.lParam & kKeyAltDown) != 0;
  bool wantsAlt = (entry.flags & kFAlt) != 0;
  return virtualKey == wantsVirtualKey && altDown == wantsAlt && message.wParam == entry.key;
}

}  // namespace

LocalWindowSystem::LocalWindowSystem() : closeSignals_(OpenCloseSignals()) {}

LocalWindowSystem::~LocalWindowSystem() = default;

int LocalWindowSystem::RegisterWindowClass(const WindowClass& windowClass) {
  if (windowClass.className == nullptr || windowClass.proc == nullptr) return 0;
  if (FindClass(windowClass.className) != nullptr) return 0;
  for (ClassRecord& record : classes_) {
    if (record.proc == nullptr) {
      record = ClassRecord{windowClass.className, windowClass.proc};
      return 1;
    }
  }
  return 0;
}

Window LocalWindowSystem::CreateAppWindow(const char16_t* className, const char16_t* /*title*/,
                                          uint32_t /*style*/, int /*x*/, int /*y*/, int /*width*/,
                                          int /*height*/, Instance /*instance*/) {
  const ClassRecord* windowClass = className ? FindClass(className) : nullptr;
  auto free = std::find_if(windows_.begin(), windows_.end(),
                           [](const WindowRecord& w) { return w.id == Window::None; });
  if (windowClass == nullptr || free == windows_.end()) return Window::None;
  Window id = NewWindowHandle();
  {
    std::lock_guard<std::mutex> hold(idsLock_);
    free->id = id;
  }
  free->proc = windowClass->proc;
  free->className = windowClass->name;
  free->destroying = false;
  ClaimWindowSocket(&*free);
  if (SendWindowMessage(id, kWmCreate, 0, 0) == -1) DestroyAppWindow(id);
  // A window that closed itself while being created is gone: there is nothing to hand back.
  return Find(id) != nullptr ? id : Window::None;
}

void LocalWindowSystem::ClaimWindowSocket(WindowRecord* record) {
  if (!HoldsNamedMutex()) return;  // without the instance mutex the socket may be another's
  for (const WindowRecord& other : windows_) {
    if (&other != record && other.socket.Valid() && other.className == record->className) return;
  }
  record->socket = BindWindowSocket(record->className);
}

int LocalWindowSystem::ShowAppWindow(Window /*window*/, int /*showCommand*/) {
  // Windows are never drawn: shown or hidden, nothing appears. 0: it was not visible before.
  return 0;
}

int LocalWindowSystem::UpdateAppWindow(Window window) {
  return Find(window) != nullptr ? 1 : 0;
}

int LocalWindowSystem::DestroyAppWindow(Window window) {
  WindowRecord* record = Find(window);
  if (record == nullptr || record->destroying) return 0;
  record->destroying = true;
  record->proc(window, kWmDestroy, 0, 0);
  record = Find(window);  // the handler may have done anything meanwhile
  if (record != nullptr) {
    std::lock_guard<std::mutex> hold(idsLock_);
    *record = WindowRecord{};
  }
  return 1;
}

LResult LocalWindowSystem::DefaultWindowProc(Window window, uint32_t message, WParam /*wParam*/,
                                             LParam /*lParam*/) {
  if (message == kWmClose) DestroyAppWindow(window);
  return 0;
}

LResult LocalWindowSystem::SendWindowMessage(Window window, uint32_t message, WParam wParam,
                                             LParam lParam) {
  WindowRecord* record = Find(window);
  if (record == nullptr) return 0;  // other processes' windows only take posted messages
  WindowProc proc = record->proc;
  return proc(window, message, wParam, lParam);
}

int LocalWindowSystem::PostWindowMessage(Window window, uint32_t message, WParam wParam,
                                         LParam lParam) {
  auto raw = static_cast<uintptr_t>(window);
  if ((raw & kRemoteWindowBit) != 0) {
    size_t slot = raw & ~kRemoteWindowBit;
    if (slot >= remotes_.size() || !remotes_[slot].socket.Valid()) return 0;
    return SendPostedMessage(remotes_[slot].socket.Get(), Message{window, message, wParam, lParam});
  }
  {
    // Any thread may post, as to a Win32 window; only the main thread changes the windows.
    std::lock_guard<std::mutex> hold(idsLock_);
    if (Find(window) == nullptr) return 0;
  }
  return queue_.Push(Message{window, message, wParam, lParam}) ? 1 : 0;
}

Window LocalWindowSystem::FindWindowOfClass(std::u16string_view className) {
  for (const WindowRecord& record : windows_) {
    if (record.id != Window::None && !record.destroying && record.className == className)
      return record.id;
  }
  return FindRemote(className);
}

Window LocalWindowSystem::FindRemote(std::u16string_view className) {
  UniqueFd socket = ConnectWindowSocket(className);
  if (!socket.Valid()) return Window::None;
  for (size_t slot = 0; slot < remotes_.size(); ++slot) {
    RemoteWindow& remote = remotes_[slot];
    if (!remote.socket.Valid() || remote.className == className) {
      remote = RemoteWindow{std::u16string(className), std::move(socket)};
      return static_cast<Window>(kRemoteWindowBit | slot);
    }
  }
  return Window::None;
}

int LocalWindowSystem::GetNextMessage(Message* message) {
  for (;;) {
    ServiceDescriptors();
    if (queue_.Pop(message)) return message->message == kWmQuit ? 0 : 1;
    WaitForEvents();
  }
}

int LocalWindowSystem::TranslateAccelerators(Window window, Accelerators table,
                                             const Message& message) {
  if (table == nullptr || !IsKeyMessage(message.message) || Find(window) == nullptr) return 0;
  for (const AcceleratorEntry& entry : table->entries) {
    if (AcceleratorMatches(entry, message)) {
      SendWindowMessage(window, kWmCommand, entry.command | kFromAccelerator, 0);
      return 1;
    }
  }
  return 0;
}

int LocalWindowSystem::TranslateKeys(const Message& /*message*/) {
  // Key messages only arrive posted, already as the characters they stand for.
  return 0;
}

LResult LocalWindowSystem::DispatchToWindow(const Message& message) {
  if (message.message == kWmQuit) return 0;
  // Messages for a window destroyed after they were posted are dropped here.
  return SendWindowMessage(message.window, message.message, message.wParam, message.lParam);
}

void LocalWindowSystem::PostQuit(int exitCode) {
  queue_.Push(Message{Window::None, kWmQuit, static_cast<WParam>(exitCode), 0});
}

std::vector<int> LocalWindowSystem::WatchedDescriptors() const {
  std::vector<int> fds{queue_.WakeFd()};
  if (closeSignals_.Valid()) fds.push_back(closeSignals_.Get());
  for (const WindowRecord& record : windows_) {
    if (record.socket.Valid()) fds.push_back(record.socket.Fd());
  }
  return fds;
}

void LocalWindowSystem::ServiceDescriptors() {
  queue_.ClearWake();
  if (closeSignals_.Valid() && TakeCloseSignals(closeSignals_.Get()) > 0) CloseAllWindows();
  for (const WindowRecord& record : windows_) {
    if (!record.socket.Valid()) continue;
    Message posted;
    while (ReceivePostedMessage(record.socket.Fd(), &posted) == 1)
      PostWindowMessage(record.id, posted.message, posted.wParam, posted.lParam);
  }
}

void LocalWindowSystem::CloseAllWindows() {
  for (const WindowRecord& record : windows_) {
    if (record.id != Window::None && !record.destroying)
      PostWindowMessage(record.id, kWmClose, 0, 0);
  }
}

void LocalWindowSystem::RunModalLoop(const bool& done) {
  while (!done) {
    ServiceDescriptors();
    Message message;
    if (!queue_.Pop(&message)) {
      WaitForEvents();
      continue;
    }
    if (message.message == kWmQuit) {
      queue_.Push(message);
      return;
    }
    TranslateKeys(message);
    DispatchToWindow(message);
  }
}

Window LocalWindowSystem::NewWindowHandle() {
  return static_cast<Window>(++lastWindowId_);
}

LocalWindowSystem::WindowRecord* LocalWindowSystem::Find(Window window) {
  if (window == Window::None) return nullptr;
  for (WindowRecord& record : windows_) {
    if (record.id == window) return &record;
  }
  return nullptr;
}

const LocalWindowSystem::ClassRecord* LocalWindowSystem::FindClass(std::u16string_view name) const {
  for (const ClassRecord& record : classes_) {
    if (record.proc != nullptr && record.name == name) return &record;
  }
  return nullptr;
}
