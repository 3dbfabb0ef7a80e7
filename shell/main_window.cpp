#include "shell/main_window.h"

#include "platform/resource_table.h"
#include "platform/window_system.h"
#include "resources/resource_ids.h"
#include "shell/dialogs.h"
#include "shell/https_toggle.h"
#include "shell/notices.h"
#include "shell/proxy_services.h"
#include "shell/tray_icon.h"
#include "shell/tray_menu.h"

Instance AppInstance = nullptr;
char16_t MainClassName[kNameUnits] = {};
int ScreenWidth = 0;
int ScreenHeight = 0;
int SettingsDialogOpen = 0;
int AboutDialogOpen = 0;

namespace {

void OnCreate(Window window) {
  AddTrayIcon(window);
  ScreenWidth = ScreenMetric(kSmCxScreen);
  ScreenHeight = ScreenMetric(kSmCyScreen);
  StartNotices(window);  // before the first worker can fail
  // The settings say where to listen, so they come first.
  Services.loadSettings();
  if (Services.startProxyServer() == 1) {
    ResumeInspection();
    UpdateTrayTip();
  } else {
    SendWindowMessage(window, kWmClose, 0, 0);  // the server has shown why already
  }
}

void OnDestroy() {
  StopNotices();
  RemoveTrayIcon();
  Services.stopProxyServer();
  PostQuit(0);
}

// Runs a dialog modally unless its flag says it is open already; false when it was. The dialogs'
// own loops dispatch the window's messages, so a second request can arrive while the first
// dialog still runs.
bool RunGuardedDialog(Window window, int* openFlag, uint16_t templateId, DialogProc proc) {
  if (*openFlag != 0) return false;
  *openFlag = 1;
  const DialogTemplate* dialog = FindDialogTemplate(AppInstance, templateId);
  RunDialogFromTemplate(AppInstance, dialog, window, proc, 0);
  *openFlag = 0;
  return true;
}

LResult OnCommand(Window window, WParam wParam, LParam lParam) {
  switch (LowWord(wParam)) {  // the high word says where it came from; any source will do
    case IDM_SETTINGS:
      // The upstream proxy the tip names may have changed.
      if (RunGuardedDialog(window, &SettingsDialogOpen, IDD_SETTINGS, SettingsDialogProc))
        UpdateTrayTip();
      return 0;
    case IDM_ABOUT:
      RunGuardedDialog(window, &AboutDialogOpen, IDD_ABOUT, AboutDialogProc);
      return 0;
    case IDM_EXIT:
      SendWindowMessage(window, kWmClose, 0, 0);
      return 0;
    case IDM_INSPECT_HTTPS:
      ToggleInspection();
      UpdateTrayTip();
      return 0;
    default:  // the accelerators' 40002 and 40003 among them: nothing happens
      return DefaultWindowProc(window, kWmCommand, wParam, lParam);
  }
}

void OnTrayNotify(Window window, WParam iconId, LParam pointerEvent) {
  if (iconId != kTrayIconId) return;
  // A click opens the menu; so does a right click, where every desktop's users look for it.
  if (pointerEvent == kWmLButtonDown || pointerEvent == kWmRButtonUp) {
    ShowTrayMenu(window);
  } else if (pointerEvent == kWmLButtonDblClk) {
    // Posted, so the settings dialog opens under its guard once this message is done.
    PostWindowMessage(window, kWmCommand, IDM_SETTINGS, 0);
  }
}

}  // namespace

void RegisterMainWindowClass(Instance instance, const char16_t* className) {
  WindowClass windowClass;
  windowClass.style = kCsHRedraw | kCsVRedraw;
  windowClass.proc = MainWindowProc;
  windowClass.instance = instance;
  windowClass.icon = LoadIconResource(instance, IDI_CORVANE);
  windowClass.background = GetStockObjectAt(kWhiteBrush);
  windowClass.className = className;
  RegisterWindowClass(windowClass);
}

int CreateMainWindow(Instance instance, int /*showCommand*/) {
  AppInstance = instance;
  RegisterMainWindowClass(instance, MainClassName);
  char16_t title[kNameUnits];
  LoadStringResource(instance, IDS_TITLE, title);
  Window window = CreateAppWindow(MainClassName, title, 0, 0, 0, 0, 0, instance);
  if (window == Window::None) return 0;
  ShowAppWindow(window, kSwHide);  // whatever the program was started with
  UpdateAppWindow(window);
  return 1;
}

LResult MainWindowProc(Window window, uint32_t message, WParam wParam, LParam lParam) {
  switch (message) {
    case kWmCreate:
      OnCreate(window);
      return 0;
    case kWmDestroy:
      OnDestroy();
      return 0;
    case kWmClose:  // every close request, the system's own included, ends the program here
      DestroyAppWindow(window);
      return 0;
    case kWmCommand:
      return OnCommand(window, wParam, lParam);
    case TrayNotifyMessage:
      OnTrayNotify(window, wParam, lParam);
      return 0;
    case NoticeMessage:
      ShowWaitingNotices();
      return 0;
    default:
      return DefaultWindowProc(window, message, wParam, lParam);
  }
}
