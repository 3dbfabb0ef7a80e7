// The program's main window on the real Win32 window system (under Wine with a display), its proxy
// on a port of the test's own: a failure while browsing is told without holding anyone. With the
// icon in the notification area it is the icon's notification; where the notification area has
// no icon of ours, a box that may stay open for as long as the user leaves it.
#include <windows.h>
// After windows.h, whose types it uses.
#include <commctrl.h>
#include <gtest/gtest.h>
#include <shellapi.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "core/report_failure.h"
#include "core/server.h"
#include "core/settings.h"
#include "platform/win32/window_system.h"
#include "resources/corvane_resources.h"
#include "shell/main_window.h"
#include "shell/proxy_services.h"
#include "shell/tray_icon.h"
#include "tests/support/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

uint16_t ProxyPort = 0;

int StartOnTestPort() {
  return StartProxyServerOn(ProxyPort, 50);
}
void LoadNothing() {}

const std::string kOk = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello";

// Dispatches this thread's messages until done() holds; false after limit.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= end) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
      DispatchMessageW(&msg);
  }
  return true;
}

// The box of this process titled "Corvane" that is open now, if any.
HWND OpenBox() {
  HWND box = nullptr;
  while ((box = FindWindowExW(nullptr, box, L"#32770", L"Corvane")) != nullptr) {
    DWORD process = 0;
    GetWindowThreadProcessId(box, &process);
    if (process == GetCurrentProcessId() && IsWindowVisible(box)) return box;
  }
  return nullptr;
}

// The icon's notification as Wine's notification area shows it: a balloon tooltip of its own.
HWND Balloon() {
  HWND tip = nullptr;
  while ((tip = FindWindowExW(nullptr, tip, L"tooltips_class32", nullptr)) != nullptr) {
    DWORD process = 0;
    GetWindowThreadProcessId(tip, &process);
    if (process != GetCurrentProcessId() && IsWindowVisible(tip) &&
        (GetWindowLongW(tip, GWL_STYLE) & TTS_BALLOON) != 0)
      return tip;
  }
  return nullptr;
}

std::wstring BoxText(HWND box) {
  wchar_t text[512] = {};
  GetDlgItemTextW(box, 0xFFFF, text, 512);  // the static text of a message box
  return text;
}

class Win32DesktopFailureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UseWindowSystem(&system_);
    ReplaceSettings(ProxySettings{});
    ForgetShownNotices();
    ProxyPort = FreeLoopbackPort();
    Services = ProxyServices{StartOnTestPort, StopProxyServer, LoadNothing};
    std::copy_n(u"CORVANEFAILURETEST", 19, MainClassName);
    ASSERT_EQ(CreateMainWindow(CorvaneResources(), 0), 1);
    window_ = FindWindowW(L"CORVANEFAILURETEST", nullptr);
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override {
    if (HWND box = OpenBox()) PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    DestroyWindow(window_);
    PumpUntil([] { return false; }, 500ms);
    UseWindowSystem(nullptr);
  }

  // Sends request from a thread of its own while this one goes on dispatching; the time it took.
  std::chrono::milliseconds Request(const std::string& request, std::string* answer) {
    std::atomic<bool> done{false};
    auto start = Clock::now();
    std::thread client([&] {
      *answer = Exchange(ProxyPort, request, 5000ms);
      done = true;
    });
    PumpUntil([&] { return done.load(); }, 6000ms);
    client.join();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  }

  // A request for a target where nothing listens; its port in *port.
  std::string Refused(uint16_t* port) {
    *port = FreeLoopbackPort();
    return "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(*port) + "\r\n\r\n";
  }

  // The one that served and the successor it started are back in accept well before a spare
  // gives up (2 s).
  bool BothWorkersInAccept() {
    return PumpUntil([] { return WorkersInAccept() == 2; }, 1000ms);
  }

  Win32WindowSystem system_;
  HWND window_ = nullptr;
};

TEST_F(Win32DesktopFailureTest, AFailureIsTheIconsNoticeOrABoxThatHoldsNoOneForTwentySeconds) {
  std::string answer;
  uint16_t refusedPort = 0;
  Request(Refused(&refusedPort), &answer);
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 502 Bad Gateway\r\n")) << answer;
  EXPECT_TRUE(BothWorkersInAccept());
  // Told as the icon's notification, which takes no focus; no box opens.
  ASSERT_TRUE(PumpUntil([] { return Balloon() != nullptr; }, 5000ms));
  EXPECT_NE(GetForegroundWindow(), Balloon());
  EXPECT_EQ(OpenBox(), nullptr);

  // Without our icon in the notification area, the next failure opens a box.
  NOTIFYICONDATAW forget{};
  forget.cbSize = sizeof forget;
  forget.hWnd = window_;
  forget.uID = kTrayIconId;
  ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &forget));
  Request(Refused(&refusedPort), &answer);
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 502 Bad Gateway\r\n")) << answer;
  EXPECT_TRUE(BothWorkersInAccept());
  ASSERT_TRUE(PumpUntil([] { return OpenBox() != nullptr; }, 5000ms));
  HWND box = OpenBox();
  EXPECT_TRUE(BoxText(box).starts_with(L"ERROR(10061): connect to server\n127.0.0.1:" +
                                       std::to_wstring(refusedPort) + L"\n"))
      << "the first lines";

  // With the box open, clients come after pauses longer than a spare worker waits in accept.
  TestOrigin origin(kOk);
  std::string good =
      "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) + "\r\n\r\n";
  auto start = Clock::now();
  for (int i = 0; Clock::now() - start < 20s; ++i) {
    auto pause = Clock::now() + 2600ms;
    PumpUntil([&] { return Clock::now() >= pause; }, 3000ms);
    std::chrono::milliseconds took = Request(good, &answer);
    EXPECT_TRUE(answer.ends_with("hello")) << "request " << i << ": " << answer;
    EXPECT_LT(took, 1000ms) << "request " << i;
  }
  ASSERT_EQ(OpenBox(), box) << "the box stayed open all along";
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  EXPECT_TRUE(PumpUntil([] { return OpenBox() == nullptr; }, 2000ms));
}

}  // namespace
