// The window system on the real Win32 API: each operation is the Win32 call it is named after.
// Handles pass through as they are (a Window is an HWND); the shell's resource data becomes
// native objects here: menus and accelerator tables are built from their tables, icons are
// loaded from the program's own icon group at the size and DPI in use, dialogs are built from
// their templates as an in-memory DLGTEMPLATE.
#pragma once

#include <windows.h>

#include <cstddef>
#include <span>
#include <string>

#include "platform/window_system.h"

class Win32WindowSystem final : public WindowSystem {
 public:
  Win32WindowSystem();
  ~Win32WindowSystem() override;
  Win32WindowSystem(const Win32WindowSystem&) = delete;
  Win32WindowSystem& operator=(const Win32WindowSystem&) = delete;

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

  // The icons added and not yet deleted, as Shell_NotifyIcon knows them: put back when Explorer
  // starts or restarts and announces "TaskbarCreated". Public for the window procedure only.
  void AddTrayIconsAgain();
  UINT TaskbarCreatedMessage() const { return taskbarCreated_; }

  // Pointer events of an added icon, as the shell reads them: a click reaches proc as
  // WM_LBUTTONDOWN once the double-click time has passed without a second one, a double click
  // as WM_LBUTTONDBLCLK alone, anything else as it came. True when the message was taken here
  // (held back, or a held click delivered by its timer); the window procedure then skips it.
  // Public for the window procedure only.
  bool TakeTrayEvent(HWND window, UINT message, WPARAM wParam, LPARAM lParam, WindowProc proc);

 private:
  struct AddedIcon {
    HWND window = nullptr;
    UINT id = 0;
    UINT flags = 0;
    UINT callbackMessage = 0;
    Icon icon = nullptr;
    wchar_t tip[kTrayTipUnits] = {};
    bool afterDouble = false;  // the button-up that ends a double click comes next
  };
  struct CachedIcon {
    uint16_t group = 0;
    int pixels = 0;
    HICON icon = nullptr;
  };
  struct BuiltAccelerators {
    Accelerators table = nullptr;
    HACCEL native = nullptr;
  };

  static constexpr size_t kMostTrayIcons = 4;
  // The timer of a held click on the icon in trayIcons_[i] is kHeldClickTimer + i.
  static constexpr UINT_PTR kHeldClickTimer = 0x4317;
  static constexpr size_t kMostCachedIcons = 8;
  static constexpr size_t kMostAcceleratorTables = 4;

  HICON NativeIcon(Icon icon, int pixels);
  int AddOrDelete(uint32_t operation, const AddedIcon& icon);
  int ShowNotification(const AddedIcon& icon, const NotifyIconData& data);

  Instance instance_ = nullptr;
  UINT taskbarCreated_ = 0;
  MSG last_{};  // the message GetNextMessage returned, for translation and dispatch
  AddedIcon trayIcons_[kMostTrayIcons];
  CachedIcon icons_[kMostCachedIcons];
  BuiltAccelerators accelerators_[kMostAcceleratorTables];
};

// Builds a dialog template as the in-memory DLGTEMPLATE that DialogBoxIndirectParam takes, into
// words, which must start on a DWORD boundary. The caption OK button becomes a button of the
// dialog's own (DialogWithOkButton).
// Returns the words used, or 0 when the template does not fit.
size_t BuildNativeDialogTemplate(const DialogTemplate& dialog, std::span<WORD> words);

// The face a dialog's texts are drawn in: the template's when it is there and has a glyph for
// every character of them, else the first of Windows' Japanese interface faces (Yu Gothic UI,
// Meiryo UI, MS UI Gothic) that has, else any face of the Japanese character set that has, else
// the template's, left to the system's font linking.
std::u16string ChooseDialogFace(const DialogTemplate& dialog);

// Lays a dialog made from its template out again for dpi, in its face at the template's size:
// the dialog units converted through that font's base units, and stretched along an axis where
// a control's text, measured with the font, would not fit its place (an edit field holds
// kFieldDigits digits). Done when the dialog is made and again when its DPI changes.
void FitDialogToTexts(HWND dialog, const DialogTemplate& tmpl, UINT dpi);

// Frees the font FitDialogToTexts gave the dialog, as the dialog goes.
void ForgetDialogFont(HWND dialog);
