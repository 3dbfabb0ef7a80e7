#include "platform/win32/window_system.h"

#include <shellapi.h>

#include <process.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>

#include "platform/dialog_template.h"
#include "platform/message_box.h"
#include "platform/resource_table.h"
#include "platform/win32/wide_text.h"

namespace {

// Room for a class name, a window title or a menu item's text, terminator included.
constexpr size_t kNameUnits = 256;
// Room for a message box's text; the program's own are far shorter.
constexpr size_t kBoxTextUnits = 1024;
// Room for a built dialog template: ours take a few hundred words.
constexpr size_t kDialogTemplateWords = 8192;
// Window classes the program registers: the main window's, and a test's.
constexpr size_t kMostClasses = 4;

struct ClassProc {
  wchar_t name[kNameUnits] = {};
  WindowProc proc = nullptr;
};

// Main thread only, like the window system itself.
ClassProc classProcs[kMostClasses];
Win32WindowSystem* activeSystem = nullptr;
// The procedure of the dialog being created, until its first message claims it, and its template.
DialogProc pendingDialogProc = nullptr;
const DialogTemplate* pendingDialogTemplate = nullptr;
// The window property that keeps a dialog's template, to fit it again when its DPI changes.
constexpr wchar_t kTemplateProperty[] = L"CorvaneDialogTemplate";

// Windows 10 1703 and later rescale a dialog themselves when its DPI changes; ours is laid out
// again from its template instead. Looked up by name: the program runs on 1607 too.
void TakeOverDpiChanges(HWND dialog) {
  using SetBehavior = BOOL(WINAPI*)(HWND, DIALOG_DPI_CHANGE_BEHAVIORS, DIALOG_DPI_CHANGE_BEHAVIORS);
  static auto set = reinterpret_cast<SetBehavior>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetDialogDpiChangeBehavior")));
  if (set != nullptr) set(dialog, DDC_DISABLE_ALL, DDC_DISABLE_ALL);
}

// Keeps the dialog fitted to its texts at its DPI, before its procedure sees the message.
void FitOnDpi(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG && pendingDialogTemplate != nullptr) {
    SetPropW(dialog, kTemplateProperty,
             const_cast<DialogTemplate*>(std::exchange(pendingDialogTemplate, nullptr)));
    TakeOverDpiChanges(dialog);
    FitDialogToTexts(dialog,
                     *static_cast<const DialogTemplate*>(GetPropW(dialog, kTemplateProperty)),
                     GetDpiForWindow(dialog));
  } else if (message == WM_DPICHANGED) {
    if (auto* tmpl = static_cast<const DialogTemplate*>(GetPropW(dialog, kTemplateProperty))) {
      FitDialogToTexts(dialog, *tmpl, HIWORD(wParam));
      const auto* suggested = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(dialog, nullptr, suggested->left, suggested->top, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
  } else if (message == WM_NCDESTROY) {
    RemovePropW(dialog, kTemplateProperty);
    ForgetDialogFont(dialog);
  }
}

HWND Native(Window window) {
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(window));
}

Window Handle(HWND window) {
  return static_cast<Window>(reinterpret_cast<uintptr_t>(window));
}

const wchar_t* Wide(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
}

WindowProc ProcOfClass(const wchar_t* name) {
  for (const ClassProc& c : classProcs) {
    if (c.proc != nullptr && lstrcmpiW(c.name, name) == 0) return c.proc;
  }
  return nullptr;
}

// Every window of a registered class goes through here to the shell's procedure, which
// CreateAppWindow hands over with the creation parameters.
LRESULT CALLBACK WindowTrampoline(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  // Explorer restarted: its notification area has forgotten our icons.
  if (activeSystem != nullptr && message == activeSystem->TaskbarCreatedMessage())
    activeSystem->AddTrayIconsAgain();
  auto proc = reinterpret_cast<WindowProc>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (proc == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  if (activeSystem != nullptr && activeSystem->TakeTrayEvent(window, message, wParam, lParam, proc))
    return 0;
  return proc(Handle(window), message, wParam, static_cast<LParam>(lParam));
}

INT_PTR CALLBACK DialogTrampoline(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  FitOnDpi(dialog, message, wParam, lParam);
  auto proc = reinterpret_cast<DialogProc>(GetWindowLongPtrW(dialog, DWLP_USER));
  if (proc == nullptr && pendingDialogProc != nullptr) {
    proc = pendingDialogProc;
    pendingDialogProc = nullptr;
    SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(proc));
  }
  if (proc == nullptr) return FALSE;
  return proc(Handle(dialog), message, wParam, static_cast<LParam>(lParam));
}

// A copy of a text, cut to its room and terminated.
template <size_t N>
void CopyCut(std::u16string_view text, wchar_t (&units)[N]) {
  size_t n = std::min(text.size(), N - 1);
  for (size_t i = 0; i < n; ++i)
    units[i] = static_cast<wchar_t>(text[i]);
  units[n] = L'\0';
}

// The text in a record's field, up to its terminator or the field's end.
template <size_t N>
std::u16string_view Field(const char16_t (&units)[N]) {
  return {units, static_cast<size_t>(std::find(units, units + N, u'\0') - units)};
}

// A box the user must answer: above the other windows and given the focus.
int ShowNativeBox(std::u16string_view text, std::u16string_view caption, uint32_t style) {
  wchar_t units[kBoxTextUnits];
  wchar_t title[kNameUnits];
  CopyCut(text, units);
  CopyCut(caption, title);
  return MessageBoxW(nullptr, units, title, style | MB_SETFOREGROUND | MB_TOPMOST);
}

// A box nobody waits for runs on a thread of its own; while one with the same text is open,
// no second one opens. It stays above other windows but does not take the keyboard from what
// the user is typing in, as the icon's notification would not.
struct OpenBox {
  wchar_t text[kBoxTextUnits] = {};
  wchar_t caption[kNameUnits] = {};
  UINT style = 0;
};
constexpr size_t kMostOpenBoxes = 8;
std::mutex openBoxesLock;
OpenBox* openBoxes[kMostOpenBoxes] = {};

unsigned __stdcall RunOpenBox(void* parameter) {
  auto* box = static_cast<OpenBox*>(parameter);
  MessageBoxW(nullptr, box->text, box->caption, box->style | MB_TOPMOST);
  {
    std::lock_guard<std::mutex> hold(openBoxesLock);
    for (OpenBox*& open : openBoxes)
      if (open == box) open = nullptr;
  }
  delete box;
  return 0;
}

int OpenNativeBox(std::u16string_view text, std::u16string_view caption, uint32_t style) {
  auto* box = new OpenBox;
  CopyCut(text, box->text);
  CopyCut(caption, box->caption);
  box->style = style;
  std::lock_guard<std::mutex> hold(openBoxesLock);
  OpenBox** free = nullptr;
  for (OpenBox*& open : openBoxes) {
    if (open == nullptr) {
      if (free == nullptr) free = &open;
    } else if (lstrcmpW(open->text, box->text) == 0) {
      delete box;
      return IDOK;
    }
  }
  if (free != nullptr) *free = box;
  uintptr_t thread = _beginthreadex(nullptr, 0, RunOpenBox, box, 0, nullptr);
  if (thread == 0) {
    if (free != nullptr) *free = nullptr;
    delete box;
    return IDOK;
  }
  CloseHandle(reinterpret_cast<HANDLE>(thread));
  return IDOK;
}

// A native popup menu with the items of menu, submenus included; null when it cannot be built.
HMENU BuildPopupMenu(const MenuResource& menu) {
  HMENU popup = CreatePopupMenu();
  if (popup == nullptr) return nullptr;
  for (const MenuItemResource& item : menu.items) {
    WideText<kNameUnits> text(item.text);
    BOOL added;
    if (item.submenu != nullptr) {
      HMENU sub = BuildPopupMenu(*item.submenu);
      added = sub != nullptr &&
              AppendMenuW(popup, MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(sub), text.Get());
    } else if (item.command == 0 && item.text.empty()) {
      added = AppendMenuW(popup, MF_SEPARATOR, 0, nullptr);
    } else {
      added = AppendMenuW(popup, MF_STRING, item.command, text.Get());
    }
    if (!added) {
      DestroyMenu(popup);
      return nullptr;
    }
  }
  return popup;
}

}  // namespace

