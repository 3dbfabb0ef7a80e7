// The window system the shell is written against: windows and their message loop, the
// notification icon, popup menus, screen metrics and modal dialogs. Each operation maps onto one
// Win32 call, named beside it. A process installs one implementation before its first window:
// the desktop one, the headless one, or a test's stand-in.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/window_types.h"

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;

  virtual int RegisterWindowClass(const WindowClass& windowClass) = 0;
  virtual Window CreateAppWindow(const char16_t* className, const char16_t* title, uint32_t style,
                                 int x, int y, int width, int height, Instance instance) = 0;
  virtual int ShowAppWindow(Window window, int showCommand) = 0;
  virtual int UpdateAppWindow(Window window) = 0;
  virtual int DestroyAppWindow(Window window) = 0;
  virtual LResult DefaultWindowProc(Window window, uint32_t message, WParam wParam,
                                    LParam lParam) = 0;
  virtual LResult SendWindowMessage(Window window, uint32_t message, WParam wParam,
                                    LParam lParam) = 0;
  virtual int PostWindowMessage(Window window, uint32_t message, WParam wParam, LParam lParam) = 0;
  virtual Window FindWindowOfClass(std::u16string_view className) = 0;

  virtual int GetNextMessage(Message* message) = 0;
  virtual int TranslateAccelerators(Window window, Accelerators table, const Message& message) = 0;
  virtual int TranslateKeys(const Message& message) = 0;
  virtual LResult DispatchToWindow(const Message& message) = 0;
  virtual void PostQuit(int exitCode) = 0;

  virtual int ScreenMetric(int index) = 0;
  virtual int NotifyTrayIcon(uint32_t operation, const NotifyIconData& data) = 0;
  virtual int BringToForeground(Window window) = 0;
  virtual int TrackMenuPopup(Menu menu, uint32_t flags, int x, int y, Window owner) = 0;
  virtual intptr_t RunDialogFromTemplate(Instance instance, const DialogTemplate* dialog,
                                         Window owner, DialogProc proc, LParam initParam) = 0;
  virtual int EndModalDialog(Window dialog, intptr_t result) = 0;
  virtual Window GetDialogItem(Window dialog, int id) = 0;
  virtual LResult SendDialogItemMessage(Window dialog, int id, uint32_t message, WParam wParam,
                                        LParam lParam) = 0;
  virtual int SetDialogItemText(Window dialog, int id, const char16_t* text) = 0;
  virtual int GetDialogItemText(Window dialog, int id, char16_t* buffer, int capacity) = 0;
  virtual int EnableAppWindow(Window window, int enable) = 0;
  virtual int GetWindowRectangle(Window window, WindowRect* rect) = 0;
  virtual int SetWindowPosition(Window window, Window insertAfter, int x, int y, int width,
                                int height, uint32_t flags) = 0;
};

// Makes system the one the operations below reach; null detaches it.
void UseWindowSystem(WindowSystem* system);

// Registers a window class (RegisterClass). Returns 1, or 0 when it cannot be registered.
int RegisterWindowClass(const WindowClass& windowClass);

// Creates a top-level window of a registered class (CreateWindow); its handler receives
// kWmCreate before this returns. None when it cannot be created or was destroyed while created.
Window CreateAppWindow(const char16_t* className, const char16_t* title, uint32_t style, int x,
                       int y, int width, int height, Instance instance);

// ShowWindow and UpdateWindow.
int ShowAppWindow(Window window, int showCommand);
int UpdateAppWindow(Window window);

// Destroys a window (DestroyWindow); its handler has received kWmDestroy when this returns.
int DestroyAppWindow(Window window);

// The default handling of a message (DefWindowProc): kWmClose destroys the window, every other
// message is answered 0.
LResult DefaultWindowProc(Window window, uint32_t message, WParam wParam, LParam lParam);

// Calls the window's handler and returns its result (SendMessage).
LResult SendWindowMessage(Window window, uint32_t message, WParam wParam, LParam lParam);

// Queues a message for the window and returns at once (PostMessage); the window may belong to
// another process. Returns 1 when queued. Any thread may post to a window of this process; every
// other operation here belongs to the main thread.
int PostWindowMessage(Window window, uint32_t message, WParam wParam, LParam lParam);

