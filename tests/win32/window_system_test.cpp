// The shell on the real Win32 window system (under Wine with a display): the dialog procedures on
// real dialogs built from their templates, the notification icon, and the single-instance
// handshake between two processes of the program itself.
#include "platform/win32/window_system.h"

#include <gtest/gtest.h>
#include <shellapi.h>
#include <windows.h>

#include <string>

#include "core/settings.h"
#include "platform/dialog_template.h"
#include "platform/resource_table.h"
#include "platform/text_convert.h"
#include "resources/corvane_resources.h"
#include "resources/resource_ids.h"
#include "shell/dialogs.h"
#include "shell/main_window.h"
#include "tests/support/loopback.h"

namespace {

constexpr UINT kRunChecks = WM_APP + 7;

class Win32ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UseWindowSystem(&system_);
    AppInstance = CorvaneResources();
    ScreenWidth = GetSystemMetrics(SM_CXSCREEN);
    ScreenHeight = GetSystemMetrics(SM_CYSCREEN);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Lumet\\Corvane");
  }
  void TearDown() override {
    UseWindowSystem(nullptr);
    ReplaceSettings(ProxySettings{});
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Lumet\\Corvane");
  }
  Win32WindowSystem system_;
};

// What the checks saw inside the running dialog.
struct Seen {
  int refererChecked = -1;
  BOOL proxyNameEnabledBefore = TRUE;
  BOOL proxyNameEnabledAfter = FALSE;
  std::wstring port;
};
Seen seen;
DialogProc shellProc = nullptr;
void (*checks)(HWND) = nullptr;

// The shell's procedure, with the test's checks run once the dialog is up.
intptr_t CheckingProc(Window dialog, uint32_t message, WParam wParam, LParam lParam) {
  if (message == kRunChecks) {
    checks(reinterpret_cast<HWND>(static_cast<uintptr_t>(dialog)));
    return TRUE;
  }
  intptr_t result = shellProc(dialog, message, wParam, lParam);
  if (message == kWmInitDialog)
    PostMessageW(reinterpret_cast<HWND>(static_cast<uintptr_t>(dialog)), kRunChecks, 0, 0);
  return result;
}

intptr_t RunDialog(uint16_t id, DialogProc proc, void (*run)(HWND)) {
  shellProc = proc;
  checks = run;
  return RunDialogFromTemplate(AppInstance, FindDialogTemplate(AppInstance, id), Window::None,
                               CheckingProc, 0);
}

TEST_F(Win32ShellTest, TheSettingsDialogShowsEnablesAndSavesThroughRealControls) {
  seen = Seen{};
  intptr_t result = RunDialog(IDD_SETTINGS, SettingsDialogProc, [](HWND dialog) {
    seen.refererChecked = static_cast<int>(IsDlgButtonChecked(dialog, IDC_SEND_REFERER));
    seen.proxyNameEnabledBefore = IsWindowEnabled(GetDlgItem(dialog, IDC_PROXY_NAME));
    wchar_t port[16] = {};
    GetDlgItemTextW(dialog, IDC_PROXY_PORT, port, 16);
    seen.port = port;
    // A click on the box, as the user makes it: the control notifies the procedure.
    SendMessageW(GetDlgItem(dialog, IDC_USE_PROXY), BM_CLICK, 0, 0);
    seen.proxyNameEnabledAfter = IsWindowEnabled(GetDlgItem(dialog, IDC_PROXY_NAME));
    SetDlgItemTextW(dialog, IDC_PROXY_NAME, L"upstream.example");
    SetDlgItemTextW(dialog, IDC_PROXY_PORT, L"3128");
    SendMessageW(GetDlgItem(dialog, IDC_SEND_REFERER), BM_CLICK, 0, 0);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  });
  EXPECT_EQ(result, IDOK);
  EXPECT_EQ(seen.refererChecked, BST_CHECKED);
  EXPECT_FALSE(seen.proxyNameEnabledBefore);
  EXPECT_TRUE(seen.proxyNameEnabledAfter);
  EXPECT_EQ(seen.port, L"5060");
  ProxySettings s = CurrentSettings();
  EXPECT_EQ(s.UseProxy, 1);
  EXPECT_EQ(s.SendReferer, 0);
  EXPECT_EQ(s.ProxyPort, 3128);
  EXPECT_EQ(std::u16string(s.ProxyName), u"upstream.example");
  DWORD port = 0;
  DWORD size = sizeof port;
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"Software\\Lumet\\Corvane", L"ProxyPort",
                         RRF_RT_REG_DWORD, nullptr, &port, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(port, 3128u);
}

TEST_F(Win32ShellTest, CancelLeavesTheSettingsAndTheAboutDialogCloses) {
  EXPECT_EQ(RunDialog(IDD_SETTINGS, SettingsDialogProc,
                      [](HWND dialog) {
                        SendMessageW(GetDlgItem(dialog, IDC_USE_PROXY), BM_CLICK, 0, 0);
                        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
                      }),
            IDCANCEL);
  EXPECT_EQ(CurrentSettings().UseProxy, 0);
  EXPECT_EQ(RunDialog(IDD_ABOUT, AboutDialogProc,
                      [](HWND dialog) {
                        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                      }),
            IDOK);
}