Win32WindowSystem::Win32WindowSystem() {
  activeSystem = this;
  taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
  SetMessageBoxHandlers(ShowNativeBox, OpenNativeBox);
}

Win32WindowSystem::~Win32WindowSystem() {
  SetMessageBoxHandlers(nullptr, nullptr);
  for (BuiltAccelerators& a : accelerators_) {
    if (a.native != nullptr) DestroyAcceleratorTable(a.native);
  }
  for (CachedIcon& c : icons_) {
    if (c.icon != nullptr) DestroyIcon(c.icon);
  }
  if (activeSystem == this) activeSystem = nullptr;
}

HICON Win32WindowSystem::NativeIcon(Icon icon, int pixels) {
  if (icon == nullptr || instance_ == nullptr) return nullptr;
  // The image names its group by where it sits in the resource table.
  uint16_t group = 0;
  for (const IconGroup& g : instance_->icons) {
    for (const IconImage& image : g.images) {
      if (&image == icon) group = g.id;
    }
  }
  if (group == 0) return nullptr;
  for (const CachedIcon& c : icons_) {
    if (c.group == group && c.pixels == pixels) return c.icon;
  }
  auto loaded = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(group),
                                              IMAGE_ICON, pixels, pixels, LR_DEFAULTCOLOR));
  for (CachedIcon& c : icons_) {
    if (c.icon != nullptr) continue;
    c = CachedIcon{group, pixels, loaded};
    return loaded;
  }
  return loaded;  // the cache is full: kept for the life of the process all the same
}