// A top-level window of the class, in this process or another of the user's (FindWindow with no
// title). None when there is none.
Window FindWindowOfClass(std::u16string_view className);

// Waits for the next message of the thread (GetMessage). 0 for the quit message, 1 otherwise.
int GetNextMessage(Message* message);

// Offers a key message to an accelerator table (TranslateAccelerator). When a key matches, the
// command has been sent to the window as kWmCommand and the result is 1.
int TranslateAccelerators(Window window, Accelerators table, const Message& message);

// Key messages into character messages (TranslateMessage).
int TranslateKeys(const Message& message);

// Hands the message to its window's handler (DispatchMessage).
LResult DispatchToWindow(const Message& message);

// Queues the quit message with the exit code (PostQuitMessage).
void PostQuit(int exitCode);

// kSmCxScreen or kSmCyScreen in pixels (GetSystemMetrics); 0 without a screen.
int ScreenMetric(int index);

// Adds (kNimAdd), changes (kNimModify) or deletes (kNimDelete) a notification icon
// (Shell_NotifyIcon). Returns 1 when done. Pointer events on the icon reach data.window as
// data.callbackMessage. With kNifTip the icon's tip becomes data.tip; with kNifInfo the icon
// shows data.infoTitle and data.info as a notification, which takes no focus and goes away by
// itself, with the icon of data.infoFlags (kNiifError, ...): 0 when the notification area
// cannot show one (there is none, or it shows no notifications).
int NotifyTrayIcon(uint32_t operation, const NotifyIconData& data);

// SetForegroundWindow.
int BringToForeground(Window window);

// Shows a popup menu and returns when it has closed (TrackPopupMenu). A chosen item reaches the
// owner as kWmCommand with the item's command; a dismissed menu sends nothing.
int TrackMenuPopup(Menu menu, uint32_t flags, int x, int y, Window owner);

// Runs a modal dialog built from a template (DialogBoxIndirectParam) and returns the result given
// to EndModalDialog, or -1 at once when it cannot be shown. proc gets kWmInitDialog with initParam
// before the dialog appears (a nonzero answer puts the focus on the first tab stop), then
// kWmCommand from its controls: the control's id, kIdOk for Enter, kIdCancel for Escape. Messages
// for other windows go on being dispatched meanwhile.
intptr_t RunDialogFromTemplate(Instance instance, const DialogTemplate* dialog, Window owner,
                               DialogProc proc, LParam initParam);

// Ends a dialog that RunDialogFromTemplate runs (EndDialog): that call returns result once the
// current message is handled. Returns 1, or 0 when dialog is not a running dialog.
int EndModalDialog(Window dialog, intptr_t result);

// The dialog's first control with the id (GetDlgItem); None when it has none.
Window GetDialogItem(Window dialog, int id);

// Sends a message to a control of the dialog and returns its answer (SendDlgItemMessage):
// kBmGetCheck and kBmSetCheck for buttons. 0 when there is no such control.
LResult SendDialogItemMessage(Window dialog, int id, uint32_t message, WParam wParam,
                              LParam lParam);

// Sets the text of a control (SetDlgItemText). Returns 1, or 0 when there is no such control.
int SetDialogItemText(Window dialog, int id, const char16_t* text);

// Copies a control's text into buffer, at most capacity - 1 units and a terminator, cutting a
// longer text (GetDlgItemText). Returns the units copied without the terminator.
int GetDialogItemText(Window dialog, int id, char16_t* buffer, int capacity);

// Lets a window or control take input, or not (EnableWindow); a disabled control keeps its text
// and state. Returns nonzero when it was disabled before.
int EnableAppWindow(Window window, int enable);

// The window's outer rectangle in screen pixels (GetWindowRect). Returns 1, or 0 when it cannot
// be had; the rectangle is then left as it was.
int GetWindowRectangle(Window window, WindowRect* rect);

// Moves and sizes a window (SetWindowPos); kSwpNoSize keeps the size, kSwpNoMove the place,
// kSwpNoZOrder the stacking, in which case insertAfter is not looked at. Returns 1 when done.
int SetWindowPosition(Window window, Window insertAfter, int x, int y, int width, int height,
                      uint32_t flags);
