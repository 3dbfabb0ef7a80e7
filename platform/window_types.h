// The handles, records and numbers of the window system, as the shell sees them. Message, flag
// and command numbers are those of the Win32 API; each constant names its Win32 counterpart.
#pragma once

#include <cstdint>

struct ResourceTable;
struct IconImage;
struct MenuResource;
struct AcceleratorTable;
struct DialogTemplate;

// The program's instance: the table its resources are read from (HINSTANCE).
using Instance = const ResourceTable*;
// A loaded icon image (HICON); resources stay loaded for the life of the process.
using Icon = const IconImage*;
// A loaded menu or one of its submenus (HMENU).
using Menu = const MenuResource*;
// A loaded accelerator table (HACCEL).
using Accelerators = const AcceleratorTable*;

// A window (HWND); None is no window.
enum class Window : uintptr_t { None = 0 };
// A stock drawing object (HGDIOBJ); the windows are never painted, so it is only carried along.
enum class StockObject : uintptr_t { None = 0 };

using WParam = uintptr_t;  // WPARAM
using LParam = intptr_t;   // LPARAM
using LResult = intptr_t;  // LRESULT

using WindowProc = LResult (*)(Window window, uint32_t message, WParam wParam, LParam lParam);
using DialogProc = intptr_t (*)(Window dialog, uint32_t message, WParam wParam, LParam lParam);

// One message as the loop gets it (MSG, without time and cursor position).
struct Message {
  Window window = Window::None;
  uint32_t message = 0;
  WParam wParam = 0;
  LParam lParam = 0;

  friend bool operator==(const Message&, const Message&) = default;
};

// A window class (WNDCLASS).
struct WindowClass {
  uint32_t style = 0;
  WindowProc proc = nullptr;
  Instance instance = nullptr;
  Icon icon = nullptr;
  StockObject background = StockObject::None;
  const char16_t* className = nullptr;
};

// Room for the texts of a notification icon, terminator included: its tip (szTip), and the
// text and title of its notification (szInfo, szInfoTitle).
inline constexpr int kTrayTipUnits = 128;
inline constexpr int kTrayInfoUnits = 256;
inline constexpr int kTrayInfoTitleUnits = 64;

// The notification icon record (NOTIFYICONDATA, with the tip and notification of Windows 2000
// and later).
struct NotifyIconData {
  uint32_t size = 0;
  Window window = Window::None;
  uint32_t id = 0;
  uint32_t flags = 0;
  uint32_t callbackMessage = 0;
  Icon icon = nullptr;
  char16_t tip[kTrayTipUnits] = {};
  char16_t info[kTrayInfoUnits] = {};
  char16_t infoTitle[kTrayInfoTitleUnits] = {};
  uint32_t infoFlags = 0;
};

// Messages.
inline constexpr uint32_t kWmNull = 0;             // WM_NULL
inline constexpr uint32_t kWmCreate = 1;           // WM_CREATE
inline constexpr uint32_t kWmDestroy = 2;          // WM_DESTROY
inline constexpr uint32_t kWmClose = 16;           // WM_CLOSE
inline constexpr uint32_t kWmQuit = 18;            // WM_QUIT
inline constexpr uint32_t kBmGetCheck = 240;       // BM_GETCHECK
inline constexpr uint32_t kBmSetCheck = 241;       // BM_SETCHECK
inline constexpr uint32_t kWmKeyDown = 256;        // WM_KEYDOWN
inline constexpr uint32_t kWmChar = 258;           // WM_CHAR
inline constexpr uint32_t kWmSysKeyDown = 260;     // WM_SYSKEYDOWN
inline constexpr uint32_t kWmSysChar = 262;        // WM_SYSCHAR
inline constexpr uint32_t kWmInitDialog = 272;     // WM_INITDIALOG
inline constexpr uint32_t kWmCommand = 273;        // WM_COMMAND
inline constexpr uint32_t kWmLButtonDown = 513;    // WM_LBUTTONDOWN
inline constexpr uint32_t kWmLButtonUp = 514;      // WM_LBUTTONUP
inline constexpr uint32_t kWmLButtonDblClk = 515;  // WM_LBUTTONDBLCLK
inline constexpr uint32_t kWmRButtonDown = 516;    // WM_RBUTTONDOWN
inline constexpr uint32_t kWmRButtonUp = 517;      // WM_RBUTTONUP
inline constexpr uint32_t kWmMButtonDown = 519;    // WM_MBUTTONDOWN
inline constexpr uint32_t kWmApp = 0x8000;         // WM_APP

