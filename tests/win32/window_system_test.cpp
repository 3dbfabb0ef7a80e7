// The shell on the real Win32 window system (under Wine with a display): the dialog procedures on
// real dialogs built from their templates, the notification icon, and the single-instance
// handshake between two processes of the program itself.
#include "platform/win32/window_system.h"

#include <gtest/gtest.h>
#include <shellapi.h>
#include <windows.h>

#include <commctrl.h>  // needs windows.h first

#include <string>
#include <thread>
#include <vector>

#include "core/settings.h"
#include "platform/dialog_template.h"
#include "platform/message_box.h"
#include "platform/resource_table.h"
#include "platform/text_convert.h"
#include "resources/corvane_resources.h"
#include "resources/resource_ids.h"
#include "shell/dialogs.h"
#include "shell/main_window.h"
#include "shell/tray_icon.h"
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
  bool okIsDefault = false;
  bool okHasFocus = false;
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

TEST_F(Win32ShellTest, CancelLeavesTheSettings) {
  EXPECT_EQ(RunDialog(IDD_SETTINGS, SettingsDialogProc,
                      [](HWND dialog) {
                        SendMessageW(GetDlgItem(dialog, IDC_USE_PROXY), BM_CLICK, 0, 0);
                        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
                      }),
            IDCANCEL);
  EXPECT_EQ(CurrentSettings().UseProxy, 0);
}

// The key the About dialog's check presses, as the dialog's own loop takes it from the queue;
// 0 for a click on its OK button.
WPARAM aboutKey = 0;

TEST_F(Win32ShellTest, TheAboutDialogHasAnOkButtonAndEndsOnItEnterOrEscape) {
  const std::pair<WPARAM, intptr_t> keys[] = {{0, IDOK}, {VK_RETURN, IDOK}, {VK_ESCAPE, IDCANCEL}};
  for (const auto& [key, result] : keys) {
    seen = Seen{};
    aboutKey = key;
    EXPECT_EQ(RunDialog(IDD_ABOUT, AboutDialogProc,
                        [](HWND dialog) {
                          HWND ok = GetDlgItem(dialog, IDOK);
                          seen.okIsDefault = ok != nullptr && (GetWindowLongW(ok, GWL_STYLE) &
                                                               BS_TYPEMASK) == BS_DEFPUSHBUTTON;
                          seen.okHasFocus = ok != nullptr && GetFocus() == ok;
                          if (aboutKey == 0)
                            PostMessageW(ok, BM_CLICK, 0, 0);
                          else
                            PostMessageW(ok, WM_KEYDOWN, aboutKey, 0);
                        }),
              result)
        << key;
    EXPECT_TRUE(seen.okIsDefault);
    EXPECT_TRUE(seen.okHasFocus);
  }
}

std::string WideToUtf8(const std::wstring& text) {
  std::string out(text.size() * 3 + 1, '\0');
  out.resize(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                 out.data(), static_cast<int>(out.size()), nullptr, nullptr));
  return out;
}

// What a control shows cut, measured the way the control itself draws (its own font, its
// formatting rectangle, the button's ideal size), or a glyph its font lacks; empty when none.
std::wstring CutOrMissing(HWND control) {
  wchar_t text[256] = {};
  GetWindowTextW(control, text, 256);
  wchar_t kind[32] = {};
  GetClassNameW(control, kind, 32);
  auto style = static_cast<DWORD>(GetWindowLongPtrW(control, GWL_STYLE));
  HDC dc = GetDC(control);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
  std::wstring problem;
  if ((style & SS_TYPEMASK) == SS_ICON && lstrcmpiW(kind, L"Static") == 0) text[0] = L'\0';
  std::wstring glyphs(wcslen(text), L'\0');
  GetGlyphIndicesW(dc, text, static_cast<int>(glyphs.size()),
                   reinterpret_cast<WORD*>(glyphs.data()), GGI_MARK_NONEXISTING_GLYPHS);
  if (glyphs.find(L'\xFFFF') != std::wstring::npos) {
    wchar_t face[LF_FACESIZE] = {};
    GetTextFaceW(dc, LF_FACESIZE, face);
    problem = L"a glyph is missing in " + std::wstring(face);
  }
  RECT client{};
  GetClientRect(control, &client);
  if (lstrcmpiW(kind, L"Edit") == 0) {
    SIZE digits{};
    GetTextExtentPoint32W(dc, L"00000", 5, &digits);
    RECT shown{};
    SendMessageW(control, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&shown));
    if (shown.right - shown.left < digits.cx + 1) problem = L"five digits do not fit";
  } else if (lstrcmpiW(kind, L"Button") == 0) {
    SIZE ideal{};
    SendMessageW(control, BCM_GETIDEALSIZE, 0, reinterpret_cast<LPARAM>(&ideal));
    if (ideal.cx > client.right) problem = L"cut at " + std::to_wstring(client.right);
  } else if ((style & SS_TYPEMASK) != SS_ICON && text[0] != L'\0') {
    RECT needed{};
    DrawTextW(dc, text, -1, &needed, DT_CALCRECT | DT_SINGLELINE);
    if (needed.right > client.right) problem = L"cut at " + std::to_wstring(client.right);
  }
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return problem.empty() ? problem : std::wstring(text) + L": " + problem;
}