int Win32WindowSystem::RegisterWindowClass(const WindowClass& windowClass) {
  WideText<kNameUnits> name(windowClass.className ? windowClass.className : u"");
  if (!name.Ok() || windowClass.proc == nullptr) return 0;
  auto free = std::find_if(std::begin(classProcs), std::end(classProcs),
                           [](const ClassProc& c) { return c.proc == nullptr; });
  if (free == std::end(classProcs)) return 0;
  instance_ = windowClass.instance;
  WNDCLASSEXW native{};
  native.cbSize = sizeof native;
  native.style = windowClass.style;
  native.lpfnWndProc = WindowTrampoline;
  native.hInstance = GetModuleHandleW(nullptr);
  native.hIcon = NativeIcon(windowClass.icon, GetSystemMetrics(SM_CXICON));
  native.hIconSm = NativeIcon(windowClass.icon, GetSystemMetrics(SM_CXSMICON));
  native.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  if (windowClass.background != StockObject::None)
    native.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  native.lpszClassName = name.Get();
  if (RegisterClassExW(&native) == 0) return 0;
  lstrcpynW(free->name, name.Get(), kNameUnits);
  free->proc = windowClass.proc;
  return 1;
}

Window Win32WindowSystem::CreateAppWindow(const char16_t* className, const char16_t* title,
                                          uint32_t style, int x, int y, int width, int height,
                                          Instance instance) {
  if (instance != nullptr) instance_ = instance;
  WindowProc proc = ProcOfClass(Wide(className));
  if (proc == nullptr) return Window::None;
  HWND window =
      CreateWindowExW(0, Wide(className), Wide(title), style, x, y, width, height, nullptr, nullptr,
                      GetModuleHandleW(nullptr), reinterpret_cast<void*>(proc));
  return Handle(window);
}

int Win32WindowSystem::ShowAppWindow(Window window, int showCommand) {
  return ShowWindow(Native(window), showCommand);
}

int Win32WindowSystem::UpdateAppWindow(Window window) {
  return UpdateWindow(Native(window));
}

int Win32WindowSystem::DestroyAppWindow(Window window) {
  return DestroyWindow(Native(window));
}

LResult Win32WindowSystem::DefaultWindowProc(Window window, uint32_t message, WParam wParam,
                                             LParam lParam) {
  return DefWindowProcW(Native(window), message, wParam, lParam);
}