// In the lParam of a key message: Alt was held (the context code, bit 29).
inline constexpr LParam kKeyAltDown = LParam{1} << 29;

// Show commands, class styles, window styles and metrics.
inline constexpr int kSwHide = 0;          // SW_HIDE
inline constexpr uint32_t kCsHRedraw = 2;  // CS_HREDRAW
inline constexpr uint32_t kCsVRedraw = 1;  // CS_VREDRAW
inline constexpr int kSmCxScreen = 0;      // SM_CXSCREEN
inline constexpr int kSmCyScreen = 1;      // SM_CYSCREEN
inline constexpr int kWhiteBrush = 0;      // WHITE_BRUSH

// Notification icon operations and flags.
inline constexpr uint32_t kNimAdd = 0;       // NIM_ADD
inline constexpr uint32_t kNimModify = 1;    // NIM_MODIFY
inline constexpr uint32_t kNimDelete = 2;    // NIM_DELETE
inline constexpr uint32_t kNifMessage = 1;   // NIF_MESSAGE
inline constexpr uint32_t kNifIcon = 2;      // NIF_ICON
inline constexpr uint32_t kNifTip = 4;       // NIF_TIP
inline constexpr uint32_t kNifInfo = 0x10;   // NIF_INFO
inline constexpr uint32_t kNiifInfo = 1;     // NIIF_INFO
inline constexpr uint32_t kNiifWarning = 2;  // NIIF_WARNING
inline constexpr uint32_t kNiifError = 3;    // NIIF_ERROR

// Message box styles and answers.
inline constexpr uint32_t kMbOk = 0x00;               // MB_OK
inline constexpr uint32_t kMbYesNo = 0x04;            // MB_YESNO
inline constexpr uint32_t kMbIconError = 0x10;        // MB_ICONERROR
inline constexpr uint32_t kMbIconQuestion = 0x20;     // MB_ICONQUESTION
inline constexpr uint32_t kMbIconInformation = 0x40;  // MB_ICONINFORMATION
inline constexpr uint32_t kMbButtonsMask = 0x0F;      // MB_TYPEMASK
inline constexpr uint32_t kMbIconMask = 0xF0;         // MB_ICONMASK
inline constexpr int kIdYes = 6;                      // IDYES
inline constexpr int kIdNo = 7;                       // IDNO

// Popup menu flags and image types.
inline constexpr uint32_t kTpmBottomAlign = 32;  // TPM_BOTTOMALIGN
inline constexpr uint32_t kImageIcon = 1;        // IMAGE_ICON

// Accelerator entry flags and virtual keys.
inline constexpr uint8_t kFVirtKey = 0x01;   // FVIRTKEY
inline constexpr uint8_t kFNoInvert = 0x02;  // FNOINVERT
inline constexpr uint8_t kFAlt = 0x10;       // FALT
inline constexpr uint16_t kVkF4 = 115;       // VK_F4

// Button states and notifications, and the commands of a dialog's OK and Cancel.
inline constexpr WParam kBstUnchecked = 0;  // BST_UNCHECKED
inline constexpr WParam kBstChecked = 1;    // BST_CHECKED
inline constexpr uint16_t kBnClicked = 0;   // BN_CLICKED
inline constexpr uint16_t kIdOk = 1;        // IDOK
inline constexpr uint16_t kIdCancel = 2;    // IDCANCEL

// How SetWindowPosition treats its arguments.
inline constexpr uint32_t kSwpNoSize = 0x0001;    // SWP_NOSIZE
inline constexpr uint32_t kSwpNoMove = 0x0002;    // SWP_NOMOVE
inline constexpr uint32_t kSwpNoZOrder = 0x0004;  // SWP_NOZORDER

// A window's rectangle in screen pixels (RECT): right and bottom lie just outside.
struct WindowRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

// Last-error code of a named object that existed already.
inline constexpr int kErrorAlreadyExists = 183;  // ERROR_ALREADY_EXISTS

// The low 16 bits of a message parameter (LOWORD): a command number.
constexpr uint16_t LowWord(WParam value) {
  return static_cast<uint16_t>(value & 0xFFFF);
}