UINT checkedDpi = 96;
std::vector<std::wstring> cutTexts;
LONG fontHeight = 0;
std::wstring fontFace;

void CheckEveryControlAtTheDpi(HWND dialog) {
  RECT suggested{0, 0, 100, 100};
  SendMessageW(dialog, WM_DPICHANGED, MAKEWPARAM(checkedDpi, checkedDpi),
               reinterpret_cast<LPARAM>(&suggested));
  fontHeight = 0;
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    LOGFONTW font{};
    auto shown = reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0));
    if (shown != nullptr && GetObjectW(shown, sizeof font, &font) != 0) {
      fontHeight = font.lfHeight;
      fontFace = font.lfFaceName;
    }
    std::wstring problem = CutOrMissing(child);
    if (!problem.empty()) cutTexts.push_back(problem);
  }
  SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
}

// The prefix has no face the templates name: the dialogs find one that draws Japanese, and at
// each DPI every text shows whole in it.
TEST_F(Win32ShellTest, EveryTextOfBothDialogsShowsWholeWithItsGlyphsAtEachDpi) {
  for (UINT dpi : {96u, 144u, 192u}) {
    for (auto [id, proc] : {std::pair<uint16_t, DialogProc>{IDD_SETTINGS, SettingsDialogProc},
                            std::pair<uint16_t, DialogProc>{IDD_ABOUT, AboutDialogProc}}) {
      checkedDpi = dpi;
      cutTexts.clear();
      RunDialog(id, proc, CheckEveryControlAtTheDpi);
      EXPECT_EQ(fontHeight, -MulDiv(9, static_cast<int>(dpi), 72)) << "dialog " << id;
      std::u16string named(FindDialogTemplate(CorvaneResources(), id)->font);
      EXPECT_NE(fontFace, std::wstring(named.begin(), named.end())) << "the prefix has the face";
      for (const std::wstring& cut : cutTexts)
        ADD_FAILURE() << "dialog " << id << " at " << dpi << " dpi: " << WideToUtf8(cut);
    }
  }
}

TEST(Win32DialogTemplate, TheCaptionOkBecomesAButtonAndItemsAreDwordAligned) {
  const DialogTemplate* about = FindDialogTemplate(CorvaneResources(), IDD_ABOUT);
  ASSERT_NE(about, nullptr);
  ASSERT_NE(about->exStyle & kWsExCaptionOkButton, 0u);
  alignas(DWORD) WORD words[4096];
  size_t used = BuildNativeDialogTemplate(*about, words);
  ASSERT_GT(used, 0u);
  const auto* head = reinterpret_cast<const DLGTEMPLATE*>(words);
  EXPECT_EQ(head->dwExtendedStyle & kWsExCaptionOkButton, 0u);
  EXPECT_EQ(head->cdit, about->items.size() + 1);                          // the OK button
  EXPECT_EQ(BuildNativeDialogTemplate(*about, std::span(words, 16)), 0u);  // too small: refused
}

// The pointer events a window procedure got, with when they came.
constexpr uint32_t kTrayCallback = kWmApp + 1;
struct TrayEvent {
  LParam event;
  DWORD atMs;
};
std::vector<TrayEvent> trayEvents;

LResult RecordTrayEvents(Window window, uint32_t message, WParam wParam, LParam lParam) {
  if (message == kTrayCallback) trayEvents.push_back({lParam, GetTickCount()});
  return DefaultWindowProc(window, message, wParam, lParam);
}

// Dispatches this thread's messages for ms milliseconds.
void Pump(DWORD ms) {
  DWORD end = GetTickCount() + ms;
  for (LONG left; (left = static_cast<LONG>(end - GetTickCount())) > 0;) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left), QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
      DispatchMessageW(&msg);
  }
}