LResult Win32WindowSystem::SendWindowMessage(Window window, uint32_t message, WParam wParam,
                                             LParam lParam) {
  return SendMessageW(Native(window), message, wParam, lParam);
}

int Win32WindowSystem::PostWindowMessage(Window window, uint32_t message, WParam wParam,
                                         LParam lParam) {
  return PostMessageW(Native(window), message, wParam, lParam) ? 1 : 0;
}

Window Win32WindowSystem::FindWindowOfClass(std::u16string_view className) {
  WideText<kNameUnits> name(className);
  if (!name.Ok()) return Window::None;
  return Handle(FindWindowW(name.Get(), nullptr));
}

int Win32WindowSystem::GetNextMessage(Message* message) {
  BOOL got = GetMessageW(&last_, nullptr, 0, 0);
  if (got == -1) {
    // No queue to read any more: end the loop as a quit would, with a failure code.
    *message = Message{Window::None, kWmQuit, 1, 0};
    return 0;
  }
  *message =
      Message{Handle(last_.hwnd), last_.message, last_.wParam, static_cast<LParam>(last_.lParam)};
  return got != 0 ? 1 : 0;
}

namespace {

// The native message for one the shell hands back: the last one read when it is that one.
MSG NativeMessage(const MSG& last, const Message& message) {
  if (Handle(last.hwnd) == message.window && last.message == message.message &&
      last.wParam == message.wParam && static_cast<LParam>(last.lParam) == message.lParam)
    return last;
  MSG native{};
  native.hwnd = Native(message.window);
  native.message = message.message;
  native.wParam = message.wParam;
  native.lParam = message.lParam;
  return native;
}

}  // namespace

int Win32WindowSystem::TranslateAccelerators(Window window, Accelerators table,
                                             const Message& message) {
  if (table == nullptr || window == Window::None) return 0;
  HACCEL native = nullptr;
  for (const BuiltAccelerators& a : accelerators_) {
    if (a.table == table) native = a.native;
  }
  if (native == nullptr) {
    ACCEL entries[64];
    int count = 0;
    for (const AcceleratorEntry& e : table->entries) {
      if (count == static_cast<int>(std::size(entries))) break;
      entries[count++] = ACCEL{e.flags, e.key, e.command};
    }
    native = CreateAcceleratorTableW(entries, count);
    for (BuiltAccelerators& a : accelerators_) {
      if (a.table != nullptr) continue;
      a = BuiltAccelerators{table, native};
      break;
    }
  }
  MSG msg = NativeMessage(last_, message);
  return TranslateAcceleratorW(Native(window), native, &msg);
}

int Win32WindowSystem::TranslateKeys(const Message& message) {
  MSG msg = NativeMessage(last_, message);
  return TranslateMessage(&msg);
}

LResult Win32WindowSystem::DispatchToWindow(const Message& message) {
  MSG msg = NativeMessage(last_, message);
  return DispatchMessageW(&msg);
}

void Win32WindowSystem::PostQuit(int exitCode) {
  PostQuitMessage(exitCode);
}

int Win32WindowSystem::ScreenMetric(int index) {
  return GetSystemMetrics(index);
}

int Win32WindowSystem::AddOrDelete(uint32_t operation, const AddedIcon& icon) {
  // Windows' own record size: the shell takes the fields it knows from it.
  NOTIFYICONDATAW native{};
  native.cbSize = sizeof native;
  native.hWnd = icon.window;
  native.uID = icon.id;
  native.uFlags = icon.flags;
  native.uCallbackMessage = icon.callbackMessage;
  // The image as the notification area draws it: the small icon edge at the window's DPI.
  UINT dpi = icon.window != nullptr ? GetDpiForWindow(icon.window) : 0;
  int pixels = dpi != 0 ? GetSystemMetricsForDpi(SM_CXSMICON, dpi) : GetSystemMetrics(SM_CXSMICON);
  native.hIcon = NativeIcon(icon.icon, pixels);
  lstrcpynW(native.szTip, icon.tip, static_cast<int>(std::size(native.szTip)));
  return Shell_NotifyIconW(operation, &native) ? 1 : 0;
}

