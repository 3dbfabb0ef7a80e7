// The desktop program on a real X display (an Xvfb of the test's own), its proxy on a port of the
// test's own: a failure while browsing is told without holding anyone. Without a tray it is an
// error box that may stay open for as long as the user leaves it; with a tray (trayer) it is the
// icon's notification, and the icon's tip says where the proxy listens.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/server.h"
#include "core/settings.h"
#include "platform/qt/window_system.h"
#include "resources/corvane_resources.h"
#include "shell/main_window.h"
#include "shell/proxy_services.h"
#include "tests/shell/qt_message_loop.h"
#include "tests/support/loopback.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A program of the test's own, ended with the test.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { Stop(); }

  bool Start(std::vector<std::string> argv, int keepFd = -1) {
    std::vector<char*> args;
    for (std::string& a : argv)
      args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    (void)keepFd;  // inherited: opened without close-on-exec
    int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0;
  }
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);  // trayer ignores SIGTERM
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// Starts Xvfb on a display it picks itself and sets DISPLAY to it.
bool StartDisplay(Child* server) {
  int pipe[2];
  if (::pipe(pipe) != 0) return false;
  bool started = server->Start({"Xvfb", "-displayfd", std::to_string(pipe[1]), "-screen", "0",
                                "1024x768x24", "-nolisten", "tcp"},
                               pipe[1]);
  ::close(pipe[1]);
  std::string number;
  char c;
  while (started && ::read(pipe[0], &c, 1) == 1 && c != '\n')
    number += c;
  ::close(pipe[0]);
  if (number.empty()) return false;
  ::setenv("DISPLAY", (":" + number).c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  return true;
}

uint16_t ProxyPort = 0;

int StartOnTestPort() {
  return StartProxyServerOn(ProxyPort, 50);
}
void LoadNothing() {}

const std::string kOk = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello";

class QtDesktopFailureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(StartDisplay(&display)) << "Xvfb (package xvfb) is needed";
    system = new QtWindowSystem(argc, argv);
    UseWindowSystem(system);
  }
  static void TearDownTestSuite() {
    UseWindowSystem(nullptr);
    delete system;
    display.Stop();
  }

  void SetUp() override {
    ReplaceSettings(ProxySettings{});
    ProxyPort = FreeLoopbackPort();
    Services = ProxyServices{StartOnTestPort, StopProxyServer, LoadNothing};
    AppInstance = CorvaneResources();
    std::copy_n(u"CORVANE", 8, MainClassName);
    ASSERT_EQ(CreateMainWindow(AppInstance, 0), 1);
    window = FindWindowOfClass(u"CORVANE");
  }
  void TearDown() override {
    DestroyAppWindow(window);
    RunUntil([] { return false; }, 2000);  // up to the quit message
    tray.Stop();
  }

  bool RunUntil(const std::function<bool()>& done, int limitMs) {
    return DispatchUntil(window, done, limitMs);
  }

  // Runs requests on a thread of their own while the main thread goes on with its loop.
  bool Request(const std::string& request, std::string* answer, int limitMs) {
    std::atomic<bool> done{false};
    std::thread client([&] {
      *answer = Exchange(ProxyPort, request, 5000ms);
      done = true;
    });
    bool finished = RunUntil([&] { return done.load(); }, limitMs);
    client.join();
    return finished;
  }

  std::string Refused() {
    refusedPort = FreeLoopbackPort();
    return "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(refusedPort) + "\r\n\r\n";
  }

  static inline Child display;
  static inline int argc = 1;
  static inline char name[] = "shell_qt_desktop_tests";
  static inline char* argv[] = {name, nullptr};
  static inline QtWindowSystem* system = nullptr;
  Window window = Window::None;
  Child tray;
  uint16_t refusedPort = 0;
};

QMessageBox* OpenBox() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    if (box != nullptr && box->isVisible()) return box;
  }
  return nullptr;
}

QWidget* OpenBalloon() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->isVisible() && std::string(widget->metaObject()->className()) == "QBalloonTip")
      return widget;
  }
  return nullptr;
}

QSystemTrayIcon* TrayIcon() {
  return qApp->findChild<QSystemTrayIcon*>(QStringLiteral("corvane-tray-icon-1"));
}

TEST_F(QtDesktopFailureTest, ABoxLeftOpenHoldsNoOneForTwentySeconds) {
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
  std::string answer;
  ASSERT_TRUE(Request(Refused(), &answer, 3000));
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 502 Bad Gateway\r\n")) << answer;
  ASSERT_TRUE(RunUntil([] { return OpenBox() != nullptr; }, 5000));
  QMessageBox* box = OpenBox();
  EXPECT_EQ(box->windowTitle(), QStringLiteral("Corvane"));
  EXPECT_EQ(box->icon(), QMessageBox::Critical);
  QStringList lines = box->text().split(u'\n');
  ASSERT_EQ(lines.size(), 3) << box->text().toStdString();
  EXPECT_EQ(lines[0], QStringLiteral("ERROR(111): connect to server"));
  EXPECT_EQ(lines[1], QStringLiteral("127.0.0.1:%1").arg(refusedPort));

  // With the box open, clients come after pauses longer than a spare worker waits in accept.
  TestOrigin origin(kOk);
  std::string good =
      "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) + "\r\n\r\n";
  auto start = Clock::now();
  for (int i = 0; Clock::now() - start < 20s; ++i) {
    QElapsedTimer pause;
    pause.start();
    ASSERT_TRUE(RunUntil([&] { return pause.elapsed() > 2600; }, 5000));
    QElapsedTimer took;
    took.start();
    ASSERT_TRUE(Request(good, &answer, 5000)) << "request " << i;
    EXPECT_TRUE(answer.ends_with("hello")) << "request " << i << ": " << answer;
    EXPECT_LT(took.elapsed(), 1000) << "request " << i;
  }
  ASSERT_EQ(OpenBox(), box) << "the box stayed open all along";
  box->button(QMessageBox::Ok)->click();
  EXPECT_TRUE(RunUntil([] { return OpenBox() == nullptr; }, 2000));
}

TEST_F(QtDesktopFailureTest, WithATrayAFailureIsANoticeAndTheTipSaysWhereItListens) {
  ASSERT_TRUE(tray.Start({"trayer", "--edge", "bottom", "--align", "right", "--widthtype",
                          "request", "--height", "24"}))
      << "trayer (package trayer) is needed";
  ASSERT_TRUE(RunUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000));
  EXPECT_EQ(TrayIcon()->toolTip(),
            QString::fromUtf16(u"Corvane — 127.0.0.1:%1, [::1]:%1").arg(ProxyPort));
  std::string answer;
  ASSERT_TRUE(Request(Refused(), &answer, 3000));
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 502 Bad Gateway\r\n")) << answer;
  ASSERT_TRUE(RunUntil([] { return OpenBalloon() != nullptr; }, 5000));
  EXPECT_EQ(OpenBox(), nullptr);
  EXPECT_NE(QApplication::activeWindow(), OpenBalloon()) << "a notice takes no focus";
}

}  // namespace