// A window of the test's own with the program's icon in the notification area.
class Win32TrayTest : public Win32ShellTest {
 protected:
  void SetUp() override {
    Win32ShellTest::SetUp();
    WindowClass windowClass;
    windowClass.proc = RecordTrayEvents;
    windowClass.instance = AppInstance;
    windowClass.className = u"CORVANETRAYTEST";
    static const int registered = RegisterWindowClass(windowClass);  // once per process
    ASSERT_EQ(registered, 1);
    window_ = CreateAppWindow(u"CORVANETRAYTEST", u"tray", 0, 0, 0, 0, 0, AppInstance);
    ASSERT_NE(window_, Window::None);
    native_ = reinterpret_cast<HWND>(static_cast<uintptr_t>(window_));
    data_.size = sizeof data_;
    data_.window = window_;
    data_.id = 1;
    data_.flags = kNifMessage | kNifIcon | kNifTip;
    data_.callbackMessage = kTrayCallback;
    data_.icon = LoadIconImage(AppInstance, IDI_CORVANE, kImageIcon, 16, 16, 0);
    ASSERT_NE(data_.icon, nullptr);
    ASSERT_EQ(NotifyTrayIcon(kNimAdd, data_), 1);
  }
  void TearDown() override {
    NotifyTrayIcon(kNimDelete, data_);
    DestroyAppWindow(window_);
    Win32ShellTest::TearDown();
  }
  // The notification area forgets the icon behind the program's back, as when Explorer ends.
  bool Forget() {
    NOTIFYICONDATAW forget{};
    forget.cbSize = sizeof forget;
    forget.hWnd = native_;
    forget.uID = 1;
    return Shell_NotifyIconW(NIM_DELETE, &forget) != FALSE;
  }
  int Modify(uint32_t flags, std::u16string_view text) {
    NotifyIconData change = data_;
    change.flags = flags;
    WideWriter((flags & kNifTip) != 0 ? std::span<char16_t>(change.tip) : change.info).Put(text);
    WideWriter(change.infoTitle).Put(u"Corvane");
    change.infoFlags = kNiifError;
    return NotifyTrayIcon(kNimModify, change);
  }

  Window window_ = Window::None;
  HWND native_ = nullptr;
  NotifyIconData data_;
};