int Win32WindowSystem::ShowNotification(const AddedIcon& icon, const NotifyIconData& data) {
  NOTIFYICONDATAW native{};
  native.cbSize = sizeof native;
  native.hWnd = icon.window;
  native.uID = icon.id;
  native.uFlags = NIF_INFO;
  CopyCut(Field(data.info), native.szInfo);
  CopyCut(Field(data.infoTitle), native.szInfoTitle);
  native.dwInfoFlags = data.infoFlags;
  return Shell_NotifyIconW(NIM_MODIFY, &native) ? 1 : 0;
}

int Win32WindowSystem::NotifyTrayIcon(uint32_t operation, const NotifyIconData& data) {
  if (operation == NIM_MODIFY) {
    for (AddedIcon& added : trayIcons_) {
      if (added.window != Native(data.window) || added.id != data.id) continue;
      if ((data.flags & NIF_TIP) != 0) {
        CopyCut(Field(data.tip), added.tip);
        AddedIcon tip = added;
        tip.flags = NIF_TIP;
        if (AddOrDelete(NIM_MODIFY, tip) == 0) return 0;
      }
      return (data.flags & NIF_INFO) != 0 ? ShowNotification(added, data) : 1;
    }
    return 0;  // never added, or the notification area refused it
  }
  AddedIcon icon;
  icon.window = Native(data.window);
  icon.id = data.id;
  icon.flags = data.flags;
  icon.callbackMessage = data.callbackMessage;
  icon.icon = data.icon;
  CopyCut(Field(data.tip), icon.tip);
  int done = AddOrDelete(operation, icon);
  for (size_t i = 0; i < kMostTrayIcons; ++i) {
    AddedIcon& added = trayIcons_[i];
    if (added.window != icon.window || added.id != icon.id) continue;
    KillTimer(added.window, kHeldClickTimer + i);  // no held click for an icon that went
    added = AddedIcon{};
  }
  // Kept even when the notification area is not there yet, as at logon before Explorer has
  // started: "TaskbarCreated" adds it then.
  if (operation == NIM_ADD) {
    auto free = std::find_if(std::begin(trayIcons_), std::end(trayIcons_),
                             [](const AddedIcon& a) { return a.window == nullptr; });
    if (free != std::end(trayIcons_)) *free = icon;
  }
  return done;
}

void Win32WindowSystem::AddTrayIconsAgain() {
  for (const AddedIcon& added : trayIcons_) {
    if (added.window != nullptr) AddOrDelete(NIM_ADD, added);
  }
}

bool Win32WindowSystem::TakeTrayEvent(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                      WindowProc proc) {
  for (size_t i = 0; i < kMostTrayIcons; ++i) {
    AddedIcon& icon = trayIcons_[i];
    if (icon.window == nullptr || icon.window != window) continue;
    UINT_PTR timer = kHeldClickTimer + i;
    if (message == WM_TIMER && wParam == timer) {
      KillTimer(window, timer);
      // The shell may open a menu or end the program in here: nothing of icon is used after.
      proc(Handle(window), icon.callbackMessage, icon.id, WM_LBUTTONDOWN);
      return true;
    }
    if ((icon.flags & NIF_MESSAGE) == 0 || message != icon.callbackMessage || wParam != icon.id)
      continue;
    // A menu opened at the first press would swallow the second press of a double click in its
    // own loop: a click waits out the double-click time, counted from its last press or release.
    // A press alone, as another start of the program posts it, is a click too.
    switch (lParam) {
      case WM_LBUTTONDOWN:
        SetTimer(window, timer, GetDoubleClickTime(), nullptr);
        return true;
      case WM_LBUTTONUP:
        if (!icon.afterDouble) SetTimer(window, timer, GetDoubleClickTime(), nullptr);
        icon.afterDouble = false;
        return true;
      case WM_LBUTTONDBLCLK:
        KillTimer(window, timer);
        icon.afterDouble = true;
        return false;
      case WM_RBUTTONDOWN:
      case WM_RBUTTONUP:
        KillTimer(window, timer);  // the right click opens the menu itself
        return false;
      default:
        return false;
    }
  }
  return false;
}

