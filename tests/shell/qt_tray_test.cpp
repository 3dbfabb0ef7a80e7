// The desktop window system under Qt's offscreen platform: from a click on the tray icon through
// the popup menu to the command that reaches the main window, and boxes raised by worker threads.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTimer>
#include <atomic>
#include <functional>
#include <thread>

#include "core/settings.h"
#include "platform/message_box.h"
#include "platform/qt/window_system.h"
#include "platform/resource_table.h"
#include "platform/tls.h"
#include "resources/corvane_resources.h"
#include "shell/main_window.h"
#include "shell/proxy_services.h"
#include "shell/tray_icon.h"
#include "tests/shell/qt_message_loop.h"

namespace {

// Every message the main window handled, keep-alive messages (kWmNull) left out.
std::vector<Message> Seen;

LResult RecordingMainWindowProc(Window window, uint32_t message, WParam wParam, LParam lParam) {
  if (message != kWmNull) Seen.push_back(Message{window, message, wParam, lParam});
  // Here only the arrival of the dialogs' commands matters; the dialogs have tests of their own
  // and would wait for a user.
  bool opensDialog =
      message == kWmCommand && (LowWord(wParam) == IDM_SETTINGS || LowWord(wParam) == IDM_ABOUT);
  if (opensDialog) return 0;
  return MainWindowProc(window, message, wParam, lParam);
}

int ServeNothing() {
  return 1;
}
void DoNothing() {}

bool SeenMessage(uint32_t message, WParam wParam, LParam lParam) {
  for (const Message& m : Seen) {
    if (m.message == message && m.wParam == wParam && m.lParam == lParam) return true;
  }
  return false;
}

std::vector<LParam> TrayEvents() {
  std::vector<LParam> events;
  for (const Message& m : Seen) {
    if (m.message == TrayNotifyMessage) events.push_back(m.lParam);
  }
  return events;
}

QSystemTrayIcon* TrayIcon() {
  return qApp->findChild<QSystemTrayIcon*>(QStringLiteral("corvane-tray-icon-1"));
}

// What the open popup menu looked like when the test acted on it.
struct SeenMenu {
  bool opened = false;
  QRect geometry;
  QStringList texts;
  QList<bool> checked;
};

class QtTrayTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    system = new QtWindowSystem(argc, argv);
    UseWindowSystem(system);
    Services = ProxyServices{ServeNothing, DoNothing, DoNothing};
    WindowClass windowClass;
    windowClass.proc = RecordingMainWindowProc;
    windowClass.instance = CorvaneResources();
    windowClass.icon = LoadIconResource(CorvaneResources(), IDI_CORVANE);
    windowClass.className = u"CORVANE";
    RegisterWindowClass(windowClass);
  }
  static void TearDownTestSuite() {
    UseWindowSystem(nullptr);
    delete system;
  }

  void SetUp() override {
    Seen.clear();
    AppInstance = CorvaneResources();
    window = CreateAppWindow(u"CORVANE", u"Corvane", 0, 0, 0, 0, 0, AppInstance);
    ASSERT_NE(window, Window::None);
    ASSERT_NE(TrayIcon(), nullptr);
  }

  void TearDown() override {
    if (!quit) {
      DestroyAppWindow(window);
      RunUntil([] { return false; });  // up to the quit message that destruction posts
    }
  }

  bool RunUntil(const std::function<bool()>& done, int limitMs = 5000) {
    return DispatchUntil(window, done, limitMs, &quit);
  }

  // Once the popup menu is open, notes how it looks and presses key on it.
  void PressOnMenu(int key, const QString& text) {
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, [this, poll, key, text] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      if (menu == nullptr) return;
      poll->stop();
      poll->deleteLater();
      menuSeen.opened = true;
      menuSeen.geometry = menu->geometry();
      for (QAction* action : menu->actions()) {
        menuSeen.texts << action->text();
        menuSeen.checked << action->isChecked();
      }
      QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
      QApplication::sendEvent(menu, &press);
    });
    poll->start(10);
  }

  void Click(QSystemTrayIcon::ActivationReason reason) { emit TrayIcon()->activated(reason); }

  static inline int argc = 1;
  static inline char name[] = "shell_qt_tests";
  static inline char* argv[] = {name, nullptr};
  static inline QtWindowSystem* system = nullptr;
  Window window = Window::None;
  bool quit = false;
  SeenMenu menuSeen;
};