TEST_F(Win32TrayTest, TheTipAndNotificationsReachTheIconAndComeBackWithExplorer) {
  EXPECT_EQ(Modify(kNifTip, u"Corvane — *:8080\nHTTPS 検査中"), 1);
  EXPECT_EQ(Modify(kNifInfo, u"ERROR(10061): connect to server\n127.0.0.1:9"), 1);
  // Explorer restarting forgets the icon: nothing can be shown on it until it announces itself
  // and the icon goes back by itself.
  ASSERT_TRUE(Forget());
  EXPECT_EQ(Modify(kNifInfo, u"ERROR(10061): connect to server"), 0);
  SendMessageW(native_, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  EXPECT_EQ(Modify(kNifInfo, u"ERROR(10061): connect to server"), 1);
  EXPECT_EQ(NotifyTrayIcon(kNimDelete, data_), 1);
  EXPECT_EQ(NotifyTrayIcon(kNimDelete, data_), 0);  // gone now, and not put back again
  EXPECT_EQ(Modify(kNifTip, u"Corvane"), 0);
  SendMessageW(native_, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  EXPECT_FALSE(Forget());
}

// A menu opened at the first press of a double click would swallow the second: a click waits
// out the double-click time before it reaches the window, and a double click reaches it alone.
TEST_F(Win32TrayTest, ClicksReachTheWindowAsTheShellReadsThem) {
  const DWORD hold = GetDoubleClickTime();
  constexpr LParam down = WM_LBUTTONDOWN, up = WM_LBUTTONUP, dbl = WM_LBUTTONDBLCLK;
  constexpr LParam rdown = WM_RBUTTONDOWN, rup = WM_RBUTTONUP;
  const struct {
    const char* name;
    std::vector<LParam> sent;
    std::vector<LParam> received;
  } cases[] = {
      {"click", {down, up}, {down}},
      {"press alone, as another start posts it", {down}, {down}},
      {"double click", {down, up, dbl, up}, {dbl}},
      {"right click", {rdown, rup}, {rdown, rup}},
      {"click, then a right click at once", {down, up, rdown, rup}, {rdown, rup}},
      {"pointer passing", {WM_MOUSEMOVE}, {WM_MOUSEMOVE}},
  };
  for (const auto& c : cases) {
    trayEvents.clear();
    DWORD sent = GetTickCount();
    for (LParam event : c.sent)
      PostMessageW(native_, kTrayCallback, 1, event);
    Pump(hold + 400);
    std::vector<LParam> received;
    for (const TrayEvent& e : trayEvents)
      received.push_back(e.event);
    EXPECT_EQ(received, c.received) << c.name;
    if (!trayEvents.empty() && trayEvents[0].event == down) {
      EXPECT_GE(trayEvents[0].atMs - sent, hold - 20) << c.name;
    }
  }
}

// The boxes of this process titled "Corvane" that are open now.
std::vector<HWND> OpenBoxes() {
  std::vector<HWND> boxes;
  EnumWindows(
      [](HWND window, LPARAM found) {
        wchar_t className[16] = {}, title[16] = {};
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        GetClassNameW(window, className, 16);
        GetWindowTextW(window, title, 16);
        if (process == GetCurrentProcessId() && IsWindowVisible(window) &&
            std::wstring(className) == L"#32770" && std::wstring(title) == L"Corvane")
          reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&boxes));
  return boxes;
}

bool WaitForBoxes(size_t count) {
  for (int i = 0; i < 100 && OpenBoxes().size() != count; ++i)
    Sleep(50);
  return OpenBoxes().size() == count;
}

TEST_F(Win32ShellTest, BoxesThatWaitForNoOneOpenOncePerTextAndAnsweredBoxesSayTheAnswer) {
  const std::u16string refused = u"ERROR(10061): connect to server\n127.0.0.1:9";
  DWORD start = GetTickCount();
  OpenMessageBox(refused, u"Corvane", kMbOk | kMbIconError);
  OpenMessageBox(refused, u"Corvane", kMbOk | kMbIconError);
  EXPECT_LT(GetTickCount() - start, 500u) << "opening a box waits for no one";
  ASSERT_TRUE(WaitForBoxes(1));
  OpenMessageBox(u"ERROR(10060): connect to server", u"Corvane", kMbOk | kMbIconError);
  EXPECT_TRUE(WaitForBoxes(2));
  for (HWND box : OpenBoxes())
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  ASSERT_TRUE(WaitForBoxes(0));
  OpenMessageBox(refused, u"Corvane", kMbOk | kMbIconError);  // closed, so it may open again
  ASSERT_TRUE(WaitForBoxes(1));
  PostMessageW(OpenBoxes()[0], WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  ASSERT_TRUE(WaitForBoxes(0));

  std::thread user([] {
    if (WaitForBoxes(1)) PostMessageW(OpenBoxes()[0], WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
  });
  EXPECT_EQ(ShowMessageBox(u"HTTPS の検査を始めますか?", u"Corvane", kMbYesNo | kMbIconQuestion),
            kIdNo);
  user.join();
}

// corvane.exe as real processes, as the user meets it: the icon's clicks, and a second start that
// finds the first one's hidden window, posts it the icon's click and exits.
class ProgramTest : public ::testing::Test {
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
  // A window of the class and process; for a menu (#32768) or dialog (#32770), an open one.
  static HWND FindOf(const wchar_t* className, DWORD processId) {
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, className, nullptr)) != nullptr) {
      DWORD owner = 0;
      GetWindowThreadProcessId(window, &owner);
      if (owner == processId && (className[0] != L'#' || IsWindowVisible(window))) return window;
    }
    return nullptr;
  }
  // The first program with windows on a fresh Wine server waits for its desktop process.
  static HWND WaitForWindow(const wchar_t* className, DWORD processId) {
    for (int i = 0; i < 400; ++i) {
      if (HWND window = FindOf(className, processId)) return window;
      Sleep(50);
    }
    return nullptr;
  }
  static void UsePortOfItsOwn() {
    wchar_t port[8];
    wsprintfW(port, L"%u", static_cast<unsigned>(FreeLoopbackPort()));
    SetEnvironmentVariableW(L"CORVANE_TEST_PORT", port);
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

// The notification area posts the icon's events to the main window as these.
TEST_F(ProgramTest, ADoubleClickOnTheIconOpensTheSettingsAloneAndARightClickTheMenu) {
  UsePortOfItsOwn();
  PROCESS_INFORMATION program = Start();
  HWND main = WaitForWindow(L"CORVANE", program.dwProcessId);
  ASSERT_NE(main, nullptr);
  for (LParam event : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP})
    PostMessageW(main, TrayNotifyMessage, kTrayIconId, event);
  HWND settings = WaitForWindow(L"#32770", program.dwProcessId);
  EXPECT_NE(settings, nullptr);
  Sleep(GetDoubleClickTime() + 300);
  EXPECT_EQ(FindOf(L"#32768", program.dwProcessId), nullptr) << "no menu";
  PostMessageW(settings, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);

  for (LParam event : {WM_RBUTTONDOWN, WM_RBUTTONUP})
    PostMessageW(main, TrayNotifyMessage, kTrayIconId, event);
  EXPECT_NE(WaitForWindow(L"#32768", program.dwProcessId), nullptr);
  PostMessageW(main, WM_CANCELMODE, 0, 0);
  PostMessageW(main, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitForExit(program), 0u);
  Close(program);
}

TEST_F(ProgramTest, ASecondStartOpensTheFirstOnesMenuAndExits) {
  UsePortOfItsOwn();
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