int Win32WindowSystem::BringToForeground(Window window) {
  return SetForegroundWindow(Native(window)) ? 1 : 0;
}

int Win32WindowSystem::TrackMenuPopup(Menu menu, uint32_t flags, int x, int y, Window owner) {
  if (menu == nullptr) return 0;
  HMENU popup = BuildPopupMenu(*menu);
  if (popup == nullptr) return 0;
  // Where the user clicked the icon; the place the shell worked out is for when there is no
  // pointer.
  POINT at{x, y};
  POINT cursor;
  if (GetCursorPos(&cursor)) at = cursor;
  // The owner was brought to the foreground first, so the menu closes on a click elsewhere.
  BOOL shown = TrackPopupMenu(popup, flags, at.x, at.y, 0, Native(owner), nullptr);
  DestroyMenu(popup);
  return shown ? 1 : 0;
}

intptr_t Win32WindowSystem::RunDialogFromTemplate(Instance instance, const DialogTemplate* dialog,
                                                  Window owner, DialogProc proc, LParam initParam) {
  if (dialog == nullptr || proc == nullptr) return -1;
  if (instance != nullptr) instance_ = instance;
  // The template must start on a DWORD boundary.
  alignas(DWORD) static WORD words[kDialogTemplateWords];
  // The face is chosen here, so that a system without the template's draws the texts all the
  // same; the copy lives as long as the modal dialog.
  std::u16string face = ChooseDialogFace(*dialog);
  DialogTemplate drawn = *dialog;
  drawn.font = face;
  // The OK button a caption-OK template gets is one of its controls, fitted with the rest.
  DialogWithOkButton shown(drawn);
  if (BuildNativeDialogTemplate(shown.Template(), words) == 0) return -1;
  pendingDialogProc = proc;
  pendingDialogTemplate = &shown.Template();
  // DialogBoxIndirectParam has read the template once the dialog exists, so a nested dialog may
  // build its own into the same words.
  INT_PTR result = DialogBoxIndirectParamW(GetModuleHandleW(nullptr),
                                           reinterpret_cast<const DLGTEMPLATE*>(words),
                                           Native(owner), DialogTrampoline, initParam);
  pendingDialogProc = nullptr;
  pendingDialogTemplate = nullptr;
  return result;
}

int Win32WindowSystem::EndModalDialog(Window dialog, intptr_t result) {
  return EndDialog(Native(dialog), result) ? 1 : 0;
}

Window Win32WindowSystem::GetDialogItem(Window dialog, int id) {
  return Handle(GetDlgItem(Native(dialog), id));
}

LResult Win32WindowSystem::SendDialogItemMessage(Window dialog, int id, uint32_t message,
                                                 WParam wParam, LParam lParam) {
  return SendDlgItemMessageW(Native(dialog), id, message, wParam, lParam);
}

int Win32WindowSystem::SetDialogItemText(Window dialog, int id, const char16_t* text) {
  return SetDlgItemTextW(Native(dialog), id, Wide(text)) ? 1 : 0;
}

int Win32WindowSystem::GetDialogItemText(Window dialog, int id, char16_t* buffer, int capacity) {
  if (capacity <= 0) return 0;
  return static_cast<int>(
      GetDlgItemTextW(Native(dialog), id, reinterpret_cast<wchar_t*>(buffer), capacity));
}

int Win32WindowSystem::EnableAppWindow(Window window, int enable) {
  return EnableWindow(Native(window), enable);
}

int Win32WindowSystem::GetWindowRectangle(Window window, WindowRect* rect) {
  RECT native;
  if (!GetWindowRect(Native(window), &native)) return 0;
  *rect = WindowRect{native.left, native.top, native.right, native.bottom};
  return 1;
}

int Win32WindowSystem::SetWindowPosition(Window window, Window insertAfter, int x, int y, int width,
                                         int height, uint32_t flags) {
  return SetWindowPos(Native(window), Native(insertAfter), x, y, width, height, flags) ? 1 : 0;
}