TEST_F(QtTrayTest, ClickOpensTheMenuAtThePointerAndSettingsSendsItsCommand) {
  // Inspection runs: on in the settings, with an authority in use.
  ProxySettings inspecting;
  inspecting.InspectHttps = 1;
  ReplaceSettings(inspecting);
  std::string certificate, key;
  ASSERT_TRUE(MakeAuthorityPem("tray test", "tray test", &certificate, &key));
  ASSERT_EQ(UseAuthority(certificate, key), AuthorityUse::kInUse);
  QCursor::setPos(ScreenWidth - 100, ScreenHeight - 10);  // a panel at the bottom
  Click(QSystemTrayIcon::Trigger);
  PressOnMenu(Qt::Key_S, QStringLiteral("s"));
  ASSERT_TRUE(RunUntil([] { return SeenMessage(kWmCommand, IDM_SETTINGS, 0); }));
  EXPECT_EQ(TrayEvents(), std::vector<LParam>{kWmLButtonDown});
  ASSERT_TRUE(menuSeen.opened);
  EXPECT_EQ(menuSeen.texts,
            (QStringList{QString::fromUtf16(u"設定(&S)"), QString::fromUtf16(u"バージョン情報(&A)"),
                         QString::fromUtf16(u"HTTPS を検査(&H)"), QString(),
                         QString::fromUtf16(u"終了(&X)")}));
  // The inspection item's check mark shows the setting.
  EXPECT_EQ(menuSeen.checked, (QList<bool>{false, false, true, false, false}));
  ReplaceSettings(ProxySettings{});
  StopUsingAuthority();
  // Upwards from the pointer, and kept on the screen.
  EXPECT_EQ(menuSeen.geometry.y() + menuSeen.geometry.height(), ScreenHeight - 10);
  EXPECT_LE(menuSeen.geometry.x() + menuSeen.geometry.width(), ScreenWidth);
}

TEST_F(QtTrayTest, RightClickNearAPanelAtTheTopOpensTheMenuBelowThePointer) {
  QCursor::setPos(200, 12);
  Click(QSystemTrayIcon::Context);
  PressOnMenu(Qt::Key_Escape, QString());
  ASSERT_TRUE(RunUntil([&] { return menuSeen.opened; }));
  EXPECT_EQ(TrayEvents(), std::vector<LParam>{kWmRButtonUp});
  EXPECT_EQ(menuSeen.geometry.topLeft(), QPoint(200, 13));
}

TEST_F(QtTrayTest, VersionItemSendsTheAboutCommand) {
  Click(QSystemTrayIcon::Trigger);
  PressOnMenu(Qt::Key_A, QStringLiteral("a"));
  ASSERT_TRUE(RunUntil([] { return SeenMessage(kWmCommand, IDM_ABOUT, 0); }));
}

TEST_F(QtTrayTest, DismissedMenuSendsNoCommand) {
  Click(QSystemTrayIcon::Trigger);
  PressOnMenu(Qt::Key_Escape, QString());
  QElapsedTimer sinceClosed;
  ASSERT_TRUE(RunUntil([&] {
    if (!menuSeen.opened || QApplication::activePopupWidget() != nullptr) return false;
    if (!sinceClosed.isValid()) sinceClosed.start();
    return sinceClosed.elapsed() > 200;
  }));
  for (const Message& m : Seen)
    EXPECT_NE(m.message, kWmCommand);
}

TEST_F(QtTrayTest, DoubleClickIsOneDoubleTapWithoutTheMenu) {
  Click(QSystemTrayIcon::Trigger);  // the first half of the double click
  Click(QSystemTrayIcon::DoubleClick);
  QElapsedTimer clock;
  clock.start();
  int wait = QApplication::doubleClickInterval() + 200;
  ASSERT_TRUE(RunUntil([&] { return clock.elapsed() > wait; }));
  EXPECT_EQ(TrayEvents(), std::vector<LParam>{kWmLButtonDblClk});
  EXPECT_TRUE(SeenMessage(kWmCommand, IDM_SETTINGS, 0));  // posted by the main window
}