TEST(Win32DialogTemplate, CeOnlyStylesAreMaskedAndItemsAreDwordAligned) {
  const DialogTemplate* about = FindDialogTemplate(CorvaneResources(), IDD_ABOUT);
  ASSERT_NE(about, nullptr);
  ASSERT_NE(about->exStyle & kWsExCaptionOkButton, 0u);
  alignas(DWORD) WORD words[4096];
  size_t used = BuildNativeDialogTemplate(*about, words);
  ASSERT_GT(used, 0u);
  const auto* head = reinterpret_cast<const DLGTEMPLATE*>(words);
  EXPECT_EQ(head->dwExtendedStyle & kWsExCaptionOkButton, 0u);
  EXPECT_EQ(head->cdit, about->items.size());
  EXPECT_EQ(BuildNativeDialogTemplate(*about, std::span(words, 16)), 0u);  // too small: refused
}

TEST_F(Win32ShellTest, TheTrayIconIsAddedAndRemoved) {
  WindowClass windowClass;
  windowClass.proc = DefaultWindowProc;
  windowClass.instance = AppInstance;
  windowClass.className = u"CORVANETRAYTEST";
  ASSERT_EQ(RegisterWindowClass(windowClass), 1);
  Window window = CreateAppWindow(u"CORVANETRAYTEST", u"tray", 0, 0, 0, 0, 0, AppInstance);
  ASSERT_NE(window, Window::None);
  NotifyIconData data;
  data.size = sizeof data;
  data.window = window;
  data.id = 1;
  data.flags = kNifMessage | kNifIcon;
  data.callbackMessage = kWmApp + 1;
  data.icon = LoadIconImage(AppInstance, IDI_CORVANE, kImageIcon, 16, 16, 0);
  ASSERT_NE(data.icon, nullptr);
  EXPECT_EQ(NotifyTrayIcon(kNimAdd, data), 1);
  // Explorer restarting forgets the icon, then announces itself: the icon goes back by itself.
  HWND native = reinterpret_cast<HWND>(static_cast<uintptr_t>(window));
  NOTIFYICONDATAW forget{};
  forget.cbSize = sizeof forget;
  forget.hWnd = native;
  forget.uID = 1;
  ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &forget));
  SendMessageW(native, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  EXPECT_EQ(NotifyTrayIcon(kNimDelete, data), 1);
  EXPECT_EQ(NotifyTrayIcon(kNimDelete, data), 0);  // gone now, and not put back again
  SendMessageW(native, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  EXPECT_FALSE(Shell_NotifyIconW(NIM_DELETE, &forget));
  DestroyAppWindow(window);
}

// corvane.exe as real processes: the first owns "CorvaneInstance" and its hidden window; the
// second finds that window, posts it the icon's click and exits, leaving the first running with
// its menu open.
class SingleInstanceTest : public ::testing::Test {
 protected:
  static PROCESS_INFORMATION Start() {
    wchar_t commandLine[MAX_PATH + 2];
    commandLine[0] = L'"';
    int n = MultiByteToWideChar(CP_UTF8, 0, CORVANE_EXECUTABLE, -1, commandLine + 1, MAX_PATH);
    commandLine[n] = L'"';
    commandLine[n + 1] = L'\0';
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    EXPECT_TRUE(CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process));
    return process;
  }
  static HWND WaitForWindow(const wchar_t* className, DWORD processId) {
    for (int i = 0; i < 200; ++i) {
      HWND window = nullptr;
      while ((window = FindWindowExW(nullptr, window, className, nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId && (className[0] != L'#' || IsWindowVisible(window))) return window;
      }
      Sleep(50);
    }
    return nullptr;
  }
  static DWORD WaitForExit(const PROCESS_INFORMATION& process) {
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process.hProcess, 20000) == WAIT_OBJECT_0)
      GetExitCodeProcess(process.hProcess, &code);
    return code;
  }
  static void Close(PROCESS_INFORMATION& process) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
};

TEST_F(SingleInstanceTest, ASecondStartOpensTheFirstOnesMenuAndExits) {
  wchar_t port[8];
  wsprintfW(port, L"%u", static_cast<unsigned>(FreeLoopbackPort()));
  SetEnvironmentVariableW(L"CORVANE_TEST_PORT", port);
  PROCESS_INFORMATION first = Start();
  HWND main = WaitForWindow(L"CORVANE", first.dwProcessId);
  ASSERT_NE(main, nullptr);
  wchar_t title[32] = {};
  GetWindowTextW(main, title, 32);
  EXPECT_EQ(std::wstring(title), L"Corvane");
  EXPECT_FALSE(IsWindowVisible(main));

  PROCESS_INFORMATION second = Start();
  EXPECT_EQ(WaitForExit(second), 0u);
  Close(second);
  // The menu the posted click opened: a popup menu window of the first process.
  EXPECT_NE(WaitForWindow(L"#32768", first.dwProcessId), nullptr);

  PostMessageW(main, WM_CANCELMODE, 0, 0);
  PostMessageW(main, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitForExit(first), 0u);
  Close(first);
}

}  // namespace