TEST_F(QtTrayTest, MiddleButtonReachesTheWindowAndIsIgnored) {
  Click(QSystemTrayIcon::MiddleClick);
  QElapsedTimer clock;
  clock.start();
  ASSERT_TRUE(RunUntil([&] { return clock.elapsed() > 100; }));
  EXPECT_EQ(TrayEvents(), (std::vector<LParam>{kWmMButtonDown}));
  EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
}

TEST_F(QtTrayTest, ExitRemovesTheIconAndEndsTheLoop) {
  Click(QSystemTrayIcon::Trigger);
  PressOnMenu(Qt::Key_X, QStringLiteral("x"));
  ASSERT_TRUE(RunUntil([] { return false; }));
  EXPECT_TRUE(quit);
  EXPECT_TRUE(SeenMessage(kWmDestroy, 0, 0));
  EXPECT_EQ(TrayIcon(), nullptr);
}

// The open box of the given caption, or null.
QMessageBox* OpenBox() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    if (box != nullptr && box->isVisible()) return box;
  }
  return nullptr;
}

// Without a notification area that shows messages (the offscreen platform has none), a notice
// from a worker becomes an error box; the worker has gone on long before anyone closes it.
TEST_F(QtTrayTest, ANoticeWithoutATrayIsABoxThatHoldsNoWorker) {
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    ShowNotice(u"ERROR(111): connect to server\n127.0.0.1:9\n接続を拒否されました。");
    returned = true;
  });
  worker.join();
  EXPECT_TRUE(returned.load());
  QString text, title;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QTimer poll;
  poll.callOnTimeout([&] {
    QMessageBox* box = OpenBox();
    if (box == nullptr) return;
    poll.stop();
    text = box->text();
    title = box->windowTitle();
    icon = box->icon();
    box->button(QMessageBox::Ok)->click();
  });
  poll.start(10);
  EXPECT_TRUE(RunUntil([&] { return !text.isEmpty() && OpenBox() == nullptr; }));
  EXPECT_EQ(text, QString::fromUtf16(
                      u"ERROR(111): connect to server\n127.0.0.1:9\n接続を拒否されました。"));
  EXPECT_EQ(title, QStringLiteral("Corvane"));
  EXPECT_EQ(icon, QMessageBox::Critical);
}

TEST_F(QtTrayTest, BoxesCarryTheirCaptionIconAndButtons) {
  struct Case {
    uint32_t style;
    QMessageBox::Icon icon;
    QMessageBox::StandardButton press;
    const char16_t* text;  // of the button pressed
    int answer;
  } cases[] = {
      {kMbOk | kMbIconInformation, QMessageBox::Information, QMessageBox::Ok, u"OK", kIdOk},
      {kMbYesNo | kMbIconQuestion, QMessageBox::Question, QMessageBox::Yes, u"はい(&Y)", kIdYes},
      {kMbYesNo | kMbIconQuestion, QMessageBox::Question, QMessageBox::No, u"いいえ(&N)", kIdNo},
  };
  for (const Case& c : cases) {
    QMessageBox::Icon shown = QMessageBox::NoIcon;
    QString pressed;
    QTimer poll;
    poll.callOnTimeout([&] {
      QMessageBox* box = OpenBox();
      if (box == nullptr || box->windowTitle() != QStringLiteral("Corvane")) return;
      poll.stop();
      shown = box->icon();
      pressed = box->button(c.press)->text();
      box->button(c.press)->click();
    });
    poll.start(10);
    EXPECT_EQ(ShowMessageBox(u"text", u"Corvane", c.style), c.answer);
    EXPECT_EQ(shown, c.icon);
    EXPECT_EQ(pressed, QString::fromUtf16(c.text));
  }
}

TEST_F(QtTrayTest, TheIconsTipNamesTheProgram) {
  EXPECT_TRUE(TrayIcon()->toolTip().startsWith(QStringLiteral("Corvane")));
}

}  // namespace
